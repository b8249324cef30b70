#include "library.h"

#include <atomic>

namespace {

// Static lifetime: created at load, destroyed at unload.
Mutex libraryLock;
std::atomic<bool> initialized{false};

Library::SessionInvalidator& sessionInvalidator() {
    static Library::SessionInvalidator invalidator;
    return invalidator;
}

}  // namespace

Mutex& Library::lock() { return libraryLock; }

bool Library::isInitialized() { return initialized.load(); }

void Library::setInitialized(bool value) { initialized.store(value); }

void Library::startSlotsAndSessions() {
    // The slot manager's init goes here once slots exist.
}

void Library::stopSlotsAndSessions() {
    // The slot manager's finalize, then the session manager's finalize, go
    // here once slots and sessions exist.
}

void Library::setSessionInvalidator(SessionInvalidator invalidator) {
    ScopedLock guard(libraryLock);
    sessionInvalidator() = std::move(invalidator);
}

void Library::invalidateSessionsOf(CK_SESSION_HANDLE session) {
    ScopedLock guard(libraryLock);
    if (sessionInvalidator())
        sessionInvalidator()(session);
}
