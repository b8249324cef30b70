#include "tlvparser.h"
#include "staticbuffer.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes contents(const StaticBuffer<65536>& b) { return Bytes(b.begin(), b.end()); }

// The walk through a real certificate is tested with the certificate object.
TEST(TlvReader, EntersSkipsAndReadsWithOrWithoutTheHeader) {
    const Bytes data = {0x30, 0x0B, 0xA0, 0x01, 0x02, 0x02, 0x02,
                        0x01, 0x7F, 0x30, 0x02, 0x05, 0x00};
    auto buffer = std::make_unique<StaticBuffer<65536>>();
    TlvReader reader(data.data(), data.size());
    reader.enter(0x30);
    reader.skip(0xA0);
    reader.readNext(0x02, buffer.get(), true);
    EXPECT_EQ(contents(*buffer), (Bytes{0x02, 0x02, 0x01, 0x7F}));
    reader.readNext(0x30, buffer.get(), false);
    EXPECT_EQ(contents(*buffer), (Bytes{0x05, 0x00}));
    EXPECT_EQ(reader.remaining(), 0u);
}

// The message of the failure, "" when none; capacity 0 asks for the size only.
std::string failureOf(const Bytes& data, std::uint8_t tag, std::uint64_t capacity = 64) {
    TlvReader reader(data.data(), data.size());
    Bytes out(capacity);
    std::uint64_t length = capacity;
    try {
        reader.readNext(tag, capacity ? out.data() : nullptr, &length, true, false);
    } catch (const TlvParserException& e) {
        return e.what();
    }
    return "";
}

TEST(TlvReader, RefusesMalformedInputWithItsMessage) {
    struct {
        Bytes data;
        std::uint8_t tag;
        std::uint64_t capacity;
        const char* message;
    } cases[] = {
        {{}, 0x04, 64, "TlvReader - reading after end of data"},
        {{0x04}, 0x04, 64, "TlvReader - reading after end of data"},
        {{0x02, 0x01, 0x05}, 0x04, 64, "unexpected tag [actual=0x2, requested=0x4]"},
        {{0x04, 0x89, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 0x04, 64, "invalid size of extended length"},
        {{0x04, 0x82, 0x01}, 0x04, 64, "TlvReader - reading after end of data"},
        {{0x04, 0x05, 1, 2}, 0x04, 64, "length 5 exceeds the size of buffer"},
        {{0x04, 0x81, 0x80, 1}, 0x04, 64, "length 128 exceeds the size of buffer"},
        {{0x04, 0x03, 1, 2, 3}, 0x04, 4, "insufficient size of buffer [actual=4, requested=5]"},
        // An overlong element fails even when only its size is asked for.
        {{0x30, 0x10, 0x02, 0x01, 0x00}, 0x30, 0, "length 16 exceeds the size of buffer"},
    };
    for (const auto& k : cases)
        EXPECT_EQ(failureOf(k.data, k.tag, k.capacity), k.message);
}

TEST(TlvReader, LongFormLengths) {
    Bytes data(3 + 128, 0x5A);
    data[0] = 0x04;
    data[1] = 0x81;
    data[2] = 0x80;
    TlvReader reader(data.data(), data.size());
    auto buffer = std::make_unique<StaticBuffer<65536>>();
    reader.readNext(0x04, buffer.get(), false);
    EXPECT_EQ(contents(*buffer), Bytes(128, 0x5A));
    EXPECT_EQ(reader.remaining(), 0u);

    // Eight length octets are accepted; 0x80 alone means length 0.
    Bytes eight = {0x04, 0x88, 0, 0, 0, 0, 0, 0, 0, 2, 0xAA, 0xBB, 0x05, 0x80};
    TlvReader r8(eight.data(), eight.size());
    std::uint8_t out[16];
    std::uint64_t length = sizeof out;
    r8.readNext(0x04, out, &length, false, false);
    EXPECT_EQ(Bytes(out, out + length), (Bytes{0xAA, 0xBB}));
    length = sizeof out;
    r8.readNext(0x05, out, &length, true, false);
    EXPECT_EQ(length, 2u);
}

TEST(TlvReader, SizeQueryStaysOnTheElementAndOnlyConstructedIsEntered) {
    Bytes data = {0x30, 0x03, 0x02, 0x01, 0x07, 0x05, 0x00};
    TlvReader reader(data.data(), data.size());
    std::uint64_t length = 0;
    reader.readNext(0x30, nullptr, &length, true, false);
    EXPECT_EQ(length, 5u);
    reader.readNext(0x30, nullptr, &length, false, false);
    EXPECT_EQ(length, 3u);
    std::uint8_t out[5];
    length = sizeof out;
    reader.readNext(0x30, out, &length, true, false);
    EXPECT_EQ(Bytes(out, out + 5), Bytes(data.begin(), data.begin() + 5));
    reader.skip(0x05);
    EXPECT_EQ(reader.remaining(), 0u);

    Bytes set = {0x31, 0x03, 0x04, 0x01, 0x09, 0x04, 0x01, 0x08};
    TlvReader entering(set.data(), set.size());
    entering.readNext(0x31, nullptr, nullptr, false, false);
    EXPECT_EQ(entering.position(), set.data() + 2);
    entering.readNext(0x04, nullptr, nullptr, false, false);  // primitive: skipped
    EXPECT_EQ(entering.position(), set.data() + 5);
    TlvReader skipping(set.data(), set.size());
    skipping.readNext(0x31, nullptr, nullptr, false, true);
    EXPECT_EQ(skipping.position(), set.data() + 5);
}

}  // namespace
