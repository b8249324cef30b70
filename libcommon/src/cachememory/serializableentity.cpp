#include "cachememory/serializableentity.h"

#include "trace.h"

QV_TRACE_UNIT("AMWKALVIK", "libcommon/include/cachememory/serializableentity");

SerializableEntity::~SerializableEntity() = default;
SerializeEntityFactory::~SerializeEntityFactory() = default;
CacheMemoryIntegrityDelegate::~CacheMemoryIntegrityDelegate() = default;

void SerializableEntity::writeStream(std::ostream& stream, const void* data, std::size_t size) {
    QV_FUNCTION_NAME("SerializableEntity::writeStream");
    QV_REQUIRE_AT_LINE(data, "data", 85);
    stream.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!stream.good()) {
        QV_TRACE("writeStream(): stream not good");
        throw SerializationException();
    }
}

void SerializableEntity::readStream(std::istream& stream, void* data, std::size_t size) {
    QV_FUNCTION_NAME("SerializableEntity::readStream");
    QV_REQUIRE_AT_LINE(data, "data", 113);
    stream.read(static_cast<char*>(data), static_cast<std::streamsize>(size));
    if (!stream.good()) {
        QV_TRACE("readStream(): stream not good");
        throw SerializationException();
    }
}

void SerializableEntity::writeUint8(std::ostream& stream, std::uint8_t value) {
    writeStream(stream, &value, sizeof value);
}

void SerializableEntity::writeUint16(std::ostream& stream, std::uint16_t value) {
    writeStream(stream, &value, sizeof value);
}

void SerializableEntity::writeUint32(std::ostream& stream, std::uint32_t value) {
    writeStream(stream, &value, sizeof value);
}

std::uint8_t SerializableEntity::readUint8(std::istream& stream) {
    std::uint8_t value = 0;
    readStream(stream, &value, sizeof value);
    return value;
}

std::uint16_t SerializableEntity::readUint16(std::istream& stream) {
    std::uint16_t value = 0;
    readStream(stream, &value, sizeof value);
    return value;
}

std::uint32_t SerializableEntity::readUint32(std::istream& stream) {
    std::uint32_t value = 0;
    readStream(stream, &value, sizeof value);
    return value;
}

void SerializableEntity::writeBytes(std::ostream& stream, const std::uint8_t* data,
                                    std::size_t length) {
    writeUint32(stream, static_cast<std::uint32_t>(length));
    if (length > 0)
        writeStream(stream, data, length);
}

void SerializableEntity::readBytes(std::istream& stream, std::vector<std::uint8_t>& bytes,
                                   std::size_t capacity) {
    const std::uint32_t length = readStaticBufferLength(stream, capacity);
    bytes.resize(length);
    if (length > 0)
        readStream(stream, bytes.data(), length);
}

std::uint32_t SerializableEntity::readStaticBufferLength(std::istream& stream,
                                                         std::size_t capacity) {
    std::uint32_t length = readUint32(stream);
    if (length > capacity) {
        QV_TRACE("readStream(): invalid size of static buffer (size:%d, max_size:%d)",
                 static_cast<int>(length), static_cast<int>(capacity));
        throw SerializationException();
    }
    return length;
}
