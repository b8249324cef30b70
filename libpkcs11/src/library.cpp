#include "library.h"

#include "internal/sessionmanager.h"
#include "internal/slotmanager.h"

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
    SlotManager::init();
    setSessionInvalidator(&SessionManager::invalidateSessionsOfSlotOf);
}

void Library::stopSlotsAndSessions() {
    SlotManager::finalize();
    SessionManager::finalize();
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
