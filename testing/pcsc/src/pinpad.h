#pragma once
// The scripted PIN pad: reads a verify/modify PIN structure, takes the user's
// entries from the script and builds the APDU the reader sends to the card.
#include <deque>

#include "testpcsc/service.h"

namespace testpcsc::pinpad {

struct Outcome {
    LONG error = SCARD_S_SUCCESS;  // structure unusable: SCardControl fails with this
    Bytes statusWord;              // the pad answers by itself (timeout, cancel, ...)
    Bytes apdu;                    // otherwise: the command for the card
};

// `modify` selects the modify structure layout. Entries are taken from the
// front of `script` as the PIN pad asks for them.
Outcome prepare(bool modify, const Bytes& structure, std::deque<PinEntry>& script);

}  // namespace testpcsc::pinpad
