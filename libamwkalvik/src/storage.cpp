#include "storage.h"

#include "amwkalvik/apdu.h"
#include "amwkalvik/objects.h"
#include "exceptions.h"
#include "trace.h"

#include <cstring>

QV_TRACE_UNIT("AMWKALVIK", "libamwkalvik/src/storage");

namespace amwkalvik {

namespace header {

std::uint16_t field(const std::uint8_t* header, std::size_t offset) noexcept {
    std::uint16_t value;
    std::memcpy(&value, header + offset, sizeof value);
    return value;
}

void toHostOrder(std::uint8_t* header, std::size_t offset) noexcept {
    const std::uint16_t value =
        static_cast<std::uint16_t>((header[offset] << 8) | header[offset + 1]);
    std::memcpy(header + offset, &value, sizeof value);
}

}  // namespace header

void checkCardFreeSpace(ctl::CardConnection& connection, std::uint32_t oldSize,
                        std::uint32_t newSize) {
    QV_ENTER("amwkalvik::checkCardFreeSpace");
    QV_TRACE_VALUE(oldSize);
    QV_TRACE_VALUE(newSize);
    if (newSize <= oldSize)
        return;
    std::uint32_t blockSize = 0, total = 0, freeBytes = 0;
    apdu::getMemoryInfo(connection, &blockSize, &total, &freeBytes);
    if (blockSize == 0)
        throw amw::CardOutOfMemoryException();
    auto blocks = [blockSize](std::uint64_t bytes) { return (bytes + blockSize - 1) / blockSize; };
    const std::uint64_t needed = blocks(newSize);
    const std::uint64_t released = blocks(oldSize);
    const std::uint64_t available = blocks(freeBytes);
    QV_TRACE_NAMED("needed_block_count", numberText(needed));
    QV_TRACE_NAMED("released_block_count", numberText(released));
    QV_TRACE_NAMED("free_block_count", numberText(available));
    if (needed > available + released)
        throw amw::CardOutOfMemoryException();
}

namespace storage {

std::size_t readMetadata(ctl::CardConnection& connection, const std::uint8_t* header,
                         std::uint8_t* out, const char* function, const char* source, int line) {
    const std::size_t size = header::field(header, header::METADATA_SIZE);
    QV_CHECK_RANGE(size, 0, MAX_METADATA_SIZE, "header.metaDataSize", function, source, line);
    apdu::readData(connection, out, size);
    return size;
}

std::uint16_t commitMetadata(ctl::CardConnection& connection, std::uint16_t blockId,
                             const LvWriter& metadata) {
    if (blockId == NO_BLOCK)
        apdu::setMetadataSize(connection, metadata.size());
    else
        apdu::beginUpdateMetadata(connection, blockId, metadata.size());
    apdu::writeData(connection, metadata.data(), metadata.size());
    return apdu::commitCreationOrUpdateMetadata(connection);
}

void readContent(ctl::CardConnection& connection, std::uint16_t blockId,
                 StaticBuffer<65536>& buffer, bool sensitive) {
    const std::uint16_t size = apdu::beginReadContent(connection, blockId);
    buffer.clear();
    if (size == 0)
        return;
    apdu::readData(connection, buffer.data, size, sensitive);
    buffer.length = size;
}

void writeContent(ctl::CardConnection& connection, std::uint16_t blockId,
                  const StaticBuffer<65536>& content, std::uint32_t& cardContentSize,
                  bool sensitive) {
    QV_FUNCTION_NAME("amwkalvik::storage::writeContent");
    // The card keeps content sizes in 16 bits.
    const std::size_t contentSize = content.size();
    QV_REQUIRE_RANGE(contentSize, 0, 0xFFFF);
    const std::uint32_t newSize = static_cast<std::uint32_t>(contentSize);
    checkCardFreeSpace(connection, cardContentSize, newSize);
    apdu::removeContent(connection, blockId);
    cardContentSize = 0;
    if (newSize == 0)
        return;
    apdu::createContent(connection, blockId, newSize);
    apdu::writeData(connection, content.data, newSize, sensitive);
    apdu::commitUpdateContent(connection);
    cardContentSize = newSize;
}

}  // namespace storage
}  // namespace amwkalvik
