#pragma once
// Serves one card to a vsmartcard-vpcd reader inside a running pcscd.
//
// vpcd listens on a TCP port per reader; the card side connects to it. Both
// directions carry frames of a 2-byte big-endian length and a body. A 1-byte
// body is a control code (power off, power on, reset, ATR request; only the
// ATR request is answered); any other body is a command APDU answered with
// exactly one response frame. Closing the connection removes the card.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "vcard/carddevice.h"

namespace vcard {

struct VpcdOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 35963;
    // Pause between connection attempts while vpcd is not listening.
    std::chrono::milliseconds retryInterval{200};
    // How often a blocked wait looks at the stop flag.
    std::chrono::milliseconds stopPollInterval{100};
    // Ask the kernel to acknowledge every received frame at once. Without it
    // delayed ACKs interact with vpcd's small writes and each APDU costs tens
    // of milliseconds instead of tens of microseconds.
    bool quickAck = true;
    // Connection events ("connected", "disconnected", errors); none when empty.
    std::function<void(const std::string&)> log;
};

// Control codes vpcd sends as 1-byte frames.
enum class VpcdControl : std::uint8_t {
    PowerOff = 0x00,
    PowerOn = 0x01,
    Reset = 0x02,
    GetAtr = 0x04
};

// Connects to vpcd (retrying while it is not there yet or restarts) and answers
// its frames until `stop` becomes true. Every lost connection powers the card
// off, as pulling it out of the reader would. Returns 0 on a clean stop and 1
// when the address cannot be resolved.
int runVpcdClient(CardDevice& card, const VpcdOptions& options, const std::atomic<bool>& stop);

}  // namespace vcard
