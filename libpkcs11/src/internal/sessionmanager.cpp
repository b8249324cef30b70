#include "internal/sessionmanager.h"

#include "amw/cachedtoken.h"
#include "amw/token.h"
#include "exceptions.h"
#include "internal/slotmanager.h"
#include "trace.h"

#include <map>

namespace {

const char* const COMPONENT = "PKCS11";
const char* const SOURCE = "libpkcs11/src/internal/sessionmanager";

// Ordered by handle; handles come from a counter that never repeats a value
// within the process, so a stale handle never names a newer session.
std::map<CK_SESSION_HANDLE, std::unique_ptr<Session>> sessions;
std::map<Slot*, std::unique_ptr<SessionConnection>> connections;
std::uint32_t lastHandle = 0;

CK_SESSION_HANDLE nextHandle() {
    // Past 2^32 sessions the counter wraps; live handles and 0 are skipped.
    do {
        ++lastHandle;
    } while (lastHandle == 0 || sessions.count(lastHandle) != 0);
    return lastHandle;
}

void invalidate(Session& session) {
    session.setState(Session::INVALID);
    session.releaseSearch();
}

std::unique_ptr<amw::Token> makeCallToken(SessionConnection& connection) {
    return std::unique_ptr<amw::Token>(
        amw::Token::createToken(connection.connection.get(), connection.tokenType, false));
}

std::unique_ptr<amw::CachedToken> makeCachedToken(amw::Token& token,
                                                  SessionConnection& connection) {
    return std::make_unique<amw::CachedToken>(&token, connection.cardId);
}

}  // namespace

// --- SessionConnection ------------------------------------------------------------

SessionConnection::SessionConnection(const ctl::PcScReader& cardReader) : reader(cardReader) {
    QV_TRACE_ARG(COMPONENT, "reader", reader.getName());
    connection = std::make_unique<ctl::LockablePcScCardConnection>(
        reader, ctl::CardConnection::MODE_SHARED, ctl::CardConnection::PROTOCOL_T0_OR_T1);
    connection->lock();
    try {
        std::unique_ptr<amw::Token> token(amw::Token::createToken(connection.get(), 0, true));
        token->getCardId(cardId);
        tokenType = token->getType();
    } catch (...) {
        connection->unlock(ctl::CardConnection::LEAVE_CARD);
        throw;
    }
    connection->unlock(ctl::CardConnection::LEAVE_CARD);
}

SessionConnection::~SessionConnection() {
    TraceScope trace(COMPONENT, "SessionConnection::~SessionConnection");
    connection.reset();
}

// --- SessionManager ---------------------------------------------------------------

Session* SessionManager::openSession(Slot* slot, Session::State state, CK_NOTIFY notify,
                                     CK_VOID_PTR application) {
    TraceScope trace(COMPONENT, "SessionManager::openSession");
    QV_TRACE_ARG(COMPONENT, "slot", slotText(slot));
    QV_CHECK_NOT_NULL(slot, "slot", "SessionManager::openSession", SOURCE, __LINE__);
    if (state == Session::INVALID)
        throw InvalidArgumentException(
            "SessionManager::openSession(), invalid parameter Session::INVALID");

    SessionConnection* connection;
    auto found = connections.find(slot);
    if (found != connections.end() && found->second->connection->isValid()) {
        connection = found->second.get();
    } else {
        // A connection that no longer answers belongs to a card that was
        // removed, reset or replaced: its sessions and login are gone.
        if (found != connections.end())
            invalidateAllSessions(slot);
        connection = createSessionConnection(slot);
    }
    if (state == Session::RO_SESSION &&
        connection->loginState == SessionConnection::SECURITY_OFFICER)
        throw ReadWriteSoSessionExistsException();

    CK_SESSION_HANDLE handle = nextHandle();
    auto session = std::make_unique<Session>(handle, slot, state, notify, application);
    Session* result = session.get();
    sessions.emplace(handle, std::move(session));
    QV_TRACE_OUT(COMPONENT, "*session", result->logText());
    return result;
}

void SessionManager::closeSession(Session* session) {
    TraceScope trace(COMPONENT, "SessionManager::closeSession");
    QV_CHECK_NOT_NULL(session, "session", "SessionManager::closeSession", SOURCE, __LINE__);
    auto found = sessions.find(session->getHandle());
    if (found == sessions.end() || found->second.get() != session)
        throw InternalErrorException("closing a session that is not open [CK_SESSION_HANDLE=%lu]",
                                     static_cast<unsigned long>(session->getHandle()));
    std::unique_ptr<Session> released = std::move(found->second);
    sessions.erase(found);
    invalidate(*released);
}

Session* SessionManager::getByHandle(CK_SESSION_HANDLE handle) {
    TraceScope trace(COMPONENT, "SessionManager::getByHandle");
    QV_TRACE_ARG(COMPONENT, "handle", numberText(handle));
    auto found = sessions.find(handle);
    if (found == sessions.end()) {
        QV_LOG(COMPONENT, "session handle not found");
        throw InvalidSessionHandleException(handle);
    }
    Session* session = found->second.get();
    if (session->getState() == Session::INVALID) {
        QV_LOG(COMPONENT, "session is in the invalid state");
        closeSession(session);
        throw InvalidSessionHandleException(handle);
    }
    QV_TRACE_OUT(COMPONENT, "session", session->logText());
    return session;
}

SessionConnection* SessionManager::getSessionConnection(Slot* slot) {
    auto found = connections.find(slot);
    if (found == connections.end())
        throw InternalErrorException("no session connection exists for slot id %lu",
                                     static_cast<unsigned long>(slot ? slot->getId() : 0));
    return found->second.get();
}

SessionConnection* SessionManager::createSessionConnection(Slot* slot) {
    TraceScope trace(COMPONENT, "SessionManager::createSessionConnection");
    QV_CHECK_NOT_NULL(slot, "slot", "SessionManager::createSessionConnection", SOURCE, __LINE__);
    if (connections.count(slot) != 0)
        throw InternalErrorException("session connection already exists for slot id %lu",
                                     static_cast<unsigned long>(slot->getId()));
    auto connection = std::make_unique<SessionConnection>(slot->getReader());
    SessionConnection* result = connection.get();
    connections.emplace(slot, std::move(connection));
    return result;
}

void SessionManager::invalidateAllSessions(Slot* slot) {
    TraceScope trace(COMPONENT, "SessionManager::invalidateAllSessions");
    QV_CHECK_NOT_NULL(slot, "slot", "SessionManager::invalidateAllSessions", SOURCE, __LINE__);
    for (auto& entry : sessions)
        if (entry.second->getSlot() == slot)
            invalidate(*entry.second);
    auto found = connections.find(slot);
    if (found == connections.end())
        throw InternalErrorException(
            "invalidateAllSessions(): no session connection exists for slot id %lu",
            static_cast<unsigned long>(slot->getId()));
    std::unique_ptr<SessionConnection> closed = std::move(found->second);
    connections.erase(found);
}

bool SessionManager::existsRoSession(Slot* slot) {
    TraceScope trace(COMPONENT, "SessionManager::existsRoSession");
    for (const auto& entry : sessions)
        if (entry.second->getSlot() == slot && entry.second->getState() == Session::RO_SESSION)
            return true;
    return false;
}

std::uint32_t SessionManager::getOpenSessionCount(Slot* slot) {
    TraceScope trace(COMPONENT, "SessionManager::getOpenSessionCount");
    QV_CHECK_NOT_NULL(slot, "slot", "SessionManager::getOpenSessionCount", SOURCE, __LINE__);
    if (!slot->hasReader())
        return 0;
    std::uint32_t count = 0;
    for (const auto& entry : sessions)
        if (entry.second->getState() != Session::INVALID &&
            entry.second->getSlot()->getId() == slot->getId())
            ++count;
    return count;
}

void SessionManager::finalize() {
    TraceScope trace(COMPONENT, "SessionManager::finalize");
    for (auto& entry : sessions)
        invalidate(*entry.second);
    sessions.clear();
    connections.clear();
}

void SessionManager::invalidateSessionsOfSlotOf(CK_SESSION_HANDLE handle) {
    auto found = sessions.find(handle);
    if (found == sessions.end())
        return;  // the handle never named a session, so no card was touched for it
    invalidateAllSessions(found->second->getSlot());
}

// --- the call bracket ----------------------------------------------------------------

CardConnectionLocker::CardConnectionLocker(ctl::LockablePcScCardConnection* connection)
    : connection_(connection) {
    connection_->lock();
}

CardConnectionLocker::~CardConnectionLocker() {
    try {
        connection_->unlock(ctl::CardConnection::LEAVE_CARD);
    } catch (const QVException& e) {
        QV_LOG(COMPONENT, "EXCEPTION CAUGHT %s", e.what());
    } catch (...) {
        QV_LOG(COMPONENT, "unknown exception in ~CardConnectionLocker()");
    }
}

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
        QV_LOG(COMPONENT, "EXCEPTION CAUGHT %s", e.what());
    } catch (...) {
        QV_LOG(COMPONENT, "UNKNOWN EXCEPTION CAUGHT");
    }
}

SessionCardCall::SessionCardCall(SessionConnection& connection)
    : connection_(connection),
      locker_(connection.connection.get()),
      token_(makeCallToken(connection)),
      cachedToken_(makeCachedToken(*token_, connection)),
      guard_(*cachedToken_, connection) {}

SessionCardCall::~SessionCardCall() = default;
