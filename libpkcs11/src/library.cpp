#include "library.h"

#include "internal/sessionmanager.h"
#include "internal/slotmanager.h"

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <new>

namespace {

// Static lifetime: created at load, destroyed at unload.
Mutex libraryLock;
// The process that initialised the library; 0 when it is not initialised.
std::atomic<pid_t> initializedBy{0};

// A fork() waits until no other thread is inside a locked C_ call, so the
// child never inherits a lock that a thread it does not have is holding.
// The child cannot unlock it (the owner is a thread of the parent) and
// starts with a fresh one.
void lockBeforeFork() {
    libraryLock.lock();
    SlotManager::holdForFork();
}
void unlockInParent() {
    SlotManager::releaseAfterFork(false);
    libraryLock.unlock();
}
void renewInChild() {
    SlotManager::releaseAfterFork(true);
    new (&libraryLock) Mutex();
}
[[maybe_unused]] const int forkHandlers =
    ::pthread_atfork(lockBeforeFork, unlockInParent, renewInChild);

}  // namespace

Mutex& Library::lock() { return libraryLock; }

bool Library::isInitialized() { return initializedBy.load() == ::getpid(); }

void Library::setInitialized(bool value) { initializedBy.store(value ? ::getpid() : 0); }

void Library::startSlotsAndSessions() {
    SlotManager::dropInherited();
    SessionManager::dropInherited();
    SlotManager::init();
}

void Library::stopSlotsAndSessions() {
    SlotManager::finalize();
    SessionManager::finalize();
}
