// Selection, class and instruction checks, card facts and the response-length rules.
#include "cardtest.h"

using namespace cardtest;

namespace {

class ApduTest : public ::testing::Test {
protected:
    vcard::KalvikCard card{fixedOptions()};
    Driver d{card};
};

TEST_F(ApduTest, SelectionGatesTheCommandSet) {
    // Before selection every applet command is unknown.
    EXPECT_EQ(sw(d.send(hex("80 02 00 00 02"))), 0x6D00);
    EXPECT_EQ(d.send(SELECT), hex("90 00"));
    EXPECT_EQ(d.send(hex("80 02 00 00 02")), hex("03 01 90 00"));

    // An unknown AID is refused and leaves the applet selected.
    EXPECT_EQ(sw(d.send(hex("00 A4 04 00 09 F0 51 56 4B 41 01 00 00 42"))), 0x6A82);
    EXPECT_EQ(sw(d.send(hex("00 A4 04 00 05 F0 51 56 4B 41"))), 0x6A82);
    EXPECT_EQ(sw(d.send(hex("80 02 00 00 02"))), 0x9000);

    // Power cycle and reset drop the selection.
    card.powerOff();
    card.powerOn();
    EXPECT_EQ(sw(d.send(hex("80 02 00 00 02"))), 0x6D00);
    d.select();
    card.reset();
    EXPECT_EQ(sw(d.send(hex("80 02 00 00 02"))), 0x6D00);
}

TEST_F(ApduTest, ClassAndInstructionErrors) {
    d.select();
    struct Case {
        const char* command;
        std::uint16_t sw;
    } cases[] = {
        {"84 02 00 00 02", 0x6E00},  // wrong class
        {"A0 A4 04 00 02 3F 00", 0x6E00},
        {"80 FE 00 00", 0x6D00},           // unknown instruction
        {"80 A4 04 00 00", 0x6D00},        // SELECT is class 00 only
        {"00 B0 00 00 10", 0x6D00},        // no other class-00 command
        {"80 06 07 00 08", 0x6A86},        // unknown info record
        {"80 02", 0x6700},                 // shorter than a header
        {"80 0E 00 00 05 01 02", 0x6700},  // Lc larger than the data
        // Each instruction has its shape: data or none, P1 P2 of 00 00 where
        // nothing is addressed.
        {"80 46 00 40 02 00 00", 0x6700},     // cryptInit takes no data
        {"80 4C 00 40", 0x6700},              // amendKeypair needs its operation
        {"80 40 00 00", 0x6700},              // generateKeyPair needs the exponent
        {"80 40 01 00 03 01 00 01", 0x6A86},  // ... and P1 P2 00 00
        {"80 06 02 01 3B", 0x6A86},           // an info record has P2 00
        {"80 0C 00 01 2F", 0x6A86},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sw(d.send(hex(c.command))), c.sw) << c.command;
}

TEST_F(ApduTest, CardFacts) {
    d.select();
    EXPECT_EQ(d.send(hex("80 04 00 00 08")), hex("A0 A1 A2 A3 A4 A5 A6 A7 90 00"));
    EXPECT_EQ(d.send(hex("80 08 00 00 10")),
              hex("01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 90 00"));
    EXPECT_EQ(d.send(hex("80 06 04 00 01")), hex("07 90 00"));
    Bytes gac = d.send(hex("80 06 02 00 3B"));
    EXPECT_EQ(gac.size(), 59u + 2);
    EXPECT_EQ(sw(gac), 0x9000);

    Bytes mem = d.send(hex("80 06 01 00 08"));
    ASSERT_EQ(mem.size(), 10u);
    EXPECT_EQ(mem[0] << 8 | mem[1], card.blockSize());
    EXPECT_EQ(mem[2] << 8 | mem[3], card.totalBlocks());
    EXPECT_EQ(mem[4] << 8 | mem[5], card.freeBlocks());
    EXPECT_LT(card.freeBlocks(), card.totalBlocks());  // the container files take blocks

    // Heads: no data objects, keys or certificates; directories and files exist.
    auto h = d.heads();
    ASSERT_EQ(h.size(), 5u);
    EXPECT_EQ(h[0], 0x8000);
    EXPECT_EQ(h[1], 0x8000);
    EXPECT_EQ(h[2], 0x8000);
    EXPECT_NE(h[3], 0x8000);
    EXPECT_NE(h[4], 0x8000);
}

TEST_F(ApduTest, AnswerToResetOffersT1WithAValidCheckByte) {
    const Bytes atr = card.atr();
    ASSERT_GE(atr.size(), 5u);
    EXPECT_EQ(atr[0], 0x3B);
    // T0 = 8K: TD1 follows, K historical bytes; TD1 = 80, TD2 = 01 (T=1).
    const std::size_t historical = atr[1] & 0x0F;
    EXPECT_EQ(atr[1] & 0xF0, 0x80);
    EXPECT_EQ(atr[2], 0x80);
    EXPECT_EQ(atr[3], 0x01);
    EXPECT_EQ(atr.size(), 4 + historical + 1);
    // With T=1 offered the check byte makes T0 to TCK exclusive-or to zero.
    std::uint8_t check = 0;
    for (std::size_t i = 1; i < atr.size(); ++i)
        check ^= atr[i];
    EXPECT_EQ(check, 0);
}

TEST_F(ApduTest, KeySlotInfoFollowsTheSixCxRule) {
    vcard::PersonalisationOptions o = fixedOptions();
    o.keySlots = {vcard::KeySlotSetup{}, vcard::KeySlotSetup{true, 2048},
                  vcard::KeySlotSetup{true, 1024}};
    vcard::KalvikCard c(o);
    Driver dd(c);
    dd.select();
    EXPECT_EQ(dd.send(hex("80 06 03 00 00")), hex("6C 09"));
    EXPECT_EQ(dd.send(hex("80 06 03 00 09")), hex("00 00 00  01 08 00  01 04 00  90 00"));

    vcard::PersonalisationOptions none = fixedOptions();
    none.keySlots.clear();
    vcard::KalvikCard empty(none);
    Driver de(empty);
    de.select();
    EXPECT_EQ(de.send(hex("80 06 03 00 00")), hex("90 00"));
}

TEST_F(ApduTest, WrongLeGivesTheRealLength) {
    d.select();
    struct Case {
        const char* command;
        const char* answer;
    } cases[] = {
        {"80 02 00 00 00", "6C 02"}, {"80 04 00 00 04", "6C 08"}, {"80 08 00 00 0F", "6C 10"},
        {"80 0C 00 00 20", "6C 2F"}, {"80 0A 00 00 08", "6C 0A"}, {"80 06 04 00 02", "6C 01"},
        {"80 24 01 00 10", "6C 08"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(d.send(hex(c.command)), hex(c.answer)) << c.command;
    // Without Le (a T=0 reader) the data comes as it is.
    EXPECT_EQ(d.send(hex("80 02 00 00")), hex("03 01 90 00"));
}

TEST_F(ApduTest, FreshnessBlockIsStoredByteForByteWithoutLogin) {
    d.select();
    EXPECT_EQ(d.send(hex("80 0C 00 00 2F")), cat(Bytes(47, 0), hex("90 00")));
    Bytes block(47);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = std::uint8_t(0xFF - i * 3);
    EXPECT_EQ(sw(d.send(apdu(0x0E, 0, 0, block))), 0x9000);
    EXPECT_EQ(d.send(hex("80 0C 00 00 2F")), cat(block, hex("90 00")));
    std::array<std::uint8_t, 47> expected;
    std::copy(block.begin(), block.end(), expected.begin());
    EXPECT_EQ(card.freshness(), expected);
    // Only the whole block is accepted.
    EXPECT_EQ(sw(d.send(apdu(0x0E, 0, 0, Bytes(46, 1)))), 0x6700);
    EXPECT_EQ(card.freshness(), expected);
    // It survives a power cycle.
    card.powerOff();
    card.powerOn();
    d.select();
    EXPECT_EQ(body(d.send(hex("80 0C 00 00 2F"))), block);
}

TEST_F(ApduTest, CardIdAndActivationNeedTheAdministrator) {
    vcard::PersonalisationOptions o = fixedOptions();
    o.activated = false;
    vcard::KalvikCard c(o);
    Driver dd(c);
    dd.select();
    EXPECT_EQ(dd.send(hex("80 06 04 00 01")), hex("03 90 00"));
    const Bytes newId(16, 0x42);
    EXPECT_EQ(dd.swOf(apdu(0x52, 0, 0, newId)), 0x6982);
    EXPECT_EQ(dd.swOf(hex("80 30 00 00 00")), 0x6982);
    ASSERT_EQ(dd.login(1, "123456"), 0x9000);
    EXPECT_EQ(dd.swOf(apdu(0x52, 0, 0, newId)), 0x6982);  // the user is not enough
    ASSERT_EQ(dd.login(2, "12345678"), 0x9000);
    EXPECT_EQ(dd.swOf(apdu(0x52, 0, 0, newId)), 0x9000);
    EXPECT_EQ(dd.swOf(hex("80 30 00 00 00")), 0x9000);
    EXPECT_EQ(dd.send(hex("80 08 00 00 10")), cat(newId, hex("90 00")));
    EXPECT_EQ(dd.send(hex("80 06 04 00 01")), hex("07 90 00"));
}

}  // namespace
