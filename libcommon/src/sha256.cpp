#include "sha256.h"

#include <cstring>

namespace {

constexpr std::uint32_t INITIAL_HASH[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr std::uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline std::uint32_t rotr(std::uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t loadBigEndian(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

}  // namespace

void Sha256::init() noexcept {
    std::memcpy(state_, INITIAL_HASH, sizeof state_);
    std::memset(buffer_, 0, sizeof buffer_);
    buffered_ = 0;
    totalLength_ = 0;
}

void Sha256::compress(const std::uint8_t* block) noexcept {
    std::uint32_t w[64];
    for (int t = 0; t < 16; ++t)
        w[t] = loadBigEndian(block + 4 * t);
    for (int t = 16; t < 64; ++t) {
        std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    std::uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
    for (int t = 0; t < 64; ++t) {
        std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                           ROUND_CONSTANTS[t] + w[t];
        std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
    state_[5] += f;
    state_[6] += g;
    state_[7] += h;
}

void Sha256::update(const void* data, std::size_t length) noexcept {
    if (length == 0)
        return;
    const std::uint8_t* p = static_cast<const std::uint8_t*>(data);
    totalLength_ += length;
    if (buffered_ > 0) {
        std::size_t take = BLOCK_LENGTH - buffered_;
        if (take > length)
            take = length;
        std::memcpy(buffer_ + buffered_, p, take);
        buffered_ += take;
        p += take;
        length -= take;
        if (buffered_ < BLOCK_LENGTH)
            return;
        compress(buffer_);
        buffered_ = 0;
    }
    for (; length >= BLOCK_LENGTH; p += BLOCK_LENGTH, length -= BLOCK_LENGTH)
        compress(p);
    if (length > 0) {
        std::memcpy(buffer_, p, length);
        buffered_ = length;
    }
}

Sha256::Digest Sha256::final() noexcept {
    const std::uint64_t bitLength = totalLength_ * 8;
    // 0x80, zeros up to 56 mod 64, then the message length in bits (big-endian).
    buffer_[buffered_++] = 0x80;
    if (buffered_ > BLOCK_LENGTH - 8) {
        std::memset(buffer_ + buffered_, 0, BLOCK_LENGTH - buffered_);
        compress(buffer_);
        buffered_ = 0;
    }
    std::memset(buffer_ + buffered_, 0, BLOCK_LENGTH - 8 - buffered_);
    for (int i = 0; i < 8; ++i)
        buffer_[BLOCK_LENGTH - 1 - i] = static_cast<std::uint8_t>(bitLength >> (8 * i));
    compress(buffer_);

    Digest out;
    for (int i = 0; i < 8; ++i) {
        out[4 * i] = static_cast<std::uint8_t>(state_[i] >> 24);
        out[4 * i + 1] = static_cast<std::uint8_t>(state_[i] >> 16);
        out[4 * i + 2] = static_cast<std::uint8_t>(state_[i] >> 8);
        out[4 * i + 3] = static_cast<std::uint8_t>(state_[i]);
    }
    init();
    return out;
}

Sha256::Digest Sha256::digest(const void* data, std::size_t length) noexcept {
    Sha256 sha;
    sha.update(data, length);
    return sha.final();
}
