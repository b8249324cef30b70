// The PKCS#11 object classes over a virtual card in the in-process PC/SC
// service, through a caching token made per call as the front end makes
// it: objects created, read back by a later call, changed and destroyed;
// keys imported, completed, used and removed with the container map files
// checked on the card; refusals that leave the card as it was; APDU counts.
#include "amw/cachedtoken.h"
#include "ctl/lockablepcsccardconnection.h"
#include "ctl/pcscreader.h"
#include "internal/cmapfile.h"
#include "internal/p11objects/p11DataObject.h"
#include "internal/p11objects/p11RsaPrivateKey.h"
#include "internal/p11objects/p11RsaPublicKey.h"
#include "internal/p11objects/p11X509Certificate.h"
#include "p11template.h"
#include "p11values.h"
#include "tempdir.h"
#include "testcerts.h"
#include "testpcsc/service.h"
#include "tokencall.h"
#include "vcard/kalvikcard.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using p11values::failure;
using p11values::text;
using p11values::valueOf;
using testcerts::Bytes;
using Token = amw::CachedToken*;

constexpr const char* READER = "Objects Reader 0";

template <std::size_t N>
Bytes bytesOf(const StaticBuffer<N>& b) {
    return Bytes(b.begin(), b.end());
}
StaticBuffer<128> id128(const Bytes& b) { return StaticBuffer<128>(b.data(), b.size()); }

void setLabel(P11Object& object, const std::string& label) {
    object.setAttributeValue(CKA_LABEL, reinterpret_cast<const CK_BYTE*>(label.data()),
                             label.size());
}

// A container record as other card software reads it.
struct ContainerRecord {
    std::u16string name;
    int flags, reserved, signatureBits, exchangeBits;
};

ContainerRecord recordAt(const Bytes& map, std::size_t index) {
    const std::uint8_t* r = map.data() + index * 86;
    ContainerRecord record{{}, r[80], r[81], r[82] | (r[83] << 8), r[84] | (r[85] << 8)};
    for (std::size_t i = 0; i < 40 && (r[2 * i] | r[2 * i + 1]); ++i)
        record.name.push_back(static_cast<char16_t>(r[2 * i] | (r[2 * i + 1] << 8)));
    return record;
}

// 20 lowercase hex digits of SHA-256 of the identifier.
std::u16string containerName(const Bytes& id) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(id.data(), id.size(), digest);
    const std::string hex = hexText(digest, 10);
    return std::u16string(hex.begin(), hex.end());
}

class P11ObjectsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (EVP_PKEY*& key : keys)
            key = testcerts::rsaKey(1024).release();
    }
    static void TearDownTestSuite() {
        for (EVP_PKEY*& key : keys)
            EVP_PKEY_free(key);
    }
    void SetUp() override { insert({}); }

    void insert(const vcard::PersonalisationOptions& options) {
        service->reset();
        service->addReader(READER);
        card = std::make_shared<vcard::KalvikCard>(options);
        service->insertCard(READER, card);
        connection.reset(new ctl::LockablePcScCardConnection(
            ctl::PcScReader(READER), ctl::CardConnection::MODE_SHARED,
            ctl::CardConnection::PROTOCOL_T0_OR_T1));
    }

    // A call of another process: no cache, everything from the card.
    std::unique_ptr<TokenCall> fromCard(std::uint32_t role = 0) {
        return std::make_unique<TokenCall>(*connection, role, "");
    }
    std::unique_ptr<TokenCall> cached(std::uint32_t role = 1) {
        return std::make_unique<TokenCall>(*connection, role, cache.path());
    }

    // `padded`: CRT values left-padded to half the modulus; otherwise as
    // OpenSSL gives them, without leading zeros.
    static Template privateTemplate(const EVP_PKEY* key, const Bytes& id, bool signOnly,
                                    bool padded = true) {
        const testcerts::RsaComponents c = testcerts::rsaComponents(key);
        auto half = [&](const Bytes& v) {
            Bytes b(padded ? c.n.size() / 2 - v.size() : 0, 0);
            b.insert(b.end(), v.begin(), v.end());
            return b;
        };
        Template t;
        t.add(CKA_ID, id).add(CKA_LABEL, text("private")).flag(CKA_SIGN, true);
        t.flag(CKA_DECRYPT, !signOnly).add(CKA_MODULUS, c.n).add(CKA_PUBLIC_EXPONENT, c.e);
        t.add(CKA_PRIME_1, half(c.p)).add(CKA_PRIME_2, half(c.q));
        t.add(CKA_EXPONENT_1, half(c.dp)).add(CKA_EXPONENT_2, half(c.dq));
        t.add(CKA_COEFFICIENT, half(c.inv));
        return t;
    }
    static Template publicTemplate(const EVP_PKEY* key, const Bytes& id) {
        const testcerts::RsaComponents c = testcerts::rsaComponents(key);
        Template t;
        t.add(CKA_ID, id).add(CKA_LABEL, text("public")).flag(CKA_VERIFY, true);
        t.add(CKA_MODULUS, c.n).add(CKA_PUBLIC_EXPONENT, c.e);
        return t;
    }
    void importHalf(bool privateHalf, const EVP_PKEY* key, const Bytes& id, bool signOnly = false) {
        auto call = cached();
        const Template t =
            privateHalf ? privateTemplate(key, id, signOnly) : publicTemplate(key, id);
        const auto create =
            privateHalf ? P11RsaPrivateKey::createObject : P11RsaPublicKey::createObject;
        EXPECT_EQ(bytesOf(create(call->get(), t.data(), t.count())), id);
    }
    void destroyHalf(bool privateHalf, const Bytes& id) {
        auto call = cached();
        amw::KeyPair* pair = (*call)->findKeyPair(id128(id));
        if (privateHalf)
            P11RsaPrivateKey(pair).destroyObjectFromCard(call->get());
        else
            P11RsaPublicKey(pair).destroyObjectFromCard(call->get());
    }
    Bytes createCertificate(const Bytes& id, const Bytes& value) {
        auto call = cached();
        Template t;
        t.add(CKA_ID, id).add(CKA_VALUE, value);
        return bytesOf(P11X509Certificate::createObject(call->get(), t.data(), t.count()));
    }

    // A SHA-256 PKCS#1 v1.5 signature made on the card, checked by OpenSSL with `key`.
    void expectCardSignatureVerifies(const EVP_PKEY* key, const Bytes& id) {
        const Bytes prefix = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                              0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
        const Bytes message = text("signed on the virtual card");
        Bytes block(128 - prefix.size() - SHA256_DIGEST_LENGTH, 0xFF);
        block[0] = 0x00;
        block[1] = 0x01;
        block.back() = 0x00;
        block.insert(block.end(), prefix.begin(), prefix.end());
        block.resize(128);
        SHA256(message.data(), message.size(), block.data() + 128 - SHA256_DIGEST_LENGTH);
        StaticBuffer<256> signature;
        {
            auto call = cached();
            (*call)->rsaExponentiation((*call)->findKeyPair(id128(id)), block.data(), 128,
                                       &signature, true);
        }
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, const_cast<EVP_PKEY*>(key));
        EXPECT_EQ(
            EVP_DigestVerify(md, signature.data, signature.size(), message.data(), message.size()),
            1);
        EVP_MD_CTX_free(md);
    }

    Bytes cmapfile() const { return card->fileContent("mscp/cmapfile").value_or(Bytes()); }
    int cardcfCounter(std::size_t offset) const {
        const Bytes cardcf = card->fileContent("/cardcf").value_or(Bytes(6, 0xFF));
        return cardcf[offset] | (cardcf[offset + 1] << 8);
    }
    // Counter n of the freshness block on the card (host order).
    std::uint16_t cardCounter(int n) const {
        const auto block = card->freshness();
        std::uint16_t value;
        std::memcpy(&value, block.data() + 2 * (n - 1), sizeof value);
        return value;
    }
    std::size_t apdus() const { return service->trace(READER).size(); }
    void clearTrace() { service->clearTrace(READER); }

    static EVP_PKEY* keys[3];
    testpcsc::ScopedService service;
    TempDir cache;
    std::shared_ptr<vcard::KalvikCard> card;
    std::unique_ptr<ctl::LockablePcScCardConnection> connection;
};
EVP_PKEY* P11ObjectsTest::keys[3] = {};

TEST_F(P11ObjectsTest, CertificateCreatedReadBackRelabelledAndDestroyed) {
    const testcerts::Certificate der = testcerts::makeCertificate(keys[0]);
    const Bytes id = {0x01, 0xAB};
    EXPECT_EQ(createCertificate(id, der.der), id);
    {
        auto call = fromCard();
        amw::X509Certificate* token = (*call)->findCertificate(id128(id));
        ASSERT_NE(token, nullptr);
        P11X509Certificate certificate(token);
        EXPECT_EQ(valueOf(certificate, CKA_LABEL), text("01ab"));
        EXPECT_EQ(valueOf(certificate, CKA_VALUE), der.der);
        EXPECT_EQ(valueOf(certificate, CKA_SERIAL_NUMBER), der.serial);
        EXPECT_EQ(valueOf(certificate, CKA_ISSUER), der.issuer);
        EXPECT_EQ(valueOf(certificate, CKA_SUBJECT), der.subject);
        // No key pair, an empty container map: one past the map.
        EXPECT_EQ(token->containerIndex, 1);
        EXPECT_EQ(token->keySpec, amw::KeyPair::KEY_EXCHANGE_KEY);
    }
    {
        auto call = cached();
        P11X509Certificate certificate((*call)->findCertificate(id128(id)));
        setLabel(certificate, "Signing certificate");
        certificate.commitChanges(call->get());
    }
    const Bytes map = cmapfile();
    {
        auto call = fromCard(1);
        P11X509Certificate certificate((*call)->findCertificate(id128(id)));
        EXPECT_EQ(valueOf(certificate, CKA_LABEL), text("Signing certificate"));
        certificate.destroyObjectFromCard(call->get());
    }
    EXPECT_EQ(card->objectCount(vcard::Chain::CERTIFICATES), 0u);
    EXPECT_EQ(cmapfile(), map);
}

TEST_F(P11ObjectsTest, CertificateBodiesOfVersion1AndOfTheLargestSizes) {
    const testcerts::Certificate v1 = testcerts::makeCertificate(keys[0], {false, 0, 0});
    const testcerts::Certificate large = testcerts::makeCertificate(keys[0], {true, 60000, 65535});
    createCertificate({1}, v1.der);
    createCertificate({2}, large.der);
    for (bool warm : {false, true}) {
        auto call = cached(0);
        clearTrace();
        P11X509Certificate old((*call)->findCertificate(id128({1})));
        EXPECT_EQ(valueOf(old, CKA_VALUE), v1.der);
        CK_ULONG length = 0;
        EXPECT_EQ(failure([&] { old.getAttributeValue(CKA_SUBJECT, nullptr, &length); }),
                  "Invalid attribute type [type=257, CKA_SUBJECT]");
        EXPECT_EQ(length, CK_UNAVAILABLE_INFORMATION);
        P11X509Certificate big((*call)->findCertificate(id128({2})));
        EXPECT_EQ(valueOf(big, CKA_VALUE), large.der);
        EXPECT_EQ(valueOf(big, CKA_SUBJECT), large.subject);
        if (warm) {
            EXPECT_EQ(apdus(), 0u) << "bodies come from the cache file";
        }
    }

    // The template takes 65536 bytes, the card keeps 16-bit sizes: the
    // certificate is taken away again, with the counter raised once more.
    const std::uint16_t before = cardCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE);
    EXPECT_EQ(failure([&] {
                  createCertificate({3}, Bytes(65536, 0x30));
              }).rfind("Invalid argument range exception <contentSize> [65536]", 0),
              0u);
    EXPECT_EQ(card->objectCount(vcard::Chain::CERTIFICATES), 2u);
    EXPECT_EQ(cardCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE), before + 2);
}

TEST_F(P11ObjectsTest, DataObjectsPublicPrivateAndEmpty) {
    Bytes open, secret, empty;
    {
        auto call = cached();
        Template a, b, c;
        a.add(CKA_VALUE, text("everyone reads this")).add(CKA_ID, {0x99});  // ID is ignored
        b.flag(CKA_PRIVATE, true).add(CKA_APPLICATION, text("wallet")).add(CKA_VALUE, text("1234"));
        c.add(CKA_VALUE, {}).add(CKA_OBJECT_ID, {0x06, 0x01, 0x2A});
        open = bytesOf(P11DataObject::createObject(call->get(), a.data(), a.count()));
        secret = bytesOf(P11DataObject::createObject(call->get(), b.data(), b.count()));
        empty = bytesOf(P11DataObject::createObject(call->get(), c.data(), c.count()));
    }
    EXPECT_EQ(open.size(), 16u);
    {
        auto call = fromCard(1);
        P11DataObject a((*call)->findDataObject(id128(open)));
        P11DataObject b((*call)->findDataObject(id128(secret)));
        P11DataObject c((*call)->findDataObject(id128(empty)));
        EXPECT_EQ(valueOf(a, CKA_PRIVATE), Bytes{0});
        EXPECT_EQ(valueOf(a, CKA_VALUE), text("everyone reads this"));
        EXPECT_EQ(valueOf(b, CKA_PRIVATE), Bytes{1});
        EXPECT_EQ(valueOf(b, CKA_APPLICATION), text("wallet"));
        EXPECT_EQ(valueOf(b, CKA_VALUE), text("1234"));
        EXPECT_EQ(valueOf(c, CKA_VALUE), Bytes());
        EXPECT_EQ(valueOf(c, CKA_OBJECT_ID), (Bytes{0x06, 0x01, 0x2A}));
        const std::string value = "9876, changed";
        b.setAttributeValue(CKA_VALUE, reinterpret_cast<const CK_BYTE*>(value.data()),
                            value.size());
        setLabel(b, "w");
        b.commitChanges(call->get());
    }
    {
        auto call = fromCard(1);
        P11DataObject b((*call)->findDataObject(id128(secret)));
        EXPECT_EQ(valueOf(b, CKA_VALUE), text("9876, changed"));
        EXPECT_EQ(valueOf(b, CKA_LABEL), text("w"));
        b.destroyObjectFromCard(call->get());
    }
    EXPECT_EQ(card->objectCount(vcard::Chain::DATA_OBJECTS), 2u);
}

// Importing the second half of a pair completes it into a container.
// Private first with a signing-only key gives a signature container; a pair
// that began with its public half has no signing flag: key exchange.
class KeyCompletion : public P11ObjectsTest, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(PrivateHalfFirstOrNot, KeyCompletion, ::testing::Bool());

TEST_P(KeyCompletion, ContainerMapFollowsImportUseAndRemovalOfTheHalves) {
    const bool privateFirst = GetParam();
    const Bytes id = {0x5E, privateFirst};
    importHalf(privateFirst, keys[0], id, true);
    EXPECT_TRUE(cmapfile().empty());  // a lone half belongs to no container
    EXPECT_EQ(cardcfCounter(2), 0);

    importHalf(!privateFirst, keys[0], id, true);
    const Bytes map = cmapfile();
    ASSERT_EQ(map.size(), 86u);
    const ContainerRecord record = recordAt(map, 0);
    EXPECT_EQ(record.name, containerName(id));
    EXPECT_EQ(record.flags, 1);
    EXPECT_EQ(record.reserved, 0);
    EXPECT_EQ(record.signatureBits, privateFirst ? 1024 : 0);
    EXPECT_EQ(record.exchangeBits, privateFirst ? 0 : 1024);
    // Prepared and committed: each raised both cardcf counters and the file counter.
    EXPECT_EQ(cardcfCounter(2), 2);
    EXPECT_EQ(cardcfCounter(4), 2);
    EXPECT_EQ(cardCounter(amw::CachedToken::CACHED_OBJECT_FILE), 2);
    {
        auto call = fromCard();
        amw::KeyPair* pair = (*call)->findKeyPair(id128(id));
        EXPECT_EQ(pair->containerIndex, 0);
        EXPECT_EQ(pair->keySpec, privateFirst ? 0u : 1u);
        P11RsaPrivateKey privateKey(pair);
        EXPECT_EQ(valueOf(privateKey, CKA_MODULUS), testcerts::rsaComponents(keys[0]).n);
        EXPECT_EQ(valueOf(privateKey, CKA_SIGN), Bytes{1});
    }
    expectCardSignatureVerifies(keys[0], id);
    {
        auto call = cached();
        P11RsaPrivateKey privateKey((*call)->findKeyPair(id128(id)));
        setLabel(privateKey, "renamed");
        privateKey.commitChanges(call->get());
    }
    {
        auto call = fromCard();
        amw::KeyPair* pair = (*call)->findKeyPair(id128(id));
        EXPECT_EQ(valueOf(*std::make_unique<P11RsaPrivateKey>(pair), CKA_LABEL), text("renamed"));
        EXPECT_EQ(valueOf(*std::make_unique<P11RsaPublicKey>(pair), CKA_LABEL), text("public"));
    }

    // The half imported last goes first: the record is cleared, the other half stays.
    destroyHalf(!privateFirst, id);
    EXPECT_EQ(cmapfile(), Bytes(86, 0));
    EXPECT_EQ(cardcfCounter(2), 3);
    {
        auto call = fromCard();
        amw::KeyPair* pair = (*call)->findKeyPair(id128(id));
        ASSERT_NE(pair, nullptr);
        EXPECT_EQ(pair->hasPrivateKey, privateFirst);
        EXPECT_EQ(pair->hasPublicKey, !privateFirst);
    }
    if (privateFirst)
        expectCardSignatureVerifies(keys[0], id);
    destroyHalf(privateFirst, id);
    EXPECT_EQ(card->objectCount(vcard::Chain::KEY_PAIRS), 0u);
    EXPECT_EQ(cardcfCounter(2), 3);
}

// OpenSSL clients send CRT values without their leading zeros; a key whose
// first CRT exponent is a byte short still completes its pair.
TEST_F(P11ObjectsTest, CrtValuesWithoutLeadingZerosCompleteAPair) {
    const testcerts::KeyPtr key =
        testcerts::loadKey(BRISANE_TEST_DATA "/rsa1024-short-exponent1.pem");
    ASSERT_LT(testcerts::rsaComponents(key.get()).dp.size(), 64u);
    const Bytes id = {0x5F};
    importHalf(false, key.get(), id);
    {
        auto call = cached();
        const Template t = privateTemplate(key.get(), id, false, false);
        EXPECT_EQ(bytesOf(P11RsaPrivateKey::createObject(call->get(), t.data(), t.count())), id);
    }
    EXPECT_EQ(cmapfile().size(), 86u);
    expectCardSignatureVerifies(key.get(), id);
}

TEST_F(P11ObjectsTest, CertificatesTakeTheirKeysContainerAndKeepTheirRecordTaken) {
    const Bytes a = {0xA}, b = {0xB}, c = {0xC};
    auto completePair = [&](EVP_PKEY* key, const Bytes& id) {
        importHalf(true, key, id, true);
        importHalf(false, key, id);
    };
    completePair(keys[0], a);
    completePair(keys[1], b);
    EXPECT_EQ(recordAt(cmapfile(), 1).name, containerName(b));
    auto containerOf = [&](const Bytes& id) {
        createCertificate(id, text("not parsed here"));
        auto call = fromCard();
        amw::X509Certificate* created = (*call)->findCertificate(id128(id));
        return std::make_pair(int(created->containerIndex), created->keySpec);
    };
    EXPECT_EQ(containerOf(a), std::make_pair(0, 0u));

    // Record 0 is freed by its key, but the certificate still names it.
    destroyHalf(false, a);
    EXPECT_EQ(recordAt(cmapfile(), 0).flags, 0);
    completePair(keys[2], c);
    EXPECT_EQ(cmapfile().size(), 3u * 86);
    EXPECT_EQ(recordAt(cmapfile(), 2).name, containerName(c));
    // No free record for a certificate without a pair: one past the map.
    EXPECT_EQ(containerOf({0xD}), std::make_pair(4, 1u));
}

TEST_F(P11ObjectsTest, RefusalsLeaveTheCardAsItWas) {
    const Bytes id = {0x42}, half(64, 0x11);
    importHalf(true, keys[0], id);
    Template noId, trustedWord, privateWord, longModulus, longPrime, privateAgain, otherSize;
    noId.add(CKA_LABEL, text("x"));
    trustedWord.add(CKA_ID, id).add(CKA_TRUSTED, {1, 0, 0, 0});
    privateWord.add(CKA_LABEL, text("a")).add(CKA_PRIVATE, {1, 0});
    longModulus.add(CKA_ID, id).add(CKA_MODULUS, Bytes(257, 1)).add(CKA_PUBLIC_EXPONENT, {3});
    longPrime.add(CKA_ID, {7}).add(CKA_MODULUS, Bytes(128, 0xC3)).add(CKA_PRIME_1, Bytes(65, 1));
    longPrime.add(CKA_PRIME_2, half).add(CKA_EXPONENT_1, half).add(CKA_EXPONENT_2, half);
    longPrime.add(CKA_COEFFICIENT, half);
    privateAgain = privateTemplate(keys[0], id, false);
    otherSize.add(CKA_ID, id).add(CKA_MODULUS, Bytes(256, 0xC5)).add(CKA_PUBLIC_EXPONENT, {3});
    // A private key for a public half of another size.
    const Bytes publicId = {0x43}, shorter(48, 0x11);
    importHalf(false, keys[1], publicId);
    Template otherSizePrivate;
    otherSizePrivate.add(CKA_ID, publicId).add(CKA_MODULUS, Bytes(96, 0xC7));
    for (CK_ATTRIBUTE_TYPE type :
         {CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1, CKA_EXPONENT_2, CKA_COEFFICIENT})
        otherSizePrivate.add(type, shorter);
    using Create = StaticBuffer<128> (*)(Token, const CK_ATTRIBUTE*, CK_ULONG);
    const struct {
        Create create;
        const Template* attributes;
        std::string expected;
    } cases[] = {
        {P11X509Certificate::createObject, &noId,
         "Template is incomplete. Missing attribute type [type=0x102]"},
        {P11X509Certificate::createObject, &trustedWord,
         "Size of attribute value is too big [type=134, actual=4, maximum=1]"},
        {P11DataObject::createObject, &privateWord,
         "Size of attribute value is too big [type=2, actual=2, maximum=1]"},
        {P11RsaPublicKey::createObject, &longModulus,
         "Size of attribute value is too big [type=288, actual=257, maximum=256]"},
        {P11RsaPrivateKey::createObject, &longPrime, "Invalid value of attribute [type=0x124]"},
        {P11RsaPrivateKey::createObject, &privateAgain,
         "Template is inconsistent. Multiple occurence of attribute [type=258]"},
        {P11RsaPublicKey::createObject, &otherSize,
         "Template is inconsistent. Multiple occurence of attribute [type=288]"},
        {P11RsaPrivateKey::createObject, &otherSizePrivate,
         "Template is inconsistent. Multiple occurence of attribute [type=288]"},
    };
    const Bytes image = card->serialize();
    for (const auto& c : cases) {
        auto call = fromCard(1);
        EXPECT_EQ(
            failure([&] { c.create(call->get(), c.attributes->data(), c.attributes->count()); }),
            c.expected);
    }
    EXPECT_EQ(card->serialize(), image);
}

TEST_F(P11ObjectsTest, MissingOrDamagedContainerFilesAreRefused) {
    // Completes a pair whose private half is on the card; returns the
    // failure, having checked that the card did not change.
    auto completePair = [&](const Bytes& id) {
        importHalf(true, keys[0], id);
        const Bytes image = card->serialize();
        auto call = fromCard(1);
        const Template t = publicTemplate(keys[0], id);
        const std::string failed =
            failure([&] { P11RsaPublicKey::createObject(call->get(), t.data(), t.count()); });
        EXPECT_EQ(card->serialize(), image);
        return failed;
    };
    auto certificate = [&] { return failure([&] { createCertificate({0xC}, text("c")); }); };
    vcard::PersonalisationOptions noFiles;
    noFiles.containerFiles = false;
    insert(noFiles);
    const std::string noDirectory =
        "Null pointer exception <dir> [amw::CachedToken::findFile() libamw/src/cachedtoken:628]";
    EXPECT_EQ(completePair({1}), noDirectory);
    EXPECT_EQ(certificate(), noDirectory);

    // The files changed by the SO on a fresh card: cmapfile removed, cardcf too short.
    auto changeFile = [&](const char* directory, const char* name,
                          const std::function<void(amw::Token*, amw::File*)>& change) {
        insert({});
        auto call = fromCard(2);
        (*call)->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_FILE, true);
        change(
            (*call)->getToken(),
            (*call)->findFile((*call)->findDirectory(cardFileName(directory)), cardFileName(name)));
    };
    changeFile("mscp", "cmapfile", [](amw::Token* t, amw::File* f) { t->deleteFile(f); });
    EXPECT_EQ(completePair({2}), "INTERNAL ERROR file mscp/cmapfile not found on the card");
    changeFile("", "cardcf", [](amw::Token*, amw::File* f) {
        f->setContent(reinterpret_cast<const std::uint8_t*>("12345"), 5);
        f->commitContentChanges();
    });
    EXPECT_EQ(completePair({3}),
              "INTERNAL ERROR prepareContainerInCmapfile(): cardcf file damaged (has less than 6 "
              "bytes)");
}

TEST_F(P11ObjectsTest, ApdusPerCreateAndDestroyColdAndWarm) {
    const testcerts::Certificate der = testcerts::makeCertificate(keys[0]);
    Template certificate, data;
    certificate.add(CKA_ID, {0xCE}).add(CKA_VALUE, der.der).add(CKA_LABEL, text("certificate"));
    data.add(CKA_VALUE, Bytes(300, 0xDA)).add(CKA_LABEL, text("data"));
    const Bytes keyId = {0x4B};
    const Template privateKey = privateTemplate(keys[0], keyId, true);
    const Template publicKey = publicTemplate(keys[0], keyId);
    auto create = [](StaticBuffer<128> (*f)(Token, const CK_ATTRIBUTE*, CK_ULONG),
                     const Template& t) {
        return [f, &t](Token token) { return bytesOf(f(token, t.data(), t.count())); };
    };
    const struct {
        const char* name;
        std::function<void(Token)> before;  // not counted
        std::function<Bytes(Token)> create;
        std::function<void(Token, const Bytes&)> destroy;
    } kinds[] = {
        {"certificate", [](Token) {}, create(P11X509Certificate::createObject, certificate),
         [](Token t, const Bytes& id) {
             P11X509Certificate(t->findCertificate(id128(id))).destroyObjectFromCard(t);
         }},
        {"data object", [](Token) {}, create(P11DataObject::createObject, data),
         [](Token t, const Bytes& id) {
             P11DataObject(t->findDataObject(id128(id))).destroyObjectFromCard(t);
         }},
        {"private key, new pair (destroy: the pair)", [](Token) {},
         create(P11RsaPrivateKey::createObject, privateKey),
         [](Token t, const Bytes& id) {
             P11RsaPrivateKey(t->findKeyPair(id128(id))).destroyObjectFromCard(t);
         }},
        {"public key completing a pair (destroy: that half)",
         [&](Token t) { P11RsaPrivateKey::createObject(t, privateKey.data(), privateKey.count()); },
         create(P11RsaPublicKey::createObject, publicKey),
         [](Token t, const Bytes& id) {
             P11RsaPublicKey(t->findKeyPair(id128(id))).destroyObjectFromCard(t);
         }},
    };
    int run = 0;
    for (const auto& kind : kinds) {
        std::size_t created[2] = {}, destroyed[2] = {};
        for (int warm = 0; warm < 2; ++warm) {
            insert({});
            // Cold: no cache, every list from the card. Warm: an earlier call
            // has put every list into the cache. Login and cache writes are not counted.
            const std::string directory = warm ? cache.file(std::to_string(++run)) : "";
            {
                TokenCall call(*connection, 1, directory);
                call->getKeyPairs();
                call->getCertificates();
                call->getDataObjects();
                call->getFiles();
                call->getDirectories();
                kind.before(call.get());
            }
            Bytes id;
            {
                TokenCall call(*connection, 1, directory);
                clearTrace();
                id = kind.create(call.get());
                created[warm] = apdus();
            }
            TokenCall call(*connection, 1, directory);
            clearTrace();
            kind.destroy(call.get(), id);
            destroyed[warm] = apdus();
        }
        EXPECT_LT(created[1], created[0]) << kind.name;
        EXPECT_LT(destroyed[1], destroyed[0]) << kind.name;
        std::printf(
            "[ MEASURED ] %s: create cold %zu, warm %zu APDUs; destroy cold %zu, warm "
            "%zu APDUs\n",
            kind.name, created[0], created[1], destroyed[0], destroyed[1]);
    }
}

}  // namespace
