#include "amwkalvik/objects.h"

#include "amwkalvik/apdu.h"
#include "amwkalvik/lv.h"
#include "storage.h"
#include "trace.h"

#include <memory>

QV_TRACE_UNIT("AMWKALVIK", "libamwkalvik/src/x509certificate");

namespace amwkalvik {

X509Certificate* X509Certificate::createFromHeader(ctl::CardConnection& connection,
                                                   std::uint16_t blockId,
                                                   const std::uint8_t* header) {
    QV_ENTER("amwkalvik::X509Certificate::createFromHeader");
    std::uint8_t metadata[MAX_METADATA_SIZE];
    // An oversized area is refused with the line its message has always carried.
    LvReader reader(metadata,
                    storage::readMetadata(connection, header, metadata, QV_CALL_SITE_AT_LINE(19)));
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
    QV_ENTER("amwkalvik::X509Certificate::commitCreationOrMetadataChanges");
    LvWriter metadata;
    metadata.writeValue(pkcs11Id);
    metadata.writeValue(label);
    metadata.writeByte(containerIndex);
    metadata.writeByte(static_cast<std::uint8_t>(keySpec));
    blockId = storage::commitMetadata(*connection, blockId, metadata);
}

void X509Certificate::commitContentChanges() {
    QV_ENTER("amwkalvik::X509Certificate::commitContentChanges");
    storage::writeContent(*connection, blockId, getContent(), cardContentSize, false);
    contentSize = cardContentSize;
}

void X509Certificate::readContent(StaticBuffer<65536>& buffer) {
    QV_ENTER("amwkalvik::X509Certificate::readContent");
    storage::readContent(*connection, blockId, buffer, false);
}

}  // namespace amwkalvik
