#pragma once
// Process-wide state of the module: the initialised flag, the library lock
// and the hooks through which the slot and session machinery plugs in.
#include "cryptoki.h"
#include "mutex.h"

#include <functional>

class Library {
public:
    // Recursive, process-local, alive from load to unload.
    static Mutex& lock();

    static bool isInitialized();
    static void setInitialized(bool initialized);

    // Run by C_Initialize under the library lock, before the flag is set:
    // the slot manager's init. Exceptions go to the caller's catch ladder.
    static void startSlotsAndSessions();
    // Run by C_Finalize under the library lock: the slot manager's finalize,
    // then the session manager's finalize.
    static void stopSlotsAndSessions();

    // Invalidates every session of the slot the given session belongs to;
    // installed by the session manager, used when a card was removed or reset
    // during a session-bearing call.
    using SessionInvalidator = std::function<void(CK_SESSION_HANDLE)>;
    static void setSessionInvalidator(SessionInvalidator invalidator);
    // Runs the installed invalidator (nothing when none is installed).
    static void invalidateSessionsOf(CK_SESSION_HANDLE session);
};
