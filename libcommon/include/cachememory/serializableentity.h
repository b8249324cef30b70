#pragma once
// Entities that the cache store writes to and reads back from its files, the
// factory that makes empty ones by entity id, and the delegate that vouches
// for a file's digest. Fields are written raw in host byte order; a
// StaticBuffer<N> is a 32-bit length followed by that many bytes.
#include "exceptions.h"
#include "staticbuffer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <ostream>
#include <vector>

class CacheMemory;

// SHA-256 digest of a whole cache file.
using CacheMemoryDigest = std::array<std::uint8_t, 32>;

class SerializableEntity {
public:
    virtual void serialize(std::ostream& stream) const = 0;
    virtual void deserialize(std::istream& stream) = 0;
    // Negative, zero or positive; cache files list entities in descending order.
    virtual int compare(const SerializableEntity& other) const = 0;
    virtual ~SerializableEntity();

    // Raw byte writer and reader under every serialize/deserialize. A null
    // `data` is an argument error; a stream that is not good afterwards
    // throws SerializationException.
    static void writeStream(std::ostream& stream, const void* data, std::size_t size);
    static void readStream(std::istream& stream, void* data, std::size_t size);

    static void writeUint8(std::ostream& stream, std::uint8_t value);
    static void writeUint16(std::ostream& stream, std::uint16_t value);
    static void writeUint32(std::ostream& stream, std::uint32_t value);
    static std::uint8_t readUint8(std::istream& stream);
    static std::uint16_t readUint16(std::istream& stream);
    static std::uint32_t readUint32(std::istream& stream);

    // A 32-bit length followed by the bytes: how every buffer is stored.
    static void writeBytes(std::ostream& stream, const std::uint8_t* data, std::size_t length);
    // The same read back at its own size; a stored length above `capacity`
    // throws SerializationException before `bytes` is touched.
    static void readBytes(std::istream& stream, std::vector<std::uint8_t>& bytes,
                          std::size_t capacity);

    template <std::size_t N>
    static void writeStaticBuffer(std::ostream& stream, const StaticBuffer<N>& buffer) {
        writeBytes(stream, buffer.data, static_cast<std::size_t>(buffer.length));
    }

    // A stored length above N throws SerializationException before the
    // buffer is touched; otherwise the buffer is replaced, bytes past the
    // new length zeroed.
    template <std::size_t N>
    static void readStaticBuffer(std::istream& stream, StaticBuffer<N>& buffer) {
        std::uint32_t length = readStaticBufferLength(stream, N);
        std::uint8_t* end = buffer.data + length;
        if (length > 0)
            readStream(stream, buffer.data, length);
        for (std::uint8_t* p = end; p != buffer.data + N; ++p)
            *p = 0;
        buffer.length = length;
    }

private:
    // Reads the 32-bit length of a stored buffer and checks it against `capacity`.
    static std::uint32_t readStaticBufferLength(std::istream& stream, std::size_t capacity);
};

class SerializeEntityFactory {
public:
    // A new empty entity of the kind `entityId`, owned by the caller.
    virtual SerializableEntity* createSerializableEntity(int entityId) = 0;
    // Format version recorded in every cache file; files of another version miss.
    virtual std::uint32_t getSerializationVersion() = 0;
    virtual ~SerializeEntityFactory();
};

class CacheMemoryIntegrityDelegate {
public:
    // After a file of `entityId` was written, with its digest.
    virtual void cacheMemoryHash(CacheMemory* cacheMemory, int entityId,
                                 const CacheMemoryDigest& digest) = 0;
    // Before a file is read; false rejects it.
    virtual bool cacheMemoryVerifyHash(CacheMemory* cacheMemory, int entityId,
                                       const CacheMemoryDigest& digest) = 0;
    virtual ~CacheMemoryIntegrityDelegate();
};
