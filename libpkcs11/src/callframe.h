#pragma once
// The frame every C_ function runs in: library lock, entry record,
// initialisation check, argument records, the work inside the catch ladder,
// result record, exit record, unlock.
#include "cryptoki.h"
#include "library.h"
#include "names.h"
#include "trace.h"

extern const char* const PKCS11_COMPONENT;  // "PKCS11"

enum class LibraryLock {
    NONE,          // lock-free entries (not supported, C_GetFunctionList, C_WaitForSlotEvent)
    BEFORE_ENTRY,  // most functions: lock, then the entry record
    AFTER_ENTRY,   // C_Initialize: the entry record, then lock
};

enum class ResultRecord {
    NAME,    // "Returning CKR_ARGUMENTS_BAD [7] FUFU"
    NUMBER,  // "Returning 7 [0x00000007]"
};

struct CallFrame {
    const char* function;
    LibraryLock lock;
    bool checkInitialized;
    // Card removed or reset during the call invalidates the sessions of `session`'s slot.
    bool sessionBearing;
    CK_SESSION_HANDLE session;
    ResultRecord resultRecord;

    // Locked, initialisation checked, no session involved (slot queries,
    // C_OpenSession, C_CloseSession, C_CloseAllSessions, C_Finalize, C_GetInfo).
    static CallFrame libraryCall(const char* function) {
        return {function, LibraryLock::BEFORE_ENTRY, true, false, 0, ResultRecord::NAME};
    }
    // Locked, initialisation checked, works on `session` (login, object,
    // cryptographic and random functions, C_GetSessionInfo).
    static CallFrame sessionCall(const char* function, CK_SESSION_HANDLE session) {
        return {function, LibraryLock::BEFORE_ENTRY, true, true, session, ResultRecord::NAME};
    }
    // No lock and no initialisation check.
    static CallFrame unlockedCall(const char* function) {
        return {function, LibraryLock::NONE, false, false, 0, ResultRecord::NAME};
    }
};

// The catch ladder: call only from inside a catch block. Logs the exception
// and returns its CK_RV; runs the session invalidation for a removed or reset
// card on a session-bearing frame. Never throws.
CK_RV translateCurrentException(const CallFrame& frame) noexcept;

// "Returning ..." in the frame's style.
void logResult(const CallFrame& frame, CK_RV rv) noexcept;

// Holds the library lock from construction (or from take()) to destruction.
class LibraryLockHolder {
public:
    explicit LibraryLockHolder(bool takeNow) {
        if (takeNow)
            take();
    }
    ~LibraryLockHolder() {
        if (held_)
            Library::lock().unlock();
    }
    void take() {
        Library::lock().lock();
        held_ = true;
    }
    LibraryLockHolder(const LibraryLockHolder&) = delete;
    LibraryLockHolder& operator=(const LibraryLockHolder&) = delete;

private:
    bool held_ = false;
};

// `logArguments()` writes the argument records (called only when the log is
// on); `work()` returns the result. Nothing escapes.
template <class LogArguments, class Work>
CK_RV runCallFrame(const CallFrame& frame, LogArguments&& logArguments, Work&& work) noexcept {
    // Declared first so it is released last, after the exit record.
    LibraryLockHolder lock(frame.lock == LibraryLock::BEFORE_ENTRY);
    TraceScope trace(PKCS11_COMPONENT, frame.function);
    if (frame.lock == LibraryLock::AFTER_ENTRY)
        lock.take();

    CK_RV rv;
    if (frame.checkInitialized && !Library::isInitialized()) {
        rv = CKR_CRYPTOKI_NOT_INITIALIZED;
    } else {
        try {
            if (Logger::enabled())
                logArguments();
            rv = work();
        } catch (...) {
            rv = translateCurrentException(frame);
        }
    }
    logResult(frame, rv);
    return rv;
}

// Argument step for functions whose arguments are not logged.
inline void noArguments() {}

// A not-supported entry: entry and exit records, CKR_FUNCTION_NOT_SUPPORTED.
CK_RV notSupported(const char* function, ResultRecord resultRecord = ResultRecord::NAME) noexcept;
