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
        Bytes response = command;
        response.push_back(0x90);
        response.push_back(0x00);
        return response;
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

Bytes frame(const Bytes& body) {
    Bytes f{std::uint8_t(body.size() >> 8), std::uint8_t(body.size())};
    f.insert(f.end(), body.begin(), body.end());
    return f;
}

Bytes apdu(std::size_t size, std::uint8_t ins = 0x02) {
    Bytes a(size);
    for (std::size_t i = 0; i < size; ++i)
        a[i] = std::uint8_t(i * 7 + 1);
    a[0] = 0x80;
    if (size > 1)
        a[1] = ins;
    return a;
}

Bytes echoed(Bytes command) {
    command.push_back(0x90);
    command.push_back(0x00);
    return command;
}

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

class VpcdClientTest : public ::testing::Test {
protected:
    EchoCard card;
    FakeVpcd vpcd;
};

TEST_F(VpcdClientTest, ControlFramesDriveTheCardAndOnlyTheAtrRequestIsAnswered) {
    Client client(card, vpcd.port());
    ASSERT_TRUE(vpcd.accept());

    vpcd.sendFrame({0x01});  // power on
    vpcd.sendFrame({0x02});  // reset
    vpcd.sendFrame({0x00});  // power off
    vpcd.sendFrame({0x04});  // ATR
    EXPECT_EQ(vpcd.readFrame(), card.atr());
    EXPECT_EQ(card.events(), (std::vector<std::string>{"on", "reset", "off"}));

    // Power changes and unknown codes produce no output: the next thing on the
    // wire is the answer to the APDU sent after them.
    vpcd.sendFrame({0x01});
    vpcd.sendFrame({0x03});
    vpcd.sendFrame({0x7F});
    EXPECT_TRUE(vpcd.silent(100ms));
    const Bytes command = apdu(5);
    vpcd.sendFrame(command);
    EXPECT_EQ(vpcd.readFrame(), echoed(command));
}

TEST_F(VpcdClientTest, EveryApduIsAnsweredWithOneFrameOfTheRightLength) {
    Client client(card, vpcd.port());
    ASSERT_TRUE(vpcd.accept());
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
    Client client(card, vpcd.port());
    ASSERT_TRUE(vpcd.accept());

    // One frame dribbled in byte by byte, the header split too.
    const Bytes slow = apdu(9);
    for (std::uint8_t b : frame(slow)) {
        vpcd.sendRaw({b});
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(vpcd.readFrame(), echoed(slow));

    // Several frames, control and APDU mixed, in one write, ending mid-frame.
    const Bytes a = apdu(4), b = apdu(260), c = apdu(7);
    Bytes burst = frame(a);
    for (const Bytes& f : {frame({0x04}), frame(b), frame(c)})
        burst.insert(burst.end(), f.begin(), f.end());
    const Bytes d = apdu(12);
    const Bytes tail = frame(d);
    burst.insert(burst.end(), tail.begin(), tail.begin() + 5);
    vpcd.sendRaw(burst);
    EXPECT_EQ(vpcd.readFrame(), echoed(a));
    EXPECT_EQ(vpcd.readFrame(), card.atr());
    EXPECT_EQ(vpcd.readFrame(), echoed(b));
    EXPECT_EQ(vpcd.readFrame(), echoed(c));
    EXPECT_TRUE(vpcd.silent(50ms)) << "answered an incomplete frame";
    vpcd.sendRaw(Bytes(tail.begin() + 5, tail.end()));
    EXPECT_EQ(vpcd.readFrame(), echoed(d));
}

TEST_F(VpcdClientTest, EmptyFramesAreIgnoredAndACardFaultAnswers6F00) {
    Client client(card, vpcd.port());
    ASSERT_TRUE(vpcd.accept());
    vpcd.sendFrame({});
    vpcd.sendFrame(apdu(5, 0xEE));
    EXPECT_EQ(vpcd.readFrame(), (Bytes{0x6F, 0x00}));
    EXPECT_TRUE(client.logged("card fault"));
    // The connection survives both.
    const Bytes command = apdu(6);
    vpcd.sendFrame(command);
    EXPECT_EQ(vpcd.readFrame(), echoed(command));
}

TEST_F(VpcdClientTest, ClosingTheConnectionRemovesTheCardAndTheClientComesBack) {
    Client client(card, vpcd.port());
    for (int round = 1; round <= 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(vpcd.accept()) << "client did not reconnect";
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

TEST(VpcdClientStart, WaitsUntilVpcdListens) {
    // A port that was free a moment ago; nobody listens on it yet.
    std::uint16_t port;
    { port = FakeVpcd().port(); }
    EchoCard card;
    Client client(card, port);
    std::this_thread::sleep_for(150ms);  // several refused attempts
    FakeVpcd vpcd(port);
    ASSERT_TRUE(vpcd.accept());
    const Bytes command = apdu(5);
    vpcd.sendFrame(command);
    EXPECT_EQ(vpcd.readFrame(), echoed(command));
    EXPECT_TRUE(client.logged("waiting for vpcd"));
}

TEST(VpcdClientStop, StopFlagEndsTheClientWhetherConnectedOrWaiting) {
    EchoCard card;
    {
        FakeVpcd vpcd;
        Client client(card, vpcd.port());
        ASSERT_TRUE(vpcd.accept());
        vpcd.sendFrame({0x01});
        ASSERT_TRUE(card.waitForEvent("on"));
        client.stopAndJoin();  // returns at all: a client deaf to the flag hangs the test
        EXPECT_EQ(client.result(), 0);
        // Stopping pulls the card out: the reader sees the connection close.
        Bytes rest;
        EXPECT_FALSE(vpcd.readExactly(rest, 1));
        EXPECT_EQ(card.events().back(), "off");
    }
    {
        std::uint16_t port;
        { port = FakeVpcd().port(); }
        Client client(card, port);
        std::this_thread::sleep_for(50ms);
        client.stopAndJoin();
        EXPECT_EQ(client.result(), 0);
    }
}

}  // namespace
