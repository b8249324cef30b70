// The PKCS#11 object classes over a virtual card in the in-process PC/SC
// service, through a caching token made per call as the front end makes it:
// objects created, read back through a later call, changed and destroyed;
// keys imported, completed, used and removed with the container map files
// checked on the card image; refusals that leave the card untouched; and
// the APDUs each change costs.
#include "amw/cachedtoken.h"
#include "ctl/lockablepcsccardconnection.h"
#include "ctl/pcscreader.h"
#include "exceptions.h"
#include "internal/cmapfile.h"
#include "internal/p11objects/p11DataObject.h"
#include "internal/p11objects/p11RsaPrivateKey.h"
#include "internal/p11objects/p11RsaPublicKey.h"
#include "internal/p11objects/p11X509Certificate.h"
#include "p11values.h"
#include "tempdir.h"
#include "testcerts.h"
#include "testpcsc/service.h"
#include "vcard/kalvikcard.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace {

using p11values::text;
using p11values::valueOf;

using testcerts::Bytes;

constexpr const char* READER = "Objects Reader 0";
const std::string USER_PIN = "123456";

template <std::size_t N>
Bytes bytesOf(const StaticBuffer<N>& b) {
    return Bytes(b.begin(), b.end());
}

template <std::size_t N>
StaticBuffer<N> buffer(const Bytes& b) {
    return StaticBuffer<N>(b.data(), b.size());
}

// A creation template whose values live as long as it does.
class Template {
public:
    Template& add(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
        values_.push_back(value);
        attributes_.push_back({type, values_.back().data(), values_.back().size()});
        return *this;
    }
    Template& flag(CK_ATTRIBUTE_TYPE type, bool value) {
        return add(type, Bytes{static_cast<std::uint8_t>(value ? CK_TRUE : CK_FALSE)});
    }
    Template& number(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
        Bytes b(sizeof value);
        std::memcpy(b.data(), &value, sizeof value);
        return add(type, b);
    }
    const CK_ATTRIBUTE* data() const { return attributes_.data(); }
    CK_ULONG count() const { return attributes_.size(); }

private:
    std::list<Bytes> values_;
    std::vector<CK_ATTRIBUTE> attributes_;
};

std::string failure(const std::function<void()>& call) {
    try {
        call();
    } catch (const QVException& e) {
        return e.what();
    }
    return "";
}

// The container record as other card software reads it.
struct ContainerRecord {
    std::u16string name;
    std::uint8_t flags = 0, reserved = 0;
    std::uint16_t signatureBits = 0, exchangeBits = 0;
};

ContainerRecord recordAt(const Bytes& map, std::size_t index) {
    const std::uint8_t* r = map.data() + index * 86;
    ContainerRecord record;
    for (std::size_t i = 0; i < 40 && (r[2 * i] | r[2 * i + 1]); ++i)
        record.name.push_back(static_cast<char16_t>(r[2 * i] | (r[2 * i + 1] << 8)));
    record.flags = r[80];
    record.reserved = r[81];
    record.signatureBits = static_cast<std::uint16_t>(r[82] | (r[83] << 8));
    record.exchangeBits = static_cast<std::uint16_t>(r[84] | (r[85] << 8));
    return record;
}

// 20 lowercase hex digits of SHA-256 of the identifier, one UTF-16 unit each.
std::u16string containerName(const Bytes& id) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(id.data(), id.size(), digest);
    const std::string hex = hexText(digest, 10);
    return std::u16string(hex.begin(), hex.end());
}

std::uint16_t cardcfCounter(const Bytes& cardcf, std::size_t offset) {
    return static_cast<std::uint16_t>(cardcf[offset] | (cardcf[offset + 1] << 8));
}

class P11ObjectsTest : public ::testing::Test {
protected:
    void SetUp() override { insert(vcard::PersonalisationOptions()); }
    void TearDown() override { connection.reset(); }

    void insert(const vcard::PersonalisationOptions& options) {
        service->addReader(READER);
        card = std::make_shared<vcard::KalvikCard>(options);
        service->insertCard(READER, card);
        connection.reset(new ctl::LockablePcScCardConnection(
            ctl::PcScReader(READER), ctl::CardConnection::MODE_SHARED,
            ctl::CardConnection::PROTOCOL_T0_OR_T1));
    }

    // One front-end call: the connection locked, a card token and a caching
    // token made, optionally the user logged in; refreshCache at the end.
    class Call {
    public:
        Call(P11ObjectsTest& test, bool login, const std::string& cacheDirectory)
            : connection_(*test.connection) {
            connection_.lock();
            token_.reset(amw::Token::createToken(&connection_, 0, true));
            amw::CardId cardId;
            token_->getCardId(cardId);
            cached_.reset(new amw::CachedToken(token_.get(), cardId, cacheDirectory));
            if (login) {
                amw::AuthenticationObject* user = cached_->findAuthenticationObject(1);
                std::uint32_t tries = 0;
                if (user == nullptr ||
                    cached_->authenticate(
                        user, reinterpret_cast<const std::uint8_t*>(USER_PIN.data()),
                        USER_PIN.size(), &tries, nullptr) != amw::AUTHENTICATION_SUCCESS)
                    throw std::runtime_error("login failed");
            }
        }
        ~Call() {
            cached_->refreshCache();
            cached_.reset();
            token_.reset();
            connection_.unlock(ctl::CardConnection::LEAVE_CARD);
        }
        amw::CachedToken* operator->() const { return cached_.get(); }
        amw::CachedToken* get() const { return cached_.get(); }

    private:
        ctl::LockablePcScCardConnection& connection_;
        std::unique_ptr<amw::Token> token_;
        std::unique_ptr<amw::CachedToken> cached_;
    };

    // A call as a later process makes it, reading everything from the card.
    std::unique_ptr<Call> fromCard(bool login = false) {
        return std::make_unique<Call>(*this, login, "");
    }
    std::unique_ptr<Call> cached(bool login = true) {
        return std::make_unique<Call>(*this, login, cache.path());
    }

    Bytes cmapfile() const { return card->fileContent("mscp/cmapfile").value_or(Bytes()); }
    Bytes cardcf() const { return card->fileContent("/cardcf").value_or(Bytes()); }
    // Counter n of the freshness block on the card.
    std::uint16_t cardCounter(int n) const {
        const auto block = card->freshness();
        std::uint16_t value;
        std::memcpy(&value, block.data() + 2 * (n - 1), sizeof value);
        return value;
    }
    std::size_t apdus() const { return service->trace(READER).size(); }
    void clearTrace() { service->clearTrace(READER); }

    testpcsc::ScopedService service;
    TempDir cache;
    std::shared_ptr<vcard::KalvikCard> card;
    std::unique_ptr<ctl::LockablePcScCardConnection> connection;
};

// --- certificates ---------------------------------------------------------------

class Certificates : public P11ObjectsTest {
protected:
    static void SetUpTestSuite() { key = testcerts::rsaKey(1024).release(); }
    static void TearDownTestSuite() { EVP_PKEY_free(key); }
    static EVP_PKEY* key;
};
EVP_PKEY* Certificates::key = nullptr;

TEST_F(Certificates, CreateReadBackRelabelAndDestroy) {
    const testcerts::Certificate der = testcerts::makeCertificate(key);
    const Bytes id = {0x01, 0xAB};
    {
        auto call = cached();
        Template t;
        t.number(CKA_CLASS, CKO_CERTIFICATE).add(CKA_ID, id).add(CKA_VALUE, der.der);
        t.number(CKA_CERTIFICATE_TYPE, CKC_X_509).add(CKA_SUBJECT, der.subject);
        EXPECT_EQ(bytesOf(P11X509Certificate::createObject(call->get(), t.data(), t.count())), id);
    }
    {
        auto call = fromCard();
        amw::X509Certificate* token = (*call)->findCertificate(buffer<128>(id));
        ASSERT_NE(token, nullptr);
        P11X509Certificate certificate(token);
        EXPECT_EQ(valueOf(certificate, CKA_LABEL), text("01ab"));
        EXPECT_EQ(valueOf(certificate, CKA_VALUE), der.der);
        EXPECT_EQ(valueOf(certificate, CKA_SERIAL_NUMBER), der.serial);
        EXPECT_EQ(valueOf(certificate, CKA_ISSUER), der.issuer);
        EXPECT_EQ(valueOf(certificate, CKA_SUBJECT), der.subject);
        EXPECT_EQ(valueOf(certificate, CKA_TRUSTED), Bytes{0});
        // No key pair and an empty container map: one past the map.
        EXPECT_EQ(token->containerIndex, 1);
        EXPECT_EQ(token->keySpec, amw::KeyPair::KEY_EXCHANGE_KEY);

        const std::string label = "Signing certificate";
        certificate.setAttributeValue(CKA_LABEL, reinterpret_cast<const CK_BYTE*>(label.data()),
                                      label.size());
    }
    // Nothing was committed: the card keeps the old label.
    {
        auto call = cached();
        P11X509Certificate certificate((*call)->findCertificate(buffer<128>(id)));
        EXPECT_EQ(valueOf(certificate, CKA_LABEL), text("01ab"));
        const std::string label = "Signing certificate";
        certificate.setAttributeValue(CKA_LABEL, reinterpret_cast<const CK_BYTE*>(label.data()),
                                      label.size());
        certificate.commitChanges(call->get());
    }
    const Bytes mapBefore = cmapfile();
    {
        auto call = fromCard();
        P11X509Certificate certificate((*call)->findCertificate(buffer<128>(id)));
        EXPECT_EQ(valueOf(certificate, CKA_LABEL), text("Signing certificate"));
        EXPECT_EQ(valueOf(certificate, CKA_VALUE), der.der);
    }
    {
        auto call = cached();
        P11X509Certificate certificate((*call)->findCertificate(buffer<128>(id)));
        certificate.destroyObjectFromCard(call->get());
    }
    EXPECT_EQ(card->objectCount(vcard::Chain::Certificates), 0u);
    EXPECT_EQ(cmapfile(), mapBefore);
    auto call = fromCard();
    EXPECT_EQ((*call)->findCertificate(buffer<128>(id)), nullptr);
}

TEST_F(Certificates, Version1AndTheLargestBodyTheCardHolds) {
    const testcerts::Certificate v1 = testcerts::makeCertificate(key, {false, 0, 0});
    const testcerts::Certificate large = testcerts::makeCertificate(key, {true, 60000, 65535});
    {
        auto call = cached();
        Template a, b;
        a.add(CKA_ID, {1}).add(CKA_VALUE, v1.der).flag(CKA_TRUSTED, true);
        b.add(CKA_ID, {2}).add(CKA_VALUE, large.der).add(CKA_LABEL, text("large"));
        P11X509Certificate::createObject(call->get(), a.data(), a.count());
        P11X509Certificate::createObject(call->get(), b.data(), b.count());
    }
    // Read cold from the card, then warm from the cache written by the first read.
    for (const char* pass : {"cold", "warm"}) {
        SCOPED_TRACE(pass);
        auto call = cached(false);
        clearTrace();
        P11X509Certificate old((*call)->findCertificate(buffer<128>(Bytes{1})));
        EXPECT_EQ(valueOf(old, CKA_VALUE), v1.der);
        EXPECT_EQ(valueOf(old, CKA_TRUSTED), Bytes{1});
        CK_ULONG length = 0;
        EXPECT_EQ(failure([&] { old.getAttributeValue(CKA_SUBJECT, nullptr, &length); }),
                  "Invalid attribute type [type=257, CKA_SUBJECT]");
        EXPECT_EQ(length, CK_UNAVAILABLE_INFORMATION);

        P11X509Certificate big((*call)->findCertificate(buffer<128>(Bytes{2})));
        EXPECT_EQ(valueOf(big, CKA_VALUE), large.der);
        EXPECT_EQ(valueOf(big, CKA_SUBJECT), large.subject);
        if (std::string(pass) == "warm") {
            EXPECT_EQ(apdus(), 0u) << "bodies come from the cache file";
        }
    }
}

TEST_F(Certificates, AValueTheCardCannotStoreTakesTheCertificateAwayAgain) {
    const Bytes value(65536, 0x30);
    const std::uint16_t before = cardCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE);
    {
        auto call = cached();
        Template t;
        t.add(CKA_ID, {7}).add(CKA_VALUE, value);
        // The template allows 65536 bytes; the card keeps 16-bit content sizes.
        EXPECT_EQ(
            failure([&] { P11X509Certificate::createObject(call->get(), t.data(), t.count()); })
                .rfind("Invalid argument range exception <contentSize> [65536] not inside "
                       "<0,65535>",
                       0),
            0u);
        EXPECT_EQ((*call)->findCertificate(buffer<128>(Bytes{7})), nullptr);
    }
    EXPECT_EQ(card->objectCount(vcard::Chain::Certificates), 0u);
    // Raised for the creation and again for the removal.
    EXPECT_EQ(cardCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE), before + 2);
}

// --- keys -----------------------------------------------------------------------

// Big-endian, left-padded with zeros to `length`.
Bytes padded(const Bytes& value, std::size_t length) {
    Bytes b(length - std::min(length, value.size()), 0);
    b.insert(b.end(), value.begin(), value.end());
    return b;
}

class Keys : public P11ObjectsTest {
protected:
    static void SetUpTestSuite() {
        for (EVP_PKEY*& key : keys)
            key = testcerts::rsaKey(1024).release();
    }
    static void TearDownTestSuite() {
        for (EVP_PKEY*& key : keys)
            EVP_PKEY_free(key);
    }

    static Template privateTemplate(const EVP_PKEY* key, const Bytes& id, bool signOnly) {
        const testcerts::RsaComponents c = testcerts::rsaComponents(key);
        const std::size_t half = c.n.size() / 2;
        Template t;
        t.number(CKA_CLASS, CKO_PRIVATE_KEY).number(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, id);
        t.add(CKA_LABEL, text("private")).flag(CKA_SIGN, true).flag(CKA_DECRYPT, !signOnly);
        t.add(CKA_MODULUS, c.n).add(CKA_PUBLIC_EXPONENT, c.e);
        t.add(CKA_PRIME_1, padded(c.p, half)).add(CKA_PRIME_2, padded(c.q, half));
        t.add(CKA_EXPONENT_1, padded(c.dp, half)).add(CKA_EXPONENT_2, padded(c.dq, half));
        t.add(CKA_COEFFICIENT, padded(c.inv, half));
        return t;
    }
    static Template publicTemplate(const EVP_PKEY* key, const Bytes& id) {
        const testcerts::RsaComponents c = testcerts::rsaComponents(key);
        Template t;
        t.number(CKA_CLASS, CKO_PUBLIC_KEY).add(CKA_ID, id).add(CKA_LABEL, text("public"));
        t.flag(CKA_VERIFY, true).flag(CKA_ENCRYPT, true);
        t.add(CKA_MODULUS, c.n).add(CKA_PUBLIC_EXPONENT, c.e);
        return t;
    }

    void importPrivate(const EVP_PKEY* key, const Bytes& id, bool signOnly = false) {
        auto call = cached();
        const Template t = privateTemplate(key, id, signOnly);
        EXPECT_EQ(bytesOf(P11RsaPrivateKey::createObject(call->get(), t.data(), t.count())), id);
    }
    void importPublic(const EVP_PKEY* key, const Bytes& id) {
        auto call = cached();
        const Template t = publicTemplate(key, id);
        EXPECT_EQ(bytesOf(P11RsaPublicKey::createObject(call->get(), t.data(), t.count())), id);
    }
    template <class Half>
    void destroy(const Bytes& id) {
        auto call = cached();
        Half half((*call)->findKeyPair(buffer<128>(id)));
        half.destroyObjectFromCard(call->get());
    }

    // A SHA-256 PKCS#1 v1.5 signature made by the card with the pair,
    // checked by OpenSSL with `key`.
    void expectCardSignatureVerifies(const EVP_PKEY* key, const Bytes& id) {
        static const Bytes digestInfo = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                         0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
        const Bytes message = text("signed on the virtual card");
        unsigned char digest[SHA256_DIGEST_LENGTH];
        SHA256(message.data(), message.size(), digest);
        Bytes block(128, 0xFF);
        block[0] = 0x00;
        block[1] = 0x01;
        const std::size_t at = 128 - digestInfo.size() - SHA256_DIGEST_LENGTH;
        block[at - 1] = 0x00;
        std::copy(digestInfo.begin(), digestInfo.end(), block.begin() + at);
        std::copy(digest, digest + SHA256_DIGEST_LENGTH, block.begin() + at + digestInfo.size());

        StaticBuffer<256> signature;
        {
            auto call = cached();
            P11RsaPrivateKey privateKey((*call)->findKeyPair(buffer<128>(id)));
            (*call)->rsaExponentiation(privateKey.getKeyPair(), block.data(), block.size(),
                                       &signature, true);
        }
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, const_cast<EVP_PKEY*>(key));
        EXPECT_EQ(
            EVP_DigestVerify(md, signature.data, signature.size(), message.data(), message.size()),
            1);
        EVP_MD_CTX_free(md);
    }

    static EVP_PKEY* keys[3];
};
EVP_PKEY* Keys::keys[3] = {};

class KeyCompletion : public Keys, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(SigningOnlyOrNot, KeyCompletion, ::testing::Bool());

TEST_P(KeyCompletion, PrivateThenPublicMakesAContainerThatGoesWithThePublicHalf) {
    const bool signOnly = GetParam();
    {
        const Bytes id = {0x5E, static_cast<std::uint8_t>(signOnly)};
        const Bytes emptyCardcf = cardcf();
        ASSERT_EQ(emptyCardcf, Bytes(6, 0));

        importPrivate(keys[0], id, signOnly);
        // A lone private key belongs to no container.
        EXPECT_TRUE(cmapfile().empty());
        EXPECT_EQ(cardcf(), emptyCardcf);
        {
            auto call = fromCard();
            amw::KeyPair* pair = (*call)->findKeyPair(buffer<128>(id));
            ASSERT_NE(pair, nullptr);
            EXPECT_FALSE(pair->hasPublicKey);
            P11RsaPrivateKey privateKey(pair);
            EXPECT_EQ(valueOf(privateKey, CKA_SIGN), Bytes{1});
            EXPECT_EQ(valueOf(privateKey, CKA_LABEL), text("private"));
            CK_ULONG length = 0;
            EXPECT_EQ(failure([&] { privateKey.getAttributeValue(CKA_MODULUS, nullptr, &length); }),
                      "Invalid attribute type [type=288, CKA_MODULUS]");
        }

        importPublic(keys[0], id);
        const Bytes map = cmapfile();
        ASSERT_EQ(map.size(), 86u);
        const ContainerRecord record = recordAt(map, 0);
        EXPECT_EQ(record.name, containerName(id));
        EXPECT_EQ(record.flags, 1);
        EXPECT_EQ(record.reserved, 0);
        EXPECT_EQ(record.signatureBits, signOnly ? 1024 : 0);
        EXPECT_EQ(record.exchangeBits, signOnly ? 0 : 1024);
        // Prepared and committed: each raises both counters once.
        EXPECT_EQ(cardcfCounter(cardcf(), 2), 2);
        EXPECT_EQ(cardcfCounter(cardcf(), 4), 2);
        EXPECT_EQ(cardCounter(amw::CachedToken::CACHED_OBJECT_FILE), 2);
        {
            auto call = fromCard();
            amw::KeyPair* pair = (*call)->findKeyPair(buffer<128>(id));
            EXPECT_EQ(pair->containerIndex, 0);
            EXPECT_EQ(pair->keySpec,
                      signOnly ? amw::KeyPair::SIGNATURE_KEY : amw::KeyPair::KEY_EXCHANGE_KEY);
            P11RsaPrivateKey privateKey(pair);
            P11RsaPublicKey publicKey(pair);
            EXPECT_EQ(valueOf(privateKey, CKA_MODULUS), testcerts::rsaParam(keys[0], "n"));
            EXPECT_EQ(valueOf(publicKey, CKA_LABEL), text("public"));
            EXPECT_EQ(valueOf(publicKey, CKA_VERIFY), Bytes{1});
            EXPECT_EQ(valueOf(privateKey, CKA_DECRYPT), Bytes(1, signOnly ? 0 : 1));
        }
        expectCardSignatureVerifies(keys[0], id);

        destroy<P11RsaPublicKey>(id);
        EXPECT_EQ(cmapfile(), Bytes(86, 0));
        EXPECT_EQ(cardcfCounter(cardcf(), 2), 3);
        {
            auto call = fromCard();
            amw::KeyPair* pair = (*call)->findKeyPair(buffer<128>(id));
            ASSERT_NE(pair, nullptr);
            EXPECT_TRUE(pair->hasPrivateKey);
            EXPECT_FALSE(pair->hasPublicKey);
        }
        expectCardSignatureVerifies(keys[0], id);

        destroy<P11RsaPrivateKey>(id);
        EXPECT_EQ(card->objectCount(vcard::Chain::KeyPairs), 0u);
        EXPECT_EQ(cmapfile(), Bytes(86, 0));
        EXPECT_EQ(cardcfCounter(cardcf(), 2), 3);
    }
}

TEST_F(Keys, PublicThenPrivateAndTheLabelsOfEachHalf) {
    const Bytes id = {0x77};
    importPublic(keys[1], id);
    EXPECT_TRUE(cmapfile().empty());
    importPrivate(keys[1], id, true);
    // The pair's usage before completion held only public flags: key exchange.
    EXPECT_EQ(recordAt(cmapfile(), 0).exchangeBits, 1024);
    expectCardSignatureVerifies(keys[1], id);
    {
        auto call = cached();
        amw::KeyPair* pair = (*call)->findKeyPair(buffer<128>(id));
        P11RsaPrivateKey privateKey(pair);
        const std::string label = "renamed";
        privateKey.setAttributeValue(CKA_LABEL, reinterpret_cast<const CK_BYTE*>(label.data()),
                                     label.size());
        privateKey.commitChanges(call->get());
    }
    {
        auto call = fromCard();
        amw::KeyPair* pair = (*call)->findKeyPair(buffer<128>(id));
        EXPECT_EQ(valueOf(*std::make_unique<P11RsaPrivateKey>(pair), CKA_LABEL), text("renamed"));
        EXPECT_EQ(valueOf(*std::make_unique<P11RsaPublicKey>(pair), CKA_LABEL), text("public"));
    }
    destroy<P11RsaPrivateKey>(id);
    EXPECT_EQ(cmapfile(), Bytes(86, 0));
    {
        auto call = fromCard();
        EXPECT_FALSE((*call)->findKeyPair(buffer<128>(id))->hasPrivateKey);
    }
    destroy<P11RsaPublicKey>(id);
    EXPECT_EQ(card->objectCount(vcard::Chain::KeyPairs), 0u);
}

TEST_F(Keys, CertificatesTakeTheirKeysContainerAndKeepRecordsTaken) {
    const Bytes a = {0xA}, b = {0xB}, c = {0xC};
    importPrivate(keys[0], a, true);
    importPublic(keys[0], a);
    importPublic(keys[1], b);
    importPrivate(keys[1], b);
    EXPECT_EQ(recordAt(cmapfile(), 1).name, containerName(b));

    auto certificate = [&](const Bytes& id) {
        auto call = cached();
        Template t;
        t.add(CKA_ID, id).add(CKA_VALUE, text("not parsed here"));
        P11X509Certificate::createObject(call->get(), t.data(), t.count());
        amw::X509Certificate* created = (*call)->findCertificate(buffer<128>(id));
        return std::make_pair(created->containerIndex, created->keySpec);
    };
    EXPECT_EQ(certificate(a), std::make_pair(std::uint8_t{0}, std::uint32_t{0}));

    // Record 0 is freed by its key, but the certificate still names it.
    destroy<P11RsaPublicKey>(a);
    EXPECT_EQ(recordAt(cmapfile(), 0).flags, 0);
    importPrivate(keys[2], c);
    importPublic(keys[2], c);
    EXPECT_EQ(cmapfile().size(), 3u * 86);
    EXPECT_EQ(recordAt(cmapfile(), 2).name, containerName(c));
    // No free record for a certificate without a key: one past the map.
    EXPECT_EQ(certificate({0xD}), std::make_pair(std::uint8_t{4}, std::uint32_t{1}));
}

// --- data objects -----------------------------------------------------------------

TEST_F(P11ObjectsTest, DataObjectsPublicAndPrivate) {
    Bytes publicId, privateId;
    {
        auto call = cached();
        Template open, secret;
        open.add(CKA_LABEL, text("open")).add(CKA_VALUE, text("everyone reads this"));
        open.add(CKA_ID, {0x99});  // ignored: the token makes identifiers
        secret.flag(CKA_PRIVATE, true).add(CKA_APPLICATION, text("wallet"));
        secret.add(CKA_OBJECT_ID, {0x06, 0x03, 0x2A, 0x03, 0x04}).add(CKA_VALUE, text("pin 1234"));
        publicId = bytesOf(P11DataObject::createObject(call->get(), open.data(), open.count()));
        privateId =
            bytesOf(P11DataObject::createObject(call->get(), secret.data(), secret.count()));
    }
    EXPECT_EQ(publicId.size(), 16u);
    EXPECT_NE(publicId, privateId);
    {
        auto call = fromCard(true);
        P11DataObject open((*call)->findDataObject(buffer<128>(publicId)));
        P11DataObject secret((*call)->findDataObject(buffer<128>(privateId)));
        EXPECT_EQ(valueOf(open, CKA_PRIVATE), Bytes{0});
        EXPECT_EQ(valueOf(open, CKA_VALUE), text("everyone reads this"));
        EXPECT_EQ(valueOf(secret, CKA_PRIVATE), Bytes{1});
        EXPECT_EQ(valueOf(secret, CKA_LABEL), text(hexText(privateId.data(), privateId.size())));
        EXPECT_EQ(valueOf(secret, CKA_APPLICATION), text("wallet"));
        EXPECT_EQ(valueOf(secret, CKA_OBJECT_ID), (Bytes{0x06, 0x03, 0x2A, 0x03, 0x04}));
        EXPECT_EQ(valueOf(secret, CKA_VALUE), text("pin 1234"));

        const std::string value = "pin 9876, changed";
        secret.setAttributeValue(CKA_VALUE, reinterpret_cast<const CK_BYTE*>(value.data()),
                                 value.size());
        secret.setAttributeValue(CKA_LABEL, reinterpret_cast<const CK_BYTE*>("w"), 1);
        secret.commitChanges(call->get());
    }
    {
        auto call = fromCard(true);
        P11DataObject secret((*call)->findDataObject(buffer<128>(privateId)));
        EXPECT_EQ(valueOf(secret, CKA_VALUE), text("pin 9876, changed"));
        EXPECT_EQ(valueOf(secret, CKA_LABEL), text("w"));
        secret.destroyObjectFromCard(call->get());
    }
    EXPECT_EQ(card->objectCount(vcard::Chain::DataObjects), 1u);
    auto call = fromCard();
    EXPECT_EQ((*call)->findDataObject(buffer<128>(privateId)), nullptr);
}

TEST_F(P11ObjectsTest, AnEmptyValueMakesAnObjectWithoutContent) {
    Bytes id;
    {
        auto call = cached();
        Template t;
        t.add(CKA_VALUE, {});
        id = bytesOf(P11DataObject::createObject(call->get(), t.data(), t.count()));
    }
    auto call = fromCard();
    P11DataObject data((*call)->findDataObject(buffer<128>(id)));
    EXPECT_EQ(valueOf(data, CKA_VALUE), Bytes());
    EXPECT_EQ(valueOf(data, CKA_PRIVATE), Bytes{0});
}

// --- refusals -----------------------------------------------------------------------

TEST_F(P11ObjectsTest, RefusedTemplatesLeaveTheCardAsItWas) {
    const Bytes id = {0x01}, modulus(128, 0xC3), half(64, 0x11), tooLong(65, 0x11);
    Template noId, longValue, trustedWord, repeatedLabel, privateWord, longModulus, noExponent,
        longPrime, noCoefficient;
    noId.add(CKA_LABEL, text("x"));
    longValue.add(CKA_ID, id).add(CKA_VALUE, Bytes(65537, 0x30));
    trustedWord.add(CKA_ID, id).add(CKA_TRUSTED, {1, 0, 0, 0});
    repeatedLabel.add(CKA_LABEL, text("a")).add(CKA_LABEL, text("a"));
    privateWord.add(CKA_PRIVATE, {1, 0, 0, 0});
    longModulus.add(CKA_ID, id).add(CKA_MODULUS, Bytes(257, 1)).add(CKA_PUBLIC_EXPONENT, {3});
    noExponent.add(CKA_ID, id).add(CKA_MODULUS, modulus);
    auto privateKey = [&](Template& t, const Bytes& prime1, bool coefficient) {
        t.add(CKA_ID, id).add(CKA_MODULUS, modulus).add(CKA_PRIME_1, prime1);
        t.add(CKA_PRIME_2, half).add(CKA_EXPONENT_1, half).add(CKA_EXPONENT_2, half);
        if (coefficient)
            t.add(CKA_COEFFICIENT, half);
    };
    privateKey(longPrime, tooLong, true);
    privateKey(noCoefficient, half, false);
    using Create = StaticBuffer<128> (*)(amw::CachedToken*, const CK_ATTRIBUTE*, CK_ULONG);
    const struct {
        const char* name;
        Create create;
        const Template* attributes;
        std::string expected;
    } cases[] = {
        {"certificate without CKA_ID", P11X509Certificate::createObject, &noId,
         "Template is incomplete. Missing attribute type [type=0x102]"},
        {"certificate value over 65536", P11X509Certificate::createObject, &longValue,
         "Size of attribute value is too big [type=17, actual=65537, maximum=65536]"},
        {"trusted of 4 bytes", P11X509Certificate::createObject, &trustedWord,
         "Size of attribute value is too big [type=134, actual=4, maximum=1]"},
        {"data object with a repeated label", P11DataObject::createObject, &repeatedLabel,
         "Template is inconsistent. Multiple occurence of attribute [type=3]"},
        {"private of 4 bytes", P11DataObject::createObject, &privateWord,
         "Size of attribute value is too big [type=2, actual=4, maximum=1]"},
        {"modulus of 257 bytes", P11RsaPublicKey::createObject, &longModulus,
         "Size of attribute value is too big [type=288, actual=257, maximum=256]"},
        {"public key without exponent", P11RsaPublicKey::createObject, &noExponent,
         "Template is incomplete. Missing attribute type [type=0x122]"},
        {"prime longer than half the modulus", P11RsaPrivateKey::createObject, &longPrime,
         "Invalid value of attribute [type=0x124]"},
        {"private key without coefficient", P11RsaPrivateKey::createObject, &noCoefficient,
         "Template is incomplete. Missing attribute type [type=0x128]"},
    };
    const Bytes image = card->serialize();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto call = fromCard(true);
        EXPECT_EQ(
            failure([&] { c.create(call->get(), c.attributes->data(), c.attributes->count()); }),
            c.expected);
    }
    EXPECT_EQ(card->serialize(), image);
}

TEST_F(Keys, HalvesThatDoNotFitThePairAreRefusedBeforeTheCardChanges) {
    const Bytes id = {0x42};
    importPrivate(keys[0], id);
    const Bytes image = card->serialize();
    auto call = cached();
    const Template again = privateTemplate(keys[0], id, false);
    EXPECT_EQ(
        failure([&] { P11RsaPrivateKey::createObject(call->get(), again.data(), again.count()); }),
        "Template is inconsistent. Multiple occurence of attribute [type=258]");
    Template otherSize;
    otherSize.add(CKA_ID, id).add(CKA_MODULUS, Bytes(256, 0xC5)).add(CKA_PUBLIC_EXPONENT, {3});
    EXPECT_EQ(failure([&] {
                  P11RsaPublicKey::createObject(call->get(), otherSize.data(), otherSize.count());
              }),
              "Template is inconsistent. Multiple occurence of attribute [type=288]");
    EXPECT_EQ(card->serialize(), image);
}

class MissingContainerFiles : public Keys {
protected:
    // Completes a pair whose private half is on the card; returns the failure.
    std::string completePair(const Bytes& id) {
        importPrivate(keys[0], id);
        image = card->serialize();
        auto call = fromCard(true);
        const Template t = publicTemplate(keys[0], id);
        return failure([&] { P11RsaPublicKey::createObject(call->get(), t.data(), t.count()); });
    }
    std::string createCertificate() {
        auto call = fromCard(true);
        Template t;
        t.add(CKA_ID, {0x0C}).add(CKA_VALUE, text("body"));
        return failure([&] { P11X509Certificate::createObject(call->get(), t.data(), t.count()); });
    }
    // Changes a container file as other software on the card could.
    void withFile(const char* directory, const char* name,
                  const std::function<void(amw::CachedToken&, amw::File&)>& change) {
        auto call = cached();
        // The SO may remove the files.
        amw::AuthenticationObject* so = (*call)->findAuthenticationObject(2);
        std::uint32_t tries = 0;
        ASSERT_EQ((*call)->authenticate(so, reinterpret_cast<const std::uint8_t*>("12345678"), 8,
                                        &tries, nullptr),
                  amw::AUTHENTICATION_SUCCESS);
        amw::File* file =
            (*call)->findFile((*call)->findDirectory(cardFileName(directory)), cardFileName(name));
        ASSERT_NE(file, nullptr);
        (*call)->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_FILE, true);
        change(*call->get(), *file);
    }
    Bytes image;
};

TEST_F(MissingContainerFiles, ACardWithoutMscpIsRefusedInTheLookup) {
    service->reset();
    vcard::PersonalisationOptions options;
    options.containerFiles = false;
    insert(options);
    const std::string noDirectory =
        "Null pointer exception <dir> [amw::CachedToken::findFile() libamw/src/cachedtoken:628]";
    EXPECT_EQ(completePair({0x01}), noDirectory);
    EXPECT_EQ(card->serialize(), image);
    EXPECT_EQ(createCertificate(), noDirectory);
    EXPECT_EQ(card->objectCount(vcard::Chain::Certificates), 0u);
}

TEST_F(MissingContainerFiles, AMissingFileIsRefusedNotUsed) {
    withFile("mscp", "cmapfile",
             [](amw::CachedToken& token, amw::File& file) { token.getToken()->deleteFile(&file); });
    EXPECT_EQ(completePair({0x02}), "INTERNAL ERROR file mscp/cmapfile not found on the card");
    EXPECT_EQ(card->serialize(), image);
    EXPECT_EQ(createCertificate(), "INTERNAL ERROR file mscp/cmapfile not found on the card");
}

TEST_F(MissingContainerFiles, ADamagedCardcfIsRefusedBeforeAnythingIsWritten) {
    withFile("", "cardcf", [](amw::CachedToken&, amw::File& file) {
        const std::uint8_t five[5] = {};
        file.setContent(five, sizeof five);
        file.commitContentChanges();
    });
    EXPECT_EQ(completePair({0x03}),
              "INTERNAL ERROR prepareContainerInCmapfile(): cardcf file damaged (has less than 6 "
              "bytes)");
    EXPECT_EQ(card->serialize(), image);
}

// --- APDUs per change -----------------------------------------------------------

TEST_F(Keys, ApdusPerCreateAndDestroyColdAndWarm) {
    const testcerts::Certificate der = testcerts::makeCertificate(keys[0]);
    Template certificate, data;
    certificate.add(CKA_ID, {0xCE}).add(CKA_VALUE, der.der).add(CKA_LABEL, text("certificate"));
    data.add(CKA_VALUE, Bytes(300, 0xDA)).add(CKA_LABEL, text("data"));
    const Bytes keyId = {0x4B};
    const Template privateKey = privateTemplate(keys[0], keyId, true);
    const Template publicKey = publicTemplate(keys[0], keyId);

    using Token = amw::CachedToken*;
    const struct {
        const char* name;
        std::function<void(Token)> before;  // not counted
        std::function<Bytes(Token)> create;
        std::function<void(Token, const Bytes&)> destroy;
    } kinds[] = {
        {"certificate", [](Token) {},
         [&](Token t) {
             return bytesOf(
                 P11X509Certificate::createObject(t, certificate.data(), certificate.count()));
         },
         [](Token t, const Bytes& id) {
             P11X509Certificate(t->findCertificate(buffer<128>(id))).destroyObjectFromCard(t);
         }},
        {"data object", [](Token) {},
         [&](Token t) {
             return bytesOf(P11DataObject::createObject(t, data.data(), data.count()));
         },
         [](Token t, const Bytes& id) {
             P11DataObject(t->findDataObject(buffer<128>(id))).destroyObjectFromCard(t);
         }},
        {"private key, no pair yet (destroy: the whole pair)", [](Token) {},
         [&](Token t) {
             return bytesOf(
                 P11RsaPrivateKey::createObject(t, privateKey.data(), privateKey.count()));
         },
         [](Token t, const Bytes& id) {
             P11RsaPrivateKey(t->findKeyPair(buffer<128>(id))).destroyObjectFromCard(t);
         }},
        {"public key completing a pair (destroy: that half)",
         [&](Token t) { P11RsaPrivateKey::createObject(t, privateKey.data(), privateKey.count()); },
         [&](Token t) {
             return bytesOf(P11RsaPublicKey::createObject(t, publicKey.data(), publicKey.count()));
         },
         [](Token t, const Bytes& id) {
             P11RsaPublicKey(t->findKeyPair(buffer<128>(id))).destroyObjectFromCard(t);
         }},
    };
    int run = 0;
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        std::size_t created[2] = {}, destroyed[2] = {};
        for (int warm = 0; warm < 2; ++warm) {
            service->reset();
            insert(vcard::PersonalisationOptions());
            // Cold: no cache, every list comes from the card. Warm: a call
            // before has put every list into the cache.
            const std::string directory = warm ? cache.file(std::to_string(++run)) : "";
            {
                Call call(*this, true, directory);
                call->getKeyPairs();
                call->getCertificates();
                call->getDataObjects();
                call->getDirectories();
                call->getFiles();
                kind.before(call.get());
            }
            Bytes id;
            {
                Call call(*this, true, directory);
                clearTrace();
                id = kind.create(call.get());
                created[warm] = apdus();
            }
            {
                Call call(*this, true, directory);
                clearTrace();
                kind.destroy(call.get(), id);
                destroyed[warm] = apdus();
            }
        }
        EXPECT_LT(created[1], created[0]);
        EXPECT_LT(destroyed[1], destroyed[0]);
        std::printf(
            "[ MEASURED ] %s: create cold %zu, warm %zu APDUs; destroy cold %zu, warm "
            "%zu APDUs\n",
            kind.name, created[0], created[1], destroyed[0], destroyed[1]);
    }
}
}  // namespace
