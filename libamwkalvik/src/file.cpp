#include "amwkalvik/objects.h"

#include "amwkalvik/apdu.h"
#include "storage.h"
#include "trace.h"

#include <cctype>
#include <memory>

QV_TRACE_UNIT("AMWKALVIK", "libamwkalvik/src/file");

namespace amwkalvik {

namespace {

// An 8-byte name field of a header: lower case, trailing zero bytes dropped.
StaticBuffer<8> nameField(const std::uint8_t* bytes) {
    std::size_t length = 8;
    while (length > 0 && bytes[length - 1] == 0)
        --length;
    std::uint8_t lower[8];
    for (std::size_t i = 0; i < length; ++i)
        lower[i] = static_cast<std::uint8_t>(std::tolower(bytes[i]));
    return StaticBuffer<8>(lower, length);
}

}  // namespace

File* File::createFromHeader(ctl::CardConnection& connection, std::uint16_t blockId,
                             const std::uint8_t* header) {
    QV_ENTER("amwkalvik::File::createFromHeader");
    std::unique_ptr<File> file(new File(&connection));
    file->directoryName = nameField(header + 17);
    file->fileName = nameField(header + 25);
    file->acRead = header::field(header, header::AC_READ);
    file->acWrite = header::field(header, header::AC_WRITE);
    file->acDelete = header::field(header, header::AC_DELETE);
    file->contentSize = header::field(header, header::CONTENT_SIZE);
    file->cardContentSize = file->contentSize;
    file->blockId = blockId;
    return file.release();
}

void File::commitCreationOrMetadataChanges() {
    QV_ENTER("amwkalvik::File::commitCreationOrMetadataChanges");
    if (blockId != NO_BLOCK)
        return;  // files carry no metadata; only creation is committed
    apdu::setMetadataSize(*connection, 0);
    blockId = apdu::commitCreationOrUpdateMetadata(*connection);
    if (acRead.isNotSpecified() || acWrite.isNotSpecified() || acDelete.isNotSpecified()) {
        std::uint8_t head[FILE_HEADER_SIZE];
        apdu::beginReadMetadata(*connection, blockId, head, sizeof head);
        acRead = header::field(head, header::AC_READ);
        acWrite = header::field(head, header::AC_WRITE);
        acDelete = header::field(head, header::AC_DELETE);
    }
}

void File::commitContentChanges() {
    QV_ENTER("amwkalvik::File::commitContentChanges");
    storage::writeContent(*connection, blockId, getContent(), cardContentSize, false);
    contentSize = cardContentSize;
}

void File::readContent(StaticBuffer<65536>& buffer) {
    QV_ENTER("amwkalvik::File::readContent");
    storage::readContent(*connection, blockId, buffer, false);
}

Directory* Directory::createFromHeader(ctl::CardConnection& connection, std::uint16_t blockId,
                                       const std::uint8_t* header) {
    QV_ENTER("amwkalvik::Directory::createFromHeader");
    std::unique_ptr<Directory> directory(new Directory(&connection));
    const std::uint8_t* name = header + 19;
    std::size_t length = 0;
    std::uint8_t lower[8];
    while (length < 8 && name[length] != 0) {
        lower[length] = static_cast<std::uint8_t>(std::tolower(name[length]));
        ++length;
    }
    directory->directoryName.assign(lower, length);
    directory->blockId = blockId;
    return directory.release();
}

void Directory::commitCreationOrMetadataChanges() {
    QV_ENTER("amwkalvik::Directory::commitCreationOrMetadataChanges");
    if (blockId != NO_BLOCK)
        return;  // nothing about an existing directory can change
    apdu::setMetadataSize(*connection, 0);
    blockId = apdu::commitCreationOrUpdateMetadata(*connection);
}

}  // namespace amwkalvik
