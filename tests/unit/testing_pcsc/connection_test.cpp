// Connect/Reconnect/Disconnect, reset and removal as other handles see them,
// transactions between handles and threads, Status.
#include <cstring>
#include <functional>
#include <future>
#include <thread>

#include "helpers.h"

namespace testpcsc::test {
namespace {

using namespace std::chrono_literals;

const Bytes kSelect = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00};

class ConnectionTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        svc.addReader("R");
        card = swCard(0x90, 0x00);
        svc.insertCard("R", card);
        ctx = establish();
    }
    std::shared_ptr<ScriptedCard> card;
    SCARDCONTEXT ctx = 0;
};

// Status, an empty reader and a shared card refusing an exclusive handle
// are compared with pcscd by tests/e2e/testing_pcsc.
TEST_F(ConnectionTest, ConnectChecksReaderProtocolAndSharing) {
    SCARDHANDLE h = 0;
    DWORD proto = 0;
    auto connectAs = [&](const char* reader, DWORD share, DWORD protocols) {
        return SCardConnect(ctx, reader, share, protocols, &h, &proto);
    };
    EXPECT_EQ(connectAs("nope", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1), SCARD_E_UNKNOWN_READER);
    EXPECT_EQ(connectAs("R", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0), SCARD_E_PROTO_MISMATCH);
    SCARDHANDLE exclusive = connect(ctx, "R", &proto, SCARD_SHARE_EXCLUSIVE);
    EXPECT_EQ(proto, DWORD(SCARD_PROTOCOL_T1));
    EXPECT_EQ(connectAs("R", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1), SCARD_E_SHARING_VIOLATION);
    SCardDisconnect(exclusive, SCARD_LEAVE_CARD);
    EXPECT_EQ(connectAs("R", SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1), SCARD_S_SUCCESS);
}

// What a handle's calls answer once its card was reset by someone (itself
// included), pulled, swapped or its reader went; whether the card really was
// reset or powered off; and what reconnecting without a reset gives.
TEST_F(ConnectionTest, HandlesAfterTheCardChanged) {
    using Change = std::function<void(Service&, SCARDHANDLE self, SCARDHANDLE other)>;
    DWORD proto = 0;
    struct Row {
        const char* what;
        Change change;
        LONG calls;  // Transmit, Status and BeginTransaction, every time
        int resets, powerOffs;
        LONG reconnect;  // then Status answers this too, or success
    };
    const Row rows[] = {
        {"another handle disconnects with reset",
         [](Service&, SCARDHANDLE, SCARDHANDLE o) { SCardDisconnect(o, SCARD_RESET_CARD); },
         SCARD_W_RESET_CARD, 1, 0, SCARD_S_SUCCESS},
        {"own transaction ends with reset (as pcscd: stale too)",
         [](Service&, SCARDHANDLE h, SCARDHANDLE) {
             SCardBeginTransaction(h);
             SCardEndTransaction(h, SCARD_RESET_CARD);
         },
         SCARD_W_RESET_CARD, 1, 0, SCARD_S_SUCCESS},
        {"another handle reconnects with reset",
         [&](Service&, SCARDHANDLE, SCARDHANDLE o) {
             SCardReconnect(o, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_RESET_CARD, &proto);
         },
         SCARD_W_RESET_CARD, 1, 0, SCARD_S_SUCCESS},
        {"another handle disconnects with unpower",
         [](Service&, SCARDHANDLE, SCARDHANDLE o) { SCardDisconnect(o, SCARD_UNPOWER_CARD); },
         SCARD_W_RESET_CARD, 0, 1, SCARD_S_SUCCESS},
        {"another application resets the card",
         [](Service& s, SCARDHANDLE, SCARDHANDLE) { s.resetCard("R"); }, SCARD_W_RESET_CARD, 1, 0,
         SCARD_S_SUCCESS},
        {"card pulled", [](Service& s, SCARDHANDLE, SCARDHANDLE) { s.removeCard("R"); },
         SCARD_W_REMOVED_CARD, 0, 1, SCARD_E_NO_SMARTCARD},
        {"card swapped",
         [](Service& s, SCARDHANDLE, SCARDHANDLE) { s.replaceCard("R", swCard(0x90, 0x00)); },
         SCARD_W_REMOVED_CARD, 0, 1, SCARD_S_SUCCESS},
        {"reader gone", [](Service& s, SCARDHANDLE, SCARDHANDLE) { s.removeReader("R"); },
         SCARD_E_READER_UNAVAILABLE, 0, 1, SCARD_E_READER_UNAVAILABLE},
    };
    for (const Row& row : rows) {
        SetUp();
        SCARDHANDLE h = connect(ctx, "R");
        row.change(svc, h, connect(ctx, "R"));
        for (int i = 0; i < 2; ++i) {  // not a one-shot report
            EXPECT_EQ(transmit(h, kSelect).rv, row.calls) << row.what;
            EXPECT_EQ(status(h), row.calls) << row.what;
            EXPECT_EQ(SCardBeginTransaction(h), row.calls) << row.what;
        }
        EXPECT_EQ(card->resets, row.resets) << row.what;
        EXPECT_EQ(card->powerOffs, row.powerOffs) << row.what;
        EXPECT_EQ(
            SCardReconnect(h, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &proto),
            row.reconnect)
            << row.what;
        EXPECT_EQ(status(h),
                  row.reconnect == SCARD_E_NO_SMARTCARD ? SCARD_W_REMOVED_CARD : row.reconnect)
            << row.what;
        EXPECT_EQ(card->resets, row.resets) << row.what;  // reconnecting with LEAVE does not reset
        EXPECT_EQ(SCardDisconnect(h, SCARD_RESET_CARD), SCARD_S_SUCCESS) << row.what;
    }
}

// A reset under a transaction ends it; a transaction waited for ends when the card goes.
TEST_F(ConnectionTest, TransactionsEndWithTheCard) {
    SCARDHANDLE a = connect(ctx, "R");
    SCARDHANDLE b = connect(ctx, "R");
    ASSERT_EQ(SCardBeginTransaction(a), SCARD_S_SUCCESS);
    svc.resetCard("R");
    EXPECT_EQ(SCardEndTransaction(a, SCARD_LEAVE_CARD), SCARD_W_RESET_CARD);
    DWORD proto = 0;
    for (SCARDHANDLE h : {a, b})
        ASSERT_EQ(
            SCardReconnect(h, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &proto),
            SCARD_S_SUCCESS);
    ASSERT_EQ(SCardBeginTransaction(b), SCARD_S_SUCCESS);
    auto waiting = std::async(std::launch::async, [&] { return SCardBeginTransaction(a); });
    ASSERT_TRUE(svc.waitUntilBlocked(Function::BeginTransaction, 1, 5s));
    svc.removeCard("R");
    EXPECT_EQ(waiting.get(), SCARD_W_REMOVED_CARD);
    EXPECT_EQ(SCardEndTransaction(b, SCARD_LEAVE_CARD), SCARD_W_REMOVED_CARD);
}

TEST_F(ConnectionTest, SecondHandleWaitsForTheTransactionToEnd) {
    SCARDHANDLE a = connect(ctx, "R");
    SCARDHANDLE b = connect(establish(), "R");
    ASSERT_EQ(SCardBeginTransaction(a), SCARD_S_SUCCESS);
    ASSERT_EQ(SCardBeginTransaction(a), SCARD_S_SUCCESS);  // nested on the same handle

    // (That b's exchanges wait meanwhile is the transport's test.)
    auto other = std::async(std::launch::async, [&] { return SCardBeginTransaction(b); });
    ASSERT_TRUE(svc.waitUntilBlocked(Function::BeginTransaction, 1, 5s));
    EXPECT_EQ(SCardEndTransaction(b, SCARD_LEAVE_CARD), SCARD_E_NOT_TRANSACTED);

    EXPECT_EQ(SCardEndTransaction(a, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    EXPECT_EQ(other.wait_for(50ms), std::future_status::timeout);  // one level still held
    EXPECT_EQ(SCardEndTransaction(a, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    EXPECT_EQ(other.get(), SCARD_S_SUCCESS);

    // Disconnecting the holder releases the transaction too.
    SCARDHANDLE c = connect(ctx, "R");
    auto third = std::async(std::launch::async, [&] { return SCardBeginTransaction(c); });
    ASSERT_TRUE(svc.waitUntilBlocked(Function::BeginTransaction, 1, 5s));
    EXPECT_EQ(SCardDisconnect(b, SCARD_LEAVE_CARD), SCARD_S_SUCCESS);
    EXPECT_EQ(third.get(), SCARD_S_SUCCESS);
}

TEST_F(ConnectionTest, ConcurrentTransmitsReachTheCardOneAtATime) {
    std::atomic<int> inside{0}, overlap{0};
    auto slow = std::make_shared<ScriptedCard>([&](const Bytes&) {
        if (++inside > 1)
            ++overlap;
        std::this_thread::sleep_for(1ms);
        --inside;
        return Bytes{0x90, 0x00};
    });
    svc.replaceCard("R", slow);
    std::vector<std::future<void>> threads;
    for (int t = 0; t < 4; ++t)
        threads.push_back(std::async(std::launch::async, [&] {
            SCARDHANDLE h = connect(establish(), "R");
            for (int i = 0; i < 20; ++i)
                EXPECT_EQ(transmit(h, kSelect).rv, SCARD_S_SUCCESS);
        }));
    for (auto& t : threads)
        t.get();
    EXPECT_EQ(overlap, 0);
    EXPECT_EQ(svc.trace("R").size(), 80u);
}

// A handle connected while a reset waits for a busy card is reset with it.
TEST_F(ConnectionTest, HandleConnectedWhileAResetWaitsIsReset) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> entered{false};
    auto slow = std::make_shared<ScriptedCard>([&](const Bytes&) {
        entered = true;
        released.wait();
        return Bytes{0x90, 0x00};
    });
    svc.replaceCard("R", slow);
    SCARDHANDLE a = connect(ctx, "R");
    auto busy = std::async(std::launch::async, [&] { return transmit(a, kSelect).rv; });
    for (int i = 0; i < 500 && !entered; ++i)
        std::this_thread::sleep_for(10ms);
    auto reset = std::async(std::launch::async, [&] { svc.resetCard("R"); });
    std::this_thread::sleep_for(20ms);  // the reset now waits for the card
    SCARDHANDLE b = connect(ctx, "R");
    release.set_value();
    EXPECT_EQ(busy.get(), SCARD_S_SUCCESS);
    reset.get();
    EXPECT_EQ(slow->resets, 1);
    EXPECT_EQ(transmit(b, kSelect).rv, SCARD_W_RESET_CARD);
}

}  // namespace
}  // namespace testpcsc::test
