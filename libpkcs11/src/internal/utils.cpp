#include "internal/utils.h"

#include "exceptions.h"
#include "trace.h"

#include <cstring>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/internal/utils");

namespace {
// 00, the block type, at least 8 padding bytes, 00.
constexpr std::size_t PADDING_OVERHEAD = 11;
constexpr std::size_t MIN_PADDING_STRING = 8;
constexpr std::size_t PADDING_STRING_START = 2;
}  // namespace

void pkcs1padSigniturePadding(const std::uint8_t* data, std::size_t dataLength, std::uint8_t* block,
                              std::size_t blockLength) {
    QV_FUNCTION_NAME("pkcs1padSigniturePadding");
    // Written so that no huge length can wrap the comparison.
    if (blockLength < PADDING_OVERHEAD || dataLength > blockLength - PADDING_OVERHEAD)
        throw InvalidPlainTextDataLength(static_cast<unsigned long>(dataLength));
    if (dataLength > 0)
        QV_REQUIRE(data);
    QV_REQUIRE(block);
    const std::size_t separator = blockLength - dataLength - 1;
    block[0] = 0x00;
    block[1] = 0x01;
    std::memset(block + PADDING_STRING_START, 0xFF, separator - PADDING_STRING_START);
    block[separator] = 0x00;
    if (dataLength > 0)
        std::memcpy(block + separator + 1, data, dataLength);
}

void pkcs1unpadEncryptionPadding(const std::uint8_t* buffer, std::size_t length,
                                 const std::uint8_t** message, std::size_t* messageLength) {
    QV_FUNCTION_NAME("pkcs1unpadEncryptionPadding");
    QV_REQUIRE_AT_LINE(buffer, "buffer", 44);
    QV_REQUIRE(message);
    QV_REQUIRE(messageLength);
    if (length < PADDING_OVERHEAD)
        throw InvalidEncryptedDataLength(static_cast<unsigned long>(length));
    if (buffer[0] != 0x00 || buffer[1] != 0x02)
        throw InvalidEncryptedData("invalid beginning of padding header (0x00 | 0x02)");
    const void* found =
        std::memchr(buffer + PADDING_STRING_START, 0x00, length - PADDING_STRING_START);
    if (found == nullptr)
        throw InvalidEncryptedData("invalid ending of padding header (not ends with 0x00)");
    const std::size_t separator =
        static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - buffer);
    if (separator - PADDING_STRING_START < MIN_PADDING_STRING)
        throw InvalidEncryptedData("invalid length of PS in padding (less than 8 bytes)");
    *message = buffer + separator + 1;
    *messageLength = length - separator - 1;
}
