// The virtual card through the real PC/SC stack: libpcsclite -> pcscd -> vpcd
// -> kalvik-vcard serve. Runs inside the pcsc_stack fixture; STACK_DIR names
// the stack's state directory, STACK_SCRIPT the script that pulls and
// re-inserts the card. A second served card is exercised by testing_pcsc_vs_pcscd.
#include <winscard.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "vcard/kalvikcard.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const char* const READER_0 = "Virtual PCD 00 00";
const char* const READER_1 = "Virtual PCD 00 01";
const Bytes SELECT = {0x00, 0xA4, 0x04, 0x00, 0x09, 0xF0, 0x51,
                      0x56, 0x4B, 0x41, 0x01, 0x00, 0x00, 0x41};
const Bytes GET_VERSION = {0x80, 0x02, 0x00, 0x00, 0x02};
const Bytes OK = {0x90, 0x00};

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string imagePath() { return env("STACK_DIR") + "/card.img"; }

Bytes withOk(Bytes data) {
    data.insert(data.end(), OK.begin(), OK.end());
    return data;
}

class PcscStack : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(env("STACK_DIR").empty())
            << "run under the pcsc_stack fixture (STACK_DIR unset)";
        ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_),
                  SCARD_S_SUCCESS);
    }
    void TearDown() override {
        if (card_)
            SCardDisconnect(card_, SCARD_LEAVE_CARD);
        if (context_)
            SCardReleaseContext(context_);
    }

    void connect() {
        if (card_)
            SCardDisconnect(card_, SCARD_LEAVE_CARD);
        card_ = 0;
        ASSERT_EQ(SCardConnect(context_, READER_0, SCARD_SHARE_SHARED,
                               SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_, &protocol_),
                  SCARD_S_SUCCESS);
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

    DWORD readerState(const char* reader, Bytes* atr = nullptr) {
        SCARD_READERSTATE state{};
        state.szReader = reader;
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        EXPECT_EQ(SCardGetStatusChange(context_, 0, &state, 1), SCARD_S_SUCCESS);
        if (atr)
            atr->assign(state.rgbAtr, state.rgbAtr + state.cbAtr);
        return state.dwEventState;
    }

    static int stackCommand(const std::string& command) {
        return std::system(
            ("bash '" + env("STACK_SCRIPT") + "' " + command + " >/dev/null").c_str());
    }

    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    DWORD protocol_ = 0;
};

TEST_F(PcscStack, BothVpcdReadersAreListedWithTheCardInTheFirst) {
    DWORD size = 0;
    ASSERT_EQ(SCardListReaders(context_, nullptr, nullptr, &size), SCARD_S_SUCCESS);
    std::string buffer(size, '\0');
    ASSERT_EQ(SCardListReaders(context_, nullptr, &buffer[0], &size), SCARD_S_SUCCESS);
    std::vector<std::string> names;
    for (const char* p = buffer.c_str(); *p; p += std::strlen(p) + 1)
        names.emplace_back(p);
    EXPECT_NE(std::find(names.begin(), names.end(), READER_0), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), READER_1), names.end());

    Bytes atr;
    EXPECT_TRUE(readerState(READER_0, &atr) & SCARD_STATE_PRESENT);
    EXPECT_EQ(atr, vcard::KalvikCard::load(imagePath())->atr());
    EXPECT_TRUE(readerState(READER_1) & SCARD_STATE_EMPTY);
}

TEST_F(PcscStack, ApduRoundTripStaysFarBelowDelayedAckTime) {
    connect();
    ASSERT_EQ(send(SELECT), OK);
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

TEST_F(PcscStack, PulledCardIsGoneForOldHandlesAndComesBackWithItsState) {
    const Bytes getFreshness = {0x80, 0x0C, 0x00, 0x00,
                                std::uint8_t(vcard::KalvikCard::FRESHNESS_SIZE)};
    connect();
    ASSERT_EQ(send(SELECT), OK);
    const Bytes before = send(getFreshness);
    ASSERT_EQ(before.size(), vcard::KalvikCard::FRESHNESS_SIZE + 2);

    Bytes marker(vcard::KalvikCard::FRESHNESS_SIZE);
    std::mt19937 random(std::random_device{}());
    for (auto& b : marker)
        b = std::uint8_t(random());
    Bytes set = {0x80, 0x0E, 0x00, 0x00, std::uint8_t(marker.size())};
    set.insert(set.end(), marker.begin(), marker.end());
    ASSERT_EQ(send(set), OK);

    ASSERT_EQ(stackCommand("remove"), 0);
    EXPECT_TRUE(readerState(READER_0) & SCARD_STATE_EMPTY);
    Bytes response;
    EXPECT_EQ(transmit(GET_VERSION, response), SCARD_W_REMOVED_CARD);

    ASSERT_EQ(stackCommand("insert"), 0);
    EXPECT_TRUE(readerState(READER_0) & SCARD_STATE_PRESENT);
    connect();
    ASSERT_EQ(send(SELECT), OK);
    EXPECT_EQ(send(getFreshness), withOk(marker)) << "the card forgot a change across removal";
    const auto onDisk = vcard::KalvikCard::load(imagePath())->freshness();
    EXPECT_EQ(Bytes(onDisk.begin(), onDisk.end()), marker);

    // Leave the card as the fixture made it.
    set.resize(5);
    set.insert(set.end(), before.begin(), before.end() - 2);
    EXPECT_EQ(send(set), OK);
}

}  // namespace
