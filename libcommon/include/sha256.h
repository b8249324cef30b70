#pragma once
// SHA-256 (FIPS 180-4): cache file integrity and container names.
#include <array>
#include <cstddef>
#include <cstdint>

class Sha256 {
public:
    static constexpr std::size_t DIGEST_LENGTH = 32;
    static constexpr std::size_t BLOCK_LENGTH = 64;
    using Digest = std::array<std::uint8_t, DIGEST_LENGTH>;

    Sha256() noexcept { init(); }

    // Starts a new message; the constructor already did.
    void init() noexcept;
    void update(const void* data, std::size_t length) noexcept;
    // Pads, returns the digest and starts a new message.
    Digest final() noexcept;

    static Digest digest(const void* data, std::size_t length) noexcept;

private:
    void compress(const std::uint8_t* block) noexcept;

    std::uint32_t state_[8];
    std::uint8_t buffer_[BLOCK_LENGTH];
    std::size_t buffered_;
    std::uint64_t totalLength_;
};
