#pragma once
// Forward reader over single-byte-tag BER-TLV (DER) data, used to walk
// X.509 certificates. The reader does not own the bytes.
#include "exceptions.h"
#include "staticbuffer.h"

#include <cstddef>
#include <cstdint>

class TlvReader {
public:
    TlvReader(const std::uint8_t* data, std::uint64_t size) noexcept
        : data_(data), size_(size), position_(data) {}

    // Reads the next element, which must carry `tag`.
    // - `length` non-null, `buffer` null: size query; stores the needed size
    //   (value, plus tag and length octets with `includeHeader`) and stays on
    //   the same element.
    // - both non-null: `*length` is the capacity on entry; copies the element
    //   (or its value alone) and stores the size delivered.
    // - `length` null: nothing is copied. A primitive element is skipped; a
    //   constructed one (tag bit 0x20) is entered unless `skipConstructed`.
    void readNext(std::uint8_t tag, std::uint8_t* buffer, std::uint64_t* length, bool includeHeader,
                  bool skipConstructed);

    // Reads into a whole StaticBuffer<65536>, leaving the delivered length in it.
    void readNext(std::uint8_t tag, StaticBuffer<65536>* buffer, bool includeHeader);

    // Enters or skips the next element without copying it.
    void enter(std::uint8_t tag) { readNext(tag, nullptr, nullptr, false, false); }
    void skip(std::uint8_t tag) { readNext(tag, nullptr, nullptr, false, true); }

    std::uint64_t remaining() const noexcept {
        return size_ - static_cast<std::uint64_t>(position_ - data_);
    }
    const std::uint8_t* position() const noexcept { return position_; }

private:
    const std::uint8_t* data_;
    std::uint64_t size_;
    const std::uint8_t* position_;
};

inline void TlvReader::readNext(std::uint8_t tag, std::uint8_t* buffer, std::uint64_t* length,
                                bool includeHeader, bool skipConstructed) {
    const std::uint8_t* start = position_;
    if (remaining() < 1)
        throw TlvParserException("TlvReader - reading after end of data");
    std::uint8_t actual = *position_++;
    if (actual != tag)
        throw TlvParserException("unexpected tag [actual=0x%X, requested=0x%X]",
                                 static_cast<unsigned>(actual), static_cast<unsigned>(tag));
    if (remaining() < 1)
        throw TlvParserException("TlvReader - reading after end of data");
    std::uint8_t first = *position_++;
    std::uint64_t valueLength = first;
    if (first & 0x80) {
        unsigned count = first & 0x7F;
        if (count >= 9)
            throw TlvParserException("invalid size of extended length");
        valueLength = 0;
        for (unsigned i = 0; i < count; ++i) {
            if (remaining() < 1)
                throw TlvParserException("TlvReader - reading after end of data");
            valueLength = (valueLength << 8) | *position_++;
        }
    }
    if (valueLength > remaining())
        throw TlvParserException("length %d exceeds the size of buffer",
                                 static_cast<int>(static_cast<std::uint32_t>(valueLength)));
    const std::uint8_t* value = position_;
    const std::uint64_t headerSize = static_cast<std::uint64_t>(value - start);

    if (length != nullptr) {
        const std::uint64_t needed = valueLength + (includeHeader ? headerSize : 0);
        if (buffer == nullptr) {
            *length = needed;
            position_ = start;
            return;
        }
        if (*length < needed)
            throw TlvParserException("insufficient size of buffer [actual=%d, requested=%d]",
                                     static_cast<int>(static_cast<std::uint32_t>(*length)),
                                     static_cast<int>(static_cast<std::uint32_t>(needed)));
        *length = needed;
        std::memcpy(buffer, includeHeader ? start : value, static_cast<std::size_t>(needed));
        position_ = value + valueLength;
        return;
    }
    const bool constructed = (tag & 0x20) != 0;
    if (!constructed || skipConstructed)
        position_ = value + valueLength;
}

inline void TlvReader::readNext(std::uint8_t tag, StaticBuffer<65536>* buffer, bool includeHeader) {
    if (buffer == nullptr)
        throw InvalidArgumentException::nullPointer("buffer", "TlvReader::readNext",
                                                    "libcommon/include/tlvparser", 85);
    buffer->length = 65536;
    readNext(tag, buffer->data, &buffer->length, includeHeader, false);
}
