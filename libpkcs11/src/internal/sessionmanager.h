#pragma once
// Sessions, the one shared card connection per slot with its login, and the
// bracket every C_ function puts around card work on a session.
#include "cryptoki.h"
#include "ctl/lockablepcsccardconnection.h"
#include "ctl/pcscreader.h"
#include "internal/session.h"
#include "staticbuffer.h"

#include <cstdint>
#include <memory>

class Slot;
namespace amw {
class Token;
class CachedToken;
}  // namespace amw

// The slot's connection to its card, shared by every session of the slot,
// with the slot's login. It outlives closed sessions and goes with the card.
class SessionConnection {
public:
    enum LoginState : std::uint32_t { NOBODY = 0, USER = 1, SECURITY_OFFICER = 2 };

    // Connects (shared, T=0 or T=1) and reads the card identifier with a
    // token that selects the applet.
    explicit SessionConnection(const ctl::PcScReader& reader);
    ~SessionConnection();
    SessionConnection(const SessionConnection&) = delete;
    SessionConnection& operator=(const SessionConnection&) = delete;

    std::uint32_t loginState = NOBODY;
    std::uint8_t cardId[16] = {};
    ctl::PcScReader reader;
    std::unique_ptr<ctl::LockablePcScCardConnection> connection;
    // What the card generated at login for the logged-in role; empty when nobody is.
    StaticBuffer<128> sessionPin;
    std::uint32_t sessionPinRole = 0;
    // The card token's type, for every token made over this connection.
    std::uint32_t tokenType = 0;
};

// Process-wide; every operation runs under the library lock.
class SessionManager {
public:
    static Session* openSession(Slot* slot, Session::State state, CK_NOTIFY notify,
                                CK_VOID_PTR application);
    static void closeSession(Session* session);
    // InvalidSessionHandleException for an unknown handle, and for an
    // invalidated session, which is released on the way.
    static Session* getByHandle(CK_SESSION_HANDLE handle);
    static SessionConnection* getSessionConnection(Slot* slot);
    static SessionConnection* createSessionConnection(Slot* slot);
    // Every session of the slot becomes invalid and the slot's connection,
    // with its login, is closed.
    static void invalidateAllSessions(Slot* slot);
    static bool existsRoSession(Slot* slot);
    static std::uint32_t getOpenSessionCount(Slot* slot);
    // Closes every session and every connection.
    static void finalize();

    // The invalidation a card removed or reset during a session call runs:
    // all sessions of the slot of the session with this handle.
    static void invalidateSessionsOfSlotOf(CK_SESSION_HANDLE handle);
};

// A PC/SC transaction on the connection from construction to destruction.
class CardConnectionLocker {
public:
    explicit CardConnectionLocker(ctl::LockablePcScCardConnection* connection);
    // Ends the transaction leaving the card; never throws (failures are logged).
    ~CardConnectionLocker();
    CardConnectionLocker(const CardConnectionLocker&) = delete;
    CardConnectionLocker& operator=(const CardConnectionLocker&) = delete;

private:
    ctl::LockablePcScCardConnection* connection_;
};

// Re-proves the slot's login to the card with the session PIN for one call,
// and drops it again at the end.
class SessionPinGuard {
public:
    SessionPinGuard(amw::CachedToken& token, SessionConnection& connection);
    // Deauthenticates the session PIN's role when somebody is logged in;
    // never throws.
    ~SessionPinGuard();
    SessionPinGuard(const SessionPinGuard&) = delete;
    SessionPinGuard& operator=(const SessionPinGuard&) = delete;

private:
    amw::CachedToken& token_;
    SessionConnection& connection_;
};

// The bracket around the card work of one C_ function on a session:
// transaction, card token and caching token for this call only, session PIN
// re-authentication; undone in reverse order on every path. Call
// token().refreshCache() at the end of the work where the function changes
// or may load card objects.
class SessionCardCall {
public:
    explicit SessionCardCall(SessionConnection& connection);
    ~SessionCardCall();
    SessionCardCall(const SessionCardCall&) = delete;
    SessionCardCall& operator=(const SessionCardCall&) = delete;

    amw::CachedToken& token() { return *cachedToken_; }
    SessionConnection& connection() { return connection_; }

private:
    SessionConnection& connection_;
    CardConnectionLocker locker_;
    std::unique_ptr<amw::Token> token_;
    std::unique_ptr<amw::CachedToken> cachedToken_;
    SessionPinGuard guard_;
};
