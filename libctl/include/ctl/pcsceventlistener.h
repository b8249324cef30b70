#pragma once
// Turns the service's reader state changes into a queue of discrete events.
//
// `wait` runs in one thread; `cancel` is the only call meant to come from
// another thread while a `wait` is blocked.
#include <winscard.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace ctl {

class PcScEventListener {
public:
    enum EventType : std::uint32_t {
        CARD_INSERTED = 1,
        CARD_REMOVED = 2,
        READER_CONNECTED = 3,
        READER_DISCONNECTED = 4,
    };

    struct Event {
        std::string readerName;
        EventType type = CARD_INSERTED;
    };

    // Name of the pseudo-reader that reports reader arrivals and departures.
    static const char* const PNP_NOTIFICATION;

    // Establishes the listener's context and starts with every known reader
    // unaware, so the first `wait` reports the cards already inserted.
    PcScEventListener();
    ~PcScEventListener();
    PcScEventListener(const PcScEventListener&) = delete;
    PcScEventListener& operator=(const PcScEventListener&) = delete;

    // The next event; each status-change call blocks up to `timeout` ms
    // (0xFFFFFFFF: no limit). A timeout throws ctl::CtlException with the
    // service's timeout code, a cancellation with 0x80100002. A stopped
    // service is waited out; a reader that left while nobody waited (the
    // service then refuses the array) is reported as READER_DISCONNECTED.
    Event wait(std::uint32_t timeout);

    // Makes a `wait` running in another thread throw 0x80100002 before it
    // blocks again, or wakes it when it is blocked; returns once that wait
    // is out of the service. A cancel while no wait runs is forgotten.
    void cancel();

    // Brings the reader list in line with the service and queues
    // READER_CONNECTED / READER_DISCONNECTED events.
    void handleNumOfReadersChanged();

    // Full enumerator name, "ctl::PcScEventListener::CARD_INSERTED", or "UNKNOWN".
    static const char* eventTypeName(std::uint32_t type);

private:
    struct Entry {
        std::string name;
        DWORD currentState = 0;
        DWORD eventState = 0;
    };

    void waitForServiceRestart();
    void appendEntry(const std::string& name);

    // Guards `context_` and the cancellation state against `cancel`.
    std::mutex mutex_;
    // Signals a cancellation to the restart wait, and the end of a service call to `cancel`.
    std::condition_variable wake_;
    SCARDCONTEXT context_ = 0;
    bool hasContext_ = false;
    bool waitingForService_ = false;
    bool inServiceCall_ = false;
    bool cancelPending_ = false;

    std::deque<Event> eventQueue_;
    // Entry 0 is the pseudo-reader; then readers in the order first seen.
    std::vector<Entry> entries_;
    std::vector<SCARD_READERSTATE> readerStates_;
};

}  // namespace ctl
