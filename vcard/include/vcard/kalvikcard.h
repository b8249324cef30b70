#pragma once
// The virtual Kalvik card: the applet's command set over an object store with
// block-based memory, RSA keys, PINs and keys with tries, session PINs and
// access conditions. Its persistent state can live in an image file that is
// rewritten atomically after every command that changes it (see
// vcard/README.md for the image format, the access-condition encoding and the
// personalisation defaults).
//
// Thread-compatible: one card may be used from several threads as long as the
// caller serialises the calls on it; distinct cards share nothing.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "vcard/carddevice.h"

namespace vcard {

// Access conditions, 16 bits: high byte 0x01 and a mask of roles in the low
// byte (bit n = role n; bit 0 is role 0, everyone). 0x0100 grants nobody.
// 0xFFFF in a create command asks for the card's default.
namespace ac {
constexpr std::uint16_t EVERYONE = 0x0101;
constexpr std::uint16_t USER = 0x0102;
constexpr std::uint16_t ADMIN = 0x0104;
constexpr std::uint16_t USER_OR_ADMIN = 0x0106;
constexpr std::uint16_t NOBODY = 0x0100;
constexpr std::uint16_t CARD_DEFAULT = 0xFFFF;
}  // namespace ac

enum class AuthType : std::uint8_t { PIN = 0, KEY = 1 };

struct PinPolicy {
    std::uint8_t minLength = 4;
    std::uint8_t maxLength = 16;
    bool digitsOnly = false;
};

// One authentication object (role 1 to 7).
struct AuthObjectSetup {
    std::uint8_t role = 1;
    AuthType type = AuthType::PIN;
    // A PIN of 1 to 16 bytes (stored zero-padded to 16), or a 24-byte key.
    Bytes value;
    std::uint8_t maxTries = 3;
    bool pkcs11So = false;
    // Who may set a new value with changePin / act as the unblocking role.
    std::uint16_t changeAc = ac::USER_OR_ADMIN;
    std::uint16_t unblockAc = ac::ADMIN;
    PinPolicy policy;
};

// Key-slot record: a free slot for any key size, or one reserved for a size.
struct KeySlotSetup {
    bool sizeBound = false;
    std::uint16_t keySize = 0;
};

struct PersonalisationOptions {
    std::string userPin = "123456";  // role 1
    std::string soPin = "12345678";  // role 2, marked PKCS#11 security officer
    std::uint8_t userPinTries = 3;
    std::uint8_t soPinTries = 5;
    // Further authentication objects (roles 3 to 7, or replacing 1/2).
    std::vector<AuthObjectSetup> extraAuthObjects;

    std::uint16_t blockSize = 256;
    std::uint16_t totalBlocks = 512;  // at most 0x7FFF
    std::uint8_t versionMajor = 3;
    std::uint8_t versionMinor = 1;
    std::optional<std::array<std::uint8_t, 16>> cardId;  // random when empty
    std::optional<std::array<std::uint8_t, 8>> serial;   // random when empty
    std::vector<KeySlotSetup> keySlots = std::vector<KeySlotSetup>(16);
    bool activated = true;
    // Directory "mscp" with an empty "cmapfile", and the directory with the
    // empty name holding the 6-byte "cardcf".
    bool containerFiles = true;
};

// A card image that cannot be used (missing, damaged, unknown version).
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Chain : std::uint8_t {
    DATA_OBJECTS = 0,
    KEY_PAIRS = 1,
    CERTIFICATES = 2,
    DIRECTORIES = 3,
    FILES = 4
};

// What `show` and tests look at; no secret values.
struct ObjectSummary {
    Chain chain = Chain::DATA_OBJECTS;
    std::uint16_t blockId = 0x8000;
    std::string name;  // directory or "dir/file"; empty for others
    std::size_t metadataSize = 0;
    std::optional<std::size_t> contentSize;  // certificates, files, data objects
    std::uint16_t acRead = 0, acWrite = 0, acDelete = 0;
    std::uint16_t keySize = 0;     // key pairs
    std::uint8_t contentCode = 0;  // key pairs: bit 0 generated, 1 public, 2 private
    std::size_t blocks = 0;        // blocks held (header, metadata, content, key)
};

struct AuthObjectSummary {
    std::uint8_t role = 0;
    AuthType type = AuthType::PIN;
    std::uint8_t maxTries = 0;
    std::uint8_t triesRemaining = 0;
    bool pkcs11So = false;
};

class KalvikCard : public CardDevice {
public:
    static constexpr std::array<std::uint8_t, 9> AID = {0xF0, 'Q',  'V',  'K', 'A',
                                                        0x01, 0x00, 0x00, 0x41};
    static constexpr std::size_t FRESHNESS_SIZE = 47;
    static constexpr std::size_t GAC_INFO_SIZE = 59;

    // A freshly personalised card, in memory only (powered on, nothing selected).
    // Throws std::invalid_argument on inconsistent options.
    explicit KalvikCard(const PersonalisationOptions& options = {});
    ~KalvikCard() override;
    KalvikCard(const KalvikCard&) = delete;
    KalvikCard& operator=(const KalvikCard&) = delete;

    // Loads an image; from then on every command that changes the card's
    // persistent state rewrites `path` atomically before it answers. Throws
    // ImageError with a message naming the path and the problem.
    static std::unique_ptr<KalvikCard> load(const std::string& path);
    // Writes the image atomically (temporary file, fsync, rename, fsync of the
    // directory). Throws ImageError when it cannot.
    void save(const std::string& path) const;
    // Writes the image to `path` now and persists every later change there
    // (empty: stop persisting). Throws ImageError when it cannot write.
    void persistTo(const std::string& path);
    const std::string& imagePath() const;
    // The image bytes as `save` would write them.
    Bytes serialize() const;

    // CardDevice
    Bytes atr() const override;
    void powerOn() override;
    void powerOff() override;
    void reset() override;
    Bytes transmit(const Bytes& command) override;

    // Read-only views.
    std::size_t objectCount(Chain chain) const;
    std::vector<ObjectSummary> objects() const;
    std::vector<AuthObjectSummary> authObjects() const;
    // The content of a file named "dir/file" as objects() names it; empty
    // when the card has no such file or it has no content.
    std::optional<Bytes> fileContent(const std::string& path) const;
    // -1 when the role has no authentication object.
    int triesRemaining(std::uint8_t role) const;
    bool isAuthenticated(std::uint8_t role) const;
    std::array<std::uint8_t, FRESHNESS_SIZE> freshness() const;
    std::array<std::uint8_t, 16> cardId() const;
    std::array<std::uint8_t, 8> serialNumber() const;
    std::uint8_t versionMajor() const;
    std::uint8_t versionMinor() const;
    std::uint8_t lifeCycle() const;
    std::uint16_t blockSize() const;
    std::uint16_t totalBlocks() const;
    std::uint16_t freeBlocks() const;
    std::size_t freeKeySlots() const;
    bool isPowered() const;

    // Life-cycle byte values.
    static constexpr std::uint8_t LIFE_CYCLE_PERSONALISED = 0x03;
    static constexpr std::uint8_t LIFE_CYCLE_ACTIVATED = 0x07;

    struct State;  // defined in the implementation

private:
    struct Unpersonalised {};
    explicit KalvikCard(Unpersonalised);
    std::unique_ptr<State> state_;
};

// The table printed by `kalvik-vcard show`.
std::string describeCard(const KalvikCard& card);

}  // namespace vcard
