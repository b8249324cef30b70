#include "amw/cachedtoken.h"

#include "configuration.h"
#include "exceptions.h"
#include "fileutils.h"
#include "platform.h"
#include "random.h"
#include "trace.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <type_traits>

QV_TRACE_UNIT("AMW", "libamw/src/cachedtoken");

namespace amw {

namespace {

constexpr std::size_t GENERATED_ID_LENGTH = 16;

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
    QV_ENTER("amw::CachedToken::CachedToken");
    QV_REQUIRE(token);
    token->getCacheFreshness(&cardFreshness);
    newFreshness = cardFreshness;
    if (!cacheDirectory.empty()) {
        cacheMemory.reset(new CacheMemory(token, joinPath(cacheDirectory, cardIdText(cardId))));
        QV_TRACE_NAMED("cacheMemory->getCachingDir().c_str()", cacheMemory->getCachingDir());
    } else {
        QV_TRACE("CACHE MEMORY disabled");
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
    QV_ENTER("amw::CachedToken::increaseFreshnessCounter");
    QV_TRACE_NAMED("counter", cachedObjectText(counter));
    QV_TRACE_VALUE(writeToCard);
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
        QV_ENTER("amw::CachedToken::refreshCache");
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
            QV_TRACE("unable to write cache to card [%s]", e.what());
        } catch (...) {
            QV_TRACE("unable to write cache to card [unkwnown error]");
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
            QV_TRACE("CACHE MEMORY: miss - %s", e.what());
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
    QV_ENTER("amw::CachedToken::findDirectory");
    QV_TRACE_BYTES("directoryName.data = ", directoryName.data, directoryName.size());
    for (Directory* directory : getDirectories())
        if (directory->directoryName == directoryName)
            return directory;
    return nullptr;
}

File* CachedToken::findFile(const Directory* dir, const StaticBuffer<8>& fileName) {
    QV_ENTER("amw::CachedToken::findFile");
    QV_REQUIRE_AT_LINE(dir, "dir", 628);
    QV_TRACE_BYTES("directoryName.data = ", dir->directoryName.data, dir->directoryName.size());
    QV_TRACE_BYTES("fileName.data = ", fileName.data, fileName.size());
    for (File* file : getFiles())
        if (file->directoryName == dir->directoryName && file->fileName == fileName)
            return file;
    return nullptr;
}

AuthenticationObject* CachedToken::findAuthenticationObject(std::uint32_t role) {
    QV_ENTER("amw::CachedToken::findAuthenticationObject");
    QV_TRACE_NAMED("role", roleText(role));
    for (AuthenticationObject* object : getAuthenticationObjects())
        if (object->role == role)
            return object;
    return nullptr;
}

AuthenticationObject* CachedToken::getPkcs11SoObject() {
    QV_ENTER("amw::CachedToken::getPkcs11SoObject");
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
    QV_ENTER("amw::CachedToken::generatePkcs11Id");
    QV_REQUIRE(id);
    do {
        std::uint8_t bytes[GENERATED_ID_LENGTH];
        for (std::uint8_t& b : bytes)
            b = static_cast<std::uint8_t>(static_cast<std::uint64_t>(PseudoRandom::next()) ^
                                          currentFileTime());
        id->assign(bytes, sizeof bytes);
    } while (findCertificate(*id) != nullptr || findKeyPair(*id) != nullptr ||
             findDataObject(*id) != nullptr);
    QV_TRACE_BYTES("new_id = ", id->data, id->size());
}

// ------------------------------------------------------------------ creation

KeyPair* CachedToken::generateKeyPair(const StaticBuffer<128>& publicLabel,
                                      const StaticBuffer<128>& privateLabel, std::uint32_t keySize,
                                      std::uint8_t containerIndex, std::uint32_t keySpec,
                                      const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
                                      const StaticBuffer<256>& publicExponent) {
    QV_ENTER("amw::CachedToken::generateKeyPair");
    QV_TRACE_BYTES("label.data = ", publicLabel.data, publicLabel.size());
    QV_TRACE_BYTES("label.data = ", privateLabel.data, privateLabel.size());
    QV_TRACE_VALUE(keySize);
    QV_TRACE_VALUE(containerIndex);
    QV_TRACE_NAMED("keySpec", keySpecText(keySpec));
    QV_TRACE_BYTES("pkcs11Id.data = ", pkcs11Id.data, pkcs11Id.size());
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
    QV_ENTER("amw::CachedToken::importPublicKey");
    QV_TRACE_BYTES("pkcs11Id.data = ", pkcs11Id.data, pkcs11Id.size());
    QV_TRACE_VALUE(keySize);
    QV_TRACE_BYTES("label.data = ", label.data, label.size());
    if (findKeyPair(pkcs11Id) != nullptr)
        throw DuplicatePkcs11IdException();
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    return adopt(*keyPairs, token->importPublicKey(pkcs11Id, keySize, label, keyUsage, modulus,
                                                   publicExponent));
}

KeyPair* CachedToken::importPrivateKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                                       const StaticBuffer<128>& label, std::uint16_t keyUsage,
                                       const RsaPrivateKeyComponents& components) {
    QV_ENTER("amw::CachedToken::importPrivateKey");
    QV_TRACE_BYTES("pkcs11Id.data = ", pkcs11Id.data, pkcs11Id.size());
    QV_TRACE_VALUE(keySize);
    QV_TRACE_BYTES("label.data = ", label.data, label.size());
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    if (findKeyPair(pkcs11Id) != nullptr)
        throw DuplicatePkcs11IdException();
    return adopt(*keyPairs,
                 token->importPrivateKey(pkcs11Id, keySize, label, keyUsage, components));
}

X509Certificate* CachedToken::createCertificate(const StaticBuffer<128>& label,
                                                const StaticBuffer<128>& id,
                                                std::uint8_t containerIndex, std::uint32_t keySpec,
                                                bool trusted, AccessCondition acRead,
                                                AccessCondition acWrite, AccessCondition acDelete) {
    QV_ENTER("amw::CachedToken::createCertificate");
    QV_TRACE_BYTES("label.data = ", label.data, label.size());
    QV_TRACE_BYTES("id.data = ", id.data, id.size());
    QV_TRACE_VALUE(containerIndex);
    QV_TRACE_NAMED("keySpec", keySpecText(keySpec));
    QV_TRACE_VALUE(trusted);
    checkFreshnessCounterModified(CACHED_OBJECT_CERTIFICATE);
    if (findCertificate(id) != nullptr)
        throw DuplicatePkcs11IdException();
    return adopt(*certificates, token->createCertificate(label, id, containerIndex, keySpec,
                                                         trusted, acRead, acWrite, acDelete));
}

DataObject* CachedToken::createDataObject(const StaticBuffer<128>& label,
                                          const StaticBuffer<128>& id,
                                          const StaticBuffer<128>& objectId,
                                          const StaticBuffer<128>& application,
                                          AccessCondition acExtra, AccessCondition acReadContent,
                                          AccessCondition acWrite, AccessCondition acDelete) {
    QV_ENTER("amw::CachedToken::createDataObject");
    QV_TRACE_BYTES("label.data = ", label.data, label.size());
    QV_TRACE_BYTES("id.data = ", id.data, id.size());
    QV_TRACE_BYTES("objectId.data = ", objectId.data, objectId.size());
    QV_TRACE_BYTES("application.data = ", application.data, application.size());
    checkFreshnessCounterModified(CACHED_OBJECT_DATA_OBJECT);
    if (findDataObject(id) != nullptr)
        throw DuplicatePkcs11IdException();
    return adopt(*dataObjects, token->createDataObject(label, id, objectId, application, acExtra,
                                                       acReadContent, acWrite, acDelete));
}

// ----------------------------------------------------------------- amending

void CachedToken::amendKeyPairAddPublicKey(KeyPair* keyPair, const StaticBuffer<128>& label,
                                           std::uint8_t containerIndex, std::uint32_t keySpec,
                                           std::uint16_t keyUsage, const StaticBuffer<256>& modulus,
                                           const StaticBuffer<256>& publicExponent) {
    QV_ENTER("amw::CachedToken::amendKeyPairAddPublicKey");
    QV_REQUIRE_AT_LINE(keyPair, "keyPair", 511);
    QV_TRACE_BYTES("label.data = ", label.data, label.size());
    if (keyPair->hasPublicKey)
        throw InternalErrorException("Keypair has already public key");
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    token->amendKeyPairAddPublicKey(keyPair, label, containerIndex, keySpec, keyUsage, modulus,
                                    publicExponent);
}

void CachedToken::amendKeyPairRemovePublicKey(KeyPair* keyPair) {
    QV_ENTER("amw::CachedToken::amendKeyPairRemovePublicKey");
    QV_REQUIRE_AT_LINE(keyPair, "keyPair", 523);
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
    QV_ENTER("amw::CachedToken::amendKeyPairAddPrivateKey");
    QV_REQUIRE_AT_LINE(keyPair, "keyPair", 558);
    QV_TRACE_BYTES("label.data = ", label.data, label.size());
    if (keyPair->hasPrivateKey)
        throw InternalErrorException("Keypair has already private key");
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    token->amendKeyPairAddPrivateKey(keyPair, label, containerIndex, keySpec, keyUsage, components);
}

void CachedToken::amendKeyPairRemovePrivateKey(KeyPair* keyPair) {
    QV_ENTER("amw::CachedToken::amendKeyPairRemovePrivateKey");
    QV_REQUIRE_AT_LINE(keyPair, "keyPair", 570);
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
    QV_ENTER("amw::CachedToken::deleteCertificate");
    QV_REQUIRE_AT_LINE(certificate, "certificate", 289);
    if (!certificates)
        throw InternalErrorException(
            "certificateList is NULL, where did you get the certificate from?");
    checkFreshnessCounterModified(CACHED_OBJECT_CERTIFICATE);
    token->deleteCertificate(certificate);
    retire(*certificates, certificate);
}

void CachedToken::deleteDataObject(DataObject* dataObject) {
    QV_ENTER("amw::CachedToken::deleteDataObject");
    QV_REQUIRE_AT_LINE(dataObject, "dataObject", 331);
    if (!dataObjects)
        throw InternalErrorException(
            "dataObjectList is NULL, where did you get the data object from?");
    checkFreshnessCounterModified(CACHED_OBJECT_DATA_OBJECT);
    token->deleteDataObject(dataObject);
    retire(*dataObjects, dataObject);
}

void CachedToken::deleteKeyPair(KeyPair* keyPair) {
    QV_ENTER("amw::CachedToken::deleteKeyPair");
    QV_REQUIRE_AT_LINE(keyPair, "keyPair", 603);
    if (!keyPairs)
        throw InternalErrorException("keypairList is NULL, where do you obtain a key from?");
    checkFreshnessCounterModified(CACHED_OBJECT_KEYPAIR);
    token->deleteKeyPair(keyPair);
    retire(*keyPairs, keyPair);
}

// ---------------------------------------------- cryptography and authentication

void CachedToken::rsaExponentiation(KeyPair* keypair, const std::uint8_t* data, std::size_t length,
                                    StaticBuffer<256>* signedData, bool hideData) {
    QV_ENTER("amw::CachedToken::rsaExponentiation");
    QV_REQUIRE_AT_LINE(keypair, "keypair", 642);
    QV_REQUIRE_AT_LINE(data, "data", 643);
    QV_REQUIRE_AT_LINE(signedData, "signedData", 644);
    token->rsaExponentiation(keypair, data, length, signedData, hideData);
}

AuthenticationResult CachedToken::authenticate(const AuthenticationObject* authenticationObject,
                                               const std::uint8_t* secret, std::size_t length,
                                               std::uint32_t* triesRemaining,
                                               PinPadNotifier* pinPad) {
    QV_ENTER("amw::CachedToken::authenticate");
    QV_REQUIRE(authenticationObject);
    QV_TRACE_NAMED("role", roleText(authenticationObject->role));
    AuthenticationResult result =
        token->authenticate(authenticationObject, secret, length, triesRemaining, pinPad);
    QV_TRACE("Returning %s", authenticationResultText(result).c_str());
    return result;
}

AuthenticationResult CachedToken::authenticateSessionPin(std::uint32_t role,
                                                         const std::uint8_t* pinData,
                                                         std::size_t length,
                                                         std::uint32_t* attemptsRemaining) {
    QV_ENTER("amw::CachedToken::authenticateSessionPin");
    QV_REQUIRE_AT_LINE(pinData, "pinData", 659);
    QV_REQUIRE_AT_LINE(attemptsRemaining, "attemptsRemaining", 660);
    QV_TRACE_NAMED("role", roleText(role));
    return token->authenticateSessionPin(role, pinData, length, attemptsRemaining);
}

void CachedToken::generateSessionPin(std::uint32_t role, StaticBuffer<128>* sessionPin) {
    QV_ENTER("amw::CachedToken::generateSessionPin");
    QV_REQUIRE_AT_LINE(sessionPin, "sessionPin", 667);
    QV_TRACE_NAMED("role", roleText(role));
    token->generateSessionPin(role, sessionPin);
}

void CachedToken::deauthenticate(std::uint32_t role) {
    QV_ENTER("amw::CachedToken::deauthenticate");
    QV_TRACE_NAMED("role", roleText(role));
    token->deauthenticate(role);
}

void CachedToken::changePin(const AuthenticationObject* authenticationObject,
                            const std::uint8_t* data, std::size_t length, PinPadNotifier* pinPad) {
    QV_ENTER("amw::CachedToken::changePin");
    QV_REQUIRE(authenticationObject);
    token->changePin(authenticationObject, data, length, pinPad);
}

// -------------------------------------------------------------- card queries

const StaticBuffer<256>& CachedToken::getCardSerialNumber() {
    QV_ENTER("amw::CachedToken::getCardSerialNumber");
    if (!serialNumberRead) {
        token->getCardSerialNumber(&serialNumber);
        serialNumberRead = true;
    }
    return serialNumber;
}

void CachedToken::getVersion(std::uint8_t* majorVersion, std::uint8_t* minorVersion) {
    QV_ENTER("amw::CachedToken::getVersion");
    QV_REQUIRE_AT_LINE(majorVersion, "majorVersion", 709);
    QV_REQUIRE_AT_LINE(minorVersion, "minorVersion", 710);
    token->getVersion(majorVersion, minorVersion);
}

void CachedToken::getMemoryInfo(std::uint32_t* total, std::uint32_t* freeBytes) {
    QV_ENTER("amw::CachedToken::getMemoryInfo");
    QV_REQUIRE(total);
    QV_REQUIRE(freeBytes);
    token->getMemoryInfo(total, freeBytes);
}

}  // namespace amw
