#pragma once
// What a reader sees of a card: power, reset, ATR and APDU exchange.
// The applet core implements it; the in-process PC/SC service and the vpcd
// front end drive it. APDUs are exchanged at the T=1 level (whole command in,
// data + SW1 SW2 out); a reader emulating T=0 does its own 61xx/Le handling.
#include <cstdint>
#include <vector>

namespace vcard {

using Bytes = std::vector<std::uint8_t>;

class CardDevice {
public:
    virtual ~CardDevice() = default;
    virtual Bytes atr() const = 0;
    // Cold start: clears selection, authentication and session PINs.
    virtual void powerOn() = 0;
    virtual void powerOff() = 0;
    // Warm reset: the same volatile state is cleared.
    virtual void reset() = 0;
    // One command APDU in, response data followed by SW1 SW2 out.
    virtual Bytes transmit(const Bytes& command) = 0;
};

}  // namespace vcard
