#include "tlvparser.h"
#include "staticbuffer.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;

Bytes der(int (*encode)(const X509_NAME*, unsigned char**), const X509_NAME* name) {
    unsigned char* out = nullptr;
    int n = encode(name, &out);
    Bytes b(out, out + n);
    OPENSSL_free(out);
    return b;
}

// A self-signed certificate with a long serial and distinct issuer and subject.
struct Certificate {
    Bytes encoded, serial, issuer, subject;

    Certificate() {
        KeyPtr key(EVP_RSA_gen(1024));
        X509Ptr cert(X509_new());
        X509_set_version(cert.get(), 2);
        BIGNUM* bn = nullptr;
        BN_hex2bn(&bn, "00C0FFEE0123456789ABCDEF0123456789");
        BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
        BN_free(bn);
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
        X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
        X509_NAME* subjectName = X509_get_subject_name(cert.get());
        X509_NAME_add_entry_by_txt(subjectName, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Jan Novak"), -1, -1, 0);
        X509_NAME* issuerName = X509_NAME_new();
        X509_NAME_add_entry_by_txt(issuerName, "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Issuing CA"), -1, -1, 0);
        X509_set_issuer_name(cert.get(), issuerName);
        X509_NAME_free(issuerName);
        X509_set_pubkey(cert.get(), key.get());
        X509_sign(cert.get(), key.get(), EVP_sha256());

        unsigned char* out = nullptr;
        int n = i2d_X509(cert.get(), &out);
        encoded.assign(out, out + n);
        OPENSSL_free(out);
        out = nullptr;
        n = i2d_ASN1_INTEGER(X509_get_serialNumber(cert.get()), &out);
        serial.assign(out, out + n);
        OPENSSL_free(out);
        issuer = der(i2d_X509_NAME, X509_get_issuer_name(cert.get()));
        subject = der(i2d_X509_NAME, X509_get_subject_name(cert.get()));
    }
};

Bytes contents(const StaticBuffer<65536>& b) { return Bytes(b.begin(), b.end()); }

TEST(TlvReader, WalksACertificateToSerialIssuerAndSubject) {
    Certificate cert;
    auto buffer = std::make_unique<StaticBuffer<65536>>();

    TlvReader serialReader(cert.encoded.data(), cert.encoded.size());
    serialReader.enter(0x30);                         // certificate
    serialReader.enter(0x30);                         // to-be-signed
    serialReader.skip(0xA0);                          // version
    serialReader.readNext(0x02, buffer.get(), true);  // serial with its header
    EXPECT_EQ(contents(*buffer), cert.serial);

    TlvReader nameReader(cert.encoded.data(), cert.encoded.size());
    nameReader.enter(0x30);
    nameReader.enter(0x30);
    nameReader.skip(0xA0);
    nameReader.skip(0x02);
    nameReader.skip(0x30);                          // signature algorithm
    nameReader.readNext(0x30, buffer.get(), true);  // issuer
    EXPECT_EQ(contents(*buffer), cert.issuer);
    nameReader.skip(0x30);                          // validity
    nameReader.readNext(0x30, buffer.get(), true);  // subject
    EXPECT_EQ(contents(*buffer), cert.subject);

    // The value alone drops the tag and length octets.
    TlvReader valueReader(cert.subject.data(), cert.subject.size());
    valueReader.readNext(0x30, buffer.get(), false);
    EXPECT_EQ(contents(*buffer), Bytes(cert.subject.begin() + 2, cert.subject.end()));
}

std::string failureOf(const Bytes& data, std::uint8_t tag, std::uint64_t capacity = 64) {
    TlvReader reader(data.data(), data.size());
    Bytes out(capacity);
    std::uint64_t length = capacity;
    try {
        reader.readNext(tag, out.data(), &length, true, false);
    } catch (const TlvParserException& e) {
        return e.what();
    }
    return "";
}

TEST(TlvReader, RefusesMalformedInputWithItsMessage) {
    struct {
        Bytes data;
        std::uint8_t tag;
        const char* message;
    } cases[] = {
        {{}, 0x04, "TlvReader - reading after end of data"},
        {{0x04}, 0x04, "TlvReader - reading after end of data"},
        {{0x02, 0x01, 0x05}, 0x04, "unexpected tag [actual=0x2, requested=0x4]"},
        {{0x04, 0x89, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 0x04, "invalid size of extended length"},
        {{0x04, 0x82, 0x01}, 0x04, "TlvReader - reading after end of data"},
        {{0x04, 0x05, 1, 2}, 0x04, "length 5 exceeds the size of buffer"},
        {{0x04, 0x81, 0x80, 1}, 0x04, "length 128 exceeds the size of buffer"},
    };
    for (const auto& k : cases)
        EXPECT_EQ(failureOf(k.data, k.tag), k.message);

    // Too small a buffer names the capacity and the size needed.
    EXPECT_EQ(failureOf({0x04, 0x03, 1, 2, 3}, 0x04, 4),
              "insufficient size of buffer [actual=4, requested=5]");
}

TEST(TlvReader, OverlongElementFailsEvenForASizeQuery) {
    Bytes data = {0x30, 0x10, 0x02, 0x01, 0x00};
    TlvReader reader(data.data(), data.size());
    std::uint64_t length = 0;
    EXPECT_THROW(reader.readNext(0x30, nullptr, &length, true, false), TlvParserException);
}

TEST(TlvReader, LongFormLengths) {
    Bytes value128(128, 0x5A);
    Bytes data(3 + value128.size(), 0x5A);
    data[0] = 0x04;
    data[1] = 0x81;
    data[2] = 0x80;
    TlvReader reader(data.data(), data.size());
    auto buffer = std::make_unique<StaticBuffer<65536>>();
    reader.readNext(0x04, buffer.get(), false);
    EXPECT_EQ(contents(*buffer), value128);
    EXPECT_EQ(reader.remaining(), 0u);

    // Eight length octets are accepted; 0x80 alone means length 0.
    Bytes eight = {0x04, 0x88, 0, 0, 0, 0, 0, 0, 0, 2, 0xAA, 0xBB, 0x05, 0x80};
    TlvReader r8(eight.data(), eight.size());
    std::uint8_t out[16];
    std::uint64_t length = sizeof out;
    r8.readNext(0x04, out, &length, false, false);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(out[1], 0xBB);
    length = sizeof out;
    r8.readNext(0x05, out, &length, true, false);
    EXPECT_EQ(length, 2u);
}

TEST(TlvReader, SizeQueryStaysOnTheElement) {
    Bytes data = {0x30, 0x03, 0x02, 0x01, 0x07, 0x05, 0x00};
    TlvReader reader(data.data(), data.size());
    std::uint64_t length = 0;
    reader.readNext(0x30, nullptr, &length, true, false);
    EXPECT_EQ(length, 5u);
    reader.readNext(0x30, nullptr, &length, false, false);
    EXPECT_EQ(length, 3u);
    std::uint8_t out[5];
    length = sizeof out;
    reader.readNext(0x30, out, &length, true, false);
    EXPECT_EQ(Bytes(out, out + 5), Bytes(data.begin(), data.begin() + 5));
    reader.skip(0x05);
    EXPECT_EQ(reader.remaining(), 0u);
}

TEST(TlvReader, ConstructedIsEnteredOrSkippedPrimitiveAlwaysSkipped) {
    Bytes data = {0x31, 0x03, 0x04, 0x01, 0x09, 0x04, 0x01, 0x08};
    TlvReader entering(data.data(), data.size());
    entering.readNext(0x31, nullptr, nullptr, false, false);
    EXPECT_EQ(entering.position(), data.data() + 2);
    entering.readNext(0x04, nullptr, nullptr, false, false);  // primitive: skipped
    EXPECT_EQ(entering.position(), data.data() + 5);

    TlvReader skipping(data.data(), data.size());
    skipping.readNext(0x31, nullptr, nullptr, false, true);
    EXPECT_EQ(skipping.position(), data.data() + 5);
}

}  // namespace
