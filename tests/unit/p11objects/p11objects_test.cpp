// The PKCS#11 object classes over token objects held in memory, and the
// container map on byte arrays.
#include "internal/cmapfile.h"
#include "internal/p11objects/p11RsaPrivateKey.h"
#include "internal/p11objects/p11RsaPublicKey.h"
#include "internal/p11objects/p11X509Certificate.h"
#include "p11values.h"
#include "testcerts.h"
#include "testobjects.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using amwtest::buf;
using amwtest::Bytes;
using p11values::text;
using p11values::valueOf;

// The exception's message, or "ok" when the call returns.
std::string outcome(const std::function<void()>& call) {
    try {
        call();
        return "ok";
    } catch (const QVException& e) {
        return e.what();
    }
}

CK_ATTRIBUTE attribute(CK_ATTRIBUTE_TYPE type, const void* value, CK_ULONG length) {
    return {type, const_cast<void*>(value), length};
}

TEST(CopyBufferToAttributeBuffer, QueriesCopiesAndRefuses) {
    const Bytes source = {1, 2, 3, 4, 5};
    const struct {
        bool withBuffer;
        CK_ULONG capacity, sourceLength, expectedLength;
        std::string expected;
    } cases[] = {
        {false, 0, 5, 5, "ok"},
        {false, 0, 0, 0, "ok"},
        {true, 5, 5, 5, "ok"},
        {true, 9, 5, 5, "ok"},
        {true, 4, 5, CK_UNAVAILABLE_INFORMATION,
         "Small buffer for storing P11 object attribute's value [actual=4, expected=5]"},
    };
    for (const auto& c : cases) {
        Bytes out(8, 0xEE);
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
    EXPECT_EQ(outcome([&] { P11Object::copyBufferToAttributeBuffer(nullptr, nullptr, "", 1); }),
              "Null pointer exception <attBufferSize> [P11Object::copyBufferToAttributeBuffer() "
              "libpkcs11/src/internal/p11objects/p11object:107]");
}

struct TemplateCase {
    std::vector<CK_ATTRIBUTE> attributes;
    std::uint32_t required;
    std::string expected;
};

TEST(KeyTemplates, PublicRefusalsInTemplateOrder) {
    const CK_BBOOL yes = CK_TRUE;
    const CK_ULONG bits1024 = 1024, bits4096 = 4096;
    const std::uint32_t shortBits = 1024;
    const Bytes big(257, 0xAB), id = {1}, modulus(128, 0xC1), exponent = {1, 0, 1};
    const CK_ATTRIBUTE idAttribute = attribute(CKA_ID, id.data(), 1);
    const CK_ATTRIBUTE modulusAttribute = attribute(CKA_MODULUS, modulus.data(), 128);
    const TemplateCase cases[] = {
        {{idAttribute, modulusAttribute, attribute(CKA_PUBLIC_EXPONENT, exponent.data(), 3),
          attribute(CKA_MODULUS_BITS, &bits1024, sizeof(CK_ULONG))},
         0xF,
         "ok"},
        {{attribute(CKA_TOKEN, &yes, 1), attribute(CKA_TOKEN, &yes, 1)},
         0,
         "Template is inconsistent. Multiple occurence of attribute [type=1]"},
        {{attribute(CKA_MODULUS, big.data(), 257)},
         0,
         "Size of attribute value is too big [type=288, actual=257, maximum=256]"},
        {{attribute(CKA_MODULUS_BITS, &shortBits, 4)},
         0,
         "Size of attribute value is too small [type=289, actual=4, minimum=" +
             std::to_string(sizeof(CK_ULONG)) + "]"},
        {{attribute(CKA_ENCRYPT, nullptr, 1)}, 0, "Invalid value of attribute [type=0x104]"},
        // The first failure in template order wins.
        {{attribute(CKA_MODULUS_BITS, &bits4096, sizeof(CK_ULONG)),
          attribute(CKA_MODULUS, big.data(), 257)},
         0,
         "Invalid value of attribute [type=0x121]"},
        {{idAttribute}, 0xF, "Template is incomplete. Missing attribute type [type=0x120]"},
        {{idAttribute, modulusAttribute},
         0xF,
         "Template is incomplete. Missing attribute type [type=0x122]"},
    };
    for (const TemplateCase& c : cases) {
        std::uint32_t keySize = 0;
        EXPECT_EQ(outcome([&] {
                      P11RsaPublicKey::parseTemplate(c.attributes.data(), c.attributes.size(),
                                                     nullptr, nullptr, nullptr, nullptr, nullptr,
                                                     &keySize, c.required);
                  }),
                  c.expected);
    }
    // The size is checked only when it is asked for, and only its low 16 bits count.
    const CK_ULONG bits[] = {4096, 0x10400};
    std::uint32_t keySize = 0;
    const CK_ATTRIBUTE large = attribute(CKA_MODULUS_BITS, &bits[0], sizeof(CK_ULONG));
    EXPECT_EQ(outcome([&] {
                  P11RsaPublicKey::parseTemplate(&large, 1, nullptr, nullptr, nullptr, nullptr,
                                                 nullptr, nullptr, 0);
              }),
              "ok");
    const CK_ATTRIBUTE high = attribute(CKA_MODULUS_BITS, &bits[1], sizeof(CK_ULONG));
    P11RsaPublicKey::parseTemplate(&high, 1, nullptr, nullptr, nullptr, nullptr, nullptr, &keySize,
                                   0);
    EXPECT_EQ(keySize, 1024u);
}

TEST(KeyTemplates, PrivateComponentsAreNamedInTheirOrderAndBoundByHalfTheModulus) {
    const Bytes id = {1}, n(128, 0x0A), half(64, 0x11), longer(65, 0x11);
    auto complete = [&](CK_ATTRIBUTE_TYPE skipped, CK_ATTRIBUTE_TYPE longOne) {
        std::vector<CK_ATTRIBUTE> t = {attribute(CKA_ID, id.data(), 1)};
        for (CK_ATTRIBUTE_TYPE type : {CKA_MODULUS, CKA_PRIME_1, CKA_PRIME_2, CKA_EXPONENT_1,
                                       CKA_EXPONENT_2, CKA_COEFFICIENT}) {
            if (type == CKA_MODULUS && type != skipped)
                t.push_back(attribute(type, n.data(), 128));
            if (type == CKA_MODULUS)
                continue;
            if (type != skipped)
                t.push_back(type == longOne ? attribute(type, longer.data(), 65)
                                            : attribute(type, half.data(), 64));
        }
        return t;
    };
    const TemplateCase cases[] = {
        {complete(0, 0), 3, "ok"},
        {complete(CKA_COEFFICIENT, 0), 3,
         "Template is incomplete. Missing attribute type [type=0x128]"},
        {complete(CKA_MODULUS, 0), 3,
         "Template is incomplete. Missing attribute type [type=0x120]"},
        {complete(CKA_EXPONENT_1, CKA_COEFFICIENT), 3,
         "Template is incomplete. Missing attribute type [type=0x126]"},
        {complete(0, CKA_PRIME_1), 3, "Invalid value of attribute [type=0x124]"},
        {complete(0, CKA_EXPONENT_2), 3, "Invalid value of attribute [type=0x127]"},
        {complete(0, CKA_PRIME_1), 1, "ok"},
        {{attribute(CKA_PRIVATE_EXPONENT, nullptr, 999)}, 0, "ok"},
        {{}, 1, "Template is incomplete. Missing attribute type [type=0x102]"},
    };
    for (const TemplateCase& c : cases)
        EXPECT_EQ(outcome([&] {
                      P11RsaPrivateKey::parseTemplate(c.attributes.data(), c.attributes.size(),
                                                      nullptr, nullptr, nullptr, nullptr,
                                                      c.required);
                  }),
                  c.expected);
}

// A certificate whose card would return `der` as its body.
std::unique_ptr<amwtest::TestCertificate> certificateWith(const Bytes& der) {
    auto certificate = std::make_unique<amwtest::TestCertificate>();
    certificate->pkcs11Id = buf<128>(Bytes{0x01, 0xAB});
    certificate->card.body = der;
    certificate->contentSize = static_cast<std::uint32_t>(der.size());
    return certificate;
}

TEST(Certificate, FieldsAreCutFromTheDerOrUnavailable) {
    testcerts::KeyPtr key = testcerts::rsaKey(1024);
    const testcerts::Certificate v3 = testcerts::makeCertificate(key.get());
    auto token = certificateWith(v3.der);
    P11X509Certificate certificate(token.get());
    // The value's size and the header fields need no body from the card.
    CK_ULONG length = 0;
    certificate.getAttributeValue(CKA_VALUE, nullptr, &length);
    EXPECT_EQ(length, v3.der.size());
    EXPECT_EQ(valueOf(certificate, CKA_LABEL), text("01ab"));
    EXPECT_FALSE(
        certificate.compareAttribute(attribute(CKA_VALUE, v3.der.data(), v3.der.size() - 1)));
    EXPECT_EQ(token->card.reads, 0);
    EXPECT_EQ(valueOf(certificate, CKA_SERIAL_NUMBER), v3.serial);
    EXPECT_EQ(valueOf(certificate, CKA_ISSUER), v3.issuer);
    EXPECT_EQ(valueOf(certificate, CKA_SUBJECT), v3.subject);
    EXPECT_TRUE(certificate.compareAttribute(attribute(CKA_VALUE, v3.der.data(), v3.der.size())));
    EXPECT_EQ(token->card.reads, 1);

    const Bytes v1 = testcerts::makeCertificate(key.get(), {false, 0, 0}).der;
    const Bytes notASequence = {0x04, 0x01, 0x00}, tooManyLengthOctets = {0x30, 0x89, 1, 1};
    for (const Bytes& der : {v1, Bytes(), notASequence, tooManyLengthOctets}) {
        auto damaged = certificateWith(der);
        P11X509Certificate unparsable(damaged.get());
        for (CK_ATTRIBUTE_TYPE type : {CKA_SERIAL_NUMBER, CKA_ISSUER, CKA_SUBJECT}) {
            length = 0;
            EXPECT_EQ(outcome([&] {
                          unparsable.getAttributeValue(type, nullptr, &length);
                      }).rfind("Invalid attribute type [type=", 0),
                      0u);
            EXPECT_EQ(length, CK_UNAVAILABLE_INFORMATION);
        }
        EXPECT_EQ(valueOf(unparsable, CKA_VALUE), der);
    }

    // Every prefix, in a buffer of exactly its size (an over-read shows under
    // the address sanitizer), and header bytes set to 0xFF.
    auto out = std::make_unique<StaticBuffer<65536>>();
    for (std::size_t size = 0; size < v3.der.size(); ++size) {
        auto prefix = std::make_unique<StaticBuffer<65536>>(v3.der.data(), size);
        for (int field : {0, 1, 2})
            EXPECT_FALSE(P11X509Certificate::parseCertificate(*prefix, field, out.get()));
    }
    for (std::size_t at = 0; at < 64; ++at) {
        Bytes changed = v3.der;
        changed[at] = 0xFF;
        auto content = std::make_unique<StaticBuffer<65536>>(changed.data(), changed.size());
        for (int field : {0, 1, 2})
            if (P11X509Certificate::parseCertificate(*content, field, out.get())) {
                EXPECT_LE(out->size(), changed.size() - at);
            }
    }
}

TEST(KeyHalves, SecretsAreSensitiveAndAMissingHalfIsUnavailable) {
    amwtest::TestKeyPair pair;
    pair.pkcs11Id = buf<128>(Bytes{0x0B});
    pair.keySize = 1024;
    pair.addPrivateKey(StaticBuffer<128>(), 0x93);
    P11RsaPrivateKey privateKey(&pair);
    CK_ULONG length = 0;
    EXPECT_EQ(outcome([&] { privateKey.getAttributeValue(CKA_PRIME_1, nullptr, &length); }),
              "Attribute type is sensitive and can not be revealed [type=292, CKA_PRIME_1]");
    EXPECT_EQ(length, CK_UNAVAILABLE_INFORMATION);
    // A search template naming a secret fails instead of not matching.
    const Bytes prime(64, 1);
    EXPECT_EQ(outcome([&] {
                  privateKey.compareAttribute(attribute(CKA_PRIME_1, prime.data(), 64));
              }).rfind("Attribute type is sensitive", 0),
              0u);
    EXPECT_EQ(outcome([&] { privateKey.getAttributeValue(CKA_MODULUS, nullptr, &length); }),
              "Invalid attribute type [type=288, CKA_MODULUS]");
    EXPECT_EQ(valueOf(privateKey, CKA_KEY_GEN_MECHANISM),
              p11values::ulongBytes(CK_UNAVAILABLE_INFORMATION));
    EXPECT_EQ(
        outcome([&] { P11RsaPublicKey missing(&pair); }),
        "Null pointer exception <keyPair->getRsaPublicKey()> [P11RsaPublicKey::P11RsaPublicKey() "
        "libpkcs11/src/internal/p11objects/p11RsaPublicKey:34]");
    EXPECT_EQ(outcome([&] { privateKey.setAttributeValue(CKA_SIGN, prime.data(), 1); }),
              "Attribute is read-only [type=264, CKA_SIGN]");
    EXPECT_EQ(outcome([&] { privateKey.setAttributeValue(CKA_ENCRYPT, prime.data(), 1); }),
              "Invalid attribute type [type=260, CKA_ENCRYPT]");
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

TEST(ContainerMap, ClaimsTheFirstRecordNoOneUses) {
    const Bytes id = {0x01, 0x02, 0x03};
    amwtest::TestCertificate onRecord0, onRecord1;
    onRecord1.containerIndex = 1;
    const std::vector<amw::X509Certificate*> none, claimingZero = {&onRecord0},
                                                   claimingOne = {&onRecord1};
    const Bytes used = record("used", 1, 1024, 0), freed(86, 0);
    const struct {
        Bytes map;
        const std::vector<amw::X509Certificate*>* certificates;
        std::uint8_t index;
        std::size_t size;
    } cases[] = {
        {{}, &none, 0, 86},
        {concat({freed, used}), &none, 0, 172},
        {concat({freed, used}), &claimingZero, 2, 258},
        // A certificate made before its key claims the record one past the last.
        {used, &claimingOne, 2, 258},
        {concat({used, Bytes(4, 0xEE)}), &none, 1, 176},  // trailing bytes join the new record
    };
    for (const auto& c : cases) {
        Bytes map = c.map;
        EXPECT_EQ(claimContainerRecord(map, *c.certificates, buf<128>(id)), c.index);
        ASSERT_EQ(map.size(), c.size);
        EXPECT_EQ(Bytes(map.begin() + c.index * 86, map.begin() + c.index * 86 + 86),
                  record(expectedName(id), 1, 0, 0));
        // What stood before the new record stays; records appended on the way are empty.
        const std::size_t kept = std::min<std::size_t>(c.index * 86, c.map.size());
        EXPECT_TRUE(std::equal(map.begin(), map.begin() + kept, c.map.begin()));
        EXPECT_TRUE(std::all_of(map.begin() + kept, map.begin() + c.index * 86,
                                [](std::uint8_t b) { return b == 0; }));
    }
    // A taken name is hashed again: SHA-256 of the whole first digest.
    unsigned char first[SHA256_DIGEST_LENGTH];
    SHA256(id.data(), id.size(), first);
    const Bytes taken = record(expectedName(id), 1, 2048, 0);
    EXPECT_EQ(generateUniqueContainerName(taken.data(), taken.size(), buf<128>(id)),
              expectedName(Bytes(first, first + SHA256_DIGEST_LENGTH)));
    EXPECT_TRUE(isContainerName(taken.data(), expectedName(id)));
    EXPECT_FALSE(isContainerName(taken.data(), expectedName(id).substr(0, 19)));

    // No free record and no room for one: at 65536 bytes, or past what a
    // one-byte container index can name.
    for (std::size_t size : {std::size_t(65536 - 85), std::size_t(256 * 86)}) {
        Bytes map;
        while (map.size() + 86 <= size)
            map.insert(map.end(), used.begin(), used.end());
        map.resize(size, 0xEE);
        EXPECT_EQ(outcome([&] { claimContainerRecord(map, {}, buf<128>(id)); }),
                  "INTERNAL ERROR cannot update cmapfile, no empty container record found");
    }
}

TEST(ContainerMap, KeySizesClearingAndCardcfCounters) {
    Bytes map = concat({record("a", 1, 0, 0), record("b", 1, 0, 0), record("c", 1, 0, 0)});
    EXPECT_EQ(outcome([&] { setContainerKeySize(map, 3, amw::KeyPair::SIGNATURE_KEY, 2048); }),
              "INTERNAL ERROR commitContainerInCmapfile(): cmapfile is not big enought to contain "
              "a record for container with index 3");
    setContainerKeySize(map, 1, amw::KeyPair::SIGNATURE_KEY, 2048);
    setContainerKeySize(map, 1, amw::KeyPair::KEY_EXCHANGE_KEY, 1024);
    EXPECT_EQ(Bytes(map.begin() + 86, map.begin() + 172), record("b", 1, 2048, 1024));
    clearContainerKeySize(map, 1, amw::KeyPair::KEY_EXCHANGE_KEY);
    EXPECT_EQ(Bytes(map.begin() + 86, map.begin() + 172), record("b", 1, 2048, 0));
    clearContainerKeySize(map, 1, amw::KeyPair::SIGNATURE_KEY);
    EXPECT_EQ(map, concat({record("a", 1, 0, 0), Bytes(86, 0), record("c", 1, 0, 0)}));

    Bytes cardcf = {0x07, 0x09, 0xFF, 0xFF, 0x10, 0x00, 0xAA};
    raiseCardcfCounters(cardcf);
    EXPECT_EQ(cardcf, (Bytes{0x07, 0x09, 0x00, 0x00, 0x11, 0x00, 0xAA}));
    Bytes damaged(5, 0);
    EXPECT_EQ(
        outcome([&] { raiseCardcfCounters(damaged); }),
        "INTERNAL ERROR prepareContainerInCmapfile(): cardcf file damaged (has less than 6 bytes)");
}

}  // namespace
