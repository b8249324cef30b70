#pragma once
// Internal state of the in-process PC/SC service, shared by the test-facing
// API (service.cpp) and the PC/SC functions (winscard.cpp).
#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "testpcsc/service.h"

namespace testpcsc {

struct ReaderState {
    std::string name;
    ReaderOptions options;
    bool attached = true;  // false once removed from the service

    std::shared_ptr<vcard::CardDevice> card;
    Protocol protocol = Protocol::T1;
    Bytes atr;
    std::uint64_t cardId = 0;  // which insertion; 0 when empty
    bool powered = false;
    std::uint16_t eventCounter = 0;

    bool busy = false;  // a card call is running (made without the lock)
    SCARDHANDLE lockHolder = 0;
    unsigned lockCount = 0;

    // T=0: response data (with its SW) waiting for GET RESPONSE.
    Bytes pending;

    std::deque<PinEntry> pinScript;
    std::vector<PinPadRecord> pinLog;
    std::vector<Exchange> trace;
};
using ReaderPtr = std::shared_ptr<ReaderState>;

struct ContextState {
    std::uint64_t epoch = 0;
    std::uint64_t cancels = 0;
};

struct HandleState {
    SCARDCONTEXT context = 0;
    ReaderPtr reader;
    std::uint64_t cardId = 0;
    DWORD shareMode = 0;
    DWORD protocol = 0;
    bool resetPending = false;
};

struct Injection {
    LONG result;
    unsigned skip;
    unsigned times;
};

struct Service::Impl {
    mutable std::mutex mu;
    mutable std::condition_variable cv;

    bool running = true;
    std::uint64_t epoch = 1;  // contexts of an older epoch are dead

    std::vector<ReaderPtr> readers;
    std::map<SCARDCONTEXT, ContextState> contexts;
    std::map<SCARDHANDLE, HandleState> handles;
    std::map<const void*, SCARDCONTEXT> allocations;

    std::array<unsigned long, kFunctionCount> calls{};
    std::array<std::deque<Injection>, kFunctionCount> injections;
    std::array<std::size_t, kFunctionCount> blocked{};
    std::array<std::deque<std::function<void()>>, kFunctionCount> hooks;

    // Never reset: a stale value from an earlier test must not name a new record.
    SCARDCONTEXT nextContext = 0x01000000;
    SCARDHANDLE nextHandle = 0x02000000;
    std::uint64_t nextCardId = 1;

    ReaderPtr findReader(const std::string& name) const;
    ReaderPtr requireReader(const std::string& name) const;  // throws std::logic_error
    // Counts the call and consumes an injection; the injected result if any.
    std::optional<LONG> enter(Function f);
    // The next hook of `f`, removed from its queue; empty when none.
    std::function<void()> takeHook(Function f);

    // Waits until no card call runs on `r`, marks it busy and runs `fn(card)`
    // without the lock. False when the card left the reader meanwhile
    // (cardId changed) or there is none.
    template <class Fn>
    bool withCard(std::unique_lock<std::mutex>& lock, const ReaderPtr& r, std::uint64_t cardId,
                  Fn&& fn);

    // Marks every handle on the reader's current card except `except` as reset.
    void flagReset(const ReaderPtr& r, SCARDHANDLE except);
    void detachCard(const ReaderPtr& r);
    void attachCard(const ReaderPtr& r, std::shared_ptr<vcard::CardDevice> card, Protocol protocol);
};

template <class Fn>
bool Service::Impl::withCard(std::unique_lock<std::mutex>& lock, const ReaderPtr& r,
                             std::uint64_t cardId, Fn&& fn) {
    cv.wait(lock, [&] { return !r->busy; });
    if (r->cardId != cardId || !r->card)
        return false;
    r->busy = true;
    std::shared_ptr<vcard::CardDevice> card = r->card;
    bool wasPowered = r->powered;
    r->powered = true;
    lock.unlock();
    struct Relock {
        std::unique_lock<std::mutex>& lock;
        ReaderState& r;
        std::condition_variable& cv;
        ~Relock() {
            lock.lock();
            r.busy = false;
            cv.notify_all();
        }
    } relock{lock, *r, cv};
    if (!wasPowered)
        card->powerOn();
    fn(*card);
    return true;
}

}  // namespace testpcsc
