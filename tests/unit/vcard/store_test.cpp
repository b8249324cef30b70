// The object store through the module's command sequences: headers, metadata,
// chunked content, block memory, sequencing and access conditions.
#include "cardtest.h"

using namespace cardtest;

namespace {

Bytes lv(const std::string& s) {
    return cat(Bytes(1, std::uint8_t(s.size())), Bytes(s.begin(), s.end()));
}

std::string lvHex(const std::string& s) { return toHex(lv(s)).insert(0, " "); }

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = std::uint8_t(seed + i * 7);
    return b;
}

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        d.select();
        ASSERT_EQ(d.login(1, "123456"), 0x9000);
    }
    vcard::KalvikCard card{fixedOptions()};
    Driver d{card};
};

TEST(StoreContract, DataObjectLifecycle) {
    vcard::KalvikCard card(fixedOptions());
    const std::string meta = lvHex("id-1") + lvHex("label") + lvHex("oid") + lvHex("app");
    const std::string longer =
        lvHex("id-1") + lvHex("a much longer label than before") + lvHex("oid") + lvHex("app");
    run(card, {
                  {SELECT_HEX, "90 00"},
                  {LOGIN_USER, "90 00"},
                  // The card's default conditions; the first free block is the id.
                  {"80 3E 00 00 08 FF FF FF FF FF FF FF FF", "90 00"},
                  {"80 3C 00 00 02 00 13", "90 00"},
                  {"80 12 00 00 13" + meta, "90 00"},
                  {"80 3A 00 00 02", "00 05 90 00"},
                  {"80 0A 00 00 0A", "00 05 80 00 80 00 00 00 00 01 90 00"},
                  // The header as listed (end of chain, sizes, conditions), then the metadata.
                  {"80 18 00 05 11", "00 80 00 00 13 00 00 01 06 00 01 01 06 01 06 01 06 90 00"},
                  {"80 1A 00 00 13", meta + " 90 00"},
                  // 600 bytes of content go in pieces of FF FF 5A and come back so.
                  {"80 14 00 05 00", "6A 83"},
                  {"80 1C 00 05 02 02 58", "90 00"},
                  {"80 12 00 00 FF" + countingHex(255), "90 00"},
                  {"80 12 00 00 FF" + countingHex(255, 255), "90 00"},
                  {"80 12 00 00 5A" + countingHex(90, 510), "90 00"},
                  {"80 38 00 00 00", "90 00"},
                  {"80 18 00 05 11", "00 80 00 00 13 02 58 01 06 00 04 01 06 01 06 01 06 90 00"},
                  {"80 1E 00 05 02", "02 58 90 00"},
                  {"80 1A 00 00 FF", countingHex(255) + " 90 00"},
                  {"80 1A 00 00 FF", countingHex(255, 255) + " 90 00"},
                  {"80 1A 00 00 FF", "6C 5A"},  // past the end: the length that remains
                  {"80 1A 00 00 5A", countingHex(90, 510) + " 90 00"},
                  {"80 1A 00 00 01", "69 85"},
                  // New metadata keeps the block id.
                  {"80 16 00 05 02 00 2D", "90 00"},
                  {"80 12 00 00 2D" + longer, "90 00"},
                  {"80 3A 00 00 02", "00 05 90 00"},
                  {"80 18 00 05 11", "00 80 00 00 2D 02 58 01 06 00 04 01 06 01 06 01 06 90 00"},
                  {"80 1A 00 00 2D", longer + " 90 00"},
                  // Without content reading answers 6A83; deleted, the object is gone.
                  {"80 14 00 05 00", "90 00"},
                  {"80 1E 00 05 02", "6A 83"},
                  {"80 10 00 05 00", "90 00"},
                  {"80 0A 00 00 0A", "80 00 80 00 80 00 00 00 00 01 90 00"},
                  {"80 18 00 05 11", "6A 88"},
              });
}

TEST(StoreContract, FreeMemoryFollowsContentAndRunsOut) {
    vcard::PersonalisationOptions o = fixedOptions();
    o.blockSize = 64;  // a small card: 32 blocks of 64 bytes
    o.totalBlocks = 32;
    vcard::KalvikCard small(o);
    Driver s(small);
    s.select();
    ASSERT_EQ(s.login(1, "123456"), 0x9000);
    const std::uint16_t start = small.freeBlocks();
    const std::uint16_t id = s.createDataObject(0x0101, lv("x"));
    ASSERT_NE(id, 0x8000);
    const std::uint16_t free = small.freeBlocks();
    EXPECT_EQ(free, start - 1);  // 17-byte header + 2 bytes metadata: one block
    ASSERT_EQ(s.writeContent(id, pattern(130, 1)), 0x9000);
    EXPECT_EQ(small.freeBlocks(), free - 3);
    ASSERT_EQ(s.writeContent(id, pattern(64, 2)), 0x9000);  // shrinks to 1
    EXPECT_EQ(small.freeBlocks(), free - 1);

    // More than the card holds: 6F03 at createContent, nothing changes.
    ASSERT_EQ(s.swOf(apdu(0x14, id >> 8, id & 0xFF, {}, 0)), 0x9000);
    EXPECT_EQ(s.swOf(apdu(0x1C, id >> 8, id & 0xFF, be16(std::uint16_t((free + 1) * 64)))), 0x6F03);
    EXPECT_EQ(small.freeBlocks(), free);
    // Exactly what is free fits; then a new object no longer does.
    ASSERT_EQ(s.writeContent(id, pattern(std::size_t(free) * 64, 5)), 0x9000);
    EXPECT_EQ(small.freeBlocks(), 0);
    EXPECT_EQ(s.readContent(id), pattern(std::size_t(free) * 64, 5));
    std::uint16_t st = 0;
    s.createDataObject(0x0101, lv("y"), &st);
    EXPECT_EQ(st, 0x6F03);
    EXPECT_EQ(small.objectCount(vcard::Chain::DATA_OBJECTS), 1u);
    // Deleting gives everything back.
    ASSERT_EQ(s.swOf(apdu(0x10, id >> 8, id & 0xFF, {}, 0)), 0x9000);
    EXPECT_EQ(small.freeBlocks(), start);
}

TEST_F(StoreTest, OutOfSequenceCommandsAreRefusedAndHarmless) {
    const std::uint16_t id = d.createDataObject(0x0101, lv("a"));
    ASSERT_EQ(d.writeContent(id, pattern(10, 1)), 0x9000);
    const Bytes before = card.serialize();
    struct Case {
        const char* what;
        std::vector<Bytes> commands;
        std::uint16_t last;
    } cases[] = {
        {"writeData alone", {hex("80 12 00 00 02 01 02")}, 0x6985},
        {"commit alone", {hex("80 3A 00 00 02")}, 0x6985},
        {"commitUpdateContent alone", {hex("80 38 00 00 00")}, 0x6985},
        {"setMetadataSize alone", {hex("80 3C 00 00 02 00 04")}, 0x6985},
        {"continueAmend alone", {hex("80 4E 00 00 04 00 00 00 00")}, 0x6985},
        {"import alone", {hex("80 42 07 00 03 01 00 01")}, 0x6985},
        {"generate alone", {hex("80 40 00 00 03 01 00 01")}, 0x6985},
        {"readData alone", {hex("80 1A 00 00 10")}, 0x6985},
        {"crypt without init", {cat(hex("80 4A 00 00 80"), cat(Bytes(128, 1), hex("80")))}, 0x6985},
        {"commit before all metadata",
         {hex("80 3E 00 00 08 FF FF 01 01 FF FF FF FF"), hex("80 3C 00 00 02 00 04"),
          hex("80 12 00 00 02 01 02"), hex("80 3A 00 00 02")},
         0x6985},
        {"more data than announced",
         {hex("80 3E 00 00 08 FF FF 01 01 FF FF FF FF"), hex("80 3C 00 00 02 00 01"),
          hex("80 12 00 00 02 01 02")},
         0x6700},
        {"content commit short",
         {apdu(0x14, id >> 8, id & 0xFF, {}, 0), apdu(0x1C, id >> 8, id & 0xFF, be16(4)),
          hex("80 12 00 00 02 01 02"), hex("80 38 00 00 00")},
         0x6985},
        {"second setMetadataSize",
         {hex("80 3E 00 00 08 FF FF 01 01 FF FF FF FF"), hex("80 3C 00 00 02 00 01"),
          hex("80 3C 00 00 02 00 01")},
         0x6985},
        {"generate for an import",
         {hex("80 3E 00 01 0D 06 04 00 00 02 00 01 FF FF FF FF FF FF"),
          hex("80 40 00 00 03 01 00 01")},
         0x6985},
        {"private part for a public import",
         {hex("80 3E 00 01 0D 02 04 00 00 02 00 01 FF FF FF FF FF FF"),
          cat(hex("80 42 01 00 40"), Bytes(64, 0x33))},
         0x6985},
        {"key incomplete at setMetadataSize",
         {hex("80 3E 00 01 0D 02 04 00 00 02 00 01 FF FF FF FF FF FF"),
          hex("80 42 07 00 03 01 00 01"), hex("80 3C 00 00 02 00 01")},
         0x6985},
    };
    for (const auto& c : cases) {
        std::uint16_t last = 0;
        for (const auto& cmd : c.commands)
            last = d.swOf(cmd);
        EXPECT_EQ(last, c.last) << c.what;
        // The sequence is abandoned: a commit afterwards fails too.
        EXPECT_EQ(d.swOf(hex("80 3A 00 00 02")), 0x6985) << c.what;
    }
    // Nothing of it reached the store (the commit in "content commit short"
    // failed after removeContent, which is a command of its own).
    EXPECT_EQ(card.objectCount(vcard::Chain::DATA_OBJECTS), 1u);
    EXPECT_EQ(card.objectCount(vcard::Chain::KEY_PAIRS), 0u);
    EXPECT_NE(card.serialize(), before);  // the content was removed ...
    ASSERT_EQ(d.writeContent(id, pattern(10, 1)), 0x9000);
    EXPECT_EQ(card.serialize(), before);  // ... and with it back, the image is as before
}

TEST_F(StoreTest, AccessConditionsAreEnforced) {
    const std::uint16_t priv = d.createDataObject(0xFFFF, lv("private"));
    const std::uint16_t pub = d.createDataObject(0x0101, lv("public"));
    ASSERT_EQ(d.writeContent(priv, pattern(20, 9)), 0x9000);
    ASSERT_EQ(d.writeContent(pub, pattern(20, 8)), 0x9000);
    ASSERT_EQ(d.swOf(hex("80 22 01 00 00")), 0x9000);  // deauthenticate the user

    auto hi = [](std::uint16_t id) { return std::uint8_t(id >> 8); };
    auto lo = [](std::uint16_t id) { return std::uint8_t(id); };
    struct Case {
        const char* what;
        Bytes command;
        std::uint16_t withoutLogin;
    } cases[] = {
        {"read private content", apdu(0x1E, hi(priv), lo(priv), {}, 2), 0x6982},
        {"read public content", apdu(0x1E, hi(pub), lo(pub), {}, 2), 0x9000},
        {"read header", apdu(0x18, hi(priv), lo(priv), {}, 17), 0x9000},
        {"create", hex("80 3E 00 00 08 FF FF 01 01 FF FF FF FF"), 0x6982},
        {"update metadata", apdu(0x16, hi(pub), lo(pub), be16(2)), 0x6982},
        {"remove content", apdu(0x14, hi(pub), lo(pub), {}, 0), 0x6982},
        {"create content", apdu(0x1C, hi(pub), lo(pub), be16(2)), 0x6982},
        {"delete", apdu(0x10, hi(pub), lo(pub), {}, 0), 0x6982},
    };
    for (const auto& c : cases)
        EXPECT_EQ(d.swOf(c.command), c.withoutLogin) << c.what;
    EXPECT_EQ(card.objectCount(vcard::Chain::DATA_OBJECTS), 2u);

    // The administrator may do what the user may.
    ASSERT_EQ(d.login(2, "12345678"), 0x9000);
    EXPECT_EQ(d.readContent(priv), pattern(20, 9));
    EXPECT_EQ(d.swOf(apdu(0x10, hi(pub), lo(pub), {}, 0)), 0x9000);
}

TEST(StoreContract, DirectoriesAndFiles) {
    vcard::KalvikCard card(fixedOptions());
    const std::string keys = "4B 45 59 53 00 00 00 00";  // "KEYS"
    const std::string f1 = "66 31 00 00 00 00 00 00";
    run(card, {
                  {SELECT_HEX, "90 00"},
                  {LOGIN_USER, "90 00"},
                  {LOGIN_SO, "90 00"},  // directories take files from the SO
                  {"80 3E 00 03 0C " + keys + " FF FF FF FF", "90 00"},
                  {"80 3C 00 00 02 00 00", "90 00"},
                  {"80 3A 00 00 02", "00 05 90 00"},
                  {"80 18 00 05 1B",
                   "03 80 00 00 00 00 00 00 00 00 01 01 01 01 06 01 06 00 00 " + keys + " 90 00"},
                  // The same name in another case is taken.
                  {"80 3E 00 03 0C 6B 65 79 73 00 00 00 00 FF FF FF FF", "6A 89"},
                  {"80 3E 00 04 10 00 05 " + f1 + " 01 01 FF FF FF FF", "90 00"},
                  {"80 3C 00 00 02 00 00", "90 00"},
                  {"80 3A 00 00 02", "00 06 90 00"},
                  {"80 18 00 06 21", "04 80 00 00 00 00 00 00 00 00 01 01 01 01 06 01 06 " + keys +
                                         " " + f1 + " 90 00"},
                  // The same file name in the same directory; a directory that is not there.
                  {"80 3E 00 04 10 00 05 " + f1 + " 01 01 FF FF FF FF", "6A 89"},
                  {"80 3E 00 04 10 70 00 " + f1 + " 01 01 FF FF FF FF", "6A 88"},
                  // A file whose directory goes before its commit is not created.
                  {"80 3E 00 03 0C 74 6D 70 00 00 00 00 00 FF FF FF FF", "90 00"},
                  {"80 3C 00 00 02 00 00", "90 00"},
                  {"80 3A 00 00 02", "00 07 90 00"},
                  {"80 3E 00 04 10 00 07 " + f1 + " 01 01 FF FF FF FF", "90 00"},
                  {"80 10 00 07 00", "90 00"},
                  {"80 3C 00 00 02 00 00", "90 00"},
                  {"80 3A 00 00 02", "6A 88"},
                  // A directory with files cannot go; empty, it can.
                  {"80 10 00 05 00", "69 85"},
                  {"80 10 00 06 00", "90 00"},
                  {"80 10 00 05 00", "90 00"},
              });
    EXPECT_EQ(card.objectCount(vcard::Chain::FILES), 2u);  // cardcf and cmapfile
}

}  // namespace
