#pragma once
// The card-independent object model: what a card stores, as the token layer
// and the PKCS#11 layer see it. The card driver derives its own classes from
// these and adds what it needs to find the object on the card.
//
// Fields are public: the driver fills them from card headers, the caching
// token from cache files, the PKCS#11 objects change labels and contents.
// Every class is a SerializableEntity so that object lists can live in cache
// files; fields are written raw in host order, buffers as a 32-bit length
// followed by the bytes.
#include "amw/amwtypes.h"
#include "cachememory/serializableentity.h"
#include "staticbuffer.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace amw {

// 16-bit access condition as the card encodes it.
class AccessCondition {
public:
    // Readable by everyone; content with any other read condition is private.
    static constexpr std::uint16_t EVERYONE = 0x0101;
    // Not specified: the card picks its default, read back after creation.
    static constexpr std::uint16_t NOT_SPECIFIED = 0xFFFF;

    constexpr AccessCondition(std::uint16_t encodedValue = NOT_SPECIFIED) noexcept
        : encodedValue_(encodedValue) {}

    constexpr std::uint16_t getEncodedValue() const noexcept { return encodedValue_; }
    constexpr bool isEveryone() const noexcept { return encodedValue_ == EVERYONE; }
    constexpr bool isNotSpecified() const noexcept { return encodedValue_ == NOT_SPECIFIED; }

    constexpr bool operator==(const AccessCondition& other) const noexcept {
        return encodedValue_ == other.encodedValue_;
    }
    constexpr bool operator!=(const AccessCondition& other) const noexcept {
        return encodedValue_ != other.encodedValue_;
    }

private:
    std::uint16_t encodedValue_;
};

// The secret parts of an RSA key on their way to the card (import only; they
// never come back). Big-endian byte strings.
struct RsaPrivateKeyComponents {
    StaticBuffer<256> p;
    StaticBuffer<256> q;
    StaticBuffer<256> n;    // modulus
    StaticBuffer<256> e;    // public exponent
    StaticBuffer<256> dp;   // d mod (p - 1)
    StaticBuffer<256> dq;   // d mod (q - 1)
    StaticBuffer<256> inv;  // q^-1 mod p
};

// Ordering of identifiers in cache files: a shorter value is less (-1), a
// longer one greater (+1); equal lengths give the difference of the first
// differing byte, 0 when equal.
template <std::size_t N>
int compareIdentifiers(const StaticBuffer<N>& left, const StaticBuffer<N>& right) noexcept {
    if (left.length != right.length)
        return left.length < right.length ? -1 : 1;
    for (std::size_t i = 0; i < left.size(); ++i) {
        if (left.data[i] != right.data[i])
            return static_cast<int>(left.data[i]) - static_cast<int>(right.data[i]);
    }
    return 0;
}

// Any object of the card's object store.
class Storage : public SerializableEntity {
public:
    enum StorageType : std::uint32_t {
        STORAGE_DATA_OBJECT = 0,
        STORAGE_FILE = 1,
        STORAGE_DIRECTORY = 2,
        STORAGE_KEY_PAIR = 3,
        STORAGE_X509_CERTIFICATE = 4,
    };

    virtual StorageType getStorageType() const = 0;
    // Writes a new object, or the changed metadata of an existing one, to the card.
    virtual void commitCreationOrMetadataChanges() = 0;
};

// An RSA key pair: one identifier, size and usage, with a public half, a
// private half or both. The private components never leave the card.
class KeyPair : public Storage {
public:
    enum KeySpec : std::uint32_t {
        SIGNATURE_KEY = 0,
        KEY_EXCHANGE_KEY = 1,
    };

    // Usage bits that belong to each half; adding or removing a half touches only its own.
    static constexpr std::uint16_t PRIVATE_KEY_USAGE_MASK = 0x93;
    static constexpr std::uint16_t PUBLIC_KEY_USAGE_MASK = 0x6C;

    struct RsaPublicKey {
        StaticBuffer<256> modulus;
        StaticBuffer<256> publicExponent;
        StaticBuffer<128> label;
    };
    struct RsaPrivateKey {
        StaticBuffer<128> label;
    };

    StorageType getStorageType() const override { return STORAGE_KEY_PAIR; }
    void serialize(std::ostream& stream) const override;
    void deserialize(std::istream& stream) override;
    // By pkcs11Id. Comparing objects of two different kinds is a bug and
    // throws InternalErrorException (in every class).
    int compare(const SerializableEntity& other) const override;

    const StaticBuffer<128>& getPkcs11Id() const { return pkcs11Id; }
    // The half, or null when the pair lacks it.
    const RsaPublicKey* getRsaPublicKey() const { return hasPublicKey ? &publicKey : nullptr; }
    RsaPublicKey* getRsaPublicKey() { return hasPublicKey ? &publicKey : nullptr; }
    const RsaPrivateKey* getRsaPrivateKey() const { return hasPrivateKey ? &privateKey : nullptr; }
    RsaPrivateKey* getRsaPrivateKey() { return hasPrivateKey ? &privateKey : nullptr; }

    // Sets the half and ORs the half's bits of `usage` into keyUsage.
    void addPublicKey(const StaticBuffer<128>& label, const StaticBuffer<256>& modulus,
                      const StaticBuffer<256>& publicExponent, std::uint16_t usage);
    void addPrivateKey(const StaticBuffer<128>& label, std::uint16_t usage);
    // Clears the half and its usage bits; the other half's bits stay.
    void removePublicKey();
    void removePrivateKey();

    std::uint16_t keySize = 0;  // bits: 1024 or 2048
    StaticBuffer<128> pkcs11Id;
    std::uint16_t keyUsage = 0;
    std::uint8_t generatedOnCard = 0;
    std::uint8_t containerIndex = 0;
    std::uint32_t keySpec = SIGNATURE_KEY;
    bool hasPublicKey = false;
    RsaPublicKey publicKey;
    bool hasPrivateKey = false;
    RsaPrivateKey privateKey;
};

class Directory : public Storage {
public:
    StorageType getStorageType() const override { return STORAGE_DIRECTORY; }
    void serialize(std::ostream& stream) const override;
    void deserialize(std::istream& stream) override;
    // By directoryName.
    int compare(const SerializableEntity& other) const override;

    StaticBuffer<8> directoryName;
};

// An object with a body: certificates, files and data objects. The body is
// read from the card on first use only.
class DataStorage : public Storage {
public:
    // Writes the body to the card.
    virtual void commitContentChanges() = 0;
    // Private content is never cached on the host.
    virtual bool isPrivateContent() const = 0;
    // Reads the body from the card into `buffer`, setting its length.
    virtual void readContent(StaticBuffer<65536>& buffer) = 0;

    // The body, read with readContent the first time.
    const StaticBuffer<65536>& getContent();
    // Replaces the body in memory (the card sees it on commitContentChanges).
    void setContent(const std::uint8_t* data, std::size_t length);

    bool contentLoaded = false;
    std::uint32_t contentSize = 0;  // as the card reports it, known without the body

protected:
    // contentSize, a flag, and the body when it is loaded and not private.
    void serializeContent(std::ostream& stream) const;
    // Content that was not stored comes back unloaded.
    void deserializeContent(std::istream& stream);

private:
    StaticBuffer<65536>& body();
    // Allocated when a body is first used: a card listing thousands of
    // objects must not cost 64 KiB each before any body is read.
    std::unique_ptr<StaticBuffer<65536>> content;
    // A body read back from a cache file stays at its own size until used:
    // every call reloads the cache, and most calls touch one body at most.
    std::vector<std::uint8_t> cachedBody;
};

class X509Certificate : public DataStorage {
public:
    StorageType getStorageType() const override { return STORAGE_X509_CERTIFICATE; }
    void serialize(std::ostream& stream) const override;
    void deserialize(std::istream& stream) override;
    // By pkcs11Id.
    int compare(const SerializableEntity& other) const override;

    const StaticBuffer<128>& getPkcs11Id() const { return pkcs11Id; }

    StaticBuffer<128> pkcs11Id;
    bool trusted = false;
    StaticBuffer<128> label;
    std::uint8_t containerIndex = 0;
    std::uint32_t keySpec = KeyPair::SIGNATURE_KEY;
};

class File : public DataStorage {
public:
    StorageType getStorageType() const override { return STORAGE_FILE; }
    void serialize(std::ostream& stream) const override;
    void deserialize(std::istream& stream) override;
    // Files have no PKCS#11 identifier; their identity is the directory
    // name, then the file name, each ordered like identifiers.
    int compare(const SerializableEntity& other) const override;

    StaticBuffer<8> fileName;
    StaticBuffer<8> directoryName;
    // In card order; the first is the read condition.
    AccessCondition acRead;
    AccessCondition acWrite;
    AccessCondition acDelete;
};

class DataObject : public DataStorage {
public:
    StorageType getStorageType() const override { return STORAGE_DATA_OBJECT; }
    void serialize(std::ostream& stream) const override;
    void deserialize(std::istream& stream) override;
    // By pkcs11Id.
    int compare(const SerializableEntity& other) const override;

    const StaticBuffer<128>& getPkcs11Id() const { return pkcs11Id; }

    StaticBuffer<128> pkcs11Id;
    StaticBuffer<128> label;
    StaticBuffer<128> objectId;
    StaticBuffer<128> application;
};

// A role's PIN or key on the card.
class AuthenticationObject : public SerializableEntity {
public:
    enum Type : std::uint32_t {
        PIN = 0,
        KEY = 1,
    };

    // The byte-7 value of an object the card has not described yet.
    static constexpr std::uint32_t EMPTY_RECORD_BYTE7 = 5;

    void serialize(std::ostream& stream) const override;
    void deserialize(std::istream& stream) override;
    // By role (the difference of the two roles).
    int compare(const SerializableEntity& other) const override;

    std::uint32_t role = AMWROLE_EVERYONE;
    std::uint32_t type = PIN;
    // Copied unchanged from the card's record of the object (byte 7, bytes
    // 1-2 and bytes 5-6); kept and cached, not interpreted here.
    std::uint32_t recordByte7 = EMPTY_RECORD_BYTE7;
    std::uint16_t recordBytes1To2 = 0;
    std::uint16_t recordBytes5To6 = 0;
    // This object is the PKCS#11 security officer.
    bool pkcs11So = false;
};

}  // namespace amw
