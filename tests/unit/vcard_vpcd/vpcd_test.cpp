// The vpcd front end against a fake vpcd: a loopback listener that speaks the
// reader side of the framing, with a trivial card behind the client.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "vcard/vpcd.h"

namespace {

using vcard::Bytes;
using namespace std::chrono_literals;

constexpr auto TIMEOUT = 3s;

Bytes frame(const Bytes& body) {
    Bytes f{std::uint8_t(body.size() >> 8), std::uint8_t(body.size())};
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

// `size` bytes from 80 `ins` on.
Bytes apdu(std::size_t size, std::uint8_t ins = 0x02) {
    Bytes a{0x80, ins};
    for (std::size_t i = 2; i < size; ++i)
        a.push_back(std::uint8_t(i * 7 + 1));
    a.resize(size);
    return a;
}

Bytes echoed(Bytes command) {
    command.push_back(0x90);
    command.push_back(0x00);
    return command;
}

// Answers a command with the command itself followed by 90 00; a command with
// INS EE makes it throw. Records power events.
class EchoCard : public vcard::CardDevice {
public:
    Bytes atr() const override { return {0x3B, 0x02, 0x14, 0x50}; }
    void powerOn() override { record("on"); }
    void powerOff() override { record("off"); }
    void reset() override { record("reset"); }
    Bytes transmit(const Bytes& command) override {
        if (command.size() > 1 && command[1] == 0xEE)
            throw std::runtime_error("card fault");
        return echoed(command);
    }

    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    bool waitForEvent(const std::string& event, std::size_t count = 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, TIMEOUT, [&] {
            std::size_t seen = 0;
            for (const auto& e : events_)
                seen += e == event;
            return seen >= count;
        });
    }

private:
    void record(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

// The reader side: listens on loopback, accepts the client, exchanges frames.
class FakeVpcd {
public:
    explicit FakeVpcd(std::uint16_t port = 0) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_, 4) != 0)
            throw std::runtime_error("cannot listen on loopback");
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~FakeVpcd() {
        closeConnection();
        ::close(listener_);
    }
    std::uint16_t port() const { return port_; }

    bool accept() {
        closeConnection();
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, int(std::chrono::milliseconds(TIMEOUT).count())) != 1)
            return false;
        conn_ = ::accept(listener_, nullptr, nullptr);
        return conn_ >= 0;
    }
    void closeConnection() {
        if (conn_ >= 0)
            ::close(conn_);
        conn_ = -1;
    }
    void sendRaw(const Bytes& bytes) {
        ASSERT_EQ(::send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    void sendFrame(const Bytes& body) { sendRaw(frame(body)); }

    // Reads exactly n bytes; false on timeout or close.
    bool readExactly(Bytes& out, std::size_t n) {
        out.clear();
        while (out.size() < n) {
            pollfd p{conn_, POLLIN, 0};
            if (::poll(&p, 1, int(std::chrono::milliseconds(TIMEOUT).count())) != 1)
                return false;
            std::uint8_t buffer[512];
            ssize_t got = ::recv(conn_, buffer, std::min(sizeof buffer, n - out.size()), 0);
            if (got <= 0)
                return false;
            out.insert(out.end(), buffer, buffer + got);
        }
        return true;
    }
    // One response frame's body; fails the test on timeout.
    Bytes readFrame() {
        Bytes header, body;
        EXPECT_TRUE(readExactly(header, 2)) << "no response frame";
        if (header.size() != 2)
            return {};
        EXPECT_TRUE(readExactly(body, std::size_t(header[0]) << 8 | header[1]))
            << "truncated response frame";
        return body;
    }
    // True when the client sent nothing within `wait`.
    bool silent(std::chrono::milliseconds wait) {
        pollfd p{conn_, POLLIN, 0};
        return ::poll(&p, 1, int(wait.count())) == 0;
    }

private:
    int listener_ = -1;
    int conn_ = -1;
    std::uint16_t port_ = 0;
};

// runVpcdClient on its own thread, stopped and joined by the destructor.
class Client {
public:
    Client(vcard::CardDevice& card, std::uint16_t port) {
        options_.port = port;
        options_.retryInterval = 20ms;
        options_.stopPollInterval = 10ms;
        options_.log = [this](const std::string& m) {
            std::lock_guard<std::mutex> lock(mutex_);
            log_.push_back(m);
        };
        thread_ =
            std::thread([this, &card] { result_ = vcard::runVpcdClient(card, options_, stop_); });
    }
    ~Client() { stopAndJoin(); }

    // Sets the stop flag and waits for the client to return.
    void stopAndJoin() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    int result() const { return result_; }
    bool logged(const std::string& fragment) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& m : log_)
            if (m.find(fragment) != std::string::npos)
                return true;
        return false;
    }

private:
    vcard::VpcdOptions options_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    int result_ = -1;
    std::mutex mutex_;
    std::vector<std::string> log_;
};

// A client connected to a fake vpcd.
class VpcdClientTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(vpcd.accept()); }
    EchoCard card;
    FakeVpcd vpcd;
    Client client{card, vpcd.port()};
};

TEST_F(VpcdClientTest, ControlFramesDriveTheCardAndOnlyTheAtrRequestIsAnswered) {
    vpcd.sendFrame({0x01});  // power on
    vpcd.sendFrame({0x02});  // reset
    vpcd.sendFrame({0x00});  // power off
    vpcd.sendFrame({0x04});  // ATR
    EXPECT_EQ(vpcd.readFrame(), card.atr());
    EXPECT_EQ(card.events(), (std::vector<std::string>{"on", "reset", "off"}));

    // Power changes, unknown codes and empty frames produce no output: the
    // next thing on the wire is the answer to the APDU sent after them. A card
    // fault answers 6F 00 and the connection survives it.
    for (const Bytes& silent : {Bytes{0x01}, Bytes{0x03}, Bytes{0x7F}, Bytes{}})
        vpcd.sendFrame(silent);
    EXPECT_TRUE(vpcd.silent(100ms));
    vpcd.sendFrame(apdu(5, 0xEE));
    EXPECT_EQ(vpcd.readFrame(), (Bytes{0x6F, 0x00}));
    EXPECT_TRUE(client.logged("card fault"));
    const Bytes command = apdu(5);
    vpcd.sendFrame(command);
    EXPECT_EQ(vpcd.readFrame(), echoed(command));
}

TEST_F(VpcdClientTest, EveryApduIsAnsweredWithOneFrameOfTheRightLength) {
    // No power-on first: after a re-insert vpcd may go straight to APDUs.
    // Sizes cross the one-byte boundary of the length header.
    for (std::size_t size : {2u, 5u, 253u, 254u, 255u, 300u, 4000u}) {
        SCOPED_TRACE(size);
        const Bytes command = apdu(size);
        vpcd.sendFrame(command);
        Bytes header, body;
        ASSERT_TRUE(vpcd.readExactly(header, 2));
        EXPECT_EQ(header, (Bytes{std::uint8_t((size + 2) >> 8), std::uint8_t(size + 2)}));
        ASSERT_TRUE(vpcd.readExactly(body, size + 2));
        EXPECT_EQ(body, echoed(command));
    }
    EXPECT_TRUE(vpcd.silent(50ms));
}

TEST_F(VpcdClientTest, FramesAreReassembledAcrossReadsAndSplitWhenCoalesced) {
    // One frame dribbled in byte by byte, the header split too.
    const Bytes slow = apdu(9);
    for (std::uint8_t b : frame(slow)) {
        vpcd.sendRaw({b});
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(vpcd.readFrame(), echoed(slow));

    // Several frames, control and APDU mixed, in one write, ending mid-frame.
    const Bytes a = apdu(4), b = apdu(260), c = apdu(7), d = apdu(12);
    Bytes burst;
    for (const Bytes& f : {frame(a), frame({0x04}), frame(b), frame(c), frame(d)})
        burst.insert(burst.end(), f.begin(), f.end());
    vpcd.sendRaw(Bytes(burst.begin(), burst.end() - 9));
    EXPECT_EQ(vpcd.readFrame(), echoed(a));
    EXPECT_EQ(vpcd.readFrame(), card.atr());
    EXPECT_EQ(vpcd.readFrame(), echoed(b));
    EXPECT_EQ(vpcd.readFrame(), echoed(c));
    EXPECT_TRUE(vpcd.silent(50ms)) << "answered an incomplete frame";
    vpcd.sendRaw(Bytes(burst.end() - 9, burst.end()));
    EXPECT_EQ(vpcd.readFrame(), echoed(d));
}

TEST_F(VpcdClientTest, ClosingTheConnectionRemovesTheCardAndTheClientComesBack) {
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        if (round > 1) {
            ASSERT_TRUE(vpcd.accept()) << "client did not reconnect";
        }
        vpcd.sendFrame({0x04});
        EXPECT_EQ(vpcd.readFrame(), card.atr());
        const Bytes command = apdu(5 + round);
        vpcd.sendFrame(command);
        EXPECT_EQ(vpcd.readFrame(), echoed(command));
        vpcd.closeConnection();
        EXPECT_TRUE(card.waitForEvent("off", round))
            << "losing the connection did not power the card off";
    }
    EXPECT_TRUE(client.logged("vpcd closed the connection"));
}

// The stop flag ends the client whether it waits for vpcd or is connected;
// a client deaf to it hangs the test.
TEST(VpcdClientLifecycle, WaitsUntilVpcdListensAndStopsWaitingOrConnected) {
    std::uint16_t port;  // free a moment ago; nobody listens on it yet
    { port = FakeVpcd().port(); }
    EchoCard card;
    {
        Client waiting(card, port);
        std::this_thread::sleep_for(50ms);
        waiting.stopAndJoin();
        EXPECT_EQ(waiting.result(), 0);
    }
    Client client(card, port);
    std::this_thread::sleep_for(150ms);  // several refused attempts
    FakeVpcd vpcd(port);
    ASSERT_TRUE(vpcd.accept());
    const Bytes command = apdu(5);
    vpcd.sendFrame(command);
    EXPECT_EQ(vpcd.readFrame(), echoed(command));
    EXPECT_TRUE(client.logged("waiting for vpcd"));

    vpcd.sendFrame({0x01});
    ASSERT_TRUE(card.waitForEvent("on"));
    client.stopAndJoin();
    EXPECT_EQ(client.result(), 0);
    // Stopping pulls the card out: the reader sees the connection close.
    Bytes rest;
    EXPECT_FALSE(vpcd.readExactly(rest, 1));
    EXPECT_EQ(card.events().back(), "off");
}

}  // namespace
