#include "internal/session.h"

#include "exceptions.h"
#include "internal/slotmanager.h"

Session::Session(CK_SESSION_HANDLE handle, Slot* slot, SessionConnection* connection, State state,
                 CK_NOTIFY notify, CK_VOID_PTR application)
    : Notify(notify),
      pApplication(application),
      handle_(handle),
      slot_(slot),
      connection_(connection),
      state_(state) {}

Session::~Session() = default;

SessionConnection& Session::getConnection() {
    // An invalid session's connection may be gone with its card.
    if (state_ == INVALID)
        throw InternalErrorException(
            "using session which is in invalid state [CK_SESSION_HANDLE=%lu]",
            static_cast<unsigned long>(handle_));
    return *connection_;
}

void Session::releaseSearch() { foundObjectsHandles.reset(); }

std::string Session::logText() const {
    return std::string("[state=") + sessionStateName(state_) +
           ", slot desc=" + (slot_ ? slot_->getReaderName() : std::string("empty")) +
           ", handle=" + std::to_string(handle_) + "]";
}

const char* sessionStateName(std::uint32_t state) {
    switch (state) {
    case Session::RO_SESSION:
        return "Session::RO_SESSION";
    case Session::RW_SESSION:
        return "Session::RW_SESSION";
    case Session::INVALID:
        return "Session::INVALID";
    default:
        return "UNKNOWN";
    }
}
