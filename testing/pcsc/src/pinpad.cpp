#include "pinpad.h"

#include <cstddef>
#include <optional>
#include <string>

namespace testpcsc::pinpad {
namespace {

constexpr std::size_t kVerifyHeader = 19;
constexpr std::size_t kModifyHeader = 24;

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8 | std::uint32_t(b[at + 2]) << 16 |
           std::uint32_t(b[at + 3]) << 24;
}

// The formatting fields shared by both structures.
struct Format {
    std::uint8_t formatString;  // bit 7 bytes/bits, 6-3 position, 2 right-justify, 1-0 encoding
    std::uint8_t blockString;   // 7-4 bits of the PIN length field, 3-0 PIN block size in bytes
    std::uint8_t lengthFormat;  // bit 4 bytes/bits, 3-0 position of the length field
    std::uint8_t minDigits;
    std::uint8_t maxDigits;
};

bool validDigits(const std::string& pin) {
    for (char c : pin)
        if (c < '0' || c > '9')
            return false;
    return true;
}

Bytes encode(const std::string& pin, unsigned encoding) {
    Bytes out;
    switch (encoding) {
    case 0:  // binary: one digit per byte
        for (char c : pin)
            out.push_back(std::uint8_t(c - '0'));
        break;
    case 1:  // BCD, a lone last digit padded with F
        for (std::size_t i = 0; i < pin.size(); i += 2) {
            std::uint8_t hi = std::uint8_t(pin[i] - '0');
            std::uint8_t lo = i + 1 < pin.size() ? std::uint8_t(pin[i + 1] - '0') : 0x0F;
            out.push_back(std::uint8_t(hi << 4 | lo));
        }
        break;
    default:  // ASCII
        for (char c : pin)
            out.push_back(std::uint8_t(c));
        break;
    }
    return out;
}

void writeBits(Bytes& apdu, std::size_t bitPos, unsigned bits, unsigned value) {
    for (unsigned i = 0; i < bits; ++i) {
        std::size_t pos = bitPos + i;
        std::uint8_t mask = std::uint8_t(0x80 >> (pos % 8));
        if (value >> (bits - 1 - i) & 1)
            apdu[pos / 8] |= mask;
        else
            apdu[pos / 8] &= std::uint8_t(~mask);
    }
}

// Places one PIN `offset` bytes into the command data. False when the
// structure points outside the APDU.
bool place(Bytes& apdu, const Format& f, std::size_t offset, const std::string& pin) {
    const std::size_t dataBits = (5 + offset) * 8;
    const unsigned pos = (f.formatString >> 3) & 0x0F;
    const std::size_t pinBits = dataBits + ((f.formatString & 0x80) ? pos * 8u : pos);
    if (pinBits % 8 != 0)
        return false;
    Bytes digits = encode(pin, f.formatString & 0x03);
    const std::size_t block = f.blockString & 0x0F;
    std::size_t start = pinBits / 8;
    if (f.formatString & 0x04) {  // right-justified inside the block
        if (block < digits.size())
            return false;
        start += block - digits.size();
    }
    if (start + digits.size() > apdu.size())
        return false;
    for (std::size_t i = 0; i < digits.size(); ++i)
        apdu[start + i] = digits[i];

    const unsigned lengthBits = f.blockString >> 4;
    if (lengthBits > 0) {
        const unsigned lpos = f.lengthFormat & 0x0F;
        const std::size_t at = dataBits + ((f.lengthFormat & 0x10) ? lpos * 8u : lpos);
        if (at + lengthBits > apdu.size() * 8)
            return false;
        writeBits(apdu, at, lengthBits, unsigned(pin.size()));
    }
    return true;
}

// Takes the next entry; a status word when the user did not enter a usable PIN.
std::optional<Bytes> take(std::deque<PinEntry>& script, const Format& f, std::string& pin) {
    if (script.empty())
        return Bytes{0x64, 0x00};
    PinEntry e = script.front();
    script.pop_front();
    switch (e.kind) {
    case PinEntry::Kind::Timeout:
        return Bytes{0x64, 0x00};
    case PinEntry::Kind::Cancel:
        return Bytes{0x64, 0x01};
    case PinEntry::Kind::Digits:
        break;
    }
    if (!validDigits(e.digits) || e.digits.size() < f.minDigits || e.digits.size() > f.maxDigits)
        return Bytes{0x64, 0x03};
    pin = e.digits;
    return std::nullopt;
}

Outcome invalid() {
    Outcome o;
    o.error = SCARD_E_INVALID_PARAMETER;
    return o;
}

}  // namespace

Outcome prepare(bool modify, const Bytes& s, std::deque<PinEntry>& script) {
    const std::size_t header = modify ? kModifyHeader : kVerifyHeader;
    if (s.size() < header)
        return invalid();
    const std::uint32_t apduLength = le32(s, header - 4);
    // The structure may be longer than its APDU (zero-filled tail), never shorter.
    if (apduLength < 5 || apduLength > s.size() - header)
        return invalid();
    Bytes apdu(s.begin() + header, s.begin() + header + apduLength);

    Format f{};
    f.formatString = s[2];
    f.blockString = s[3];
    f.lengthFormat = s[4];
    // wPINMaxExtraDigit, little-endian: low byte maximum, high byte minimum.
    f.maxDigits = modify ? s[7] : s[5];
    f.minDigits = modify ? s[8] : s[6];

    Outcome o;
    if (!modify) {
        std::string pin;
        if (auto sw = take(script, f, pin)) {
            o.statusWord = *sw;
            return o;
        }
        if (!place(apdu, f, 0, pin))
            return invalid();
        o.apdu = std::move(apdu);
        return o;
    }

    const std::uint8_t confirm = s[9];
    std::string oldPin, newPin, again;
    if (confirm & 0x02) {
        if (auto sw = take(script, f, oldPin)) {
            o.statusWord = *sw;
            return o;
        }
    }
    if (auto sw = take(script, f, newPin)) {
        o.statusWord = *sw;
        return o;
    }
    if (confirm & 0x01) {
        if (auto sw = take(script, f, again)) {
            o.statusWord = *sw;
            return o;
        }
        if (again != newPin) {
            o.statusWord = {0x64, 0x02};
            return o;
        }
    }
    if ((confirm & 0x02) && !place(apdu, f, s[5], oldPin))
        return invalid();
    if (!place(apdu, f, s[6], newPin))
        return invalid();
    o.apdu = std::move(apdu);
    return o;
}

}  // namespace testpcsc::pinpad
