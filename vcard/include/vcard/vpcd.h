#pragma once
// Serves one card to a vsmartcard-vpcd reader inside a running pcscd.
#include <atomic>
#include <cstdint>
#include <string>

#include "vcard/carddevice.h"

namespace vcard {

struct VpcdOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 35963;
};

// Connects to vpcd (retrying while it is not there yet or restarts) and answers
// its frames until `stop` becomes true. Returns 0 on a clean stop.
int runVpcdClient(CardDevice& card, const VpcdOptions& options, const std::atomic<bool>& stop);

}  // namespace vcard
