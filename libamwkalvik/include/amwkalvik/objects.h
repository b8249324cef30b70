#pragma once
// Card-side object classes: the token layer's objects plus what it takes to
// find them on the card (the first block id) and to write them back.
//
// A header is read with apdu::beginReadMetadata, which leaves the 16-bit
// fields at offsets 1..15 in host order; key-pair listing also turns the
// fields at 20 and 25 into host order before createFromHeader.
#include "amw/objects.h"
#include "amwkalvik/apdu.h"

#include <cstddef>
#include <cstdint>

namespace ctl {
class CardConnection;
}

namespace amwkalvik {

// Header sizes by kind.
constexpr std::size_t DATA_OBJECT_HEADER_SIZE = 17;
constexpr std::size_t CERTIFICATE_HEADER_SIZE = 18;
constexpr std::size_t KEY_PAIR_HEADER_SIZE = 27;
constexpr std::size_t DIRECTORY_HEADER_SIZE = 27;
constexpr std::size_t FILE_HEADER_SIZE = 33;

// Header field offsets shared by every kind.
namespace header {
constexpr std::size_t NEXT_BLOCK = 1;
constexpr std::size_t METADATA_SIZE = 3;
constexpr std::size_t CONTENT_SIZE = 5;
constexpr std::size_t AC_FIRST = 11;
constexpr std::size_t AC_SECOND = 13;
constexpr std::size_t AC_THIRD = 15;
// Key pairs.
constexpr std::size_t KEY_USAGE = 20;
constexpr std::size_t CONTENT_CODE = 22;
constexpr std::size_t CONTAINER_INDEX = 23;
constexpr std::size_t KEY_SPEC = 24;
constexpr std::size_t KEY_SIZE = 25;
// A 16-bit field already in host order.
std::uint16_t field(const std::uint8_t* header, std::size_t offset) noexcept;
// Turns the big-endian 16-bit field at `offset` into host order in place.
void toHostOrder(std::uint8_t* header, std::size_t offset) noexcept;
}  // namespace header

// Key-pair content code bits.
enum ContentCode : std::uint8_t {
    CONTENT_GENERATED_ON_CARD = 0x01,
    CONTENT_PUBLIC_KEY = 0x02,
    CONTENT_PRIVATE_KEY = 0x04,
};

// Throws amw::CardOutOfMemoryException (before any command that changes the
// card) when content growing from `oldSize` to `newSize` bytes will not fit.
void checkCardFreeSpace(ctl::CardConnection& connection, std::uint32_t oldSize,
                        std::uint32_t newSize);

class KeyPair : public amw::KeyPair {
public:
    explicit KeyPair(ctl::CardConnection* connection) noexcept : connection(connection) {}
    static KeyPair* createFromHeader(ctl::CardConnection& connection, std::uint16_t blockId,
                                     const std::uint8_t* header /*[27]*/);

    void serialize(std::ostream& stream) const override;
    void deserialize(std::istream& stream) override;
    void commitCreationOrMetadataChanges() override;

    std::uint16_t blockId = NO_BLOCK;
    ctl::CardConnection* connection;
    // A half was added or removed since the pair was read.
    bool metadataChanged = false;
};

class X509Certificate : public amw::X509Certificate {
public:
    explicit X509Certificate(ctl::CardConnection* connection) noexcept : connection(connection) {}
    static X509Certificate* createFromHeader(ctl::CardConnection& connection,
                                             std::uint16_t blockId,
                                             const std::uint8_t* header /*[18]*/);

    void serialize(std::ostream& stream) const override;
    void deserialize(std::istream& stream) override;
    void commitCreationOrMetadataChanges() override;
    void commitContentChanges() override;
    bool isPrivateContent() const override { return false; }
    void readContent(StaticBuffer<65536>& buffer) override;

    std::uint16_t blockId = NO_BLOCK;
    ctl::CardConnection* connection;
    std::uint32_t cardContentSize = 0;
};

class DataObject : public amw::DataObject {
public:
    explicit DataObject(ctl::CardConnection* connection) noexcept : connection(connection) {}
    static DataObject* createFromHeader(ctl::CardConnection& connection, std::uint16_t blockId,
                                        const std::uint8_t* header /*[17]*/);

    void serialize(std::ostream& stream) const override;
    void deserialize(std::istream& stream) override;
    void commitCreationOrMetadataChanges() override;
    void commitContentChanges() override;
    bool isPrivateContent() const override {
        return acReadContent != amw::AccessCondition::EVERYONE;
    }
    void readContent(StaticBuffer<65536>& buffer) override;

    std::uint16_t blockId = NO_BLOCK;
    ctl::CardConnection* connection;
    std::uint32_t cardContentSize = 0;
    std::uint16_t acReadContent = amw::AccessCondition::NOT_SPECIFIED;
};

class File : public amw::File {
public:
    explicit File(ctl::CardConnection* connection) noexcept : connection(connection) {}
    static File* createFromHeader(ctl::CardConnection& connection, std::uint16_t blockId,
                                  const std::uint8_t* header /*[33]*/);

    void serialize(std::ostream& stream) const override;
    void deserialize(std::istream& stream) override;
    void commitCreationOrMetadataChanges() override;
    void commitContentChanges() override;
    bool isPrivateContent() const override { return !acRead.isEveryone(); }
    void readContent(StaticBuffer<65536>& buffer) override;

    std::uint16_t blockId = NO_BLOCK;
    ctl::CardConnection* connection;
    std::uint32_t cardContentSize = 0;
};

class Directory : public amw::Directory {
public:
    explicit Directory(ctl::CardConnection* connection) noexcept : connection(connection) {}
    static Directory* createFromHeader(ctl::CardConnection& connection, std::uint16_t blockId,
                                       const std::uint8_t* header /*[27]*/);

    void serialize(std::ostream& stream) const override;
    void deserialize(std::istream& stream) override;
    void commitCreationOrMetadataChanges() override;

    std::uint16_t blockId = NO_BLOCK;
    ctl::CardConnection* connection;
};

}  // namespace amwkalvik
