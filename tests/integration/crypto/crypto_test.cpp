// Signing, decryption and key generation through the function list against
// the virtual card: keys generated on the card and keys imported, every
// signature verified and every ciphertext made by OpenSSL.
#include "harness.h"
#include "p11app.h"
#include "p11template.h"
#include "testcerts.h"

#include "vcard/kalvikcard.h"

#include <openssl/sha.h>
#include <winscard.h>

#include <filesystem>
#include <functional>
#include <optional>

namespace {

using Bytes = std::vector<std::uint8_t>;
using testcerts::KeyPtr;

harness::ConfigurationEnvironment* const environment = harness::installConfiguration("");

const char* const READER = "Reader 0";
const std::string USER_PIN = "123456";

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A SHA-256 DigestInfo, what CKM_RSA_PKCS is given to sign.
Bytes digestInfo(const std::string& message) {
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256(reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest.data());
    return Bytes{0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20} +
           digest;
}

// ------------------------------------------------------------ the OpenSSL side

using testcerts::rsaPublicKey;

Bytes encrypt(EVP_PKEY* key, const Bytes& data, int padding = RSA_PKCS1_PADDING) {
    return testcerts::rsaEncrypt(key, data, padding);
}

// PKCS #1 v1.5 verification of a signature over the bytes given (no hashing).
bool verifies(EVP_PKEY* key, const Bytes& signed_, const Bytes& signature) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    const bool ok =
        EVP_PKEY_verify_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) > 0 &&
        EVP_PKEY_verify(ctx, signature.data(), signature.size(), signed_.data(), signed_.size()) ==
            1;
    EVP_PKEY_CTX_free(ctx);
    return ok;
}

// ----------------------------------------------------------------- the module side

struct KeyHandles {
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
};

Template generationPublic(CK_ULONG bits, const Bytes& id) {
    Template t;
    t.ulong(CKA_CLASS, CKO_PUBLIC_KEY).ulong(CKA_MODULUS_BITS, bits);
    t.flag(CKA_VERIFY, true).flag(CKA_ENCRYPT, true).text(CKA_LABEL, "crypto test");
    if (!id.empty())
        t.add(CKA_ID, id);
    return t;
}
Template generationPrivate(const Bytes& id, bool signOnly = false) {
    Template t;
    t.ulong(CKA_CLASS, CKO_PRIVATE_KEY).flag(CKA_SIGN, true).flag(CKA_DECRYPT, !signOnly);
    if (!id.empty())
        t.add(CKA_ID, id);
    return t;
}

class CryptoTest : public harness::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        std::filesystem::remove_all(environment->cacheDirectory());
        svc.addReader(READER);
        card = std::make_shared<vcard::KalvikCard>();
        svc.insertCard(READER, cardDevice(card));
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
        ASSERT_EQ(p11app::openSession(f, &session), CKR_OK);
        ASSERT_EQ(p11app::login(f, session, CKU_USER, USER_PIN), CKR_OK);
    }
    virtual std::shared_ptr<vcard::CardDevice> cardDevice(std::shared_ptr<vcard::KalvikCard> c) {
        return c;
    }

    CK_RV generate(Template pub, Template priv, KeyHandles* keys,
                   CK_MECHANISM_TYPE type = CKM_RSA_PKCS_KEY_PAIR_GEN) {
        CK_MECHANISM mechanism{type, nullptr, 0};
        return f->C_GenerateKeyPair(session, &mechanism, pub.data(), pub.count(), priv.data(),
                                    priv.count(), &keys->publicKey, &keys->privateKey);
    }
    KeyHandles generated(CK_ULONG bits, const Bytes& id) {
        KeyHandles keys;
        EXPECT_EQ(generate(generationPublic(bits, id), generationPrivate(id), &keys), CKR_OK);
        return keys;
    }
    // An OpenSSL key put on the card: the private half, then the public one
    // that completes the pair.
    KeyHandles imported(EVP_PKEY* key, const Bytes& id) {
        const testcerts::RsaComponents c = testcerts::rsaComponents(key);
        Template priv, pub;
        priv.ulong(CKA_CLASS, CKO_PRIVATE_KEY).ulong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, id);
        priv.add(CKA_MODULUS, c.n).add(CKA_PUBLIC_EXPONENT, c.e).add(CKA_PRIME_1, c.p);
        priv.add(CKA_PRIME_2, c.q).add(CKA_EXPONENT_1, c.dp).add(CKA_EXPONENT_2, c.dq);
        priv.add(CKA_COEFFICIENT, c.inv).flag(CKA_SIGN, true).flag(CKA_DECRYPT, true);
        pub.ulong(CKA_CLASS, CKO_PUBLIC_KEY).ulong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, id);
        pub.add(CKA_MODULUS, c.n).add(CKA_PUBLIC_EXPONENT, c.e);
        KeyHandles keys;
        EXPECT_EQ(f->C_CreateObject(session, priv.data(), priv.count(), &keys.privateKey), CKR_OK);
        EXPECT_EQ(f->C_CreateObject(session, pub.data(), pub.count(), &keys.publicKey), CKR_OK);
        return keys;
    }
    Bytes attribute(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        EXPECT_EQ(f->C_GetAttributeValue(session, h, &a, 1), CKR_OK);
        Bytes value(a.ulValueLen);
        a.pValue = value.data();
        EXPECT_EQ(f->C_GetAttributeValue(session, h, &a, 1), CKR_OK);
        return value;
    }
    // The public key as the card gives it.
    KeyPtr publicKey(CK_OBJECT_HANDLE h) {
        return rsaPublicKey(attribute(h, CKA_MODULUS), attribute(h, CKA_PUBLIC_EXPONENT));
    }

    CK_RV signInit(CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE type = CKM_RSA_PKCS) {
        CK_MECHANISM mechanism{type, nullptr, 0};
        return f->C_SignInit(session, &mechanism, key);
    }
    CK_RV decryptInit(CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE type = CKM_RSA_PKCS) {
        CK_MECHANISM mechanism{type, nullptr, 0};
        return f->C_DecryptInit(session, &mechanism, key);
    }
    // Both single-part calls the way applications make them: the length
    // first, then the output.
    CK_RV sign(const Bytes& data, Bytes* signature) {
        CK_ULONG length = 0;
        CK_RV rv =
            f->C_Sign(session, const_cast<CK_BYTE*>(data.data()), data.size(), nullptr, &length);
        if (rv != CKR_OK)
            return rv;
        signature->assign(length, 0);
        rv = f->C_Sign(session, const_cast<CK_BYTE*>(data.data()), data.size(), signature->data(),
                       &length);
        signature->resize(length);
        return rv;
    }
    CK_RV decrypt(const Bytes& encrypted, Bytes* data) {
        CK_ULONG length = 0;
        CK_RV rv = f->C_Decrypt(session, const_cast<CK_BYTE*>(encrypted.data()), encrypted.size(),
                                nullptr, &length);
        if (rv != CKR_OK)
            return rv;
        data->assign(length, 0);
        rv = f->C_Decrypt(session, const_cast<CK_BYTE*>(encrypted.data()), encrypted.size(),
                          data->data(), &length);
        data->resize(length);
        return rv;
    }

    // The instruction bytes of the commands sent while `call` runs.
    std::vector<std::uint8_t> instructions(const std::function<void()>& call) {
        svc.clearTrace(READER);
        call();
        std::vector<std::uint8_t> out;
        for (const testpcsc::Exchange& e : svc.trace(READER))
            out.push_back(e.command[1]);
        return out;
    }

    std::shared_ptr<vcard::KalvikCard> card;
    CK_SESSION_HANDLE session = 0;
};

constexpr std::uint8_t INS_CRYPT_INIT = 0x46, INS_CRYPT = 0x48, INS_CRYPT_FINAL = 0x4A;
bool isCrypt(std::uint8_t ins) {
    return ins == INS_CRYPT_INIT || ins == INS_CRYPT || ins == INS_CRYPT_FINAL;
}

// ------------------------------------------------------------------ round trips

struct KeyCase {
    const char* name;
    CK_ULONG bits;
    bool generatedOnCard;
};

class RoundTrip : public CryptoTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(RoundTrip, SignaturesVerifyAndOpenSslCiphertextsDecrypt) {
    const KeyCase& c = GetParam();
    const Bytes id = {0x5A, static_cast<std::uint8_t>(c.bits >> 8)};
    KeyPtr original;
    KeyHandles keys;
    if (c.generatedOnCard) {
        keys = generated(c.bits, id);
    } else {
        original = testcerts::rsaKey(static_cast<unsigned>(c.bits));
        keys = imported(original.get(), id);
    }
    ASSERT_NE(keys.privateKey, 0u);
    KeyPtr key = publicKey(keys.publicKey);
    ASSERT_EQ(EVP_PKEY_get_bits(key.get()), static_cast<int>(c.bits));
    if (original) {
        EXPECT_EQ(EVP_PKEY_eq(key.get(), original.get()), 1);
    }
    const std::size_t k = c.bits / 8;

    for (const std::string message : {"first message", "second message"}) {
        Bytes signature;
        ASSERT_EQ(signInit(keys.privateKey), CKR_OK);
        ASSERT_EQ(sign(digestInfo(message), &signature), CKR_OK);
        ASSERT_EQ(signature.size(), k);
        EXPECT_TRUE(verifies(key.get(), digestInfo(message), signature)) << message;
        EXPECT_FALSE(verifies(key.get(), digestInfo(message + "!"), signature));
    }
    // The longest data the block takes.
    const Bytes longest(k - 11, 0x77);
    Bytes signature;
    ASSERT_EQ(signInit(keys.privateKey), CKR_OK);
    ASSERT_EQ(sign(longest, &signature), CKR_OK);
    EXPECT_TRUE(verifies(key.get(), longest, signature));

    for (const Bytes& secret : {bytes("a secret"), Bytes(k - 11, 0x00), Bytes{0x42}}) {
        Bytes plain;
        ASSERT_EQ(decryptInit(keys.privateKey), CKR_OK);
        ASSERT_EQ(decrypt(encrypt(key.get(), secret), &plain), CKR_OK);
        EXPECT_EQ(plain, secret);
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, RoundTrip,
                         ::testing::Values(KeyCase{"Generated1024", 1024, true},
                                           KeyCase{"Generated2048", 2048, true},
                                           KeyCase{"Imported1024", 1024, false},
                                           KeyCase{"Imported2048", 2048, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// --------------------------------------------------- length queries and short buffers

// Signing and decryption initialised side by side: a length query and a short
// buffer keep each operation, the answer ends it.
TEST_F(CryptoTest, LengthQueryAndShortBufferKeepTheOperation) {
    const KeyHandles keys = generated(2048, {0x01});
    KeyPtr key = publicKey(keys.publicKey);
    Bytes data = digestInfo("two calls");
    Bytes encrypted = encrypt(key.get(), bytes("plain text"));
    ASSERT_EQ(signInit(keys.privateKey), CKR_OK);
    ASSERT_EQ(decryptInit(keys.privateKey), CKR_OK);
    using Call = std::function<CK_RV(CK_BYTE*, CK_ULONG*)>;
    const Call calls[] = {[&](CK_BYTE* out, CK_ULONG* length) {
                              return f->C_Sign(session, data.data(), data.size(), out, length);
                          },
                          [&](CK_BYTE* out, CK_ULONG* length) {
                              return f->C_Decrypt(session, encrypted.data(), encrypted.size(), out,
                                                  length);
                          }};
    std::vector<Bytes> results;
    for (const Call& call : calls) {
        CK_ULONG length = 0;
        EXPECT_EQ(call(nullptr, &length), CKR_OK);
        EXPECT_EQ(length, 256u) << "the modulus length, an upper bound for a message";
        Bytes out(256, 0xEE);
        length = 255;
        EXPECT_EQ(call(out.data(), &length), CKR_BUFFER_TOO_SMALL);
        EXPECT_EQ(length, 256u);
        EXPECT_EQ(out, Bytes(256, 0xEE));
        EXPECT_EQ(call(out.data(), &length), CKR_OK);
        results.emplace_back(out.begin(), out.begin() + length);
        EXPECT_EQ(call(out.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
    }
    EXPECT_TRUE(verifies(key.get(), data, results[0]));
    EXPECT_EQ(results[1], bytes("plain text"));
}

// ------------------------------------------------------------------------ refusals

TEST_F(CryptoTest, RefusedInitialisations) {
    const KeyHandles keys = generated(1024, {0x05});
    CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
    CK_MECHANISM sha1{CKM_SHA1_RSA_PKCS, nullptr, 0};
    struct Case {
        const char* what;
        std::function<CK_RV()> call;
        CK_RV rv;
    };
    const Case cases[] = {
        {"no mechanism", [&] { return f->C_SignInit(session, nullptr, keys.privateKey); },
         CKR_ARGUMENTS_BAD},
        {"hashing mechanism", [&] { return f->C_DecryptInit(session, &sha1, keys.privateKey); },
         CKR_MECHANISM_INVALID},
        {"mechanism before the session",
         [&] { return f->C_SignInit(session + 99, &sha1, keys.privateKey); },
         CKR_MECHANISM_INVALID},
        {"public key", [&] { return f->C_SignInit(session, &rsa, keys.publicKey); },
         CKR_KEY_TYPE_INCONSISTENT},
        {"unknown key", [&] { return f->C_DecryptInit(session, &rsa, keys.privateKey + 99); },
         CKR_OBJECT_HANDLE_INVALID},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.call(), c.rv) << c.what;
    // None of them started an operation.
    Bytes out;
    EXPECT_EQ(sign(digestInfo("x"), &out), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(decrypt(Bytes(128, 1), &out), CKR_OPERATION_NOT_INITIALIZED);
}

// Refused data, a wrong length and a bad padding keep the operation.
TEST_F(CryptoTest, FailuresKeepTheOperation) {
    const KeyHandles keys = generated(2048, {0x07});
    KeyPtr key = publicKey(keys.publicKey);
    ASSERT_EQ(signInit(keys.privateKey), CKR_OK);
    ASSERT_EQ(decryptInit(keys.privateKey), CKR_OK);
    Bytes out(256), tooLong(246, 0x11), short_(255, 0x01);
    CK_ULONG length = out.size();
    EXPECT_EQ(f->C_Sign(session, tooLong.data(), tooLong.size(), out.data(), &length),
              CKR_DATA_LEN_RANGE);
    EXPECT_EQ(f->C_Decrypt(session, short_.data(), short_.size(), out.data(), &length),
              CKR_ENCRYPTED_DATA_LEN_RANGE);
    // A block of type 1, and one whose padding string is too short.
    const Bytes type1 = Bytes{0x00, 0x01} + Bytes(244, 0xFF) + Bytes{0x00} + Bytes(9, 0x33);
    const Bytes shortPadding = Bytes{0x00, 0x02} + Bytes(7, 0x5C) + Bytes{0x00} + Bytes(246, 0x33);
    for (const Bytes& block : {type1, shortPadding}) {
        Bytes encrypted = encrypt(key.get(), block, RSA_NO_PADDING);
        EXPECT_EQ(f->C_Decrypt(session, encrypted.data(), encrypted.size(), out.data(), &length),
                  CKR_ENCRYPTED_DATA_INVALID);
        EXPECT_EQ(length, 256u) << "nothing written on a padding failure";
    }
    // C_DecryptFinal is not offered, even now.
    EXPECT_EQ(f->C_DecryptFinal(session, out.data(), &length), CKR_FUNCTION_NOT_SUPPORTED);
    tooLong.pop_back();
    Bytes plain;
    ASSERT_EQ(sign(tooLong, &out), CKR_OK);
    EXPECT_TRUE(verifies(key.get(), tooLong, out));
    ASSERT_EQ(decrypt(encrypt(key.get(), bytes("after the failures")), &plain), CKR_OK);
    EXPECT_EQ(plain, bytes("after the failures"));
}

// ---------------------------------------------------------------------- generation

TEST_F(CryptoTest, GeneratedPairDescribesItself) {
    const KeyHandles keys = generated(2048, {0x09});
    auto ul = [](CK_ULONG v) {
        Bytes b(sizeof v);
        std::memcpy(b.data(), &v, sizeof v);
        return b;
    };
    struct Expected {
        CK_OBJECT_HANDLE object;
        CK_ATTRIBUTE_TYPE type;
        Bytes value;
    };
    const Expected expected[] = {
        {keys.publicKey, CKA_MODULUS_BITS, ul(2048)},
        {keys.publicKey, CKA_PUBLIC_EXPONENT, Bytes{0x01, 0x00, 0x01}},
        {keys.publicKey, CKA_LOCAL, Bytes{CK_TRUE}},
        {keys.privateKey, CKA_KEY_GEN_MECHANISM, ul(CKM_RSA_PKCS_KEY_PAIR_GEN)},
        {keys.publicKey, CKA_LABEL, bytes("crypto test")},
        // Each half's usage from its own template.
        {keys.publicKey, CKA_VERIFY, Bytes{CK_TRUE}},
        {keys.publicKey, CKA_WRAP, Bytes{CK_FALSE}},
        {keys.privateKey, CKA_DECRYPT, Bytes{CK_TRUE}},
        {keys.privateKey, CKA_UNWRAP, Bytes{CK_FALSE}},
    };
    for (const Expected& e : expected)
        EXPECT_EQ(attribute(e.object, e.type), e.value) << "attribute 0x" << std::hex << e.type;
}

// Which identifier a new pair gets; an empty CKA_ID names nothing.
TEST_F(CryptoTest, GeneratedPairIdentifier) {
    struct Case {
        std::optional<Bytes> publicId, privateId;
        Bytes expected;  // empty: one the token makes
    };
    const Case cases[] = {
        {Bytes{0xB1}, Bytes{0xB1}, {0xB1}},
        {std::nullopt, Bytes{0xB2}, {0xB2}},
        {Bytes{0xB3}, std::nullopt, {0xB3}},
        {Bytes{}, Bytes{0xB4}, {0xB4}},
        {Bytes{}, Bytes{}, {}},
    };
    for (const Case& c : cases) {
        Template pub = generationPublic(1024, {}), priv = generationPrivate({});
        if (c.publicId)
            pub.add(CKA_ID, *c.publicId);
        if (c.privateId)
            priv.add(CKA_ID, *c.privateId);
        KeyHandles keys;
        ASSERT_EQ(generate(std::move(pub), std::move(priv), &keys), CKR_OK);
        const Bytes id = attribute(keys.privateKey, CKA_ID);
        if (c.expected.empty())
            EXPECT_EQ(id.size(), 16u);
        else
            EXPECT_EQ(id, c.expected);
        EXPECT_EQ(attribute(keys.publicKey, CKA_ID), id);
    }
}

// The container map names the new key's container after its identifier and
// records its size under its keySpec.
TEST_F(CryptoTest, GeneratedPairGetsAContainer) {
    struct Case {
        Bytes id;
        bool signOnly;
        CK_ULONG bits;
    };
    const Case cases[] = {{{0xA1}, false, 2048}, {{0xA2, 0xB2}, true, 1024}};
    for (std::size_t i = 0; i < 2; ++i) {
        const Case& c = cases[i];
        KeyHandles keys;
        ASSERT_EQ(
            generate(generationPublic(c.bits, c.id), generationPrivate(c.id, c.signOnly), &keys),
            CKR_OK);
        const Bytes map = card->fileContent("mscp/cmapfile").value_or(Bytes{});
        ASSERT_EQ(map.size(), 86 * (i + 1));
        const std::uint8_t* record = map.data() + 86 * i;
        Bytes digest(SHA256_DIGEST_LENGTH);
        SHA256(c.id.data(), c.id.size(), digest.data());
        static const char hex[] = "0123456789abcdef";
        for (std::size_t j = 0; j < 20; ++j) {
            const char expected = hex[(digest[j / 2] >> (j % 2 ? 0 : 4)) & 0x0F];
            EXPECT_EQ(record[2 * j], expected) << "name character " << j;
            EXPECT_EQ(record[2 * j + 1], 0);
        }
        EXPECT_EQ(record[40], 0);
        EXPECT_EQ(record[80], 1) << "valid container";
        const std::uint16_t signature = record[82] | record[83] << 8;
        const std::uint16_t exchange = record[84] | record[85] << 8;
        EXPECT_EQ(signature, c.signOnly ? c.bits : 0);
        EXPECT_EQ(exchange, c.signOnly ? 0 : c.bits);
    }
}

TEST_F(CryptoTest, RefusedGenerationsLeaveTheCardAsItWas) {
    generated(1024, {0x0E});
    Template noBits;
    noBits.ulong(CKA_CLASS, CKO_PUBLIC_KEY).add(CKA_ID, {0x10});
    struct Case {
        const char* what;
        std::function<CK_RV(KeyHandles*)> call;
        CK_RV rv;
    };
    const Case cases[] = {
        {"different identifiers",
         [&](KeyHandles* k) {
             return generate(generationPublic(1024, {0x11}), generationPrivate({0x12}), k);
         },
         CKR_TEMPLATE_INCONSISTENT},
        {"identifier of a key on the card",
         [&](KeyHandles* k) {
             return generate(generationPublic(1024, {0x0E}), generationPrivate({}), k);
         },
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"4096 bits",
         [&](KeyHandles* k) {
             return generate(generationPublic(4096, {0x13}), generationPrivate({0x13}), k);
         },
         CKR_ATTRIBUTE_VALUE_INVALID},
        {"no CKA_MODULUS_BITS",
         [&](KeyHandles* k) { return generate(std::move(noBits), generationPrivate({}), k); },
         CKR_TEMPLATE_INCOMPLETE},
        {"another mechanism",
         [&](KeyHandles* k) {
             return generate(generationPublic(1024, {0x14}), generationPrivate({}), k,
                             CKM_RSA_PKCS);
         },
         CKR_MECHANISM_INVALID},
    };
    const Bytes image = card->serialize();
    for (const Case& c : cases) {
        KeyHandles keys;
        EXPECT_EQ(c.call(&keys), c.rv) << c.what;
        EXPECT_EQ(keys.privateKey, 0u) << c.what;
    }
    EXPECT_TRUE(card->serialize() == image) << "the card changed";
}

// --------------------------------------------------------------------- APDU counts

// A 2048-bit block goes to the card in two chained commands.
TEST_F(CryptoTest, SignAndDecryptChainTheBlock) {
    const KeyHandles keys = generated(2048, {0x20});
    KeyPtr key = publicKey(keys.publicKey);
    ASSERT_EQ(signInit(keys.privateKey), CKR_OK);
    ASSERT_EQ(decryptInit(keys.privateKey), CKR_OK);
    Bytes data = digestInfo("count"), out(256);
    Bytes encrypted = encrypt(key.get(), bytes("count"));
    CK_ULONG length = out.size();
    const auto signing = instructions([&] {
        ASSERT_EQ(f->C_Sign(session, data.data(), data.size(), out.data(), &length), CKR_OK);
    });
    length = out.size();
    const auto decryption = instructions([&] {
        ASSERT_EQ(f->C_Decrypt(session, encrypted.data(), encrypted.size(), out.data(), &length),
                  CKR_OK);
    });
    auto cryptPart = [](const std::vector<std::uint8_t>& ins) {
        std::vector<std::uint8_t> part;
        for (std::uint8_t i : ins)
            if (isCrypt(i))
                part.push_back(i);
        return part;
    };
    const std::vector<std::uint8_t> twoBlocks = {INS_CRYPT_INIT, INS_CRYPT, INS_CRYPT_FINAL};
    EXPECT_EQ(cryptPart(signing), twoBlocks);
    EXPECT_EQ(cryptPart(decryption), twoBlocks);
}

// ----------------------------------------------------------------- oversized keys

// A card whose key pair headers claim 4096 bits once asked to, as a card
// written by other software could.
class OversizeCard : public vcard::CardDevice {
public:
    explicit OversizeCard(std::shared_ptr<vcard::KalvikCard> card) : card_(std::move(card)) {}
    vcard::Bytes atr() const override { return card_->atr(); }
    void powerOn() override { card_->powerOn(); }
    void powerOff() override { card_->powerOff(); }
    void reset() override { card_->reset(); }
    vcard::Bytes transmit(const vcard::Bytes& command) override {
        vcard::Bytes response = card_->transmit(command);
        // The key size field of a key pair header (beginReadMetadata).
        if (oversize && command.size() >= 4 && command[1] == 0x18 &&
            isKeyPair(command[2] << 8 | command[3]) && response.size() == 27 + 2) {
            response[25] = 0x10;
            response[26] = 0x00;
        }
        return response;
    }
    bool oversize = false;

private:
    bool isKeyPair(int blockId) const {
        for (const vcard::ObjectSummary& o : card_->objects())
            if (o.chain == vcard::Chain::KEY_PAIRS && o.blockId == blockId)
                return true;
        return false;
    }
    std::shared_ptr<vcard::KalvikCard> card_;
};

class OversizeTest : public CryptoTest {
protected:
    std::shared_ptr<vcard::CardDevice> cardDevice(std::shared_ptr<vcard::KalvikCard> c) override {
        device = std::make_shared<OversizeCard>(c);
        return device;
    }
    std::shared_ptr<OversizeCard> device;
};

TEST_F(OversizeTest, KeyBeyondTheBlockIsRefusedBeforeTheCardComputes) {
    const KeyHandles keys = generated(2048, {0x30});
    KeyPtr key = publicKey(keys.publicKey);
    // The lists come from the card again, with the larger size.
    device->oversize = true;
    std::filesystem::remove_all(environment->cacheDirectory());
    ASSERT_EQ(signInit(keys.privateKey), CKR_OK);
    ASSERT_EQ(decryptInit(keys.privateKey), CKR_OK);
    Bytes data = digestInfo("too big"), out(512, 0xEE);
    Bytes encrypted = encrypt(key.get(), bytes("too big"));
    CK_ULONG length = out.size();
    const auto sent = instructions([&] {
        EXPECT_EQ(f->C_Sign(session, data.data(), data.size(), nullptr, &length),
                  CKR_FUNCTION_FAILED);
        EXPECT_EQ(f->C_Sign(session, data.data(), data.size(), out.data(), &length),
                  CKR_FUNCTION_FAILED);
        EXPECT_EQ(f->C_Decrypt(session, encrypted.data(), 512, out.data(), &length),
                  CKR_FUNCTION_FAILED);
    });
    EXPECT_EQ(length, 512u);
    EXPECT_EQ(out, Bytes(512, 0xEE));
    for (std::uint8_t i : sent)
        EXPECT_FALSE(isCrypt(i)) << "the card was asked to compute";
    // The same pair at its real size works again.
    device->oversize = false;
    std::filesystem::remove_all(environment->cacheDirectory());
    Bytes signature;
    ASSERT_EQ(sign(data, &signature), CKR_OK);
    EXPECT_TRUE(verifies(key.get(), data, signature));
}

}  // namespace
