#include "amwkalvik/objects.h"

#include "amwkalvik/apdu.h"
#include "amwkalvik/lv.h"
#include "storage.h"
#include "trace.h"

#include <memory>

namespace amwkalvik {

using storage::COMPONENT;

X509Certificate* X509Certificate::createFromHeader(ctl::CardConnection& connection,
                                                   std::uint16_t blockId,
                                                   const std::uint8_t* header) {
    static const char* const FUNCTION = "amwkalvik::X509Certificate::createFromHeader";
    TraceScope trace(COMPONENT, FUNCTION);
    const std::size_t metadataSize = header::field(header, header::METADATA_SIZE);
    std::uint8_t metadata[MAX_METADATA_SIZE];
    storage::readMetadata(connection, metadataSize, metadata, FUNCTION,
                          "libamwkalvik/src/x509certificate", 19);
    LvReader reader(metadata, metadataSize);
    std::unique_ptr<X509Certificate> certificate(new X509Certificate(&connection));
    reader.readMandatory(certificate->pkcs11Id);
    reader.readMandatory(certificate->label);
    certificate->containerIndex = reader.readByte();
    certificate->keySpec = reader.readByte();
    certificate->contentSize = header::field(header, header::CONTENT_SIZE);
    certificate->cardContentSize = certificate->contentSize;
    certificate->blockId = blockId;
    certificate->trusted = header[17] != 0;
    return certificate.release();
}

void X509Certificate::commitCreationOrMetadataChanges() {
    TraceScope trace(COMPONENT, "amwkalvik::X509Certificate::commitCreationOrMetadataChanges");
    LvWriter metadata;
    metadata.writeValue(pkcs11Id);
    metadata.writeValue(label);
    metadata.writeByte(containerIndex);
    metadata.writeByte(static_cast<std::uint8_t>(keySpec));
    blockId = storage::commitMetadata(*connection, blockId, metadata);
}

void X509Certificate::commitContentChanges() {
    TraceScope trace(COMPONENT, "amwkalvik::X509Certificate::commitContentChanges");
    storage::writeContent(*connection, blockId, getContent(), cardContentSize);
    contentSize = cardContentSize;
}

void X509Certificate::readContent(StaticBuffer<65536>& buffer) {
    TraceScope trace(COMPONENT, "amwkalvik::X509Certificate::readContent");
    storage::readContent(*connection, blockId, buffer);
}

}  // namespace amwkalvik
