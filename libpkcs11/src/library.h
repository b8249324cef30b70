#pragma once
// Process-wide state of the module: the initialised flag and the library lock.
#include "cryptoki.h"
#include "mutex.h"

class Library {
public:
    // Recursive, process-local, alive from load to unload.
    static Mutex& lock();

    // True between C_Initialize and C_Finalize in the process that called
    // C_Initialize: a fork() child must initialise on its own.
    static bool isInitialized();
    static void setInitialized(bool initialized);

    // Run by C_Initialize under the library lock, before the flag is set:
    // the slot manager's init, after a fork() child has dropped what it
    // inherited. Exceptions go to the caller's catch ladder.
    static void startSlotsAndSessions();
    // Run by C_Finalize under the library lock: the slot manager's finalize,
    // then the session manager's finalize.
    static void stopSlotsAndSessions();
};
