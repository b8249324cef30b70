#include "cachememory/serializableentity.h"

#include "logger.h"

namespace {

constexpr const char* COMPONENT = "AMWKALVIK";
constexpr const char* SOURCE = "libcommon/include/cachememory/serializableentity";

}  // namespace

SerializableEntity::~SerializableEntity() = default;
SerializeEntityFactory::~SerializeEntityFactory() = default;
CacheMemoryIntegrityDelegate::~CacheMemoryIntegrityDelegate() = default;

void SerializableEntity::writeStream(std::ostream& stream, const void* data, std::size_t size) {
    QV_CHECK_NOT_NULL(data, "data", "SerializableEntity::writeStream", SOURCE, 85);
    stream.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!stream.good()) {
        QV_LOG(COMPONENT, "writeStream(): stream not good");
        throw SerializationException();
    }
}

void SerializableEntity::readStream(std::istream& stream, void* data, std::size_t size) {
    QV_CHECK_NOT_NULL(data, "data", "SerializableEntity::readStream", SOURCE, 113);
    stream.read(static_cast<char*>(data), static_cast<std::streamsize>(size));
    if (!stream.good()) {
        QV_LOG(COMPONENT, "readStream(): stream not good");
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

std::uint32_t SerializableEntity::readStaticBufferLength(std::istream& stream,
                                                         std::size_t capacity) {
    std::uint32_t length = readUint32(stream);
    if (length > capacity) {
        QV_LOG(COMPONENT, "readStream(): invalid size of static buffer (size:%d, max_size:%d)",
               static_cast<int>(length), static_cast<int>(capacity));
        throw SerializationException();
    }
    return length;
}
