#pragma once
// The card's cryptography on OpenSSL libcrypto: random bytes, RSA key
// generation, the raw CRT private-key operation and the 3DES check of KEY
// authentication objects.
#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include "vcard/carddevice.h"

namespace vcard::crypto {

class CryptoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

void randomBytes(std::uint8_t* out, std::size_t n);

// Big-endian components, minimal length (no leading zero bytes).
struct RsaKey {
    Bytes n, e, p, q, dp, dq, inv;
};

// Generates a key of `bits` with the given public exponent. Throws
// CryptoError when OpenSSL refuses (e.g. an even exponent).
RsaKey generate(unsigned bits, const Bytes& exponent);

// input^d mod pq by the Chinese remainder theorem. Returns nothing when the
// input is not below p*q. The result has `outLength` bytes, left-padded.
std::optional<Bytes> privateOperation(const RsaKey& key, const Bytes& input, std::size_t outLength);

// input^e mod n, `outLength` bytes.
Bytes publicOperation(const Bytes& n, const Bytes& e, const Bytes& input, std::size_t outLength);

// True when p*q == n (both given) and the private half inverts the public
// one on a test value.
bool consistent(const RsaKey& key);

// Product p*q, minimal length.
Bytes product(const Bytes& p, const Bytes& q);

// DES-EDE3 in ECB mode on one 8-byte block under a 24-byte key.
std::array<std::uint8_t, 8> tripleDesEncrypt(const Bytes& key24,
                                             const std::array<std::uint8_t, 8>& block);

// SHA-256 of a byte range.
std::array<std::uint8_t, 32> sha256(const std::uint8_t* data, std::size_t n);

}  // namespace vcard::crypto
