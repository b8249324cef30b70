#include "amwkalvik/objects.h"

#include "amw/amwtypes.h"
#include "amwkalvik/apdu.h"
#include "amwkalvik/lv.h"
#include "exceptions.h"
#include "storage.h"
#include "trace.h"

#include <memory>

QV_TRACE_UNIT("AMWKALVIK", "libamwkalvik/src/keypair");

namespace amwkalvik {

namespace {

void readComponent(ctl::CardConnection& connection, std::uint8_t component,
                   StaticBuffer<256>& out) {
    std::uint8_t bytes[256];
    std::size_t size = sizeof bytes;
    apdu::getComponent(connection, component, bytes, &size);
    out.assign(bytes, size);
}

}  // namespace

KeyPair* KeyPair::createFromHeader(ctl::CardConnection& connection, std::uint16_t blockId,
                                   const std::uint8_t* header) {
    QV_ENTER("amwkalvik::KeyPair::createFromHeader");
    std::uint8_t metadata[MAX_METADATA_SIZE];
    LvReader reader(metadata, storage::readMetadata(connection, header, metadata, QV_CALL_SITE));
    std::unique_ptr<KeyPair> pair(new KeyPair(&connection));
    reader.readMandatory(pair->pkcs11Id);
    pair->keySize = header::field(header, header::KEY_SIZE);
    pair->keyUsage = header::field(header, header::KEY_USAGE);
    const std::uint8_t code = header[header::CONTENT_CODE];
    pair->generatedOnCard = code & apdu::CONTENT_GENERATED_ON_CARD;
    const bool hasPublic = (code & apdu::CONTENT_PUBLIC_KEY) != 0;
    const bool hasPrivate = (code & apdu::CONTENT_PRIVATE_KEY) != 0;
    if (!hasPublic && !hasPrivate)
        throw InternalErrorException(
            "the keypair does not have a public key, a private key neither");
    if (hasPublic) {
        readComponent(connection, apdu::COMPONENT_N, pair->publicKey.modulus);
        readComponent(connection, apdu::COMPONENT_E, pair->publicKey.publicExponent);
        reader.readMandatory(pair->publicKey.label);
        pair->hasPublicKey = true;
    }
    if (hasPrivate) {
        reader.readMandatory(pair->privateKey.label);
        pair->hasPrivateKey = true;
    }
    if (hasPublic && hasPrivate) {
        pair->containerIndex = header[header::CONTAINER_INDEX];
        pair->keySpec = header[header::KEY_SPEC] == 1 ? amw::KeyPair::KEY_EXCHANGE_KEY
                                                      : amw::KeyPair::SIGNATURE_KEY;
    } else {
        // A lone half belongs to no container.
        pair->containerIndex = 0;
        pair->keySpec = amw::KeyPair::KEY_EXCHANGE_KEY;
    }
    pair->blockId = blockId;
    return pair.release();
}

void KeyPair::commitCreationOrMetadataChanges() {
    QV_ENTER("amwkalvik::KeyPair::commitCreationOrMetadataChanges");
    LvWriter metadata;
    metadata.writeValue(pkcs11Id);
    if (hasPublicKey)
        metadata.writeValue(publicKey.label);
    if (hasPrivateKey)
        metadata.writeValue(privateKey.label);
    if (blockId == NO_BLOCK) {
        apdu::setMetadataSize(*connection, metadata.size());
    } else if (metadataChanged) {
        apdu::continueAmendKeyPair(*connection, containerIndex, amw::toCardKeySpec(keySpec),
                                   keyUsage, metadata.size());
        metadataChanged = false;
    } else {
        apdu::beginUpdateMetadata(*connection, blockId, metadata.size());
    }
    apdu::writeData(*connection, metadata.data(), metadata.size());
    blockId = apdu::commitCreationOrUpdateMetadata(*connection);
}

}  // namespace amwkalvik
