// Sessions and login.
#include "amw/cachedtoken.h"
#include "callframe.h"
#include "internal/sessionmanager.h"
#include "internal/slotmanager.h"

#include <exception>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/sessionfunctions");

namespace {

CK_STATE sessionState(const Session& session, std::uint32_t loginState) {
    const bool readWrite = session.getState() == Session::RW_SESSION;
    switch (loginState) {
    case SessionConnection::NOBODY:
        return readWrite ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION;
    case SessionConnection::USER:
        return readWrite ? CKS_RW_USER_FUNCTIONS : CKS_RO_USER_FUNCTIONS;
    case SessionConnection::SECURITY_OFFICER:
        if (!readWrite)
            throw InternalErrorException("RO SO sessions do not exist");
        return CKS_RW_SO_FUNCTIONS;
    default:
        throw InternalErrorException("unreachable");
    }
}

// What a refused PIN check reports when the card said nothing about tries
// (a PIN the token refused to send): wrong, not blocked.
using amw::TRIES_UNKNOWN;

// A failed PIN check: tries left means a wrong PIN, none a blocked one.
CK_RV pinFailure(std::uint32_t triesRemaining) {
    return triesRemaining != 0 ? CKR_PIN_INCORRECT : CKR_PIN_LOCKED;
}

bool hasPinPad(SessionConnection& connection) { return connection.connection->isPinPadAvailable(); }

// An empty PIN is no PIN: sent to the card it would be 16 zero bytes and
// cost a try.
bool pinGiven(CK_UTF8CHAR_PTR pin, CK_ULONG length) { return pin != nullptr && length != 0; }

// A failure that leaves the scope drops the role's proof from the card
// first; the caller hears about the failure, not about the clean-up.
class DeauthenticateOnFailure {
public:
    DeauthenticateOnFailure(amw::CachedToken& token, std::uint32_t role)
        : token_(token), role_(role), failures_(std::uncaught_exceptions()) {}
    ~DeauthenticateOnFailure() {
        if (std::uncaught_exceptions() == failures_)
            return;
        try {
            token_.deauthenticate(role_);
        } catch (...) {
        }
    }
    DeauthenticateOnFailure(const DeauthenticateOnFailure&) = delete;
    DeauthenticateOnFailure& operator=(const DeauthenticateOnFailure&) = delete;

private:
    amw::CachedToken& token_;
    const std::uint32_t role_;
    const int failures_;
};

}  // namespace

extern "C" CK_RV C_OpenSession(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication,
                               CK_NOTIFY Notify, CK_SESSION_HANDLE_PTR phSession) {
    return runCallFrame(
        CallFrame::libraryCall("C_OpenSession"),
        [&] {
            QV_TRACE_VALUE(slotID);
            QV_TRACE_VALUE(flags);
            QV_TRACE_VALUE(pApplication != 0);
            QV_TRACE_VALUE(Notify != 0);
            QV_TRACE_NAMED("phSession", pointerText(phSession));
        },
        [&]() -> CK_RV {
            if (phSession == nullptr)
                return CKR_ARGUMENTS_BAD;
            if ((flags & CKF_SERIAL_SESSION) == 0)
                return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
            Slot* slot = SlotManager::getById(slotID);
            if (!slot->isTokenPresent())
                return CKR_TOKEN_NOT_PRESENT;
            Session* session = SessionManager::openSession(
                slot, (flags & CKF_RW_SESSION) ? Session::RW_SESSION : Session::RO_SESSION, Notify,
                pApplication);
            *phSession = session->getHandle();
            QV_TRACE_OUT_VALUE(*phSession);
            return CKR_OK;
        });
}

extern "C" CK_RV C_CloseSession(CK_SESSION_HANDLE hSession) {
    return runCallFrame(
        CallFrame::libraryCall("C_CloseSession"), [&] { QV_TRACE_VALUE(hSession); },
        [&]() -> CK_RV {
            // The slot's connection and its login stay for the next session.
            SessionManager::closeSession(SessionManager::getByHandle(hSession));
            return CKR_OK;
        });
}

extern "C" CK_RV C_CloseAllSessions(CK_SLOT_ID slotID) {
    return runCallFrame(
        CallFrame::libraryCall("C_CloseAllSessions"), [&] { QV_TRACE_VALUE(slotID); },
        [&]() -> CK_RV {
            Slot* slot = SlotManager::getById(slotID);
            if (!slot->isTokenPresent())
                return CKR_TOKEN_NOT_PRESENT;
            if (SessionManager::getOpenSessionCount(slot) != 0)
                SessionManager::invalidateAllSessions(slot);
            return CKR_OK;
        });
}

extern "C" CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR pInfo) {
    return runCallFrame(
        CallFrame::sessionCall("C_GetSessionInfo", hSession), [&] { QV_TRACE_VALUE(hSession); },
        [&]() -> CK_RV {
            if (pInfo == nullptr)
                return CKR_ARGUMENTS_BAD;
            Session* session = SessionManager::getByHandle(hSession);
            const CK_STATE state = sessionState(*session, session->getConnection().loginState);
            pInfo->slotID = session->getSlot()->getId();
            pInfo->state = state;
            pInfo->flags = CKF_SERIAL_SESSION;
            if (session->getState() == Session::RW_SESSION)
                pInfo->flags |= CKF_RW_SESSION;
            pInfo->ulDeviceError = 0;
            return CKR_OK;
        });
}

extern "C" CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pPin,
                         CK_ULONG ulPinLen) {
    return runCallFrame(
        CallFrame::sessionCall("C_Login", hSession),
        [&] {
            QV_TRACE_VALUE(hSession);
            QV_TRACE_VALUE(userType);
        },
        [&]() -> CK_RV {
            if (userType != CKU_SO && userType != CKU_USER)
                return CKR_ARGUMENTS_BAD;
            Session* session = SessionManager::getByHandle(hSession);
            SessionConnection& connection = session->getConnection();
            // Without a PIN the reader's PIN pad asks for it.
            if (!pinGiven(pPin, ulPinLen) && !hasPinPad(connection))
                return CKR_ARGUMENTS_BAD;

            // A second login simply replaces the first.
            SessionCardCall call(connection);
            amw::CachedToken& token = call.token();
            if (userType == CKU_SO && SessionManager::existsRoSession(session->getSlot()))
                return CKR_SESSION_READ_ONLY_EXISTS;
            amw::AuthenticationObject* object =
                userType == CKU_USER ? token.findAuthenticationObject(amw::AMWROLE_USER)
                                     : token.getPkcs11SoObject();
            if (object == nullptr)
                return CKR_USER_PIN_NOT_INITIALIZED;

            std::uint32_t triesRemaining = TRIES_UNKNOWN;
            if (token.authenticate(object, pPin, static_cast<std::size_t>(ulPinLen),
                                   &triesRemaining, nullptr) != amw::AUTHENTICATION_SUCCESS) {
                token.refreshCache();
                return pinFailure(triesRemaining);
            }

            // The PIN is proved once; from now on the card's session PIN stands
            // for the login and the card holds it only during a call.
            connection.loginState = SessionConnection::NOBODY;
            DeauthenticateOnFailure onFailure(token, object->role);
            token.generateSessionPin(object->role, &connection.sessionPin);
            connection.sessionPinRole = object->role;
            connection.loginState =
                object->pkcs11So ? SessionConnection::SECURITY_OFFICER : SessionConnection::USER;
            token.deauthenticate(object->role);
            token.refreshCache();
            return CKR_OK;
        });
}

extern "C" CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
    return runCallFrame(
        CallFrame::sessionCall("C_Logout", hSession), [&] { QV_TRACE_VALUE(hSession); },
        [&]() -> CK_RV {
            // The login belongs to the slot: every session of it is logged out.
            SessionConnection& connection = SessionManager::getByHandle(hSession)->getConnection();
            connection.sessionPin.length = 0;
            connection.loginState = SessionConnection::NOBODY;
            return CKR_OK;
        });
}

extern "C" CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR pOldPin, CK_ULONG ulOldLen,
                          CK_UTF8CHAR_PTR pNewPin, CK_ULONG ulNewLen) {
    return runCallFrame(
        CallFrame::sessionCall("C_SetPIN", hSession), [&] { QV_TRACE_VALUE(hSession); },
        [&]() -> CK_RV {
            Session* session = SessionManager::getByHandle(hSession);
            if (session->getState() == Session::RO_SESSION)
                return CKR_SESSION_READ_ONLY;
            SessionConnection& connection = session->getConnection();
            if ((!pinGiven(pOldPin, ulOldLen) || !pinGiven(pNewPin, ulNewLen)) &&
                !hasPinPad(connection))
                return CKR_ARGUMENTS_BAD;

            SessionCardCall call(connection);
            amw::CachedToken& token = call.token();
            // The security officer changes its own PIN; anybody else the user's.
            amw::AuthenticationObject* object =
                connection.loginState == SessionConnection::SECURITY_OFFICER
                    ? token.getPkcs11SoObject()
                    : token.findAuthenticationObject(amw::AMWROLE_USER);
            if (object == nullptr)
                return CKR_USER_PIN_NOT_INITIALIZED;

            std::uint32_t triesRemaining = TRIES_UNKNOWN;
            if (token.authenticate(object, pOldPin, static_cast<std::size_t>(ulOldLen),
                                   &triesRemaining, nullptr) != amw::AUTHENTICATION_SUCCESS)
                return pinFailure(triesRemaining);
            {
                // A refused new PIN must not leave the old PIN's proof on the card.
                DeauthenticateOnFailure onFailure(token, object->role);
                token.changePin(object, pNewPin, static_cast<std::size_t>(ulNewLen), nullptr);
            }
            token.deauthenticate(object->role);
            token.refreshCache();
            return CKR_OK;
        });
}
