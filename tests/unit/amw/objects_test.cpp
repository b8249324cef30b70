#include "testobjects.h"

#include "amw/objects.h"
#include "exceptions.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace amwtest;
using amw::AuthenticationObject;
using amw::KeyPair;

namespace {

TestKeyPair fullKeyPair() {
    TestKeyPair pair;
    pair.keySize = 2048;
    pair.pkcs11Id = buf<128>(Bytes{0xA1, 0xB2, 0xC3});
    pair.keyUsage = 0x00FF;
    pair.generatedOnCard = 1;
    pair.containerIndex = 4;
    pair.keySpec = KeyPair::KEY_EXCHANGE_KEY;
    pair.hasPublicKey = true;
    pair.publicKey.modulus = buf<256>(Bytes{0xC5, 0x01, 0x02, 0x03});
    pair.publicKey.publicExponent = buf<256>(Bytes{0x01, 0x00, 0x01});
    pair.publicKey.label = buf<128>("pub");
    pair.hasPrivateKey = true;
    pair.privateKey.label = buf<128>("priv");
    return pair;
}

}  // namespace

TEST(KeyPairSerialization, BothHalvesAreWrittenFieldByFieldAndReadBack) {
    const TestKeyPair pair = fullKeyPair();
    Encoding e;
    e.u16(2048).buffer(Bytes{0xA1, 0xB2, 0xC3}).u16(0x00FF).u8(1).u8(4).u32(1);
    e.u8(1).buffer(Bytes{0xC5, 0x01, 0x02, 0x03}).buffer(Bytes{0x01, 0x00, 0x01}).buffer("pub");
    const Bytes expected = e.u8(1).buffer("priv").bytes();
    ASSERT_EQ(serialized(pair), expected);

    // Every field is read back where it was written.
    TestKeyPair back;
    deserializeFrom(back, expected);
    EXPECT_EQ(serialized(back), expected);
}

TEST(KeyPairSerialization, AnAbsentHalfIsOneZeroFlagAndIsClearedOnReading) {
    TestKeyPair publicOnly = fullKeyPair();
    publicOnly.removePrivateKey();
    TestKeyPair privateOnly = fullKeyPair();
    privateOnly.removePublicKey();

    Encoding p;
    p.u16(2048).buffer(Bytes{0xA1, 0xB2, 0xC3}).u16(0x006C).u8(1).u8(4).u32(1);
    p.u8(1).buffer(Bytes{0xC5, 0x01, 0x02, 0x03}).buffer(Bytes{0x01, 0x00, 0x01}).buffer("pub");
    const Bytes publicExpected = p.u8(0).bytes();
    EXPECT_EQ(serialized(publicOnly), publicExpected);
    Encoding q;
    q.u16(2048).buffer(Bytes{0xA1, 0xB2, 0xC3}).u16(0x0093).u8(1).u8(4).u32(1);
    const Bytes privateExpected = q.u8(0).u8(1).buffer("priv").bytes();
    EXPECT_EQ(serialized(privateOnly), privateExpected);

    // Reading into a pair that had both halves leaves nothing of the missing one.
    TestKeyPair target = fullKeyPair();
    deserializeFrom(target, publicExpected);
    EXPECT_EQ(target.getRsaPrivateKey(), nullptr);
    EXPECT_TRUE(target.privateKey.label.empty());
    target = fullKeyPair();
    deserializeFrom(target, privateExpected);
    EXPECT_EQ(target.getRsaPublicKey(), nullptr);
    EXPECT_TRUE(target.publicKey.modulus.empty());
    EXPECT_EQ(serialized(target), privateExpected);
}

TEST(KeyPairHalves, AddingOrRemovingAHalfTouchesOnlyItsOwnUsageBits) {
    struct Case {
        const char* what;
        std::uint16_t before;
        std::function<void(KeyPair&)> change;
        std::uint16_t after;
        bool hasPublic;
        bool hasPrivate;
    };
    const StaticBuffer<128> label = buf<128>("l");
    const StaticBuffer<256> modulus = buf<256>(Bytes{0x80, 0x01});
    const StaticBuffer<256> exponent = buf<256>(Bytes{0x03});
    const Case cases[] = {
        {"add public ignores private bits", 0x0093,
         [&](KeyPair& p) { p.addPublicKey(label, modulus, exponent, 0xFFFF); }, 0x00FF, true, true},
        {"add private ignores public bits", 0x0020,
         [&](KeyPair& p) { p.addPrivateKey(label, 0x0001 | 0x0004); }, 0x0021, true, true},
        {"remove public keeps private bits", 0x00FF, [](KeyPair& p) { p.removePublicKey(); },
         0x0093, false, true},
        {"remove private keeps public bits", 0x00FF, [](KeyPair& p) { p.removePrivateKey(); },
         0x006C, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestKeyPair pair;
        pair.keyUsage = c.before;
        pair.hasPublicKey = true;
        pair.hasPrivateKey = true;
        c.change(pair);
        EXPECT_EQ(pair.keyUsage, c.after);
        EXPECT_EQ(pair.getRsaPublicKey() != nullptr, c.hasPublic);
        EXPECT_EQ(pair.getRsaPrivateKey() != nullptr, c.hasPrivate);
    }
}

TEST(ContentSerialization, CertificateWithLoadedPublicContentCarriesItsBody) {
    TestCertificate certificate;
    certificate.setContent(Bytes{0x30, 0x82, 0x01}.data(), 3);
    certificate.pkcs11Id = buf<128>(Bytes{0x07});
    certificate.trusted = true;
    certificate.label = buf<128>("cert");
    certificate.containerIndex = 2;
    certificate.keySpec = KeyPair::SIGNATURE_KEY;

    Encoding e;
    e.u32(3).u8(1).buffer(Bytes{0x30, 0x82, 0x01}).buffer(Bytes{0x07});
    const Bytes expected = e.u8(1).buffer("cert").u8(2).u32(0).bytes();
    ASSERT_EQ(serialized(certificate), expected);

    TestCertificate back;
    deserializeFrom(back, expected);
    EXPECT_EQ(serialized(back), expected) << "a cached body never used is written back as read";
    EXPECT_TRUE(back.contentLoaded);
    EXPECT_EQ(bytesOf(back.getContent()), (Bytes{0x30, 0x82, 0x01}));
    EXPECT_EQ(back.card.reads, 0) << "cached content must not be read from the card";
    EXPECT_EQ(serialized(back), expected);
}

TEST(ContentSerialization, DataObjectWithPrivateContentKeepsOnlyItsSize) {
    TestDataObject object;
    object.privateContent = true;
    object.setContent(Bytes{'s', 'e', 'c', 'r', 'e', 't'}.data(), 6);
    object.pkcs11Id = buf<128>(Bytes{0x01, 0x02});
    object.label = buf<128>("label");
    object.objectId = buf<128>(Bytes{0x06, 0x03});
    object.application = buf<128>("app");

    Encoding e;
    e.u32(6).u8(0).buffer(Bytes{0x01, 0x02}).buffer("label");
    const Bytes expected = e.buffer(Bytes{0x06, 0x03}).buffer("app").bytes();
    ASSERT_EQ(serialized(object), expected);

    TestDataObject back;
    back.privateContent = true;
    back.setContent(Bytes{'o', 'l', 'd'}.data(), 3);
    deserializeFrom(back, expected);
    EXPECT_FALSE(back.contentLoaded);
    EXPECT_EQ(serialized(back), expected);

    // The old body is gone: unloaded content comes from the card on first use, once.
    back.card.body = Bytes{'s', 'e', 'c', 'r', 'e', 't'};
    EXPECT_EQ(bytesOf(back.getContent()), back.card.body);
    EXPECT_EQ(bytesOf(back.getContent()), back.card.body);
    EXPECT_EQ(back.card.reads, 1);
}

TEST(ContentSerialization, UnloadedPublicContentIsNotWrittenEither) {
    TestFile file;
    file.contentSize = 300;
    file.fileName = buf<8>("cmapfile");
    file.directoryName = buf<8>("mscp");
    file.acRead = amw::AccessCondition::EVERYONE;
    file.acWrite = 0x0202;
    file.acDelete = 0x0303;
    Encoding e;
    e.u32(300).u8(0).buffer("cmapfile").buffer("mscp");
    const Bytes expected = e.u16(0x0101).u16(0x0202).u16(0x0303).bytes();
    ASSERT_EQ(serialized(file), expected);

    TestFile back;
    deserializeFrom(back, expected);
    EXPECT_EQ(serialized(back), expected);
    EXPECT_FALSE(back.contentLoaded);

    TestDirectory directory;
    directory.directoryName = buf<8>("mscp");
    EXPECT_EQ(serialized(directory), Encoding().buffer("mscp").bytes());
}

TEST(ContentSerialization, ReplacingContentMarksItLoadedAndRefusesOversizedBodies) {
    TestCertificate certificate;
    certificate.card.body = Bytes{0x01};
    const Bytes body(65536, 0xAB);
    certificate.setContent(body.data(), body.size());
    EXPECT_EQ(certificate.contentSize, 65536u);
    EXPECT_EQ(certificate.getContent().size(), 65536u);
    EXPECT_EQ(certificate.card.reads, 0);

    const Bytes tooBig(65537, 0xCD);
    EXPECT_THROW(certificate.setContent(tooBig.data(), tooBig.size()), InvalidArgumentException);
    EXPECT_EQ(certificate.contentSize, 65536u) << "a refused body leaves the old one";
}

TEST(AuthenticationObjectSerialization, FieldsInOrderAndEmptyObjectDefaults) {
    AuthenticationObject empty;
    EXPECT_EQ(empty.type, static_cast<std::uint32_t>(AuthenticationObject::PIN));
    EXPECT_EQ(empty.recordByte7, 5u);
    EXPECT_FALSE(empty.pkcs11So);

    AuthenticationObject object;
    object.role = amw::AMWROLE_ADMIN;
    object.type = AuthenticationObject::KEY;
    object.recordByte7 = 0x11;
    object.pkcs11So = true;
    object.recordBytes1To2 = 0x0403;
    object.recordBytes5To6 = 0x0807;
    const Bytes expected = Encoding().u32(2).u32(1).u32(0x11).u8(1).u16(0x0403).u16(0x0807).bytes();
    ASSERT_EQ(serialized(object), expected);

    AuthenticationObject back;
    deserializeFrom(back, expected);
    EXPECT_EQ(serialized(back), expected);
}

TEST(Deserialization, MalformedStreamsThrowSerializationException) {
    const Bytes certificateTail =
        Encoding().u8(0).buffer("label").u8(0).u32(0).bytes();  // after the identifier
    struct Case {
        const char* what;
        std::function<std::unique_ptr<SerializableEntity>()> make;
        Bytes stream;
    };
    Bytes oversizedId = Encoding().u32(0).u8(0).u32(129).bytes();
    oversizedId.resize(oversizedId.size() + 129, 0x41);
    oversizedId.insert(oversizedId.end(), certificateTail.begin(), certificateTail.end());
    Bytes oversizedBody = Encoding().u32(0).u8(1).u32(65537).bytes();
    oversizedBody.resize(oversizedBody.size() + 65537, 0x42);

    const Case cases[] = {
        {"identifier of 129 bytes", [] { return std::make_unique<TestCertificate>(); },
         oversizedId},
        {"directory name of 9 bytes", [] { return std::make_unique<TestDirectory>(); },
         Encoding().buffer("ninebytes").bytes()},
        {"body of 65537 bytes", [] { return std::make_unique<TestFile>(); }, oversizedBody},
        {"stream ends inside a buffer", [] { return std::make_unique<TestKeyPair>(); },
         Encoding().u16(1024).u32(4).u8(1).u8(2).bytes()},
        {"stream ends before the last field",
         [] { return std::make_unique<AuthenticationObject>(); },
         Encoding().u32(1).u32(0).u32(5).u8(0).u16(0).bytes()},
        {"content flag 2", [] { return std::make_unique<TestDataObject>(); },
         Encoding().u32(0).u8(2).bytes()},
        {"half flag 7", [] { return std::make_unique<TestKeyPair>(); },
         Encoding().u16(1024).buffer(Bytes{1}).u16(0).u8(0).u8(0).u32(0).u8(7).bytes()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<SerializableEntity> entity = c.make();
        EXPECT_THROW(deserializeFrom(*entity, c.stream), SerializationException);
    }
}

TEST(Ordering, IdentifiersCompareShorterFirstThenByFirstDifferingByte) {
    struct Case {
        Bytes left;
        Bytes right;
        int expected;
    };
    const Case cases[] = {
        {{0xFF}, {0x00, 0x00}, -1},  // shorter first whatever the bytes
        {{0x00, 0x00, 0x00}, {0xFF, 0xFF}, 1},
        {{}, {0x00}, -1},
        {{0x09}, {0x01, 0x02, 0x03, 0x04}, -1},  // -1, not the length difference
        {{0x01, 0x10}, {0x01, 0x05}, 0x10 - 0x05},
        {{0x01, 0x05, 0xFF}, {0x01, 0x10, 0x00}, 0x05 - 0x10},
        {{0x00, 0xFF}, {0xFF, 0x00}, -0xFF},  // bytes are unsigned
        {{0x01, 0x02}, {0x01, 0x02}, 0},
        {{}, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.left) + " vs " + ::testing::PrintToString(c.right));
        TestKeyPair leftPair, rightPair;
        leftPair.pkcs11Id = buf<128>(c.left);
        rightPair.pkcs11Id = buf<128>(c.right);
        EXPECT_EQ(leftPair.compare(rightPair), c.expected);
        EXPECT_EQ(rightPair.compare(leftPair), -c.expected);
        TestDirectory leftDir, rightDir;
        leftDir.directoryName = buf<8>(c.left);
        rightDir.directoryName = buf<8>(c.right);
        EXPECT_EQ(leftDir.compare(rightDir), c.expected);
    }
}

TEST(Ordering, OtherKindsByTheirOwnKeys) {
    TestCertificate certificate, otherCertificate;
    certificate.pkcs11Id = buf<128>(Bytes{0x01, 0x10});
    otherCertificate.pkcs11Id = buf<128>(Bytes{0x01, 0x05});
    certificate.label = buf<128>("a");  // labels play no part
    EXPECT_EQ(certificate.compare(otherCertificate), 0x10 - 0x05);
    TestDataObject object, otherObject;
    object.pkcs11Id = buf<128>(Bytes{0x09});
    otherObject.pkcs11Id = buf<128>(Bytes{0x01, 0x02});
    EXPECT_EQ(object.compare(otherObject), -1);

    TestFile a, b;
    a.directoryName = buf<8>("mscp");
    a.fileName = buf<8>("zz");
    b.directoryName = buf<8>("mscpx");
    b.fileName = buf<8>("a");
    EXPECT_EQ(a.compare(b), -1) << "the directory decides first";
    b.directoryName = a.directoryName;
    EXPECT_EQ(a.compare(b), 1) << "then the file name, shorter first";
    b.fileName = a.fileName;
    EXPECT_EQ(a.compare(b), 0);

    AuthenticationObject user, user6;
    user.role = amw::AMWROLE_USER;
    user6.role = amw::AMWROLE_USER6;
    EXPECT_EQ(user.compare(user6), -6);
    EXPECT_EQ(user6.compare(user), 6);
}
