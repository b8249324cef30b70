#pragma once
// What a failed PC/SC call means. The result codes are read from <winscard.h>
// here and nowhere else: callers ask these questions instead of comparing
// numbers.
#include "exceptions.h"

namespace ctl {

// The card was reset by someone else since it was connected.
bool isCardReset(const CtlException& e) noexcept;
// The card was pulled (or swapped) since it was connected, or is not there to connect to.
bool isCardRemoved(const CtlException& e) noexcept;
// A status-change wait ended by a cancellation.
bool isCancelled(const CtlException& e) noexcept;
// A status-change wait whose time ran out.
bool isTimeout(const CtlException& e) noexcept;
// The PC/SC service is not running.
bool isNoService(const CtlException& e) noexcept;

}  // namespace ctl
