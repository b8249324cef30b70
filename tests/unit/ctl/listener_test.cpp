// The event listener over the in-process service: present cards, card and
// reader changes, cancellation, timeouts and a service that goes away.
#include "ctl/pcsceventlistener.h"

#include <chrono>
#include <future>
#include <thread>

#include "ctlhelpers.h"

namespace ctltest {
namespace {

using Clock = std::chrono::steady_clock;
using ctl::PcScEventListener;
using testpcsc::Function;
using namespace std::chrono_literals;

constexpr std::uint32_t WAIT_FOREVER = 0xFFFFFFFF;
constexpr std::uint32_t CANCELLED = 0x80100002;
constexpr std::uint32_t TIMEOUT = 0x8010000A;

struct Seen {
    std::string reader;
    std::uint32_t type;
    bool operator==(const Seen& o) const { return reader == o.reader && type == o.type; }
};
std::ostream& operator<<(std::ostream& os, const Seen& s) {
    return os << PcScEventListener::eventTypeName(s.type) << " " << s.reader;
}

Seen next(PcScEventListener& l, std::uint32_t timeout = 0) {
    PcScEventListener::Event e = l.wait(timeout);
    return {e.readerName, e.type};
}

class ListenerTest : public testpcsc::ServiceTest {
protected:
    std::shared_ptr<ScriptedCard> card() { return testpcsc::test::swCard(0x90, 0x00); }

    // A wait in another thread, blocked in the service before this returns.
    std::future<Seen> blockedWait(PcScEventListener& l) {
        std::future<Seen> f =
            std::async(std::launch::async, [&l] { return next(l, WAIT_FOREVER); });
        EXPECT_TRUE(svc.waitUntilBlocked(Function::GetStatusChange, 1, 5s));
        return f;
    }
};

// Each event of one status change takes a wait of its own, and only the
// first of them asks the service.
TEST_F(ListenerTest, FirstWaitReportsPresentCardsOneEventPerWait) {
    svc.addReader("A");
    svc.addReader("Empty");
    svc.addReader("B");
    svc.insertCard("A", card());
    svc.insertCard("B", card());
    PcScEventListener listener;
    svc.resetCallCounts();
    EXPECT_EQ(next(listener), (Seen{"A", PcScEventListener::CARD_INSERTED}));
    EXPECT_EQ(next(listener), (Seen{"B", PcScEventListener::CARD_INSERTED}));
    EXPECT_EQ(svc.callCount(Function::GetStatusChange), 1u);

    const auto start = Clock::now();
    EXPECT_EQ(failureCode([&] { listener.wait(60); }), TIMEOUT);
    EXPECT_GE(Clock::now() - start, 50ms);

    // A timeout leaves the listener usable; both cards pulled while nobody
    // waits are again two events from one call.
    svc.removeCard("A");
    svc.removeCard("B");
    svc.resetCallCounts();
    EXPECT_EQ(next(listener), (Seen{"A", PcScEventListener::CARD_REMOVED}));
    EXPECT_EQ(next(listener), (Seen{"B", PcScEventListener::CARD_REMOVED}));
    EXPECT_EQ(svc.callCount(Function::GetStatusChange), 1u);
}

TEST_F(ListenerTest, ReadersComeAndGoThroughThePnpEntry) {
    // The service reports a change of the reader count only to a wait that is
    // blocked while it happens, so each change below has a waiter.
    svc.addReader("First");
    svc.addReader("Middle");
    svc.addReader("Last");
    PcScEventListener listener;

    // A reader plugged in with a card: connected first, the card on the next pass.
    auto connected = blockedWait(listener);
    svc.addReader("New");
    svc.insertCard("New", card());
    EXPECT_EQ(connected.get(), (Seen{"New", PcScEventListener::READER_CONNECTED}));
    EXPECT_EQ(next(listener), (Seen{"New", PcScEventListener::CARD_INSERTED}));

    // A reader leaving from the middle of the list; the ones behind it still report.
    auto middleGone = blockedWait(listener);
    svc.removeReader("Middle");
    EXPECT_EQ(middleGone.get(), (Seen{"Middle", PcScEventListener::READER_DISCONNECTED}));
    svc.insertCard("Last", card());
    EXPECT_EQ(next(listener), (Seen{"Last", PcScEventListener::CARD_INSERTED}));

    // A reader pulled with its card: the card goes first, then the reader.
    auto newGone = blockedWait(listener);
    svc.removeReader("New");
    EXPECT_EQ(newGone.get(), (Seen{"New", PcScEventListener::CARD_REMOVED}));
    EXPECT_EQ(next(listener), (Seen{"New", PcScEventListener::READER_DISCONNECTED}));
}

TEST_F(ListenerTest, ReadersPulledWhileNobodyWaitsAreCaughtUpWith) {
    svc.addReader("A");
    svc.addReader("B");
    svc.addReader("C");
    svc.insertCard("A", card());
    PcScEventListener listener;
    EXPECT_EQ(next(listener), (Seen{"A", PcScEventListener::CARD_INSERTED}));

    // Two readers gone between waits, one of them with its card: the service
    // refuses the stale array and its PnP entry never tells. Each departure
    // is reported once, in array order, from one pass.
    svc.removeReader("A");
    svc.removeReader("C");
    svc.resetCallCounts();
    EXPECT_EQ(next(listener), (Seen{"A", PcScEventListener::READER_DISCONNECTED}));
    EXPECT_EQ(next(listener), (Seen{"C", PcScEventListener::READER_DISCONNECTED}));
    EXPECT_EQ(svc.callCount(Function::GetStatusChange), 1u);

    // The array matches the service again: waits block and report as before.
    EXPECT_EQ(failureCode([&] { listener.wait(0); }), TIMEOUT);
    auto inserted = blockedWait(listener);
    svc.insertCard("B", card());
    EXPECT_EQ(inserted.get(), (Seen{"B", PcScEventListener::CARD_INSERTED}));
    EXPECT_EQ(svc.openContexts(), 1u);
}

TEST_F(ListenerTest, CancelEndsABlockedWaitOnly) {
    svc.addReader("A");
    svc.addReader("B");
    svc.insertCard("A", card());
    svc.insertCard("B", card());
    PcScEventListener listener;
    EXPECT_EQ(next(listener).reader, "A");
    // "B" is queued: a cancel issued now does not touch the queued event.
    listener.cancel();
    EXPECT_EQ(next(listener).reader, "B");

    auto pending = blockedWait(listener);
    listener.cancel();
    EXPECT_EQ(failureCode([&] { pending.get(); }), CANCELLED);

    // The listener stays usable after a cancelled wait.
    svc.removeCard("A");
    EXPECT_EQ(next(listener), (Seen{"A", PcScEventListener::CARD_REMOVED}));
}

// A cancel() that lands after a wait began but before the service has its
// call: while the waiter catches up with a reader change between two calls
// (its own check before each call sees it), or just as the call enters the
// service, which drops it (it is repeated). Either way the wait ends.
TEST_F(ListenerTest, CancelBeforeTheServiceHasTheCallIsNotLost) {
    svc.addReader("A");
    PcScEventListener listener;
    EXPECT_EQ(failureCode([&] { listener.wait(0); }), TIMEOUT);
    auto endsCancelled = [&](std::future<Seen>& wait) {
        const bool ended = wait.wait_for(5s) == std::future_status::ready;
        if (!ended)
            svc.reset();  // frees the lost wait so that the test can end
        return failureCode([&] { wait.get(); }) == CANCELLED && ended;
    };

    // A reader comes and goes again: the waiter lists the readers, and the
    // cancel lands in its own thread as it does, leaving nothing to report.
    auto pending = blockedWait(listener);
    svc.onNextCall(Function::EstablishContext, [&] {
        svc.removeReader("B");
        listener.cancel();
    });
    svc.addReader("B");
    EXPECT_TRUE(endsCancelled(pending)) << "between calls";

    std::future<void> cancelling;
    svc.onNextCall(Function::GetStatusChange, [&] {
        const unsigned long cancels = svc.callCount(Function::Cancel);
        cancelling = std::async(std::launch::async, [&] { listener.cancel(); });
        const auto giveUp = Clock::now() + 5s;
        while (svc.callCount(Function::Cancel) == cancels && Clock::now() < giveUp)
            std::this_thread::sleep_for(1ms);
    });
    pending = std::async(std::launch::async, [&] { return next(listener, WAIT_FOREVER); });
    EXPECT_TRUE(endsCancelled(pending)) << "at the call";
    cancelling.get();
}

TEST_F(ListenerTest, FailuresOfTheServiceCarryTheirCodeAndLeaveNoContext) {
    svc.addReader("R");
    svc.failCall(Function::ListReaders, SCARD_E_NO_MEMORY);
    EXPECT_EQ(failureCode([] { PcScEventListener l; }), 0x80100006u);
    EXPECT_EQ(svc.openContexts(), 0u);

    PcScEventListener listener;
    // An invalid parameter means the context was cancelled away; an unknown
    // reader although every reader is still there must not retry forever.
    const std::pair<LONG, std::uint32_t> rows[] = {{SCARD_E_INVALID_PARAMETER, CANCELLED},
                                                   {SCARD_E_UNKNOWN_READER, 0x80100009},
                                                   {SCARD_E_NO_MEMORY, 0x80100006}};
    for (const auto& [result, thrown] : rows) {
        svc.failCall(Function::GetStatusChange, result);
        EXPECT_EQ(failureCode([&] { listener.wait(0); }), thrown) << std::hex << result;
    }
}

TEST_F(ListenerTest, StoppedServiceIsWaitedOutUnlessCancelled) {
    svc.addReader("R");
    PcScEventListener listener;
    auto pending = blockedWait(listener);
    svc.stop();
    // The waiter keeps waiting for the service, not for us.
    EXPECT_EQ(pending.wait_for(300ms), std::future_status::timeout);
    svc.start();
    // Back in the service with a fresh context; the old one is gone.
    ASSERT_TRUE(svc.waitUntilBlocked(Function::GetStatusChange, 1, 5s));
    EXPECT_EQ(svc.openContexts(), 1u);
    svc.insertCard("R", card());
    EXPECT_EQ(pending.get(), (Seen{"R", PcScEventListener::CARD_INSERTED}));

    // A cancel reaches a wait that is retrying for a stopped service.
    pending = blockedWait(listener);
    svc.stop();
    EXPECT_EQ(pending.wait_for(250ms), std::future_status::timeout);
    const auto start = Clock::now();
    listener.cancel();
    EXPECT_EQ(failureCode([&] { pending.get(); }), CANCELLED);
    EXPECT_LT(Clock::now() - start, 2s);
    svc.start();
}

TEST_F(ListenerTest, ServiceGoneForOneCallIsRetriedWithANewContext) {
    svc.addReader("R");
    PcScEventListener listener;
    // Stopped, not running, shut down by the system, or (pcsc-lite) the
    // connection to it broke under the call.
    bool present = false;
    for (LONG result : {SCARD_E_SERVICE_STOPPED, SCARD_E_NO_SERVICE, SCARD_E_SYSTEM_CANCELLED,
                        SCARD_F_COMM_ERROR}) {
        svc.resetCallCounts();
        svc.failCall(Function::GetStatusChange, result);
        present = !present;
        if (present)
            svc.insertCard("R", card());
        else
            svc.removeCard("R");
        EXPECT_EQ(next(listener).type,
                  present ? PcScEventListener::CARD_INSERTED : PcScEventListener::CARD_REMOVED)
            << std::hex << result;
        EXPECT_EQ(svc.callCount(Function::GetStatusChange), 2u);
        EXPECT_EQ(svc.openContexts(), 1u);
    }
}

}  // namespace
}  // namespace ctltest
