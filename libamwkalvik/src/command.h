#pragma once
// The one place where command APDUs are put together: header, then Lc and
// data when there is data, then Le when a response is expected.
#include "amwkalvik/apdu.h"
#include "exceptions.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace amwkalvik {
namespace apdu {

class Command {
public:
    static constexpr std::size_t MAX_DATA = 255;
    static constexpr std::size_t MAX_SIZE = 4 + 1 + MAX_DATA + 1;

    // Class 0x80 commands, the applet's own.
    static Command applet(Instruction ins, std::uint8_t p1 = 0, std::uint8_t p2 = 0) noexcept {
        return Command(0x80, ins, p1, p2);
    }
    // An applet command on the object whose block id goes in P1 (high byte) and P2.
    static Command forBlock(Instruction ins, std::uint16_t blockId) noexcept {
        return applet(ins, static_cast<std::uint8_t>(blockId >> 8),
                      static_cast<std::uint8_t>(blockId));
    }
    // SELECT by AID, the one class 0x00 command.
    static Command select() noexcept { return Command(0x00, INS_SELECT, 0x04, 0x00); }

    Command& data(const std::uint8_t* bytes, std::size_t length) {
        if (length > MAX_DATA)
            throw InternalErrorException("command data of %zu bytes does not fit one APDU", length);
        if (length > 0)
            std::memcpy(bytes_ + 5, bytes, length);
        dataLength_ = length;
        hasData_ = true;
        return *this;
    }

    Command& le(std::uint8_t value) noexcept {
        le_ = value;
        hasLe_ = true;
        return *this;
    }

    // The same command with another Le (the card's 6Cxx answer).
    Command withLe(std::uint8_t value) const noexcept {
        Command copy(*this);
        copy.le(value);
        return copy;
    }

    // Lays out Lc and Le behind the data and returns the whole command.
    const std::uint8_t* bytes() noexcept {
        std::size_t n = 4;
        if (hasData_) {
            bytes_[4] = static_cast<std::uint8_t>(dataLength_);
            n = 5 + dataLength_;
        }
        if (hasLe_)
            bytes_[n] = le_;
        return bytes_;
    }

    std::size_t size() const noexcept {
        return 4 + (hasData_ ? 1 + dataLength_ : 0) + (hasLe_ ? 1 : 0);
    }

private:
    Command(std::uint8_t cla, Instruction ins, std::uint8_t p1, std::uint8_t p2) noexcept
        : bytes_{cla, ins, p1, p2}, dataLength_(0), hasData_(false), hasLe_(false), le_(0) {}

    std::uint8_t bytes_[MAX_SIZE];
    std::size_t dataLength_;
    bool hasData_;
    bool hasLe_;
    std::uint8_t le_;
};

}  // namespace apdu
}  // namespace amwkalvik
