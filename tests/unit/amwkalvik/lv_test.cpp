// LV metadata values: what is read, what is refused, and that nothing is
// read or written outside the buffers.
#include "amwkalvik/lv.h"
#include "exceptions.h"
#include "fakeconnection.h"

#include <gtest/gtest.h>

using amwkalvik::LvReader;
using amwkalvik::LvWriter;
using fake::Bytes;
using fake::expectThrowMessage;
using fake::hex;

TEST(LvReader, ReadsPresentAndAbsentValuesInOrder) {
    const Bytes metadata = hex("03 61 62 63 FF 00 01 07");
    LvReader reader(metadata.data(), metadata.size());
    std::uint8_t buf[8];
    std::size_t length = sizeof buf;
    EXPECT_TRUE(reader.readValue(buf, &length, 0));
    EXPECT_EQ(Bytes(buf, buf + length), hex("61 62 63"));
    length = sizeof buf;
    EXPECT_FALSE(reader.readValue(buf, &length, 0));
    EXPECT_EQ(length, 0u);
    length = sizeof buf;
    EXPECT_TRUE(reader.readValue(buf, &length, LvReader::MANDATORY));
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(reader.readByte(), 0x07);
    EXPECT_EQ(reader.position(), metadata.size());
}

TEST(LvReader, RefusesMalformedValues) {
    struct Case {
        const char* input;
        std::size_t capacity;
        unsigned flags;
        const char* message;
    };
    const Case cases[] = {
        {"FF", 8, LvReader::MANDATORY, "mandatory value not present"},
        {"02 01 02", 1, LvReader::MANDATORY | LvReader::EXACT_SIZE,
         "unexpected size of data (expected = 1, actual = 2)"},
        // The length byte is the last byte and announces one more.
        {"01", 8, 0, "length would exceed the input buffer"},
        {"05 01 02 03 04", 8, 0, "length would exceed the input buffer"},
        {"", 8, 0, "length would exceed the input buffer"},
        {"05 01 02 03 04 05", 4, 0,
         "insufficient buffer to store data into (requested = 5, actual = 4)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        Bytes input = hex(c.input);
        // One guard byte after the input that a reader must never take.
        Bytes storage = input;
        storage.push_back(0x01);
        LvReader reader(storage.data(), input.size());
        std::uint8_t buf[8] = {};
        std::size_t length = c.capacity;
        expectThrowMessage<LvParserException>([&] { reader.readValue(buf, &length, c.flags); },
                                              c.message);
        EXPECT_EQ(buf[0], 0) << "nothing copied on failure";
    }
}

TEST(LvWriter, WritesUpToItsLimits) {
    LvWriter writer;
    const Bytes max(254, 0xAB);
    writer.writeValue(max.data(), max.size());
    EXPECT_EQ(writer.size(), 255u);
    EXPECT_EQ(writer.data()[0], 0xFE);

    const Bytes tooLong(255, 0);
    expectThrowMessage<LvParserException>(
        [&] { writer.writeValue(tooLong.data(), tooLong.size()); },
        "unsupported data size (supported = 0xFE, requested= 0xFF)");
    EXPECT_EQ(writer.size(), 255u);

    writer.writeValue(max.data(), max.size());
    writer.writeValue(max.data(), max.size());
    writer.writeValue(max.data(), max.size());  // 1020 bytes used
    const Bytes four(4, 1);
    expectThrowMessage<LvParserException>(
        [&] { writer.writeValue(four.data(), four.size()); },
        "insufficient buffer to write data into (requested = 5, avaliable= 4)");
    writer.writeValue(four.data(), 3);
    EXPECT_EQ(writer.size(), 1024u);

    // What the writer produces, the reader gives back.
    LvReader reader(writer.data(), writer.size());
    StaticBuffer<256> value;
    for (int i = 0; i < 4; ++i) {
        reader.readMandatory(value);
        EXPECT_EQ(value.size(), 254u);
    }
    reader.readMandatory(value);
    EXPECT_EQ(value.size(), 3u);
}
