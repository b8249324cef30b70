#pragma once
// The card's state: what persists (written to the image) and what a power
// cycle clears.
#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "crypto.h"
#include "vcard/kalvikcard.h"

namespace vcard {

constexpr std::uint16_t NO_BLOCK = 0x8000;
constexpr std::size_t CHAIN_COUNT = 5;
constexpr std::uint8_t MAX_ROLE = 7;
// A key pair that holds no key slot, or belongs to no container.
constexpr std::uint8_t NO_KEY_SLOT = 0xFF;
constexpr std::uint8_t NO_CONTAINER = 0xFF;

// Content code of a key pair: the halves it has and whether the card made it.
namespace content {
constexpr std::uint8_t GENERATED = 0x01;
constexpr std::uint8_t PUBLIC_HALF = 0x02;
constexpr std::uint8_t PRIVATE_HALF = 0x04;
constexpr std::uint8_t BOTH_HALVES = PUBLIC_HALF | PRIVATE_HALF;
}  // namespace content

// Header sizes the module reads per kind.
constexpr std::size_t headerSize(Chain chain) {
    switch (chain) {
    case Chain::DATA_OBJECTS:
        return 17;
    case Chain::CERTIFICATES:
        return 18;
    case Chain::KEY_PAIRS:
        return 27;
    case Chain::DIRECTORIES:
        return 27;
    case Chain::FILES:
        return 33;
    }
    return 17;
}

constexpr bool hasContentArea(Chain chain) {
    return chain == Chain::DATA_OBJECTS || chain == Chain::CERTIFICATES || chain == Chain::FILES;
}

struct AuthObject {
    AuthType type = AuthType::PIN;
    Bytes value;  // 16 bytes (PIN, zero-padded) or 24 (key)
    std::uint8_t maxTries = 3;
    std::uint8_t tries = 3;
    bool pkcs11So = false;
    std::uint16_t changeAc = ac::USER_OR_ADMIN;
    std::uint16_t unblockAc = ac::ADMIN;
    PinPolicy policy;
};

struct KeySlot {
    KeySlotSetup setup;
    std::uint16_t occupant = NO_BLOCK;  // key pair holding its private half
};

struct CardObject {
    Chain chain = Chain::DATA_OBJECTS;
    std::uint16_t id = NO_BLOCK;  // its first block
    // Access conditions; for key pairs acRead is the condition to use the key.
    std::uint16_t acExtra = 0, acRead = ac::EVERYONE, acWrite = ac::USER_OR_ADMIN,
                  acDelete = ac::USER_OR_ADMIN;
    Bytes metadata;
    std::vector<std::uint16_t> headerBlocks;

    bool hasContent = false;
    Bytes content;
    std::vector<std::uint16_t> contentBlocks;

    bool trusted = false;                // certificates
    std::array<std::uint8_t, 8> name{};  // directory name, or file name
    std::uint16_t dirId = NO_BLOCK;      // files: their directory

    std::uint16_t keySize = 0, keyUsage = 0;  // key pairs
    std::uint8_t contentCode = 0, containerIndex = 0, keySpec = 0;
    std::uint8_t keySlot = NO_KEY_SLOT;
    crypto::RsaKey key;
    std::vector<std::uint16_t> keyBlocks;

    bool hasPublic() const { return contentCode & content::PUBLIC_HALF; }
    bool hasPrivate() const { return contentCode & content::PRIVATE_HALF; }
    std::size_t keyMaterialSize() const;
    std::size_t blockCount() const {
        return headerBlocks.size() + contentBlocks.size() + keyBlocks.size();
    }
};

// Everything written to the image.
struct Persistent {
    std::uint8_t versionMajor = 3, versionMinor = 1;
    std::uint8_t lifeCycle = KalvikCard::LIFE_CYCLE_ACTIVATED;
    std::array<std::uint8_t, 16> cardId{};
    std::array<std::uint8_t, 8> serial{};
    std::array<std::uint8_t, KalvikCard::GAC_INFO_SIZE> gacInfo{};
    std::array<std::uint8_t, KalvikCard::FRESHNESS_SIZE> freshness{};
    std::uint16_t blockSize = 256;
    std::uint16_t totalBlocks = 512;
    std::vector<KeySlot> keySlots;
    std::array<std::optional<AuthObject>, MAX_ROLE + 1> auth;  // index = role; 0 unused
    std::array<std::vector<CardObject>, CHAIN_COUNT> chains;   // chain order
};

// Image encoding (vcard/README.md).
Bytes encodeImage(const Persistent& persistent);
// Throws ImageError with `what` prefixed to the reason.
Persistent decodeImage(const Bytes& image, const std::string& what);
// Checks block ownership and cross references; returns the reason or "".
std::string validate(const Persistent& persistent);

// File access with atomic replacement.
Bytes readFile(const std::string& path);
void writeFileAtomically(const std::string& path, const Bytes& data);

std::size_t blocksFor(std::size_t bytes, std::uint16_t blockSize);

}  // namespace vcard
