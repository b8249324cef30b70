#pragma once
// The abstract token: one card as a card-independent object store. The card
// driver implements it; the caching token wraps it.
#include "amw/amwtypes.h"
#include "amw/cachedobject.h"
#include "amw/objects.h"
#include "amw/pinpadnotifier.h"
#include "cachememory/serializableentity.h"
#include "staticbuffer.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ctl {
class CardConnection;
}

namespace amw {

// The card's 16-byte identifier.
using CardId = std::uint8_t[16];

// Freshness data every writer keeps on the card: a counter per object kind,
// raised before objects of that kind change, and a prefix of the SHA-256
// digest of each kind's cache file. Entity id n (1..7) owns counters[n - 1]
// and prefixes[n - 1]. On the card the block is 47 bytes: the six counters,
// then the seven prefixes; counters[6] (authentication objects) exists only
// in memory and is 0 when read from the card. Everything is moved byte for
// byte, never interpreted.
struct FreshnessBlock {
    static constexpr std::size_t COUNTER_COUNT = 7;
    static constexpr std::size_t CARD_COUNTER_COUNT = 6;
    static constexpr std::size_t PREFIX_COUNT = 7;
    static constexpr std::size_t PREFIX_LENGTH = 5;
    static constexpr std::size_t CARD_LENGTH =
        CARD_COUNTER_COUNT * sizeof(std::uint16_t) + PREFIX_COUNT * PREFIX_LENGTH;

    std::uint16_t counters[COUNTER_COUNT] = {};
    std::uint8_t prefixes[PREFIX_COUNT][PREFIX_LENGTH] = {};

    // Counter / prefix of entity id 1..7; other ids throw InternalErrorException.
    std::uint16_t& counter(int entityId);
    std::uint16_t counter(int entityId) const;
    std::uint8_t* prefix(int entityId);
    const std::uint8_t* prefix(int entityId) const;

    void clear() noexcept;
    // The card's 47 bytes.
    void toCardBytes(std::uint8_t (&bytes)[CARD_LENGTH]) const noexcept;
    // Sets everything from the card's 47 bytes; counters[6] becomes 0.
    void fromCardBytes(const std::uint8_t (&bytes)[CARD_LENGTH]) noexcept;

    bool operator==(const FreshnessBlock& other) const noexcept;
    bool operator!=(const FreshnessBlock& other) const noexcept { return !(*this == other); }
};

// Card operations in a fixed order. Objects returned by list, create,
// generate and import operations are new and owned by the caller; the delete
// operations remove the object from the card and leave the host object to
// the caller. Out-parameters are pointers.
class Token : public SerializeEntityFactory {
public:
    enum TokenType : std::uint32_t {
        TOKEN_TYPE_KALVIK = 0,
    };

    // A new card token over `connection` (not owned), the applet selected at
    // once when `selectApplet` is set. Only type 0 exists; anything else
    // throws InvalidArgumentException for "type". Defined by the card driver
    // (libamwkalvik), the one place that knows the concrete class, so that
    // this library does not depend on it.
    static Token* createToken(ctl::CardConnection* connection, std::uint32_t type,
                              bool selectApplet);
    // The same with the applet selected; if selection throws, the token is
    // destroyed and the exception passes on.
    static Token* createTokenWithAppletSelected(ctl::CardConnection* connection,
                                                std::uint32_t type);
    // The check createToken makes first.
    static void checkTokenType(std::uint32_t type);

    std::uint32_t getType() const noexcept { return type_; }

    // Entity ids 1 and 3..7 (CachedObjectKinds); 2 and others throw
    // InternalErrorException "Token::createSerializableEntity unknown entityId [%d]".
    SerializableEntity* createSerializableEntity(int entityId) override = 0;
    // Cache format version.
    std::uint32_t getSerializationVersion() override = 0;
    ~Token() override;

    // True when read from the card; otherwise `block` is zeroed.
    virtual bool getCacheFreshness(FreshnessBlock* block) = 0;
    // Answers false; nothing calls it.
    virtual bool reservedQuery() = 0;
    virtual void setCacheFreshness(const FreshnessBlock& block) = 0;

    // Append the card's objects to `list`.
    virtual void listKeyPairs(std::vector<KeyPair*>& list) = 0;
    virtual void listCertificates(std::vector<X509Certificate*>& list) = 0;
    virtual void listFiles(std::vector<File*>& list) = 0;
    virtual void listDirs(std::vector<Directory*>& list) = 0;
    virtual void listDataObjects(std::vector<DataObject*>& list) = 0;
    virtual void listAuthenticateObjects(std::vector<AuthenticationObject*>& list) = 0;

    virtual void getCardId(CardId& cardId) = 0;
    virtual void setCardId(const CardId& cardId) = 0;
    // 8 bytes.
    virtual void getCardSerialNumber(StaticBuffer<256>* serialNumber) = 0;
    virtual void selectApplet() = 0;
    // Bytes.
    virtual void getMemoryInfo(std::uint32_t* total, std::uint32_t* freeBytes) = 0;

    // The new objects start off the card; the caller completes them with
    // commitCreationOrMetadataChanges (and commitContentChanges).
    virtual X509Certificate* createCertificate(const StaticBuffer<128>& label,
                                               const StaticBuffer<128>& pkcs11Id,
                                               std::uint8_t containerIndex, std::uint32_t keySpec,
                                               bool trusted, AccessCondition acRead,
                                               AccessCondition acWrite,
                                               AccessCondition acDelete) = 0;
    virtual void deleteCertificate(X509Certificate* certificate) = 0;
    // `acReadContent` decides whether the content is private.
    virtual DataObject* createDataObject(const StaticBuffer<128>& label,
                                         const StaticBuffer<128>& pkcs11Id,
                                         const StaticBuffer<128>& objectId,
                                         const StaticBuffer<128>& application,
                                         AccessCondition acExtra, AccessCondition acReadContent,
                                         AccessCondition acWrite, AccessCondition acDelete) = 0;
    virtual void deleteDataObject(DataObject* dataObject) = 0;
    virtual File* createFile(Directory* directory, const StaticBuffer<8>& fileName,
                             AccessCondition acRead, AccessCondition acWrite,
                             AccessCondition acDelete) = 0;
    virtual void deleteFile(File* file) = 0;
    virtual Directory* createDirectory(const StaticBuffer<8>& directoryName,
                                       AccessCondition acWrite, AccessCondition acDelete) = 0;
    virtual void deleteDirectory(Directory* directory) = 0;

    // Key sizes are 1024 or 2048 bits.
    virtual KeyPair* generateKeyPair(const StaticBuffer<128>& publicLabel,
                                     const StaticBuffer<128>& privateLabel, std::uint32_t keySize,
                                     std::uint8_t containerIndex, std::uint32_t keySpec,
                                     const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
                                     const StaticBuffer<256>& publicExponent) = 0;
    virtual KeyPair* importKeyPair(const StaticBuffer<128>& publicLabel,
                                   const StaticBuffer<128>& privateLabel, std::uint32_t keySize,
                                   std::uint8_t containerIndex, std::uint32_t keySpec,
                                   const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
                                   const RsaPrivateKeyComponents& components) = 0;
    virtual void amendKeyPairAddPublicKey(KeyPair* keyPair, const StaticBuffer<128>& label,
                                          std::uint8_t containerIndex, std::uint32_t keySpec,
                                          std::uint16_t keyUsage, const StaticBuffer<256>& modulus,
                                          const StaticBuffer<256>& publicExponent) = 0;
    virtual void amendKeyPairRemovePublicKey(KeyPair* keyPair) = 0;
    virtual KeyPair* importPublicKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                                     const StaticBuffer<128>& label, std::uint16_t keyUsage,
                                     const StaticBuffer<256>& modulus,
                                     const StaticBuffer<256>& publicExponent) = 0;
    virtual KeyPair* importPrivateKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                                      const StaticBuffer<128>& label, std::uint16_t keyUsage,
                                      const RsaPrivateKeyComponents& components) = 0;
    virtual void amendKeyPairAddPrivateKey(KeyPair* keyPair, const StaticBuffer<128>& label,
                                           std::uint8_t containerIndex, std::uint32_t keySpec,
                                           std::uint16_t keyUsage,
                                           const RsaPrivateKeyComponents& components) = 0;
    virtual void amendKeyPairRemovePrivateKey(KeyPair* keyPair) = 0;
    virtual void deleteKeyPair(KeyPair* keyPair) = 0;

    // Raw RSA with the pair's private key; `length` equals the modulus
    // length. `hideData` keeps the input out of the log.
    virtual void rsaExponentiation(KeyPair* keyPair, const std::uint8_t* data, std::size_t length,
                                   StaticBuffer<256>* output, bool hideData) = 0;

    // A null `pinPad` means no notifier; with a PIN pad reader and a PIN
    // object a null `secret` lets the reader ask for it.
    virtual AuthenticationResult authenticate(const AuthenticationObject* authenticationObject,
                                              const std::uint8_t* secret, std::size_t length,
                                              std::uint32_t* triesRemaining,
                                              PinPadNotifier* pinPad) = 0;
    virtual AuthenticationResult authenticateSessionPin(std::uint32_t role, const std::uint8_t* pin,
                                                        std::size_t length,
                                                        std::uint32_t* triesRemaining) = 0;
    virtual void generateSessionPin(std::uint32_t role, StaticBuffer<128>* sessionPin) = 0;
    virtual void getChallenge(std::uint32_t role, StaticBuffer<128>* challenge) = 0;
    virtual void deauthenticate(std::uint32_t role) = 0;
    virtual AuthenticationResult unblockPin(const AuthenticationObject* authenticationObject,
                                            const std::uint8_t* secret, std::size_t secretLength,
                                            const AuthenticationObject* targetAo,
                                            const std::uint8_t* newPin, std::size_t newPinLength,
                                            std::uint32_t* triesRemaining,
                                            PinPadNotifier* pinPad) = 0;
    // `data` is the PIN change record the card expects.
    virtual void changePin(const AuthenticationObject* authenticationObject,
                           const std::uint8_t* data, std::size_t length,
                           PinPadNotifier* pinPad) = 0;
    // True when the reader has a PIN pad and the object is a PIN.
    virtual bool willUsePinPad(const AuthenticationObject* authenticationObject) = 0;

    virtual void getVersion(std::uint8_t* major, std::uint8_t* minor) = 0;
    virtual std::uint8_t getAuthStateMask() = 0;

    // Proprietary queries and settings by name. `outLength`: capacity on
    // entry, bytes written on return.
    virtual void getProperty(const char* name, std::uint8_t* out, std::size_t* outLength,
                             std::uint32_t flags) = 0;
    virtual void setProperty(const char* name, const std::uint8_t* data, std::size_t length,
                             std::uint8_t flags) = 0;

protected:
    explicit Token(std::uint32_t type = TOKEN_TYPE_KALVIK) noexcept : type_(type) {}

private:
    std::uint32_t type_;
};

// Kept in the header so that this library never refers to the card driver;
// createToken comes from whatever driver the final program links.
inline Token* Token::createTokenWithAppletSelected(ctl::CardConnection* connection,
                                                   std::uint32_t type) {
    Token* token = createToken(connection, type, false);
    try {
        token->selectApplet();
    } catch (...) {
        delete token;
        throw;
    }
    return token;
}

}  // namespace amw
