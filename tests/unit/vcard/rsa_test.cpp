// RSA on the card: generation, import, amendment, component export and the
// raw private operation, checked against OpenSSL.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <memory>

#include "cardtest.h"

using namespace cardtest;

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

Bytes param(EVP_PKEY* k, const char* name) {
    BIGNUM* b = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(k, name, &b), 1);
    Bytes out(std::size_t(BN_num_bytes(b)));
    BN_bn2bin(b, out.data());
    BN_free(b);
    return out;
}

Pkey hostKey(int bits) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY_keygen_init(ctx);
    EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, bits);
    EVP_PKEY* k = nullptr;
    EVP_PKEY_generate(ctx, &k);
    EVP_PKEY_CTX_free(ctx);
    return Pkey(k);
}

// x^e mod n, computed on the host.
Bytes publicOp(const Bytes& n, const Bytes& e, const Bytes& x) {
    BN_CTX* ctx = BN_CTX_new();
    BIGNUM* bn = BN_bin2bn(n.data(), int(n.size()), nullptr);
    BIGNUM* be = BN_bin2bn(e.data(), int(e.size()), nullptr);
    BIGNUM* bx = BN_bin2bn(x.data(), int(x.size()), nullptr);
    BIGNUM* r = BN_new();
    BN_mod_exp(r, bx, be, bn, ctx);
    Bytes out(n.size());
    BN_bn2binpad(r, out.data(), int(out.size()));
    BN_free(bn);
    BN_free(be);
    BN_free(bx);
    BN_free(r);
    BN_CTX_free(ctx);
    return out;
}

// A message representative below any 1024-bit modulus.
Bytes representative() {
    Bytes b(128, 0x5A);
    b[0] = 0;
    return b;
}

Bytes createKeyPair(std::uint8_t code, std::uint16_t bits, std::uint8_t container = 0,
                    std::uint8_t keySpec = 1) {
    return apdu(
        0x3E, 0, 1,
        cat(cat(Bytes{code}, be16(bits)),
            cat(be16(0x0023), Bytes{container, keySpec, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})));
}

class RsaTest : public ::testing::Test {
protected:
    void SetUp() override {
        d.select();
        ASSERT_EQ(d.login(1, "123456"), 0x9000);
    }

    // createKeyPair(7) + generateKeyPair + metadata; returns block id and modulus.
    std::pair<std::uint16_t, Bytes> generate(std::uint16_t bits) {
        EXPECT_EQ(d.swOf(createKeyPair(7, bits)), 0x9000);
        Bytes r = d.send(apdu(0x40, 0, 0, hex("01 00 01")));
        EXPECT_EQ(sw(r), 0x9000);
        Bytes modulus = body(r);
        EXPECT_EQ(d.swOf(apdu(0x3C, 0, 0, be16(3))), 0x9000);
        auto [id, s] = d.commitMetadata(hex("02 6B 31"));
        EXPECT_EQ(s, 0x9000);
        return {id, modulus};
    }

    // The private components of `key`, each in its own importComponent.
    void importPrivateHalf(EVP_PKEY* key) {
        const char* names[] = {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2,
                               OSSL_PKEY_PARAM_RSA_EXPONENT1, OSSL_PKEY_PARAM_RSA_EXPONENT2,
                               OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
        for (std::uint8_t c = 1; c <= 5; ++c)
            ASSERT_EQ(d.swOf(apdu(0x42, c, 0, param(key, names[c - 1]))), 0x9000);
    }

    vcard::KalvikCard card{fixedOptions()};
    Driver d{card};
};

TEST_F(RsaTest, ComponentLengthsFollowTheSixCxRule) {
    auto [id, modulus] = generate(1024);
    d.header(id, 27);
    EXPECT_EQ(d.send(hex("80 44 06 00 00")), hex("6C 80"));
    EXPECT_EQ(d.send(hex("80 44 07 00 04")), hex("6C 03"));
    EXPECT_EQ(d.send(hex("80 44 06 00 80")), cat(modulus, hex("90 00")));
    EXPECT_EQ(d.send(hex("80 44 01 00 00")), hex("6A 86"));  // private parts never leave
    auto [id2, modulus2] = generate(2048);
    d.header(id2, 27);
    EXPECT_EQ(d.send(hex("80 44 06 00 00")), cat(modulus2, hex("90 00")));  // 256 bytes at once
}

// A public half imported alone, the private half added by amendment, the
// public one removed again; the header shows the pair's content code,
// container, keySpec and usage. (A whole imported pair and the removal of
// its public half are computed with by the module's integration tests.)
TEST_F(RsaTest, HalvesAreImportedAmendedAndRemoved) {
    Pkey k = hostKey(1024);
    const Bytes n = param(k.get(), OSSL_PKEY_PARAM_RSA_N);
    ASSERT_EQ(d.swOf(createKeyPair(2, 1024, 0xFF, 0)), 0x9000);
    ASSERT_EQ(d.swOf(apdu(0x42, 6, 0, n)), 0x9000);
    ASSERT_EQ(d.swOf(apdu(0x42, 7, 0, hex("01 00 01"))), 0x9000);
    ASSERT_EQ(d.swOf(apdu(0x3C, 0, 0, be16(4))), 0x9000);
    auto [id, s] = d.commitMetadata(hex("01 41 01 50"));
    ASSERT_EQ(s, 0x9000);
    EXPECT_EQ(d.header(id, 27)[22], 2);
    EXPECT_EQ(card.freeKeySlots(), 16u);
    EXPECT_EQ(d.swOf(apdu(0x46, id >> 8, id & 0xFF, {}, 0)), 0x6A88);  // nothing to compute with

    // Add the private half: amendKeypair 6, components, continueAmendKeyPair, metadata.
    ASSERT_EQ(d.swOf(apdu(0x4C, id >> 8, id & 0xFF, {6})), 0x9000);
    EXPECT_EQ(d.swOf(apdu(0x42, 6, 0, n)), 0x6985);  // the public half is there already
    ASSERT_EQ(d.swOf(apdu(0x4C, id >> 8, id & 0xFF, {6})), 0x9000);
    importPrivateHalf(k.get());
    ASSERT_EQ(d.swOf(apdu(0x4E, 3, 1, cat(be16(0x0067), be16(6)))), 0x9000);
    auto [same, s2] = d.commitMetadata(hex("01 41 01 50 01 51"));
    ASSERT_EQ(s2, 0x9000);
    EXPECT_EQ(same, id);
    // Kind, chain end, sizes, blocks, conditions, slot 0, usage, content code,
    // container, keySpec, key size.
    EXPECT_EQ(d.header(id, 27), hex("01 80 00 00 06 00 00 00 00 00 03 01 06 01 06 01 06 "
                                    "00 00 00 00 67 06 03 01 04 00"));
    EXPECT_EQ(card.freeKeySlots(), 15u);
    ASSERT_EQ(d.swOf(apdu(0x46, id >> 8, id & 0xFF, {}, 0)), 0x9000);
    const Bytes r = d.send(apdu(0x4A, 0, 0, representative(), 0x80));
    ASSERT_EQ(sw(r), 0x9000);
    EXPECT_EQ(publicOp(n, hex("01 00 01"), body(r)), representative());

    // An amendment names the content code the pair will have; only the card
    // says "generated" (code 5 and 3 are for generated pairs only).
    const struct {
        std::uint8_t amendment;
        std::uint16_t sw;
    } amendments[] = {{5, 0x6A80}, {3, 0x6A80}, {7, 0x6A80}, {0x0C, 0x6A80},
                      {0, 0x6A80}, {6, 0x6985}, {2, 0x9000}, {4, 0x9000}};
    for (const auto& a : amendments)
        EXPECT_EQ(d.swOf(apdu(0x4C, id >> 8, id & 0xFF, {a.amendment})), a.sw) << int(a.amendment);

    // Remove the public half (the amendment 4 just begun).
    ASSERT_EQ(d.swOf(apdu(0x4E, 0, 1, cat(be16(0x0003), be16(4)))), 0x9000);
    ASSERT_EQ(d.commitMetadata(hex("01 41 01 51")).second, 0x9000);
    EXPECT_EQ(d.header(id, 27)[22], 4);
    EXPECT_EQ(d.send(hex("80 44 06 00 00")), hex("6A 88"));
    // Removing a half of an incomplete pair is refused.
    EXPECT_EQ(d.swOf(apdu(0x4C, id >> 8, id & 0xFF, {2})), 0x6985);
    ASSERT_EQ(d.swOf(apdu(0x10, id >> 8, id & 0xFF, {}, 0)), 0x9000);
    EXPECT_EQ(card.freeKeySlots(), 16u);
}

TEST_F(RsaTest, CryptChainingAndRights) {
    auto [small, m1] = generate(1024);
    auto [big, m2] = generate(2048);
    // 2048 bits need the chained first block; 1024 bits take no chaining.
    ASSERT_EQ(d.swOf(apdu(0x46, big >> 8, big & 0xFF, {}, 0)), 0x9000);
    EXPECT_EQ(d.swOf(apdu(0x4A, 0, 0, Bytes(128, 1), 0)), 0x6985);
    ASSERT_EQ(d.swOf(apdu(0x46, small >> 8, small & 0xFF, {}, 0)), 0x9000);
    EXPECT_EQ(d.swOf(apdu(0x48, 0, 0, Bytes(128, 1), 0)), 0x6985);
    EXPECT_EQ(d.swOf(apdu(0x4A, 0, 0, Bytes(64, 1), 0x80)), 0x6700);
    // Le other than the result length; input not below the modulus.
    EXPECT_EQ(d.send(apdu(0x4A, 0, 0, Bytes(128, 1), 0x40)), hex("6C 80"));
    EXPECT_EQ(d.swOf(apdu(0x4A, 0, 0, Bytes(128, 0xFF), 0x80)), 0x6A80);
    // Without the user no RSA.
    ASSERT_EQ(d.swOf(hex("80 22 01 00 00")), 0x9000);
    EXPECT_EQ(d.swOf(apdu(0x46, small >> 8, small & 0xFF, {}, 0)), 0x6982);
    ASSERT_EQ(d.login(1, "123456"), 0x9000);
    ASSERT_EQ(d.swOf(apdu(0x46, small >> 8, small & 0xFF, {}, 0)), 0x9000);
    ASSERT_EQ(d.swOf(hex("80 22 01 00 00")), 0x9000);
    EXPECT_EQ(d.swOf(apdu(0x4A, 0, 0, Bytes(128, 1), 0x80)),
              0x6982);  // logout after init still counts
}

TEST_F(RsaTest, KeySlotsLimitPrivateKeys) {
    vcard::PersonalisationOptions o = fixedOptions();
    o.keySlots = {vcard::KeySlotSetup{true, 2048}};
    vcard::KalvikCard c(o);
    Driver dd(c);
    dd.select();
    ASSERT_EQ(dd.login(1, "123456"), 0x9000);
    EXPECT_EQ(dd.swOf(createKeyPair(7, 1024)), 0x6F03);        // slot bound to 2048 bits
    EXPECT_EQ(dd.swOf(createKeyPair(2, 1024, 0xFF)), 0x9000);  // public keys need no slot
    ASSERT_EQ(dd.swOf(createKeyPair(7, 2048)), 0x9000);
    ASSERT_EQ(sw(dd.send(apdu(0x40, 0, 0, hex("01 00 01")))), 0x9000);
    ASSERT_EQ(dd.swOf(apdu(0x3C, 0, 0, be16(1))), 0x9000);
    ASSERT_EQ(dd.commitMetadata(hex("00")).second, 0x9000);
    EXPECT_EQ(c.freeKeySlots(), 0u);
    EXPECT_EQ(dd.send(hex("80 06 03 00 00")), hex("90 00"));
    EXPECT_EQ(dd.swOf(createKeyPair(7, 2048)), 0x6F03);
}

TEST_F(RsaTest, ContentCodesAreTheCardsToGive) {
    // A lone half belongs to no container; codes are the card's four.
    const struct {
        Bytes command;
        std::uint16_t sw;
    } creations[] = {
        {createKeyPair(2, 1024, 0x00), 0x6A80}, {createKeyPair(4, 1024, 0x03), 0x6A80},
        {createKeyPair(3, 1024, 0xFF), 0x6A80}, {createKeyPair(5, 1024, 0xFF), 0x6A80},
        {createKeyPair(1, 1024, 0x00), 0x6A80}, {createKeyPair(2, 1024, 0xFF), 0x9000},
        {createKeyPair(4, 1024, 0xFF), 0x9000}, {createKeyPair(6, 1024, 0x00), 0x9000},
    };
    for (const auto& c : creations)
        EXPECT_EQ(d.swOf(c.command), c.sw) << int(c.command[5]) << " " << int(c.command[10]);

    // A generated pair takes the generated codes, and keeps its origin
    // whatever the operation says.
    const std::uint16_t generated = generate(1024).first;
    for (const auto& [amendment, status] :
         {std::pair<std::uint8_t, std::uint16_t>{5, 0x9000}, {3, 0x9000}, {7, 0x6A80}, {4, 0x9000}})
        EXPECT_EQ(d.swOf(apdu(0x4C, generated >> 8, generated & 0xFF, {amendment})), status)
            << int(amendment);
    ASSERT_EQ(d.swOf(apdu(0x4E, 0, 1, cat(be16(0x0003), be16(3)))), 0x9000);
    ASSERT_EQ(d.commitMetadata(hex("02 6B 31")).second, 0x9000);
    EXPECT_EQ(d.header(generated, 27)[22], 5);
}

}  // namespace
