#pragma once
// The card driver's only view of a card: the abstract connection.
#include <cstddef>
#include <cstdint>

namespace ctl {

class CardConnection {
public:
    enum Protocol : std::uint32_t { PROTOCOL_T0 = 1, PROTOCOL_T1 = 2, PROTOCOL_T0_OR_T1 = 3 };
    enum Mode : std::uint32_t { MODE_SHARED = 1, MODE_EXCLUSIVE = 2 };
    enum Disposition : std::uint32_t {
        LEAVE_CARD = 1,
        RESET_CARD = 2,
        UNPOWER_CARD = 3,
        EJECT_CARD = 4
    };

    // Bit 0 of `sensitive`: command and response carry secrets, never dump them.
    enum : std::uint32_t { SENSITIVE = 0x1 };

    virtual ~CardConnection() = default;
    virtual bool isPinPadAvailable() = 0;
    virtual Protocol getProtocol() = 0;
    // `responseLength`: capacity on entry, data length (without SW) on return.
    virtual std::uint16_t transmit(const std::uint8_t* command, std::size_t commandLength,
                                   std::uint8_t* response, std::size_t* responseLength,
                                   std::uint32_t sensitive) = 0;
    virtual std::uint16_t pinPadVerify(std::uint8_t pinOffset, const std::uint8_t* apdu,
                                       std::size_t apduLength) = 0;
    virtual std::uint16_t pinPadModify(std::uint8_t enterOldPin, std::uint8_t confirmNewPin,
                                       std::uint8_t oldPinOffset, std::uint8_t newPinOffset,
                                       const std::uint8_t* apdu, std::size_t apduLength) = 0;
};

}  // namespace ctl
