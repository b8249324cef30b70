#pragma once
// Helpers for driving a KalvikCard with the command sequences the module uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "vcard/kalvikcard.h"

namespace cardtest {

using vcard::Bytes;

// "80 02 00 00 02" -> bytes (anything but hex digits is skipped).
inline Bytes hex(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    Bytes out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(std::uint8_t(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline std::uint16_t sw(const Bytes& r) {
    return r.size() < 2 ? 0 : std::uint16_t(r[r.size() - 2] << 8 | r.back());
}
inline Bytes body(const Bytes& r) { return r.size() < 2 ? Bytes() : Bytes(r.begin(), r.end() - 2); }

inline Bytes apdu(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, const Bytes& body = {},
                  int le = -1) {
    Bytes c{0x80, ins, p1, p2};
    if (!body.empty()) {
        c.push_back(std::uint8_t(body.size()));
        c.insert(c.end(), body.begin(), body.end());
    }
    if (le >= 0)
        c.push_back(std::uint8_t(le));
    return c;
}

inline Bytes be16(std::uint16_t v) { return Bytes{std::uint8_t(v >> 8), std::uint8_t(v)}; }

inline Bytes pin16(const std::string& pin) {
    Bytes b(pin.begin(), pin.end());
    b.resize(16, 0);
    return b;
}

const std::string SELECT_HEX = "00 A4 04 00 09 F0 51 56 4B 41 01 00 00 41";
// authenticate with the default PINs of the user (123456) and the SO (12345678).
const std::string LOGIN_USER = "80 20 01 00 10 31 32 33 34 35 36 00 00 00 00 00 00 00 00 00 00";
const std::string LOGIN_SO = "80 20 02 00 10 31 32 33 34 35 36 37 38 00 00 00 00 00 00 00 00";

// " XX XX ..." (n times), and " 00 01 02 ..." (n bytes counting up from `from`).
inline std::string repeatHex(const std::string& byte, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i)
        out += " " + byte;
    return out;
}
inline std::string countingHex(std::size_t n, std::size_t from = 0) {
    std::string out;
    char digits[4];
    for (std::size_t i = from; i < from + n; ++i) {
        std::snprintf(digits, sizeof digits, " %02X", unsigned(i & 0xFF));
        out += digits;
    }
    return out;
}

// One step of a contract script: a command in hex (or "POWER" for a power
// cycle, "RESET" for a warm reset) and the answer expected, in hex, where
// "XX*n" stands for n bytes XX and "*n" for n bytes of any value.
struct Step {
    std::string command;
    std::string answer;
};

inline bool matches(const Bytes& actual, const std::string& expected) {
    std::size_t at = 0;
    std::size_t from = 0;
    while (from < expected.size()) {
        const std::size_t end = std::min(expected.find(' ', from), expected.size());
        const std::string token = expected.substr(from, end - from);
        from = end + 1;
        if (token.empty())
            continue;
        const std::size_t star = token.find('*');
        const Bytes value = hex(token.substr(0, star));
        const std::size_t count =
            star == std::string::npos ? 1 : std::stoul(token.substr(star + 1));
        for (std::size_t i = 0; i < count; ++i) {
            if (value.empty()) {
                ++at;  // any byte
                continue;
            }
            for (std::uint8_t byte : value)
                if (at >= actual.size() || actual[at++] != byte)
                    return false;
        }
    }
    return at == actual.size();
}

inline std::string toHex(const Bytes& bytes) {
    std::string out;
    char digits[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, out.empty() ? "%02X" : " %02X", b);
        out += digits;
    }
    return out;
}

// Runs `script` on `card`, naming each step that answers otherwise.
inline void run(vcard::KalvikCard& card, const std::vector<Step>& script) {
    for (std::size_t i = 0; i < script.size(); ++i) {
        const Step& step = script[i];
        if (step.command == "POWER") {
            card.powerOff();
            card.powerOn();
        } else if (step.command == "RESET") {
            card.reset();
        } else {
            const Bytes answer = card.transmit(hex(step.command));
            EXPECT_TRUE(matches(answer, step.answer))
                << "step " << i << ": " << step.command << "\n  answered " << toHex(answer)
                << "\n  expected " << step.answer;
        }
    }
}

inline vcard::PersonalisationOptions fixedOptions() {
    vcard::PersonalisationOptions o;
    o.cardId = std::array<std::uint8_t, 16>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    o.serial = std::array<std::uint8_t, 8>{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    return o;
}

// A selected card plus the module's multi-command sequences.
class Driver {
public:
    explicit Driver(vcard::KalvikCard& c) : card(c) {}
    vcard::KalvikCard& card;

    Bytes send(const Bytes& c) { return card.transmit(c); }
    std::uint16_t swOf(const Bytes& c) { return sw(send(c)); }

    void select() { ASSERT_EQ(swOf(hex(SELECT_HEX)), 0x9000); }
    std::uint16_t login(std::uint8_t role, const std::string& pin) {
        return swOf(apdu(0x20, role, 0, pin16(pin)));
    }

    std::vector<std::uint16_t> heads() {
        Bytes r = send(apdu(0x0A, 0, 0, {}, 0x0A));
        std::vector<std::uint16_t> h;
        for (std::size_t i = 0; i + 1 < body(r).size(); i += 2)
            h.push_back(std::uint16_t(r[i] << 8 | r[i + 1]));
        return h;
    }

    // writeData in pieces of at most 255 bytes; returns the first failing SW.
    std::uint16_t writeData(const Bytes& data) {
        for (std::size_t at = 0; at < data.size(); at += 255) {
            const std::size_t n = std::min<std::size_t>(255, data.size() - at);
            std::uint16_t s =
                swOf(apdu(0x12, 0, 0, Bytes(data.begin() + at, data.begin() + at + n)));
            if (s != 0x9000)
                return s;
        }
        return 0x9000;
    }

    // setMetadataSize/beginUpdate..., writeData, commit; block id or 0x8000 and the failing SW.
    std::pair<std::uint16_t, std::uint16_t> commitMetadata(const Bytes& metadata) {
        std::uint16_t s = writeData(metadata);
        if (s != 0x9000)
            return {0x8000, s};
        Bytes r = send(apdu(0x3A, 0, 0, {}, 2));
        if (sw(r) != 0x9000)
            return {0x8000, sw(r)};
        return {std::uint16_t(r[0] << 8 | r[1]), 0x9000};
    }

    std::uint16_t createDataObject(std::uint16_t acRead, const Bytes& metadata,
                                   std::uint16_t* status = nullptr) {
        Bytes words = cat(cat(be16(0xFFFF), be16(acRead)), cat(be16(0xFFFF), be16(0xFFFF)));
        std::uint16_t s = swOf(apdu(0x3E, 0, 0, words));
        if (s == 0x9000)
            s = swOf(apdu(0x3C, 0, 0, be16(std::uint16_t(metadata.size()))));
        std::uint16_t id = 0x8000;
        if (s == 0x9000)
            std::tie(id, s) = commitMetadata(metadata);
        if (status)
            *status = s;
        return id;
    }

    // The content commit: removeContent, createContent, writeData, commitUpdateContent.
    std::uint16_t writeContent(std::uint16_t id, const Bytes& content) {
        std::uint16_t s = swOf(apdu(0x14, std::uint8_t(id >> 8), std::uint8_t(id), {}, 0));
        if (s != 0x9000 && s != 0x6A83)
            return s;
        if (content.empty())
            return 0x9000;
        s = swOf(apdu(0x1C, std::uint8_t(id >> 8), std::uint8_t(id),
                      be16(std::uint16_t(content.size()))));
        if (s != 0x9000)
            return s;
        s = writeData(content);
        if (s != 0x9000)
            return s;
        return swOf(apdu(0x38, 0, 0, {}, 0));
    }

    // beginReadContent, then readData in requests of at most 255 bytes.
    Bytes readContent(std::uint16_t id) {
        Bytes r = send(apdu(0x1E, std::uint8_t(id >> 8), std::uint8_t(id), {}, 2));
        EXPECT_EQ(sw(r), 0x9000);
        const std::size_t size = sw(r) == 0x9000 ? std::size_t(r[0] << 8 | r[1]) : 0;
        Bytes out;
        while (out.size() < size) {
            r = send(apdu(0x1A, 0, 0, {}, int(std::min<std::size_t>(255, size - out.size()))));
            EXPECT_EQ(sw(r), 0x9000);
            if (sw(r) != 0x9000)
                break;
            out.insert(out.end(), r.begin(), r.end() - 2);
        }
        return out;
    }

    Bytes header(std::uint16_t id, std::size_t size) {
        Bytes r = send(apdu(0x18, std::uint8_t(id >> 8), std::uint8_t(id), {}, int(size)));
        EXPECT_EQ(sw(r), 0x9000);
        return body(r);
    }
};

}  // namespace cardtest
