#include "amwkalvik/objects.h"

#include "amwkalvik/apdu.h"
#include "amwkalvik/lv.h"
#include "storage.h"
#include "trace.h"

#include <memory>

QV_TRACE_UNIT("AMWKALVIK", "libamwkalvik/src/dataobject");

namespace amwkalvik {

DataObject* DataObject::createFromHeader(ctl::CardConnection& connection, std::uint16_t blockId,
                                         const std::uint8_t* header) {
    QV_ENTER("amwkalvik::DataObject::createFromHeader");
    std::uint8_t metadata[MAX_METADATA_SIZE];
    // An oversized area is refused with the line its message has always carried.
    LvReader reader(metadata,
                    storage::readMetadata(connection, header, metadata, QV_CALL_SITE_AT_LINE(18)));
    std::unique_ptr<DataObject> object(new DataObject(&connection));
    reader.readMandatory(object->pkcs11Id);
    reader.readMandatory(object->label);
    reader.readMandatory(object->objectId);
    reader.readMandatory(object->application);
    object->contentSize = header::field(header, header::CONTENT_SIZE);
    object->cardContentSize = object->contentSize;
    object->blockId = blockId;
    object->acReadContent = header::field(header, header::AC_READ);
    return object.release();
}

void DataObject::serialize(std::ostream& stream) const {
    ContentOnCard::serialize(stream);
    writeUint16(stream, acReadContent);
}

void DataObject::deserialize(std::istream& stream) {
    ContentOnCard::deserialize(stream);
    acReadContent = readUint16(stream);
}

void DataObject::commitCreationOrMetadataChanges() {
    QV_ENTER("amwkalvik::DataObject::commitCreationOrMetadataChanges");
    LvWriter metadata;
    metadata.writeValue(pkcs11Id);
    metadata.writeValue(label);
    metadata.writeValue(objectId);
    metadata.writeValue(application);
    blockId = storage::commitMetadata(*connection, blockId, metadata);
    if (acReadContent == amw::AccessCondition::NOT_SPECIFIED) {
        // The card chose the condition; learn which.
        std::uint8_t head[DATA_OBJECT_HEADER_SIZE];
        apdu::beginReadMetadata(*connection, blockId, head, sizeof head);
        acReadContent = header::field(head, header::AC_READ);
    }
}

void DataObject::commitContentChanges() {
    QV_ENTER("amwkalvik::DataObject::commitContentChanges");
    // A private body never reaches the log.
    storage::writeContent(*connection, blockId, getContent(), cardContentSize, isPrivateContent());
    contentSize = cardContentSize;
}

void DataObject::readContent(StaticBuffer<65536>& buffer) {
    QV_ENTER("amwkalvik::DataObject::readContent");
    storage::readContent(*connection, blockId, buffer, isPrivateContent());
}

}  // namespace amwkalvik
