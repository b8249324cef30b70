// The virtual card through the real PC/SC stack: libpcsclite -> pcscd -> vpcd
// -> kalvik-vcard serve. Runs inside the pcsc_stack fixture; STACK_DIR names
// the stack's state directory, STACK_SCRIPT the script that pulls and
// re-inserts the card. Readers, transactions and events over the same stack
// are tests/e2e/ctl's; the service's answers are compared by testing_pcsc_vs_pcscd.
#include <winscard.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "vcard/kalvikcard.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes SELECT = {0x00, 0xA4, 0x04, 0x00, 0x09, 0xF0, 0x51,
                      0x56, 0x4B, 0x41, 0x01, 0x00, 0x00, 0x41};
const Bytes GET_VERSION = {0x80, 0x02, 0x00, 0x00, 0x02};
const Bytes OK = {0x90, 0x00};

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

class PcscStack : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(env("STACK_DIR").empty())
            << "run under the pcsc_stack fixture (STACK_DIR unset)";
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_),
                  SCARD_S_SUCCESS);
        connect();
    }
    void TearDown() override {
        SCardDisconnect(card_, SCARD_LEAVE_CARD);
        SCardReleaseContext(context_);
    }

    void connect() {
        if (card_)
            SCardDisconnect(card_, SCARD_LEAVE_CARD);
        card_ = 0;
        ASSERT_EQ(SCardConnect(context_, "Virtual PCD 00 00", SCARD_SHARE_SHARED,
                               SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_, &protocol_),
                  SCARD_S_SUCCESS);
        ASSERT_EQ(send(SELECT), OK);
    }

    LONG transmit(const Bytes& command, Bytes& response) {
        unsigned char buffer[MAX_BUFFER_SIZE];
        DWORD length = sizeof buffer;
        const LONG rc =
            SCardTransmit(card_, protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1,
                          command.data(), command.size(), nullptr, buffer, &length);
        response.assign(buffer, buffer + (rc == SCARD_S_SUCCESS ? length : 0));
        return rc;
    }

    Bytes send(const Bytes& command) {
        Bytes response;
        EXPECT_EQ(transmit(command, response), SCARD_S_SUCCESS);
        return response;
    }

    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    DWORD protocol_ = 0;
};

TEST_F(PcscStack, ApduRoundTripStaysFarBelowDelayedAckTime) {
    std::vector<double> millis;
    for (int i = 0; i < 200; ++i) {
        const auto start = std::chrono::steady_clock::now();
        Bytes response;
        ASSERT_EQ(transmit(GET_VERSION, response), SCARD_S_SUCCESS);
        millis.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(millis.begin(), millis.end());
    // Delayed ACKs would put every exchange near 40 ms.
    EXPECT_LT(millis[millis.size() / 2], 10.0) << "median APDU round trip in ms";
    RecordProperty("median_round_trip_us", int(millis[millis.size() / 2] * 1000));
}

// The served card writes its image: a change survives the card process.
TEST_F(PcscStack, PulledCardComesBackWithItsState) {
    const std::size_t size = vcard::KalvikCard::FRESHNESS_SIZE;
    const Bytes getFreshness = {0x80, 0x0C, 0x00, 0x00, std::uint8_t(size)};
    const Bytes before = send(getFreshness);
    ASSERT_EQ(before.size(), size + 2);
    Bytes set = {0x80, 0x0E, 0x00, 0x00, std::uint8_t(size)};
    std::mt19937 random(std::random_device{}());
    for (std::size_t i = 0; i < size; ++i)
        set.push_back(std::uint8_t(random()));
    ASSERT_EQ(send(set), OK);
    const Bytes marker(set.begin() + 5, set.end());

    ASSERT_EQ(std::system(("bash '" + env("STACK_SCRIPT") + "' remove >/dev/null").c_str()), 0);
    Bytes response;
    EXPECT_EQ(transmit(GET_VERSION, response), SCARD_W_REMOVED_CARD);
    ASSERT_EQ(std::system(("bash '" + env("STACK_SCRIPT") + "' insert >/dev/null").c_str()), 0);
    connect();
    Bytes expected = marker;
    expected.insert(expected.end(), OK.begin(), OK.end());
    EXPECT_EQ(send(getFreshness), expected) << "the card forgot a change across removal";
    const auto onDisk = vcard::KalvikCard::load(env("STACK_DIR") + "/card.img")->freshness();
    EXPECT_EQ(Bytes(onDisk.begin(), onDisk.end()), marker);

    // Leave the card as the fixture made it.
    set.resize(5);
    set.insert(set.end(), before.begin(), before.end() - 2);
    EXPECT_EQ(send(set), OK);
}

}  // namespace
