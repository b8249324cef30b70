#include "pinpad.h"

#include <endian.h>
#include <reader.h>

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

namespace testpcsc::pinpad {
namespace {

// The formatting fields shared by both structures.
struct Format {
    std::uint8_t formatString;  // bit 7 bytes/bits, 6-3 position, 2 right-justify, 1-0 encoding
    std::uint8_t blockString;   // 7-4 bits of the PIN length field, 3-0 PIN block size in bytes
    std::uint8_t lengthFormat;  // bit 4 bytes/bits, 3-0 position of the length field
    std::uint8_t minDigits;
    std::uint8_t maxDigits;
};

template <class Header>
Format formatOf(const Header& h) {
    // wPINMaxExtraDigit is 0xXXYY: XX the least digits, YY the most.
    const std::uint16_t digits = le16toh(h.wPINMaxExtraDigit);
    return {h.bmFormatString, h.bmPINBlockString, h.bmPINLengthFormat,
            static_cast<std::uint8_t>(digits >> 8), static_cast<std::uint8_t>(digits)};
}

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

Outcome failed(LONG error) {
    Outcome o;
    o.error = error;
    return o;
}

// Reads the structure's fields and the APDU behind them. The CCID driver
// takes only a structure whose length is exactly its fields plus the APDU it
// announces (a zero-filled tail is refused too) and reports any other as an
// unsupported request; the refusal is returned.
template <class Header>
std::optional<Outcome> read(const Bytes& s, Header& header, Bytes& apdu) {
    if (s.size() < sizeof header)
        return failed(SCARD_E_INVALID_PARAMETER);
    std::memcpy(&header, s.data(), sizeof header);
    const std::uint32_t apduLength = le32toh(header.ulDataLength);
    if (apduLength != s.size() - sizeof header)
        return failed(SCARD_E_UNSUPPORTED_FEATURE);
    if (apduLength < 5)
        return failed(SCARD_E_INVALID_PARAMETER);
    apdu.assign(s.begin() + static_cast<std::ptrdiff_t>(sizeof header), s.end());
    return std::nullopt;
}

Outcome statusWord(Bytes sw) {
    Outcome o;
    o.statusWord = std::move(sw);
    return o;
}

Outcome verify(const Bytes& s, std::deque<PinEntry>& script) {
    PIN_VERIFY_STRUCTURE h;
    Outcome o;
    if (auto refused = read(s, h, o.apdu))
        return *refused;
    const Format f = formatOf(h);
    std::string pin;
    if (auto sw = take(script, f, pin))
        return statusWord(*sw);
    if (!place(o.apdu, f, 0, pin))
        return failed(SCARD_E_INVALID_PARAMETER);
    return o;
}

Outcome modify(const Bytes& s, std::deque<PinEntry>& script) {
    PIN_MODIFY_STRUCTURE h;
    Outcome o;
    if (auto refused = read(s, h, o.apdu))
        return *refused;
    const Format f = formatOf(h);
    const bool askOld = h.bConfirmPIN & 0x02;
    const bool confirm = h.bConfirmPIN & 0x01;
    std::string oldPin, newPin, again;
    if (askOld) {
        if (auto sw = take(script, f, oldPin))
            return statusWord(*sw);
    }
    if (auto sw = take(script, f, newPin))
        return statusWord(*sw);
    if (confirm) {
        if (auto sw = take(script, f, again))
            return statusWord(*sw);
        if (again != newPin)
            return statusWord({0x64, 0x02});
    }
    if ((askOld && !place(o.apdu, f, h.bInsertionOffsetOld, oldPin)) ||
        !place(o.apdu, f, h.bInsertionOffsetNew, newPin))
        return failed(SCARD_E_INVALID_PARAMETER);
    return o;
}

}  // namespace

Outcome prepare(bool modifyPin, const Bytes& structure, std::deque<PinEntry>& script) {
    return modifyPin ? modify(structure, script) : verify(structure, script);
}

}  // namespace testpcsc::pinpad
