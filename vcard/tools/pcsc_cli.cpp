// pcsc-cli: a small client of the real PC/SC service for scripts: list readers,
// wait for a card to come or go, send APDUs, time APDU round trips.
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

struct Failure {
    std::string what;
};

[[noreturn]] void fail(const std::string& call, LONG rc) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(rc));
    throw Failure{call + " failed: " + pcsc_stringify_error(rc) + " (" + code + ")"};
}

std::string hex(const unsigned char* p, std::size_t n, const char* separator = " ") {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        if (i)
            s += separator;
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string hex(const Bytes& b) { return hex(b.data(), b.size()); }

Bytes parseHex(const std::string& text) {
    Bytes out;
    std::string digits;
    for (char c : text)
        if (c != ' ' && c != ':')
            digits += c;
    if (digits.empty() || digits.size() % 2)
        throw Failure{"not a hexadecimal APDU: '" + text + "'"};
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = digits.substr(i, 2);
        const unsigned long v = std::strtoul(pair.c_str(), &end, 16);
        if (*end != '\0')
            throw Failure{"not a hexadecimal APDU: '" + text + "'"};
        out.push_back(static_cast<unsigned char>(v));
    }
    return out;
}

class Context {
public:
    // Retries while the service is not up yet, until `deadline`.
    explicit Context(Clock::time_point deadline = Clock::now()) {
        for (;;) {
            const LONG rc = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &handle_);
            if (rc == SCARD_S_SUCCESS)
                return;
            if (rc != SCARD_E_NO_SERVICE || Clock::now() >= deadline)
                fail("SCardEstablishContext", rc);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    ~Context() { SCardReleaseContext(handle_); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    SCARDCONTEXT get() const { return handle_; }

    std::vector<std::string> readers() const {
        DWORD size = 0;
        LONG rc = SCardListReaders(handle_, nullptr, nullptr, &size);
        if (rc == SCARD_E_NO_READERS_AVAILABLE)
            return {};
        if (rc != SCARD_S_SUCCESS)
            fail("SCardListReaders", rc);
        std::string buffer(size, '\0');
        rc = SCardListReaders(handle_, nullptr, &buffer[0], &size);
        if (rc == SCARD_E_NO_READERS_AVAILABLE)
            return {};
        if (rc != SCARD_S_SUCCESS)
            fail("SCardListReaders", rc);
        std::vector<std::string> names;
        for (const char* p = buffer.c_str(); *p; p += std::strlen(p) + 1)
            names.emplace_back(p);
        return names;
    }

private:
    SCARDCONTEXT handle_ = 0;
};

class Card {
public:
    Card(const Context& context, const std::string& reader) {
        const LONG rc = SCardConnect(context.get(), reader.c_str(), SCARD_SHARE_SHARED,
                                     SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle_, &protocol_);
        if (rc != SCARD_S_SUCCESS)
            fail("SCardConnect(" + reader + ")", rc);
    }
    ~Card() { SCardDisconnect(handle_, SCARD_LEAVE_CARD); }
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    const char* protocol() const { return protocol_ == SCARD_PROTOCOL_T0 ? "T=0" : "T=1"; }

    Bytes atr() const {
        unsigned char atr[MAX_ATR_SIZE];
        DWORD atrLength = sizeof atr, state = 0, protocol = 0, nameLength = 0;
        const LONG rc =
            SCardStatus(handle_, nullptr, &nameLength, &state, &protocol, atr, &atrLength);
        if (rc != SCARD_S_SUCCESS)
            fail("SCardStatus", rc);
        return Bytes(atr, atr + atrLength);
    }

    Bytes transmit(const Bytes& command) const {
        const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
        unsigned char response[MAX_BUFFER_SIZE_EXTENDED];
        DWORD length = sizeof response;
        const LONG rc =
            SCardTransmit(handle_, pci, command.data(), command.size(), nullptr, response, &length);
        if (rc != SCARD_S_SUCCESS)
            fail("SCardTransmit", rc);
        return Bytes(response, response + length);
    }

private:
    SCARDHANDLE handle_ = 0;
    DWORD protocol_ = 0;
};

int cmdReaders(const std::vector<std::string>& args) {
    if (!args.empty())
        throw Failure{"readers takes no arguments"};
    Context context;
    const auto names = context.readers();
    if (names.empty()) {
        std::cout << "no readers\n";
        return 0;
    }
    std::vector<SCARD_READERSTATE> states(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        states[i] = SCARD_READERSTATE{};
        states[i].szReader = names[i].c_str();
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    const LONG rc = SCardGetStatusChange(context.get(), 0, states.data(), DWORD(states.size()));
    if (rc != SCARD_S_SUCCESS)
        fail("SCardGetStatusChange", rc);
    for (const auto& s : states) {
        std::cout << s.szReader << ": ";
        if (s.dwEventState & SCARD_STATE_PRESENT)
            std::cout << "card present, ATR " << hex(s.rgbAtr, s.cbAtr) << "\n";
        else
            std::cout << "empty\n";
    }
    return 0;
}

// wait READER present|absent [TIMEOUT_SECONDS]
int cmdWait(const std::vector<std::string>& args) {
    if (args.size() < 2 || args.size() > 3 || (args[1] != "present" && args[1] != "absent"))
        throw Failure{"usage: wait READER present|absent [TIMEOUT_SECONDS]"};
    const std::string& reader = args[0];
    const bool wantPresent = args[1] == "present";
    const double seconds = args.size() == 3 ? std::atof(args[2].c_str()) : 10.0;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long long>(seconds * 1000));

    Context context(deadline);
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const DWORD slice = DWORD(std::clamp<long long>(left, 0, 500));
        const LONG rc = SCardGetStatusChange(context.get(), slice, &state, 1);
        if (rc == SCARD_S_SUCCESS) {
            const bool present = (state.dwEventState & SCARD_STATE_PRESENT) &&
                                 !(state.dwEventState & SCARD_STATE_MUTE);
            if (present == wantPresent)
                return 0;
            state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
        } else if (rc == SCARD_E_UNKNOWN_READER) {
            // The reader is not there yet; the driver may still be starting.
            state.dwCurrentState = SCARD_STATE_UNAWARE;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } else if (rc != SCARD_E_TIMEOUT) {
            fail("SCardGetStatusChange", rc);
        }
        if (Clock::now() >= deadline) {
            std::cerr << "pcsc-cli: timed out waiting for the card to be " << args[1] << " in '"
                      << reader << "'\n";
            return 1;
        }
    }
}

// send READER APDU...: prints the protocol, the ATR and every exchange.
int cmdSend(const std::vector<std::string>& args) {
    if (args.empty())
        throw Failure{"usage: send READER [APDU_HEX ...]"};
    Context context;
    Card card(context, args[0]);
    std::cout << "protocol " << card.protocol() << "\nATR " << hex(card.atr()) << "\n";
    for (std::size_t i = 1; i < args.size(); ++i) {
        const Bytes command = parseHex(args[i]);
        std::cout << "> " << hex(command) << "\n< " << hex(card.transmit(command)) << "\n";
    }
    return 0;
}

// bench READER COUNT [SETUP_APDU_HEX ...] APDU_HEX: sends the setup APDUs once
// (a SELECT, say), then times the last APDU sent COUNT times.
int cmdBench(const std::vector<std::string>& args) {
    if (args.size() < 3)
        throw Failure{"usage: bench READER COUNT [SETUP_APDU_HEX ...] APDU_HEX"};
    const long count = std::atol(args[1].c_str());
    if (count < 1)
        throw Failure{"COUNT must be positive"};
    const Bytes command = parseHex(args.back());
    Context context;
    Card card(context, args[0]);
    for (std::size_t i = 2; i + 1 < args.size(); ++i)
        card.transmit(parseHex(args[i]));
    const Bytes expected = card.transmit(command);
    std::vector<double> micros;
    micros.reserve(std::size_t(count));
    const Clock::time_point start = Clock::now();
    for (long i = 0; i < count; ++i) {
        const Clock::time_point t0 = Clock::now();
        const Bytes response = card.transmit(command);
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        if (response != expected)
            throw Failure{"response " + std::to_string(i) + " changed: " + hex(response) + " vs " +
                          hex(expected)};
    }
    const double total = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    std::sort(micros.begin(), micros.end());
    std::printf(
        "%ld x %s -> %s\nmean %.1f us, median %.1f us, min %.1f us, p99 %.1f us, max %.1f us\n",
        count, hex(command).c_str(), hex(expected).c_str(), total / double(count),
        micros[micros.size() / 2], micros.front(),
        micros[std::min(micros.size() - 1, micros.size() * 99 / 100)], micros.back());
    return 0;
}

void usage(std::ostream& os) {
    os << "usage: pcsc-cli readers\n"
          "       pcsc-cli wait READER present|absent [TIMEOUT_SECONDS]   (default 10; exit 1 on "
          "timeout)\n"
          "       pcsc-cli send READER [APDU_HEX ...]\n"
          "       pcsc-cli bench READER COUNT [SETUP_APDU_HEX ...] APDU_HEX\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage(std::cerr);
        return 2;
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    try {
        if (command == "readers")
            return cmdReaders(args);
        if (command == "wait")
            return cmdWait(args);
        if (command == "send")
            return cmdSend(args);
        if (command == "bench")
            return cmdBench(args);
    } catch (const Failure& f) {
        std::cerr << "pcsc-cli " << command << ": " << f.what << "\n";
        return 1;
    }
    usage(std::cerr);
    return 2;
}
