// The object store through the module's command sequences: headers, metadata,
// chunked content, block memory, sequencing and access conditions.
#include "cardtest.h"

using namespace cardtest;

namespace {

Bytes lv(const std::string& s) {
    return cat(Bytes(1, std::uint8_t(s.size())), Bytes(s.begin(), s.end()));
}

Bytes pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = std::uint8_t(seed + i * 7);
    return b;
}

std::uint16_t field(const Bytes& h, std::size_t at) {
    return std::uint16_t(h[at] << 8 | h[at + 1]);
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

TEST_F(StoreTest, DataObjectLifecycle) {
    const Bytes meta = cat(cat(lv("id-1"), lv("label")), cat(lv("oid"), lv("app")));
    std::uint16_t s = 0;
    const std::uint16_t id = d.createDataObject(0xFFFF, meta, &s);
    ASSERT_EQ(s, 0x9000);
    EXPECT_EQ(d.heads()[0], id);
    EXPECT_EQ(card.objectCount(vcard::Chain::DATA_OBJECTS), 1u);

    // Header as listed: chain end, metadata size, no content, the card's default read condition.
    Bytes h = d.header(id, 17);
    ASSERT_EQ(h.size(), 17u);
    EXPECT_EQ(field(h, 1), 0x8000);
    EXPECT_EQ(field(h, 3), meta.size());
    EXPECT_EQ(field(h, 5), 0);
    EXPECT_EQ(field(h, 11), vcard::ac::USER_OR_ADMIN);
    EXPECT_EQ(d.readData(meta.size()), meta);  // metadata verbatim after the header

    // Content of 600 bytes goes as FF FF 5A and comes back as FF FF 5A.
    const Bytes content = pattern(600, 3);
    std::vector<std::size_t> pieces;
    ASSERT_EQ(d.swOf(apdu(0x14, id >> 8, id & 0xFF, {}, 0)), 0x6A83);  // nothing to remove yet
    ASSERT_EQ(d.swOf(apdu(0x1C, id >> 8, id & 0xFF, be16(600))), 0x9000);
    ASSERT_EQ(d.writeData(content, &pieces), 0x9000);
    EXPECT_EQ(pieces, (std::vector<std::size_t>{255, 255, 90}));
    ASSERT_EQ(d.swOf(hex("80 38 00 00 00")), 0x9000);
    EXPECT_EQ(field(d.header(id, 17), 5), 600);

    Bytes r = d.send(apdu(0x1E, id >> 8, id & 0xFF, {}, 2));
    ASSERT_EQ(r, hex("02 58 90 00"));
    std::vector<std::size_t> asked;
    EXPECT_EQ(d.readData(600, &asked), content);
    EXPECT_EQ(asked, (std::vector<std::size_t>{255, 255, 90}));
    // Asking past the end gives the real remaining length.
    d.send(apdu(0x1E, id >> 8, id & 0xFF, {}, 2));
    d.readData(510);
    EXPECT_EQ(d.send(apdu(0x1A, 0, 0, {}, 0xFF)), hex("6C 5A"));

    // Metadata update keeps the block id.
    const Bytes meta2 =
        cat(cat(lv("id-1"), lv("a much longer label than before")), cat(lv("oid"), lv("app")));
    ASSERT_EQ(d.swOf(apdu(0x16, id >> 8, id & 0xFF, be16(std::uint16_t(meta2.size())))), 0x9000);
    auto [same, s2] = d.commitMetadata(meta2);
    EXPECT_EQ(s2, 0x9000);
    EXPECT_EQ(same, id);
    d.header(id, 17);
    EXPECT_EQ(d.readData(meta2.size()), meta2);

    // Removing content: reading answers 6A83 afterwards.
    ASSERT_EQ(d.swOf(apdu(0x14, id >> 8, id & 0xFF, {}, 0)), 0x9000);
    EXPECT_EQ(d.send(apdu(0x1E, id >> 8, id & 0xFF, {}, 2)), hex("6A 83"));

    ASSERT_EQ(d.swOf(apdu(0x10, id >> 8, id & 0xFF, {}, 0)), 0x9000);
    EXPECT_EQ(d.heads()[0], 0x8000);
    EXPECT_EQ(d.swOf(apdu(0x18, id >> 8, id & 0xFF, {}, 17)), 0x6A88);
}

TEST_F(StoreTest, FreeMemoryFollowsContentAndRunsOut) {
    // Small card: 32 blocks of 64 bytes.
    vcard::PersonalisationOptions o = fixedOptions();
    o.blockSize = 64;
    o.totalBlocks = 32;
    vcard::KalvikCard small(o);
    Driver s(small);
    s.select();
    ASSERT_EQ(s.login(1, "123456"), 0x9000);
    const std::uint16_t start = s.freeBlocks();
    const std::uint16_t id = s.createDataObject(0x0101, lv("x"));
    ASSERT_NE(id, 0x8000);
    const std::uint16_t afterCreate = s.freeBlocks();
    EXPECT_EQ(afterCreate, start - 1);  // 17-byte header + 2 bytes metadata: one block

    ASSERT_EQ(s.writeContent(id, pattern(130, 1)), 0x9000);  // 3 blocks
    EXPECT_EQ(s.freeBlocks(), afterCreate - 3);
    ASSERT_EQ(s.writeContent(id, pattern(64, 2)), 0x9000);  // shrinks to 1
    EXPECT_EQ(s.freeBlocks(), afterCreate - 1);

    // More than the card holds: 6F03 at createContent, nothing changes.
    const std::size_t tooMuch = std::size_t(afterCreate + 1) * 64;
    ASSERT_EQ(s.swOf(apdu(0x14, id >> 8, id & 0xFF, {}, 0)), 0x9000);
    EXPECT_EQ(s.swOf(apdu(0x1C, id >> 8, id & 0xFF, be16(std::uint16_t(tooMuch)))), 0x6F03);
    EXPECT_EQ(s.freeBlocks(), afterCreate);
    // Exactly what is free fits.
    ASSERT_EQ(s.writeContent(id, pattern(std::size_t(afterCreate) * 64, 5)), 0x9000);
    EXPECT_EQ(s.freeBlocks(), 0);
    EXPECT_EQ(s.readContent(id), pattern(std::size_t(afterCreate) * 64, 5));
    // A new object no longer fits either.
    std::uint16_t st = 0;
    s.createDataObject(0x0101, lv("y"), &st);
    EXPECT_EQ(st, 0x6F03);
    EXPECT_EQ(small.objectCount(vcard::Chain::DATA_OBJECTS), 1u);
    // Deleting gives everything back.
    ASSERT_EQ(s.swOf(apdu(0x10, id >> 8, id & 0xFF, {}, 0)), 0x9000);
    EXPECT_EQ(s.freeBlocks(), start);
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
        {"memory info", hex("80 06 01 00 08"), 0x9000},
        {"freshness", hex("80 0C 00 00 2F"), 0x9000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(d.swOf(c.command), c.withoutLogin) << c.what;
    EXPECT_EQ(card.objectCount(vcard::Chain::DATA_OBJECTS), 2u);

    // The administrator may do what the user may.
    ASSERT_EQ(d.login(2, "12345678"), 0x9000);
    std::uint16_t s = 0;
    d.readContent(priv, &s);
    EXPECT_EQ(s, 0x9000);
    EXPECT_EQ(d.swOf(apdu(0x10, hi(pub), lo(pub), {}, 0)), 0x9000);
}

TEST_F(StoreTest, DirectoriesAndFiles) {
    ASSERT_EQ(d.login(2, "12345678"), 0x9000);  // directories take files from the administrator
    const Bytes name = hex("4B 45 59 53 00 00 00 00");  // "KEYS"
    ASSERT_EQ(d.swOf(apdu(0x3E, 0, 3, cat(name, hex("FF FF FF FF")))), 0x9000);
    ASSERT_EQ(d.swOf(hex("80 3C 00 00 02 00 00")), 0x9000);
    auto [dir, s] = d.commitMetadata({});
    ASSERT_EQ(s, 0x9000);
    Bytes dh = d.header(dir, 27);
    EXPECT_EQ(Bytes(dh.begin() + 19, dh.end()), name);
    // Same name in another case is a duplicate.
    EXPECT_EQ(d.swOf(apdu(0x3E, 0, 3, cat(hex("6B 65 79 73 00 00 00 00"), hex("FF FF FF FF")))),
              0x6A89);

    const Bytes fname = hex("66 31 00 00 00 00 00 00");
    ASSERT_EQ(d.swOf(apdu(0x3E, 0, 4, cat(cat(be16(dir), fname), hex("01 01 FF FF FF FF")))),
              0x9000);
    ASSERT_EQ(d.swOf(hex("80 3C 00 00 02 00 00")), 0x9000);
    auto [file, s2] = d.commitMetadata({});
    ASSERT_EQ(s2, 0x9000);
    Bytes fh = d.header(file, 33);
    EXPECT_EQ(Bytes(fh.begin() + 17, fh.begin() + 25), name);
    EXPECT_EQ(Bytes(fh.begin() + 25, fh.end()), fname);
    EXPECT_EQ(field(fh, 11), 0x0101);
    EXPECT_EQ(field(fh, 13), vcard::ac::USER_OR_ADMIN);
    // The same file name in the same directory is refused; a missing directory too.
    EXPECT_EQ(d.swOf(apdu(0x3E, 0, 4, cat(cat(be16(dir), fname), hex("01 01 FF FF FF FF")))),
              0x6A89);
    EXPECT_EQ(d.swOf(apdu(0x3E, 0, 4, cat(cat(be16(0x7000), fname), hex("01 01 FF FF FF FF")))),
              0x6A88);
    // A file whose directory goes away before its commit is not created.
    ASSERT_EQ(d.swOf(apdu(0x3E, 0, 3, cat(hex("74 6D 70 00 00 00 00 00"), hex("FF FF FF FF")))),
              0x9000);
    ASSERT_EQ(d.swOf(hex("80 3C 00 00 02 00 00")), 0x9000);
    auto [tmp, s3] = d.commitMetadata({});
    ASSERT_EQ(s3, 0x9000);
    ASSERT_EQ(d.swOf(apdu(0x3E, 0, 4, cat(cat(be16(tmp), fname), hex("01 01 FF FF FF FF")))),
              0x9000);
    ASSERT_EQ(d.swOf(apdu(0x10, tmp >> 8, tmp & 0xFF, {}, 0)), 0x9000);
    ASSERT_EQ(d.swOf(hex("80 3C 00 00 02 00 00")), 0x9000);
    EXPECT_EQ(d.commitMetadata({}).second, 0x6A88);
    EXPECT_EQ(card.objectCount(vcard::Chain::FILES), 3u);  // cardcf, cmapfile, f1
    // A directory with files cannot go; empty, it can.
    EXPECT_EQ(d.swOf(apdu(0x10, dir >> 8, dir & 0xFF, {}, 0)), 0x6985);
    ASSERT_EQ(d.swOf(apdu(0x10, file >> 8, file & 0xFF, {}, 0)), 0x9000);
    EXPECT_EQ(d.swOf(apdu(0x10, dir >> 8, dir & 0xFF, {}, 0)), 0x9000);
}

}  // namespace
