#include "amwkalvik/token.h"

#include "amw/amwtypes.h"
#include "amwkalvik/apdu.h"
#include "ctl/cardconnection.h"
#include "exceptions.h"
#include "trace.h"

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

QV_TRACE_UNIT("AMWKALVIK", "libamwkalvik/src/token");

namespace amwkalvik {

namespace {

void checkKeySize(std::uint32_t keySize) {
    if (keySize != Token::KEY_SIZE_1024 && keySize != Token::KEY_SIZE_2048)
        throw InvalidArgumentException("keySize must be 1024 or 2048");
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
    QV_TRACE_VALUE(keySize);
    QV_TRACE_VALUE(containerIndex);
    QV_TRACE_NAMED("keySpec", amw::keySpecText(keySpec));
    QV_TRACE_VALUE(keyUsage);
    checkKeySize(keySize);
    const std::uint8_t cardKeySpec = amw::toCardKeySpec(keySpec);
    apdu::createKeyPair(*connection, origin, static_cast<std::uint16_t>(keySize), keyUsage,
                        cardKeySpec, containerIndex);
    return newKeyPair(connection, keySize, pkcs11Id, keyUsage, containerIndex, keySpec);
}

// Begins a pair of one imported half, which belongs to no container.
std::unique_ptr<KeyPair> beginLoneHalf(ctl::CardConnection* connection, std::uint8_t origin,
                                       std::uint32_t keySize, const StaticBuffer<128>& pkcs11Id,
                                       std::uint16_t keyUsage) {
    QV_TRACE_VALUE(keySize);
    QV_TRACE_VALUE(keyUsage);
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
    apdu::amendKeypair(connection, pair.blockId, apdu::CONTENT_BOTH_HALVES);
    importHalf();
    pair.containerIndex = containerIndex;
    pair.keySpec = keySpec;
    pair.metadataChanged = true;
}

// Tells the card to drop a half of a complete pair: the operation is the
// content code the pair keeps.
void removeHalf(ctl::CardConnection& connection, KeyPair& pair, apdu::ContentCode remaining,
                const char* half) {
    const auto generated =
        static_cast<std::uint8_t>(pair.generatedOnCard ? apdu::CONTENT_GENERATED_ON_CARD : 0);
    apdu::amendKeypair(connection, pair.blockId, static_cast<std::uint8_t>(remaining | generated));
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
    QV_FUNCTION_NAME("amwkalvik::Token::Token");
    QV_REQUIRE(connection);
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
    QV_ENTER("amwkalvik::Token::getCacheFreshness");
    QV_REQUIRE(block);
    std::uint8_t bytes[amw::FreshnessBlock::CARD_LENGTH];
    if (!apdu::getCacheFreshness(*connection, bytes, sizeof bytes)) {
        block->clear();
        return false;
    }
    block->fromCardBytes(bytes);
    return true;
}

void Token::setCacheFreshness(const amw::FreshnessBlock& block) {
    QV_ENTER("amwkalvik::Token::setCacheFreshness");
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
    if (blockId == NO_BLOCK)
        return;
    // A chain holds at most one object per block of the card and never comes
    // back to a block it passed; a card that says otherwise is refused
    // before it costs more than one walk over its own memory.
    std::uint32_t blockSize = 0, bytesTotal = 0, bytesAvailable = 0;
    apdu::getMemoryInfo(*connection, &blockSize, &bytesTotal, &bytesAvailable);
    const std::uint32_t cardBlocks = blockSize == 0 ? 0 : bytesTotal / blockSize;
    std::vector<bool> seen(0x10000);
    for (std::uint32_t count = 1; blockId != NO_BLOCK; ++count) {
        if (seen[blockId] || count > cardBlocks)
            throw InternalErrorException("object chain does not end (block id 0x%04X)", blockId);
        seen[blockId] = true;
        std::uint8_t header[FILE_HEADER_SIZE];
        apdu::beginReadMetadata(*connection, blockId, header, headerSize);
        if (keyPairFields) {
            header::toHostOrder(header, header::KEY_USAGE);
            header::toHostOrder(header, header::KEY_SIZE);
        }
        std::unique_ptr<Card> object(Card::createFromHeader(*connection, blockId, header));
        list.push_back(object.get());
        object.release();
        blockId = header::field(header, header::NEXT_BLOCK);
    }
}

void Token::listKeyPairs(std::vector<amw::KeyPair*>& list) {
    QV_ENTER("amwkalvik::Token::listKeyPairs");
    listChain<KeyPair>(&apdu::HeadsRequest::keyPairs, KEY_PAIR_HEADER_SIZE, list, true);
}

void Token::listCertificates(std::vector<amw::X509Certificate*>& list) {
    QV_ENTER("amwkalvik::Token::listCertificates");
    listChain<X509Certificate>(&apdu::HeadsRequest::certificates, CERTIFICATE_HEADER_SIZE, list,
                               false);
}

void Token::listFiles(std::vector<amw::File*>& list) {
    QV_ENTER("amwkalvik::Token::listFiles");
    listChain<File>(&apdu::HeadsRequest::files, FILE_HEADER_SIZE, list, false);
}

void Token::listDirs(std::vector<amw::Directory*>& list) {
    QV_ENTER("amwkalvik::Token::listDirs");
    listChain<Directory>(&apdu::HeadsRequest::directories, DIRECTORY_HEADER_SIZE, list, false);
}

void Token::listDataObjects(std::vector<amw::DataObject*>& list) {
    QV_ENTER("amwkalvik::Token::listDataObjects");
    listChain<DataObject>(&apdu::HeadsRequest::dataObjects, DATA_OBJECT_HEADER_SIZE, list, false);
}

void Token::listAuthenticateObjects(std::vector<amw::AuthenticationObject*>& list) {
    QV_ENTER("amwkalvik::Token::listAuthenticateObjects");
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
    QV_ENTER("amwkalvik::Token::getCardId");
    apdu::getCardId(*connection, cardId);
}

void Token::setCardId(const amw::CardId& cardId) {
    QV_ENTER("amwkalvik::Token::setCardId");
    apdu::setCardId(*connection, cardId);
}

void Token::getCardSerialNumber(StaticBuffer<256>* serialNumber) {
    QV_ENTER("amwkalvik::Token::getCardSerialNumber");
    QV_REQUIRE(serialNumber);
    serialNumber->clear();
    serialNumber->length = apdu::SERIAL_NUMBER_SIZE;
    apdu::getCardSerialNumber(*connection, serialNumber->data);
}

void Token::selectApplet() {
    QV_ENTER("amwkalvik::Token::selectApplet");
    apdu::selectApplet(*connection);
}

void Token::getMemoryInfo(std::uint32_t* total, std::uint32_t* freeBytes) {
    QV_ENTER("amwkalvik::Token::getMemoryInfo");
    QV_REQUIRE(total);
    QV_REQUIRE_NAMED(freeBytes, "free");
    std::uint32_t blockSize = 0;
    apdu::getMemoryInfo(*connection, &blockSize, total, freeBytes);
}

amw::X509Certificate* Token::createCertificate(const StaticBuffer<128>& label,
                                               const StaticBuffer<128>& pkcs11Id,
                                               std::uint8_t containerIndex, std::uint32_t keySpec,
                                               bool trusted, amw::AccessCondition acRead,
                                               amw::AccessCondition acWrite,
                                               amw::AccessCondition acDelete) {
    QV_ENTER("amwkalvik::Token::createCertificate");
    QV_TRACE_VALUE(containerIndex);
    QV_TRACE_NAMED("keySpec", amw::keySpecText(keySpec));
    QV_TRACE_VALUE(trusted);
    amw::toCardKeySpec(keySpec);  // refuses unknown specs before the card is touched
    apdu::createCertificate(*connection, trusted, acRead.getEncodedValue(),
                            acWrite.getEncodedValue(), acDelete.getEncodedValue());
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
    QV_ENTER("amwkalvik::Token::deleteCertificate");
    auto* card = dynamic_cast<X509Certificate*>(certificate);
    QV_REQUIRE_NAMED(card, "certificate");
    apdu::deleteObject(*connection, card->blockId);
}

amw::DataObject* Token::createDataObject(
    const StaticBuffer<128>& label, const StaticBuffer<128>& pkcs11Id,
    const StaticBuffer<128>& objectId, const StaticBuffer<128>& application,
    amw::AccessCondition acExtra, amw::AccessCondition acReadContent, amw::AccessCondition acWrite,
    amw::AccessCondition acDelete) {
    QV_ENTER("amwkalvik::Token::createDataObject");
    QV_TRACE_NAMED("acReadContent", numberText(acReadContent.getEncodedValue()));
    apdu::createDataObject(*connection, acExtra.getEncodedValue(), acReadContent.getEncodedValue(),
                           acWrite.getEncodedValue(), acDelete.getEncodedValue());
    std::unique_ptr<DataObject> object(new DataObject(connection));
    object->label = label;
    object->pkcs11Id = pkcs11Id;
    object->objectId = objectId;
    object->application = application;
    object->acReadContent = acReadContent.getEncodedValue();
    return object.release();
}

void Token::deleteDataObject(amw::DataObject* dataObject) {
    QV_ENTER("amwkalvik::Token::deleteDataObject");
    auto* card = dynamic_cast<DataObject*>(dataObject);
    QV_REQUIRE_NAMED(card, "dataObject");
    apdu::deleteObject(*connection, card->blockId);
}

amw::File* Token::createFile(amw::Directory* directory, const StaticBuffer<8>& fileName,
                             amw::AccessCondition acRead, amw::AccessCondition acWrite,
                             amw::AccessCondition acDelete) {
    QV_ENTER("amwkalvik::Token::createFile");
    auto* dir = dynamic_cast<Directory*>(directory);
    QV_REQUIRE_AT_LINE(dir, "dir", 159);
    apdu::createFile(*connection, dir->blockId, fileName.data, fileName.size(),
                     acRead.getEncodedValue(), acWrite.getEncodedValue(),
                     acDelete.getEncodedValue());
    std::unique_ptr<File> file(new File(connection));
    file->fileName = fileName;
    file->directoryName = dir->directoryName;
    file->acRead = acRead;
    file->acWrite = acWrite;
    file->acDelete = acDelete;
    return file.release();
}

void Token::deleteFile(amw::File* file) {
    QV_ENTER("amwkalvik::Token::deleteFile");
    auto* onCard = dynamic_cast<File*>(file);
    QV_REQUIRE_NAMED(onCard, "file");
    apdu::deleteObject(*connection, onCard->blockId);
}

amw::Directory* Token::createDirectory(const StaticBuffer<8>& directoryName,
                                       amw::AccessCondition acWrite,
                                       amw::AccessCondition acDelete) {
    QV_ENTER("amwkalvik::Token::createDirectory");
    apdu::createDirectory(*connection, directoryName.data, directoryName.size(),
                          acWrite.getEncodedValue(), acDelete.getEncodedValue());
    std::unique_ptr<Directory> directory(new Directory(connection));
    directory->directoryName = directoryName;
    return directory.release();
}

void Token::deleteDirectory(amw::Directory* directory) {
    QV_ENTER("amwkalvik::Token::deleteDirectory");
    auto* onCard = dynamic_cast<Directory*>(directory);
    QV_REQUIRE_NAMED(onCard, "directory");
    apdu::deleteObject(*connection, onCard->blockId);
}

amw::KeyPair* Token::generateKeyPair(const StaticBuffer<128>& publicLabel,
                                     const StaticBuffer<128>& privateLabel, std::uint32_t keySize,
                                     std::uint8_t containerIndex, std::uint32_t keySpec,
                                     const StaticBuffer<128>& pkcs11Id, std::uint16_t keyUsage,
                                     const StaticBuffer<256>& publicExponent) {
    QV_ENTER("amwkalvik::Token::generateKeyPair");
    std::unique_ptr<KeyPair> pair =
        beginContainerPair(connection, apdu::CONTENT_GENERATED_ON_CARD | apdu::CONTENT_BOTH_HALVES,
                           keySize, containerIndex, keySpec, pkcs11Id, keyUsage);
    // As the card's header says from now on: CKA_LOCAL must not depend on
    // whether the pair was read back from the card or from this call's list.
    pair->generatedOnCard = true;
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
    QV_ENTER("amwkalvik::Token::importKeyPair");
    std::unique_ptr<KeyPair> pair =
        beginContainerPair(connection, apdu::CONTENT_BOTH_HALVES, keySize, containerIndex, keySpec,
                           pkcs11Id, keyUsage);
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
    QV_ENTER("amwkalvik::Token::importPublicKey");
    std::unique_ptr<KeyPair> pair =
        beginLoneHalf(connection, apdu::CONTENT_PUBLIC_KEY, keySize, pkcs11Id, keyUsage);
    const StaticBuffer<256> exponent = stripLeadingZeros(publicExponent);
    importPublicComponents(*connection, modulus, exponent);
    pair->addPublicKey(label, modulus, exponent, keyUsage);
    return pair.release();
}

amw::KeyPair* Token::importPrivateKey(const StaticBuffer<128>& pkcs11Id, std::uint32_t keySize,
                                      const StaticBuffer<128>& label, std::uint16_t keyUsage,
                                      const amw::RsaPrivateKeyComponents& components) {
    QV_ENTER("amwkalvik::Token::importPrivateKey");
    std::unique_ptr<KeyPair> pair =
        beginLoneHalf(connection, apdu::CONTENT_PRIVATE_KEY, keySize, pkcs11Id, keyUsage);
    importPrivateComponents(*connection, components);
    pair->addPrivateKey(label, keyUsage);
    return pair.release();
}

void Token::amendKeyPairAddPublicKey(amw::KeyPair* keyPair, const StaticBuffer<128>& label,
                                     std::uint8_t containerIndex, std::uint32_t keySpec,
                                     std::uint16_t keyUsage, const StaticBuffer<256>& modulus,
                                     const StaticBuffer<256>& publicExponent) {
    QV_ENTER("amwkalvik::Token::amendKeyPairAddPublicKey");
    auto* pair = dynamic_cast<KeyPair*>(keyPair);
    QV_REQUIRE_NAMED(pair, "keyPair");
    const StaticBuffer<256> exponent = stripLeadingZeros(publicExponent);
    addHalf(*connection, *pair, pair->hasPublicKey, "public", containerIndex, keySpec, [&] {
        importPublicComponents(*connection, modulus, exponent);
        pair->addPublicKey(label, modulus, exponent, keyUsage);
    });
}

void Token::amendKeyPairAddPrivateKey(amw::KeyPair* keyPair, const StaticBuffer<128>& label,
                                      std::uint8_t containerIndex, std::uint32_t keySpec,
                                      std::uint16_t keyUsage,
                                      const amw::RsaPrivateKeyComponents& components) {
    QV_ENTER("amwkalvik::Token::amendKeyPairAddPrivateKey");
    auto* pair = dynamic_cast<KeyPair*>(keyPair);
    QV_REQUIRE_NAMED(pair, "keyPair");
    addHalf(*connection, *pair, pair->hasPrivateKey, "private", containerIndex, keySpec, [&] {
        importPrivateComponents(*connection, components);
        pair->addPrivateKey(label, keyUsage);
    });
}

void Token::amendKeyPairRemovePublicKey(amw::KeyPair* keyPair) {
    QV_ENTER("amwkalvik::Token::amendKeyPairRemovePublicKey");
    auto* pair = dynamic_cast<KeyPair*>(keyPair);
    QV_REQUIRE_NAMED(pair, "keyPair");
    removeHalf(*connection, *pair, apdu::CONTENT_PRIVATE_KEY, "public");
    pair->removePublicKey();
}

void Token::amendKeyPairRemovePrivateKey(amw::KeyPair* keyPair) {
    QV_ENTER("amwkalvik::Token::amendKeyPairRemovePrivateKey");
    auto* pair = dynamic_cast<KeyPair*>(keyPair);
    QV_REQUIRE_NAMED(pair, "keyPair");
    removeHalf(*connection, *pair, apdu::CONTENT_PUBLIC_KEY, "private");
    pair->removePrivateKey();
}

void Token::deleteKeyPair(amw::KeyPair* keyPair) {
    QV_ENTER("amwkalvik::Token::deleteKeyPair");
    auto* pair = dynamic_cast<KeyPair*>(keyPair);
    QV_REQUIRE_NAMED(pair, "keyPair");
    apdu::deleteObject(*connection, pair->blockId);
}

void Token::rsaExponentiation(amw::KeyPair* keyPair, const std::uint8_t* data, std::size_t length,
                              StaticBuffer<256>* output, bool hideData) {
    QV_ENTER("amwkalvik::Token::rsaExponentiation");
    QV_TRACE_VALUE(length);
    if (hideData)
        QV_TRACE("data = ******");
    else
        QV_TRACE_BYTES("data = ", data, data ? length : 0);
    auto* pair = dynamic_cast<KeyPair*>(keyPair);
    QV_REQUIRE_NAMED(pair, "keyPair");
    QV_REQUIRE(data);
    QV_REQUIRE(output);
    const std::size_t expected =
        pair->hasPublicKey ? pair->publicKey.modulus.size() : pair->keySize / 8u;
    if (length != expected || (length != 128 && length != 256))
        throw InternalErrorException("unexpected length of data (expected %d,  actual %d)",
                                     static_cast<int>(expected), static_cast<int>(length));
    apdu::cryptInit(*connection, pair->blockId);
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
    QV_ENTER("amwkalvik::Token::authenticate");
    QV_REQUIRE(authenticationObject);
    const amw::AuthenticationObject& ao = *authenticationObject;
    QV_TRACE_NAMED("role", amw::roleText(ao.role));
    QV_TRACE("data = ******");
    QV_TRACE_VALUE(length);
    return apdu::authenticate(*connection, amw::toCardRole(ao.role), false, ao.type, secret, length,
                              triesRemaining, pinPad);
}

amw::AuthenticationResult Token::authenticateSessionPin(std::uint32_t role, const std::uint8_t* pin,
                                                        std::size_t length,
                                                        std::uint32_t* triesRemaining) {
    QV_ENTER("amwkalvik::Token::authenticateSessionPin");
    QV_TRACE_NAMED("role", amw::roleText(role));
    QV_TRACE("data = ******");
    return apdu::authenticate(*connection, amw::toCardRole(role), true,
                              amw::AuthenticationObject::KEY, pin, length, triesRemaining, nullptr);
}

void Token::generateSessionPin(std::uint32_t role, StaticBuffer<128>* sessionPin) {
    QV_ENTER("amwkalvik::Token::generateSessionPin");
    QV_TRACE_NAMED("role", amw::roleText(role));
    QV_REQUIRE_AT_LINE(sessionPin, "sessionPin", 551);
    apdu::generateSessionPin(*connection, amw::toCardRole(role), sessionPin);
}

void Token::getChallenge(std::uint32_t role, StaticBuffer<128>* challenge) {
    QV_ENTER("amwkalvik::Token::getChallenge");
    QV_TRACE_NAMED("role", amw::roleText(role));
    QV_REQUIRE_AT_LINE(challenge, "challenge", 559);
    apdu::getChallenge(*connection, amw::toCardRole(role), challenge);
}

void Token::deauthenticate(std::uint32_t role) {
    QV_ENTER("amwkalvik::Token::deauthenticate");
    QV_TRACE_NAMED("role", amw::roleText(role));
    apdu::deauthenticate(*connection, amw::toCardRole(role));
}

amw::AuthenticationResult Token::unblockPin(const amw::AuthenticationObject* authenticationObject,
                                            const std::uint8_t* secret, std::size_t secretLength,
                                            const amw::AuthenticationObject* targetAo,
                                            const std::uint8_t* newPin, std::size_t newPinLength,
                                            std::uint32_t* triesRemaining,
                                            amw::PinPadNotifier* pinPad) {
    QV_ENTER("amwkalvik::Token::unblockPin");
    QV_REQUIRE(authenticationObject);
    const amw::AuthenticationObject& ao = *authenticationObject;
    QV_REQUIRE(targetAo);
    const amw::AuthenticationObject& target = *targetAo;
    QV_TRACE_NAMED("role", amw::roleText(ao.role));
    QV_TRACE_NAMED("targetRole", amw::roleText(target.role));
    QV_TRACE("data = ******");
    return apdu::unblockPin(*connection, amw::toCardRole(ao.role), ao.type, secret, secretLength,
                            amw::toCardRole(target.role), target.type, newPin, newPinLength,
                            triesRemaining, pinPad);
}

void Token::changePin(const amw::AuthenticationObject* authenticationObject,
                      const std::uint8_t* data, std::size_t length, amw::PinPadNotifier* pinPad) {
    QV_ENTER("amwkalvik::Token::changePin");
    QV_REQUIRE(authenticationObject);
    const amw::AuthenticationObject& ao = *authenticationObject;
    QV_TRACE_NAMED("role", amw::roleText(ao.role));
    QV_TRACE("data = ******");
    apdu::changePin(*connection, amw::toCardRole(ao.role),
                    ao.type == amw::AuthenticationObject::PIN, data, length, pinPad);
}

bool Token::willUsePinPad(const amw::AuthenticationObject* authenticationObject) {
    QV_ENTER("amwkalvik::Token::willUsePinPad");
    QV_REQUIRE(authenticationObject);
    const amw::AuthenticationObject& ao = *authenticationObject;
    return connection->isPinPadAvailable() && ao.type == amw::AuthenticationObject::PIN;
}

void Token::getVersion(std::uint8_t* major, std::uint8_t* minor) {
    QV_ENTER("amwkalvik::Token::getVersion");
    apdu::getVersion(*connection, major, minor);
    QV_TRACE_OUT_NAMED("major", numberText(*major));
    QV_TRACE_OUT_NAMED("minor", numberText(*minor));
}

std::uint8_t Token::getAuthStateMask() {
    QV_ENTER("amwkalvik::Token::getAuthStateMask");
    return apdu::getAuthState(*connection);
}

void Token::getProperty(const char* name, std::uint8_t* out, std::size_t* outLength,
                        std::uint32_t flags) {
    QV_ENTER("amwkalvik::Token::getProperty");
    QV_REQUIRE(name);
    QV_TRACE_NAMED("name", name);
    QV_TRACE_VALUE(flags);
    QV_REQUIRE(outLength);

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
    QV_REQUIRE(out);
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
        QV_TRACE_OUT_NAMED("count", numberText(count));
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
    QV_ENTER("amwkalvik::Token::setProperty");
    QV_REQUIRE(name);
    QV_TRACE_NAMED("name", name);
    QV_TRACE_VALUE(flags);
    QV_TRACE("data = ******");
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
