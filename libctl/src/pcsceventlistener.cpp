#include "ctl/pcsceventlistener.h"

#include <chrono>

#include "ctl/pcscreader.h"
#include "pcsc.h"

QV_TRACE_UNIT("CTL", "libctl/src/pcsceventlistener");

namespace ctl {

using namespace detail;

const char* const PcScEventListener::PNP_NOTIFICATION = "\\\\?PnP?\\Notification";

namespace {

// pcsc-lite has no "service started" event: while the service is gone we
// try to establish a context this often.
constexpr std::chrono::milliseconds SERVICE_RETRY_INTERVAL{100};
// How often cancel() repeats itself while the waiter is still in the
// service, and for how long, should the service never let it go.
constexpr std::chrono::milliseconds CANCEL_RESEND_INTERVAL{100};
constexpr std::chrono::seconds CANCEL_PATIENCE{5};

}  // namespace

PcScEventListener::PcScEventListener() {
    QV_ENTER("ctl::PcScEventListener::PcScEventListener");
    context_ = establishContext();
    hasContext_ = true;
    try {
        appendEntry(PNP_NOTIFICATION);
        for (const PcScReader& reader : PcScReader::list())
            appendEntry(reader.getName());
    } catch (...) {
        releaseContext(context_);
        throw;
    }
}

PcScEventListener::~PcScEventListener() {
    if (hasContext_)
        releaseContext(context_);
}

void PcScEventListener::appendEntry(const std::string& name) {
    Entry entry;
    entry.name = name;
    entries_.push_back(std::move(entry));
}

const char* PcScEventListener::eventTypeName(std::uint32_t type) {
    static const EnumName names[] = {
        {CARD_INSERTED, "ctl::PcScEventListener::CARD_INSERTED"},
        {CARD_REMOVED, "ctl::PcScEventListener::CARD_REMOVED"},
        {READER_CONNECTED, "ctl::PcScEventListener::READER_CONNECTED"},
        {READER_DISCONNECTED, "ctl::PcScEventListener::READER_DISCONNECTED"},
    };
    return enumName(type, names);
}

PcScEventListener::Event PcScEventListener::wait(std::uint32_t timeout) {
    QV_ENTER("ctl::PcScEventListener::wait");
    QV_TRACE_VALUE(timeout);
    {
        // A cancellation only concerns a wait that is already running.
        std::lock_guard<std::mutex> guard(mutex_);
        cancelPending_ = false;
    }

    while (eventQueue_.empty()) {
        readerStates_.assign(entries_.size(), SCARD_READERSTATE{});
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            readerStates_[i].szReader = entries_[i].name.c_str();
            readerStates_[i].dwCurrentState = entries_[i].currentState;
            readerStates_[i].dwEventState = entries_[i].eventState;
        }
        SCARDCONTEXT context;
        {
            // A cancel() since this wait began counts, even one that came
            // before the wait got as far as the service.
            std::lock_guard<std::mutex> guard(mutex_);
            if (cancelPending_)
                fail(SCARD_E_CANCELLED);
            context = context_;
            inServiceCall_ = true;
        }
        QV_TRACE("SCardGetStatusChangeW() may block...");
        LONG rv = SCardGetStatusChange(context, static_cast<DWORD>(timeout), &readerStates_[0],
                                       static_cast<DWORD>(readerStates_.size()));
        {
            std::lock_guard<std::mutex> guard(mutex_);
            inServiceCall_ = false;
            wake_.notify_all();
        }
        QV_TRACE_CALL(
            "SCardGetStatusChangeW(context, static_cast<DWORD>(timeout), "
            "&readerStates[0], static_cast<DWORD>(readerStates.size()))",
            rv);
        if (serviceGone(rv)) {
            waitForServiceRestart();
            continue;
        }
        if (rv == SCARD_E_INVALID_PARAMETER || rv == SCARD_E_CANCELLED)
            fail(SCARD_E_CANCELLED);
        if (rv == SCARD_E_UNKNOWN_READER) {
            // A reader left while nobody waited: the service then refuses the
            // whole array and never reports the departure through the PnP
            // entry. Catch up with its reader list and wait again; when that
            // changes nothing, the same call would only fail again.
            QV_TRACE("Number of readers changed");
            const std::size_t queued = eventQueue_.size();
            handleNumOfReadersChanged();
            if (eventQueue_.size() == queued)
                fail(rv);
            continue;
        }
        if (rv != SCARD_S_SUCCESS)
            fail(rv);

        for (std::size_t i = 0; i < entries_.size(); ++i)
            entries_[i].eventState = readerStates_[i].dwEventState;

        for (auto it = entries_.begin() + 1; it != entries_.end(); ++it) {
            QV_TRACE("Check change in a reader");
            QV_TRACE_NAMED("it->dwCurrentState", numberText(it->currentState));
            QV_TRACE_NAMED("it->dwEventState", numberText(it->eventState));
            const bool wasPresent = (it->currentState & STATE_PRESENT) != 0;
            const bool isPresent = (it->eventState & STATE_PRESENT) != 0;
            if (wasPresent && !isPresent) {
                QV_TRACE("Card removed from %s", it->name.c_str());
                eventQueue_.push_back(Event{it->name, CARD_REMOVED});
            } else if (isPresent && !wasPresent) {
                QV_TRACE("Card inserted into %s", it->name.c_str());
                eventQueue_.push_back(Event{it->name, CARD_INSERTED});
            }
            it->currentState = it->eventState;
        }

        const DWORD pnpState = entries_[0].eventState;
        if (pnpState & STATE_CHANGED) {
            QV_TRACE("Number of readers changed");
            handleNumOfReadersChanged();
        }
        entries_[0].currentState = pnpState;
    }

    QV_TRACE_NAMED("eventQueue.size()", numberText(eventQueue_.size()));
    Event event = eventQueue_.front();
    eventQueue_.pop_front();
    QV_TRACE_NAMED("reader_event", std::string("[event = ") + eventTypeName(event.type) +
                                       ", reader = " + event.readerName + "]");
    return event;
}

void PcScEventListener::handleNumOfReadersChanged() {
    QV_ENTER("ctl::PcScEventListener::handleNumOfReadersChanged");
    std::vector<PcScReader> current = PcScReader::list();

    for (auto it = entries_.begin() + 1; it != entries_.end();) {
        auto found = current.begin();
        while (found != current.end() && found->getName() != it->name)
            ++found;
        if (found != current.end()) {
            current.erase(found);
            ++it;
            continue;
        }
        QV_TRACE("Reader %s disconnected", it->name.c_str());
        eventQueue_.push_back(Event{it->name, READER_DISCONNECTED});
        it = entries_.erase(it);
    }

    for (const PcScReader& reader : current) {
        appendEntry(reader.getName());
        QV_TRACE("Reader %s connected", reader.getName().c_str());
        eventQueue_.push_back(Event{reader.getName(), READER_CONNECTED});
    }
}

void PcScEventListener::waitForServiceRestart() {
    QV_TRACE("Service stopped. Waiting on single object ...");
    std::unique_lock<std::mutex> lock(mutex_);
    waitingForService_ = true;
    if (hasContext_) {
        releaseContext(context_);
        hasContext_ = false;
    }
    // Until the service answers again; a cancel() ends the wait.
    LONG rv = SCARD_E_NO_SERVICE;
    SCARDCONTEXT context = 0;
    while (!cancelPending_) {
        rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
        if (!serviceGone(rv))
            break;
        wake_.wait_for(lock, SERVICE_RETRY_INTERVAL, [this] { return cancelPending_; });
    }
    waitingForService_ = false;
    const bool cancelled = cancelPending_;
    QV_TRACE_NAMED("waitForSingleObjectResult",
                   numberText(cancelled ? code(SCARD_E_CANCELLED) : 0));
    if (cancelled) {
        if (rv == SCARD_S_SUCCESS)
            releaseContext(context);
        // The wait for the service ended by a cancellation, which is what the
        // waiting thread must see.
        fail(SCARD_E_CANCELLED);
    }
    QV_TRACE_CALL("SCardEstablishContext(2, 0, 0, &context)", rv);
    if (rv != SCARD_S_SUCCESS)
        fail(rv);
    context_ = context;
    hasContext_ = true;
}

void PcScEventListener::cancel() {
    QV_ENTER("ctl::PcScEventListener::cancel");
    std::unique_lock<std::mutex> lock(mutex_);
    cancelPending_ = true;
    if (waitingForService_) {
        // The waiter sleeps between attempts to reach the service, not in it.
        wake_.notify_all();
        return;
    }
    const auto giveUp = std::chrono::steady_clock::now() + CANCEL_PATIENCE;
    for (;;) {
        LONG rv = hasContext_ ? SCardCancel(context_) : SCARD_E_NO_SERVICE;
        QV_TRACE_CALL("SCardCancel(context)", rv);
        // A service that just went away takes the waiter into the restart
        // wait, where the pending cancellation reaches it.
        if (rv != SCARD_S_SUCCESS && !serviceGone(rv))
            fail(rv);
        // The service drops a cancellation that reaches it before the
        // waiter's call does: repeat it until the waiter is out of the call.
        if (wake_.wait_for(lock, CANCEL_RESEND_INTERVAL, [this] { return !inServiceCall_; }) ||
            waitingForService_ || std::chrono::steady_clock::now() >= giveUp)
            return;
    }
}

}  // namespace ctl
