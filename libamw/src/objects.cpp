#include "amw/objects.h"

#include "exceptions.h"

namespace amw {

namespace {

// Flags are stored as one byte, 0 or 1; anything else means the stream is
// not what the writer wrote.
void writeFlag(std::ostream& stream, bool value) {
    SerializableEntity::writeUint8(stream, value ? 1 : 0);
}

bool readFlag(std::istream& stream) {
    std::uint8_t value = SerializableEntity::readUint8(stream);
    if (value > 1)
        throw SerializationException();
    return value == 1;
}

template <class T>
const T& sameKind(const SerializableEntity& other, const char* function) {
    const T* typed = dynamic_cast<const T*>(&other);
    if (typed == nullptr)
        throw InternalErrorException("%s: compared with an object of another kind", function);
    return *typed;
}

}  // namespace

// ------------------------------------------------------------------ key pair

void KeyPair::serialize(std::ostream& stream) const {
    writeUint16(stream, keySize);
    writeStaticBuffer(stream, pkcs11Id);
    writeUint16(stream, keyUsage);
    writeUint8(stream, generatedOnCard);
    writeUint8(stream, containerIndex);
    writeUint32(stream, keySpec);
    writeFlag(stream, hasPublicKey);
    if (hasPublicKey) {
        writeStaticBuffer(stream, publicKey.modulus);
        writeStaticBuffer(stream, publicKey.publicExponent);
        writeStaticBuffer(stream, publicKey.label);
    }
    writeFlag(stream, hasPrivateKey);
    if (hasPrivateKey)
        writeStaticBuffer(stream, privateKey.label);
}

void KeyPair::deserialize(std::istream& stream) {
    keySize = readUint16(stream);
    readStaticBuffer(stream, pkcs11Id);
    keyUsage = readUint16(stream);
    generatedOnCard = readUint8(stream);
    containerIndex = readUint8(stream);
    keySpec = readUint32(stream);
    publicKey = RsaPublicKey();
    hasPublicKey = readFlag(stream);
    if (hasPublicKey) {
        readStaticBuffer(stream, publicKey.modulus);
        readStaticBuffer(stream, publicKey.publicExponent);
        readStaticBuffer(stream, publicKey.label);
    }
    privateKey = RsaPrivateKey();
    hasPrivateKey = readFlag(stream);
    if (hasPrivateKey)
        readStaticBuffer(stream, privateKey.label);
}

int KeyPair::compare(const SerializableEntity& other) const {
    return compareIdentifiers(pkcs11Id, sameKind<KeyPair>(other, "KeyPair::compare").pkcs11Id);
}

void KeyPair::addPublicKey(const StaticBuffer<128>& label, const StaticBuffer<256>& modulus,
                           const StaticBuffer<256>& publicExponent, std::uint16_t usage) {
    publicKey.modulus = modulus;
    publicKey.publicExponent = publicExponent;
    publicKey.label = label;
    hasPublicKey = true;
    keyUsage = static_cast<std::uint16_t>(keyUsage | (usage & PUBLIC_KEY_USAGE_MASK));
}

void KeyPair::addPrivateKey(const StaticBuffer<128>& label, std::uint16_t usage) {
    privateKey.label = label;
    hasPrivateKey = true;
    keyUsage = static_cast<std::uint16_t>(keyUsage | (usage & PRIVATE_KEY_USAGE_MASK));
}

void KeyPair::removePublicKey() {
    publicKey = RsaPublicKey();
    hasPublicKey = false;
    keyUsage = static_cast<std::uint16_t>(keyUsage & PRIVATE_KEY_USAGE_MASK);
}

void KeyPair::removePrivateKey() {
    privateKey = RsaPrivateKey();
    hasPrivateKey = false;
    keyUsage = static_cast<std::uint16_t>(keyUsage & PUBLIC_KEY_USAGE_MASK);
}

// ----------------------------------------------------------------- directory

void Directory::serialize(std::ostream& stream) const { writeStaticBuffer(stream, directoryName); }

void Directory::deserialize(std::istream& stream) { readStaticBuffer(stream, directoryName); }

int Directory::compare(const SerializableEntity& other) const {
    return compareIdentifiers(directoryName,
                              sameKind<Directory>(other, "Directory::compare").directoryName);
}

// -------------------------------------------------------------- data storage

StaticBuffer<65536>& DataStorage::body() {
    if (!content) {
        content = std::make_unique<StaticBuffer<65536>>();
        if (contentLoaded)
            content->assign(cachedBody.data(), cachedBody.size());
        std::vector<std::uint8_t>().swap(cachedBody);
    }
    return *content;
}

const StaticBuffer<65536>& DataStorage::getContent() {
    if (!contentLoaded) {
        readContent(body());
        contentLoaded = true;
    }
    return body();
}

void DataStorage::setContent(const std::uint8_t* data, std::size_t length) {
    body().assign(data, length);
    contentLoaded = true;
    contentSize = static_cast<std::uint32_t>(length);
}

void DataStorage::serializeContent(std::ostream& stream) const {
    writeUint32(stream, contentSize);
    const bool stored = contentLoaded && !isPrivateContent();
    writeFlag(stream, stored);
    if (stored && content)
        writeStaticBuffer(stream, *content);
    else if (stored)
        writeBytes(stream, cachedBody.data(), cachedBody.size());
}

void DataStorage::deserializeContent(std::istream& stream) {
    contentSize = readUint32(stream);
    contentLoaded = false;
    content.reset();
    cachedBody.clear();
    if (readFlag(stream)) {
        readBytes(stream, cachedBody, 65536);
        contentLoaded = true;
    }
}

// --------------------------------------------------------------- certificate

void X509Certificate::serialize(std::ostream& stream) const {
    serializeContent(stream);
    writeStaticBuffer(stream, pkcs11Id);
    writeFlag(stream, trusted);
    writeStaticBuffer(stream, label);
    writeUint8(stream, containerIndex);
    writeUint32(stream, keySpec);
}

void X509Certificate::deserialize(std::istream& stream) {
    deserializeContent(stream);
    readStaticBuffer(stream, pkcs11Id);
    trusted = readFlag(stream);
    readStaticBuffer(stream, label);
    containerIndex = readUint8(stream);
    keySpec = readUint32(stream);
}

int X509Certificate::compare(const SerializableEntity& other) const {
    return compareIdentifiers(
        pkcs11Id, sameKind<X509Certificate>(other, "X509Certificate::compare").pkcs11Id);
}

// ---------------------------------------------------------------------- file

void File::serialize(std::ostream& stream) const {
    serializeContent(stream);
    writeStaticBuffer(stream, fileName);
    writeStaticBuffer(stream, directoryName);
    writeUint16(stream, acRead.getEncodedValue());
    writeUint16(stream, acWrite.getEncodedValue());
    writeUint16(stream, acDelete.getEncodedValue());
}

void File::deserialize(std::istream& stream) {
    deserializeContent(stream);
    readStaticBuffer(stream, fileName);
    readStaticBuffer(stream, directoryName);
    acRead = readUint16(stream);
    acWrite = readUint16(stream);
    acDelete = readUint16(stream);
}

int File::compare(const SerializableEntity& other) const {
    const File& file = sameKind<File>(other, "File::compare");
    int result = compareIdentifiers(directoryName, file.directoryName);
    return result != 0 ? result : compareIdentifiers(fileName, file.fileName);
}

// --------------------------------------------------------------- data object

void DataObject::serialize(std::ostream& stream) const {
    serializeContent(stream);
    writeStaticBuffer(stream, pkcs11Id);
    writeStaticBuffer(stream, label);
    writeStaticBuffer(stream, objectId);
    writeStaticBuffer(stream, application);
}

void DataObject::deserialize(std::istream& stream) {
    deserializeContent(stream);
    readStaticBuffer(stream, pkcs11Id);
    readStaticBuffer(stream, label);
    readStaticBuffer(stream, objectId);
    readStaticBuffer(stream, application);
}

int DataObject::compare(const SerializableEntity& other) const {
    return compareIdentifiers(pkcs11Id,
                              sameKind<DataObject>(other, "DataObject::compare").pkcs11Id);
}

// ---------------------------------------------------- authentication object

void AuthenticationObject::serialize(std::ostream& stream) const {
    writeUint32(stream, role);
    writeUint32(stream, type);
    writeUint32(stream, recordByte7);
    writeFlag(stream, pkcs11So);
    writeUint16(stream, recordBytes1To2);
    writeUint16(stream, recordBytes5To6);
}

void AuthenticationObject::deserialize(std::istream& stream) {
    role = readUint32(stream);
    type = readUint32(stream);
    recordByte7 = readUint32(stream);
    pkcs11So = readFlag(stream);
    recordBytes1To2 = readUint16(stream);
    recordBytes5To6 = readUint16(stream);
}

int AuthenticationObject::compare(const SerializableEntity& other) const {
    const AuthenticationObject& object =
        sameKind<AuthenticationObject>(other, "AuthenticationObject::compare");
    return static_cast<int>(role) - static_cast<int>(object.role);
}

}  // namespace amw
