#include "amwkalvik/lv.h"

#include "exceptions.h"

#include <cstring>

namespace amwkalvik {

bool LvReader::readValue(std::uint8_t* buffer, std::size_t* length, unsigned flags) {
    if (position_ >= size_)
        throw LvParserException("length would exceed the input buffer");
    const std::size_t l = data_[position_];
    if (l == LV_ABSENT) {
        if (flags & MANDATORY)
            throw LvParserException("mandatory value not present");
        *length = 0;
        ++position_;
        return false;
    }
    if ((flags & EXACT_SIZE) && *length != l)
        throw LvParserException("unexpected size of data (expected = %d, actual = %d)",
                                static_cast<int>(*length), static_cast<int>(l));
    if (size_ - position_ < 1 + l)
        throw LvParserException("length would exceed the input buffer");
    if (l > *length)
        throw LvParserException(
            "insufficient buffer to store data into (requested = %d, actual = %d)",
            static_cast<int>(l), static_cast<int>(*length));
    if (l > 0)
        std::memcpy(buffer, data_ + position_ + 1, l);
    position_ += 1 + l;
    *length = l;
    return true;
}

std::uint8_t LvReader::readByte() {
    std::uint8_t value = 0;
    std::size_t length = 1;
    readValue(&value, &length, MANDATORY | EXACT_SIZE);
    return value;
}

void LvWriter::writeValue(const std::uint8_t* value, std::size_t length) {
    if (length > LV_MAX_VALUE)
        throw LvParserException("unsupported data size (supported = 0xFE, requested= 0x%X)",
                                static_cast<unsigned>(length));
    if (used_ + length + 1 > MAX_METADATA_SIZE)
        throw LvParserException(
            "insufficient buffer to write data into (requested = %d, avaliable= %d)",
            static_cast<int>(length + 1), static_cast<int>(MAX_METADATA_SIZE - used_));
    buffer_[used_] = static_cast<std::uint8_t>(length);
    if (length > 0)
        std::memcpy(buffer_ + used_ + 1, value, length);
    used_ += 1 + length;
}

}  // namespace amwkalvik
