#include "exceptions.h"
#include "internal/utils.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes repeat(std::size_t n, std::uint8_t value) { return Bytes(n, value); }
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes counting(std::size_t n, std::uint8_t first = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(first + i);
    return b;
}

// ------------------------------------------------------------- signing (type 1)

TEST(SignaturePadding, BuildsBlockTypeOneAndRefusesFewerThanEightPaddingBytes) {
    // A SHA-256 DigestInfo, the longest data into 1024 and 2048 bits, no data.
    const std::pair<std::size_t, std::size_t> fits[] = {
        {51, 128}, {36, 128}, {117, 128}, {245, 256}, {0, 128}};
    for (const auto& [dataLength, blockLength] : fits) {
        SCOPED_TRACE(std::to_string(dataLength) + " into " + std::to_string(blockLength));
        const Bytes data = counting(dataLength, 0x30);
        // One guard byte past the block shows nothing is written beyond it.
        Bytes block(blockLength + 1, 0xA5);
        pkcs1padSigniturePadding(data.data(), data.size(), block.data(), blockLength);
        EXPECT_EQ(block, (Bytes{0x00, 0x01} + repeat(blockLength - dataLength - 3, 0xFF) +
                          Bytes{0x00} + data + Bytes{0xA5}));
    }
    const std::size_t huge = static_cast<std::size_t>(-1);
    const std::pair<std::size_t, std::size_t> refused[] = {
        {118, 128}, {246, 256}, {0, 10}, {5, 0}, {huge, 256}};
    for (const auto& [dataLength, blockLength] : refused) {
        const Bytes data(dataLength == huge ? 1 : dataLength, 0x11);
        Bytes block(256, 0xA5);
        try {
            pkcs1padSigniturePadding(data.data(), dataLength, block.data(), blockLength);
            ADD_FAILURE() << dataLength << " bytes into " << blockLength << " accepted";
        } catch (const InvalidPlainTextDataLength& e) {
            EXPECT_EQ(std::string(e.what()), "Invalid lenght of plain text data [length=" +
                                                 std::to_string(static_cast<long>(dataLength)) +
                                                 "]");
        }
        EXPECT_EQ(block, Bytes(256, 0xA5));
    }
}

// ---------------------------------------------------------- decryption (type 2)

const Bytes SECRET = {'s', 'e', 'c', 'r', 'e', 't'};

TEST(EncryptionUnpadding, PointsAtTheMessageInsideTheBuffer) {
    const struct {
        const char* name;
        Bytes block, message;
    } cases[] = {
        {"eight padding bytes", Bytes{0x00, 0x02} + counting(8, 0x10) + Bytes{0x00} + SECRET,
         SECRET},
        {"full size 2048",
         Bytes{0x00, 0x02} + repeat(256 - 3 - 200, 0xC3) + Bytes{0x00} + counting(200),
         counting(200)},
        // Only the first zero separates: later zeros belong to the message.
        {"message with zeros", Bytes{0x00, 0x02} + repeat(9, 0x01) + Bytes{0x00, 0x00, 0x05, 0x00},
         Bytes{0x00, 0x05, 0x00}},
        {"separator last", Bytes{0x00, 0x02} + repeat(125, 0x44) + Bytes{0x00}, Bytes{}},
        {"shortest block", Bytes{0x00, 0x02} + repeat(8, 0x44) + Bytes{0x00}, Bytes{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint8_t* message = nullptr;
        std::size_t length = 999;
        pkcs1unpadEncryptionPadding(c.block.data(), c.block.size(), &message, &length);
        ASSERT_EQ(length, c.message.size());
        // Not a copy: the message lies at the end of the buffer.
        EXPECT_EQ(message, c.block.data() + c.block.size() - length);
        EXPECT_EQ(Bytes(message, message + length), c.message);
    }
}

TEST(EncryptionUnpadding, RefusalsThrowBeforeWritingTheOutputs) {
    const std::string BEGINNING =
        "Invalid format of encrypted data [invalid beginning of padding header (0x00 | 0x02)]";
    const std::string ENDING =
        "Invalid format of encrypted data [invalid ending of padding header (not ends with 0x00)]";
    const std::string SHORT_PS =
        "Invalid format of encrypted data [invalid length of PS in padding (less than 8 bytes)]";
    const struct {
        Bytes block;
        std::size_t length;  // of the block given; 0: all of it
        std::string message;
    } cases[] = {
        {repeat(10, 0x00), 0, "Invalid lenght of encrypted data [length=10]"},
        {Bytes{0x00, 0x01} + repeat(8, 0xFF) + Bytes{0x00} + SECRET, 0, BEGINNING},
        {Bytes{0x01, 0x02} + repeat(8, 0x33) + Bytes{0x00} + SECRET, 0, BEGINNING},
        {Bytes{0x00, 0x02} + repeat(126, 0x5A), 0, ENDING},
        // The search for the separator stops at the given length, whatever follows.
        {Bytes{0x00, 0x02} + repeat(20, 0x5A) + Bytes{0x00, 0x01}, 22, ENDING},
        {Bytes{0x00, 0x02} + repeat(7, 0x33) + Bytes{0x00} + SECRET, 0, SHORT_PS},
        {Bytes{0x00, 0x02, 0x00} + repeat(125, 0x33), 0, SHORT_PS},
    };
    for (const auto& c : cases) {
        const std::uint8_t* message = nullptr;
        std::size_t length = 999;
        try {
            pkcs1unpadEncryptionPadding(c.block.data(), c.length ? c.length : c.block.size(),
                                        &message, &length);
            ADD_FAILURE() << "accepted";
        } catch (const QVException& e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
        EXPECT_EQ(message, nullptr);
        EXPECT_EQ(length, 999u);
    }
    const std::uint8_t* message = nullptr;
    std::size_t length = 0;
    try {
        pkcs1unpadEncryptionPadding(nullptr, 128, &message, &length);
        ADD_FAILURE() << "accepted";
    } catch (const InvalidArgumentException& e) {
        EXPECT_STREQ(e.what(),
                     "Null pointer exception <buffer> [pkcs1unpadEncryptionPadding() "
                     "libpkcs11/src/internal/utils:44]");
    }
}

}  // namespace
