#pragma once
// The card token: amw::Token for the Kalvik applet. It keeps no card state;
// every operation is a short run of card commands over the connection it was
// made with (not owned), plus building the card-side host objects.
#include "amw/token.h"
#include "amwkalvik/objects.h"

namespace amwkalvik {

class Token : public amw::Token {
public:
    // Key sizes the card generates and imports.
    static constexpr std::uint32_t KEY_SIZE_1024 = 1024;
    static constexpr std::uint32_t KEY_SIZE_2048 = 2048;
    // At most this many key slot records are read for QV_GET_KEYPAIR_SLOT_COUNT.
    static constexpr std::size_t MAX_KEY_SLOTS = 64;

    explicit Token(ctl::CardConnection* connection);
    ~Token() override;

    ctl::CardConnection& getConnection() const noexcept { return *connection; }

    SerializableEntity* createSerializableEntity(int entityId) override;
    std::uint32_t getSerializationVersion() override { return 0; }

    bool getCacheFreshness(amw::FreshnessBlock* block) override;
    bool reservedQuery() override { return false; }
    void setCacheFreshness(const amw::FreshnessBlock& block) override;

    void listKeyPairs(std::vector<amw::KeyPair*>& list) override;
    void listCertificates(std::vector<amw::X509Certificate*>& list) override;
    void listFiles(std::vector<amw::File*>& list) override;
    void listDirs(std::vector<amw::Directory*>& list) override;
    void listDataObjects(std::vector<amw::DataObject*>& list) override;
    void listAuthenticateObjects(std::vector<amw::AuthenticationObject*>& list) override;

    void getCardId(amw::CardId& cardId) override;
    void setCardId(const amw::CardId& cardId) override;
    void getCardSerialNumber(StaticBuffer<256>* serialNumber) override;
    void selectApplet() override;
    void getMemoryInfo(std::uint32_t* total, std::uint32_t* freeBytes) override;

    amw::X509Certificate* createCertificate(const StaticBuffer<128>& label,
                                            const StaticBuffer<128>& pkcs11Id,
                                            std::uint8_t containerIndex, std::uint32_t keySpec,
                                            bool trusted, amw::AccessCondition acRead,
                                            amw::AccessCondition acWrite,
                                            amw::AccessCondition acDelete) override;
    void deleteCertificate(amw::X509Certificate* certificate) override;
    amw::DataObject* createDataObject(
        const StaticBuffer<128>& label, const StaticBuffer<128>& pkcs11Id,
        const StaticBuffer<128>& objectId, const StaticBuffer<128>& application,
        amw::AccessCondition acExtra, amw::AccessCondition acReadContent,
        amw::AccessCondition acWrite, amw::AccessCondition acDelete) override;
    void deleteDataObject(amw::DataObject* dataObject) override;
    amw::File* createFile(amw::Directory* directory, const StaticBuffer<8>& fileName,
                          amw::AccessCondition acRead, amw::AccessCondition acWrite,
                          amw::AccessCondition acDelete) override;
    void deleteFile(amw::File* file) override;
    amw::Directory* createDirectory(const StaticBuffer<8>& directoryName,
                                    amw::AccessCondition acWrite,
                                    amw::AccessCondition acDelete) override;
    void deleteDirectory(amw::Directory* directory) override;

    amw::KeyPair* generateKeyPair(const StaticBuffer<128>& publicLabel,
                                  const StaticBuffer<128>& privateLabel, std::uint32_t keySize,
                                  std::uint8_t containerIndex, std::uint32_t keySpec,
                                  const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
                                  const StaticBuffer<256>& publicExponent) override;
    amw::KeyPair* importKeyPair(const StaticBuffer<128>& publicLabel,
                                const StaticBuffer<128>& privateLabel, std::uint32_t keySize,
                                std::uint8_t containerIndex, std::uint32_t keySpec,
                                const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
                                const amw::RsaPrivateKeyComponents& components) override;
    void amendKeyPairAddPublicKey(amw::KeyPair* keyPair, const StaticBuffer<128>& label,
                                  std::uint8_t containerIndex, std::uint32_t keySpec,
                                  std::uint16_t keyUsage, const StaticBuffer<256>& modulus,
                                  const StaticBuffer<256>& publicExponent) override;
    void amendKeyPairRemovePublicKey(amw::KeyPair* keyPair) override;
    amw::KeyPair* importPublicKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                                  const StaticBuffer<128>& label, std::uint16_t keyUsage,
                                  const StaticBuffer<256>& modulus,
                                  const StaticBuffer<256>& publicExponent) override;
    amw::KeyPair* importPrivateKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                                   const StaticBuffer<128>& label, std::uint16_t keyUsage,
                                   const amw::RsaPrivateKeyComponents& components) override;
    void amendKeyPairAddPrivateKey(amw::KeyPair* keyPair, const StaticBuffer<128>& label,
                                   std::uint8_t containerIndex, std::uint32_t keySpec,
                                   std::uint16_t keyUsage,
                                   const amw::RsaPrivateKeyComponents& components) override;
    void amendKeyPairRemovePrivateKey(amw::KeyPair* keyPair) override;
    void deleteKeyPair(amw::KeyPair* keyPair) override;

    // A pair without a public half is taken to have a modulus of keySize / 8 bytes.
    void rsaExponentiation(amw::KeyPair* keyPair, const std::uint8_t* data, std::size_t length,
                           StaticBuffer<256>* output, bool hideData) override;

    amw::AuthenticationResult authenticate(const amw::AuthenticationObject* authenticationObject,
                                           const std::uint8_t* secret, std::size_t length,
                                           std::uint32_t* triesRemaining,
                                           amw::PinPadNotifier* pinPad) override;
    amw::AuthenticationResult authenticateSessionPin(std::uint32_t role, const std::uint8_t* pin,
                                                     std::size_t length,
                                                     std::uint32_t* triesRemaining) override;
    void generateSessionPin(std::uint32_t role, StaticBuffer<128>* sessionPin) override;
    void getChallenge(std::uint32_t role, StaticBuffer<128>* challenge) override;
    void deauthenticate(std::uint32_t role) override;
    amw::AuthenticationResult unblockPin(const amw::AuthenticationObject* authenticationObject,
                                         const std::uint8_t* secret, std::size_t secretLength,
                                         const amw::AuthenticationObject* targetAo,
                                         const std::uint8_t* newPin, std::size_t newPinLength,
                                         std::uint32_t* triesRemaining,
                                         amw::PinPadNotifier* pinPad) override;
    void changePin(const amw::AuthenticationObject* authenticationObject, const std::uint8_t* data,
                   std::size_t length, amw::PinPadNotifier* pinPad) override;
    bool willUsePinPad(const amw::AuthenticationObject* authenticationObject) override;

    void getVersion(std::uint8_t* major, std::uint8_t* minor) override;
    std::uint8_t getAuthStateMask() override;

    // "QV_GET_LIFE_CYCLE_STATE" (1 byte), "QV_GET_GAC_INFO" (59),
    // "QV_GET_KEYPAIR_SLOT_COUNT" (4, host order; flags = key size),
    // "QV_GET_PIN_POLICY" (9; flags = role), "QV_GET_TRIES_REMAINING" (1; flags = role).
    // A role without an authentication object gives amw::UnknownPropertyException.
    void getProperty(const char* name, std::uint8_t* out, std::size_t* outLength,
                     std::uint32_t flags) override;
    // "QV_ACTIVATE"; "QV_SET_AO" (flags = role; 16 bytes for a PIN, 24 for a key).
    void setProperty(const char* name, const std::uint8_t* data, std::size_t length,
                     std::uint8_t flags) override;

private:
    // The objects of the chain whose head getHeads reports in `head`, header
    // by header.
    template <class Card, class Base>
    void listChain(std::uint16_t* apdu::HeadsRequest::*head, std::size_t headerSize,
                   std::vector<Base*>& list, bool keyPairFields);

    ctl::CardConnection* connection;
};

}  // namespace amwkalvik
