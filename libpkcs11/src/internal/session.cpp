#include "internal/session.h"

#include "amw/cachedtoken.h"
#include "exceptions.h"
#include "internal/cmapfile.h"
#include "internal/p11objects/p11DataObject.h"
#include "internal/p11objects/p11RsaPrivateKey.h"
#include "internal/p11objects/p11RsaPublicKey.h"
#include "internal/p11objects/p11X509Certificate.h"
#include "internal/sessionmanager.h"
#include "internal/slotmanager.h"
#include "trace.h"

#include <cstring>
#include <map>
#include <string>
#include <utility>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/internal/session");

namespace {

// Every handle given out in this process, shared by all sessions and slots
// and kept across C_Finalize: a handle from one session resolves in every
// other. Handles come from a counter that never repeats a value within the
// process, so a stale handle never names a newer record; ordered by handle,
// which is the order of creation.
//
// An object found again keeps the handle it already has: were every search
// to add records, an application that searches in a loop would grow the list
// without bound.
struct ObjectHandleList {
    std::map<CK_OBJECT_HANDLE, ObjectHandle> records;
    std::map<std::pair<CK_OBJECT_CLASS, std::string>, CK_OBJECT_HANDLE> byObject;
    std::uint32_t lastHandle = 0;

    static std::pair<CK_OBJECT_CLASS, std::string> key(CK_OBJECT_CLASS objectClass,
                                                       const StaticBuffer<128>& pkcs11Id) {
        return {objectClass, std::string(pkcs11Id.begin(), pkcs11Id.end())};
    }
    void erase(std::map<CK_OBJECT_HANDLE, ObjectHandle>::iterator record) {
        byObject.erase(key(record->second.objectClass, record->second.pkcs11Id));
        records.erase(record);
    }
};

ObjectHandleList& objectHandles() {
    static ObjectHandleList list;
    return list;
}

// The four classes in search order, with the attribute types each knows.
struct ObjectKind {
    CK_OBJECT_CLASS objectClass;
    bool (*supportsAttributeType)(CK_ATTRIBUTE_TYPE type);
};
const ObjectKind SEARCH_ORDER[] = {
    {CKO_CERTIFICATE, &P11X509Certificate::supportsAttributeType},
    {CKO_DATA, &P11DataObject::supportsAttributeType},
    {CKO_PUBLIC_KEY, &P11RsaPublicKey::supportsAttributeType},
    {CKO_PRIVATE_KEY, &P11RsaPrivateKey::supportsAttributeType},
};

// A CKA_CLASS value: exactly one CK_ULONG.
CK_OBJECT_CLASS classValue(const CK_ATTRIBUTE& attribute) {
    const CK_ULONG length = attribute.ulValueLen;
    if (length < sizeof(CK_OBJECT_CLASS))
        throw AttributValueInvalidException::tooSmall(CKA_CLASS, static_cast<long long>(length),
                                                      sizeof(CK_OBJECT_CLASS));
    if (length > sizeof(CK_OBJECT_CLASS))
        throw AttributValueInvalidException::tooBig(CKA_CLASS, static_cast<long long>(length),
                                                    sizeof(CK_OBJECT_CLASS));
    if (attribute.pValue == nullptr)
        throw AttributValueInvalidException(CKA_CLASS);
    CK_OBJECT_CLASS value;
    std::memcpy(&value, attribute.pValue, sizeof value);
    return value;
}

// Visits a wrapper of every object of the class that the session may see.
template <class Visit>
void forEachVisibleObject(amw::CachedToken& token, CK_OBJECT_CLASS objectClass, bool loggedIn,
                          Visit&& visit) {
    switch (objectClass) {
    case CKO_CERTIFICATE:
        for (amw::X509Certificate* certificate : token.getCertificates()) {
            P11X509Certificate object(certificate);
            visit(object);
        }
        break;
    case CKO_DATA:
        for (amw::DataObject* dataObject : token.getDataObjects()) {
            if (!loggedIn && dataObject->isPrivateContent())
                continue;
            P11DataObject object(dataObject);
            visit(object);
        }
        break;
    case CKO_PUBLIC_KEY:
        for (amw::KeyPair* keyPair : token.getKeyPairs()) {
            if (!keyPair->hasPublicKey)
                continue;
            P11RsaPublicKey object(keyPair);
            visit(object);
        }
        break;
    case CKO_PRIVATE_KEY:
        for (amw::KeyPair* keyPair : token.getKeyPairs()) {
            if (!keyPair->hasPrivateKey)
                continue;
            P11RsaPrivateKey object(keyPair);
            visit(object);
        }
        break;
    }
}

// A wrapper of the object the record names; null when the card has no
// object of that class and identifier (a key pair without that half
// included: the key is gone although its pair is not).
std::unique_ptr<P11Object> objectOnCard(amw::CachedToken& token, const ObjectHandle& record) {
    const StaticBuffer<128>& id = record.pkcs11Id;
    switch (record.objectClass) {
    case CKO_DATA:
        if (amw::DataObject* dataObject = token.findDataObject(id))
            return std::make_unique<P11DataObject>(dataObject);
        return nullptr;
    case CKO_CERTIFICATE:
        if (amw::X509Certificate* certificate = token.findCertificate(id))
            return std::make_unique<P11X509Certificate>(certificate);
        return nullptr;
    case CKO_PUBLIC_KEY: {
        amw::KeyPair* keyPair = token.findKeyPair(id);
        if (keyPair != nullptr && keyPair->hasPublicKey)
            return std::make_unique<P11RsaPublicKey>(keyPair);
        return nullptr;
    }
    case CKO_PRIVATE_KEY: {
        amw::KeyPair* keyPair = token.findKeyPair(id);
        if (keyPair != nullptr && keyPair->hasPrivateKey)
            return std::make_unique<P11RsaPrivateKey>(keyPair);
        return nullptr;
    }
    default:
        throw InternalErrorException("invalid object class [%lu]. [%d]:%s ",
                                     static_cast<unsigned long>(record.objectClass), 227,
                                     qvTraceUnit_.source);
    }
}

}  // namespace

std::string ObjectHandle::logText() const {
    return "[type=" + std::to_string(objectClass) +
           " id=" + hexText(pkcs11Id.data, pkcs11Id.size()) + "]";
}

Session::Session(CK_SESSION_HANDLE handle, Slot* slot, SessionConnection* connection, State state,
                 CK_NOTIFY notify, CK_VOID_PTR application)
    : Notify(notify),
      pApplication(application),
      handle_(handle),
      slot_(slot),
      connection_(connection),
      state_(state) {}

Session::~Session() = default;

SessionConnection& Session::getConnection() {
    // An invalid session's connection may be gone with its card.
    if (state_ == INVALID)
        throw InternalErrorException(
            "using session which is in invalid state [CK_SESSION_HANDLE=%lu]",
            static_cast<unsigned long>(handle_));
    return *connection_;
}

// --- object handles -----------------------------------------------------------------

CK_OBJECT_HANDLE Session::addObjectHandle(const StaticBuffer<128>& pkcs11Id,
                                          CK_OBJECT_CLASS objectClass, bool privateValue) {
    ObjectHandleList& list = objectHandles();
    CK_OBJECT_HANDLE& known = list.byObject[ObjectHandleList::key(objectClass, pkcs11Id)];
    if (known != 0) {
        list.records[known].privateValue = privateValue;
        return known;
    }
    // Past 2^32 handles the counter wraps; live handles and 0 are skipped.
    do {
        ++list.lastHandle;
    } while (list.lastHandle == 0 || list.records.count(list.lastHandle) != 0);
    ObjectHandle& record = list.records[list.lastHandle];
    record.pkcs11Id = pkcs11Id;
    record.objectClass = objectClass;
    record.privateValue = privateValue;
    known = list.lastHandle;
    return known;
}

bool Session::namesPrivateValue(CK_OBJECT_HANDLE hObject) {
    const ObjectHandleList& list = objectHandles();
    const auto found = list.records.find(hObject);
    return found != list.records.end() && found->second.privateValue;
}

std::unique_ptr<P11Object> Session::getObject(amw::CachedToken* token, CK_OBJECT_HANDLE hObject) {
    QV_ENTER("Session::getObject");
    QV_REQUIRE_AT_LINE(token, "token", 183);
    QV_TRACE_VALUE(hObject);
    ObjectHandleList& list = objectHandles();
    auto found = list.records.find(hObject);
    if (found == list.records.end())
        throw InvalidObjectHandleException(hObject);
    QV_TRACE_NAMED("objectHandle", found->second.logText());
    std::unique_ptr<P11Object> object = objectOnCard(*token, found->second);
    if (object == nullptr) {
        QV_TRACE("object not found on the card");
        list.erase(found);
        throw InvalidObjectHandleException(hObject);
    }
    return object;
}

// --- search --------------------------------------------------------------------------

void Session::findObjects(amw::CachedToken* token, const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    QV_ENTER("Session::findObjects");
    QV_REQUIRE(token);
    if (count != 0 && attributes == nullptr)
        throw InternalErrorException(
            "Session::findObjects() attributes is NULL but attributsCount is nonzero");
    releaseSearch();
    foundObjectsHandles = std::make_unique<std::deque<ObjectHandle>>();

    // Private keys and private data objects only for a logged-in slot.
    const bool loggedIn = getConnection().loginState != SessionConnection::NOBODY;
    bool searched[4];
    for (std::size_t k = 0; k < 4; ++k)
        searched[k] = SEARCH_ORDER[k].objectClass != CKO_PRIVATE_KEY || loggedIn;
    // An attribute a class does not know excludes that class instead of failing.
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& attribute = attributes[i];
        const bool isClass = attribute.type == CKA_CLASS;
        const CK_OBJECT_CLASS wanted = isClass ? classValue(attribute) : 0;
        for (std::size_t k = 0; k < 4; ++k) {
            if (isClass && wanted != SEARCH_ORDER[k].objectClass)
                searched[k] = false;
            if (searched[k] && !SEARCH_ORDER[k].supportsAttributeType(attribute.type))
                searched[k] = false;
        }
    }

    for (std::size_t k = 0; k < 4; ++k) {
        if (!searched[k])
            continue;
        forEachVisibleObject(*token, SEARCH_ORDER[k].objectClass, loggedIn, [&](P11Object& object) {
            if (count == 0 || matchObjectWithTemplate(attributes, count, object))
                foundObjectsHandles->push_back(
                    {object.getPkcs11Id(), object.getObjectClass(), object.hasPrivateValue()});
        });
    }
    QV_TRACE_NAMED("foundObjectsHandles->size()", traceText(foundObjectsHandles->size()));
}

bool Session::matchObjectWithTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count,
                                      P11Object& object) {
    for (CK_ULONG i = 0; i < count; ++i)
        if (!object.compareAttribute(attributes[i]))
            return false;
    return true;
}

CK_OBJECT_HANDLE Session::getNextFoundObject() {
    QV_ENTER("Session::getNextFoundObject");
    if (!hasActiveSearch())
        throw OperationNotInitialized("findObjectsInit");
    if (foundObjectsHandles->empty())
        return 0;
    const ObjectHandle& next = foundObjectsHandles->front();
    const CK_OBJECT_HANDLE handle =
        addObjectHandle(next.pkcs11Id, next.objectClass, next.privateValue);
    foundObjectsHandles->pop_front();
    QV_TRACE_OUT_NAMED("*handle", traceText(handle));
    return handle;
}

void Session::findObjectsFinal() {
    QV_ENTER("Session::findObjectsFinal");
    if (!hasActiveSearch())
        throw OperationNotInitialized("findObjects");
    releaseSearch();
}

void Session::releaseSearch() { foundObjectsHandles.reset(); }

// --- creation and destruction ---------------------------------------------------------

CK_OBJECT_CLASS Session::findObjectClassInTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    for (CK_ULONG i = 0; i < count && attributes != nullptr; ++i)
        if (attributes[i].type == CKA_CLASS)
            return classValue(attributes[i]);
    throw TemplateIncompleteException(CKA_CLASS);
}

CK_OBJECT_HANDLE Session::createObject(amw::CachedToken* token, const CK_ATTRIBUTE* attributes,
                                       CK_ULONG count) {
    QV_ENTER("Session::createObject");
    QV_REQUIRE(token);
    const CK_OBJECT_CLASS objectClass = findObjectClassInTemplate(attributes, count);
    StaticBuffer<128> pkcs11Id;
    switch (objectClass) {
    case CKO_DATA:
        pkcs11Id = P11DataObject::createObject(token, attributes, count);
        break;
    case CKO_CERTIFICATE:
        pkcs11Id = P11X509Certificate::createObject(token, attributes, count);
        break;
    case CKO_PUBLIC_KEY:
        pkcs11Id = P11RsaPublicKey::createObject(token, attributes, count);
        break;
    case CKO_PRIVATE_KEY:
        pkcs11Id = P11RsaPrivateKey::createObject(token, attributes, count);
        break;
    default:
        throw InternalErrorException("invalid class of object [class=%lu]",
                                     static_cast<unsigned long>(objectClass));
    }
    const CK_OBJECT_HANDLE handle =
        addObjectHandle(pkcs11Id, objectClass, P11DataObject::isPrivateTemplate(attributes, count));
    QV_TRACE_OUT_NAMED("objectHandle", objectHandles().records[handle].logText());
    return handle;
}

void Session::destroyObject(amw::CachedToken* token, CK_OBJECT_HANDLE hObject) {
    QV_ENTER("Session::destroyObject");
    std::unique_ptr<P11Object> object = getObject(token, hObject);
    object->destroyObjectFromCard(token);
    ObjectHandleList& list = objectHandles();
    auto found = list.records.find(hObject);
    if (found != list.records.end())
        list.erase(found);
}

// --- key generation -------------------------------------------------------------------

void Session::generateKeyPair(amw::CachedToken* token, const CK_ATTRIBUTE* publicKeyTemplate,
                              CK_ULONG publicCount, const CK_ATTRIBUTE* privateKeyTemplate,
                              CK_ULONG privateCount, CK_OBJECT_HANDLE* hPublicKey,
                              CK_OBJECT_HANDLE* hPrivateKey) {
    QV_ENTER("Session::generateKeyPair");
    QV_REQUIRE_AT_LINE(publicKeyTemplate, "publicKeyTemplate", 324);
    QV_REQUIRE_AT_LINE(privateKeyTemplate, "privateKeyTemplate", 325);
    QV_REQUIRE_AT_LINE(hPublicKey, "hPublicKey", 326);
    QV_REQUIRE_AT_LINE(hPrivateKey, "hPrivateKey", 327);
    QV_REQUIRE(token);

    StaticBuffer<128> publicId, publicLabel, privateId, privateLabel;
    std::uint16_t publicUsage = 0, privateUsage = 0;
    std::uint32_t keySize = 0;
    P11RsaPublicKey::parseTemplate(publicKeyTemplate, publicCount, &publicId, &publicLabel,
                                   &publicUsage, nullptr, nullptr, &keySize,
                                   P11RsaPublicKey::REQUIRE_MODULUS_BITS);
    P11RsaPrivateKey::parseTemplate(privateKeyTemplate, privateCount, &privateId, &privateLabel,
                                    &privateUsage, nullptr, 0);

    // An empty CKA_ID names nothing: it counts as none given.
    StaticBuffer<128> pkcs11Id;
    if (!publicId.empty() && !privateId.empty() && publicId != privateId)
        throw TemplateInconsistentException(CKA_ID);
    if (!publicId.empty())
        pkcs11Id = publicId;
    else if (!privateId.empty())
        pkcs11Id = privateId;
    else
        token->generatePkcs11Id(&pkcs11Id);
    if (token->findKeyPair(pkcs11Id) != nullptr) {
        QV_TRACE("Keypair with same PKCS#11 ID found on the card");
        throw AttributValueInvalidException(CKA_ID);
    }

    const std::uint8_t containerIndex = prepareContainerInCmapfile(token, pkcs11Id);
    const std::uint32_t keySpec = P11RsaKey::keySpecForUsage(privateUsage);
    token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
    static const std::uint8_t F4[] = {0x01, 0x00, 0x01};
    const StaticBuffer<256> publicExponent(F4, sizeof F4);
    token
        ->generateKeyPair(publicLabel, privateLabel, keySize, containerIndex, keySpec, pkcs11Id,
                          static_cast<std::uint16_t>(publicUsage | privateUsage), publicExponent)
        ->commitCreationOrMetadataChanges();
    commitContainerInCmapfile(token, containerIndex, keySpec, keySize);

    *hPrivateKey = addObjectHandle(pkcs11Id, CKO_PRIVATE_KEY);
    *hPublicKey = addObjectHandle(pkcs11Id, CKO_PUBLIC_KEY);
}

// --- operations ------------------------------------------------------------------------

void Session::initOperationWithPrivateKeyHandle(CK_OBJECT_HANDLE hKey, Operation kind) {
    QV_ENTER("Session::initOperationWithPrivateKeyHandle");
    QV_TRACE_VALUE(hKey);
    QV_REQUIRE_RANGE(kind, SIGN, DECRYPT);
    const auto& records = objectHandles().records;
    auto found = records.find(hKey);
    if (found == records.end())
        throw InvalidObjectHandleException(hKey);
    if (found->second.objectClass != CKO_PRIVATE_KEY)
        throw InternalErrorException("invalid object class [%lu]. [%d]:%s ",
                                     static_cast<unsigned long>(found->second.objectClass), 236,
                                     qvTraceUnit_.source);
    operationKeys[kind] = hKey;
}

std::unique_ptr<P11RsaPrivateKey> Session::getPrivateKeyForOperation(amw::CachedToken* token,
                                                                     Operation kind) {
    QV_ENTER("Session::getPrivateKeyForOperation");
    QV_REQUIRE_RANGE(kind, SIGN, DECRYPT);
    if (operationKeys[kind] == 0)
        throw OperationNotInitialized("C_Decrypt");
    // The stored handle was checked to name a private key, and a record
    // never changes its class.
    return std::unique_ptr<P11RsaPrivateKey>(
        static_cast<P11RsaPrivateKey*>(getObject(token, operationKeys[kind]).release()));
}

void Session::operationFinal(Operation kind) {
    QV_ENTER("Session::operationFinal");
    QV_REQUIRE_RANGE(kind, SIGN, DECRYPT);
    if (operationKeys[kind] == 0)
        throw OperationNotInitialized("C_DecryptFinal");
    operationKeys[kind] = 0;
}

std::string Session::logText() const {
    return std::string("[state=") + sessionStateName(state_) +
           ", slot desc=" + (slot_ ? slot_->getReaderName() : std::string("empty")) +
           ", handle=" + std::to_string(handle_) + "]";
}

const char* sessionStateName(std::uint32_t state) {
    switch (state) {
    case Session::RO_SESSION:
        return "Session::RO_SESSION";
    case Session::RW_SESSION:
        return "Session::RW_SESSION";
    case Session::INVALID:
        return "Session::INVALID";
    default:
        return "UNKNOWN";
    }
}
