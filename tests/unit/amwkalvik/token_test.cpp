// The card token against a scripted connection: properties, freshness
// block, listing, key operations and argument checks made before any command.
#include "amwkalvik/token.h"
#include "exceptions.h"
#include "fakeconnection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <tuple>

using namespace amwkalvik;
using namespace fake;

TEST(TokenCreation, TypeAndSelection) {
    fake::Connection c;
    expectThrowMessage<InvalidArgumentException>(
        [&] { delete amw::Token::createToken(&c, 1, true); },
        "Invalid argument exception <type> [amw::Token::createToken() libamw/src/itoken:35]");
    std::unique_ptr<amw::Token> quiet(amw::Token::createToken(&c, 0, false));
    EXPECT_TRUE(c.commands.empty());
    std::unique_ptr<amw::Token> selected(amw::Token::createToken(&c, 0, true));
    ASSERT_EQ(c.commands.size(), 1u);
    EXPECT_EQ(c.commands[0][1], 0xA4);
    c.then(status(0x6A82));
    EXPECT_THROW(delete amw::Token::createTokenWithAppletSelected(&c, 0), amw::SWException);

    Token token(&c);
    expectThrowMessage<InternalErrorException>(
        [&] { delete token.createSerializableEntity(2); },
        "INTERNAL ERROR Token::createSerializableEntity unknown entityId [2]");
}

TEST(TokenProperties, SizesFlagsAndResults) {
    fake::Connection c;
    Token token(&c);
    std::uint8_t out[64] = {};
    std::size_t length = 4;

    // A key size the card does not have: no command.
    token.getProperty("QV_GET_KEYPAIR_SLOT_COUNT", out, &length, 512);
    std::uint32_t count;
    std::memcpy(&count, out, 4);
    EXPECT_EQ(count, 0xFFFFFFFFu);
    EXPECT_TRUE(c.commands.empty());

    // Free slots and slots of the asked size count.
    c.then(ok(hex("00 0000  01 0800  01 0400  00 0800  01 0800")));
    length = 10;
    token.getProperty("QV_GET_KEYPAIR_SLOT_COUNT", out, &length, 2048);
    std::memcpy(&count, out, 4);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(length, 4u);

    length = 64;
    expectThrowMessage<amw::UnknownPropertyException>(
        [&] { token.getProperty("QV_GET_SOMETHING", out, &length, 0); },
        "unknown name of proprietary extension or invalid dw flags argument");
    EXPECT_EQ(c.commands.size(), 1u) << "size and name checks come first";

    c.commands.clear();
    c.then(ok(hex("00 0102 03 0405 06 07 01 02")));
    length = 64;
    token.getProperty("QV_GET_TRIES_REMAINING", out, &length, 2);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 2C 02 00 0A");
    c.then(status(0x6B00));
    EXPECT_THROW(token.getProperty("QV_GET_TRIES_REMAINING", out, &length, 5),
                 amw::UnknownPropertyException);
    c.then(status(0x6B00));
    length = 9;
    EXPECT_THROW(token.getProperty("QV_GET_PIN_POLICY", out, &length, 3),
                 amw::UnknownPropertyException);
    c.then(ok(hex("07")));
    length = 1;
    token.getProperty("QV_GET_LIFE_CYCLE_STATE", out, &length, 0);
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(fake::toHex(c.commands.back()), "80 06 04 00 01");
}

TEST(TokenProperties, SetAuthenticationObjectValue) {
    fake::Connection c;
    Token token(&c);
    const Bytes sixteen(16, '1');
    // A KEY object needs 24 bytes; the record is read first.
    c.then(ok(hex("01 0000 0000 0000 00 00 05")));
    expectThrowMessage<amw::InvalidBufferSizeException>(
        [&] { token.setProperty("QV_SET_AO", sixteen.data(), sixteen.size(), 3); },
        "invalid size of buffer (expected 24,  actual 16)");
    EXPECT_EQ(c.commands.size(), 1u);
    c.then(ok(hex("00 0000 0000 0000 00 00 05"))).then(ok());
    token.setProperty("QV_SET_AO", sixteen.data(), sixteen.size(), 1);
    ASSERT_EQ(c.commands.size(), 3u);
    EXPECT_EQ(c.commands[2], concat({hex("80 26 00 01 10"), sixteen}));
    EXPECT_TRUE(c.sensitiveFlags[2]);
    token.setProperty("QV_ACTIVATE", nullptr, 0, 0);
    EXPECT_EQ(fake::toHex(c.commands.back()), "80 30 00 00 00");
    EXPECT_THROW(token.setProperty("QV_GET_GAC_INFO", nullptr, 0, 0),
                 amw::UnknownPropertyException);
}

// The bytes and their layout are checked with the commands and the block; a
// card that keeps another length leaves no block, everything zero.
TEST(TokenFreshness, AnotherLengthClearsTheBlock) {
    fake::Connection c;
    Token token(&c);
    c.then(status(0x6C10));
    amw::FreshnessBlock block;
    block.counters[0] = 99;
    block.counters[6] = 99;
    EXPECT_FALSE(token.getCacheFreshness(&block));
    EXPECT_EQ(block, amw::FreshnessBlock());
}

TEST(TokenListing, ChainsAndAuthenticationObjects) {
    fake::Connection c;
    Token token(&c);
    // Two certificates: 0x0005 -> 0x0009 -> end.
    auto certHeader = [](std::uint16_t next, Bytes meta) {
        Bytes h(18, 0);
        h[1] = static_cast<std::uint8_t>(next >> 8);
        h[2] = static_cast<std::uint8_t>(next);
        h[4] = static_cast<std::uint8_t>(meta.size());
        return h;
    };
    const Bytes meta1 = hex("01 41 01 61 01 00 01 01");
    const Bytes meta2 = hex("01 42 01 62 01 01 01 00");
    c.then(ok(hex("8000 8000 0005 8000 8000")))
        .then(ok(hex("0100 0200 0100 0000")))
        .then(ok(certHeader(0x0009, meta1)))
        .then(ok(meta1))
        .then(ok(certHeader(0x8000, meta2)))
        .then(ok(meta2));
    Owned<amw::X509Certificate> certs;
    token.listCertificates(certs.items);
    ASSERT_EQ(certs.items.size(), 2u);
    EXPECT_EQ(static_cast<X509Certificate*>(certs.items[0])->blockId, 0x0005);
    EXPECT_EQ(static_cast<X509Certificate*>(certs.items[1])->blockId, 0x0009);
    EXPECT_EQ(certs.items[1]->containerIndex, 1);
    EXPECT_EQ(fake::toHex(c.commands[1]), "80 06 01 00 08");
    EXPECT_EQ(fake::toHex(c.commands[2]), "80 18 00 05 12");
    EXPECT_EQ(fake::toHex(c.commands[4]), "80 18 00 09 12");

    // An empty chain costs one command.
    c.commands.clear();
    c.then(ok(hex("8000 8000 8000 8000 8000")));
    Owned<amw::File> files;
    token.listFiles(files.items);
    EXPECT_TRUE(files.items.empty());
    EXPECT_EQ(c.commands.size(), 1u);

    // Roles 1 to 7; absent ones are skipped, role 0 never asked.
    fake::Connection aos;
    Token aoToken(&aos);
    aos.then(ok(hex("00 3412 00 00 7856 05 00 03"))).then(ok(hex("01 0000 00 00 0000 09 01 05")));
    aos.fallback = status(0x6B00);
    Owned<amw::AuthenticationObject> list;
    aoToken.listAuthenticateObjects(list.items);
    ASSERT_EQ(aos.commands.size(), 7u);
    EXPECT_EQ(aos.commands.front()[2], 1);
    EXPECT_EQ(aos.commands.back()[2], 7);
    ASSERT_EQ(list.items.size(), 2u);
    // role, type, record bytes 1-2, 5-6 and 7, the PKCS#11 security officer flag
    auto fields = [](const amw::AuthenticationObject* a) {
        return std::make_tuple(a->role, a->type, a->recordBytes1To2, a->recordBytes5To6,
                               a->recordByte7, a->pkcs11So);
    };
    EXPECT_EQ(fields(list.items[0]), std::make_tuple(1u, 0u, 0x1234, 0x5678, 5u, false));
    EXPECT_EQ(fields(list.items[1]), std::make_tuple(2u, 1u, 0x0000, 0x0000, 9u, true));
}

TEST(TokenListing, AChainThatLoopsOrOutgrowsTheCardIsRefusedAtOnce) {
    // Directory headers: no metadata to read, only the next block id.
    auto directory = [](std::uint16_t next) {
        Bytes header(27, 0);
        header[1] = static_cast<std::uint8_t>(next >> 8);
        header[2] = static_cast<std::uint8_t>(next);
        return ok(header);
    };
    const Response memory512 = ok(hex("0100 0200 0100 0000"));
    struct Case {
        const char* name;
        std::vector<Response> answers;  // after getHeads naming block 3
        std::size_t headersRead;
        const char* block;
    };
    const Case cases[] = {
        {"names itself as the next block", {memory512, directory(0x0003)}, 1, "0x0003"},
        {"comes back to its head", {memory512, directory(0x0004), directory(0x0003)}, 2, "0x0003"},
        {"longer than the card has blocks",
         {ok(hex("0100 0002 0000 0000")), directory(0x0004), directory(0x0005)},
         2,
         "0x0005"},
        {"a card without block size", {ok(hex("0000 0200 0100 0000"))}, 0, "0x0003"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        fake::Connection c;
        Token token(&c);
        c.then(ok(hex("8000 8000 8000 0003 8000")));
        for (const Response& r : k.answers)
            c.then(r);
        c.fallback = directory(0x0006);  // never asked for
        Owned<amw::Directory> dirs;
        expectThrowMessage<InternalErrorException>(
            [&] { token.listDirs(dirs.items); },
            std::string("INTERNAL ERROR object chain does not end (block id ") + k.block + ")");
        EXPECT_EQ(c.commands.size(), 2 + k.headersRead);
        EXPECT_EQ(dirs.size(), k.headersRead) << "objects read so far stay the caller's";
    }
}

TEST(TokenKeyPairs, ContentCodesContainersAndSecretComponentsOnTheWire) {
    // A lone half belongs to no container; its private components travel masked.
    fake::Connection c;
    Token token(&c);
    amw::RsaPrivateKeyComponents components;
    components.p = buf<256>(repeat(0xA1, 64));
    components.q = buf<256>(repeat(0xA2, 64));
    components.dp = buf<256>(repeat(0xA3, 64));
    components.dq = buf<256>(repeat(0xA4, 64));
    components.inv = buf<256>(repeat(0xA5, 64));
    const StaticBuffer<256> modulus = buf<256>(concat({hex("C1"), repeat(0x33, 127)}));
    delete token.importPublicKey(text<128>("id"), 1024, text<128>("pub"), 0x00FF, modulus,
                                 buf<256>(hex("00 01 00 01")));
    delete token.importPrivateKey(text<128>("id"), 1024, text<128>("priv"), 0x00FF, components);
    const std::vector<std::string> sent = [&] {
        std::vector<std::string> out;
        for (const Bytes& command : c.commands)
            out.push_back(fake::toHex(Bytes(command.begin(), command.begin() + 4)));
        return out;
    }();
    EXPECT_EQ(sent, (std::vector<std::string>{"80 3E 00 01", "80 42 06 00", "80 42 07 00",
                                              "80 3E 00 01", "80 42 01 00", "80 42 02 00",
                                              "80 42 03 00", "80 42 04 00", "80 42 05 00"}));
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 3E 00 01 0D 02 04 00 00 FF FF 00 FF FF FF FF FF FF");
    EXPECT_EQ(fake::toHex(c.commands[2]), "80 42 07 00 03 01 00 01");
    EXPECT_EQ(fake::toHex(c.commands[3]), "80 3E 00 01 0D 04 04 00 00 FF FF 00 FF FF FF FF FF FF");
    EXPECT_EQ(c.sensitiveFlags,
              (std::vector<bool>{false, false, false, false, true, true, true, true, true}));

    // An amendment names the content code the pair will have; bit 0 marks a
    // pair the card generated.
    struct Case {
        std::uint8_t generatedOnCard;
        bool removePublic;
        const char* command;
    };
    const Case removals[] = {{0, true, "80 4C 00 40 01 04"},
                             {1, true, "80 4C 00 40 01 05"},
                             {0, false, "80 4C 00 40 01 02"},
                             {1, false, "80 4C 00 40 01 03"}};
    for (const Case& k : removals) {
        SCOPED_TRACE(k.command);
        fake::Connection card;
        Token amending(&card);
        KeyPair pair(&card);
        pair.blockId = 0x0040;
        pair.generatedOnCard = k.generatedOnCard;
        pair.addPublicKey(text<128>("pub"), modulus, buf<256>(hex("01 00 01")), 0x00FF);
        pair.addPrivateKey(text<128>("priv"), 0x00FF);
        if (k.removePublic)
            amending.amendKeyPairRemovePublicKey(&pair);
        else
            amending.amendKeyPairRemovePrivateKey(&pair);
        ASSERT_EQ(card.commands.size(), 1u);
        EXPECT_EQ(fake::toHex(card.commands[0]), k.command);
        EXPECT_TRUE(pair.metadataChanged);
        EXPECT_EQ(pair.keyUsage, k.removePublic ? 0x0093 : 0x006C);
    }
    fake::Connection card;
    Token amending(&card);
    KeyPair lone(&card);
    lone.blockId = 0x0040;
    lone.generatedOnCard = 1;
    lone.addPrivateKey(text<128>("priv"), 0x0093);
    amending.amendKeyPairAddPublicKey(&lone, text<128>("pub"), 2, amw::KeyPair::SIGNATURE_KEY,
                                      0x00FF, modulus, buf<256>(hex("01 00 01")));
    EXPECT_EQ(fake::toHex(card.commands[0]), "80 4C 00 40 01 06");
    EXPECT_EQ(lone.keyUsage, 0x00FF);
    EXPECT_EQ(lone.containerIndex, 2);
}
