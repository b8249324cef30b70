#pragma once
// Concrete stand-ins for the card driver's object classes: no card, only
// what the object model itself decides.
#include "amw/objects.h"

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace amwtest {

using Bytes = std::vector<std::uint8_t>;

// Expected encodings written out by hand: little-endian host, as on every
// machine this builds for.
class Encoding {
public:
    Encoding& u8(std::uint8_t v) {
        bytes_.push_back(v);
        return *this;
    }
    Encoding& u16(std::uint16_t v) { return u8(v & 0xFF).u8(v >> 8); }
    Encoding& u32(std::uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Encoding& buffer(const Bytes& b) {
        u32(static_cast<std::uint32_t>(b.size()));
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        return *this;
    }
    Encoding& buffer(const std::string& s) { return buffer(Bytes(s.begin(), s.end())); }
    const Bytes& bytes() const { return bytes_; }

private:
    Bytes bytes_;
};

template <std::size_t N>
StaticBuffer<N> buf(const Bytes& b) {
    return StaticBuffer<N>(b.data(), b.size());
}
template <std::size_t N>
StaticBuffer<N> buf(const std::string& s) {
    return StaticBuffer<N>(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}
template <std::size_t N>
Bytes bytesOf(const StaticBuffer<N>& b) {
    return Bytes(b.begin(), b.end());
}

inline Bytes serialized(const SerializableEntity& entity) {
    std::ostringstream out(std::ios::binary);
    entity.serialize(out);
    const std::string s = out.str();
    return Bytes(s.begin(), s.end());
}

inline void deserializeFrom(SerializableEntity& entity, const Bytes& bytes) {
    std::istringstream in(std::string(bytes.begin(), bytes.end()), std::ios::binary);
    entity.deserialize(in);
}

// The body a content object would read from its card, and how often it did.
struct CardBody {
    Bytes body;
    int reads = 0;
    void readInto(StaticBuffer<65536>& buffer) {
        ++reads;
        buffer.assign(body.data(), body.size());
    }
};

class TestKeyPair : public amw::KeyPair {
public:
    void commitCreationOrMetadataChanges() override {}
};

class TestDirectory : public amw::Directory {
public:
    void commitCreationOrMetadataChanges() override {}
};

template <class Base>
class TestContentObject : public Base {
public:
    void commitCreationOrMetadataChanges() override {}
    void commitContentChanges() override {}
    bool isPrivateContent() const override { return privateContent; }
    void readContent(StaticBuffer<65536>& buffer) override { card.readInto(buffer); }

    bool privateContent = false;
    CardBody card;
};

using TestCertificate = TestContentObject<amw::X509Certificate>;
using TestDataObject = TestContentObject<amw::DataObject>;
using TestFile = TestContentObject<amw::File>;

}  // namespace amwtest
