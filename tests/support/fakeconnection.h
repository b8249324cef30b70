#pragma once
// Helpers for tests of the card driver: a card connection that records every
// command and answers from a script, so tests can check the bytes the driver
// sends and feed it any response; a PIN pad notifier that records its calls;
// lists that own what the token hands out; byte and buffer conversions.
#include "amw/pinpadnotifier.h"
#include "ctl/cardconnection.h"
#include "exceptions.h"
#include "staticbuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace fake {

using Bytes = std::vector<std::uint8_t>;

// "80 12 00 00" -> bytes; spaces are ignored.
inline Bytes hex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char c : text)
        if (c != ' ')
            digits += c;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline Bytes repeat(std::uint8_t value, std::size_t count) { return Bytes(count, value); }

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline std::string toHex(const Bytes& bytes) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        out += buf;
    }
    return out;
}

template <std::size_t N>
StaticBuffer<N> buf(const Bytes& bytes) {
    return StaticBuffer<N>(bytes.data(), bytes.size());
}
template <std::size_t N>
StaticBuffer<N> text(const std::string& s) {
    return StaticBuffer<N>(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}
template <std::size_t N>
Bytes bytes(const StaticBuffer<N>& b) {
    return Bytes(b.begin(), b.end());
}
template <std::size_t N>
std::string str(const StaticBuffer<N>& b) {
    return std::string(b.begin(), b.end());
}

struct Response {
    Bytes data;
    std::uint16_t sw = 0x9000;
};

inline Response ok(Bytes data = {}) { return {std::move(data), 0x9000}; }
inline Response status(std::uint16_t sw) { return {{}, sw}; }

struct PinPadCall {
    bool modify = false;
    std::uint8_t enterOldPin = 0, confirmNewPin = 0, oldOffset = 0, newOffset = 0;
    Bytes apdu;
};

class Connection : public ctl::CardConnection {
public:
    // Commands as sent, and whether each was marked sensitive.
    std::vector<Bytes> commands;
    std::vector<bool> sensitiveFlags;
    // Answers in order; when empty, `fallback` answers.
    std::deque<Response> responses;
    Response fallback = ok();
    bool pinPad = false;
    std::deque<std::uint16_t> pinPadAnswers;
    std::vector<PinPadCall> pinPadCalls;

    Connection& then(Response r) {
        responses.push_back(std::move(r));
        return *this;
    }

    bool isPinPadAvailable() override { return pinPad; }
    Protocol getProtocol() override { return PROTOCOL_T1; }

    std::uint16_t transmit(const std::uint8_t* command, std::size_t commandLength,
                           std::uint8_t* response, std::size_t* responseLength,
                           std::uint32_t sensitive) override {
        commands.emplace_back(command, command + commandLength);
        sensitiveFlags.push_back((sensitive & SENSITIVE) != 0);
        Response r = fallback;
        if (!responses.empty()) {
            r = responses.front();
            responses.pop_front();
        }
        // A real transport never writes past the caller's capacity either.
        EXPECT_LE(r.data.size(), *responseLength) << "response does not fit the caller's buffer";
        const std::size_t n = std::min(r.data.size(), *responseLength);
        if (n)
            std::memcpy(response, r.data.data(), n);
        *responseLength = n;
        return r.sw;
    }

    std::uint16_t pinPadVerify(std::uint8_t pinOffset, const std::uint8_t* apdu,
                               std::size_t apduLength) override {
        pinPadCalls.push_back({false, 0, 0, pinOffset, 0, Bytes(apdu, apdu + apduLength)});
        return nextPinPadAnswer();
    }
    std::uint16_t pinPadModify(std::uint8_t enterOldPin, std::uint8_t confirmNewPin,
                               std::uint8_t oldPinOffset, std::uint8_t newPinOffset,
                               const std::uint8_t* apdu, std::size_t apduLength) override {
        pinPadCalls.push_back({true, enterOldPin, confirmNewPin, oldPinOffset, newPinOffset,
                               Bytes(apdu, apdu + apduLength)});
        return nextPinPadAnswer();
    }

    // Commands whose INS is `ins`.
    std::vector<Bytes> withIns(std::uint8_t ins) const {
        std::vector<Bytes> out;
        for (const Bytes& c : commands)
            if (c.size() > 1 && c[1] == ins)
                out.push_back(c);
        return out;
    }

private:
    std::uint16_t nextPinPadAnswer() {
        EXPECT_FALSE(pinPadAnswers.empty()) << "unexpected PIN pad entry";
        if (pinPadAnswers.empty())
            return 0x6400;
        std::uint16_t sw = pinPadAnswers.front();
        pinPadAnswers.pop_front();
        return sw;
    }
};

// A connection whose every transmit fails with the PC/SC error `code`.
class BrokenConnection : public Connection {
public:
    explicit BrokenConnection(std::uint32_t code) : code(code) {}
    std::uint16_t transmit(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t*,
                           std::uint32_t) override {
        throw ctl::CtlException(code);
    }
    std::uint32_t code;
};

// Every notifier call, in order, as text.
class RecordingNotifier : public amw::PinPadNotifier {
public:
    std::vector<std::string> calls;
    void onPinPadPrompt(std::uint32_t tries) override {
        calls.push_back("prompt " + std::to_string(tries));
    }
    void onPinPadDone() override { calls.push_back("done"); }
    void onWrongPin(std::uint32_t tries) override {
        calls.push_back("wrong " + std::to_string(tries));
    }
    void onPinBlocked() override { calls.push_back("blocked"); }
    void onPinLengthError() override { calls.push_back("length"); }
    void onPinPadCancelled() override { calls.push_back("cancelled"); }
    void onPinMismatch() override { calls.push_back("mismatch"); }
};

// Owns what the token hands out.
template <class T>
struct Owned {
    std::vector<T*> items;
    ~Owned() { clear(); }
    void clear() {
        for (T* t : items)
            delete t;
        items.clear();
    }
    std::size_t size() const { return items.size(); }
    T* operator[](std::size_t i) const { return items[i]; }
};

// Expects `f` to throw E whose message is exactly `message`.
template <class E, class F>
void expectThrowMessage(F&& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "nothing thrown, expected: " << message;
    } catch (const E& e) {
        EXPECT_EQ(std::string(e.what()), message);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "other exception: " << e.what();
    }
}

}  // namespace fake
