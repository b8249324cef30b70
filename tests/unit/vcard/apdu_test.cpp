// Selection, class and instruction checks, card facts and the response-length
// rules, as contract scripts: each step a command and the answer it must get.
#include "cardtest.h"

using namespace cardtest;

namespace {

TEST(ApduContract, SelectionFactsErrorsAndLengths) {
    vcard::KalvikCard card(fixedOptions());
    run(card, {
                  // Before selection every applet command is unknown.
                  {"80 02 00 00 02", "6D 00"},
                  {SELECT_HEX, "90 00"},
                  {"80 02 00 00 02", "03 01 90 00"},
                  // An unknown AID is refused and leaves the applet selected.
                  {"00 A4 04 00 09 F0 51 56 4B 41 01 00 00 42", "6A 82"},
                  {"00 A4 04 00 05 F0 51 56 4B 41", "6A 82"},
                  {"80 02 00 00 02", "03 01 90 00"},
                  // Class, instruction and shape.
                  {"84 02 00 00 02", "6E 00"},
                  {"A0 A4 04 00 02 3F 00", "6E 00"},
                  {"80 FE 00 00", "6D 00"},
                  {"80 A4 04 00 00", "6D 00"},           // SELECT is class 00 only
                  {"00 B0 00 00 10", "6D 00"},           // no other class-00 command
                  {"80 06 07 00 08", "6A 86"},           // unknown info record
                  {"80 02", "67 00"},                    // shorter than a header
                  {"80 0E 00 00 05 01 02", "67 00"},     // Lc larger than the data
                  {"80 46 00 40 02 00 00", "67 00"},     // cryptInit takes no data
                  {"80 4C 00 40", "67 00"},              // amendKeypair needs its operation
                  {"80 40 00 00", "67 00"},              // generateKeyPair needs the exponent
                  {"80 40 01 00 03 01 00 01", "6A 86"},  // ... and P1 P2 00 00
                  {"80 06 02 01 3B", "6A 86"},           // an info record has P2 00
                  {"80 0C 00 01 2F", "6A 86"},
                  // Card facts; the container files hold five blocks.
                  {"80 04 00 00 08", "A0 A1 A2 A3 A4 A5 A6 A7 90 00"},
                  {"80 08 00 00 10", "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 90 00"},
                  {"80 06 04 00 01", "07 90 00"},
                  {"80 06 02 00 3B", "*59 90 00"},
                  {"80 06 01 00 08", "01 00 02 00 01 FB 00 00 90 00"},
                  {"80 0A 00 00 0A", "80 00 80 00 80 00 00 00 00 01 90 00"},
                  {"80 06 03 00 00", "6C 30"},
                  {"80 06 03 00 30",
                   "00*48 90 00"},  // sixteen free slots of any size
                                    // Le other than the answer's length gives the real length;
                                    // without Le (a T=0 reader) the data comes as it is.
                  {"80 02 00 00 00", "6C 02"},
                  {"80 04 00 00 04", "6C 08"},
                  {"80 08 00 00 0F", "6C 10"},
                  {"80 0C 00 00 20", "6C 2F"},
                  {"80 0A 00 00 08", "6C 0A"},
                  {"80 06 04 00 02", "6C 01"},
                  {"80 24 01 00 10", "6C 08"},
                  {"80 02 00 00", "03 01 90 00"},
                  // The freshness block is kept byte for byte, whole, without login,
                  // across a power cycle.
                  {"80 0C 00 00 2F", "00*47 90 00"},
                  {"80 0E 00 00 2E" + countingHex(46), "67 00"},
                  {"80 0E 00 00 2F" + countingHex(47), "90 00"},
                  {"POWER", ""},
                  {"80 02 00 00 02", "6D 00"},  // power cycle and reset drop the selection
                  {SELECT_HEX, "90 00"},
                  {"80 0C 00 00 2F", countingHex(47) + " 90 00"},
                  {"RESET", ""},
                  {"80 02 00 00 02", "6D 00"},
              });
}

TEST(ApduContract, KeySlotsCardIdAndActivation) {
    vcard::PersonalisationOptions options = fixedOptions();
    options.activated = false;
    options.keySlots = {vcard::KeySlotSetup{}, vcard::KeySlotSetup{true, 2048},
                        vcard::KeySlotSetup{true, 1024}};
    vcard::KalvikCard card(options);
    const std::string newId = "10" + repeatHex("42", 16);
    run(card, {
                  {SELECT_HEX, "90 00"},
                  {"80 06 03 00 00", "6C 09"},
                  {"80 06 03 00 09", "00 00 00  01 08 00  01 04 00  90 00"},
                  {"80 06 04 00 01", "03 90 00"},
                  // Setting the card id and activating need the SO; the user is not enough.
                  {"80 52 00 00 " + newId, "69 82"},
                  {"80 30 00 00 00", "69 82"},
                  {LOGIN_USER, "90 00"},
                  {"80 52 00 00 " + newId, "69 82"},
                  {LOGIN_SO, "90 00"},
                  {"80 52 00 00 " + newId, "90 00"},
                  {"80 30 00 00 00", "90 00"},
                  {"80 08 00 00 10", "42*16 90 00"},
                  {"80 06 04 00 01", "07 90 00"},
              });
    vcard::PersonalisationOptions none = fixedOptions();
    none.keySlots.clear();
    vcard::KalvikCard noSlots(none);
    run(noSlots, {{SELECT_HEX, "90 00"}, {"80 06 03 00 00", "90 00"}});
}

TEST(ApduContract, AnswerToResetOffersT1WithAValidCheckByte) {
    const Bytes atr = vcard::KalvikCard(fixedOptions()).atr();
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

}  // namespace
