#include "sha256.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <random>
#include <string>
#include <vector>

namespace {

std::string hex(const Sha256::Digest& d) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : d) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

Sha256::Digest reference(const std::vector<std::uint8_t>& data) {
    Sha256::Digest d;
    ::SHA256(data.data(), data.size(), d.data());
    return d;
}

// The long example of the standard; the short ones are among the lengths below.
TEST(Sha256, OneMillionAsInUnevenPieces) {
    const std::string piece(997, 'a');
    Sha256 sha;
    std::size_t left = 1000000;
    while (left > 0) {
        std::size_t n = left < piece.size() ? left : piece.size();
        sha.update(piece.data(), n);
        left -= n;
    }
    EXPECT_EQ(hex(sha.final()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Every length around the padding boundaries (55/56/64 bytes and their
// multiples), fed whole and split at every point, must agree with an
// independent implementation.
TEST(Sha256, AgreesWithReferenceForEveryLengthAndSplit) {
    std::mt19937 random(7);
    for (std::size_t length = 0; length <= 200; ++length) {
        std::vector<std::uint8_t> data(length);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(random());
        const Sha256::Digest expected = reference(data);
        ASSERT_EQ(Sha256::digest(data.data(), data.size()), expected) << "length " << length;
        for (std::size_t split = 0; split <= length; ++split) {
            Sha256 sha;
            sha.update(data.data(), split);
            sha.update(data.data() + split, length - split);
            ASSERT_EQ(sha.final(), expected) << "length " << length << " split " << split;
        }
    }
}

}  // namespace
