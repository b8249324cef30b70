// SCardTransmit on T=1 and T=0 readers, and the trace.
#include "helpers.h"

namespace testpcsc::test {
namespace {

class TransmitTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        svc.addReader("R");
        ctx = establish();
    }
    SCARDHANDLE insertAndConnect(std::shared_ptr<vcard::CardDevice> c, Protocol p) {
        svc.insertCard("R", std::move(c), p);
        return connect(ctx, "R");
    }
    SCARDCONTEXT ctx = 0;
};

Bytes seq(std::size_t n, std::size_t from = 0) {
    Bytes b;
    for (std::size_t i = 0; i < n; ++i)
        b.push_back(std::uint8_t(from + i));
    return b;
}
Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// (That T=1 passes commands through unchanged is the transport's T=0/T=1 table.)
TEST_F(TransmitTest, T1RefusesAT0PciAndReportsTheLengthItNeeds) {
    SCARDHANDLE h = insertAndConnect(dataCard(16), Protocol::T1);
    const Bytes case4 = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00};
    EXPECT_EQ(transmit(h, case4, SCARD_PROTOCOL_T0).rv, SCARD_E_PROTO_MISMATCH);

    // Too small a buffer: the needed length comes back.
    std::uint8_t small[4];
    DWORD len = sizeof small;
    EXPECT_EQ(
        SCardTransmit(h, SCARD_PCI_T1, case4.data(), DWORD(case4.size()), nullptr, small, &len),
        SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(len, 18u);
}

// One T=0 conversation per row: the commands the caller sends in order and
// the answers it must get. The card always returns `cardData` bytes + 90 00.
struct T0Case {
    const char* name;
    std::size_t cardData;
    std::vector<std::pair<Bytes, Bytes>> exchanges;
    std::size_t cardCommands;  // how many reached the card
};

class T0Test : public TransmitTest, public ::testing::WithParamInterface<T0Case> {};

TEST_P(T0Test, BehavesAsAT0Reader) {
    const T0Case& c = GetParam();
    auto card = dataCard(c.cardData);
    SCARDHANDLE h = insertAndConnect(card, Protocol::T0);
    for (const auto& [cmd, expected] : c.exchanges) {
        auto r = transmit(h, cmd, SCARD_PROTOCOL_T0);
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
        EXPECT_EQ(r.response, expected);
    }
    // GET RESPONSE is served by the reader; the card never sees it.
    EXPECT_EQ(card->received().size(), c.cardCommands);
    for (const Bytes& cmd : card->received())
        EXPECT_NE(cmd[1], 0xC0);
    auto t = svc.trace("R");
    ASSERT_EQ(t.size(), c.exchanges.size());
    for (std::size_t i = 0; i < t.size(); ++i) {
        EXPECT_EQ(t[i].command, c.exchanges[i].first);
        EXPECT_EQ(t[i].response, c.exchanges[i].second);
    }
}

const Bytes kCase3 = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00};
const Bytes kCase4 = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x00};
Bytes getResponse(std::uint8_t n) { return {0x00, 0xC0, 0x00, 0x00, n}; }

INSTANTIATE_TEST_SUITE_P(
    Conversations, T0Test,
    ::testing::Values(
        T0Case{"Case4WithoutLeGets61xxThenGetResponse",
               16,
               {{kCase3, {0x61, 0x10}}, {getResponse(0x10), cat(seq(16), {0x90, 0x00})}},
               1},
        T0Case{"TrailingLeIsALengthError", 16, {{kCase4, {0x67, 0x00}}}, 0},
        T0Case{"NoDataMeansTheStatusWordDirectly", 0, {{kCase3, {0x90, 0x00}}}, 1},
        T0Case{"GetResponseInParts",
               16,
               {{kCase3, {0x61, 0x10}},
                {getResponse(6), cat(seq(6), {0x61, 0x0A})},
                {getResponse(10), cat(seq(10, 6), {0x90, 0x00})}},
               1},
        T0Case{"GetResponseAskingTooMuch",
               16,
               {{kCase3, {0x61, 0x10}},
                {getResponse(0x20), {0x6C, 0x10}},
                {getResponse(0x10), cat(seq(16), {0x90, 0x00})}},
               1},
        T0Case{"256BytesAre6100AndGetResponse00",
               256,
               {{kCase3, {0x61, 0x00}}, {getResponse(0), cat(seq(256), {0x90, 0x00})}},
               1},
        T0Case{"OtherCommandDropsPendingData",
               16,
               {{kCase3, {0x61, 0x10}},
                {kCase3, {0x61, 0x10}},
                {getResponse(0x10), cat(seq(16), {0x90, 0x00})}},
               2},
        T0Case{"Case2WithWrongLeGets6Cxx",
               8,
               {{{0x80, 0x02, 0x00, 0x00, 0x00}, {0x6C, 0x08}},
                {{0x80, 0x02, 0x00, 0x00, 0x08}, cat(seq(8), {0x90, 0x00})}},
               2}),
    [](const ::testing::TestParamInfo<T0Case>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace testpcsc::test
