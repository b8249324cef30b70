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
constexpr std::size_t AC_READ = 11;
constexpr std::size_t AC_WRITE = 13;
constexpr std::size_t AC_DELETE = 15;
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

// Throws amw::CardOutOfMemoryException (before any command that changes the
// card) when content growing from `oldSize` to `newSize` bytes will not fit.
void checkCardFreeSpace(ctl::CardConnection& connection, std::uint32_t oldSize,
                        std::uint32_t newSize);

// What every card-side object adds to its token-layer class: the connection
// that reaches it and its first block on the card, which the cache keeps
// after the token layer's fields.
template <class Base>
class OnCard : public Base {
public:
    explicit OnCard(ctl::CardConnection* connection) noexcept : connection(connection) {}

    void serialize(std::ostream& stream) const override {
        Base::serialize(stream);
        SerializableEntity::writeUint16(stream, blockId);
    }
    void deserialize(std::istream& stream) override {
        Base::deserialize(stream);
        blockId = SerializableEntity::readUint16(stream);
    }

    std::uint16_t blockId = NO_BLOCK;
    ctl::CardConnection* connection;
};

// A card-side object with content; `cardContentSize` is what the card holds.
template <class Base>
class ContentOnCard : public OnCard<Base> {
public:
    using OnCard<Base>::OnCard;

    void deserialize(std::istream& stream) override {
        OnCard<Base>::deserialize(stream);
        cardContentSize = this->contentSize;
    }

    std::uint32_t cardContentSize = 0;
};

class KeyPair : public OnCard<amw::KeyPair> {
public:
    using OnCard::OnCard;
    static KeyPair* createFromHeader(ctl::CardConnection& connection, std::uint16_t blockId,
                                     const std::uint8_t* header /*[27]*/);

    void commitCreationOrMetadataChanges() override;

    // A half was added or removed since the pair was read.
    bool metadataChanged = false;
};

class X509Certificate : public ContentOnCard<amw::X509Certificate> {
public:
    using ContentOnCard::ContentOnCard;
    static X509Certificate* createFromHeader(ctl::CardConnection& connection, std::uint16_t blockId,
                                             const std::uint8_t* header /*[18]*/);

    void commitCreationOrMetadataChanges() override;
    void commitContentChanges() override;
    bool isPrivateContent() const override { return false; }
    void readContent(StaticBuffer<65536>& buffer) override;
};

class DataObject : public ContentOnCard<amw::DataObject> {
public:
    using ContentOnCard::ContentOnCard;
    static DataObject* createFromHeader(ctl::CardConnection& connection, std::uint16_t blockId,
                                        const std::uint8_t* header /*[17]*/);

    // The cache keeps the read condition after the block id.
    void serialize(std::ostream& stream) const override;
    void deserialize(std::istream& stream) override;
    void commitCreationOrMetadataChanges() override;
    void commitContentChanges() override;
    bool isPrivateContent() const override {
        return acReadContent != amw::AccessCondition::EVERYONE;
    }
    void readContent(StaticBuffer<65536>& buffer) override;

    std::uint16_t acReadContent = amw::AccessCondition::NOT_SPECIFIED;
};

class File : public ContentOnCard<amw::File> {
public:
    using ContentOnCard::ContentOnCard;
    static File* createFromHeader(ctl::CardConnection& connection, std::uint16_t blockId,
                                  const std::uint8_t* header /*[33]*/);

    void commitCreationOrMetadataChanges() override;
    void commitContentChanges() override;
    bool isPrivateContent() const override { return !acRead.isEveryone(); }
    void readContent(StaticBuffer<65536>& buffer) override;
};

class Directory : public OnCard<amw::Directory> {
public:
    using OnCard::OnCard;
    static Directory* createFromHeader(ctl::CardConnection& connection, std::uint16_t blockId,
                                       const std::uint8_t* header /*[27]*/);

    void commitCreationOrMetadataChanges() override;
};

}  // namespace amwkalvik
