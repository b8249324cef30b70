#include "internal/sessionmanager.h"

#include "amw/cachedtoken.h"
#include "amw/token.h"
#include "exceptions.h"
#include "internal/processstate.h"
#include "internal/slotmanager.h"
#include "trace.h"

#include <cstring>
#include <map>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/internal/sessionmanager");

namespace {

struct State {
    // Ordered by handle; handles come from a counter that never repeats a
    // value within the process, so a stale handle never names a newer session.
    std::map<CK_SESSION_HANDLE, std::unique_ptr<Session>> sessions;
    std::map<Slot*, std::unique_ptr<SessionConnection>> connections;
};
ProcessState<State> manager;
std::uint32_t lastHandle = 0;

CK_SESSION_HANDLE nextHandle() {
    // Past 2^32 sessions the counter wraps; live handles and 0 are skipped.
    do {
        ++lastHandle;
    } while (lastHandle == 0 || manager->sessions.count(lastHandle) != 0);
    return lastHandle;
}

void invalidate(Session& session) {
    session.setState(Session::INVALID);
    session.releaseSearch();
}

}  // namespace

// --- SessionConnection ------------------------------------------------------------

SessionConnection::SessionConnection(const ctl::PcScReader& cardReader) : reader(cardReader) {
    QV_TRACE_NAMED("reader", reader.getName());
    connection = std::make_unique<ctl::LockablePcScCardConnection>(
        reader, ctl::CardConnection::MODE_SHARED, ctl::CardConnection::PROTOCOL_T0_OR_T1);
    CardTokenCall call(*connection, CardTokenCall::CARD_TOKEN);
    std::memcpy(cardId, call.cardId(), sizeof cardId);
    tokenType = call.cardToken().getType();
}

SessionConnection::~SessionConnection() {
    QV_ENTER("SessionConnection::~SessionConnection");
    connection.reset();
}

// --- SessionManager ---------------------------------------------------------------

Session* SessionManager::openSession(Slot* slot, Session::State sessionState, CK_NOTIFY notify,
                                     CK_VOID_PTR application) {
    QV_ENTER("SessionManager::openSession");
    QV_TRACE_NAMED("slot", slotText(slot));
    QV_REQUIRE(slot);
    if (sessionState == Session::INVALID)
        throw InvalidArgumentException(
            "SessionManager::openSession(), invalid parameter Session::INVALID");

    SessionConnection* connection;
    auto found = manager->connections.find(slot);
    if (found != manager->connections.end() && found->second->connection->isValid()) {
        connection = found->second.get();
    } else {
        // A connection that no longer answers belongs to a card that was
        // removed, reset or replaced: its sessions and login are gone.
        if (found != manager->connections.end())
            invalidateAllSessions(slot);
        connection = createSessionConnection(slot);
    }
    if (sessionState == Session::RO_SESSION &&
        connection->loginState == SessionConnection::SECURITY_OFFICER)
        throw ReadWriteSoSessionExistsException();

    CK_SESSION_HANDLE handle = nextHandle();
    auto session =
        std::make_unique<Session>(handle, slot, connection, sessionState, notify, application);
    Session* result = session.get();
    manager->sessions.emplace(handle, std::move(session));
    QV_TRACE_OUT_NAMED("*session", result->logText());
    return result;
}

void SessionManager::closeSession(Session* session) {
    QV_ENTER("SessionManager::closeSession");
    QV_REQUIRE(session);
    auto found = manager->sessions.find(session->getHandle());
    if (found == manager->sessions.end() || found->second.get() != session)
        throw InternalErrorException("closing a session that is not open [CK_SESSION_HANDLE=%lu]",
                                     static_cast<unsigned long>(session->getHandle()));
    std::unique_ptr<Session> released = std::move(found->second);
    manager->sessions.erase(found);
    invalidate(*released);
}

Session* SessionManager::getByHandle(CK_SESSION_HANDLE handle) {
    QV_ENTER("SessionManager::getByHandle");
    QV_TRACE_VALUE(handle);
    auto found = manager->sessions.find(handle);
    if (found == manager->sessions.end()) {
        QV_TRACE("session handle not found");
        throw InvalidSessionHandleException(handle);
    }
    Session* session = found->second.get();
    if (session->getState() == Session::INVALID) {
        QV_TRACE("session is in the invalid state");
        closeSession(session);
        throw InvalidSessionHandleException(handle);
    }
    QV_TRACE_OUT_NAMED("session", session->logText());
    return session;
}

SessionConnection* SessionManager::getSessionConnection(Slot* slot) {
    auto found = manager->connections.find(slot);
    if (found == manager->connections.end())
        throw InternalErrorException("no session connection exists for slot id %lu",
                                     static_cast<unsigned long>(slot ? slot->getId() : 0));
    return found->second.get();
}

SessionConnection* SessionManager::createSessionConnection(Slot* slot) {
    QV_ENTER("SessionManager::createSessionConnection");
    QV_REQUIRE(slot);
    if (manager->connections.count(slot) != 0)
        throw InternalErrorException("session connection already exists for slot id %lu",
                                     static_cast<unsigned long>(slot->getId()));
    auto connection = std::make_unique<SessionConnection>(slot->getReader());
    SessionConnection* result = connection.get();
    manager->connections.emplace(slot, std::move(connection));
    return result;
}

void SessionManager::invalidateAllSessions(Slot* slot) {
    QV_ENTER("SessionManager::invalidateAllSessions");
    QV_REQUIRE(slot);
    for (auto& entry : manager->sessions)
        if (entry.second->getSlot() == slot)
            invalidate(*entry.second);
    auto found = manager->connections.find(slot);
    if (found == manager->connections.end())
        throw InternalErrorException(
            "invalidateAllSessions(): no session connection exists for slot id %lu",
            static_cast<unsigned long>(slot->getId()));
    std::unique_ptr<SessionConnection> closed = std::move(found->second);
    manager->connections.erase(found);
}

bool SessionManager::existsRoSession(Slot* slot) {
    QV_ENTER("SessionManager::existsRoSession");
    for (const auto& entry : manager->sessions)
        if (entry.second->getSlot() == slot && entry.second->getState() == Session::RO_SESSION)
            return true;
    return false;
}

std::uint32_t SessionManager::getOpenSessionCount(Slot* slot) {
    QV_ENTER("SessionManager::getOpenSessionCount");
    QV_REQUIRE(slot);
    if (!slot->hasReader())
        return 0;
    std::uint32_t count = 0;
    for (const auto& entry : manager->sessions)
        if (entry.second->getState() != Session::INVALID &&
            entry.second->getSlot()->getId() == slot->getId())
            ++count;
    return count;
}

void SessionManager::finalize() {
    QV_ENTER("SessionManager::finalize");
    for (auto& entry : manager->sessions)
        invalidate(*entry.second);
    manager->sessions.clear();
    manager->connections.clear();
}

void SessionManager::dropInherited() { manager.dropInherited(); }

void SessionManager::invalidateSessionsOfSlotOf(CK_SESSION_HANDLE handle) {
    auto found = manager->sessions.find(handle);
    if (found == manager->sessions.end())
        return;  // the handle never named a session, so no card was touched for it
    invalidateAllSessions(found->second->getSlot());
}

// --- the call bracket ----------------------------------------------------------------

CardConnectionLocker::CardConnectionLocker(ctl::LockablePcScCardConnection& connection)
    : connection_(connection) {
    connection_.lock();
}

CardConnectionLocker::~CardConnectionLocker() {
    try {
        connection_.unlock(ctl::CardConnection::LEAVE_CARD);
    } catch (const QVException& e) {
        QV_TRACE("EXCEPTION CAUGHT %s", e.what());
    } catch (...) {
        QV_TRACE("unknown exception in ~CardConnectionLocker()");
    }
}

CardTokenCall::CardTokenCall(ctl::LockablePcScCardConnection& connection, Stack stack)
    : locker_(connection),
      cardToken_(amw::Token::createToken(&connection, amw::Token::TOKEN_TYPE_KALVIK, true)) {
    cardToken_->getCardId(cardId_);
    if (stack == CACHED_TOKEN)
        cachedToken_ = std::make_unique<amw::CachedToken>(cardToken_.get(), cardId_);
}

CardTokenCall::CardTokenCall(ctl::LockablePcScCardConnection& connection, std::uint32_t tokenType,
                             const amw::CardId& cardId)
    : locker_(connection), cardToken_(amw::Token::createToken(&connection, tokenType, false)) {
    std::memcpy(cardId_, cardId, sizeof cardId_);
    cachedToken_ = std::make_unique<amw::CachedToken>(cardToken_.get(), cardId_);
}

CardTokenCall::~CardTokenCall() = default;

SessionPinGuard::SessionPinGuard(amw::CachedToken& token, SessionConnection& connection)
    : token_(token), connection_(connection) {
    if (connection_.loginState == SessionConnection::NOBODY)
        return;
    if (connection_.sessionPin.empty())
        throw InternalErrorException("Session PIN is empty");
    std::uint32_t triesRemaining = 0;
    std::uint32_t result = token_.authenticateSessionPin(
        connection_.sessionPinRole, connection_.sessionPin.data,
        static_cast<std::uint32_t>(connection_.sessionPin.size()), &triesRemaining);
    if (result != amw::AUTHENTICATION_SUCCESS)
        throw amw::SecurityViolationException();
}

SessionPinGuard::~SessionPinGuard() {
    if (connection_.loginState == SessionConnection::NOBODY)
        return;
    try {
        token_.deauthenticate(connection_.sessionPinRole);
    } catch (const QVException& e) {
        QV_TRACE("EXCEPTION CAUGHT %s", e.what());
    } catch (...) {
        QV_TRACE("UNKNOWN EXCEPTION CAUGHT");
    }
}

SessionCardCall::SessionCardCall(SessionConnection& connection)
    : CardTokenCall(*connection.connection, connection.tokenType, connection.cardId),
      guard_(token(), connection) {}

SessionCardCall::~SessionCardCall() = default;
