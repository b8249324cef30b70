#pragma once
// One PKCS#11 session on a slot. The session manager creates, invalidates and
// releases it; the object and cryptographic work of a session builds on it.
#include "cryptoki.h"
#include "staticbuffer.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Slot;
class SessionConnection;

// One object handle given to the application: the object named by class and
// identifier.
struct ObjectHandle {
    StaticBuffer<128> pkcs11Id;
    CK_OBJECT_CLASS objectClass = 0;
};

class Session {
public:
    enum State : std::uint32_t { RO_SESSION = 0, RW_SESSION = 1, INVALID = 2 };
    // Operation kinds of the stored key handles.
    enum Operation : std::uint32_t { SIGN = 0, DECRYPT = 1 };

    // `connection` is the slot's session connection; it outlives every
    // session that is not invalid.
    Session(CK_SESSION_HANDLE handle, Slot* slot, SessionConnection* connection, State state,
            CK_NOTIFY notify, CK_VOID_PTR application);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    CK_SESSION_HANDLE getHandle() const { return handle_; }
    Slot* getSlot() const { return slot_; }
    State getState() const { return state_; }
    void setState(State state) { state_ = state; }

    // The slot's session connection. InternalErrorException for an invalid session.
    SessionConnection& getConnection();

    bool hasActiveSearch() const { return foundObjectsHandles != nullptr; }
    // Releases the handles of the active search that were not handed out.
    void releaseSearch();

    // [state=Session::RW_SESSION, slot desc=<reader>, handle=<n>]
    std::string logText() const;

    CK_NOTIFY Notify;
    CK_VOID_PTR pApplication;
    // Handles found by the active search and not yet handed out; null when no
    // search is active.
    std::unique_ptr<std::vector<std::unique_ptr<ObjectHandle>>> foundObjectsHandles;
    // Key handle per operation kind; 0 when the operation is not initialised.
    CK_OBJECT_HANDLE operationKeys[2] = {0, 0};

private:
    const CK_SESSION_HANDLE handle_;
    Slot* const slot_;
    SessionConnection* const connection_;
    State state_;
};

// "Session::RO_SESSION", "Session::RW_SESSION", "Session::INVALID" or "UNKNOWN".
const char* sessionStateName(std::uint32_t state);
