#pragma once
// Sessions, the one shared card connection per slot with its login, and the
// bracket every C_ function puts around card work on a session.
#include "amw/token.h"
#include "cryptoki.h"
#include "ctl/lockablepcsccardconnection.h"
#include "ctl/pcscreader.h"
#include "internal/session.h"
#include "staticbuffer.h"

#include <cstdint>
#include <memory>

class Slot;
namespace amw {
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
    amw::CardId cardId = {};
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
    static Session* openSession(Slot* slot, Session::State sessionState, CK_NOTIFY notify,
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
    // In a fork() child: forgets the parent's sessions and connections
    // without closing them.
    static void dropInherited();

    // The invalidation a card removed or reset during a session call runs:
    // all sessions of the slot of the session with this handle.
    static void invalidateSessionsOfSlotOf(CK_SESSION_HANDLE handle);
};

// A PC/SC transaction on the connection from construction to destruction.
class CardConnectionLocker {
public:
    explicit CardConnectionLocker(ctl::LockablePcScCardConnection& connection);
    // Ends the transaction leaving the card; never throws (failures are logged).
    ~CardConnectionLocker();
    CardConnectionLocker(const CardConnectionLocker&) = delete;
    CardConnectionLocker& operator=(const CardConnectionLocker&) = delete;

private:
    ctl::LockablePcScCardConnection& connection_;
};

// The card-token stack of one call: a PC/SC transaction on the connection, a
// card token over it and, where the call works on the card's data, the
// caching token over that. Released in reverse order on every path.
class CardTokenCall {
public:
    enum Stack { CARD_TOKEN, CACHED_TOKEN };

    // A card met for the first time: the applet is selected and the card
    // identifier read.
    CardTokenCall(ctl::LockablePcScCardConnection& connection, Stack stack);
    // A card known by its identifier and token type: no applet selection.
    CardTokenCall(ctl::LockablePcScCardConnection& connection, std::uint32_t tokenType,
                  const amw::CardId& cardId);
    ~CardTokenCall();
    CardTokenCall(const CardTokenCall&) = delete;
    CardTokenCall& operator=(const CardTokenCall&) = delete;

    amw::Token& cardToken() { return *cardToken_; }
    const amw::CardId& cardId() const { return cardId_; }
    // Only with CACHED_TOKEN.
    amw::CachedToken& token() { return *cachedToken_; }

private:
    CardConnectionLocker locker_;
    std::unique_ptr<amw::Token> cardToken_;
    amw::CardId cardId_ = {};
    std::unique_ptr<amw::CachedToken> cachedToken_;
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

// The bracket around the card work of one C_ function on a session: the
// card-token stack over the slot's connection, and the session PIN
// re-authentication when somebody is logged in. Call token().refreshCache()
// at the end of the work where the function changes or may load card objects.
class SessionCardCall : public CardTokenCall {
public:
    explicit SessionCardCall(SessionConnection& connection);
    ~SessionCardCall();

private:
    SessionPinGuard guard_;
};
