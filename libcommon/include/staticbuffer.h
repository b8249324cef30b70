#pragma once
// Byte array of fixed capacity N stored inline, with the number of valid
// bytes. A plain value type: copying copies all N bytes.
#include "exceptions.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

template <std::size_t N>
class StaticBuffer {
public:
    static constexpr std::size_t CAPACITY = N;

    StaticBuffer() noexcept : data(), length(0) {}

    StaticBuffer(const std::uint8_t* bytes, std::uint64_t count) : data(), length(0) {
        assign(bytes, count);
    }

    // Replaces the content; refuses more than N bytes before touching anything.
    void assign(const std::uint8_t* bytes, std::uint64_t count) {
        if (count > N) {
            char function[64];
            std::snprintf(function, sizeof function, "StaticBuffer<%zu>::StaticBuffer", N);
            throw InvalidArgumentException::outOfRange("length", static_cast<long long>(count), 0,
                                                       static_cast<long long>(N), function,
                                                       "libcommon/include/staticbuffer", 55);
        }
        if (count > 0 && bytes == nullptr)
            throw InvalidArgumentException::nullPointer("bytes", "StaticBuffer::assign",
                                                        "libcommon/include/staticbuffer", 54);
        std::memset(data, 0, N);
        if (count > 0)
            std::memcpy(data, bytes, static_cast<std::size_t>(count));
        length = count;
    }

    void clear() noexcept {
        std::memset(data, 0, N);
        length = 0;
    }

    std::size_t size() const noexcept { return static_cast<std::size_t>(length); }
    bool empty() const noexcept { return length == 0; }
    static constexpr std::size_t capacity() noexcept { return N; }
    const std::uint8_t* begin() const noexcept { return data; }
    const std::uint8_t* end() const noexcept { return data + length; }

    // Compares the valid bytes only.
    bool operator==(const StaticBuffer& other) const noexcept {
        return length == other.length && std::memcmp(data, other.data, size()) == 0;
    }
    bool operator!=(const StaticBuffer& other) const noexcept { return !(*this == other); }

    std::uint8_t data[N];
    std::uint64_t length;
};
