#pragma once
// PKCS #1 v1.5 padding done on the host: the card only applies the raw RSA
// private-key operation.
#include <cstddef>
#include <cstdint>

// Block type 1 for signing: 00 01 FF..FF 00 data, exactly `blockLength`
// bytes. InvalidPlainTextDataLength when the data leaves fewer than 8 FF bytes.
void pkcs1padSigniturePadding(const std::uint8_t* data, std::size_t dataLength, std::uint8_t* block,
                              std::size_t blockLength);

// Checks block type 2 (00 02 PS 00 message, PS at least 8 bytes) and points
// `message` into `buffer` after the separator; nothing is copied. Throws
// InvalidEncryptedDataLength or InvalidEncryptedData before writing anything.
void pkcs1unpadEncryptionPadding(const std::uint8_t* buffer, std::size_t length,
                                 const std::uint8_t** message, std::size_t* messageLength);
