#pragma once
// One PKCS#11 session on a slot. The session manager creates, invalidates and
// releases it; the object and cryptographic functions work through it: it
// hands out and resolves object handles, runs searches, dispatches creation
// and destruction to the object classes and remembers the key of each
// initialised operation.
#include "cryptoki.h"
#include "staticbuffer.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

class Slot;
class SessionConnection;
class P11Object;
class P11RsaPrivateKey;
namespace amw {
class CachedToken;
}  // namespace amw

// What an object handle stands for: the object named by class and
// identifier, not by pointer, so that it survives cache refreshes and
// changes of the card as long as such an object is there.
struct ObjectHandle {
    StaticBuffer<128> pkcs11Id;
    CK_OBJECT_CLASS objectClass = 0;
    // A private data object, as last seen: its value is masked in the log.
    bool privateValue = false;

    CK_OBJECT_CLASS getObjectClass() const { return objectClass; }
    // [type=3 id=0a1b]
    std::string logText() const;
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

    // --- objects; `token` is the caching token of the current card call ---

    // A new wrapper of the object the handle names. InvalidObjectHandleException
    // for an unknown handle, and for one whose object is no longer on the
    // card, which is forgotten on the way.
    std::unique_ptr<P11Object> getObject(amw::CachedToken* token, CK_OBJECT_HANDLE hObject);
    // Starts a search (ending an active one) for the objects the session may
    // see that match every attribute of the template; an empty template finds
    // them all.
    void findObjects(amw::CachedToken* token, const CK_ATTRIBUTE* attributes, CK_ULONG count);
    // The next found object as a new handle; 0 when none is left.
    // OperationNotInitialized without an active search.
    CK_OBJECT_HANDLE getNextFoundObject();
    // OperationNotInitialized without an active search.
    void findObjectsFinal();
    bool hasActiveSearch() const { return foundObjectsHandles != nullptr; }
    // Ends the active search, if any, dropping what was not handed out.
    void releaseSearch();

    CK_OBJECT_HANDLE createObject(amw::CachedToken* token, const CK_ATTRIBUTE* attributes,
                                  CK_ULONG count);
    // Other handles of the same object stay; they fail at their next use.
    void destroyObject(amw::CachedToken* token, CK_OBJECT_HANDLE hObject);

    // CKA_CLASS of a creation template: TemplateIncompleteException when
    // missing, AttributValueInvalidException when not a CK_ULONG.
    static CK_OBJECT_CLASS findObjectClassInTemplate(const CK_ATTRIBUTE* attributes,
                                                     CK_ULONG count);
    // Every attribute equal, in order; failures of the object (a sensitive
    // attribute) pass on.
    static bool matchObjectWithTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count,
                                        P11Object& object);

    // Generates an RSA key pair on the card (1024 or 2048 bits, CKA_MODULUS_BITS
    // required, exponent 65537) in a container of its own, and hands out both
    // halves. The identifier is the templates' CKA_ID (equal when both give
    // one) or a new one; one already on the card is refused before the card
    // is written.
    void generateKeyPair(amw::CachedToken* token, const CK_ATTRIBUTE* publicKeyTemplate,
                         CK_ULONG publicCount, const CK_ATTRIBUTE* privateKeyTemplate,
                         CK_ULONG privateCount, CK_OBJECT_HANDLE* hPublicKey,
                         CK_OBJECT_HANDLE* hPrivateKey);

    // A new handle for an object put on the card by this process.
    static CK_OBJECT_HANDLE addObjectHandle(const StaticBuffer<128>& pkcs11Id,
                                            CK_OBJECT_CLASS objectClass, bool privateValue = false);
    // Whether the handle names a private data object, without the card: for
    // the argument records, written before the object is looked up.
    static bool namesPrivateValue(CK_OBJECT_HANDLE hObject);

    // --- operations ---

    // `hKey` must name a private key; replaces an initialised operation.
    void initOperationWithPrivateKeyHandle(CK_OBJECT_HANDLE hKey, Operation kind);
    // The key of the initialised operation. OperationNotInitialized otherwise.
    std::unique_ptr<P11RsaPrivateKey> getPrivateKeyForOperation(amw::CachedToken* token,
                                                                Operation kind);
    // Ends the operation. OperationNotInitialized when it is not initialised.
    void operationFinal(Operation kind);
    bool isOperationInitialized(Operation kind) const { return operationKeys[kind] != 0; }

    // [state=Session::RW_SESSION, slot desc=<reader>, handle=<n>]
    std::string logText() const;

    CK_NOTIFY Notify;
    CK_VOID_PTR pApplication;

private:
    const CK_SESSION_HANDLE handle_;
    Slot* const slot_;
    SessionConnection* const connection_;
    State state_;
    // Objects found by the active search and not yet handed out; null when
    // no search is active.
    std::unique_ptr<std::deque<ObjectHandle>> foundObjectsHandles;
    // Key handle per operation kind; 0 when the operation is not initialised.
    CK_OBJECT_HANDLE operationKeys[2] = {0, 0};
};

// "Session::RO_SESSION", "Session::RW_SESSION", "Session::INVALID" or "UNKNOWN".
const char* sessionStateName(std::uint32_t state);
