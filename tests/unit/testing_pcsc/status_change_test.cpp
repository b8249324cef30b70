// SCardGetStatusChange: event counters, blocking, cancel, timeout, stop. What
// a first, unaware call and the PnP entry answer is compared with pcscd by
// tests/e2e/testing_pcsc; readers coming and going under a blocked wait and a
// cancelled wait are the transport's listener tests (tests/unit/ctl).
#include <functional>
#include <future>
#include <thread>

#include "helpers.h"

namespace testpcsc::test {
namespace {

using namespace std::chrono_literals;

class StatusChangeTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        ctx = establish();
    }
    // Runs GetStatusChange in another thread; returns once it is blocked.
    std::future<LONG> blockedWait(std::vector<SCARD_READERSTATE>& states,
                                  DWORD timeout = INFINITE) {
        auto f = std::async(std::launch::async, [this, &states, timeout] {
            return SCardGetStatusChange(ctx, timeout, states.data(), DWORD(states.size()));
        });
        EXPECT_TRUE(svc.waitUntilBlocked(Function::GetStatusChange, 1, 5s));
        return f;
    }
    SCARDCONTEXT ctx = 0;
};

SCARD_READERSTATE entry(const char* name, DWORD current = SCARD_STATE_UNAWARE) {
    SCARD_READERSTATE s{};
    s.szReader = name;
    s.dwCurrentState = current;
    return s;
}

TEST_F(StatusChangeTest, CardChangesWakeABlockedWaitOthersTimeOut) {
    svc.addReader("R");
    std::vector<SCARD_READERSTATE> s = {entry("R", SCARD_STATE_EMPTY)};
    struct Step {
        std::function<void()> change;
        DWORD state;
    };
    const Step steps[] = {
        {[&] { svc.insertCard("R", dataCard(0)); }, 1u << 16 | SCARD_STATE_PRESENT},
        {[&] { svc.replaceCard("R", dataCard(0)); },
         3u << 16 | SCARD_STATE_PRESENT},  // out and in again
        {[&] { svc.removeCard("R"); }, 4u << 16 | SCARD_STATE_EMPTY},
    };
    for (const Step& step : steps) {
        auto f = blockedWait(s);
        step.change();
        ASSERT_EQ(f.get(), SCARD_S_SUCCESS);
        EXPECT_EQ(s[0].dwEventState, step.state | SCARD_STATE_CHANGED);
        s[0].dwCurrentState = s[0].dwEventState;
    }
    EXPECT_EQ(s[0].cbAtr, 0u);
    // Feeding the event state back (CHANGED bit included) is no change: the wait runs out.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(SCardGetStatusChange(ctx, 60, s.data(), 1), SCARD_E_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 60ms);
    EXPECT_EQ(s[0].dwEventState, DWORD(4u << 16 | SCARD_STATE_EMPTY));
    // A caller that does not pass a counter sees no change.
    s[0].dwCurrentState = SCARD_STATE_EMPTY;
    EXPECT_EQ(SCardGetStatusChange(ctx, 0, s.data(), 1), SCARD_E_TIMEOUT);
}

// Cancel ends the wait of its own context in progress, and is not
// remembered for a later one; stopping the service ends any wait.
TEST_F(StatusChangeTest, CancelAndStopEndAWaitInProgress) {
    svc.addReader("R");
    std::vector<SCARD_READERSTATE> s = {entry("R", SCARD_STATE_EMPTY)};
    auto f = blockedWait(s);
    EXPECT_EQ(SCardCancel(ctx), SCARD_S_SUCCESS);
    EXPECT_EQ(f.get(), SCARD_E_CANCELLED);
    EXPECT_EQ(SCardCancel(ctx), SCARD_S_SUCCESS);
    EXPECT_EQ(SCardGetStatusChange(ctx, 20, s.data(), 1), SCARD_E_TIMEOUT);
    SCARDCONTEXT other = establish();
    f = blockedWait(s, 300);
    EXPECT_EQ(SCardCancel(other), SCARD_S_SUCCESS);
    EXPECT_EQ(f.get(), SCARD_E_TIMEOUT);

    f = blockedWait(s);
    svc.stop();
    EXPECT_EQ(f.get(), SCARD_E_SERVICE_STOPPED);
    EXPECT_EQ(SCardGetStatusChange(ctx, 0, s.data(), 1), SCARD_E_NO_SERVICE);
}

}  // namespace
}  // namespace testpcsc::test
