#pragma once
// LV encoding of on-card metadata: one length byte L (0..0xFE) followed by L
// bytes; the length byte 0xFF marks an absent value.
#include "staticbuffer.h"

#include <cstddef>
#include <cstdint>

namespace amwkalvik {

constexpr std::size_t MAX_METADATA_SIZE = 1024;
constexpr std::uint8_t LV_ABSENT = 0xFF;
constexpr std::size_t LV_MAX_VALUE = 0xFE;

// Reads consecutive values; never reads outside [data, data + size).
class LvReader {
public:
    enum Flags : unsigned { MANDATORY = 1, EXACT_SIZE = 2 };

    LvReader(const std::uint8_t* data, std::size_t size) noexcept
        : data_(data), size_(size), position_(0) {}

    // `length`: capacity of `buffer` on entry (the exact size wanted with
    // EXACT_SIZE), the value's length on return. False when the value is
    // absent (only allowed without MANDATORY). Throws LvParserException.
    bool readValue(std::uint8_t* buffer, std::size_t* length, unsigned flags);

    // A mandatory value of at most N bytes.
    template <std::size_t N>
    void readMandatory(StaticBuffer<N>& out) {
        std::size_t length = N;
        std::uint8_t bytes[N];
        readValue(bytes, &length, MANDATORY);
        out.assign(bytes, length);
    }

    // A mandatory value of exactly one byte.
    std::uint8_t readByte();

    std::size_t position() const noexcept { return position_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_;
};

// Builds metadata in a 1024-byte buffer.
class LvWriter {
public:
    // Throws LvParserException for a value over 0xFE bytes or when the buffer is full.
    void writeValue(const std::uint8_t* value, std::size_t length);
    template <std::size_t N>
    void writeValue(const StaticBuffer<N>& value) {
        writeValue(value.data, value.size());
    }
    void writeByte(std::uint8_t value) { writeValue(&value, 1); }

    const std::uint8_t* data() const noexcept { return buffer_; }
    std::size_t size() const noexcept { return used_; }

private:
    std::uint8_t buffer_[MAX_METADATA_SIZE] = {};
    std::size_t used_ = 0;
};

}  // namespace amwkalvik
