#include "amwkalvik/token.h"

#include "amw/amwtypes.h"
#include "amwkalvik/apdu.h"
#include "ctl/cardconnection.h"
#include "exceptions.h"
#include "logger.h"
#include "trace.h"

#include <cstring>
#include <functional>
#include <memory>

namespace amwkalvik {

namespace {

const char* const COMPONENT = "AMWKALVIK";
const char* const SOURCE = "libamwkalvik/src/token";

// Longest chain a card with 15-bit block ids can hold; a longer walk means a
// damaged chain that loops.
constexpr std::size_t MAX_CHAIN_LENGTH = 0x8000;

void logNumber(const char* name, unsigned long value) {
    QV_TRACE_ARG(COMPONENT, name, numberText(value));
}

void logBuffer(const char* label, const std::uint8_t* data, std::size_t length) {
    const Logger& logger = Logger::instance();
    if (logger.isEnabled())
        logger.dump(COMPONENT, label, data, length, false);
}

void checkKeySize(std::uint32_t keySize) {
    if (keySize != Token::KEY_SIZE_1024 && keySize != Token::KEY_SIZE_2048)
        throw InvalidArgumentException("keySize must be 1024 or 2048");
}

// The card-side object behind a host object; anything else is a caller bug.
template <class Card, class Base>
Card& cardObject(Base* object, const char* argument, const char* function, int line) {
    QV_CHECK_NOT_NULL(object, argument, function, SOURCE, line);
    Card* card = dynamic_cast<Card*>(object);
    if (card == nullptr)
        QV_THROW_INVALID_ARGUMENT(argument, function, SOURCE, line);
    return *card;
}

const amw::AuthenticationObject& authObject(const amw::AuthenticationObject* object,
                                            const char* argument, const char* function, int line) {
    QV_CHECK_NOT_NULL(object, argument, function, SOURCE, line);
    return *object;
}

// The card wants a public exponent without leading zero bytes.
StaticBuffer<256> stripLeadingZeros(const StaticBuffer<256>& value) {
    std::size_t start = 0;
    while (start < value.size() && value.data[start] == 0)
        ++start;
    return StaticBuffer<256>(value.data + start, value.size() - start);
}

void importComponent(ctl::CardConnection& connection, std::uint8_t component,
                     const StaticBuffer<256>& value) {
    apdu::importComponent(connection, component, value.data, value.size());
}

void importPublicComponents(ctl::CardConnection& connection, const StaticBuffer<256>& modulus,
                            const StaticBuffer<256>& exponent) {
    importComponent(connection, apdu::COMPONENT_N, modulus);
    importComponent(connection, apdu::COMPONENT_E, exponent);
}

void importPrivateComponents(ctl::CardConnection& connection,
                             const amw::RsaPrivateKeyComponents& components) {
    importComponent(connection, apdu::COMPONENT_P, components.p);
    importComponent(connection, apdu::COMPONENT_Q, components.q);
    importComponent(connection, apdu::COMPONENT_DP, components.dp);
    importComponent(connection, apdu::COMPONENT_DQ, components.dq);
    importComponent(connection, apdu::COMPONENT_INV, components.inv);
}

// The host object of a pair the card has just begun, without its halves.
std::unique_ptr<KeyPair> newKeyPair(ctl::CardConnection* connection, std::uint32_t keySize,
                                    const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
                                    std::uint8_t containerIndex, std::uint32_t keySpec) {
    std::unique_ptr<KeyPair> pair(new KeyPair(connection));
    pair->keySize = static_cast<std::uint16_t>(keySize);
    pair->pkcs11Id = pkcs11Id;
    pair->keyUsage = keyUsage;
    pair->containerIndex = containerIndex;
    pair->keySpec = keySpec;
    return pair;
}

// Begins a pair of both halves in a container: the arguments are traced and
// checked before the card is touched.
std::unique_ptr<KeyPair> beginContainerPair(ctl::CardConnection* connection, std::uint8_t origin,
                                            std::uint32_t keySize, std::uint8_t containerIndex,
                                            std::uint32_t keySpec,
                                            const StaticBuffer<128>& pkcs11Id,
                                            std::uint16_t keyUsage) {
    logNumber("keySize", keySize);
    logNumber("containerIndex", containerIndex);
    QV_TRACE_ARG(COMPONENT, "keySpec", amw::keySpecText(keySpec));
    logNumber("keyUsage", keyUsage);
    checkKeySize(keySize);
    const std::uint8_t spec = amw::toCardKeySpec(keySpec);
    apdu::createKeyPair(*connection, origin, static_cast<std::uint16_t>(keySize), keyUsage, spec,
                        containerIndex);
    return newKeyPair(connection, keySize, pkcs11Id, keyUsage, containerIndex, keySpec);
}

// Begins a pair of one imported half, which belongs to no container.
std::unique_ptr<KeyPair> beginLoneHalf(ctl::CardConnection* connection, std::uint8_t origin,
                                       std::uint32_t keySize, const StaticBuffer<128>& pkcs11Id,
                                       std::uint16_t keyUsage) {
    logNumber("keySize", keySize);
    logNumber("keyUsage", keyUsage);
    checkKeySize(keySize);
    apdu::createKeyPair(*connection, origin, static_cast<std::uint16_t>(keySize), keyUsage, 0,
                        0xFF);
    return newKeyPair(connection, keySize, pkcs11Id, keyUsage, 0, amw::KeyPair::KEY_EXCHANGE_KEY);
}

// Adds the half that `importHalf` sends and records; the pair then belongs
// to the given container.
void addHalf(ctl::CardConnection& connection, KeyPair& pair, bool present, const char* half,
             std::uint8_t containerIndex, std::uint32_t keySpec,
             const std::function<void()>& importHalf) {
    if (present)
        throw InternalErrorException("Keypair has already %s key", half);
    amw::toCardKeySpec(keySpec);
    apdu::amendKeypair(connection, pair.blockId, Token::AMEND_ADD_KEY);
    importHalf();
    pair.containerIndex = containerIndex;
    pair.keySpec = keySpec;
    pair.metadataChanged = true;
}

// Tells the card to drop a half of a complete pair.
void removeHalf(ctl::CardConnection& connection, KeyPair& pair, std::uint8_t operation,
                const char* half) {
    apdu::amendKeypair(connection, pair.blockId,
                       static_cast<std::uint8_t>(operation | (pair.generatedOnCard & 1)));
    if (!pair.hasPublicKey || !pair.hasPrivateKey)
        throw InternalErrorException("cannot remove %s key from incomplete keypair", half);
    pair.metadataChanged = true;
}

std::uint32_t putHostWord32(std::uint32_t value, std::uint8_t* out) {
    std::memcpy(out, &value, sizeof value);
    return value;
}

struct Property {
    const char* name;
    std::size_t size;
};
const Property LIFE_CYCLE_STATE = {"QV_GET_LIFE_CYCLE_STATE", 1};
const Property GAC_INFO = {"QV_GET_GAC_INFO", apdu::GAC_INFO_SIZE};
const Property KEYPAIR_SLOT_COUNT = {"QV_GET_KEYPAIR_SLOT_COUNT", 4};
const Property PIN_POLICY = {"QV_GET_PIN_POLICY", apdu::PIN_POLICY_SIZE};
const Property TRIES_REMAINING = {"QV_GET_TRIES_REMAINING", 1};

}  // namespace

Token::Token(ctl::CardConnection* connection)
    : amw::Token(TOKEN_TYPE_KALVIK), connection(connection) {
    QV_CHECK_NOT_NULL(connection, "connection", "amwkalvik::Token::Token", SOURCE, __LINE__);
}

Token::~Token() = default;

SerializableEntity* Token::createSerializableEntity(int entityId) {
    switch (entityId) {
    case amw::CachedObjectKinds::CACHED_OBJECT_KEYPAIR:
        return new KeyPair(connection);
    case amw::CachedObjectKinds::CACHED_OBJECT_CERTIFICATE:
        return new X509Certificate(connection);
    case amw::CachedObjectKinds::CACHED_OBJECT_DIRECTORY:
        return new Directory(connection);
    case amw::CachedObjectKinds::CACHED_OBJECT_FILE:
        return new File(connection);
    case amw::CachedObjectKinds::CACHED_OBJECT_DATA_OBJECT:
        return new DataObject(connection);
    case amw::CachedObjectKinds::CACHED_OBJECT_AO:
        return new amw::AuthenticationObject();
    default:
        throw InternalErrorException("Token::createSerializableEntity unknown entityId [%d]",
                                     entityId);
    }
}

bool Token::getCacheFreshness(amw::FreshnessBlock* block) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::getCacheFreshness");
    QV_CHECK_NOT_NULL(block, "block", "amwkalvik::Token::getCacheFreshness", SOURCE, __LINE__);
    std::uint8_t bytes[amw::FreshnessBlock::CARD_LENGTH];
    if (!apdu::getCacheFreshness(*connection, bytes, sizeof bytes)) {
        block->clear();
        return false;
    }
    block->fromCardBytes(bytes);
    return true;
}

void Token::setCacheFreshness(const amw::FreshnessBlock& block) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::setCacheFreshness");
    std::uint8_t bytes[amw::FreshnessBlock::CARD_LENGTH];
    block.toCardBytes(bytes);
    apdu::setCacheFreshness(*connection, bytes, sizeof bytes);
}

template <class Card, class Base>
void Token::listChain(std::uint16_t* apdu::HeadsRequest::*head, std::size_t headerSize,
                      std::vector<Base*>& list, bool keyPairFields) {
    std::uint16_t blockId = NO_BLOCK;
    apdu::HeadsRequest heads;
    heads.*head = &blockId;
    apdu::getHeads(*connection, heads);
    for (std::size_t count = 0; blockId != NO_BLOCK; ++count) {
        if (count == MAX_CHAIN_LENGTH)
            throw InternalErrorException("object chain does not end (block id 0x%04X)", blockId);
        std::uint8_t header[FILE_HEADER_SIZE];
        apdu::beginReadMetadata(*connection, blockId, header, headerSize);
        if (keyPairFields) {
            header::toHostOrder(header, header::KEY_USAGE);
            header::toHostOrder(header, header::KEY_SIZE);
        }
        list.push_back(Card::createFromHeader(*connection, blockId, header));
        blockId = header::field(header, header::NEXT_BLOCK);
    }
}

void Token::listKeyPairs(std::vector<amw::KeyPair*>& list) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::listKeyPairs");
    listChain<KeyPair>(&apdu::HeadsRequest::keyPairs, KEY_PAIR_HEADER_SIZE, list, true);
}

void Token::listCertificates(std::vector<amw::X509Certificate*>& list) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::listCertificates");
    listChain<X509Certificate>(&apdu::HeadsRequest::certificates, CERTIFICATE_HEADER_SIZE, list,
                               false);
}

void Token::listFiles(std::vector<amw::File*>& list) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::listFiles");
    listChain<File>(&apdu::HeadsRequest::files, FILE_HEADER_SIZE, list, false);
}

void Token::listDirs(std::vector<amw::Directory*>& list) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::listDirs");
    listChain<Directory>(&apdu::HeadsRequest::directories, DIRECTORY_HEADER_SIZE, list, false);
}

void Token::listDataObjects(std::vector<amw::DataObject*>& list) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::listDataObjects");
    listChain<DataObject>(&apdu::HeadsRequest::dataObjects, DATA_OBJECT_HEADER_SIZE, list, false);
}

void Token::listAuthenticateObjects(std::vector<amw::AuthenticationObject*>& list) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::listAuthenticateObjects");
    // Role 0, everyone, has nothing to authenticate with.
    for (std::uint32_t role = amw::AMWROLE_USER; role <= amw::AMWROLE_USER6; ++role) {
        std::uint8_t record[apdu::AUTH_OBJECT_RECORD_SIZE];
        if (!apdu::getAuthenticateObject(*connection, static_cast<std::uint8_t>(role), record))
            continue;
        std::unique_ptr<amw::AuthenticationObject> object(new amw::AuthenticationObject());
        object->role = role;
        object->type =
            record[0] != 0 ? amw::AuthenticationObject::KEY : amw::AuthenticationObject::PIN;
        object->pkcs11So = (record[8] & 0x01) != 0;
        object->recordByte7 = record[7];
        object->recordBytes1To2 = static_cast<std::uint16_t>(record[1] | (record[2] << 8));
        object->recordBytes5To6 = static_cast<std::uint16_t>(record[5] | (record[6] << 8));
        list.push_back(object.release());
    }
}

void Token::getCardId(amw::CardId& cardId) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::getCardId");
    apdu::getCardId(*connection, cardId);
}

void Token::setCardId(const amw::CardId& cardId) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::setCardId");
    apdu::setCardId(*connection, cardId);
}

void Token::getCardSerialNumber(StaticBuffer<256>* serialNumber) {
    static const char* const FUNCTION = "amwkalvik::Token::getCardSerialNumber";
    TraceScope trace(COMPONENT, FUNCTION);
    QV_CHECK_NOT_NULL(serialNumber, "serialNumber", FUNCTION, SOURCE, __LINE__);
    serialNumber->clear();
    serialNumber->length = apdu::SERIAL_NUMBER_SIZE;
    apdu::getCardSerialNumber(*connection, serialNumber->data);
}

void Token::selectApplet() {
    TraceScope trace(COMPONENT, "amwkalvik::Token::selectApplet");
    apdu::selectApplet(*connection);
}

void Token::getMemoryInfo(std::uint32_t* total, std::uint32_t* freeBytes) {
    static const char* const FUNCTION = "amwkalvik::Token::getMemoryInfo";
    TraceScope trace(COMPONENT, FUNCTION);
    QV_CHECK_NOT_NULL(total, "total", FUNCTION, SOURCE, __LINE__);
    QV_CHECK_NOT_NULL(freeBytes, "free", FUNCTION, SOURCE, __LINE__);
    std::uint32_t blockSize = 0;
    apdu::getMemoryInfo(*connection, &blockSize, total, freeBytes);
}

amw::X509Certificate* Token::createCertificate(const StaticBuffer<128>& label,
                                               const StaticBuffer<128>& pkcs11Id,
                                               std::uint8_t containerIndex, std::uint32_t keySpec,
                                               bool trusted, amw::AccessCondition ac1,
                                               amw::AccessCondition ac2, amw::AccessCondition ac3) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::createCertificate");
    logNumber("containerIndex", containerIndex);
    QV_TRACE_ARG(COMPONENT, "keySpec", amw::keySpecText(keySpec));
    QV_TRACE_ARG(COMPONENT, "trusted", boolText(trusted));
    amw::toCardKeySpec(keySpec);  // refuses unknown specs before the card is touched
    apdu::createCertificate(*connection, trusted, ac1.getEncodedValue(), ac2.getEncodedValue(),
                            ac3.getEncodedValue());
    std::unique_ptr<X509Certificate> certificate(new X509Certificate(connection));
    certificate->label = label;
    certificate->pkcs11Id = pkcs11Id;
    certificate->containerIndex = containerIndex;
    certificate->keySpec = keySpec;
    certificate->trusted = trusted;
    certificate->contentSize = 0;
    certificate->cardContentSize = 0;
    return certificate.release();
}

void Token::deleteCertificate(amw::X509Certificate* certificate) {
    static const char* const FUNCTION = "amwkalvik::Token::deleteCertificate";
    TraceScope trace(COMPONENT, FUNCTION);
    auto& card = cardObject<X509Certificate>(certificate, "certificate", FUNCTION, __LINE__);
    apdu::deleteObject(*connection, card.blockId);
}

amw::DataObject* Token::createDataObject(const StaticBuffer<128>& label,
                                         const StaticBuffer<128>& pkcs11Id,
                                         const StaticBuffer<128>& objectId,
                                         const StaticBuffer<128>& application,
                                         amw::AccessCondition ac1,
                                         amw::AccessCondition acReadContent,
                                         amw::AccessCondition ac3, amw::AccessCondition ac4) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::createDataObject");
    logNumber("acReadContent", acReadContent.getEncodedValue());
    apdu::createDataObject(*connection, ac1.getEncodedValue(), acReadContent.getEncodedValue(),
                           ac3.getEncodedValue(), ac4.getEncodedValue());
    std::unique_ptr<DataObject> object(new DataObject(connection));
    object->label = label;
    object->pkcs11Id = pkcs11Id;
    object->objectId = objectId;
    object->application = application;
    object->acReadContent = acReadContent.getEncodedValue();
    return object.release();
}

void Token::deleteDataObject(amw::DataObject* dataObject) {
    static const char* const FUNCTION = "amwkalvik::Token::deleteDataObject";
    TraceScope trace(COMPONENT, FUNCTION);
    auto& card = cardObject<DataObject>(dataObject, "dataObject", FUNCTION, __LINE__);
    apdu::deleteObject(*connection, card.blockId);
}

amw::File* Token::createFile(amw::Directory* directory, const StaticBuffer<8>& fileName,
                             amw::AccessCondition acRead, amw::AccessCondition ac2,
                             amw::AccessCondition ac3) {
    static const char* const FUNCTION = "amwkalvik::Token::createFile";
    TraceScope trace(COMPONENT, FUNCTION);
    QV_CHECK_NOT_NULL(directory, "dir", FUNCTION, SOURCE, 159);
    auto& dir = cardObject<Directory>(directory, "dir", FUNCTION, 159);
    apdu::createFile(*connection, dir.blockId, fileName.data, fileName.size(),
                     acRead.getEncodedValue(), ac2.getEncodedValue(), ac3.getEncodedValue());
    std::unique_ptr<File> file(new File(connection));
    file->fileName = fileName;
    file->directoryName = dir.directoryName;
    file->acRead = acRead;
    file->acSecond = ac2;
    file->acThird = ac3;
    return file.release();
}

void Token::deleteFile(amw::File* file) {
    static const char* const FUNCTION = "amwkalvik::Token::deleteFile";
    TraceScope trace(COMPONENT, FUNCTION);
    apdu::deleteObject(*connection, cardObject<File>(file, "file", FUNCTION, __LINE__).blockId);
}

amw::Directory* Token::createDirectory(const StaticBuffer<8>& directoryName,
                                       amw::AccessCondition ac1, amw::AccessCondition ac2) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::createDirectory");
    apdu::createDirectory(*connection, directoryName.data, directoryName.size(),
                          ac1.getEncodedValue(), ac2.getEncodedValue());
    std::unique_ptr<Directory> directory(new Directory(connection));
    directory->directoryName = directoryName;
    return directory.release();
}

void Token::deleteDirectory(amw::Directory* directory) {
    static const char* const FUNCTION = "amwkalvik::Token::deleteDirectory";
    TraceScope trace(COMPONENT, FUNCTION);
    apdu::deleteObject(*connection,
                       cardObject<Directory>(directory, "directory", FUNCTION, __LINE__).blockId);
}

amw::KeyPair* Token::generateKeyPair(const StaticBuffer<128>& publicLabel,
                                     const StaticBuffer<128>& privateLabel, std::uint32_t keySize,
                                     std::uint8_t containerIndex, std::uint32_t keySpec,
                                     const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
                                     const StaticBuffer<256>& publicExponent) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::generateKeyPair");
    std::unique_ptr<KeyPair> pair = beginContainerPair(connection, ORIGIN_GENERATE, keySize,
                                                       containerIndex, keySpec, pkcs11Id, keyUsage);
    StaticBuffer<256> modulus;
    apdu::generateKeyPair(*connection, publicExponent, modulus);
    if (modulus.size() > keySize / 8)
        throw InternalErrorException("unexpected length of modulus (expected %d,  actual %d)",
                                     static_cast<int>(keySize / 8),
                                     static_cast<int>(modulus.size()));
    pair->addPublicKey(publicLabel, modulus, publicExponent, keyUsage);
    pair->addPrivateKey(privateLabel, keyUsage);
    return pair.release();
}

amw::KeyPair* Token::importKeyPair(const StaticBuffer<128>& publicLabel,
                                   const StaticBuffer<128>& privateLabel, std::uint32_t keySize,
                                   std::uint8_t containerIndex, std::uint32_t keySpec,
                                   const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
                                   const amw::RsaPrivateKeyComponents& components) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::importKeyPair");
    std::unique_ptr<KeyPair> pair = beginContainerPair(connection, ORIGIN_IMPORT_PAIR, keySize,
                                                       containerIndex, keySpec, pkcs11Id, keyUsage);
    const StaticBuffer<256> exponent = stripLeadingZeros(components.e);
    importPublicComponents(*connection, components.n, exponent);
    importPrivateComponents(*connection, components);
    pair->addPublicKey(publicLabel, components.n, exponent, keyUsage);
    pair->addPrivateKey(privateLabel, keyUsage);
    return pair.release();
}

amw::KeyPair* Token::importPublicKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                                     const StaticBuffer<128>& label, std::uint16_t keyUsage,
                                     const StaticBuffer<256>& modulus,
                                     const StaticBuffer<256>& publicExponent) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::importPublicKey");
    std::unique_ptr<KeyPair> pair =
        beginLoneHalf(connection, ORIGIN_IMPORT_PUBLIC, keySize, pkcs11Id, keyUsage);
    const StaticBuffer<256> exponent = stripLeadingZeros(publicExponent);
    importPublicComponents(*connection, modulus, exponent);
    pair->addPublicKey(label, modulus, exponent, keyUsage);
    return pair.release();
}

amw::KeyPair* Token::importPrivateKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                                      const StaticBuffer<128>& label, std::uint16_t keyUsage,
                                      const amw::RsaPrivateKeyComponents& components) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::importPrivateKey");
    std::unique_ptr<KeyPair> pair =
        beginLoneHalf(connection, ORIGIN_IMPORT_PRIVATE, keySize, pkcs11Id, keyUsage);
    importPrivateComponents(*connection, components);
    pair->addPrivateKey(label, keyUsage);
    return pair.release();
}

void Token::amendKeyPairAddPublicKey(amw::KeyPair* keyPair, const StaticBuffer<128>& label,
                                     std::uint8_t containerIndex, std::uint32_t keySpec,
                                     std::uint16_t keyUsage, const StaticBuffer<256>& modulus,
                                     const StaticBuffer<256>& publicExponent) {
    static const char* const FUNCTION = "amwkalvik::Token::amendKeyPairAddPublicKey";
    TraceScope trace(COMPONENT, FUNCTION);
    auto& pair = cardObject<KeyPair>(keyPair, "keyPair", FUNCTION, __LINE__);
    const StaticBuffer<256> exponent = stripLeadingZeros(publicExponent);
    addHalf(*connection, pair, pair.hasPublicKey, "public", containerIndex, keySpec, [&] {
        importPublicComponents(*connection, modulus, exponent);
        pair.addPublicKey(label, modulus, exponent, keyUsage);
    });
}

void Token::amendKeyPairAddPrivateKey(amw::KeyPair* keyPair, const StaticBuffer<128>& label,
                                      std::uint8_t containerIndex, std::uint32_t keySpec,
                                      std::uint16_t keyUsage,
                                      const amw::RsaPrivateKeyComponents& components) {
    static const char* const FUNCTION = "amwkalvik::Token::amendKeyPairAddPrivateKey";
    TraceScope trace(COMPONENT, FUNCTION);
    auto& pair = cardObject<KeyPair>(keyPair, "keyPair", FUNCTION, __LINE__);
    addHalf(*connection, pair, pair.hasPrivateKey, "private", containerIndex, keySpec, [&] {
        importPrivateComponents(*connection, components);
        pair.addPrivateKey(label, keyUsage);
    });
}

void Token::amendKeyPairRemovePublicKey(amw::KeyPair* keyPair) {
    static const char* const FUNCTION = "amwkalvik::Token::amendKeyPairRemovePublicKey";
    TraceScope trace(COMPONENT, FUNCTION);
    auto& pair = cardObject<KeyPair>(keyPair, "keyPair", FUNCTION, __LINE__);
    removeHalf(*connection, pair, AMEND_REMOVE_PUBLIC, "public");
    pair.removePublicKey();
}

void Token::amendKeyPairRemovePrivateKey(amw::KeyPair* keyPair) {
    static const char* const FUNCTION = "amwkalvik::Token::amendKeyPairRemovePrivateKey";
    TraceScope trace(COMPONENT, FUNCTION);
    auto& pair = cardObject<KeyPair>(keyPair, "keyPair", FUNCTION, __LINE__);
    removeHalf(*connection, pair, AMEND_REMOVE_PRIVATE, "private");
    pair.removePrivateKey();
}

void Token::deleteKeyPair(amw::KeyPair* keyPair) {
    static const char* const FUNCTION = "amwkalvik::Token::deleteKeyPair";
    TraceScope trace(COMPONENT, FUNCTION);
    apdu::deleteObject(*connection,
                       cardObject<KeyPair>(keyPair, "keyPair", FUNCTION, __LINE__).blockId);
}

void Token::rsaExponentiation(amw::KeyPair* keyPair, const std::uint8_t* data, std::size_t length,
                              StaticBuffer<256>* output, bool hideData) {
    static const char* const FUNCTION = "amwkalvik::Token::rsaExponentiation";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("length", length);
    if (hideData)
        QV_LOG(COMPONENT, "data = ******");
    else
        logBuffer("data = ", data, data ? length : 0);
    auto& pair = cardObject<KeyPair>(keyPair, "keyPair", FUNCTION, __LINE__);
    QV_CHECK_NOT_NULL(data, "data", FUNCTION, SOURCE, __LINE__);
    QV_CHECK_NOT_NULL(output, "output", FUNCTION, SOURCE, __LINE__);
    const std::size_t expected =
        pair.hasPublicKey ? pair.publicKey.modulus.size() : pair.keySize / 8u;
    if (length != expected || (length != 128 && length != 256))
        throw InternalErrorException("unexpected length of data (expected %d,  actual %d)",
                                     static_cast<int>(expected), static_cast<int>(length));
    apdu::cryptInit(*connection, pair.blockId);
    output->clear();
    if (length == 256)
        apdu::crypt(*connection, data, false, nullptr, 0, hideData);
    apdu::crypt(*connection, data + length - apdu::CRYPT_BLOCK_SIZE, true, output->data, length,
                hideData);
    output->length = length;
}

amw::AuthenticationResult Token::authenticate(const amw::AuthenticationObject* authenticationObject,
                                              const std::uint8_t* secret, std::size_t length,
                                              std::uint32_t* triesRemaining,
                                              amw::PinPadNotifier* pinPad) {
    static const char* const FUNCTION = "amwkalvik::Token::authenticate";
    TraceScope trace(COMPONENT, FUNCTION);
    const auto& ao = authObject(authenticationObject, "authenticationObject", FUNCTION, __LINE__);
    QV_TRACE_ARG(COMPONENT, "role", amw::roleText(ao.role));
    QV_LOG(COMPONENT, "data = ******");
    logNumber("length", length);
    return static_cast<amw::AuthenticationResult>(
        apdu::authenticate(*connection, amw::toCardRole(ao.role), false, ao.type, secret, length,
                           triesRemaining, pinPad));
}

amw::AuthenticationResult Token::authenticateSessionPin(std::uint32_t role, const std::uint8_t* pin,
                                                        std::size_t length,
                                                        std::uint32_t* triesRemaining) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::authenticateSessionPin");
    QV_TRACE_ARG(COMPONENT, "role", amw::roleText(role));
    QV_LOG(COMPONENT, "data = ******");
    return static_cast<amw::AuthenticationResult>(
        apdu::authenticate(*connection, amw::toCardRole(role), true, amw::AuthenticationObject::KEY,
                           pin, length, triesRemaining, nullptr));
}

void Token::generateSessionPin(std::uint32_t role, StaticBuffer<128>* sessionPin) {
    static const char* const FUNCTION = "amwkalvik::Token::generateSessionPin";
    TraceScope trace(COMPONENT, FUNCTION);
    QV_TRACE_ARG(COMPONENT, "role", amw::roleText(role));
    QV_CHECK_NOT_NULL(sessionPin, "sessionPin", FUNCTION, SOURCE, 551);
    apdu::generateSessionPin(*connection, amw::toCardRole(role), sessionPin);
}

void Token::getChallenge(std::uint32_t role, StaticBuffer<128>* challenge) {
    static const char* const FUNCTION = "amwkalvik::Token::getChallenge";
    TraceScope trace(COMPONENT, FUNCTION);
    QV_TRACE_ARG(COMPONENT, "role", amw::roleText(role));
    QV_CHECK_NOT_NULL(challenge, "challenge", FUNCTION, SOURCE, 559);
    apdu::getChallenge(*connection, amw::toCardRole(role), challenge);
}

void Token::deauthenticate(std::uint32_t role) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::deauthenticate");
    QV_TRACE_ARG(COMPONENT, "role", amw::roleText(role));
    apdu::deauthenticate(*connection, amw::toCardRole(role));
}

amw::AuthenticationResult Token::unblockPin(const amw::AuthenticationObject* authenticationObject,
                                            const std::uint8_t* secret, std::size_t secretLength,
                                            const amw::AuthenticationObject* targetAo,
                                            const std::uint8_t* newPin, std::size_t newPinLength,
                                            std::uint32_t* triesRemaining,
                                            amw::PinPadNotifier* pinPad) {
    static const char* const FUNCTION = "amwkalvik::Token::unblockPin";
    TraceScope trace(COMPONENT, FUNCTION);
    const auto& ao = authObject(authenticationObject, "authenticationObject", FUNCTION, __LINE__);
    const auto& target = authObject(targetAo, "targetAo", FUNCTION, __LINE__);
    QV_TRACE_ARG(COMPONENT, "role", amw::roleText(ao.role));
    QV_TRACE_ARG(COMPONENT, "targetRole", amw::roleText(target.role));
    QV_LOG(COMPONENT, "data = ******");
    return static_cast<amw::AuthenticationResult>(apdu::unblockPin(
        *connection, amw::toCardRole(ao.role), ao.type, secret, secretLength,
        amw::toCardRole(target.role), target.type, newPin, newPinLength, triesRemaining, pinPad));
}

void Token::changePin(const amw::AuthenticationObject* authenticationObject,
                      const std::uint8_t* data, std::size_t length, amw::PinPadNotifier* pinPad) {
    static const char* const FUNCTION = "amwkalvik::Token::changePin";
    TraceScope trace(COMPONENT, FUNCTION);
    const auto& ao = authObject(authenticationObject, "authenticationObject", FUNCTION, __LINE__);
    QV_TRACE_ARG(COMPONENT, "role", amw::roleText(ao.role));
    QV_LOG(COMPONENT, "data = ******");
    apdu::changePin(*connection, amw::toCardRole(ao.role),
                    ao.type == amw::AuthenticationObject::PIN, data, length, pinPad);
}

bool Token::willUsePinPad(const amw::AuthenticationObject* authenticationObject) {
    static const char* const FUNCTION = "amwkalvik::Token::willUsePinPad";
    TraceScope trace(COMPONENT, FUNCTION);
    const auto& ao = authObject(authenticationObject, "authenticationObject", FUNCTION, __LINE__);
    return connection->isPinPadAvailable() && ao.type == amw::AuthenticationObject::PIN;
}

void Token::getVersion(std::uint8_t* major, std::uint8_t* minor) {
    TraceScope trace(COMPONENT, "amwkalvik::Token::getVersion");
    apdu::getVersion(*connection, major, minor);
    QV_TRACE_OUT(COMPONENT, "major", numberText(*major));
    QV_TRACE_OUT(COMPONENT, "minor", numberText(*minor));
}

std::uint8_t Token::getAuthStateMask() {
    TraceScope trace(COMPONENT, "amwkalvik::Token::getAuthStateMask");
    return apdu::getAuthState(*connection);
}

void Token::getProperty(const char* name, std::uint8_t* out, std::size_t* outLength,
                        std::uint32_t flags) {
    static const char* const FUNCTION = "amwkalvik::Token::getProperty";
    TraceScope trace(COMPONENT, FUNCTION);
    QV_CHECK_NOT_NULL(name, "name", FUNCTION, SOURCE, __LINE__);
    QV_TRACE_ARG(COMPONENT, "name", name);
    logNumber("flags", flags);
    QV_CHECK_NOT_NULL(outLength, "outLength", FUNCTION, SOURCE, __LINE__);

    const Property* const properties[] = {&LIFE_CYCLE_STATE, &GAC_INFO, &KEYPAIR_SLOT_COUNT,
                                          &PIN_POLICY, &TRIES_REMAINING};
    const Property* property = nullptr;
    for (const Property* candidate : properties) {
        if (std::strcmp(candidate->name, name) == 0)
            property = candidate;
    }
    if (property == nullptr)
        throw amw::UnknownPropertyException();
    if (*outLength < property->size)
        throw amw::InvalidBufferSizeException(static_cast<long long>(property->size),
                                              static_cast<long long>(*outLength));
    QV_CHECK_NOT_NULL(out, "out", FUNCTION, SOURCE, __LINE__);
    *outLength = property->size;

    if (property == &LIFE_CYCLE_STATE) {
        out[0] = apdu::getActivationInfo(*connection);
    } else if (property == &GAC_INFO) {
        apdu::getGacInfo(*connection, out);
    } else if (property == &KEYPAIR_SLOT_COUNT) {
        std::uint32_t count = 0xFFFFFFFF;
        if (flags == KEY_SIZE_1024 || flags == KEY_SIZE_2048) {
            apdu::SlotInfo slots[MAX_KEY_SLOTS];
            const std::size_t records = apdu::getJckpInfo(*connection, slots, MAX_KEY_SLOTS);
            count = 0;
            for (std::size_t i = 0; i < records; ++i) {
                if (!slots[i].flag || slots[i].keySize == flags)
                    ++count;
            }
        }
        putHostWord32(count, out);
        QV_TRACE_OUT(COMPONENT, "count", numberText(count));
    } else if (property == &PIN_POLICY) {
        if (!apdu::getAuthenticateObjectPinPolicy(*connection, amw::toCardRole(flags), out,
                                                  apdu::PIN_POLICY_SIZE))
            throw amw::UnknownPropertyException();
    } else {
        std::uint8_t record[apdu::AUTH_OBJECT_RECORD_SIZE];
        if (!apdu::getAuthenticateObject(*connection, amw::toCardRole(flags), record))
            throw amw::UnknownPropertyException();
        out[0] = record[9];
    }
}

void Token::setProperty(const char* name, const std::uint8_t* data, std::size_t length,
                        std::uint8_t flags) {
    static const char* const FUNCTION = "amwkalvik::Token::setProperty";
    TraceScope trace(COMPONENT, FUNCTION);
    QV_CHECK_NOT_NULL(name, "name", FUNCTION, SOURCE, __LINE__);
    QV_TRACE_ARG(COMPONENT, "name", name);
    logNumber("flags", flags);
    QV_LOG(COMPONENT, "data = ******");
    if (std::strcmp(name, "QV_ACTIVATE") == 0) {
        apdu::activateCard(*connection);
        return;
    }
    if (std::strcmp(name, "QV_SET_AO") != 0)
        throw amw::UnknownPropertyException();
    const std::uint8_t role = amw::toCardRole(flags);
    std::uint8_t record[apdu::AUTH_OBJECT_RECORD_SIZE];
    if (!apdu::getAuthenticateObject(*connection, role, record))
        throw amw::UnknownPropertyException();
    const bool isPin = record[0] == 0;
    const std::size_t expected = isPin ? 16 : 24;
    const std::size_t given = data == nullptr ? 0 : length;
    if (given != expected)
        throw amw::InvalidBufferSizeException(static_cast<long long>(expected),
                                              static_cast<long long>(given));
    apdu::changePin(*connection, role, isPin, data, length, nullptr);
}

}  // namespace amwkalvik

namespace amw {

// The card driver is the one place that knows the concrete token class.
Token* Token::createToken(ctl::CardConnection* connection, std::uint32_t type, bool selectApplet) {
    checkTokenType(type);
    std::unique_ptr<amwkalvik::Token> token(new amwkalvik::Token(connection));
    if (selectApplet)
        token->selectApplet();
    return token.release();
}

}  // namespace amw
