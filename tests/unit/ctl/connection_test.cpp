// Card connections: connecting, T=0 conveniences, response lengths,
// transactions and what they detect, dispositions and disconnecting.
#include <chrono>
#include <future>

#include "ctlhelpers.h"

namespace ctltest {
namespace {

using ctl::CardConnection;
using testpcsc::Function;
using testpcsc::Protocol;
using namespace std::chrono_literals;

class ConnectionTest : public testpcsc::ServiceTest {
protected:
    // A reader "R" with a card answering every command with `n` bytes 00 01 ... and 90 00.
    std::shared_ptr<ScriptedCard> insert(Protocol p, std::size_t n = 0) {
        svc.addReader("R");
        auto c = testpcsc::test::dataCard(n);
        svc.insertCard("R", c, p);
        return c;
    }
    std::vector<Bytes> commandsSeen() {
        std::vector<Bytes> out;
        for (const auto& e : svc.trace("R"))
            out.push_back(e.command);
        return out;
    }
};

// On T=0 a trailing Le is dropped and 61xx is followed by one GET RESPONSE.
TEST_F(ConnectionTest, T0CommandsAndResponses) {
    const Bytes case4 = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x10};
    const Bytes case3(case4.begin(), case4.end() - 1);
    const Bytes case2 = {0x00, 0xB0, 0x00, 0x00, 0x00};
    const Bytes getResponse = {0x00, 0xC0, 0x00, 0x00, 0x10};
    struct Row {
        Protocol protocol;
        std::size_t data;
        Bytes sent;
        std::vector<Bytes> arrived;
    };
    const Row rows[] = {
        {Protocol::T0, 0, case4, {case3}},
        {Protocol::T1, 0, case4, {case4}},
        {Protocol::T0, 0, case3, {case3}},
        {Protocol::T0, 0, case2, {case2}},
        {Protocol::T0, 16, case4, {case3, getResponse}},
    };
    for (const Row& row : rows) {
        svc.reset();
        insert(row.protocol, row.data);
        Bytes expected;
        for (std::size_t i = 0; i < row.data; ++i)
            expected.push_back(static_cast<std::uint8_t>(i));
        expected.insert(expected.end(), {0x90, 0x00});
        EXPECT_EQ(roundTrip(*connect("R"), row.sent, CardConnection::SENSITIVE), expected);
        EXPECT_EQ(commandsSeen(), row.arrived);
    }
}

TEST_F(ConnectionTest, OnlyOne61xxIsFollowedAnd6CxxIsLeftToTheCaller) {
    // A T=1 card that itself answers 61xx: the first is followed, the second returned.
    svc.addReader("R");
    auto chatty = std::make_shared<ScriptedCard>([](const Bytes& cmd) -> Bytes {
        if (cmd[1] == 0xC0)
            return {0x11, 0x22, 0x61, 0x04};
        if (cmd[1] == 0xB0)
            return {0x6C, 0x08};
        return {0x61, 0x08};
    });
    svc.insertCard("R", chatty, Protocol::T1);
    auto c = connect("R");
    EXPECT_EQ(roundTrip(*c, {0x80, 0x10, 0x00, 0x00}), (Bytes{0x11, 0x22, 0x61, 0x04}));
    EXPECT_EQ(commandsSeen(),
              (std::vector<Bytes>{{0x80, 0x10, 0x00, 0x00}, {0x00, 0xC0, 0x00, 0x00, 0x08}}));

    svc.clearTrace("R");
    EXPECT_EQ(roundTrip(*c, {0x00, 0xB0, 0x00, 0x00, 0x00}), (Bytes{0x6C, 0x08}));
    EXPECT_EQ(commandsSeen().size(), 1u);
}

TEST_F(ConnectionTest, ResponseLengthLimits) {
    svc.addReader("R");
    Bytes answer;
    svc.insertCard("R", std::make_shared<ScriptedCard>([&answer](const Bytes&) { return answer; }),
                   Protocol::T1);
    auto c = connect("R");
    const Bytes cmd = {0x00, 0x00, 0x00, 0x00};
    std::uint8_t buf[8];

    // Exactly the capacity fits.
    answer = {1, 2, 3, 4, 5, 6, 0x90, 0x00};
    std::size_t len = sizeof buf;
    EXPECT_EQ(c->transmit(cmd.data(), cmd.size(), buf, &len, 0), 0x9000);
    EXPECT_EQ(Bytes(buf, buf + len), (Bytes{1, 2, 3, 4, 5, 6}));

    // Shorter than a status word, and one byte over the capacity.
    const std::pair<Bytes, std::uint32_t> failures[] = {
        {{0x90}, 0x80100014u}, {{1, 2, 3, 4, 5, 6, 7, 0x90, 0x00}, 0x80100008u}};
    for (const auto& [a, code] : failures) {
        answer = a;
        len = sizeof buf;
        EXPECT_EQ(failureCode([&] { c->transmit(cmd.data(), cmd.size(), buf, &len, 0); }), code);
    }
}

TEST_F(ConnectionTest, LockHoldsOtherConnectionsOffTheCard) {
    insert(Protocol::T1);
    auto a = connect("R");
    auto b = connect("R");
    a->lock();
    EXPECT_EQ(roundTrip(*a, {0x00, 0x01, 0x00, 0x00}), (Bytes{0x90, 0x00}));

    // An exchange of the other connection waits for the end of the transaction.
    auto exchange = std::async(std::launch::async, [&] {
        return roundTrip(*b, {0x00, 0x02, 0x00, 0x00});
    });
    ASSERT_TRUE(svc.waitUntilBlocked(Function::Transmit, 1, 5s));
    EXPECT_EQ(exchange.wait_for(50ms), std::future_status::timeout);
    a->unlock(CardConnection::LEAVE_CARD);
    EXPECT_EQ(exchange.get(), (Bytes{0x90, 0x00}));

    // So does its own transaction.
    a->lock();
    auto second = std::async(std::launch::async, [&] { b->lock(); });
    ASSERT_TRUE(svc.waitUntilBlocked(Function::BeginTransaction, 1, 5s));
    EXPECT_EQ(second.wait_for(50ms), std::future_status::timeout);
    a->unlock(CardConnection::LEAVE_CARD);
    second.get();
    EXPECT_EQ(roundTrip(*b, {0x00, 0x02, 0x00, 0x00}), (Bytes{0x90, 0x00}));
    b->unlock(CardConnection::LEAVE_CARD);
}

TEST_F(ConnectionTest, LockFailsOnceTheCardWasResetRemovedOrItsReaderWent) {
    struct Row {
        const char* what;
        std::function<void(testpcsc::Service&)> happen;
        std::uint32_t code;
    };
    const Row rows[] = {
        {"reset", [](testpcsc::Service& s) { s.resetCard("R"); }, 0x80100068},
        {"removed", [](testpcsc::Service& s) { s.removeCard("R"); }, 0x80100069},
        {"replaced",
         [](testpcsc::Service& s) { s.replaceCard("R", testpcsc::test::swCard(0x90, 0x00)); },
         0x80100069},
        {"reader gone", [](testpcsc::Service& s) { s.removeReader("R"); }, 0x80100017},
    };
    for (const Row& row : rows) {
        svc.reset();
        insert(Protocol::T1);
        auto c = connect("R");
        c->lock();
        c->unlock(CardConnection::LEAVE_CARD);
        row.happen(svc);
        EXPECT_FALSE(c->isValid()) << row.what;
        EXPECT_EQ(failureCode([&] { c->lock(); }), row.code) << row.what;
        c.reset();  // the destructor copes with the dead card
        EXPECT_EQ(svc.openHandles(), 0u) << row.what;
    }
}

TEST_F(ConnectionTest, FailedStatusCheckEndsTheTransactionItBegan) {
    insert(Protocol::T1);
    auto a = connect("R");
    auto b = connect("R");
    svc.failCall(Function::Status, SCARD_W_RESET_CARD);
    EXPECT_EQ(failureCode([&] { a->lock(); }), 0x80100068u);
    EXPECT_EQ(svc.callCount(Function::EndTransaction), 1u);
    // Nobody holds the card: the other connection locks without waiting.
    auto other = std::async(std::launch::async, [&] { b->lock(); });
    ASSERT_EQ(other.wait_for(2s), std::future_status::ready);
    other.get();
    b->unlock(CardConnection::LEAVE_CARD);
}

TEST_F(ConnectionTest, DispositionsReachTheCard) {
    struct Row {
        CardConnection::Disposition disposition;
        int resets;
        int powerOffs;
    };
    const Row rows[] = {{CardConnection::LEAVE_CARD, 0, 0},
                        {CardConnection::RESET_CARD, 1, 0},
                        {CardConnection::UNPOWER_CARD, 0, 1}};
    for (const Row& row : rows) {
        svc.reset();
        auto card = insert(Protocol::T1);
        auto c = connect("R");
        c->lock();
        c->unlock(row.disposition);
        EXPECT_EQ(card->resets.load(), row.resets) << row.disposition;
        EXPECT_EQ(card->powerOffs.load(), row.powerOffs) << row.disposition;

        c->disconnect(row.disposition);
        EXPECT_EQ(card->resets.load(), 2 * row.resets) << row.disposition;
        EXPECT_TRUE(c->isDisconnected());
        EXPECT_EQ(svc.openHandles(), 0u);
        EXPECT_EQ(svc.openContexts(), 0u);
    }
}

// A connect that fails learning the protocol, and a failed disconnect, leave
// nothing open; the failed disconnect is not tried again by the destructor.
TEST_F(ConnectionTest, FailuresLeaveNothingOpen) {
    insert(Protocol::T1);
    svc.failCall(Function::Status, SCARD_F_COMM_ERROR);
    EXPECT_EQ(failureCode([] { connect("R"); }), 0x80100013u);
    EXPECT_EQ(svc.openHandles(), 0u);

    auto c = connect("R");
    svc.resetCallCounts();
    svc.failCall(Function::Disconnect, SCARD_E_INVALID_HANDLE);
    EXPECT_EQ(failureCode([&] { c->disconnect(CardConnection::LEAVE_CARD); }), 0x80100003u);
    EXPECT_TRUE(c->isDisconnected());
    EXPECT_EQ(svc.openContexts(), 0u);
    c.reset();
    EXPECT_EQ(svc.callCount(Function::Disconnect), 1u);
}

}  // namespace
}  // namespace ctltest
