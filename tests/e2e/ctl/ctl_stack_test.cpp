// The transport over the real PC/SC stack: libpcsclite -> pcscd -> vpcd ->
// `kalvik-vcard serve`. The stack script pulls and re-inserts the card and
// restarts the whole service.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ctl/lockablepcsccardconnection.h"
#include "ctl/pcscerror.h"
#include "ctl/pcsceventlistener.h"
#include "ctl/pcscreader.h"
#include "exceptions.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using ctl::CardConnection;
using ctl::PcScEventListener;
using namespace std::chrono_literals;

const char* const kReader0 = "Virtual PCD 00 00";
const char* const kReader1 = "Virtual PCD 00 01";
const Bytes kSelect = {0x00, 0xA4, 0x04, 0x00, 0x09, 0xF0, 0x51,
                       0x56, 0x4B, 0x41, 0x01, 0x00, 0x00, 0x41};
const Bytes kGetVersion = {0x80, 0x02, 0x00, 0x00, 0x02};

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

int stack(const std::string& command) {
    return std::system(("bash '" + env("STACK_SCRIPT") + "' " + command + " >/dev/null").c_str());
}

Bytes roundTrip(CardConnection& c, const Bytes& command) {
    Bytes response(258);
    std::size_t length = response.size();
    const std::uint16_t sw =
        c.transmit(command.data(), command.size(), response.data(), &length, 0);
    response.resize(length);
    response.push_back(static_cast<std::uint8_t>(sw >> 8));
    response.push_back(static_cast<std::uint8_t>(sw));
    return response;
}

// Takes events until one for `reader` of `type` comes; false when the
// listener falls silent for `quiet` first. Other events (a service that just
// came back may report its readers again) are skipped.
bool waitFor(PcScEventListener& listener, const std::string& reader, std::uint32_t type,
             std::uint32_t quietMs = 10000) {
    for (;;) {
        PcScEventListener::Event e;
        try {
            e = listener.wait(quietMs);
        } catch (const ctl::CtlException& ex) {
            EXPECT_TRUE(ctl::isTimeout(ex)) << ex.what();
            return false;
        }
        if (e.readerName == reader && e.type == type)
            return true;
    }
}

class RealStack : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(env("STACK_SCRIPT").empty()) << "run under the pcsc_stack fixture";
    }
};

TEST_F(RealStack, ReadersConnectionAndTransaction) {
    std::vector<std::string> names;
    for (const ctl::PcScReader& r : ctl::PcScReader::list())
        names.push_back(r.getName());
    ASSERT_EQ(names, (std::vector<std::string>{kReader0, kReader1}));
    EXPECT_TRUE(ctl::PcScReader(kReader0).isCardPresent());
    EXPECT_FALSE(ctl::PcScReader(kReader1).isCardPresent());
    // pcsc-lite refuses to watch a reader it does not know; no card in it.
    EXPECT_FALSE(ctl::PcScReader("No such reader").isCardPresent());

    ctl::LockablePcScCardConnection c(ctl::PcScReader(kReader0), CardConnection::MODE_SHARED,
                                      CardConnection::PROTOCOL_T0_OR_T1);
    EXPECT_EQ(c.getProtocol(), CardConnection::PROTOCOL_T1);
    EXPECT_FALSE(c.isPinPadAvailable());
    EXPECT_TRUE(c.isValid());
    c.lock();
    EXPECT_EQ(roundTrip(c, kSelect), (Bytes{0x90, 0x00}));
    EXPECT_EQ(roundTrip(c, kGetVersion), (Bytes{0x03, 0x01, 0x90, 0x00}));
    c.unlock(CardConnection::LEAVE_CARD);

    // A second connection waits for the first one's transaction.
    ctl::LockablePcScCardConnection other(ctl::PcScReader(kReader0), CardConnection::MODE_SHARED,
                                          CardConnection::PROTOCOL_T0_OR_T1);
    c.lock();
    auto second = std::async(std::launch::async, [&] { other.lock(); });
    EXPECT_EQ(second.wait_for(300ms), std::future_status::timeout);
    c.unlock(CardConnection::LEAVE_CARD);
    ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
    second.get();
    EXPECT_EQ(roundTrip(other, kSelect), (Bytes{0x90, 0x00}));
    other.unlock(CardConnection::LEAVE_CARD);
}

TEST_F(RealStack, CardProcessStoppedAndStartedAgain) {
    PcScEventListener listener;
    PcScEventListener::Event first = listener.wait(5000);
    EXPECT_EQ(first.readerName, kReader0);
    EXPECT_EQ(first.type, PcScEventListener::CARD_INSERTED);

    ctl::LockablePcScCardConnection c(ctl::PcScReader(kReader0), CardConnection::MODE_SHARED,
                                      CardConnection::PROTOCOL_T0_OR_T1);
    ASSERT_EQ(stack("remove"), 0);
    EXPECT_TRUE(waitFor(listener, kReader0, PcScEventListener::CARD_REMOVED));
    EXPECT_FALSE(c.isValid());
    try {
        c.lock();
        ADD_FAILURE() << "lock() on a pulled card";
    } catch (const ctl::CtlException& e) {
        EXPECT_TRUE(ctl::isCardRemoved(e)) << e.what();
    }

    ASSERT_EQ(stack("insert"), 0);
    EXPECT_TRUE(waitFor(listener, kReader0, PcScEventListener::CARD_INSERTED));
    ctl::LockablePcScCardConnection fresh(ctl::PcScReader(kReader0), CardConnection::MODE_SHARED,
                                          CardConnection::PROTOCOL_T0_OR_T1);
    fresh.lock();
    EXPECT_EQ(roundTrip(fresh, kSelect), (Bytes{0x90, 0x00}));
    fresh.unlock(CardConnection::LEAVE_CARD);
}

// Last: the service itself goes away and comes back under a blocked wait.
TEST_F(RealStack, ListenerWaitsOutAServiceRestart) {
    PcScEventListener listener;
    ASSERT_TRUE(waitFor(listener, kReader0, PcScEventListener::CARD_INSERTED));
    auto pending = std::async(std::launch::async, [&] { return listener.wait(0xFFFFFFFF); });
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(stack("stop"), 0);

    // A service shutting down may still report its readers going; after
    // that, with no service at all, the wait neither returns nor throws.
    std::uint32_t last = 0;
    auto take = [&](PcScEventListener::Event e) {
        if (e.readerName == kReader0)
            last = e.type;
    };
    int reported = 0;
    while (pending.wait_for(1s) == std::future_status::ready) {
        try {
            take(pending.get());
        } catch (const ctl::CtlException& e) {
            FAIL() << "wait failed while the service stopped: " << e.what();
        }
        ASSERT_LT(++reported, 10) << "events keep coming without a service";
        pending = std::async(std::launch::async, [&] { return listener.wait(0xFFFFFFFF); });
    }
    ASSERT_EQ(stack("start"), 0);
    ASSERT_EQ(stack("remove"), 0);

    // Whatever the restart itself reported, the last word on the card is the pull.
    try {
        take(pending.get());
        for (;;)
            take(listener.wait(3000));
    } catch (const ctl::CtlException& e) {
        EXPECT_TRUE(ctl::isTimeout(e)) << "wait failed across the restart: " << e.what();
    }
    EXPECT_EQ(last, static_cast<std::uint32_t>(PcScEventListener::CARD_REMOVED));
    ASSERT_EQ(stack("insert"), 0);
    EXPECT_TRUE(waitFor(listener, kReader0, PcScEventListener::CARD_INSERTED));
}

}  // namespace
