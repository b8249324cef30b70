#pragma once
// A card connection whose answers come from fuzz bytes: each answer is a
// 2-byte big-endian length, that many data bytes (cut to what the caller can
// take) and a 2-byte status word. When the bytes run out every command fails
// with 6F 00, so a driver loop that trusts the card still ends.
#include "fakeconnection.h"

#include <cstddef>
#include <cstdint>

class HostileConnection : public fake::Connection {
public:
    HostileConnection(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint16_t transmit(const std::uint8_t* command, std::size_t commandLength,
                           std::uint8_t* response, std::size_t* responseLength,
                           std::uint32_t sensitive) override {
        fake::Response r = fake::status(0x6F00);
        if (size_ >= 4) {
            std::size_t length = std::size_t(data_[0]) << 8 | data_[1];
            length = std::min({length, size_ - 4, *responseLength});
            r.data.assign(data_ + 2, data_ + 2 + length);
            r.sw = std::uint16_t(data_[2 + length] << 8 | data_[3 + length]);
            data_ += 4 + length;
            size_ -= 4 + length;
        }
        responses.push_back(std::move(r));
        return fake::Connection::transmit(command, commandLength, response, responseLength,
                                          sensitive);
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};
