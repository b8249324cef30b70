#pragma once
// The caching token: the card's object lists served from per-card cache
// files while the card's freshness block says they are current, read from
// the card otherwise. One is made per front-end call over a fresh card token
// and dropped when the call ends.
//
// Coherence between processes rests on the block: every writer raises the
// counter of a kind (increaseFreshnessCounter) before changing objects of
// that kind, and refreshCache puts the digest prefix of each rewritten file
// back on the card, so that a file changed on the host fails too.
#include "amw/amwtypes.h"
#include "amw/cachedobject.h"
#include "amw/objects.h"
#include "amw/pinpadnotifier.h"
#include "amw/token.h"
#include "cachememory/cachememory.h"
#include "cachememory/serializableentity.h"
#include "staticbuffer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace amw {

class CachedToken : public CacheMemoryIntegrityDelegate, public CachedObjectKinds {
public:
    // Reads the freshness block from the card. The cache lives in the
    // configured cache directory joined with the card identifier in hex;
    // with no directory configured, caching is off. `token` is not owned.
    CachedToken(Token* token, const CardId& cardId);
    // The same with the cache directory given (empty: caching off).
    CachedToken(Token* token, const CardId& cardId, const std::string& cacheDirectory);
    // Destroys the lists and every object in them.
    ~CachedToken() override;
    CachedToken(const CachedToken&) = delete;
    CachedToken& operator=(const CachedToken&) = delete;

    // Integrity delegate of the cache files: the first bytes of each file's
    // digest are kept in the freshness block.
    void cacheMemoryHash(CacheMemory* cacheMemory, int entityId,
                         const CacheMemoryDigest& digest) override;
    bool cacheMemoryVerifyHash(CacheMemory* cacheMemory, int entityId,
                               const CacheMemoryDigest& digest) override;

    Token* getToken() const { return token; }
    // Null when caching is off.
    CacheMemory* getCacheMemory() const { return cacheMemory.get(); }
    const FreshnessBlock& getCardFreshness() const { return cardFreshness; }
    const FreshnessBlock& getNewFreshness() const { return newFreshness; }
    std::uint16_t getModifiedMask() const { return modifiedMask; }

    // The lists, loaded on first use (from the cache file when it is a hit,
    // else from the card). They own their objects.
    std::vector<KeyPair*>& getKeyPairs();
    std::vector<X509Certificate*>& getCertificates();
    std::vector<File*>& getFiles();
    std::vector<Directory*>& getDirectories();
    std::vector<DataObject*>& getDataObjects();
    std::vector<AuthenticationObject*>& getAuthenticationObjects();

    // Counters 1..6: raises counter n by one (wrapping), zeroes its digest
    // prefix and, with `writeToCard`, writes the block to the card.
    void increaseFreshnessCounter(int counter, bool writeToCard);
    // Throws FreshnessCounterException unless counter n was raised by this object.
    void checkFreshnessCounterModified(int counter);
    // Writes the files of the lists that changed (all loaded lists when any
    // was read from the card) and the block when it differs from the card's.
    // Failures are logged, never thrown.
    void refreshCache() noexcept;

    // Lookups; the result stays owned by its list, null when absent.
    Directory* findDirectory(const StaticBuffer<8>& directoryName);
    File* findFile(const Directory* dir, const StaticBuffer<8>& fileName);
    AuthenticationObject* findAuthenticationObject(std::uint32_t role);
    // The first authentication object marked as PKCS#11 security officer.
    AuthenticationObject* getPkcs11SoObject();
    KeyPair* findKeyPair(const StaticBuffer<128>& pkcs11Id);
    X509Certificate* findCertificate(const StaticBuffer<128>& pkcs11Id);
    DataObject* findDataObject(const StaticBuffer<128>& pkcs11Id);

    // 16 bytes that no key pair, certificate or data object uses.
    void generatePkcs11Id(StaticBuffer<128>* id);

    // Creation: the new object is appended to its (loaded) list and returned;
    // the caller commits it to the card. A duplicate identifier within the
    // kind throws DuplicatePkcs11IdException before anything is sent.
    KeyPair* generateKeyPair(const StaticBuffer<128>& publicLabel,
                             const StaticBuffer<128>& privateLabel, std::uint32_t keySize,
                             std::uint8_t containerIndex, std::uint32_t keySpec,
                             const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
                             const StaticBuffer<256>& publicExponent);
    KeyPair* importPublicKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                             const StaticBuffer<128>& label, std::uint16_t keyUsage,
                             const StaticBuffer<256>& modulus,
                             const StaticBuffer<256>& publicExponent);
    KeyPair* importPrivateKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                              const StaticBuffer<128>& label, std::uint16_t keyUsage,
                              const RsaPrivateKeyComponents& components);
    X509Certificate* createCertificate(const StaticBuffer<128>& label, const StaticBuffer<128>& id,
                                       std::uint8_t containerIndex, std::uint32_t keySpec,
                                       bool trusted, AccessCondition acRead,
                                       AccessCondition acWrite, AccessCondition acDelete);
    DataObject* createDataObject(const StaticBuffer<128>& label, const StaticBuffer<128>& id,
                                 const StaticBuffer<128>& objectId,
                                 const StaticBuffer<128>& application, AccessCondition acExtra,
                                 AccessCondition acReadContent, AccessCondition acWrite,
                                 AccessCondition acDelete);

    // The pair stays in its list; the caller commits its metadata.
    void amendKeyPairAddPublicKey(KeyPair* keyPair, const StaticBuffer<128>& label,
                                  std::uint8_t containerIndex, std::uint32_t keySpec,
                                  std::uint16_t keyUsage, const StaticBuffer<256>& modulus,
                                  const StaticBuffer<256>& publicExponent);
    void amendKeyPairRemovePublicKey(KeyPair* keyPair);
    void amendKeyPairAddPrivateKey(KeyPair* keyPair, const StaticBuffer<128>& label,
                                   std::uint8_t containerIndex, std::uint32_t keySpec,
                                   std::uint16_t keyUsage,
                                   const RsaPrivateKeyComponents& components);
    void amendKeyPairRemovePrivateKey(KeyPair* keyPair);

    // Deletes the object from the card and takes it out of its list. The
    // host object stays valid until this caching token is destroyed, so a
    // caller still holding it within the call is safe.
    void deleteCertificate(X509Certificate* certificate);
    void deleteDataObject(DataObject* dataObject);
    void deleteKeyPair(KeyPair* keyPair);

    void rsaExponentiation(KeyPair* keypair, const std::uint8_t* data, std::size_t length,
                           StaticBuffer<256>* signedData, bool hideData);
    AuthenticationResult authenticate(const AuthenticationObject* authenticationObject,
                                      const std::uint8_t* secret, std::size_t length,
                                      std::uint32_t* triesRemaining, PinPadNotifier* pinPad);
    AuthenticationResult authenticateSessionPin(std::uint32_t role, const std::uint8_t* pinData,
                                                std::size_t length,
                                                std::uint32_t* attemptsRemaining);
    void generateSessionPin(std::uint32_t role, StaticBuffer<128>* sessionPin);
    void deauthenticate(std::uint32_t role);
    void changePin(const AuthenticationObject* authenticationObject, const std::uint8_t* data,
                   std::size_t length, PinPadNotifier* pinPad);

    // Read from the card once, then served from memory.
    const StaticBuffer<256>& getCardSerialNumber();
    void getVersion(std::uint8_t* majorVersion, std::uint8_t* minorVersion);
    void getMemoryInfo(std::uint32_t* total, std::uint32_t* freeBytes);

    // The card identifier as 32 lower-case hex digits: the name of its cache directory.
    static std::string cardIdText(const CardId& cardId);

private:
    void init(const std::string& cacheDirectory);
    template <class T, class ListFromCard>
    std::vector<T*>& loadList(std::unique_ptr<std::vector<T*>>& list, int entityId,
                              ListFromCard listFromCard);
    template <class T>
    void saveList(const std::unique_ptr<std::vector<T*>>& list, int entityId);
    template <class T>
    void retire(std::vector<T*>& list, T* object);

    Token* token;
    FreshnessBlock cardFreshness;
    FreshnessBlock newFreshness;
    std::uint16_t modifiedMask = 0;
    std::uint8_t cardId[16] = {};
    std::unique_ptr<CacheMemory> cacheMemory;
    std::unique_ptr<std::vector<KeyPair*>> keyPairs;
    std::unique_ptr<std::vector<X509Certificate*>> certificates;
    std::unique_ptr<std::vector<File*>> files;
    std::unique_ptr<std::vector<Directory*>> directories;
    std::unique_ptr<std::vector<DataObject*>> dataObjects;
    std::unique_ptr<std::vector<AuthenticationObject*>> authenticationObjects;
    bool saveAll = false;
    // Objects deleted from the card during this object's life.
    std::vector<std::unique_ptr<SerializableEntity>> retired;
    StaticBuffer<256> serialNumber;
    bool serialNumberRead = false;
};

}  // namespace amw
