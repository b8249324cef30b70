// The PKCS#11 object classes over token objects held in memory, and the
// container map on byte arrays: attribute copying, the template walker with
// both key parsers, the attribute tables, certificate fields cut from real
// DER, and the container records.
#include "internal/cmapfile.h"
#include "internal/p11objects/p11DataObject.h"
#include "internal/p11objects/p11RsaPrivateKey.h"
#include "internal/p11objects/p11RsaPublicKey.h"
#include "internal/p11objects/p11X509Certificate.h"
#include "p11values.h"
#include "testcerts.h"
#include "testobjects.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using p11values::text;
using p11values::ulongBytes;
using p11values::valueOf;

using amwtest::buf;
using amwtest::Bytes;

// The exception class and message a call ends with, "ok" when it returns.
std::string outcome(const std::function<void()>& call) {
    try {
        call();
        return "ok";
    } catch (const TemplateInconsistentException& e) {
        return std::string("Inconsistent: ") + e.what();
    } catch (const TemplateIncompleteException& e) {
        return std::string("Incomplete: ") + e.what();
    } catch (const AttributValueInvalidException& e) {
        return std::string("ValueInvalid: ") + e.what();
    } catch (const AttributeTypeInvalidException& e) {
        return std::string("TypeInvalid: ") + e.what();
    } catch (const AttributeReadOnlyException& e) {
        return std::string("ReadOnly: ") + e.what();
    } catch (const AttributeTypeSensitiveException& e) {
        return std::string("Sensitive: ") + e.what();
    } catch (const AttributeBufferTooSmallException& e) {
        return std::string("TooSmall: ") + e.what();
    } catch (const InvalidArgumentException& e) {
        return std::string("Argument: ") + e.what();
    } catch (const InternalErrorException& e) {
        return std::string("Internal: ") + e.what();
    }
}

constexpr CK_ULONG UL = sizeof(CK_ULONG);
const std::string UL_TEXT = std::to_string(sizeof(CK_ULONG));

CK_ATTRIBUTE attribute(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length) {
    return {type, const_cast<void*>(value), length};
}

// Value storage for templates written inline.
struct Values {
    CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
    CK_BYTE two[2] = {1, 1};
    CK_ULONG bits1024 = 1024, bits4096 = 4096, bits1024High = 0x10400;
    std::uint32_t shortBits = 1024;
    Bytes big = Bytes(257, 0xAB), label129 = Bytes(129, 'L'), id = {0x01, 0xAB};
    Bytes modulus = Bytes(128, 0xC1), half = Bytes(64, 0x11), halfPlus = Bytes(65, 0x11);
    Bytes exponent = {0x01, 0x00, 0x01};
};

TEST(CopyBufferToAttributeBuffer, QueriesCopiesAndRefuses) {
    const Bytes source = {1, 2, 3, 4, 5};
    struct Case {
        const char* name;
        bool withBuffer;
        CK_ULONG capacity;
        CK_ULONG sourceLength;
        CK_ULONG expectedLength;
        std::string expected;
    } cases[] = {
        {"size query", false, 0, 5, 5, "ok"},
        {"size query of an empty value", false, 0, 0, 0, "ok"},
        {"exact buffer", true, 5, 5, 5, "ok"},
        {"larger buffer", true, 9, 5, 5, "ok"},
        {"one byte short", true, 4, 5, CK_UNAVAILABLE_INFORMATION,
         "TooSmall: Small buffer for storing P11 object attribute's value [actual=4, "
         "expected=5]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes out(16, 0xEE);
        CK_ULONG length = c.capacity;
        EXPECT_EQ(outcome([&] {
                      P11Object::copyBufferToAttributeBuffer(c.withBuffer ? out.data() : nullptr,
                                                             &length, source.data(),
                                                             c.sourceLength);
                  }),
                  c.expected);
        EXPECT_EQ(length, c.expectedLength);
        const bool copied = c.expected == "ok" && c.withBuffer;
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 5), copied ? source : Bytes(5, 0xEE));
    }

    CK_ULONG length = 5;
    EXPECT_EQ(outcome([&] {
                  P11Object::copyBufferToAttributeBuffer(nullptr, nullptr, source.data(), 5);
              }),
              "Argument: Null pointer exception <attBufferSize> "
              "[P11Object::copyBufferToAttributeBuffer() "
              "libpkcs11/src/internal/p11objects/p11object:107]");
    EXPECT_EQ(
        outcome([&] { P11Object::copyBufferToAttributeBuffer(nullptr, &length, nullptr, 5); }),
        "Argument: Null pointer exception <srcBuffer> "
        "[P11Object::copyBufferToAttributeBuffer() "
        "libpkcs11/src/internal/p11objects/p11object:109]");
}

struct TemplateCase {
    const char* name;
    std::vector<CK_ATTRIBUTE> attributes;
    std::uint32_t required;
    std::string expected;
};

TEST(PublicKeyTemplate, RefusesInTemplateOrder) {
    Values v;
    const CK_ATTRIBUTE id = attribute(CKA_ID, v.id.data(), 2);
    const CK_ATTRIBUTE modulus = attribute(CKA_MODULUS, v.modulus.data(), 128);
    const CK_ATTRIBUTE exponent = attribute(CKA_PUBLIC_EXPONENT, v.exponent.data(), 3);
    const CK_ATTRIBUTE bits = attribute(CKA_MODULUS_BITS, &v.bits1024, UL);
    const std::uint32_t all = 0xF;
    const TemplateCase cases[] = {
        {"complete", {id, modulus, exponent, bits}, all, "ok"},
        {"repeat of a type passed over",
         {attribute(CKA_TOKEN, &v.yes, 1), id, attribute(CKA_TOKEN, &v.no, 1)},
         0,
         "Inconsistent: Template is inconsistent. Multiple occurence of attribute [type=1]"},
        {"modulus of 257 bytes",
         {attribute(CKA_MODULUS, v.big.data(), 257)},
         0,
         "ValueInvalid: Size of attribute value is too big [type=288, actual=257, maximum=256]"},
        {"label of 129 bytes",
         {attribute(CKA_LABEL, v.label129.data(), 129)},
         0,
         "ValueInvalid: Size of attribute value is too big [type=3, actual=129, maximum=128]"},
        {"4096 bits",
         {attribute(CKA_MODULUS_BITS, &v.bits4096, UL)},
         0,
         "ValueInvalid: Invalid value of attribute [type=0x121]"},
        {"bits as 4 bytes",
         {attribute(CKA_MODULUS_BITS, &v.shortBits, 4)},
         0,
         "ValueInvalid: Size of attribute value is too small [type=289, actual=4, minimum=" +
             UL_TEXT + "]"},
        {"flag of 2 bytes",
         {attribute(CKA_VERIFY, v.two, 2)},
         0,
         "ValueInvalid: Size of attribute value is too big [type=266, actual=2, maximum=1]"},
        {"flag without a value",
         {attribute(CKA_ENCRYPT, nullptr, 1)},
         0,
         "ValueInvalid: Invalid value of attribute [type=0x104]"},
        {"first failure in order wins",
         {attribute(CKA_MODULUS_BITS, &v.bits4096, UL), attribute(CKA_MODULUS, v.big.data(), 257)},
         0,
         "ValueInvalid: Invalid value of attribute [type=0x121]"},
        {"unknown attribute passed over", {attribute(CKA_SUBJECT, nullptr, 100000)}, 0, "ok"},
        {"missing identifier first",
         {},
         all,
         "Incomplete: Template is incomplete. Missing attribute type [type=0x102]"},
        {"then the modulus",
         {id},
         all,
         "Incomplete: Template is incomplete. Missing attribute type [type=0x120]"},
        {"then the exponent",
         {id, modulus},
         all,
         "Incomplete: Template is incomplete. Missing attribute type [type=0x122]"},
        {"then the bits",
         {id, modulus, exponent},
         all,
         "Incomplete: Template is incomplete. Missing attribute type [type=0x121]"},
    };
    for (const TemplateCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint32_t keySize = 0;
        EXPECT_EQ(outcome([&] {
                      P11RsaPublicKey::parseTemplate(c.attributes.data(), c.attributes.size(),
                                                     nullptr, nullptr, nullptr, nullptr, nullptr,
                                                     &keySize, c.required);
                  }),
                  c.expected);
    }

    // Without a key size asked for, the bits are only checked for their length.
    const CK_ATTRIBUTE large[] = {attribute(CKA_MODULUS_BITS, &v.bits4096, UL)};
    EXPECT_EQ(outcome([&] {
                  P11RsaPublicKey::parseTemplate(large, 1, nullptr, nullptr, nullptr, nullptr,
                                                 nullptr, nullptr, 0);
              }),
              "ok");
}

TEST(PublicKeyTemplate, FillsWhatIsAskedFor) {
    Values v;
    const std::string label = "signing key";
    const CK_ATTRIBUTE attributes[] = {
        attribute(CKA_LABEL, label.data(), label.size()),
        attribute(CKA_ID, v.id.data(), 2),
        attribute(CKA_MODULUS, v.modulus.data(), 128),
        attribute(CKA_PUBLIC_EXPONENT, v.exponent.data(), 3),
        attribute(CKA_MODULUS_BITS, &v.bits1024High, UL),
        attribute(CKA_ENCRYPT, &v.yes, 1),
        attribute(CKA_WRAP, &v.no, 1),
        attribute(CKA_VERIFY, &v.yes, 1),
    };
    StaticBuffer<128> identifier = buf<128>(std::string("stale")), outLabel;
    StaticBuffer<256> modulus, exponent;
    std::uint16_t usage = 0xFFFF;
    std::uint32_t keySize = 0;
    P11RsaPublicKey::parseTemplate(attributes, 8, &identifier, &outLabel, &usage, &modulus,
                                   &exponent, &keySize, 0xF);
    EXPECT_EQ(amwtest::bytesOf(identifier), v.id);
    EXPECT_EQ(amwtest::bytesOf(outLabel), text(label));
    EXPECT_EQ(amwtest::bytesOf(modulus), v.modulus);
    EXPECT_EQ(amwtest::bytesOf(exponent), v.exponent);
    EXPECT_EQ(usage, P11RsaKey::USAGE_ENCRYPT | P11RsaKey::USAGE_VERIFY);
    EXPECT_EQ(keySize, 1024u);  // the low 16 bits of 0x10400

    // Absent attributes leave requested outputs empty.
    P11RsaPublicKey::parseTemplate(attributes + 4, 1, &identifier, &outLabel, &usage, nullptr,
                                   nullptr, nullptr, 0);
    EXPECT_TRUE(identifier.empty());
    EXPECT_TRUE(outLabel.empty());
    EXPECT_EQ(usage, 0);
}

TEST(PrivateKeyTemplate, RefusesAndNamesTheMissingOrLongComponent) {
    Values v;
    const CK_ATTRIBUTE id = attribute(CKA_ID, v.id.data(), 2);
    const CK_ATTRIBUTE modulus = attribute(CKA_MODULUS, v.modulus.data(), 128);
    auto part = [&](CK_ATTRIBUTE_TYPE type, bool longer = false) {
        return attribute(type, longer ? v.halfPlus.data() : v.half.data(), longer ? 65 : 64);
    };
    const std::vector<CK_ATTRIBUTE> complete = {id,
                                                modulus,
                                                part(CKA_PRIME_1),
                                                part(CKA_PRIME_2),
                                                part(CKA_EXPONENT_1),
                                                part(CKA_EXPONENT_2),
                                                part(CKA_COEFFICIENT)};
    auto without = [&](CK_ATTRIBUTE_TYPE type) {
        std::vector<CK_ATTRIBUTE> t;
        for (const CK_ATTRIBUTE& a : complete)
            if (a.type != type)
                t.push_back(a);
        return t;
    };
    auto replaced = [&](CK_ATTRIBUTE_TYPE type) {
        std::vector<CK_ATTRIBUTE> t = without(type);
        t.push_back(part(type, true));
        return t;
    };
    const TemplateCase cases[] = {
        {"complete", complete, 3, "ok"},
        {"no coefficient", without(CKA_COEFFICIENT), 3,
         "Incomplete: Template is incomplete. Missing attribute type [type=0x128]"},
        {"no modulus", without(CKA_MODULUS), 3,
         "Incomplete: Template is incomplete. Missing attribute type [type=0x120]"},
        {"coefficient named before exponent 1", without(CKA_EXPONENT_1), 3,
         "Incomplete: Template is incomplete. Missing attribute type [type=0x126]"},
        {"identifier only when asked", without(CKA_ID), 2, "ok"},
        {"nothing asked", {}, 0, "ok"},
        {"prime 1 longer than half", replaced(CKA_PRIME_1), 3,
         "ValueInvalid: Invalid value of attribute [type=0x124]"},
        {"exponent 2 longer than half", replaced(CKA_EXPONENT_2), 3,
         "ValueInvalid: Invalid value of attribute [type=0x127]"},
        {"lengths not checked without the key", replaced(CKA_PRIME_1), 1, "ok"},
        {"prime of 257 bytes",
         {attribute(CKA_PRIME_2, v.big.data(), 257)},
         0,
         "ValueInvalid: Size of attribute value is too big [type=293, actual=257, maximum=256]"},
        {"sign flag of 0 bytes",
         {attribute(CKA_SIGN, &v.yes, 0)},
         0,
         "ValueInvalid: Size of attribute value is too small [type=264, actual=0, minimum=1]"},
        {"private exponent passed over",
         {attribute(CKA_PRIVATE_EXPONENT, v.big.data(), 257)},
         0,
         "ok"},
        {"repeated label",
         {attribute(CKA_LABEL, "a", 1), attribute(CKA_LABEL, "b", 1)},
         0,
         "Inconsistent: Template is inconsistent. Multiple occurence of attribute [type=3]"},
    };
    for (const TemplateCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(outcome([&] {
                      P11RsaPrivateKey::parseTemplate(c.attributes.data(), c.attributes.size(),
                                                      nullptr, nullptr, nullptr, nullptr,
                                                      c.required);
                  }),
                  c.expected);
    }
}

TEST(PrivateKeyTemplate, PutsEachComponentInItsPlace) {
    const Bytes n(128, 0x0A), p(64, 0x01), q(64, 0x02), dp(64, 0x03), dq(64, 0x04), inv(63, 0x05),
        e = {1, 0, 1};
    CK_BBOOL yes = CK_TRUE;
    const CK_ATTRIBUTE attributes[] = {
        attribute(CKA_COEFFICIENT, inv.data(), 63),
        attribute(CKA_EXPONENT_2, dq.data(), 64),
        attribute(CKA_EXPONENT_1, dp.data(), 64),
        attribute(CKA_PRIME_2, q.data(), 64),
        attribute(CKA_PRIME_1, p.data(), 64),
        attribute(CKA_MODULUS, n.data(), 128),
        attribute(CKA_PUBLIC_EXPONENT, e.data(), 3),
        attribute(CKA_SIGN, &yes, 1),
        attribute(CKA_UNWRAP, &yes, 1),
    };
    auto components = std::make_unique<amw::RsaPrivateKeyComponents>();
    std::uint16_t usage = 0;
    P11RsaPrivateKey::parseTemplate(attributes, 9, nullptr, nullptr, &usage, components.get(), 2);
    EXPECT_EQ(amwtest::bytesOf(components->n), n);
    EXPECT_EQ(amwtest::bytesOf(components->p), p);
    EXPECT_EQ(amwtest::bytesOf(components->q), q);
    EXPECT_EQ(amwtest::bytesOf(components->dp), dp);
    EXPECT_EQ(amwtest::bytesOf(components->dq), dq);
    EXPECT_EQ(amwtest::bytesOf(components->inv), inv);
    EXPECT_TRUE(components->e.empty());
    EXPECT_EQ(usage, P11RsaKey::USAGE_SIGN | P11RsaKey::USAGE_UNWRAP);
}

// A certificate object holding `der` as the body its card would return.
std::unique_ptr<amwtest::TestCertificate> certificateWith(const Bytes& der) {
    auto certificate = std::make_unique<amwtest::TestCertificate>();
    certificate->pkcs11Id = buf<128>(Bytes{0x01, 0xAB});
    certificate->card.body = der;
    certificate->contentSize = static_cast<std::uint32_t>(der.size());
    return certificate;
}

class CertificateDer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        key = testcerts::rsaKey(1024).release();
        v3 = new testcerts::Certificate(testcerts::makeCertificate(key));
        v1 = new testcerts::Certificate(testcerts::makeCertificate(key, {false, 0, 0}));
    }
    static void TearDownTestSuite() {
        delete v3;
        delete v1;
        EVP_PKEY_free(key);
    }
    static EVP_PKEY* key;
    static testcerts::Certificate* v3;
    static testcerts::Certificate* v1;
};
EVP_PKEY* CertificateDer::key = nullptr;
testcerts::Certificate* CertificateDer::v3 = nullptr;
testcerts::Certificate* CertificateDer::v1 = nullptr;

TEST_F(CertificateDer, CutsSerialIssuerAndSubjectWithTheirHeaders) {
    auto token = certificateWith(v3->der);
    P11X509Certificate certificate(token.get());
    EXPECT_EQ(valueOf(certificate, CKA_SERIAL_NUMBER), v3->serial);
    EXPECT_EQ(valueOf(certificate, CKA_ISSUER), v3->issuer);
    EXPECT_EQ(valueOf(certificate, CKA_SUBJECT), v3->subject);
    EXPECT_EQ(valueOf(certificate, CKA_VALUE), v3->der);
    EXPECT_EQ(token->card.reads, 1);  // the body is read once
}

TEST_F(CertificateDer, WithoutAParsableDerTheFieldsAreUnavailable) {
    const std::pair<const char*, Bytes> bodies[] = {
        {"version 1", v1->der},
        {"empty", {}},
        {"not a sequence", {0x04, 0x01, 0x00}},
        {"length past the end", {0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF}},
        {"too many length octets", {0x30, 0x89, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
    };
    for (const auto& [name, der] : bodies) {
        SCOPED_TRACE(name);
        auto token = certificateWith(der);
        P11X509Certificate certificate(token.get());
        for (CK_ATTRIBUTE_TYPE type : {CKA_SERIAL_NUMBER, CKA_ISSUER, CKA_SUBJECT}) {
            CK_ULONG length = 0;
            EXPECT_EQ(outcome([&] {
                          certificate.getAttributeValue(type, nullptr, &length);
                      }).rfind("TypeInvalid: Invalid attribute type [type=", 0),
                      0u);
            EXPECT_EQ(length, CK_UNAVAILABLE_INFORMATION);
        }
        EXPECT_EQ(valueOf(certificate, CKA_VALUE), der);
    }
}

TEST_F(CertificateDer, DamagedDerNeverReadsPastTheBody) {
    // Each variant lives in a buffer of exactly its size, so an over-read
    // shows under the address sanitizer.
    auto out = std::make_unique<StaticBuffer<65536>>();
    for (std::size_t size = 0; size < v3->der.size(); ++size) {
        auto content = std::make_unique<StaticBuffer<65536>>(v3->der.data(), size);
        for (int field : {0, 1, 2})
            EXPECT_FALSE(P11X509Certificate::parseCertificate(*content, field, out.get()))
                << "prefix of " << size << " bytes, field " << field;
    }
    // Every header byte of the first part set to 0xFF (tags, long lengths).
    for (std::size_t at = 0; at < 64; ++at) {
        Bytes damaged = v3->der;
        damaged[at] = 0xFF;
        auto content = std::make_unique<StaticBuffer<65536>>(damaged.data(), damaged.size());
        for (int field : {0, 1, 2})
            if (P11X509Certificate::parseCertificate(*content, field, out.get())) {
                EXPECT_LE(out->size(), damaged.size() - at) << at;
            }
    }
}

TEST_F(CertificateDer, AttributeTable) {
    auto token = certificateWith(v3->der);
    P11X509Certificate certificate(token.get());
    const struct {
        CK_ATTRIBUTE_TYPE type;
        Bytes value;
    } values[] = {
        {CKA_CLASS, ulongBytes(CKO_CERTIFICATE)},
        {CKA_TOKEN, {1}},
        {CKA_PRIVATE, {0}},
        {CKA_MODIFIABLE, {1}},
        {CKA_LABEL, text("01ab")},  // no label: the identifier in hex
        {CKA_ID, {0x01, 0xAB}},
        {CKA_CERTIFICATE_TYPE, ulongBytes(CKC_X_509)},
        {CKA_JAVA_MIDP_SECURITY_DOMAIN, ulongBytes(0)},
        {CKA_TRUSTED, {0}},
        {CKA_CERTIFICATE_CATEGORY, ulongBytes(1)},
        {CKA_URL, {}},
    };
    for (const auto& v : values)
        EXPECT_EQ(valueOf(certificate, v.type), v.value) << v.type;
    EXPECT_EQ(token->card.reads, 0);  // none of these needs the body

    token->trusted = true;
    token->label = buf<128>(std::string("Root"));
    EXPECT_EQ(valueOf(certificate, CKA_CERTIFICATE_CATEGORY), ulongBytes(2));
    EXPECT_EQ(valueOf(certificate, CKA_LABEL), text("Root"));

    for (CK_ATTRIBUTE_TYPE type :
         {CKA_HASH_OF_SUBJECT_PUBLIC_KEY, CKA_CHECK_VALUE, CKA_START_DATE, CKA_MODULUS}) {
        CK_ULONG length = 0;
        EXPECT_EQ(outcome([&] {
                      certificate.getAttributeValue(type, nullptr, &length);
                  }).rfind("TypeInvalid: Invalid attribute type", 0),
                  0u);
        EXPECT_EQ(length, CK_UNAVAILABLE_INFORMATION);
    }
    CK_ULONG length = 0;
    EXPECT_EQ(outcome([&] { certificate.getAttributeValue(CKA_START_DATE, nullptr, &length); }),
              "TypeInvalid: Invalid attribute type [type=272, CKA_START_DATE]");
}

TEST_F(CertificateDer, ValueSizeComesFromTheCardWithoutTheBody) {
    auto token = certificateWith(v3->der);
    P11X509Certificate certificate(token.get());
    CK_ULONG length = 0;
    certificate.getAttributeValue(CKA_VALUE, nullptr, &length);
    EXPECT_EQ(length, v3->der.size());
    EXPECT_EQ(token->card.reads, 0);

    // A template value of another length does not match, without reading.
    const CK_ATTRIBUTE shorter = attribute(CKA_VALUE, v3->der.data(), v3->der.size() - 1);
    EXPECT_FALSE(certificate.compareAttribute(shorter));
    EXPECT_EQ(token->card.reads, 0);
    const CK_ATTRIBUTE same = attribute(CKA_VALUE, v3->der.data(), v3->der.size());
    EXPECT_TRUE(certificate.compareAttribute(same));
    Bytes changed = v3->der;
    changed.back() ^= 1;
    EXPECT_FALSE(
        certificate.compareAttribute(attribute(CKA_VALUE, changed.data(), changed.size())));
    CK_ULONG mechanism = CKM_RSA_PKCS;
    EXPECT_FALSE(certificate.compareAttribute(attribute(CKA_ALLOWED_MECHANISMS, &mechanism, UL)));
}

TEST(SetAttributeValue, CertificateAndDataObjectRules) {
    amwtest::TestCertificate tokenCertificate;
    amwtest::TestDataObject tokenData;
    P11X509Certificate certificate(&tokenCertificate);
    P11DataObject data(&tokenData);
    const Bytes value(65537, 0x42), label(129, 'x');
    const struct {
        P11Object* object;
        CK_ATTRIBUTE_TYPE type;
        const std::uint8_t* buffer;
        CK_ULONG size;
        std::string expected;
    } cases[] = {
        {&certificate, CKA_LABEL, nullptr, 0,
         "ValueInvalid: Invalid value of attribute [type=0x3]"},
        {&certificate, CKA_MODULUS, label.data(), 1,
         "TypeInvalid: Invalid attribute type [type=288, CKA_MODULUS]"},
        {&certificate, CKA_LABEL, label.data(), 129,
         "ValueInvalid: Size of attribute value is too big [type=3, actual=129, maximum=128]"},
        {&certificate, CKA_VALUE, value.data(), 65537,
         "ValueInvalid: Size of attribute value is too big [type=17, actual=65537, "
         "maximum=65536]"},
        {&certificate, CKA_SUBJECT, label.data(), 1,
         "ReadOnly: Attribute is read-only [type=257, CKA_SUBJECT]"},
        {&certificate, CKA_VALUE, value.data(), 65536, "ok"},
        {&data, CKA_PRIVATE, label.data(), 1,
         "ReadOnly: Attribute is read-only [type=2, CKA_PRIVATE]"},
        {&data, CKA_APPLICATION, label.data(), 129,
         "ValueInvalid: Size of attribute value is too big [type=16, actual=129, maximum=128]"},
        {&data, CKA_ID, label.data(), 1, "TypeInvalid: Invalid attribute type [type=258, CKA_ID]"},
        {&data, CKA_OBJECT_ID, label.data(), 128, "ok"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(outcome([&] { c.object->setAttributeValue(c.type, c.buffer, c.size); }),
                  c.expected);
    }
    // Values replaced in memory read back without the card.
    EXPECT_EQ(valueOf(certificate, CKA_VALUE), Bytes(65536, 0x42));
    EXPECT_EQ(tokenCertificate.card.reads, 0);
    EXPECT_EQ(valueOf(data, CKA_OBJECT_ID), Bytes(128, 'x'));
}

TEST(DataObject, AttributeTable) {
    amwtest::TestDataObject token;
    token.pkcs11Id = buf<128>(Bytes{0xFF, 0x00});
    token.application = buf<128>(std::string("app"));
    token.objectId = buf<128>(Bytes{0x06, 0x01, 0x2A});
    token.card.body = text("secret");
    token.contentSize = 6;
    token.privateContent = true;
    P11DataObject data(&token);
    EXPECT_EQ(valueOf(data, CKA_CLASS), ulongBytes(CKO_DATA));
    EXPECT_EQ(valueOf(data, CKA_PRIVATE), Bytes{1});
    EXPECT_EQ(valueOf(data, CKA_LABEL), text("ff00"));
    EXPECT_EQ(valueOf(data, CKA_APPLICATION), text("app"));
    EXPECT_EQ(valueOf(data, CKA_OBJECT_ID), (Bytes{0x06, 0x01, 0x2A}));
    EXPECT_EQ(valueOf(data, CKA_VALUE), text("secret"));
    CK_ULONG length = 0;
    EXPECT_EQ(outcome([&] { data.getAttributeValue(CKA_ID, nullptr, &length); }),
              "TypeInvalid: Invalid attribute type [type=258, CKA_ID]");
    EXPECT_EQ(length, CK_UNAVAILABLE_INFORMATION);
}

class KeyObjects : public ::testing::Test {
protected:
    void SetUp() override {
        pair.pkcs11Id = buf<128>(Bytes{0x0B});
        pair.keySize = 1024;
        pair.keyUsage = 0xFF;
        pair.addPublicKey(buf<128>(std::string("pub")), buf<256>(Bytes(128, 0xC1)),
                          buf<256>(Bytes{1, 0, 1}), 0);
        pair.addPrivateKey(StaticBuffer<128>(), 0);
    }
    amwtest::TestKeyPair pair;
};

TEST_F(KeyObjects, PublicAndPrivateAttributeTables) {
    P11RsaPublicKey publicKey(&pair);
    P11RsaPrivateKey privateKey(&pair);
    const Bytes allBits = ulongBytes(CK_UNAVAILABLE_INFORMATION);
    const struct {
        P11Object* object;
        CK_ATTRIBUTE_TYPE type;
        Bytes value;
    } values[] = {
        {&publicKey, CKA_CLASS, ulongBytes(CKO_PUBLIC_KEY)},
        {&publicKey, CKA_LABEL, text("pub")},
        {&publicKey, CKA_MODULUS_BITS, ulongBytes(1024)},
        {&publicKey, CKA_PUBLIC_EXPONENT, {1, 0, 1}},
        {&publicKey, CKA_VERIFY_RECOVER, {1}},
        {&publicKey, CKA_PRIVATE, {0}},
        {&publicKey, CKA_KEY_GEN_MECHANISM, allBits},
        {&publicKey, CKA_SUBJECT, allBits},
        {&publicKey, CKA_WRAP_TEMPLATE, {}},
        {&publicKey, CKA_ALLOWED_MECHANISMS, ulongBytes(CKM_RSA_PKCS)},
        {&privateKey, CKA_CLASS, ulongBytes(CKO_PRIVATE_KEY)},
        {&privateKey, CKA_LABEL, text("0b")},
        {&privateKey, CKA_ID, {0x0B}},
        {&privateKey, CKA_MODULUS, Bytes(128, 0xC1)},
        {&privateKey, CKA_SIGN_RECOVER, {1}},
        {&privateKey, CKA_SENSITIVE, {1}},
        {&privateKey, CKA_EXTRACTABLE, {0}},
        {&privateKey, CKA_LOCAL, {0}},
        {&privateKey, CKA_UNWRAP_TEMPLATE, allBits},
    };
    for (const auto& v : values)
        EXPECT_EQ(valueOf(*v.object, v.type), v.value) << v.type;

    pair.generatedOnCard = 1;
    EXPECT_EQ(valueOf(publicKey, CKA_KEY_GEN_MECHANISM), ulongBytes(CKM_RSA_PKCS_KEY_PAIR_GEN));
    EXPECT_EQ(valueOf(privateKey, CKA_LOCAL), Bytes{1});

    CK_ULONG length = 0;
    EXPECT_EQ(outcome([&] { privateKey.getAttributeValue(CKA_PRIME_1, nullptr, &length); }),
              "Sensitive: Attribute type is sensitive and can not be revealed [type=292, "
              "CKA_PRIME_1]");
    EXPECT_EQ(length, CK_UNAVAILABLE_INFORMATION);
    // A search template naming a secret fails instead of not matching.
    const Bytes prime(64, 1);
    EXPECT_EQ(outcome([&] {
                  privateKey.compareAttribute(attribute(CKA_PRIME_1, prime.data(), 64));
              }).rfind("Sensitive:", 0),
              0u);
    EXPECT_EQ(outcome([&] { privateKey.getAttributeValue(CKA_START_DATE, nullptr, &length); }),
              "TypeInvalid: Invalid attribute type [type=272, CKA_START_DATE]");

    pair.removePublicKey();
    EXPECT_EQ(outcome([&] { privateKey.getAttributeValue(CKA_MODULUS, nullptr, &length); }),
              "TypeInvalid: Invalid attribute type [type=288, CKA_MODULUS]");
    EXPECT_EQ(outcome([&] { P11RsaPublicKey lost(&pair); }),
              "Argument: Null pointer exception <keyPair->getRsaPublicKey()> "
              "[P11RsaPublicKey::P11RsaPublicKey() "
              "libpkcs11/src/internal/p11objects/p11RsaPublicKey:34]");
}

TEST_F(KeyObjects, OnlyTheLabelOfTheHalfChanges) {
    P11RsaPublicKey publicKey(&pair);
    P11RsaPrivateKey privateKey(&pair);
    const Bytes label(129, 'k');
    EXPECT_EQ(outcome([&] { publicKey.setAttributeValue(CKA_MODULUS, label.data(), 128); }),
              "ReadOnly: Attribute is read-only [type=288, CKA_MODULUS]");
    EXPECT_EQ(outcome([&] { publicKey.setAttributeValue(CKA_SIGN, label.data(), 1); }),
              "TypeInvalid: Invalid attribute type [type=264, CKA_SIGN]");
    EXPECT_EQ(outcome([&] { privateKey.setAttributeValue(CKA_LABEL, label.data(), 129); }),
              "ValueInvalid: Size of attribute value is too big [type=3, actual=129, "
              "maximum=128]");
    privateKey.setAttributeValue(CKA_LABEL, label.data(), 5);
    EXPECT_EQ(valueOf(privateKey, CKA_LABEL), text("kkkkk"));
    EXPECT_EQ(valueOf(publicKey, CKA_LABEL), text("pub"));
}

// --- container map on byte arrays ---------------------------------------------------

Bytes record(const std::string& name, std::uint8_t flags, std::uint16_t signatureBits,
             std::uint16_t exchangeBits) {
    Bytes r(cmap::RECORD_SIZE, 0);
    for (std::size_t i = 0; i < name.size(); ++i)
        r[2 * i] = static_cast<std::uint8_t>(name[i]);
    r[80] = flags;
    r[82] = signatureBits & 0xFF;
    r[83] = signatureBits >> 8;
    r[84] = exchangeBits & 0xFF;
    r[85] = exchangeBits >> 8;
    return r;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The first 10 bytes of SHA-256 of `data` in lowercase hex.
std::string expectedName(const Bytes& data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(data.data(), data.size(), digest);
    return hexText(digest, 10);
}

TEST(ContainerMap, NamesAreExactUtf16Matches) {
    const Bytes r = record("abc", 1, 0, 0);
    EXPECT_TRUE(isContainerName(r.data(), "abc"));
    EXPECT_FALSE(isContainerName(r.data(), "ab"));  // the next unit is not 0
    EXPECT_FALSE(isContainerName(r.data(), "abcd"));
    EXPECT_FALSE(isContainerName(record("abC", 1, 0, 0).data(), "abc"));
    Bytes wide = r;
    wide[1] = 0x01;  // U+0161 is not 'a'
    EXPECT_FALSE(isContainerName(wide.data(), "abc"));
    EXPECT_EQ(outcome([&] { isContainerName(r.data(), std::string(40, 'a')); }),
              "Argument: Invalid argument exception <name> [isContainerName() "
              "libpkcs11/src/internal/cmapfile:65]");
}

TEST(ContainerMap, ClaimsTheFirstRecordNoOneUses) {
    const Bytes id = {0x01, 0x02, 0x03};
    amwtest::TestCertificate onRecord0;
    onRecord0.containerIndex = 0;
    const std::vector<amw::X509Certificate*> none, claimingZero = {&onRecord0};
    const Bytes used = record("used", 1, 1024, 0), freed = record("", 0, 0, 0);
    const struct {
        const char* name;
        Bytes map;
        const std::vector<amw::X509Certificate*>* certificates;
        std::uint8_t index;
        std::size_t size;
    } cases[] = {
        {"empty map", {}, &none, 0, 86},
        {"free record 0", concat({freed, used}), &none, 0, 172},
        {"record 0 free but a certificate's", concat({freed, used}), &claimingZero, 2, 258},
        {"all used", concat({used, used}), &none, 2, 258},
        {"trailing bytes count into the new record", concat({used, Bytes(4, 0xEE)}), &none, 1, 176},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes map = c.map;
        EXPECT_EQ(claimContainerRecord(map, *c.certificates, buf<128>(id)), c.index);
        ASSERT_EQ(map.size(), c.size);
        EXPECT_EQ(Bytes(map.begin() + c.index * 86, map.begin() + c.index * 86 + 86),
                  record(expectedName(id), 1, 0, 0));
        // Records before the claimed one are untouched.
        EXPECT_TRUE(std::equal(map.begin(), map.begin() + c.index * 86, c.map.begin()));
    }
}

TEST(ContainerMap, NameCollisionHashesTheDigestAgain) {
    const Bytes id = {0x42};
    unsigned char first[SHA256_DIGEST_LENGTH];
    SHA256(id.data(), id.size(), first);
    const Bytes firstDigest(first, first + SHA256_DIGEST_LENGTH);
    const Bytes map = record(expectedName(id), 1, 2048, 0);
    EXPECT_EQ(generateUniqueContainerName(map.data(), map.size(), buf<128>(id)),
              expectedName(firstDigest));
    EXPECT_EQ(generateUniqueContainerName(nullptr, 0, buf<128>(id)), expectedName(id));
}

TEST(ContainerMap, FullMapsAreRefused) {
    const std::string full =
        "Internal: INTERNAL ERROR cannot update cmapfile, no empty container record found";
    const Bytes used = record("used", 1, 1024, 0);
    for (std::size_t size : {std::size_t(65536 - 85), std::size_t(256 * 86)}) {
        Bytes map;
        while (map.size() + 86 <= size)
            map.insert(map.end(), used.begin(), used.end());
        map.resize(size, 0xEE);
        EXPECT_EQ(outcome([&] { claimContainerRecord(map, {}, buf<128>(Bytes{1})); }), full)
            << size;
    }
}

TEST(ContainerMap, KeySizesAndClearing) {
    Bytes map = concat({record("a", 1, 0, 0), record("b", 1, 0, 0), record("c", 1, 0, 0)});
    EXPECT_EQ(outcome([&] { setContainerKeySize(map, 3, amw::KeyPair::SIGNATURE_KEY, 2048); }),
              "Internal: INTERNAL ERROR commitContainerInCmapfile(): cmapfile is not big enought "
              "to contain a record for container with index 3");
    setContainerKeySize(map, 1, amw::KeyPair::SIGNATURE_KEY, 2048);
    setContainerKeySize(map, 1, amw::KeyPair::KEY_EXCHANGE_KEY, 1024);
    EXPECT_EQ(Bytes(map.begin() + 86, map.begin() + 172), record("b", 1, 2048, 1024));
    clearContainerKeySize(map, 1, amw::KeyPair::KEY_EXCHANGE_KEY);
    EXPECT_EQ(Bytes(map.begin() + 86, map.begin() + 172), record("b", 1, 2048, 0));
    clearContainerKeySize(map, 1, amw::KeyPair::SIGNATURE_KEY);
    EXPECT_EQ(Bytes(map.begin() + 86, map.begin() + 172), Bytes(86, 0));
    EXPECT_EQ(Bytes(map.begin(), map.begin() + 86), record("a", 1, 0, 0));
}

TEST(ContainerMap, CardcfCountersWrapAndTheRestStays) {
    Bytes cardcf = {0x07, 0x09, 0xFF, 0xFF, 0x10, 0x00, 0xAA};
    raiseCardcfCounters(cardcf);
    EXPECT_EQ(cardcf, (Bytes{0x07, 0x09, 0x00, 0x00, 0x11, 0x00, 0xAA}));
    Bytes damaged(5, 0);
    EXPECT_EQ(outcome([&] { raiseCardcfCounters(damaged); }),
              "Internal: INTERNAL ERROR prepareContainerInCmapfile(): cardcf file damaged (has "
              "less than 6 bytes)");
}

TEST(ContainerMap, FileNames) {
    EXPECT_EQ(amwtest::bytesOf(cardFileName("CMAPFile")), text("cmapfile"));
    EXPECT_TRUE(cardFileName("").empty());
    EXPECT_EQ(outcome([] { cardFileName("cmapfile1"); }), "Argument: name length exceeds 8 bytes");
}

}  // namespace
