#pragma once
// Optional observer of PIN pad entry; whoever starts a PIN pad operation may
// pass one (null means none). What it shows to the user is its own business.
#include <cstdint>

namespace amw {

class PinPadNotifier {
public:
    // Before each attempt, with the tries the previous attempt reported (0 before the first).
    virtual void onPinPadPrompt(std::uint32_t triesRemaining) = 0;
    // After each attempt.
    virtual void onPinPadDone() = 0;
    // Wrong PIN, `triesRemaining` tries left.
    virtual void onWrongPin(std::uint32_t triesRemaining) = 0;
    virtual void onPinBlocked() = 0;
    // The PIN entered was too short or too long.
    virtual void onPinLengthError() = 0;
    virtual void onPinPadCancelled() = 0;
    // New PIN and its confirmation differ.
    virtual void onPinMismatch() = 0;
    virtual ~PinPadNotifier();
};

}  // namespace amw
