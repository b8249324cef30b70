// The scenario itself: prints one line per observation to stdout.
#include "scenario.h"

#include <reader.h>
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "vcard/kalvikcard.h"

namespace scenario {
namespace {

using Bytes = std::vector<unsigned char>;

std::string hex(const unsigned char* p, std::size_t n) {
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

std::string code(LONG rv) {
    char b[24];
    std::snprintf(b, sizeof b, "0x%08lX", static_cast<unsigned long>(static_cast<DWORD>(rv)));
    return b;
}

void line(const std::string& what, const std::string& value) {
    std::printf("%s: %s\n", what.c_str(), value.c_str());
}

std::string stateBits(DWORD s, DWORD mask) {
    static const std::pair<DWORD, const char*> names[] = {
        {SCARD_STATE_IGNORE, "IGNORE"},       {SCARD_STATE_CHANGED, "CHANGED"},
        {SCARD_STATE_UNKNOWN, "UNKNOWN"},     {SCARD_STATE_UNAVAILABLE, "UNAVAILABLE"},
        {SCARD_STATE_EMPTY, "EMPTY"},         {SCARD_STATE_PRESENT, "PRESENT"},
        {SCARD_STATE_EXCLUSIVE, "EXCLUSIVE"}, {SCARD_STATE_INUSE, "INUSE"},
        {SCARD_STATE_MUTE, "MUTE"},           {SCARD_STATE_UNPOWERED, "UNPOWERED"},
    };
    std::string out;
    for (const auto& [bit, name] : names)
        if (s & mask & bit)
            out += out.empty() ? name : std::string("|") + name;
    return out.empty() ? "0" : out;
}

const SCARD_IO_REQUEST* pci(DWORD protocol) {
    return protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
}

std::string transmit(SCARDHANDLE h, DWORD protocol, const Bytes& cmd) {
    unsigned char buf[300];
    DWORD len = sizeof buf;
    LONG rv = SCardTransmit(h, pci(protocol), cmd.data(), DWORD(cmd.size()), nullptr, buf, &len);
    return rv == SCARD_S_SUCCESS ? hex(buf, len) : code(rv);
}

std::string status(SCARDHANDLE h) {
    char name[256];
    DWORD nameLen = sizeof name, state = 0, protocol = 0;
    unsigned char atr[MAX_ATR_SIZE];
    DWORD atrLen = sizeof atr;
    LONG rv = SCardStatus(h, name, &nameLen, &state, &protocol, atr, &atrLen);
    if (rv != SCARD_S_SUCCESS)
        return code(rv);
    char b[64];
    std::snprintf(b, sizeof b,
                  " len=%lu state=0x%04lX protocol=%lu atr=", static_cast<unsigned long>(nameLen),
                  static_cast<unsigned long>(state), static_cast<unsigned long>(protocol));
    return std::string(name) + b + hex(atr, atrLen);
}

// Waits until the reader shows (or no longer shows) a card.
DWORD waitForCard(SCARDCONTEXT ctx, const char* reader, bool present) {
    SCARD_READERSTATE s{};
    s.szReader = reader;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        LONG rv = SCardGetStatusChange(ctx, 500, &s, 1);
        if (rv != SCARD_S_SUCCESS && rv != SCARD_E_TIMEOUT)
            break;
        if (bool(s.dwEventState & SCARD_STATE_PRESENT) == present)
            return s.dwEventState;
        s.dwCurrentState = s.dwEventState;
    }
    std::fprintf(stderr, "timed out waiting for the card in %s\n", reader);
    return s.dwEventState;
}

constexpr const char* kPnp = "\\\\?PnP?\\Notification";
constexpr DWORD kPresence = SCARD_STATE_CHANGED | SCARD_STATE_UNKNOWN | SCARD_STATE_EMPTY |
                            SCARD_STATE_PRESENT | SCARD_STATE_IGNORE | SCARD_STATE_UNAVAILABLE;
constexpr DWORD kUse = SCARD_STATE_INUSE | SCARD_STATE_EXCLUSIVE;

// One status-change call for one entry: result, state bits, and the upper
// half (as is for PnP, relative to `base` for readers).
void probe(SCARDCONTEXT ctx, const char* what, const char* reader, DWORD current, DWORD timeout,
           long base = -1) {
    SCARD_READERSTATE s{};
    s.szReader = reader;
    s.dwCurrentState = current;
    LONG rv = SCardGetStatusChange(ctx, timeout, &s, 1);
    long upper = long(s.dwEventState >> 16);
    std::string counter =
        base < 0 ? "upper=" + std::to_string(upper) : "counter+" + std::to_string(upper - base);
    line(what, code(rv) + " " + counter + " " + stateBits(s.dwEventState, kPresence | kUse));
}

// Runs `call` in another thread while `h` holds a transaction. A call that
// waits for the transaction is reported as such, with what it returned once
// the transaction ended.
void duringTransaction(SCARDHANDLE h, const char* what, const std::function<std::string()>& call) {
    LONG rv = SCardBeginTransaction(h);
    if (rv != SCARD_S_SUCCESS) {
        line(what, "begin transaction " + code(rv));
        return;
    }
    auto result = std::async(std::launch::async, call);
    if (result.wait_for(std::chrono::seconds(2)) == std::future_status::ready) {
        SCardEndTransaction(h, SCARD_LEAVE_CARD);
        line(what, result.get());
    } else {
        SCardEndTransaction(h, SCARD_LEAVE_CARD);
        line(what, "waits for the end of the transaction, then " + result.get());
    }
}

const Bytes kSelect = {0x00, 0xA4, 0x04, 0x00, 0x09, 0xF0, 0x51,
                       0x56, 0x4B, 0x41, 0x01, 0x00, 0x00, 0x41};
const Bytes kGetVersion = {0x80, 0x02, 0x00, 0x00, 0x02};

}  // namespace

int run(const Options& options) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string image = options.workDir + "/card.img";
    if (!runTool({options.vcardTool, "init", image}))
        return 2;
    std::unique_ptr<CardSlot> slot = prepare(options, image);
    constexpr DWORD kAny = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

    SCARDCONTEXT ctx = 0;
    line("establish", code(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx)));

    char* readers = nullptr;
    DWORD len = SCARD_AUTOALLOCATE;
    LONG rv = SCardListReaders(ctx, nullptr, reinterpret_cast<LPSTR>(&readers), &len);
    std::string names;
    for (const char* p = readers; rv == SCARD_S_SUCCESS && *p; p += std::strlen(p) + 1)
        names += (names.empty() ? "" : " | ") + std::string(p);
    line("list readers", code(rv) + " length=" + std::to_string(len) + " " + names);
    if (rv == SCARD_S_SUCCESS)
        SCardFreeMemory(ctx, readers);

    // What a listener sees on its first call: every entry unaware.
    SCARD_READERSTATE states[3] = {};
    states[0].szReader = kPnp;
    states[1].szReader = kSharedReader;
    states[2].szReader = kOwnReader;
    line("first status change", code(SCardGetStatusChange(ctx, 0, states, 3)));
    line("  pnp", "upper=" + std::to_string(states[0].dwEventState >> 16) + " " +
                      stateBits(states[0].dwEventState, 0xFFFF));
    line("  shared reader", stateBits(states[1].dwEventState, kPresence));
    line("  own reader", stateBits(states[2].dwEventState, kPresence | kUse));
    for (auto& s : states)
        s.dwCurrentState = s.dwEventState;
    line("unchanged status change", code(SCardGetStatusChange(ctx, 0, states, 3)));
    // Event counters depend on the readers' history: only differences are printed.
    const DWORD sharedBase = states[1].dwEventState >> 16;
    const DWORD ownBase = states[2].dwEventState >> 16;

    // The PnP entry on its own, and reader entries with and without counters.
    probe(ctx, "pnp unaware", kPnp, SCARD_STATE_UNAWARE, 0);
    probe(ctx, "pnp with 2 readers", kPnp, 2u << 16, 0);
    probe(ctx, "pnp with 1 reader", kPnp, 1u << 16, 0);
    probe(ctx, "shared reader without counter", kSharedReader, SCARD_STATE_PRESENT, 0, sharedBase);
    probe(ctx, "shared reader with other counter", kSharedReader,
          SCARD_STATE_PRESENT | (sharedBase + 5) << 16, 0, sharedBase);
    probe(ctx, "own reader said present", kOwnReader, SCARD_STATE_PRESENT, 0, ownBase);
    probe(ctx, "unknown reader", "No Such Reader 00 00", SCARD_STATE_UNAWARE, 0, 0);
    probe(ctx, "unknown reader known as unknown", "No Such Reader 00 00", SCARD_STATE_UNKNOWN, 0,
          0);

    SCARDHANDLE h = 0;
    DWORD protocol = 0;
    auto connect = [&](SCARDCONTEXT c, SCARDHANDLE& handle, DWORD share = SCARD_SHARE_SHARED) {
        DWORD p = 0;
        const LONG r = SCardConnect(c, kOwnReader, share, kAny, &handle, &p);
        if (&handle == &h)
            protocol = p;
        return code(r);
    };
    auto reconnect = [&] {
        return code(SCardReconnect(h, SCARD_SHARE_SHARED, kAny, SCARD_LEAVE_CARD, &protocol));
    };
    auto version = [&] { return transmit(h, protocol, kGetVersion); };
    line("connect to empty reader", connect(ctx, h));

    slot->insert();
    DWORD state = waitForCard(ctx, kOwnReader, true);
    line("inserted", stateBits(state, kPresence | kUse) + " counter+" +
                         std::to_string((state >> 16) - ownBase));

    line("connect", connect(ctx, h) + " protocol=" + std::to_string(protocol));
    line("status", status(h));
    DWORD nameOnly = 0;
    rv = SCardStatus(h, nullptr, &nameOnly, nullptr, nullptr, nullptr, nullptr);
    line("status length query", code(rv) + " len=" + std::to_string(nameOnly));

    DWORD got = 0;
    unsigned char features[1024];
    line("feature request without buffer",
         code(SCardControl(h, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, nullptr, 0, &got)));
    rv = SCardControl(h, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, features, sizeof features, &got);
    line("feature request",
         code(rv) + (rv == SCARD_S_SUCCESS ? " [" + hex(features, got) + "]" : ""));

    line("begin transaction", code(SCardBeginTransaction(h)));
    line("select", transmit(h, protocol, kSelect));
    line("get version", version());
    line("end transaction", code(SCardEndTransaction(h, SCARD_LEAVE_CARD)));

    // Two handles (the second on a context of its own, as a second
    // application): what the second gets while the first holds a transaction.
    SCARDCONTEXT ctx2 = 0;
    SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx2);
    SCARDHANDLE other = 0, refused = 0;
    line("second connect", connect(ctx2, other));
    line("exclusive while shared", connect(ctx2, refused, SCARD_SHARE_EXCLUSIVE));
    duringTransaction(h, "other transmit during transaction",
                      [&] { return transmit(other, protocol, kGetVersion); });
    duringTransaction(h, "other status during transaction", [&] { return status(other); });
    duringTransaction(h, "other begin transaction during transaction", [&] {
        LONG r = SCardBeginTransaction(other);
        if (r == SCARD_S_SUCCESS)
            SCardEndTransaction(other, SCARD_LEAVE_CARD);
        return code(r);
    });
    line("end transaction without one", code(SCardEndTransaction(h, SCARD_LEAVE_CARD)));

    line("other begin transaction", code(SCardBeginTransaction(other)));
    line("other end transaction with reset", code(SCardEndTransaction(other, SCARD_RESET_CARD)));
    line("other status after its reset", status(other));
    line("status after other's reset", status(h));
    line("reconnect", reconnect());
    line("select", transmit(h, protocol, kSelect));
    line("third connect", connect(ctx2, other));
    line("disconnect with reset", code(SCardDisconnect(other, SCARD_RESET_CARD)));
    for (int i = 0; i < 2; ++i) {
        line("stale transmit", version());
        line("stale status", status(h));
        rv = SCardBeginTransaction(h);
        line("stale begin transaction", code(rv));
        if (rv == SCARD_S_SUCCESS)
            SCardEndTransaction(h, SCARD_LEAVE_CARD);
    }
    line("reconnect", reconnect() + " protocol=" + std::to_string(protocol));
    line("get version after reset", version());
    line("select after reset", transmit(h, protocol, kSelect));
    line("get version", version());

    line("fourth connect", connect(ctx2, other));
    line("other disconnect with unpower", code(SCardDisconnect(other, SCARD_UNPOWER_CARD)));
    line("transmit after other's unpower", version());
    line("reconnect", reconnect());
    line("get version after unpower", version());
    line("select", transmit(h, protocol, kSelect));

    // Delayed ACKs would put every exchange with the served card near 40 ms.
    std::vector<double> millis;
    for (int i = 0; i < 200; ++i) {
        const auto start = std::chrono::steady_clock::now();
        version();
        millis.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(millis.begin(), millis.end());
    std::fprintf(stderr, "median round trip %.3f ms\n", millis[millis.size() / 2]);
    line("median round trip below 10 ms", millis[millis.size() / 2] < 10 ? "yes" : "no");

    // A change the card answered is in its image once the card is pulled.
    Bytes setFreshness = {0x80, 0x0E, 0x00, 0x00, 47};
    for (int i = 0; i < 47; ++i)
        setFreshness.push_back(static_cast<unsigned char>(i * 7 + 3));
    line("set freshness", transmit(h, protocol, setFreshness));
    slot->remove();
    state = waitForCard(ctx, kOwnReader, false);
    line("removed", stateBits(state, kPresence | kUse) + " counter+" +
                        std::to_string((state >> 16) - ownBase));
    const auto kept = vcard::KalvikCard::load(image)->freshness();
    line("freshness in the image", hex(kept.data(), kept.size()));
    for (int i = 0; i < 2; ++i) {
        line("removed transmit", version());
        line("removed status", status(h));
        line("removed begin transaction", code(SCardBeginTransaction(h)));
    }
    line("removed reconnect", reconnect());
    line("disconnect", code(SCardDisconnect(h, SCARD_LEAVE_CARD)));
    line("disconnect again", code(SCardDisconnect(h, SCARD_LEAVE_CARD)));
    SCardReleaseContext(ctx2);
    line("release", code(SCardReleaseContext(ctx)));
    line("release again", code(SCardReleaseContext(ctx)));
    return 0;
}

bool runTool(const std::vector<std::string>& args) {
    pid_t pid = spawn(args);
    int st = 0;
    if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st) || WEXITSTATUS(st) != 0) {
        std::fprintf(stderr, "%s failed\n", args.front().c_str());
        return false;
    }
    return true;
}

pid_t spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // Keep the child's chatter out of the transcript.
        if (std::freopen("/dev/null", "w", stdout) == nullptr)
            _exit(127);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

}  // namespace scenario

int main(int argc, char** argv) {
    scenario::Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        if (key == "--vcard")
            options.vcardTool = argv[i + 1];
        if (key == "--dir")
            options.workDir = argv[i + 1];
    }
    if (options.vcardTool.empty() || options.workDir.empty()) {
        std::fprintf(stderr, "usage: %s --vcard KALVIK_VCARD --dir WORKDIR\n", argv[0]);
        return 2;
    }
    return scenario::run(options);
}
