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

struct PadCase {
    const char* name;
    std::size_t dataLength;
    std::size_t blockLength;
};

class SignaturePadding : public ::testing::TestWithParam<PadCase> {};

TEST_P(SignaturePadding, BuildsBlockTypeOne) {
    const PadCase& c = GetParam();
    const Bytes data = counting(c.dataLength, 0x30);
    // One guard byte past the block shows nothing is written beyond it.
    Bytes block(c.blockLength + 1, 0xA5);
    pkcs1padSigniturePadding(data.data(), data.size(), block.data(), c.blockLength);
    const Bytes expected = Bytes{0x00, 0x01} + repeat(c.blockLength - c.dataLength - 3, 0xFF) +
                           Bytes{0x00} + data + Bytes{0xA5};
    EXPECT_EQ(block, expected);
}

INSTANTIATE_TEST_SUITE_P(Blocks, SignaturePadding,
                         ::testing::Values(PadCase{"Sha256DigestInfoInto1024", 51, 128},
                                           PadCase{"ThirtySixInto1024", 36, 128},
                                           PadCase{"LongestInto1024", 117, 128},
                                           PadCase{"LongestInto2048", 245, 256},
                                           PadCase{"EmptyData", 0, 128}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SignaturePaddingRefusal, DataLeavingFewerThanEightPaddingBytesIsRefusedUntouched) {
    struct Case {
        std::size_t dataLength, blockLength;
    };
    for (const Case c : {Case{118, 128}, Case{246, 256}, Case{0, 10}, Case{5, 0},
                         Case{static_cast<std::size_t>(-1), 256}}) {
        const Bytes data(c.dataLength == static_cast<std::size_t>(-1) ? 1 : c.dataLength, 0x11);
        Bytes block(256, 0xA5);
        try {
            pkcs1padSigniturePadding(data.data(), c.dataLength, block.data(), c.blockLength);
            ADD_FAILURE() << c.dataLength << " bytes into " << c.blockLength << " accepted";
        } catch (const InvalidPlainTextDataLength& e) {
            EXPECT_EQ(std::string(e.what()), "Invalid lenght of plain text data [length=" +
                                                 std::to_string(static_cast<long>(c.dataLength)) +
                                                 "]");
        }
        EXPECT_EQ(block, Bytes(256, 0xA5));
    }
}

// ---------------------------------------------------------- decryption (type 2)

struct UnpadCase {
    const char* name;
    Bytes block;
    Bytes message;
};

class EncryptionUnpadding : public ::testing::TestWithParam<UnpadCase> {};

TEST_P(EncryptionUnpadding, PointsAtTheMessageInsideTheBuffer) {
    const UnpadCase& c = GetParam();
    const std::uint8_t* message = nullptr;
    std::size_t length = 999;
    pkcs1unpadEncryptionPadding(c.block.data(), c.block.size(), &message, &length);
    ASSERT_EQ(length, c.message.size());
    // Not a copy: the message lies at the end of the buffer.
    EXPECT_EQ(message, c.block.data() + c.block.size() - length);
    EXPECT_EQ(Bytes(message, message + length), c.message);
}

const Bytes SECRET = {'s', 'e', 'c', 'r', 'e', 't'};

INSTANTIATE_TEST_SUITE_P(
    Blocks, EncryptionUnpadding,
    ::testing::Values(
        UnpadCase{"EightPaddingBytes", Bytes{0x00, 0x02} + counting(8, 0x10) + Bytes{0x00} + SECRET,
                  SECRET},
        UnpadCase{"FullSize2048",
                  Bytes{0x00, 0x02} + repeat(256 - 3 - 200, 0xC3) + Bytes{0x00} + counting(200),
                  counting(200)},
        // Only the first zero separates: later zeros belong to the message.
        UnpadCase{"MessageWithZeros",
                  Bytes{0x00, 0x02} + repeat(9, 0x01) + Bytes{0x00, 0x00, 0x05, 0x00},
                  Bytes{0x00, 0x05, 0x00}},
        UnpadCase{"SeparatorLastGivesEmptyMessage",
                  Bytes{0x00, 0x02} + repeat(125, 0x44) + Bytes{0x00}, Bytes{}},
        UnpadCase{"ShortestBlock", Bytes{0x00, 0x02} + repeat(8, 0x44) + Bytes{0x00}, Bytes{}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusalCase {
    const char* name;
    Bytes block;
    std::string message;
};

class EncryptionUnpaddingRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(EncryptionUnpaddingRefusal, ThrowsBeforeWritingTheOutputs) {
    const RefusalCase& c = GetParam();
    const std::uint8_t* message = nullptr;
    std::size_t length = 999;
    try {
        pkcs1unpadEncryptionPadding(c.block.data(), c.block.size(), &message, &length);
        ADD_FAILURE() << "accepted";
    } catch (const QVException& e) {
        EXPECT_EQ(std::string(e.what()), c.message);
    }
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(length, 999u);
}

const std::string BEGINNING =
    "Invalid format of encrypted data [invalid beginning of padding header (0x00 | 0x02)]";
const std::string ENDING =
    "Invalid format of encrypted data [invalid ending of padding header (not ends with 0x00)]";
const std::string SHORT_PS =
    "Invalid format of encrypted data [invalid length of PS in padding (less than 8 bytes)]";

INSTANTIATE_TEST_SUITE_P(
    Blocks, EncryptionUnpaddingRefusal,
    ::testing::Values(
        RefusalCase{"TenBytes", repeat(10, 0x00), "Invalid lenght of encrypted data [length=10]"},
        RefusalCase{"BlockTypeOne", Bytes{0x00, 0x01} + repeat(8, 0xFF) + Bytes{0x00} + SECRET,
                    BEGINNING},
        RefusalCase{"FirstByteNotZero", Bytes{0x01, 0x02} + repeat(8, 0x33) + Bytes{0x00} + SECRET,
                    BEGINNING},
        RefusalCase{"NoSeparator", Bytes{0x00, 0x02} + repeat(126, 0x5A), ENDING},
        RefusalCase{"SevenPaddingBytes", Bytes{0x00, 0x02} + repeat(7, 0x33) + Bytes{0x00} + SECRET,
                    SHORT_PS},
        RefusalCase{"SeparatorRightAfterHeader", Bytes{0x00, 0x02, 0x00} + repeat(125, 0x33),
                    SHORT_PS}),
    [](const auto& info) { return std::string(info.param.name); });

// The search for the separator stops at the given length, whatever follows.
TEST(EncryptionUnpaddingBounds, ZeroPastTheLengthIsNotASeparator) {
    const Bytes memory = Bytes{0x00, 0x02} + repeat(20, 0x5A) + Bytes{0x00, 0x01};
    const std::uint8_t* message = nullptr;
    std::size_t length = 0;
    EXPECT_THROW(pkcs1unpadEncryptionPadding(memory.data(), 22, &message, &length),
                 InvalidEncryptedData);
}

TEST(EncryptionUnpaddingBounds, NullBufferIsNamed) {
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
