// The card token against a scripted connection: properties, freshness
// block, listing, key operations and argument checks made before any command.
#include "amwkalvik/token.h"
#include "exceptions.h"
#include "fakeconnection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

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
    std::unique_ptr<SerializableEntity> pair(token.createSerializableEntity(1));
    EXPECT_NE(dynamic_cast<KeyPair*>(pair.get()), nullptr);
    std::unique_ptr<SerializableEntity> ao(token.createSerializableEntity(7));
    EXPECT_NE(dynamic_cast<amw::AuthenticationObject*>(ao.get()), nullptr);
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

    length = 0;
    expectThrowMessage<amw::InvalidBufferSizeException>(
        [&] { token.getProperty("QV_GET_TRIES_REMAINING", out, &length, 1); },
        "invalid size of buffer (expected 1,  actual 0)");
    length = 58;
    EXPECT_THROW(token.getProperty("QV_GET_GAC_INFO", out, &length, 0),
                 amw::InvalidBufferSizeException);
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
    length = 64;
    EXPECT_THROW(token.getProperty("QV_GET_TRIES_REMAINING", out, &length, 8),
                 InvalidArgumentException);
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
    EXPECT_THROW(token.setProperty("QV_GET_GAC_INFO", nullptr, 0, 0), amw::UnknownPropertyException);
}

TEST(TokenFreshness, FortySevenBytesInBothDirections) {
    fake::Connection c;
    Token token(&c);
    Bytes card(47);
    for (std::size_t i = 0; i < card.size(); ++i)
        card[i] = static_cast<std::uint8_t>(i + 1);
    c.then(ok(card));
    amw::FreshnessBlock block;
    block.counters[6] = 99;
    ASSERT_TRUE(token.getCacheFreshness(&block));
    std::uint16_t first;
    std::memcpy(&first, card.data(), 2);
    EXPECT_EQ(block.counters[0], first);
    EXPECT_EQ(block.counters[6], 0);
    EXPECT_EQ(block.prefixes[0][0], 13);
    EXPECT_EQ(block.prefixes[6][4], 47);
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 0C 00 00 2F");

    token.setCacheFreshness(block);
    EXPECT_EQ(c.commands.back(), concat({hex("80 0E 00 00 2F"), card}));

    // A card that keeps another length: no block, everything zero.
    c.then(status(0x6C10));
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
    EXPECT_EQ(fake::toHex(c.commands[1]), "80 18 00 05 12");
    EXPECT_EQ(fake::toHex(c.commands[3]), "80 18 00 09 12");

    // An empty chain costs one command.
    c.commands.clear();
    c.then(ok(hex("8000 8000 8000 8000 8000")));
    Owned<amw::File> files;
    token.listFiles(files.items);
    EXPECT_TRUE(files.items.empty());
    EXPECT_EQ(c.commands.size(), 1u);

    // A chain that points back at itself is not walked forever.
    fake::Connection loop;
    Token looping(&loop);
    Bytes dirHeader(27, 0);
    dirHeader[1] = 0x00;
    dirHeader[2] = 0x03;
    loop.then(ok(hex("8000 8000 8000 0003 8000")));
    loop.fallback = ok(dirHeader);
    Owned<amw::Directory> dirs;
    EXPECT_THROW(looping.listDirs(dirs.items), InternalErrorException);

    // Roles 1 to 7; absent ones are skipped, role 0 never asked.
    fake::Connection aos;
    Token aoToken(&aos);
    aos.then(ok(hex("00 3412 00 00 7856 05 00 03")))
        .then(ok(hex("01 0000 00 00 0000 09 01 05")));
    aos.fallback = status(0x6B00);
    Owned<amw::AuthenticationObject> list;
    aoToken.listAuthenticateObjects(list.items);
    ASSERT_EQ(aos.commands.size(), 7u);
    EXPECT_EQ(aos.commands.front()[2], 1);
    EXPECT_EQ(aos.commands.back()[2], 7);
    ASSERT_EQ(list.items.size(), 2u);
    const amw::AuthenticationObject& user = *list.items[0];
    EXPECT_EQ(user.role, 1u);
    EXPECT_EQ(user.type, amw::AuthenticationObject::PIN);
    EXPECT_EQ(user.recordBytes1To2, 0x1234);
    EXPECT_EQ(user.recordBytes5To6, 0x5678);
    EXPECT_EQ(user.recordByte7, 5u);
    EXPECT_FALSE(user.pkcs11So);
    EXPECT_EQ(list.items[1]->role, 2u);
    EXPECT_EQ(list.items[1]->type, amw::AuthenticationObject::KEY);
    EXPECT_EQ(list.items[1]->recordByte7, 9u);
    EXPECT_TRUE(list.items[1]->pkcs11So);
}

TEST(TokenKeys, ImportSendsComponentsInOrderWithTheExponentStripped) {
    fake::Connection c;
    Token token(&c);
    amw::RsaPrivateKeyComponents k;
    k.n = buf<256>(concat({hex("C5"), repeat(0x11, 255)}));
    k.e = buf<256>(hex("00 01 00 01"));
    k.p = buf<256>(repeat(0x21, 128));
    k.q = buf<256>(repeat(0x22, 128));
    k.dp = buf<256>(repeat(0x23, 128));
    k.dq = buf<256>(repeat(0x24, 128));
    k.inv = buf<256>(repeat(0x25, 128));
    std::unique_ptr<amw::KeyPair> pair(token.importKeyPair(buf<128>({'p'}), buf<128>({'q'}), 2048, 3,
                                                           amw::KeyPair::KEY_EXCHANGE_KEY,
                                                           buf<128>({'i'}), 0x00FF, k));
    ASSERT_EQ(c.commands.size(), 9u);
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 3E 00 01 0D 06 08 00 00 FF 03 01 FF FF FF FF FF FF");
    const char* heads[] = {"80 42 06 00 80", "80 42 06 01 80", "80 42 07 00 03", "80 42 01 00 80",
                           "80 42 02 00 80", "80 42 03 00 80", "80 42 04 00 80", "80 42 05 00 80"};
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(fake::toHex(Bytes(c.commands[i + 1].begin(), c.commands[i + 1].begin() + 5)), heads[i]);
    EXPECT_EQ(fake::toHex(c.commands[3]), "80 42 07 00 03 01 00 01");
    EXPECT_EQ(fake::toHex(bytes(pair->publicKey.publicExponent)), "01 00 01");
    EXPECT_TRUE(pair->hasPublicKey && pair->hasPrivateKey);
    EXPECT_EQ(static_cast<KeyPair*>(pair.get())->blockId, NO_BLOCK);

    // Public and private halves alone belong to no container.
    c.commands.clear();
    std::unique_ptr<amw::KeyPair> pub(token.importPublicKey(buf<128>({'i'}), 1024, buf<128>({'l'}),
                                                            0x006C, buf<256>(repeat(0xC1, 128)),
                                                            buf<256>(hex("03"))));
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 3E 00 01 0D 02 04 00 00 6C FF 00 FF FF FF FF FF FF");
    EXPECT_EQ(pub->containerIndex, 0);
    EXPECT_EQ(pub->keySpec, amw::KeyPair::KEY_EXCHANGE_KEY);
    EXPECT_FALSE(pub->hasPrivateKey);
    c.commands.clear();
    std::unique_ptr<amw::KeyPair> priv(
        token.importPrivateKey(buf<128>({'i'}), 1024, buf<128>({'l'}), 0x0093, k));
    EXPECT_EQ(c.commands[0][5], 0x04);
    EXPECT_EQ(c.commands.size(), 6u);
    EXPECT_FALSE(priv->hasPublicKey);

    // Wrong key sizes never reach the card.
    c.commands.clear();
    expectThrowMessage<InvalidArgumentException>(
        [&] {
            delete token.importKeyPair(buf<128>({}), buf<128>({}), 1536, 0, 0, buf<128>({}), 0, k);
        },
        "keySize must be 1024 or 2048");
    EXPECT_THROW(delete token.generateKeyPair(buf<128>({}), buf<128>({}), 512, 0, 0, buf<128>({}),
                                              0, buf<256>(hex("03"))),
                 InvalidArgumentException);
    EXPECT_THROW(delete token.generateKeyPair(buf<128>({}), buf<128>({}), 1024, 0, 7, buf<128>({}),
                                              0, buf<256>(hex("03"))),
                 InvalidArgumentException);
    EXPECT_TRUE(c.commands.empty());
}

TEST(TokenKeys, GenerateAmendAndExponentiate) {
    fake::Connection c;
    Token token(&c);
    c.then(ok()).then(ok(repeat(0xC3, 129)));
    expectThrowMessage<InternalErrorException>(
        [&] {
            delete token.generateKeyPair(buf<128>({}), buf<128>({}), 1024, 0, 0, buf<128>({}), 0,
                                         buf<256>(hex("01 00 01")));
        },
        "INTERNAL ERROR unexpected length of modulus (expected 128,  actual 129)");
    EXPECT_EQ(fake::toHex(c.commands[1]), "80 40 00 00 03 01 00 01");

    c.commands.clear();
    c.then(ok()).then(ok(repeat(0xC3, 256)));
    std::unique_ptr<amw::KeyPair> pair(token.generateKeyPair(
        buf<128>({'a'}), buf<128>({'b'}), 2048, 2, amw::KeyPair::SIGNATURE_KEY, buf<128>({'i'}),
        0x00FF, buf<256>(hex("01 00 01"))));
    EXPECT_EQ(pair->publicKey.modulus.size(), 256u);
    EXPECT_EQ(pair->generatedOnCard, 0);

    // 2048 bits: two chained blocks; 1024: one.
    c.commands.clear();
    static_cast<KeyPair*>(pair.get())->blockId = 0x0044;
    Bytes data(256, 0x01);
    c.then(ok()).then(ok()).then(ok(repeat(0x99, 256)));
    StaticBuffer<256> out;
    token.rsaExponentiation(pair.get(), data.data(), data.size(), &out, true);
    ASSERT_EQ(c.commands.size(), 3u);
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 46 00 44 00");
    EXPECT_EQ(c.commands[1][1], 0x48);
    EXPECT_EQ(c.commands[2][1], 0x4A);
    EXPECT_EQ(out.size(), 256u);
    EXPECT_EQ(out.data[255], 0x99);
    expectThrowMessage<InternalErrorException>(
        [&] { token.rsaExponentiation(pair.get(), data.data(), 128, &out, false); },
        "INTERNAL ERROR unexpected length of data (expected 256,  actual 128)");
    EXPECT_EQ(c.commands.size(), 3u);

    KeyPair small(&c);
    small.blockId = 0x0045;
    small.keySize = 1024;
    small.hasPrivateKey = true;  // no public half: the key size gives the length
    c.commands.clear();
    c.then(ok()).then(ok(repeat(0x55, 128)));
    token.rsaExponentiation(&small, data.data(), 128, &out, false);
    EXPECT_EQ(c.commands.size(), 2u);
    EXPECT_EQ(c.commands[1][1], 0x4A);

    // Amending: a half that is there cannot be added; removal asks the card first.
    EXPECT_THROW(token.amendKeyPairAddPrivateKey(pair.get(), buf<128>({}), 0, 0, 0,
                                                 amw::RsaPrivateKeyComponents()),
                 InternalErrorException);
    KeyPair generated(&c);
    generated.blockId = 0x0046;
    generated.generatedOnCard = 1;
    generated.hasPrivateKey = true;
    generated.keyUsage = 0x00FF;
    c.commands.clear();
    expectThrowMessage<InternalErrorException>(
        [&] { token.amendKeyPairRemovePublicKey(&generated); },
        "INTERNAL ERROR cannot remove public key from incomplete keypair");
    ASSERT_EQ(c.commands.size(), 1u);
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 4C 00 46 01 05");

    c.commands.clear();
    token.amendKeyPairAddPublicKey(&generated, buf<128>({'p'}), 7, amw::KeyPair::KEY_EXCHANGE_KEY,
                                   0x006C, buf<256>(repeat(0xC1, 128)), buf<256>(hex("00 00 03")));
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 4C 00 46 01 06");
    EXPECT_EQ(fake::toHex(c.commands[2]), "80 42 07 00 01 03");
    EXPECT_TRUE(generated.metadataChanged);
    EXPECT_EQ(generated.containerIndex, 7);
    c.commands.clear();
    generated.keyUsage = 0xFFFF;
    token.amendKeyPairRemovePrivateKey(&generated);
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 4C 00 46 01 03");
    EXPECT_FALSE(generated.hasPrivateKey);
    EXPECT_EQ(generated.keyUsage, 0x006C);
}

TEST(TokenArguments, NullOutputsAndDirectoriesAreRefusedBeforeAnyCommand) {
    fake::Connection c;
    Token token(&c);
    expectThrowMessage<InvalidArgumentException>(
        [&] { delete token.createFile(nullptr, buf<8>({'f'}), 0x0101, 0x0101, 0x0101); },
        "Null pointer exception <dir> [amwkalvik::Token::createFile() libamwkalvik/src/token:159]");
    expectThrowMessage<InvalidArgumentException>(
        [&] { token.generateSessionPin(1, nullptr); },
        "Null pointer exception <sessionPin> [amwkalvik::Token::generateSessionPin() "
        "libamwkalvik/src/token:551]");
    expectThrowMessage<InvalidArgumentException>(
        [&] { token.getChallenge(1, nullptr); },
        "Null pointer exception <challenge> [amwkalvik::Token::getChallenge() "
        "libamwkalvik/src/token:559]");
    StaticBuffer<128> pin;
    expectThrowMessage<InvalidArgumentException>([&] { token.generateSessionPin(8, &pin); },
                                                 "unknown AMW role [8]");
    EXPECT_TRUE(c.commands.empty());

    // The directory's block id goes into the create command.
    Directory dir(&c);
    dir.blockId = 0x0123;
    dir.directoryName = buf<8>({'m', 's', 'c', 'p'});
    std::unique_ptr<amw::File> file(token.createFile(&dir, buf<8>({'c', 'f'}), 0x0101, 0x0102, 0x0104));
    EXPECT_EQ(fake::toHex(c.commands[0]),
              "80 3E 00 04 10 01 23 63 66 00 00 00 00 00 00 01 01 01 02 01 04");
    EXPECT_EQ(std::string(file->directoryName.begin(), file->directoryName.end()), "mscp");
}
