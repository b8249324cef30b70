#include "amw/cachedtoken.h"

#include "configuration.h"
#include "exceptions.h"
#include "fileutils.h"
#include "logger.h"
#include "platform.h"
#include "random.h"
#include "trace.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <type_traits>

namespace amw {

namespace {

constexpr const char* COMPONENT = "AMW";
constexpr const char* SOURCE = "libamw/src/cachedtoken";
constexpr std::size_t GENERATED_ID_LENGTH = 16;

template <std::size_t N>
void dumpBuffer(const char* label, const StaticBuffer<N>& buffer) {
    const Logger& logger = Logger::instance();
    if (logger.isEnabled())
        logger.dump(COMPONENT, label, buffer.data, buffer.size(), false);
}

bool hasDigestPrefix(int entityId) {
    return entityId == CachedObjectKinds::CACHED_OBJECT_KEYPAIR ||
           (entityId >= CachedObjectKinds::CACHED_OBJECT_CERTIFICATE &&
            entityId <= CachedObjectKinds::CACHED_OBJECT_AO);
}

std::uint16_t maskBit(int counter) { return static_cast<std::uint16_t>(1u << counter); }

// Destroys the objects of a list that never made it into the caching token.
template <class T>
struct ListGuard {
    std::vector<T*>* list;
    ~ListGuard() {
        if (list != nullptr)
            for (T* object : *list)
                delete object;
    }
};

// Appends a new object to a list that owns it, without leaking it if the
// list cannot grow.
template <class T>
T* adopt(std::vector<T*>& list, T* object) {
    std::unique_ptr<T> guard(object);
    if (object == nullptr)
        throw InternalErrorException("token returned no object");
    list.push_back(object);
    return guard.release();
}

}  // namespace

CachedToken::CachedToken(Token* token, const CardId& cardId) : token(token) {
    std::memcpy(this->cardId, cardId, sizeof this->cardId);
    init(Configuration::instance().getCacheDirectory());
}

CachedToken::CachedToken(Token* token, const CardId& cardId, const std::string& cacheDirectory)
    : token(token) {
    std::memcpy(this->cardId, cardId, sizeof this->cardId);
    init(cacheDirectory);
}

void CachedToken::init(const std::string& cacheDirectory) {
    TraceScope trace(COMPONENT, "amw::CachedToken::CachedToken");
    QV_CHECK_NOT_NULL(token, "token", "amw::CachedToken::CachedToken", SOURCE, __LINE__);
    token->getCacheFreshness(&cardFreshness);
    newFreshness = cardFreshness;
    if (!cacheDirectory.empty()) {
        cacheMemory.reset(new CacheMemory(token, joinPath(cacheDirectory, cardIdText(cardId))));
        QV_TRACE_ARG(COMPONENT, "cacheMemory->getCachingDir().c_str()",
                     cacheMemory->getCachingDir());
    } else {
        QV_LOG(COMPONENT, "CACHE MEMORY disabled");
    }
}

CachedToken::~CachedToken() {
    auto destroy = [](auto& list) {
        if (list)
            for (auto* object : *list)
                delete object;
    };
    destroy(keyPairs);
    destroy(certificates);
    destroy(files);
    destroy(directories);
    destroy(dataObjects);
    destroy(authenticationObjects);
}

std::string CachedToken::cardIdText(const CardId& cardId) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : cardId) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

// ----------------------------------------------------------------- freshness

void CachedToken::cacheMemoryHash(CacheMemory*, int entityId, const CacheMemoryDigest& digest) {
    if (!hasDigestPrefix(entityId))
        throw InternalErrorException("CachedToken::cacheMemoryHash unknown entityId [%d]",
                                     entityId);
    std::memcpy(newFreshness.prefix(entityId), digest.data(), FreshnessBlock::PREFIX_LENGTH);
}

bool CachedToken::cacheMemoryVerifyHash(CacheMemory*, int entityId,
                                        const CacheMemoryDigest& digest) {
    if (!hasDigestPrefix(entityId))
        throw InternalErrorException("CachedToken::cacheMemoryVerifyHash unknown entityId [%d]",
                                     entityId);
    return std::memcmp(cardFreshness.prefix(entityId), digest.data(),
                       FreshnessBlock::PREFIX_LENGTH) == 0;
}

void CachedToken::increaseFreshnessCounter(int counter, bool writeToCard) {
    TraceScope trace(COMPONENT, "amw::CachedToken::increaseFreshnessCounter");
    QV_TRACE_ARG(COMPONENT, "counter", cachedObjectText(counter));
    QV_TRACE_ARG(COMPONENT, "writeToCard", boolText(writeToCard));
    if (counter < CACHED_OBJECT_KEYPAIR || counter > CACHED_OBJECT_DATA_OBJECT)
        throw InternalErrorException(
            "CachedToken::increaseFreshnessCounter() neznama hodnota parametru counter [%d]",
            counter);
    std::uint16_t& value = newFreshness.counter(counter);
    value = static_cast<std::uint16_t>(value + 1);
    std::memset(newFreshness.prefix(counter), 0, FreshnessBlock::PREFIX_LENGTH);
    modifiedMask = static_cast<std::uint16_t>(modifiedMask | maskBit(counter));
    if (writeToCard)
        token->setCacheFreshness(newFreshness);
}

void CachedToken::checkFreshnessCounterModified(int counter) {
    static const char* const words[] = {"keypair", "secretkey",   "certificate", "dirs",
                                        "files",   "dataobjects", "ao"};
    if (counter < CACHED_OBJECT_KEYPAIR || counter > CACHED_OBJECT_AO)
        throw InternalErrorException("unknown counter");
    if ((modifiedMask & maskBit(counter)) == 0)
        throw FreshnessCounterException(words[counter - 1]);
}

template <class T>
void CachedToken::saveList(const std::unique_ptr<std::vector<T*>>& list, int entityId) {
    if (list && (saveAll || (modifiedMask & maskBit(entityId)) != 0))
        cacheMemory->serializeEntities(entityId, newFreshness.counter(entityId), *list, this);
}

void CachedToken::refreshCache() noexcept {
    try {
        TraceScope trace(COMPONENT, "amw::CachedToken::refreshCache");
        if (!cacheMemory)
            return;
        try {
            saveList(keyPairs, CACHED_OBJECT_KEYPAIR);
            saveList(authenticationObjects, CACHED_OBJECT_AO);
            saveList(directories, CACHED_OBJECT_DIRECTORY);
            saveList(dataObjects, CACHED_OBJECT_DATA_OBJECT);
            saveList(certificates, CACHED_OBJECT_CERTIFICATE);
            saveList(files, CACHED_OBJECT_FILE);
            if (newFreshness != cardFreshness)
                token->setCacheFreshness(newFreshness);
        } catch (const std::exception& e) {
            QV_LOG(COMPONENT, "unable to write cache to card [%s]", e.what());
        } catch (...) {
            QV_LOG(COMPONENT, "unable to write cache to card [unkwnown error]");
        }
    } catch (...) {
        // Only tracing itself could get here; the caller never sees it.
    }
}

// --------------------------------------------------------------------- lists

template <class T, class ListFromCard>
std::vector<T*>& CachedToken::loadList(std::unique_ptr<std::vector<T*>>& list, int entityId,
                                       ListFromCard listFromCard) {
    if (list)
        return *list;
    std::unique_ptr<std::vector<T*>> loaded(new std::vector<T*>());
    ListGuard<T> guard{loaded.get()};
    bool hit = false;
    if (cacheMemory) {
        try {
            hit = cacheMemory->deserializeEntities(entityId, cardFreshness.counter(entityId),
                                                   loaded.get(), this);
        } catch (const QVException& e) {
            // A file that passed its checks but does not parse is a miss too.
            QV_LOG(COMPONENT, "CACHE MEMORY: miss - %s", e.what());
            hit = false;
        }
    }
    if (!hit) {
        listFromCard(*loaded);
        // Public bodies are read now so that they are cached with the list.
        if constexpr (std::is_base_of<DataStorage, T>::value) {
            for (T* object : *loaded)
                if (!object->isPrivateContent())
                    object->getContent();
        }
        saveAll = true;
    }
    guard.list = nullptr;
    list = std::move(loaded);
    return *list;
}

std::vector<KeyPair*>& CachedToken::getKeyPairs() {
    return loadList(keyPairs, CACHED_OBJECT_KEYPAIR,
                    [this](std::vector<KeyPair*>& l) { token->listKeyPairs(l); });
}

std::vector<X509Certificate*>& CachedToken::getCertificates() {
    return loadList(certificates, CACHED_OBJECT_CERTIFICATE,
                    [this](std::vector<X509Certificate*>& l) { token->listCertificates(l); });
}

std::vector<File*>& CachedToken::getFiles() {
    return loadList(files, CACHED_OBJECT_FILE,
                    [this](std::vector<File*>& l) { token->listFiles(l); });
}

std::vector<Directory*>& CachedToken::getDirectories() {
    return loadList(directories, CACHED_OBJECT_DIRECTORY,
                    [this](std::vector<Directory*>& l) { token->listDirs(l); });
}

std::vector<DataObject*>& CachedToken::getDataObjects() {
    return loadList(dataObjects, CACHED_OBJECT_DATA_OBJECT,
                    [this](std::vector<DataObject*>& l) { token->listDataObjects(l); });
}

std::vector<AuthenticationObject*>& CachedToken::getAuthenticationObjects() {
    return loadList(
        authenticationObjects, CACHED_OBJECT_AO,
        [this](std::vector<AuthenticationObject*>& l) { token->listAuthenticateObjects(l); });
}

// ------------------------------------------------------------------- lookups

Directory* CachedToken::findDirectory(const StaticBuffer<8>& directoryName) {
    TraceScope trace(COMPONENT, "amw::CachedToken::findDirectory");
    dumpBuffer("directoryName.data = ", directoryName);
    for (Directory* directory : getDirectories())
        if (directory->directoryName == directoryName)
            return directory;
    return nullptr;
}

File* CachedToken::findFile(const Directory* dir, const StaticBuffer<8>& fileName) {
    TraceScope trace(COMPONENT, "amw::CachedToken::findFile");
    QV_CHECK_NOT_NULL(dir, "dir", "amw::CachedToken::findFile", SOURCE, 628);
    dumpBuffer("directoryName.data = ", dir->directoryName);
    dumpBuffer("fileName.data = ", fileName);
    for (File* file : getFiles())
        if (file->directoryName == dir->directoryName && file->fileName == fileName)
            return file;
    return nullptr;
}

AuthenticationObject* CachedToken::findAuthenticationObject(std::uint32_t role) {
    TraceScope trace(COMPONENT, "amw::CachedToken::findAuthenticationObject");
    QV_TRACE_ARG(COMPONENT, "role", roleText(role));
    for (AuthenticationObject* object : getAuthenticationObjects())
        if (object->role == role)
            return object;
    return nullptr;
}

AuthenticationObject* CachedToken::getPkcs11SoObject() {
    TraceScope trace(COMPONENT, "amw::CachedToken::getPkcs11SoObject");
    for (AuthenticationObject* object : getAuthenticationObjects())
        if (object->pkcs11So)
            return object;
    return nullptr;
}

KeyPair* CachedToken::findKeyPair(const StaticBuffer<128>& pkcs11Id) {
    for (KeyPair* keyPair : getKeyPairs())
        if (keyPair->pkcs11Id == pkcs11Id)
            return keyPair;
    return nullptr;
}

X509Certificate* CachedToken::findCertificate(const StaticBuffer<128>& pkcs11Id) {
    for (X509Certificate* certificate : getCertificates())
        if (certificate->pkcs11Id == pkcs11Id)
            return certificate;
    return nullptr;
}

DataObject* CachedToken::findDataObject(const StaticBuffer<128>& pkcs11Id) {
    for (DataObject* dataObject : getDataObjects())
        if (dataObject->pkcs11Id == pkcs11Id)
            return dataObject;
    return nullptr;
}

void CachedToken::generatePkcs11Id(StaticBuffer<128>* id) {
    TraceScope trace(COMPONENT, "amw::CachedToken::generatePkcs11Id");
    QV_CHECK_NOT_NULL(id, "id", "amw::CachedToken::generatePkcs11Id", SOURCE, __LINE__);
    do {
        std::uint8_t bytes[GENERATED_ID_LENGTH];
        for (std::uint8_t& b : bytes)
            b = static_cast<std::uint8_t>(static_cast<std::uint64_t>(PseudoRandom::next()) ^
                                          currentFileTime());
        id->assign(bytes, sizeof bytes);
    } while (findCertificate(*id) != nullptr || findKeyPair(*id) != nullptr ||
             findDataObject(*id) != nullptr);
    dumpBuffer("new_id = ", *id);
}

// ------------------------------------------------------------------ creation

KeyPair* CachedToken::generateKeyPair(const StaticBuffer<128>& publicLabel,
                                      const StaticBuffer<128>& privateLabel, std::uint32_t keySize,
                                      std::uint8_t containerIndex, std::uint32_t keySpec,
                                      const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
                                      const StaticBuffer<256>& publicExponent) {
    TraceScope trace(COMPONENT, "amw::CachedToken::generateKeyPair");
    dumpBuffer("label.data = ", publicLabel);
    dumpBuffer("label.data = ", privateLabel);
    QV_TRACE_ARG(COMPONENT, "keySize", numberText(keySize));
    QV_TRACE_ARG(COMPONENT, "containerIndex", numberText(containerIndex));
    QV_TRACE_ARG(COMPONENT, "keySpec", keySpecText(keySpec));
    dumpBuffer("pkcs11Id.data = ", pkcs11Id);
    if (findKeyPair(pkcs11Id) != nullptr)
        throw DuplicatePkcs11IdException();
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    return adopt(*keyPairs,
                 token->generateKeyPair(publicLabel, privateLabel, keySize, containerIndex, keySpec,
                                        pkcs11Id, keyUsage, publicExponent));
}

KeyPair* CachedToken::importPublicKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                                      const StaticBuffer<128>& label, std::uint16_t keyUsage,
                                      const StaticBuffer<256>& modulus,
                                      const StaticBuffer<256>& publicExponent) {
    TraceScope trace(COMPONENT, "amw::CachedToken::importPublicKey");
    dumpBuffer("pkcs11Id.data = ", pkcs11Id);
    QV_TRACE_ARG(COMPONENT, "keySize", numberText(keySize));
    dumpBuffer("label.data = ", label);
    if (findKeyPair(pkcs11Id) != nullptr)
        throw DuplicatePkcs11IdException();
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    return adopt(*keyPairs, token->importPublicKey(pkcs11Id, keySize, label, keyUsage, modulus,
                                                   publicExponent));
}

KeyPair* CachedToken::importPrivateKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                                       const StaticBuffer<128>& label, std::uint16_t keyUsage,
                                       const RsaPrivateKeyComponents& components) {
    TraceScope trace(COMPONENT, "amw::CachedToken::importPrivateKey");
    dumpBuffer("pkcs11Id.data = ", pkcs11Id);
    QV_TRACE_ARG(COMPONENT, "keySize", numberText(keySize));
    dumpBuffer("label.data = ", label);
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    if (findKeyPair(pkcs11Id) != nullptr)
        throw DuplicatePkcs11IdException();
    return adopt(*keyPairs,
                 token->importPrivateKey(pkcs11Id, keySize, label, keyUsage, components));
}

X509Certificate* CachedToken::createCertificate(const StaticBuffer<128>& label,
                                                const StaticBuffer<128>& id,
                                                std::uint8_t containerIndex, std::uint32_t keySpec,
                                                bool trusted, AccessCondition ac1,
                                                AccessCondition ac2, AccessCondition ac3) {
    TraceScope trace(COMPONENT, "amw::CachedToken::createCertificate");
    dumpBuffer("label.data = ", label);
    dumpBuffer("id.data = ", id);
    QV_TRACE_ARG(COMPONENT, "containerIndex", numberText(containerIndex));
    QV_TRACE_ARG(COMPONENT, "keySpec", keySpecText(keySpec));
    QV_TRACE_ARG(COMPONENT, "trusted", boolText(trusted));
    checkFreshnessCounterModified(CACHED_OBJECT_CERTIFICATE);
    if (findCertificate(id) != nullptr)
        throw DuplicatePkcs11IdException();
    return adopt(*certificates, token->createCertificate(label, id, containerIndex, keySpec,
                                                         trusted, ac1, ac2, ac3));
}

DataObject* CachedToken::createDataObject(const StaticBuffer<128>& label,
                                          const StaticBuffer<128>& id,
                                          const StaticBuffer<128>& objectId,
                                          const StaticBuffer<128>& application, AccessCondition ac1,
                                          AccessCondition acReadContent, AccessCondition ac3,
                                          AccessCondition ac4) {
    TraceScope trace(COMPONENT, "amw::CachedToken::createDataObject");
    dumpBuffer("label.data = ", label);
    dumpBuffer("id.data = ", id);
    dumpBuffer("objectId.data = ", objectId);
    dumpBuffer("application.data = ", application);
    checkFreshnessCounterModified(CACHED_OBJECT_DATA_OBJECT);
    if (findDataObject(id) != nullptr)
        throw DuplicatePkcs11IdException();
    return adopt(*dataObjects, token->createDataObject(label, id, objectId, application, ac1,
                                                       acReadContent, ac3, ac4));
}

// ----------------------------------------------------------------- amending

void CachedToken::amendKeyPairAddPublicKey(KeyPair* keyPair, const StaticBuffer<128>& label,
                                           std::uint8_t containerIndex, std::uint32_t keySpec,
                                           std::uint16_t keyUsage, const StaticBuffer<256>& modulus,
                                           const StaticBuffer<256>& publicExponent) {
    TraceScope trace(COMPONENT, "amw::CachedToken::amendKeyPairAddPublicKey");
    QV_CHECK_NOT_NULL(keyPair, "keyPair", "amw::CachedToken::amendKeyPairAddPublicKey", SOURCE,
                      511);
    dumpBuffer("label.data = ", label);
    if (keyPair->hasPublicKey)
        throw InternalErrorException("Keypair has already public key");
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    token->amendKeyPairAddPublicKey(keyPair, label, containerIndex, keySpec, keyUsage, modulus,
                                    publicExponent);
}

void CachedToken::amendKeyPairRemovePublicKey(KeyPair* keyPair) {
    TraceScope trace(COMPONENT, "amw::CachedToken::amendKeyPairRemovePublicKey");
    QV_CHECK_NOT_NULL(keyPair, "keyPair", "amw::CachedToken::amendKeyPairRemovePublicKey", SOURCE,
                      523);
    if (!keyPair->hasPublicKey)
        throw InternalErrorException(
            "cannot remove public key from keypair because keypair does not have the public key");
    if (!keyPair->hasPrivateKey)
        throw InternalErrorException(
            "cannot remove public key from keypair because keypair is not complete");
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    token->amendKeyPairRemovePublicKey(keyPair);
}

void CachedToken::amendKeyPairAddPrivateKey(KeyPair* keyPair, const StaticBuffer<128>& label,
                                            std::uint8_t containerIndex, std::uint32_t keySpec,
                                            std::uint16_t keyUsage,
                                            const RsaPrivateKeyComponents& components) {
    TraceScope trace(COMPONENT, "amw::CachedToken::amendKeyPairAddPrivateKey");
    QV_CHECK_NOT_NULL(keyPair, "keyPair", "amw::CachedToken::amendKeyPairAddPrivateKey", SOURCE,
                      558);
    dumpBuffer("label.data = ", label);
    if (keyPair->hasPrivateKey)
        throw InternalErrorException("Keypair has already private key");
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    token->amendKeyPairAddPrivateKey(keyPair, label, containerIndex, keySpec, keyUsage, components);
}

void CachedToken::amendKeyPairRemovePrivateKey(KeyPair* keyPair) {
    TraceScope trace(COMPONENT, "amw::CachedToken::amendKeyPairRemovePrivateKey");
    QV_CHECK_NOT_NULL(keyPair, "keyPair", "amw::CachedToken::amendKeyPairRemovePrivateKey", SOURCE,
                      570);
    if (!keyPair->hasPrivateKey)
        throw InternalErrorException(
            "cannot remove private key from keypair because keypair "
            "does not have the private key");
    if (!keyPair->hasPublicKey)
        throw InternalErrorException(
            "cannot remove private key from keypair because keypair is not complete");
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    token->amendKeyPairRemovePrivateKey(keyPair);
}

// ------------------------------------------------------------------ deleting

template <class T>
void CachedToken::retire(std::vector<T*>& list, T* object) {
    auto it = std::find(list.begin(), list.end(), object);
    if (it == list.end())
        return;  // not ours: the caller keeps it
    retired.reserve(retired.size() + 1);
    list.erase(it);
    retired.emplace_back(object);
}

void CachedToken::deleteCertificate(X509Certificate* certificate) {
    TraceScope trace(COMPONENT, "amw::CachedToken::deleteCertificate");
    QV_CHECK_NOT_NULL(certificate, "certificate", "amw::CachedToken::deleteCertificate", SOURCE,
                      289);
    if (!certificates)
        throw InternalErrorException(
            "certificateList is NULL, where did you get the certificate from?");
    checkFreshnessCounterModified(CACHED_OBJECT_CERTIFICATE);
    token->deleteCertificate(certificate);
    retire(*certificates, certificate);
}

void CachedToken::deleteDataObject(DataObject* dataObject) {
    TraceScope trace(COMPONENT, "amw::CachedToken::deleteDataObject");
    QV_CHECK_NOT_NULL(dataObject, "dataObject", "amw::CachedToken::deleteDataObject", SOURCE, 331);
    if (!dataObjects)
        throw InternalErrorException(
            "dataObjectList is NULL, where did you get the data object from?");
    checkFreshnessCounterModified(CACHED_OBJECT_DATA_OBJECT);
    token->deleteDataObject(dataObject);
    retire(*dataObjects, dataObject);
}

void CachedToken::deleteKeyPair(KeyPair* keyPair) {
    TraceScope trace(COMPONENT, "amw::CachedToken::deleteKeyPair");
    QV_CHECK_NOT_NULL(keyPair, "keyPair", "amw::CachedToken::deleteKeyPair", SOURCE, 603);
    if (!keyPairs)
        throw InternalErrorException("keypairList is NULL, where do you obtain a key from?");
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    token->deleteKeyPair(keyPair);
    retire(*keyPairs, keyPair);
}

// ---------------------------------------------- cryptography and authentication

void CachedToken::rsaExponentiation(KeyPair* keypair, const std::uint8_t* data, std::size_t length,
                                    StaticBuffer<256>* signedData, bool hideData) {
    TraceScope trace(COMPONENT, "amw::CachedToken::rsaExponentiation");
    QV_CHECK_NOT_NULL(keypair, "keypair", "amw::CachedToken::rsaExponentiation", SOURCE, 642);
    QV_CHECK_NOT_NULL(data, "data", "amw::CachedToken::rsaExponentiation", SOURCE, 643);
    QV_CHECK_NOT_NULL(signedData, "signedData", "amw::CachedToken::rsaExponentiation", SOURCE, 644);
    token->rsaExponentiation(keypair, data, length, signedData, hideData);
}

AuthenticationResult CachedToken::authenticate(const AuthenticationObject* authenticationObject,
                                               const std::uint8_t* secret, std::size_t length,
                                               std::uint32_t* triesRemaining,
                                               PinPadNotifier* pinPad) {
    TraceScope trace(COMPONENT, "amw::CachedToken::authenticate");
    QV_CHECK_NOT_NULL(authenticationObject, "authenticationObject",
                      "amw::CachedToken::authenticate", SOURCE, __LINE__);
    QV_TRACE_ARG(COMPONENT, "role", roleText(authenticationObject->role));
    AuthenticationResult result =
        token->authenticate(authenticationObject, secret, length, triesRemaining, pinPad);
    QV_LOG(COMPONENT, "Returning %s", authenticationResultText(result).c_str());
    return result;
}

AuthenticationResult CachedToken::authenticateSessionPin(std::uint32_t role,
                                                         const std::uint8_t* pinData,
                                                         std::size_t length,
                                                         std::uint32_t* attemptsRemaining) {
    TraceScope trace(COMPONENT, "amw::CachedToken::authenticateSessionPin");
    QV_CHECK_NOT_NULL(pinData, "pinData", "amw::CachedToken::authenticateSessionPin", SOURCE, 659);
    QV_CHECK_NOT_NULL(attemptsRemaining, "attemptsRemaining",
                      "amw::CachedToken::authenticateSessionPin", SOURCE, 660);
    QV_TRACE_ARG(COMPONENT, "role", roleText(role));
    return token->authenticateSessionPin(role, pinData, length, attemptsRemaining);
}

void CachedToken::generateSessionPin(std::uint32_t role, StaticBuffer<128>* sessionPin) {
    TraceScope trace(COMPONENT, "amw::CachedToken::generateSessionPin");
    QV_CHECK_NOT_NULL(sessionPin, "sessionPin", "amw::CachedToken::generateSessionPin", SOURCE,
                      667);
    QV_TRACE_ARG(COMPONENT, "role", roleText(role));
    token->generateSessionPin(role, sessionPin);
}

void CachedToken::deauthenticate(std::uint32_t role) {
    TraceScope trace(COMPONENT, "amw::CachedToken::deauthenticate");
    QV_TRACE_ARG(COMPONENT, "role", roleText(role));
    token->deauthenticate(role);
}

void CachedToken::changePin(const AuthenticationObject* authenticationObject,
                            const std::uint8_t* data, std::size_t length, PinPadNotifier* pinPad) {
    TraceScope trace(COMPONENT, "amw::CachedToken::changePin");
    QV_CHECK_NOT_NULL(authenticationObject, "authenticationObject", "amw::CachedToken::changePin",
                      SOURCE, __LINE__);
    token->changePin(authenticationObject, data, length, pinPad);
}

// -------------------------------------------------------------- card queries

const StaticBuffer<256>& CachedToken::getCardSerialNumber() {
    TraceScope trace(COMPONENT, "amw::CachedToken::getCardSerialNumber");
    if (!serialNumberRead) {
        token->getCardSerialNumber(&serialNumber);
        serialNumberRead = true;
    }
    return serialNumber;
}

void CachedToken::getVersion(std::uint8_t* majorVersion, std::uint8_t* minorVersion) {
    TraceScope trace(COMPONENT, "amw::CachedToken::getVersion");
    QV_CHECK_NOT_NULL(majorVersion, "majorVersion", "amw::CachedToken::getVersion", SOURCE, 709);
    QV_CHECK_NOT_NULL(minorVersion, "minorVersion", "amw::CachedToken::getVersion", SOURCE, 710);
    token->getVersion(majorVersion, minorVersion);
}

void CachedToken::getMemoryInfo(std::uint32_t* total, std::uint32_t* freeBytes) {
    TraceScope trace(COMPONENT, "amw::CachedToken::getMemoryInfo");
    QV_CHECK_NOT_NULL(total, "total", "amw::CachedToken::getMemoryInfo", SOURCE, __LINE__);
    QV_CHECK_NOT_NULL(freeBytes, "freeBytes", "amw::CachedToken::getMemoryInfo", SOURCE, __LINE__);
    token->getMemoryInfo(total, freeBytes);
}

}  // namespace amw
