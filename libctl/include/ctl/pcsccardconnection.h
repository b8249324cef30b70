#pragma once
// A card connection over PC/SC: raw exchanges, the T=0 conveniences (no
// trailing Le, one GET RESPONSE for 61xx) and the reader's PIN pad.
#include <winscard.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ctl/cardconnection.h"

namespace ctl {

class PcScCardConnection : public CardConnection {
public:
    // Result codes the connection raises itself.
    static constexpr std::uint32_t RESPONSE_TOO_LONG =
        static_cast<std::uint32_t>(SCARD_E_INSUFFICIENT_BUFFER);
    static constexpr std::uint32_t RESPONSE_TOO_SHORT =
        static_cast<std::uint32_t>(SCARD_F_UNKNOWN_ERROR);
    // Windows' SCARD_E_UNSUPPORTED_FEATURE; pcsc-lite renumbered it
    // 0x8010001F, but logs and callers know this value.
    static constexpr std::uint32_t PINPAD_NOT_AVAILABLE = 0x80100022;
    static constexpr std::uint32_t PINPAD_APDU_TOO_LONG =
        static_cast<std::uint32_t>(SCARD_E_INVALID_PARAMETER);

    // Longest APDU a PIN pad structure carries.
    static constexpr std::size_t MAX_PINPAD_APDU_LENGTH = 280;

    bool isPinPadAvailable() override { return pinPadAvailable; }
    Protocol getProtocol() override { return protocol; }
    std::uint16_t transmit(const std::uint8_t* command, std::size_t commandLength,
                           std::uint8_t* response, std::size_t* responseLength,
                           std::uint32_t sensitive) override;
    std::uint16_t pinPadVerify(std::uint8_t pinOffset, const std::uint8_t* apdu,
                               std::size_t apduLength) override;
    std::uint16_t pinPadModify(std::uint8_t enterOldPin, std::uint8_t confirmNewPin,
                               std::uint8_t oldPinOffset, std::uint8_t newPinOffset,
                               const std::uint8_t* apdu, std::size_t apduLength) override;

    // One exchange exactly as given; `responseLength`: capacity on entry,
    // data length without the status word on return.
    std::uint16_t transmit0(const std::uint8_t* command, std::size_t commandLength,
                            std::uint8_t* response, std::size_t* responseLength,
                            std::uint32_t sensitive);

    // True while the card handle still answers a status query; never throws.
    bool isValid();

    // Adopts a context and card handle; learns the active protocol and the
    // reader's PIN pad support again.
    void reattach(SCARDCONTEXT scardContext, SCARDHANDLE scardHandle);

    // PIN pad discovery through the reader's feature list.
    void checkPinPadSupport();

protected:
    PcScCardConnection() = default;

    // Status query on the card handle, logged; the PC/SC result.
    LONG queryStatus();

    SCARDCONTEXT context = 0;
    SCARDHANDLE cardHandle = 0;
    Protocol protocol = PROTOCOL_T0;
    DWORD pinPadVerifyPinDirectCode = 0;
    DWORD pinPadModifyPinDirectCode = 0;
    bool pinPadAvailable = false;

private:
    std::uint16_t pinPadOperation(const char* operation, DWORD controlCode, const char* callText,
                                  const std::vector<std::uint8_t>& structure);
};

}  // namespace ctl
