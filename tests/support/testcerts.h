#pragma once
// Real DER certificates and RSA keys made with OpenSSL for tests, with the
// pieces a card object is expected to cut out of them.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace testcerts {

using Bytes = std::vector<std::uint8_t>;

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;

template <class T>
Bytes encode(int (*i2d)(const T*, unsigned char**), const T* value) {
    unsigned char* out = nullptr;
    const int n = i2d(value, &out);
    if (n < 0)
        throw std::runtime_error("DER encoding failed");
    Bytes b(out, out + n);
    OPENSSL_free(out);
    return b;
}

inline KeyPtr rsaKey(unsigned bits) {
    KeyPtr key(EVP_RSA_gen(bits));
    if (!key)
        throw std::runtime_error("RSA key generation failed");
    return key;
}

// A private key from a PEM file.
inline KeyPtr loadKey(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        throw std::runtime_error("cannot open " + path);
    KeyPtr key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
    std::fclose(file);
    if (!key)
        throw std::runtime_error("no private key in " + path);
    return key;
}

// One RSA parameter, big-endian without leading zeros.
inline Bytes rsaParam(const EVP_PKEY* key, const char* name) {
    BIGNUM* bn = nullptr;
    if (!EVP_PKEY_get_bn_param(key, name, &bn))
        throw std::runtime_error(std::string("no RSA parameter ") + name);
    Bytes b(static_cast<std::size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, b.data());
    BN_free(bn);
    return b;
}

struct RsaComponents {
    Bytes n, e, p, q, dp, dq, inv;
};

inline RsaComponents rsaComponents(const EVP_PKEY* key) {
    return {rsaParam(key, OSSL_PKEY_PARAM_RSA_N),
            rsaParam(key, OSSL_PKEY_PARAM_RSA_E),
            rsaParam(key, OSSL_PKEY_PARAM_RSA_FACTOR1),
            rsaParam(key, OSSL_PKEY_PARAM_RSA_FACTOR2),
            rsaParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT1),
            rsaParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT2),
            rsaParam(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1)};
}

// A signed certificate, its DER and the serial number, issuer and subject
// with their tags and lengths.
struct Certificate {
    Bytes der, serial, issuer, subject;
};

struct CertificateOptions {
    bool version3 = true;
    // Bytes of an opaque extension (version 3 only); with `totalSize` it is
    // grown until the DER has exactly that size.
    std::size_t padding = 0;
    std::size_t totalSize = 0;
};

inline Certificate makeCertificate(const EVP_PKEY* key, const CertificateOptions& options = {}) {
    auto build = [&](std::size_t padding) {
        X509Ptr cert(X509_new());
        X509_set_version(cert.get(), options.version3 ? 2 : 0);
        BIGNUM* bn = nullptr;
        BN_hex2bn(&bn, "00C0FFEE0123456789ABCDEF0123456789");
        BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
        BN_free(bn);
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
        X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Jana Dvorakova"), -1, -1,
                                   0);
        X509_NAME_add_entry_by_txt(X509_get_issuer_name(cert.get()), "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Issuing CA"), -1, -1, 0);
        X509_set_pubkey(cert.get(), const_cast<EVP_PKEY*>(key));
        if (options.version3 && padding > 0) {
            ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
            const Bytes filler(padding, 0x5A);
            ASN1_OCTET_STRING_set(value, filler.data(), static_cast<int>(filler.size()));
            ASN1_OBJECT* oid = OBJ_txt2obj("1.3.6.1.4.1.99999.1", 1);
            X509_EXTENSION* extension = X509_EXTENSION_create_by_OBJ(nullptr, oid, 0, value);
            X509_add_ext(cert.get(), extension, -1);
            X509_EXTENSION_free(extension);
            ASN1_OBJECT_free(oid);
            ASN1_OCTET_STRING_free(value);
        }
        if (X509_sign(cert.get(), const_cast<EVP_PKEY*>(key), EVP_sha256()) <= 0)
            throw std::runtime_error("X509_sign failed");
        Certificate c;
        c.der = encode(i2d_X509, static_cast<const X509*>(cert.get()));
        c.serial = encode(i2d_ASN1_INTEGER,
                          static_cast<const ASN1_INTEGER*>(X509_get_serialNumber(cert.get())));
        c.issuer = encode(i2d_X509_NAME, X509_get_issuer_name(cert.get()));
        c.subject = encode(i2d_X509_NAME, X509_get_subject_name(cert.get()));
        return c;
    };
    if (options.totalSize == 0)
        return build(options.padding);
    // Length octets grow with the padding, so a few rounds settle the size.
    long long padding = static_cast<long long>(options.padding);
    for (int round = 0; round < 8 && padding >= 0; ++round) {
        Certificate c = build(static_cast<std::size_t>(padding));
        if (c.der.size() == options.totalSize)
            return c;
        padding += static_cast<long long>(options.totalSize) - static_cast<long long>(c.der.size());
    }
    throw std::runtime_error("cannot make a certificate of the requested size");
}

// The public key with this modulus and exponent (big-endian bytes).
inline KeyPtr rsaPublicKey(const Bytes& n, const Bytes& e) {
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    BIGNUM* bn = BN_bin2bn(n.data(), static_cast<int>(n.size()), nullptr);
    BIGNUM* be = BN_bin2bn(e.data(), static_cast<int>(e.size()), nullptr);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_N, bn);
    OSSL_PARAM_BLD_push_BN(build, OSSL_PKEY_PARAM_RSA_E, be);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    BN_free(bn);
    BN_free(be);
    OSSL_PARAM_BLD_free(build);
    if (key == nullptr)
        throw std::runtime_error("no RSA public key from the modulus and exponent");
    return KeyPtr(key);
}

// RSA encryption with the public key; `padding` RSA_PKCS1_PADDING, or
// RSA_NO_PADDING for a block the caller made.
inline Bytes rsaEncrypt(EVP_PKEY* key, const Bytes& data, int padding = RSA_PKCS1_PADDING) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    std::size_t length = 0;
    Bytes out;
    if (EVP_PKEY_encrypt_init(ctx) > 0 && EVP_PKEY_CTX_set_rsa_padding(ctx, padding) > 0 &&
        EVP_PKEY_encrypt(ctx, nullptr, &length, data.data(), data.size()) > 0) {
        out.resize(length);
        if (EVP_PKEY_encrypt(ctx, out.data(), &length, data.data(), data.size()) <= 0)
            out.clear();
    }
    EVP_PKEY_CTX_free(ctx);
    if (out.empty())
        throw std::runtime_error("RSA encryption failed");
    return out;
}

}  // namespace testcerts
