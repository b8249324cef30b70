#include "amwkalvik/apdu.h"

#include "amw/amwtypes.h"
#include "amw/pinpadnotifier.h"
#include "command.h"
#include "ctl/cardconnection.h"
#include "exceptions.h"
#include "trace.h"

#include <algorithm>
#include <cstring>
#include <functional>

QV_TRACE_UNIT("AMWKALVIK_APDU", "libamwkalvik/src/apdu");

namespace amwkalvik {

namespace {

bool isWrongLe(std::uint16_t sw) { return (sw & 0xFF00) == 0x6C00; }
bool isWrongPin(std::uint16_t sw) { return (sw & 0xFFF0) == 0x63C0; }

std::uint16_t readWord(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

void putWord(std::uint8_t* bytes, std::uint16_t value) {
    bytes[0] = static_cast<std::uint8_t>(value >> 8);
    bytes[1] = static_cast<std::uint8_t>(value);
}

// One exchange of a built command with a 258-byte response buffer.
struct Response {
    std::uint8_t data[RESPONSE_CAPACITY];
    std::size_t length = 0;
    std::uint16_t sw = 0;
};

Response send(ctl::CardConnection& connection, apdu::Command command, bool sensitive = false) {
    Response response;
    response.length = sizeof response.data;
    const std::uint8_t* bytes = command.bytes();
    response.sw =
        exchangeApdu(connection, bytes, command.size(), response.data, &response.length, sensitive);
    return response;
}

// Sends again with the length the card asked for when it answers 6Cxx.
Response sendAdjustingLe(ctl::CardConnection& connection, const apdu::Command& command) {
    Response response = send(connection, command);
    if (isWrongLe(response.sw))
        response = send(connection, command.withLe(static_cast<std::uint8_t>(response.sw & 0xFF)));
    return response;
}

void expectLength(const Response& response, std::size_t expected) {
    if (response.length != expected)
        throw InternalErrorException("unexpected response length (expected %d,  actual %d)",
                                     static_cast<int>(expected), static_cast<int>(response.length));
}

// The status word must be 9000 and the response exactly `expected` bytes.
void checkExact(const Response& response, std::size_t expected) {
    checkStatusWord(response.sw);
    expectLength(response, expected);
}

// Asks for `length` bytes (Le = length); the status word must be 9000 and
// the response exactly that long.
Response receive(ctl::CardConnection& connection, apdu::Command command, std::size_t length,
                 bool sensitive = false) {
    Response response = send(connection, command.le(static_cast<std::uint8_t>(length)), sensitive);
    checkExact(response, length);
    return response;
}

// As receive into `out`, but false when the card answers 6B00: no such object.
bool receiveIfPresent(ctl::CardConnection& connection, apdu::Command command, std::uint8_t* out,
                      std::size_t length) {
    Response response = send(connection, command.le(static_cast<std::uint8_t>(length)));
    if (response.sw == 0x6B00)
        return false;
    checkExact(response, length);
    std::memcpy(out, response.data, length);
    return true;
}

// One entry on the reader's PIN pad, which completes and sends the command.
using PinPadEntry = std::function<std::uint16_t(const std::uint8_t* command, std::size_t size)>;

// The PIN pad loop: one entry per attempt until the status word says stop.
std::uint16_t runPinPadLoop(amw::PinPadNotifier* notifier, std::uint32_t& triesRemaining,
                            apdu::Command& command, const PinPadEntry& entry) {
    const std::uint8_t* bytes = command.bytes();
    const std::size_t size = command.size();
    std::uint32_t tries = 0;
    std::uint16_t sw;
    do {
        if (notifier)
            notifier->onPinPadPrompt(tries);
        sw = entry(bytes, size);
        if (notifier)
            notifier->onPinPadDone();
    } while (handlePinPadSW(sw, notifier, tries));
    triesRemaining = tries;
    return sw;
}

// A key value of the wrong width is not sent: the card could not say how
// many tries remain.
amw::AuthenticationResult unknownTries(std::uint32_t* triesRemaining) {
    *triesRemaining = amw::TRIES_UNKNOWN;
    return amw::AUTHENTICATION_WRONG_PIN;
}

// Final status word of authenticate and unblockPin.
amw::AuthenticationResult authenticationResult(std::uint16_t sw, std::uint32_t* triesRemaining,
                                               bool tolerateUnknownTries) {
    if (isWrongPin(sw)) {
        *triesRemaining = sw & 0x0F;
        return amw::AUTHENTICATION_WRONG_PIN;
    }
    if (sw == 0x6983) {
        *triesRemaining = 0;
        return amw::AUTHENTICATION_PIN_BLOCKED;
    }
    if (tolerateUnknownTries && (sw == 0x6985 || sw == 0x6F10))
        return unknownTries(triesRemaining);
    checkStatusWord(sw);
    return amw::AUTHENTICATION_SUCCESS;
}

}  // namespace

std::uint16_t exchangeApdu(ctl::CardConnection& connection, const std::uint8_t* command,
                           std::size_t commandLength, std::uint8_t* response,
                           std::size_t* responseLength, bool sensitive) {
    if (sensitive)
        QV_TRACE("-> %02X %02X %02X %02X ******", command[0], command[1], command[2], command[3]);
    else
        QV_TRACE_BYTES_WRAPPED("->", command, commandLength);
    std::uint16_t sw;
    try {
        sw = connection.transmit(
            command, commandLength, response, responseLength,
            sensitive ? static_cast<std::uint32_t>(ctl::CardConnection::SENSITIVE) : 0u);
    } catch (...) {
        QV_TRACE("Transmit error");
        throw;
    }
    if (sensitive)
        QV_TRACE("<- ******");
    else
        QV_TRACE_BYTES_WRAPPED("<-", response, *responseLength);
    QV_TRACE("SW = %04X", static_cast<unsigned>(sw));
    return sw;
}

void checkStatusWord(std::uint16_t sw) {
    switch (sw) {
    case 0x6982:
        throw amw::SecurityViolationException();
    case 0x6D00:
        throw amw::AppletNotSelectedException();
    case 0x6F03:
        throw amw::CardOutOfMemoryException();
    case 0x6F18:
        throw amw::PinPolicyViolationException();
    case 0x9000:
        return;
    default:
        throw amw::SWException(sw);
    }
}

bool handlePinPadSW(std::uint16_t sw, amw::PinPadNotifier* notifier,
                    std::uint32_t& triesRemaining) {
    QV_TRACE_NAMED("sw", numberText(sw));
    switch (sw) {
    case 0x6400:
        throw amw::PinPadException(amw::PinPadException::AUTHENTICATION_PINPAD_TIMEOUT);
    case 0x6401:
        if (notifier)
            notifier->onPinPadCancelled();
        throw amw::PinPadException(amw::PinPadException::AUTHENTICATION_PINPAD_CANCELED);
    case 0x6402:
        if (!notifier)
            throw amw::PinPadException(
                amw::PinPadException::AUTHENTICATION_PINPAD_MODIFY_PIN_MISMATCH);
        notifier->onPinMismatch();
        return true;
    case 0x6403:
        if (!notifier)
            throw amw::PinPadException(
                amw::PinPadException::AUTHENTICATION_PINPAD_PIN_TOO_SHORT_OR_TOO_LONG);
        notifier->onPinLengthError();
        return true;
    case 0x6983:
        triesRemaining = 0;
        if (notifier)
            notifier->onPinBlocked();
        return false;
    default:
        break;
    }
    if (isWrongPin(sw)) {
        triesRemaining = sw & 0x0F;
        if (!notifier)
            return false;
        notifier->onWrongPin(triesRemaining);
        return true;
    }
    return false;
}

namespace apdu {

const std::uint8_t APPLET_ID[9] = {0xF0, 'Q', 'V', 'K', 'A', 0x01, 0x00, 0x00, 0x41};

std::string componentText(std::uint8_t component) {
    static const EnumName names[] = {
        {COMPONENT_P, "amwkalvik::apdu::COMPONENT_P"},
        {COMPONENT_Q, "amwkalvik::apdu::COMPONENT_Q"},
        {COMPONENT_DP, "amwkalvik::apdu::COMPONENT_DP"},
        {COMPONENT_DQ, "amwkalvik::apdu::COMPONENT_DQ"},
        {COMPONENT_INV, "amwkalvik::apdu::COMPONENT_INV"},
        {COMPONENT_N, "amwkalvik::apdu::COMPONENT_N"},
        {COMPONENT_E, "amwkalvik::apdu::COMPONENT_E"},
    };
    return enumText(component, names);
}

namespace {

// A command whose response is only checked for its status word.
void sendSimple(ctl::CardConnection& connection, const Command& command, bool sensitive = false) {
    checkStatusWord(send(connection, command, sensitive).sw);
}

// The label and the bytes, or only the mask for secret data.
void traceData(const char* label, const std::uint8_t* data, std::size_t length, bool secret) {
    if (secret)
        QV_TRACE("%s******", label);
    else
        QV_TRACE_BYTES_WRAPPED(label, data, length);
}

// A command with a 16-bit size as its data; the card keeps the low 16 bits.
void sendSize(ctl::CardConnection& connection, Instruction ins, std::uint16_t blockId,
              std::uint64_t size) {
    std::uint8_t data[2];
    putWord(data, static_cast<std::uint16_t>(size));
    sendSimple(connection, Command::forBlock(ins, blockId).data(data, 2));
}

// The first command of every new object; the rest follows with its metadata.
void createObject(ctl::CardConnection& connection, ObjectKind kind, const std::uint8_t* data,
                  std::size_t length) {
    sendSimple(connection, Command::applet(INS_CREATE_OBJECT, 0x00, kind).data(data, length));
}

// Copies `name` into 8 zero-padded bytes.
void putName(std::uint8_t* out, const std::uint8_t* name, std::size_t size) {
    std::memset(out, 0, 8);
    std::memcpy(out, name, size);
}

}  // namespace

void selectApplet(ctl::CardConnection& connection) {
    QV_ENTER("amwkalvik::apdu::selectApplet");
    Response response = send(connection, Command::select().data(APPLET_ID, sizeof APPLET_ID));
    checkExact(response, 0);
}

void getVersion(ctl::CardConnection& connection, std::uint8_t* versionMajor,
                std::uint8_t* versionMinor) {
    QV_ENTER("amwkalvik::apdu::getVersion");
    QV_REQUIRE(versionMajor);
    QV_REQUIRE(versionMinor);
    Response response = receive(connection, Command::applet(INS_GET_VERSION), 2);
    *versionMajor = response.data[0];
    *versionMinor = response.data[1];
}

void getCardSerialNumber(ctl::CardConnection& connection, std::uint8_t* serial) {
    QV_ENTER("amwkalvik::apdu::getCardSerialNumber");
    std::memcpy(
        serial,
        receive(connection, Command::applet(INS_GET_CARD_SERIAL_NUMBER), SERIAL_NUMBER_SIZE).data,
        SERIAL_NUMBER_SIZE);
}

void getMemoryInfo(ctl::CardConnection& connection, std::uint32_t* blockSize,
                   std::uint32_t* bytesTotal, std::uint32_t* bytesAvaliable) {
    QV_ENTER("amwkalvik::apdu::getMemoryInfo");
    Response response = receive(connection, Command::applet(INS_GET_INFO, INFO_MEMORY), 8);
    const std::uint32_t size = readWord(response.data);
    const std::uint32_t total = readWord(response.data + 2);
    const std::uint32_t available = readWord(response.data + 4);
    *blockSize = size;
    *bytesTotal = total * size;
    *bytesAvaliable = available * size;
    QV_TRACE_OUT_VALUE(*blockSize);
    QV_TRACE_OUT_NAMED("total_block_count", numberText(total));
    QV_TRACE_OUT_NAMED("free_block_count", numberText(available));
    QV_TRACE_OUT_VALUE(*bytesTotal);
    QV_TRACE_OUT_VALUE(*bytesAvaliable);
}

void getGacInfo(ctl::CardConnection& connection, std::uint8_t* info) {
    QV_ENTER("amwkalvik::apdu::getGacInfo");
    std::memcpy(info,
                receive(connection, Command::applet(INS_GET_INFO, INFO_GAC), GAC_INFO_SIZE).data,
                GAC_INFO_SIZE);
}

std::size_t getJckpInfo(ctl::CardConnection& connection, SlotInfo* slots, std::size_t capacity) {
    QV_ENTER("amwkalvik::apdu::getJckpInfo");
    Response response =
        sendAdjustingLe(connection, Command::applet(INS_GET_INFO, INFO_JCKP).le(0x00));
    checkStatusWord(response.sw);
    if (response.length % 3 != 0)
        throw InternalErrorException("unexpected response length in APDU (JCKP INFO) %d bytes",
                                     static_cast<int>(response.length));
    const std::size_t count = response.length / 3;
    if (count > capacity)
        throw InternalErrorException(
            "insufficient count of SlotInfo for storing information about key slots in APDU "
            "(JCKP INFO) requested = %d, actual = %d",
            static_cast<int>(count), static_cast<int>(capacity));
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* record = response.data + 3 * i;
        slots[i].flag = record[0] != 0;
        slots[i].keySize = readWord(record + 1);
    }
    QV_TRACE_OUT_VALUE(count);
    return count;
}

std::uint8_t getActivationInfo(ctl::CardConnection& connection) {
    QV_ENTER("amwkalvik::apdu::getActivationInfo");
    return receive(connection, Command::applet(INS_GET_INFO, INFO_ACTIVATION), 1).data[0];
}

void getCardId(ctl::CardConnection& connection, std::uint8_t* cardId) {
    QV_ENTER("amwkalvik::apdu::getCardId");
    std::memcpy(cardId, receive(connection, Command::applet(INS_GET_CARD_ID), CARD_ID_SIZE).data,
                CARD_ID_SIZE);
}

void setCardId(ctl::CardConnection& connection, const std::uint8_t* cardId) {
    QV_ENTER("amwkalvik::apdu::setCardId");
    QV_TRACE_BYTES_WRAPPED("cardId = ", cardId, CARD_ID_SIZE);
    checkExact(send(connection, Command::applet(INS_SET_CARD_ID).data(cardId, CARD_ID_SIZE)), 0);
}

void getHeads(ctl::CardConnection& connection, const HeadsRequest& heads) {
    QV_ENTER("amwkalvik::apdu::getHeads");
    Response response = receive(connection, Command::applet(INS_GET_HEADS), 10);
    std::uint16_t* const targets[5] = {heads.dataObjects, heads.keyPairs, heads.certificates,
                                       heads.directories, heads.files};
    for (std::size_t i = 0; i < 5; ++i) {
        if (targets[i])
            *targets[i] = readWord(response.data + 2 * i);
    }
}

bool getCacheFreshness(ctl::CardConnection& connection, std::uint8_t* buffer,
                       std::size_t bufferSize) {
    QV_ENTER("amwkalvik::apdu::getCacheFreshness");
    QV_TRACE_VALUE(bufferSize);
    QV_REQUIRE(buffer);
    QV_REQUIRE_RANGE(bufferSize, 1, 255);
    Response response =
        send(connection,
             Command::applet(INS_GET_CACHE_FRESHNESS).le(static_cast<std::uint8_t>(bufferSize)));
    if (!isWrongLe(response.sw))
        checkStatusWord(response.sw);
    if (response.sw != 0x9000 || response.length != bufferSize)
        return false;
    std::memcpy(buffer, response.data, bufferSize);
    return true;
}

void setCacheFreshness(ctl::CardConnection& connection, const std::uint8_t* buffer,
                       std::size_t bufferSize) {
    QV_ENTER("amwkalvik::apdu::setCacheFreshness");
    QV_TRACE_VALUE(bufferSize);
    QV_REQUIRE(buffer);
    QV_REQUIRE_RANGE(bufferSize, 1, 255);
    sendSimple(connection, Command::applet(INS_SET_CACHE_FRESHNESS).data(buffer, bufferSize));
}

std::uint8_t getAuthState(ctl::CardConnection& connection) {
    QV_ENTER("amwkalvik::apdu::getAuthState");
    return receive(connection, Command::applet(INS_GET_AUTH_STATE), 1).data[0];
}

void activateCard(ctl::CardConnection& connection) {
    QV_ENTER("amwkalvik::apdu::activateCard");
    sendSimple(connection, Command::applet(INS_ACTIVATE_CARD).le(0x00));
}

void deleteObject(ctl::CardConnection& connection, std::uint16_t blockId) {
    QV_ENTER("amwkalvik::apdu::deleteObject");
    QV_TRACE_VALUE(blockId);
    sendSimple(connection, Command::forBlock(INS_DELETE_OBJECT, blockId).le(0x00));
}

void writeData(ctl::CardConnection& connection, const std::uint8_t* buf, std::size_t length,
               bool sensitive) {
    QV_ENTER("amwkalvik::apdu::writeData");
    QV_TRACE_VALUE(length);
    if (length == 0)
        return;
    QV_REQUIRE(buf);
    traceData("buf = ", buf, length, sensitive);
    for (std::size_t offset = 0; offset < length;) {
        const std::size_t piece = std::min(length - offset, Command::MAX_DATA);
        sendSimple(connection, Command::applet(INS_WRITE_DATA).data(buf + offset, piece),
                   sensitive);
        offset += piece;
    }
}

void readData(ctl::CardConnection& connection, std::uint8_t* buf, std::size_t bufSize,
              bool sensitive) {
    QV_ENTER("amwkalvik::apdu::readData");
    QV_TRACE_VALUE(bufSize);
    if (bufSize == 0)
        return;
    QV_REQUIRE(buf);
    for (std::size_t offset = 0; offset < bufSize;) {
        const std::size_t remaining = bufSize - offset;
        const std::size_t piece = remaining < 256 ? remaining : 255;
        Response response =
            send(connection, Command::applet(INS_READ_DATA).le(static_cast<std::uint8_t>(piece)),
                 sensitive);
        checkExact(response, piece);
        std::memcpy(buf + offset, response.data, piece);
        offset += piece;
    }
}

void removeContent(ctl::CardConnection& connection, std::uint16_t blockId) {
    QV_ENTER("amwkalvik::apdu::removeContent");
    QV_TRACE_VALUE(blockId);
    Response response = send(connection, Command::forBlock(INS_REMOVE_CONTENT, blockId).le(0x00));
    if (response.sw != 0x6A83)
        checkStatusWord(response.sw);
}

void beginUpdateMetadata(ctl::CardConnection& connection, std::uint16_t blockId,
                         std::uint64_t metadataSize) {
    QV_ENTER("amwkalvik::apdu::beginUpdateMetadata");
    QV_TRACE_VALUE(blockId);
    QV_TRACE_VALUE(metadataSize);
    QV_REQUIRE_RANGE(metadataSize, 0, 0xFFFFFFFFLL);
    sendSize(connection, INS_BEGIN_UPDATE_METADATA, blockId, metadataSize);
}

void beginReadMetadata(ctl::CardConnection& connection, std::uint16_t blockId, std::uint8_t* header,
                       std::size_t headerSize) {
    QV_ENTER("amwkalvik::apdu::beginReadMetadata");
    QV_TRACE_VALUE(blockId);
    QV_TRACE_VALUE(headerSize);
    QV_REQUIRE(header);
    QV_REQUIRE_RANGE(headerSize, 1, 255);
    std::memcpy(
        header,
        receive(connection, Command::forBlock(INS_BEGIN_READ_METADATA, blockId), headerSize).data,
        headerSize);
    for (std::size_t offset = 1; offset + 2 <= headerSize && offset <= 15; offset += 2) {
        const std::uint16_t value = readWord(header + offset);
        std::memcpy(header + offset, &value, sizeof value);
    }
}

void createContent(ctl::CardConnection& connection, std::uint16_t blockId,
                   std::uint64_t contentSize) {
    QV_ENTER("amwkalvik::apdu::createContent");
    QV_TRACE_VALUE(blockId);
    QV_TRACE_VALUE(contentSize);
    QV_REQUIRE_RANGE(contentSize, 0, 4294967294LL);
    sendSize(connection, INS_CREATE_CONTENT, blockId, contentSize);
}

std::uint16_t beginReadContent(ctl::CardConnection& connection, std::uint16_t blockId) {
    QV_ENTER("amwkalvik::apdu::beginReadContent");
    QV_TRACE_VALUE(blockId);
    Response response =
        send(connection, Command::forBlock(INS_BEGIN_READ_CONTENT, blockId).le(0x02));
    if (response.sw == 0x6A83)
        return 0;
    checkExact(response, 2);
    return readWord(response.data);
}

void commitUpdateContent(ctl::CardConnection& connection) {
    QV_ENTER("amwkalvik::apdu::commitUpdateContent");
    sendSimple(connection, Command::applet(INS_COMMIT_UPDATE_CONTENT).le(0x00));
}

std::uint16_t commitCreationOrUpdateMetadata(ctl::CardConnection& connection) {
    QV_ENTER("amwkalvik::apdu::commitCreationOrUpdateMetadata");
    const std::uint16_t blockId = readWord(
        receive(connection, Command::applet(INS_COMMIT_CREATION_OR_UPDATE_METADATA), 2).data);
    QV_TRACE_OUT_VALUE(blockId);
    return blockId;
}

void setMetadataSize(ctl::CardConnection& connection, std::uint64_t metadataSize) {
    QV_ENTER("amwkalvik::apdu::setMetadataSize");
    QV_TRACE_VALUE(metadataSize);
    QV_REQUIRE_RANGE(metadataSize, 0, 0xFFFFFFFFLL);
    sendSize(connection, INS_SET_METADATA_SIZE, 0, metadataSize);
}

void createDataObject(ctl::CardConnection& connection, std::uint16_t acExtra,
                      std::uint16_t acReadContent, std::uint16_t acWrite, std::uint16_t acDelete) {
    QV_ENTER("amwkalvik::apdu::createDataObject");
    QV_TRACE_VALUE(acExtra);
    QV_TRACE_VALUE(acReadContent);
    QV_TRACE_VALUE(acWrite);
    QV_TRACE_VALUE(acDelete);
    std::uint8_t data[8];
    putWord(data, acExtra);
    putWord(data + 2, acReadContent);
    putWord(data + 4, acWrite);
    putWord(data + 6, acDelete);
    createObject(connection, KIND_DATA_OBJECT, data, sizeof data);
}

void createKeyPair(ctl::CardConnection& connection, std::uint8_t origin, std::uint16_t keySize,
                   std::uint16_t keyUsage, std::uint8_t keySpec, std::uint8_t containerIndex) {
    QV_ENTER("amwkalvik::apdu::createKeyPair");
    QV_TRACE_VALUE(origin);
    QV_TRACE_VALUE(keySize);
    QV_TRACE_VALUE(keyUsage);
    QV_TRACE_VALUE(keySpec);
    QV_TRACE_VALUE(containerIndex);
    std::uint8_t data[13];
    data[0] = origin;
    putWord(data + 1, keySize);
    putWord(data + 3, keyUsage);
    data[5] = containerIndex;
    data[6] = keySpec;
    // The use, write and delete conditions are the card's defaults.
    std::memset(data + 7, 0xFF, 6);
    createObject(connection, KIND_KEY_PAIR, data, sizeof data);
}

void createCertificate(ctl::CardConnection& connection, bool trusted, std::uint16_t acRead,
                       std::uint16_t acWrite, std::uint16_t acDelete) {
    QV_ENTER("amwkalvik::apdu::createCertificate");
    QV_TRACE_VALUE(trusted);
    QV_TRACE_VALUE(acRead);
    QV_TRACE_VALUE(acWrite);
    QV_TRACE_VALUE(acDelete);
    std::uint8_t data[7];
    data[0] = trusted ? 0x01 : 0x00;
    putWord(data + 1, acRead);
    putWord(data + 3, acWrite);
    putWord(data + 5, acDelete);
    createObject(connection, KIND_CERTIFICATE, data, sizeof data);
}

void createDirectory(ctl::CardConnection& connection, const std::uint8_t* directoryName,
                     std::size_t directoryNameSize, std::uint16_t acWrite, std::uint16_t acDelete) {
    QV_ENTER("amwkalvik::apdu::createDirectory");
    QV_REQUIRE(directoryName);
    QV_REQUIRE_RANGE(directoryNameSize, 1, 8);
    QV_TRACE_BYTES_WRAPPED("directoryName = ", directoryName, directoryNameSize);
    QV_TRACE_VALUE(acWrite);
    QV_TRACE_VALUE(acDelete);
    std::uint8_t data[12];
    putName(data, directoryName, directoryNameSize);
    // The card takes the delete condition first.
    putWord(data + 8, acDelete);
    putWord(data + 10, acWrite);
    createObject(connection, KIND_DIRECTORY, data, sizeof data);
}

void createFile(ctl::CardConnection& connection, std::uint16_t directoryBlockId,
                const std::uint8_t* fileName, std::size_t fileNameSize, std::uint16_t acRead,
                std::uint16_t acWrite, std::uint16_t acDelete) {
    QV_ENTER("amwkalvik::apdu::createFile");
    QV_TRACE_VALUE(directoryBlockId);
    QV_REQUIRE(fileName);
    QV_REQUIRE_RANGE(fileNameSize, 1, 8);
    QV_TRACE_BYTES_WRAPPED("fileName = ", fileName, fileNameSize);
    QV_TRACE_VALUE(acRead);
    QV_TRACE_VALUE(acWrite);
    QV_TRACE_VALUE(acDelete);
    std::uint8_t data[16];
    putWord(data, directoryBlockId);
    putName(data + 2, fileName, fileNameSize);
    putWord(data + 10, acRead);
    putWord(data + 12, acWrite);
    putWord(data + 14, acDelete);
    createObject(connection, KIND_FILE, data, sizeof data);
}

void generateKeyPair(ctl::CardConnection& connection, const StaticBuffer<256>& request,
                     StaticBuffer<256>& response) {
    QV_ENTER("amwkalvik::apdu::generateKeyPair");
    QV_TRACE_BYTES_WRAPPED("request = ", request.data, request.size());
    QV_REQUIRE_RANGE(request.length, 1, Command::MAX_DATA);
    Response answer =
        send(connection, Command::applet(INS_GENERATE_KEY_PAIR).data(request.data, request.size()));
    checkStatusWord(answer.sw);
    response.assign(answer.data, answer.length);
}

void importComponent(ctl::CardConnection& connection, std::uint8_t component,
                     const std::uint8_t* data, std::size_t dataSize) {
    QV_ENTER("amwkalvik::apdu::importComponent");
    QV_TRACE_NAMED("component", componentText(component));
    QV_REQUIRE_RANGE(dataSize, 0, 256);
    if (dataSize > 0)
        QV_REQUIRE(data);
    // Only the modulus and the public exponent may be seen in the log.
    const bool secret = component != COMPONENT_N && component != COMPONENT_E;
    traceData("data = ", data, dataSize, secret);
    if (component == COMPONENT_E && dataSize % 2 == 0 && dataSize > 0 && data[0] == 0)
        throw InternalErrorException(
            "Public exponent has an even length and has zero at the beginning (remove padding)");
    if (component == COMPONENT_N && dataSize == 256) {
        sendSimple(connection,
                   Command::applet(INS_IMPORT_COMPONENT, component, 0x00).data(data, 128));
        sendSimple(connection,
                   Command::applet(INS_IMPORT_COMPONENT, component, 0x01).data(data + 128, 128));
        return;
    }
    // Only the modulus is ever longer than one command can carry.
    QV_REQUIRE_RANGE(dataSize, 0, Command::MAX_DATA);
    sendSimple(connection,
               Command::applet(INS_IMPORT_COMPONENT, component, 0x00).data(data, dataSize), secret);
}

void getComponent(ctl::CardConnection& connection, std::uint8_t component, std::uint8_t* buffer,
                  std::size_t* size) {
    QV_ENTER("amwkalvik::apdu::getComponent");
    QV_TRACE_NAMED("component", componentText(component));
    if (component != COMPONENT_E && component != COMPONENT_N)
        throw InvalidArgumentException("component must be COMPONENT_E or COMPONENT_N");
    QV_REQUIRE(buffer);
    QV_REQUIRE(size);
    Response response = sendAdjustingLe(
        connection,
        Command::applet(INS_GET_COMPONENT, component).le(component == COMPONENT_E ? 0x03 : 0x00));
    checkStatusWord(response.sw);
    if (response.length > *size)
        throw InvalidArgumentException("insuficienct buffer for store a component");
    std::memcpy(buffer, response.data, response.length);
    *size = response.length;
}

void cryptInit(ctl::CardConnection& connection, std::uint16_t blockId) {
    QV_ENTER("amwkalvik::apdu::cryptInit");
    QV_TRACE_VALUE(blockId);
    sendSimple(connection, Command::forBlock(INS_CRYPT_INIT, blockId).le(0x00));
}

void crypt(ctl::CardConnection& connection, const std::uint8_t* data, bool final,
           std::uint8_t* signedData, std::size_t signedDataSize, bool sensitive) {
    QV_ENTER("amwkalvik::apdu::crypt");
    QV_REQUIRE(data);
    traceData("data = ", data, CRYPT_BLOCK_SIZE, sensitive);
    QV_TRACE_VALUE(signedDataSize);
    if (final) {
        if (signedData == nullptr)
            throw InternalErrorException(
                "apdu::crypt() final crypto operation needs non-NULL signedData parameter");
        if (signedDataSize != 128 && signedDataSize != 256)
            throw InternalErrorException("apdu::crypt() unexpected signedDataSize (%u)",
                                         static_cast<unsigned>(signedDataSize));
    } else if (signedDataSize != 0 && signedData == nullptr) {
        QV_REQUIRE(signedData);
    }
    Response response = send(connection,
                             Command::applet(final ? INS_CRYPT_FINAL : INS_CRYPT)
                                 .data(data, CRYPT_BLOCK_SIZE)
                                 .le(static_cast<std::uint8_t>(signedDataSize & 0xFF)),
                             sensitive);
    checkExact(response, signedDataSize);
    if (signedDataSize > 0)
        std::memcpy(signedData, response.data, signedDataSize);
}

void amendKeypair(ctl::CardConnection& connection, std::uint16_t blockId, std::uint8_t operation) {
    QV_ENTER("amwkalvik::apdu::amendKeypair");
    QV_TRACE_VALUE(blockId);
    QV_TRACE_VALUE(operation);
    checkExact(send(connection, Command::forBlock(INS_AMEND_KEYPAIR, blockId).data(&operation, 1)),
               0);
}

void continueAmendKeyPair(ctl::CardConnection& connection, std::uint8_t p1, std::uint8_t p2,
                          std::uint16_t word, std::uint64_t metadataSize) {
    QV_ENTER("amwkalvik::apdu::continueAmendKeyPair");
    QV_TRACE_VALUE(p1);
    QV_TRACE_VALUE(p2);
    QV_TRACE_VALUE(word);
    QV_TRACE_VALUE(metadataSize);
    QV_REQUIRE_RANGE(metadataSize, 0, 4294967295LL);
    std::uint8_t data[4];
    putWord(data, word);
    putWord(data + 2, static_cast<std::uint16_t>(metadataSize));
    checkExact(send(connection,
                    Command::applet(INS_CONTINUE_AMEND_KEY_PAIR, p1, p2).data(data, sizeof data)),
               0);
}

amw::AuthenticationResult authenticate(ctl::CardConnection& connection, std::uint8_t role,
                                       bool sessionPin, std::uint32_t type,
                                       const std::uint8_t* authData, std::size_t authDataSize,
                                       std::uint32_t* triesRemaining,
                                       amw::PinPadNotifier* notifier) {
    QV_ENTER("amwkalvik::apdu::authenticate");
    QV_TRACE_VALUE(role);
    QV_TRACE_VALUE(sessionPin);
    QV_TRACE_NAMED("type", amw::authenticationTypeText(type));
    const bool pinPad = connection.isPinPadAvailable();
    QV_TRACE_NAMED("cc->isPinPadAvailable()", boolText(pinPad));
    QV_REQUIRE(triesRemaining);

    std::uint8_t data[16] = {};
    std::size_t lc;
    const bool typedPin = type == amw::AuthenticationObject::PIN && !sessionPin;
    if (!typedPin) {
        if (authData == nullptr || authDataSize != 8) {
            QV_TRACE("invalid auth data");
            return amw::AUTHENTICATION_WRONG_PIN;
        }
        lc = 8;
        std::memcpy(data, authData, 8);
    } else {
        if (!pinPad && (authData == nullptr || authDataSize > 16)) {
            QV_TRACE("invalid auth data");
            return amw::AUTHENTICATION_WRONG_PIN;
        }
        lc = 16;
        if (!pinPad && authDataSize > 0)
            std::memcpy(data, authData, authDataSize);
    }
    Command command =
        Command::applet(INS_AUTHENTICATE, role, sessionPin ? 0x02 : 0x00).data(data, lc);

    std::uint16_t sw;
    if (typedPin && pinPad) {
        sw = runPinPadLoop(notifier, *triesRemaining, command,
                           [&](const std::uint8_t* bytes, std::size_t size) {
                               return connection.pinPadVerify(5, bytes, size);
                           });
    } else {
        sw = send(connection, command, true).sw;
    }
    return authenticationResult(sw, triesRemaining, true);
}

void deauthenticate(ctl::CardConnection& connection, std::uint8_t role) {
    QV_ENTER("amwkalvik::apdu::deauthenticate");
    QV_TRACE_VALUE(role);
    sendSimple(connection, Command::applet(INS_DEAUTHENTICATE, role).le(0x00));
}

void getChallenge(ctl::CardConnection& connection, std::uint8_t role,
                  StaticBuffer<128>* challenge) {
    QV_ENTER("amwkalvik::apdu::getChallenge");
    QV_TRACE_VALUE(role);
    QV_REQUIRE(challenge);
    challenge->assign(receive(connection, Command::applet(INS_GET_CHALLENGE, role), 8).data, 8);
}

void generateSessionPin(ctl::CardConnection& connection, std::uint8_t role,
                        StaticBuffer<128>* sessionPin) {
    QV_ENTER("amwkalvik::apdu::generateSessionPin");
    QV_TRACE_VALUE(role);
    QV_REQUIRE(sessionPin);
    // The answer is a secret that re-authenticates the role: never traced.
    sessionPin->assign(
        receive(connection, Command::applet(INS_GENERATE_SESSION_PIN, role), 8, true).data, 8);
}

void changePin(ctl::CardConnection& connection, std::uint8_t role, bool isAuthObjectPin,
               const std::uint8_t* authData, std::size_t authDataSize,
               amw::PinPadNotifier* notifier) {
    QV_ENTER("amwkalvik::apdu::changePin");
    QV_TRACE_VALUE(role);
    QV_TRACE_VALUE(isAuthObjectPin);
    const bool pinPad = connection.isPinPadAvailable();
    QV_TRACE_NAMED("is_pinpad", boolText(pinPad));

    if (pinPad && isAuthObjectPin) {
        const std::uint8_t zeros[16] = {};
        Command command = Command::applet(INS_CHANGE_PIN, 0x00, role).data(zeros, sizeof zeros);
        std::uint32_t tries = 0;
        std::uint16_t sw = runPinPadLoop(
            notifier, tries, command, [&](const std::uint8_t* bytes, std::size_t size) {
                return connection.pinPadModify(0, 1, 5, 5, bytes, size);
            });
        checkStatusWord(sw);
        return;
    }

    QV_REQUIRE(authData);
    std::uint8_t data[24] = {};
    std::size_t lc;
    if (isAuthObjectPin) {
        QV_REQUIRE_RANGE(authDataSize, 1, 16);
        lc = 16;
    } else {
        QV_REQUIRE_VALID(authDataSize == 24, "authDataSize");
        lc = 24;
    }
    std::memcpy(data, authData, authDataSize);
    checkStatusWord(
        send(connection, Command::applet(INS_CHANGE_PIN, 0x00, role).data(data, lc), true).sw);
}

amw::AuthenticationResult unblockPin(ctl::CardConnection& connection, std::uint8_t role,
                                     std::uint32_t authType, const std::uint8_t* authData,
                                     std::size_t authDataSize, std::uint8_t targetRole,
                                     std::uint32_t targetAuthType, const std::uint8_t* targetData,
                                     std::size_t targetDataSize, std::uint32_t* triesRemaining,
                                     amw::PinPadNotifier* notifier) {
    QV_ENTER("amwkalvik::apdu::unblockPin");
    const bool pinPad = connection.isPinPadAvailable();
    QV_TRACE_VALUE(role);
    QV_TRACE_VALUE(targetRole);
    QV_TRACE_NAMED("is_pinpad", boolText(pinPad));
    QV_TRACE_NAMED("authType", amw::authenticationTypeText(authType));
    QV_TRACE_NAMED("targetAuthType", amw::authenticationTypeText(targetAuthType));
    QV_REQUIRE(triesRemaining);

    const bool authPin = authType == amw::AuthenticationObject::PIN;
    const bool targetPin = targetAuthType == amw::AuthenticationObject::PIN;
    std::uint8_t data[48] = {};
    std::size_t lc = 0;

    if (!pinPad || (!authPin && !targetPin)) {
        QV_REQUIRE_VALID(authData != nullptr && authDataSize != 0, "authData");
        QV_REQUIRE_VALID(targetData != nullptr && targetDataSize != 0, "targetData");
        // The authenticating value, then the new value of the target: a PIN
        // zero-padded to 16 bytes, a key in its own width.
        if (authPin)
            QV_REQUIRE_RANGE(authDataSize, 1, 16);
        else if (authDataSize != 8)
            return unknownTries(triesRemaining);
        if (targetPin)
            QV_REQUIRE_RANGE(targetDataSize, 1, 16);
        else if (targetDataSize != 24)
            return unknownTries(triesRemaining);
        std::memcpy(data, authData, authDataSize);
        lc = authPin ? 16 : 8;
        std::memcpy(data + lc, targetData, targetDataSize);
        lc += targetPin ? 16 : 24;
        const std::uint16_t sw =
            send(connection, Command::applet(INS_UNBLOCK_PIN, role, targetRole).data(data, lc),
                 true)
                .sw;
        return authenticationResult(sw, triesRemaining, false);
    }

    // The reader's PIN pad asks for what is a PIN; keys travel in the command.
    PinPadEntry entry;
    if (authPin && targetPin) {
        lc = 32;
        entry = [&](const std::uint8_t* bytes, std::size_t size) {
            return connection.pinPadModify(1, 1, 5, 21, bytes, size);
        };
    } else if (authPin) {
        QV_REQUIRE_VALID(targetData != nullptr && targetDataSize == 24, "targetData");
        std::memcpy(data + 16, targetData, 24);
        lc = 40;
        entry = [&](const std::uint8_t* bytes, std::size_t size) {
            return connection.pinPadVerify(5, bytes, size);
        };
    } else {
        QV_REQUIRE(authData);
        if (authDataSize != 8)
            return unknownTries(triesRemaining);
        std::memcpy(data, authData, 8);
        lc = 24;
        entry = [&](const std::uint8_t* bytes, std::size_t size) {
            return connection.pinPadModify(0, 1, 0, 13, bytes, size);
        };
    }
    Command command = Command::applet(INS_UNBLOCK_PIN, role, targetRole).data(data, lc);
    const std::uint16_t sw = runPinPadLoop(notifier, *triesRemaining, command, entry);
    return authenticationResult(sw, triesRemaining, false);
}

bool getAuthenticateObject(ctl::CardConnection& connection, std::uint8_t index,
                           std::uint8_t* info) {
    QV_ENTER("amwkalvik::apdu::getAuthenticateObject");
    QV_TRACE_VALUE(index);
    QV_REQUIRE(info);
    return receiveIfPresent(connection, Command::applet(INS_GET_AUTHENTICATE_OBJECT, index, 0x00),
                            info, AUTH_OBJECT_RECORD_SIZE);
}

bool getAuthenticateObjectPinPolicy(ctl::CardConnection& connection, std::uint8_t index,
                                    std::uint8_t* policy, std::size_t size) {
    QV_ENTER("amwkalvik::apdu::getAuthenticateObjectPinPolicy");
    QV_TRACE_VALUE(index);
    QV_REQUIRE(policy);
    if (size != PIN_POLICY_SIZE)
        throw InternalErrorException(
            "invalid size of buffer in getAuthenticateObjectPinPolicy(): actual = %d, expected = "
            "%d",
            static_cast<int>(size), static_cast<int>(PIN_POLICY_SIZE));
    return receiveIfPresent(connection, Command::applet(INS_GET_AUTHENTICATE_OBJECT, index, 0x01),
                            policy, PIN_POLICY_SIZE);
}

}  // namespace apdu
}  // namespace amwkalvik
