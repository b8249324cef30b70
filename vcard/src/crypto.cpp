#include "crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <memory>
#include <string>

namespace vcard::crypto {
namespace {

struct BnFree {
    void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
struct CtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
struct PkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
using BnCtx = std::unique_ptr<BN_CTX, CtxFree>;

[[noreturn]] void fail(const char* what) {
    unsigned long code = ERR_get_error();
    char buf[256] = "";
    if (code != 0)
        ERR_error_string_n(code, buf, sizeof buf);
    ERR_clear_error();
    throw CryptoError(std::string(what) + (code ? std::string(": ") + buf : std::string()));
}

Bn newBn() {
    Bn b(BN_new());
    if (!b)
        fail("BN_new");
    return b;
}

Bn fromBytes(const Bytes& v) {
    Bn b(BN_bin2bn(v.data(), int(v.size()), nullptr));
    if (!b)
        fail("BN_bin2bn");
    return b;
}

Bytes toBytes(const BIGNUM* b) {
    Bytes out(std::size_t(BN_num_bytes(b)));
    if (!out.empty())
        BN_bn2bin(b, out.data());
    return out;
}

Bytes toBytesPadded(const BIGNUM* b, std::size_t length) {
    Bytes out(length);
    if (BN_bn2binpad(b, out.data(), int(length)) < 0)
        fail("BN_bn2binpad");
    return out;
}

BnCtx newCtx() {
    BnCtx c(BN_CTX_new());
    if (!c)
        fail("BN_CTX_new");
    return c;
}

Bytes pkeyParam(EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1)
        fail("EVP_PKEY_get_bn_param");
    Bn b(raw);
    return toBytes(b.get());
}

}  // namespace

void randomBytes(std::uint8_t* out, std::size_t n) {
    if (n == 0)
        return;
    if (RAND_bytes(out, int(n)) != 1)
        fail("RAND_bytes");
}

RsaKey generate(unsigned bits, const Bytes& exponent) {
    Bn e = fromBytes(exponent);
    if (!BN_is_odd(e.get()) || BN_is_one(e.get()))
        throw CryptoError("public exponent must be odd and above 1");
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(
        EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    if (!ctx)
        fail("EVP_PKEY_CTX_new_from_name");
    if (EVP_PKEY_keygen_init(ctx.get()) != 1)
        fail("EVP_PKEY_keygen_init");
    if (EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), int(bits)) != 1)
        fail("EVP_PKEY_CTX_set_rsa_keygen_bits");
    if (EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) != 1)
        fail("EVP_PKEY_CTX_set1_rsa_keygen_pubexp");
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &raw) != 1)
        fail("EVP_PKEY_generate");
    std::unique_ptr<EVP_PKEY, PkeyFree> key(raw);
    RsaKey k;
    k.n = pkeyParam(key.get(), OSSL_PKEY_PARAM_RSA_N);
    k.e = pkeyParam(key.get(), OSSL_PKEY_PARAM_RSA_E);
    k.p = pkeyParam(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR1);
    k.q = pkeyParam(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR2);
    k.dp = pkeyParam(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1);
    k.dq = pkeyParam(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2);
    k.inv = pkeyParam(key.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    return k;
}

std::optional<Bytes> privateOperation(const RsaKey& key, const Bytes& input,
                                      std::size_t outLength) {
    BnCtx ctx = newCtx();
    Bn p = fromBytes(key.p), q = fromBytes(key.q);
    Bn dp = fromBytes(key.dp), dq = fromBytes(key.dq), inv = fromBytes(key.inv);
    BN_set_flags(dp.get(), BN_FLG_CONSTTIME);
    BN_set_flags(dq.get(), BN_FLG_CONSTTIME);
    Bn c = fromBytes(input);
    Bn n = newBn();
    if (BN_mul(n.get(), p.get(), q.get(), ctx.get()) != 1)
        fail("BN_mul");
    if (BN_is_zero(p.get()) || BN_is_zero(q.get()) || BN_cmp(c.get(), n.get()) >= 0)
        return std::nullopt;

    Bn cp = newBn(), cq = newBn(), m1 = newBn(), m2 = newBn(), h = newBn(), m = newBn();
    if (BN_nnmod(cp.get(), c.get(), p.get(), ctx.get()) != 1 ||
        BN_nnmod(cq.get(), c.get(), q.get(), ctx.get()) != 1)
        fail("BN_nnmod");
    if (BN_mod_exp_mont_consttime(m1.get(), cp.get(), dp.get(), p.get(), ctx.get(), nullptr) != 1 ||
        BN_mod_exp_mont_consttime(m2.get(), cq.get(), dq.get(), q.get(), ctx.get(), nullptr) != 1)
        fail("BN_mod_exp_mont_consttime");
    // h = inv * (m1 - m2) mod p; m = m2 + h * q
    if (BN_mod_sub(h.get(), m1.get(), m2.get(), p.get(), ctx.get()) != 1)
        fail("BN_mod_sub");
    if (BN_mod_mul(h.get(), h.get(), inv.get(), p.get(), ctx.get()) != 1)
        fail("BN_mod_mul");
    if (BN_mul(m.get(), h.get(), q.get(), ctx.get()) != 1)
        fail("BN_mul");
    if (BN_add(m.get(), m.get(), m2.get()) != 1)
        fail("BN_add");
    if (std::size_t(BN_num_bytes(m.get())) > outLength)
        return std::nullopt;
    return toBytesPadded(m.get(), outLength);
}

Bytes publicOperation(const Bytes& n, const Bytes& e, const Bytes& input, std::size_t outLength) {
    BnCtx ctx = newCtx();
    Bn bn = fromBytes(n), be = fromBytes(e), c = fromBytes(input), r = newBn();
    if (BN_mod_exp(r.get(), c.get(), be.get(), bn.get(), ctx.get()) != 1)
        fail("BN_mod_exp");
    return toBytesPadded(r.get(), outLength);
}

Bytes product(const Bytes& p, const Bytes& q) {
    BnCtx ctx = newCtx();
    Bn bp = fromBytes(p), bq = fromBytes(q), n = newBn();
    if (BN_mul(n.get(), bp.get(), bq.get(), ctx.get()) != 1)
        fail("BN_mul");
    return toBytes(n.get());
}

bool consistent(const RsaKey& key) {
    Bn n = fromBytes(key.n);
    Bytes pq = product(key.p, key.q);
    Bn bpq = fromBytes(pq);
    if (BN_cmp(n.get(), bpq.get()) != 0)
        return false;
    const std::size_t len = key.n.size();
    Bytes probe(len > 1 ? len - 1 : 1, 0x5A);
    probe[0] = 0x01;
    Bytes c = publicOperation(key.n, key.e, probe, len);
    auto m = privateOperation(key, c, len);
    if (!m)
        return false;
    Bn got = fromBytes(*m), want = fromBytes(probe);
    return BN_cmp(got.get(), want.get()) == 0;
}

std::array<std::uint8_t, 8> tripleDesEncrypt(const Bytes& key24,
                                             const std::array<std::uint8_t, 8>& block) {
    if (key24.size() != 24)
        throw CryptoError("3DES key must have 24 bytes");
    std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        fail("EVP_CIPHER_CTX_new");
    if (EVP_EncryptInit_ex(ctx.get(), EVP_des_ede3_ecb(), nullptr, key24.data(), nullptr) != 1)
        fail("EVP_EncryptInit_ex");
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    std::array<std::uint8_t, 8> out{};
    int len = 0, tail = 0;
    if (EVP_EncryptUpdate(ctx.get(), out.data(), &len, block.data(), 8) != 1 || len != 8)
        fail("EVP_EncryptUpdate");
    if (EVP_EncryptFinal_ex(ctx.get(), out.data() + len, &tail) != 1 || tail != 0)
        fail("EVP_EncryptFinal_ex");
    return out;
}

std::array<std::uint8_t, 32> sha256(const std::uint8_t* data, std::size_t n) {
    std::array<std::uint8_t, 32> out{};
    unsigned int len = 0;
    if (EVP_Digest(data, n, out.data(), &len, EVP_sha256(), nullptr) != 1 || len != 32)
        fail("EVP_Digest");
    return out;
}

}  // namespace vcard::crypto
