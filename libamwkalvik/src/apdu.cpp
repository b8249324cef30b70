#include "amwkalvik/apdu.h"

#include "amw/amwtypes.h"
#include "amw/pinpadnotifier.h"
#include "command.h"
#include "ctl/cardconnection.h"
#include "exceptions.h"
#include "logger.h"
#include "trace.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace amwkalvik {

namespace {

const char* const COMPONENT = "AMWKALVIK_APDU";
const char* const SOURCE = "libamwkalvik/src/apdu";

bool isWrongLe(std::uint16_t sw) { return (sw & 0xFF00) == 0x6C00; }
bool isWrongPin(std::uint16_t sw) { return (sw & 0xFFF0) == 0x63C0; }

void logNumber(const char* name, unsigned long value) {
    QV_TRACE_ARG(COMPONENT, name, numberText(value));
}

void logDump(const char* label, const std::uint8_t* data, std::size_t length) {
    const Logger& logger = Logger::instance();
    if (logger.isEnabled())
        logger.dump(COMPONENT, label, data, length, true);
}

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
    if (tolerateUnknownTries && (sw == 0x6985 || sw == 0x6F10)) {
        *triesRemaining = apdu::TRIES_UNKNOWN;
        return amw::AUTHENTICATION_WRONG_PIN;
    }
    checkStatusWord(sw);
    return amw::AUTHENTICATION_SUCCESS;
}

}  // namespace

std::uint16_t exchangeApdu(ctl::CardConnection& connection, const std::uint8_t* command,
                           std::size_t commandLength, std::uint8_t* response,
                           std::size_t* responseLength, bool sensitive) {
    const Logger& logger = Logger::instance();
    if (logger.isEnabled()) {
        if (sensitive)
            logger.log(COMPONENT, "-> %02X %02X %02X %02X ******", command[0], command[1],
                       command[2], command[3]);
        else
            logger.dump(COMPONENT, "->", command, commandLength, true);
    }
    std::uint16_t sw;
    try {
        sw = connection.transmit(
            command, commandLength, response, responseLength,
            sensitive ? static_cast<std::uint32_t>(ctl::CardConnection::SENSITIVE) : 0u);
    } catch (...) {
        QV_LOG(COMPONENT, "Transmit error");
        throw;
    }
    if (logger.isEnabled()) {
        if (sensitive)
            logger.log(COMPONENT, "<- ******");
        else
            logger.dump(COMPONENT, "<-", response, *responseLength, true);
        logger.log(COMPONENT, "SW = %04X", static_cast<unsigned>(sw));
    }
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
    QV_TRACE_ARG(COMPONENT, "sw", numberText(sw));
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

std::uint8_t hi(std::uint16_t value) { return static_cast<std::uint8_t>(value >> 8); }
std::uint8_t lo(std::uint16_t value) { return static_cast<std::uint8_t>(value); }

// A command without data whose response is only checked for its status word.
void sendSimple(ctl::CardConnection& connection, const Command& command) {
    checkStatusWord(send(connection, command).sw);
}

// A command with a 16-bit size as its data; the card keeps the low 16 bits.
void sendSize(ctl::CardConnection& connection, std::uint8_t ins, std::uint16_t blockId,
              std::uint64_t size) {
    std::uint8_t data[2];
    putWord(data, static_cast<std::uint16_t>(size));
    sendSimple(connection, Command::applet(ins, hi(blockId), lo(blockId)).data(data, 2));
}

// Copies `name` into 8 zero-padded bytes.
void putName(std::uint8_t* out, const std::uint8_t* name, std::size_t size) {
    std::memset(out, 0, 8);
    std::memcpy(out, name, size);
}

}  // namespace

void selectApplet(ctl::CardConnection& connection) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::selectApplet");
    Response response = send(connection, Command(0x00, 0xA4, 0x04, 0x00).data(APPLET_ID, 9));
    checkExact(response, 0);
}

void getVersion(ctl::CardConnection& connection, std::uint8_t* versionMajor,
                std::uint8_t* versionMinor) {
    static const char* const FUNCTION = "amwkalvik::apdu::getVersion";
    TraceScope trace(COMPONENT, FUNCTION);
    QV_CHECK_NOT_NULL(versionMajor, "versionMajor", FUNCTION, SOURCE, __LINE__);
    QV_CHECK_NOT_NULL(versionMinor, "versionMinor", FUNCTION, SOURCE, __LINE__);
    Response response = receive(connection, Command::applet(0x02), 2);
    *versionMajor = response.data[0];
    *versionMinor = response.data[1];
}

void getCardSerialNumber(ctl::CardConnection& connection, std::uint8_t* serial) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::getCardSerialNumber");
    std::memcpy(serial, receive(connection, Command::applet(0x04), SERIAL_NUMBER_SIZE).data,
                SERIAL_NUMBER_SIZE);
}

void getMemoryInfo(ctl::CardConnection& connection, std::uint32_t* blockSize,
                   std::uint32_t* bytesTotal, std::uint32_t* bytesAvaliable) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::getMemoryInfo");
    Response response = receive(connection, Command::applet(0x06, 0x01), 8);
    const std::uint32_t size = readWord(response.data);
    const std::uint32_t total = readWord(response.data + 2);
    const std::uint32_t available = readWord(response.data + 4);
    *blockSize = size;
    *bytesTotal = total * size;
    *bytesAvaliable = available * size;
    QV_TRACE_OUT(COMPONENT, "*blockSize", numberText(*blockSize));
    QV_TRACE_OUT(COMPONENT, "total_block_count", numberText(total));
    QV_TRACE_OUT(COMPONENT, "free_block_count", numberText(available));
    QV_TRACE_OUT(COMPONENT, "*bytesTotal", numberText(*bytesTotal));
    QV_TRACE_OUT(COMPONENT, "*bytesAvaliable", numberText(*bytesAvaliable));
}

void getGacInfo(ctl::CardConnection& connection, std::uint8_t* info) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::getGacInfo");
    std::memcpy(info, receive(connection, Command::applet(0x06, 0x02), GAC_INFO_SIZE).data,
                GAC_INFO_SIZE);
}

std::size_t getJckpInfo(ctl::CardConnection& connection, SlotInfo* slots, std::size_t capacity) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::getJckpInfo");
    Response response = sendAdjustingLe(connection, Command::applet(0x06, 0x03).le(0x00));
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
    QV_TRACE_OUT(COMPONENT, "count", numberText(count));
    return count;
}

std::uint8_t getActivationInfo(ctl::CardConnection& connection) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::getActivationInfo");
    return receive(connection, Command::applet(0x06, 0x04), 1).data[0];
}

void getCardId(ctl::CardConnection& connection, std::uint8_t* cardId) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::getCardId");
    std::memcpy(cardId, receive(connection, Command::applet(0x08), CARD_ID_SIZE).data,
                CARD_ID_SIZE);
}

void setCardId(ctl::CardConnection& connection, const std::uint8_t* cardId) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::setCardId");
    logDump("cardId = ", cardId, CARD_ID_SIZE);
    checkExact(send(connection, Command::applet(0x52).data(cardId, CARD_ID_SIZE)), 0);
}

void getHeads(ctl::CardConnection& connection, const HeadsRequest& heads) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::getHeads");
    Response response = receive(connection, Command::applet(0x0A), 10);
    std::uint16_t* const targets[5] = {heads.dataObjects, heads.keyPairs, heads.certificates,
                                       heads.directories, heads.files};
    for (std::size_t i = 0; i < 5; ++i) {
        if (targets[i])
            *targets[i] = readWord(response.data + 2 * i);
    }
}

bool getCacheFreshness(ctl::CardConnection& connection, std::uint8_t* buffer,
                       std::size_t bufferSize) {
    static const char* const FUNCTION = "amwkalvik::apdu::getCacheFreshness";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("bufferSize", bufferSize);
    QV_CHECK_NOT_NULL(buffer, "buffer", FUNCTION, SOURCE, __LINE__);
    QV_CHECK_RANGE(bufferSize, 1, 255, "bufferSize", FUNCTION, SOURCE, __LINE__);
    Response response =
        send(connection, Command::applet(0x0C).le(static_cast<std::uint8_t>(bufferSize)));
    if (!isWrongLe(response.sw))
        checkStatusWord(response.sw);
    if (response.sw != 0x9000 || response.length != bufferSize)
        return false;
    std::memcpy(buffer, response.data, bufferSize);
    return true;
}

void setCacheFreshness(ctl::CardConnection& connection, const std::uint8_t* buffer,
                       std::size_t bufferSize) {
    static const char* const FUNCTION = "amwkalvik::apdu::setCacheFreshness";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("bufferSize", bufferSize);
    QV_CHECK_NOT_NULL(buffer, "buffer", FUNCTION, SOURCE, __LINE__);
    QV_CHECK_RANGE(bufferSize, 1, 255, "bufferSize", FUNCTION, SOURCE, __LINE__);
    sendSimple(connection, Command::applet(0x0E).data(buffer, bufferSize));
}

std::uint8_t getAuthState(ctl::CardConnection& connection) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::getAuthState");
    return receive(connection, Command::applet(0x50), 1).data[0];
}

void activateCard(ctl::CardConnection& connection) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::activateCard");
    sendSimple(connection, Command::applet(0x30).le(0x00));
}

void deleteObject(ctl::CardConnection& connection, std::uint16_t blockId) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::deleteObject");
    logNumber("blockId", blockId);
    sendSimple(connection, Command::applet(0x10, hi(blockId), lo(blockId)).le(0x00));
}

void writeData(ctl::CardConnection& connection, const std::uint8_t* buf, std::size_t length) {
    static const char* const FUNCTION = "amwkalvik::apdu::writeData";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("length", length);
    if (length == 0)
        return;
    QV_CHECK_NOT_NULL(buf, "buf", FUNCTION, SOURCE, __LINE__);
    logDump("buf = ", buf, length);
    for (std::size_t offset = 0; offset < length;) {
        const std::size_t piece = std::min(length - offset, Command::MAX_DATA);
        sendSimple(connection, Command::applet(0x12).data(buf + offset, piece));
        offset += piece;
    }
}

void readData(ctl::CardConnection& connection, std::uint8_t* buf, std::size_t bufSize) {
    static const char* const FUNCTION = "amwkalvik::apdu::readData";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("bufSize", bufSize);
    if (bufSize == 0)
        return;
    QV_CHECK_NOT_NULL(buf, "buf", FUNCTION, SOURCE, __LINE__);
    for (std::size_t offset = 0; offset < bufSize;) {
        const std::size_t remaining = bufSize - offset;
        const std::size_t piece = remaining < 256 ? remaining : 255;
        Response response =
            send(connection, Command::applet(0x1A).le(static_cast<std::uint8_t>(piece)));
        checkExact(response, piece);
        std::memcpy(buf + offset, response.data, piece);
        offset += piece;
    }
}

void removeContent(ctl::CardConnection& connection, std::uint16_t blockId) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::removeContent");
    logNumber("blockId", blockId);
    Response response = send(connection, Command::applet(0x14, hi(blockId), lo(blockId)).le(0x00));
    if (response.sw != 0x6A83)
        checkStatusWord(response.sw);
}

void beginUpdateMetadata(ctl::CardConnection& connection, std::uint16_t blockId,
                         std::uint64_t metadataSize) {
    static const char* const FUNCTION = "amwkalvik::apdu::beginUpdateMetadata";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("blockId", blockId);
    logNumber("metadataSize", static_cast<unsigned long>(metadataSize));
    QV_CHECK_RANGE(metadataSize, 0, 0xFFFFFFFFLL, "metadataSize", FUNCTION, SOURCE, __LINE__);
    sendSize(connection, 0x16, blockId, metadataSize);
}

void beginReadMetadata(ctl::CardConnection& connection, std::uint16_t blockId, std::uint8_t* header,
                       std::size_t headerSize) {
    static const char* const FUNCTION = "amwkalvik::apdu::beginReadMetadata";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("blockId", blockId);
    logNumber("headerSize", headerSize);
    QV_CHECK_NOT_NULL(header, "header", FUNCTION, SOURCE, __LINE__);
    QV_CHECK_RANGE(headerSize, 1, 255, "headerSize", FUNCTION, SOURCE, __LINE__);
    std::memcpy(
        header,
        receive(connection, Command::applet(0x18, hi(blockId), lo(blockId)), headerSize).data,
        headerSize);
    for (std::size_t offset = 1; offset + 2 <= headerSize && offset <= 15; offset += 2) {
        const std::uint16_t value = readWord(header + offset);
        std::memcpy(header + offset, &value, sizeof value);
    }
}

void createContent(ctl::CardConnection& connection, std::uint16_t blockId,
                   std::uint64_t contentSize) {
    static const char* const FUNCTION = "amwkalvik::apdu::createContent";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("blockId", blockId);
    logNumber("contentSize", static_cast<unsigned long>(contentSize));
    QV_CHECK_RANGE(contentSize, 0, 4294967294LL, "contentSize", FUNCTION, SOURCE, __LINE__);
    sendSize(connection, 0x1C, blockId, contentSize);
}

std::uint16_t beginReadContent(ctl::CardConnection& connection, std::uint16_t blockId) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::beginReadContent");
    logNumber("blockId", blockId);
    Response response = send(connection, Command::applet(0x1E, hi(blockId), lo(blockId)).le(0x02));
    if (response.sw == 0x6A83)
        return 0;
    checkExact(response, 2);
    return readWord(response.data);
}

void commitUpdateContent(ctl::CardConnection& connection) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::commitUpdateContent");
    sendSimple(connection, Command::applet(0x38).le(0x00));
}

std::uint16_t commitCreationOrUpdateMetadata(ctl::CardConnection& connection) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::commitCreationOrUpdateMetadata");
    const std::uint16_t blockId = readWord(receive(connection, Command::applet(0x3A), 2).data);
    QV_TRACE_OUT(COMPONENT, "blockId", numberText(blockId));
    return blockId;
}

void setMetadataSize(ctl::CardConnection& connection, std::uint64_t metadataSize) {
    static const char* const FUNCTION = "amwkalvik::apdu::setMetadataSize";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("metadataSize", static_cast<unsigned long>(metadataSize));
    QV_CHECK_RANGE(metadataSize, 0, 0xFFFFFFFFLL, "metadataSize", FUNCTION, SOURCE, __LINE__);
    sendSize(connection, 0x3C, 0, metadataSize);
}

void createDataObject(ctl::CardConnection& connection, std::uint16_t word1, std::uint16_t word2,
                      std::uint16_t word3, std::uint16_t word4) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::createDataObject");
    logNumber("word1", word1);
    logNumber("word2", word2);
    logNumber("word3", word3);
    logNumber("word4", word4);
    std::uint8_t data[8];
    putWord(data, word1);
    putWord(data + 2, word2);
    putWord(data + 4, word3);
    putWord(data + 6, word4);
    sendSimple(connection, Command::applet(0x3E, 0x00, 0x00).data(data, sizeof data));
}

void createKeyPair(ctl::CardConnection& connection, std::uint8_t origin, std::uint16_t keySize,
                   std::uint16_t keyUsage, std::uint8_t keySpec, std::uint8_t containerIndex) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::createKeyPair");
    logNumber("origin", origin);
    logNumber("keySize", keySize);
    logNumber("keyUsage", keyUsage);
    logNumber("keySpec", keySpec);
    logNumber("containerIndex", containerIndex);
    std::uint8_t data[13];
    data[0] = origin;
    putWord(data + 1, keySize);
    putWord(data + 3, keyUsage);
    data[5] = containerIndex;
    data[6] = keySpec;
    std::memset(data + 7, 0xFF, 6);
    sendSimple(connection, Command::applet(0x3E, 0x00, 0x01).data(data, sizeof data));
}

void createCertificate(ctl::CardConnection& connection, bool trusted, std::uint16_t word1,
                       std::uint16_t word2, std::uint16_t word3) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::createCertificate");
    QV_TRACE_ARG(COMPONENT, "trusted", boolText(trusted));
    logNumber("word1", word1);
    logNumber("word2", word2);
    logNumber("word3", word3);
    std::uint8_t data[7];
    data[0] = trusted ? 0x01 : 0x00;
    putWord(data + 1, word1);
    putWord(data + 3, word2);
    putWord(data + 5, word3);
    sendSimple(connection, Command::applet(0x3E, 0x00, 0x02).data(data, sizeof data));
}

void createDirectory(ctl::CardConnection& connection, const std::uint8_t* directoryName,
                     std::size_t directoryNameSize, std::uint16_t word1, std::uint16_t word2) {
    static const char* const FUNCTION = "amwkalvik::apdu::createDirectory";
    TraceScope trace(COMPONENT, FUNCTION);
    QV_CHECK_NOT_NULL(directoryName, "directoryName", FUNCTION, SOURCE, __LINE__);
    QV_CHECK_RANGE(directoryNameSize, 1, 8, "directoryNameSize", FUNCTION, SOURCE, __LINE__);
    logDump("directoryName = ", directoryName, directoryNameSize);
    logNumber("word1", word1);
    logNumber("word2", word2);
    std::uint8_t data[12];
    putName(data, directoryName, directoryNameSize);
    putWord(data + 8, word2);
    putWord(data + 10, word1);
    sendSimple(connection, Command::applet(0x3E, 0x00, 0x03).data(data, sizeof data));
}

void createFile(ctl::CardConnection& connection, std::uint16_t directoryBlockId,
                const std::uint8_t* fileName, std::size_t fileNameSize, std::uint16_t word1,
                std::uint16_t word2, std::uint16_t word3) {
    static const char* const FUNCTION = "amwkalvik::apdu::createFile";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("directoryBlockId", directoryBlockId);
    QV_CHECK_NOT_NULL(fileName, "fileName", FUNCTION, SOURCE, __LINE__);
    QV_CHECK_RANGE(fileNameSize, 1, 8, "fileNameSize", FUNCTION, SOURCE, __LINE__);
    logDump("fileName = ", fileName, fileNameSize);
    logNumber("word1", word1);
    logNumber("word2", word2);
    logNumber("word3", word3);
    std::uint8_t data[16];
    putWord(data, directoryBlockId);
    putName(data + 2, fileName, fileNameSize);
    putWord(data + 10, word1);
    putWord(data + 12, word2);
    putWord(data + 14, word3);
    sendSimple(connection, Command::applet(0x3E, 0x00, 0x04).data(data, sizeof data));
}

void generateKeyPair(ctl::CardConnection& connection, const StaticBuffer<256>& request,
                     StaticBuffer<256>& response) {
    static const char* const FUNCTION = "amwkalvik::apdu::generateKeyPair";
    TraceScope trace(COMPONENT, FUNCTION);
    logDump("request = ", request.data, request.size());
    QV_CHECK_RANGE(request.length, 1, Command::MAX_DATA, "request.length", FUNCTION, SOURCE,
                   __LINE__);
    Response answer = send(connection, Command::applet(0x40).data(request.data, request.size()));
    checkStatusWord(answer.sw);
    response.assign(answer.data, answer.length);
}

void importComponent(ctl::CardConnection& connection, std::uint8_t component,
                     const std::uint8_t* data, std::size_t dataSize) {
    static const char* const FUNCTION = "amwkalvik::apdu::importComponent";
    TraceScope trace(COMPONENT, FUNCTION);
    QV_TRACE_ARG(COMPONENT, "component", componentText(component));
    QV_CHECK_RANGE(dataSize, 0, 256, "dataSize", FUNCTION, SOURCE, __LINE__);
    if (dataSize > 0)
        QV_CHECK_NOT_NULL(data, "data", FUNCTION, SOURCE, __LINE__);
    logDump("data = ", data, dataSize);
    if (component == COMPONENT_E && dataSize % 2 == 0 && dataSize > 0 && data[0] == 0)
        throw InternalErrorException(
            "Public exponent has an even length and has zero at the beginning (remove padding)");
    if (component == COMPONENT_N && dataSize == 256) {
        sendSimple(connection, Command::applet(0x42, component, 0x00).data(data, 128));
        sendSimple(connection, Command::applet(0x42, component, 0x01).data(data + 128, 128));
        return;
    }
    // Only the modulus is ever longer than one command can carry.
    QV_CHECK_RANGE(dataSize, 0, Command::MAX_DATA, "dataSize", FUNCTION, SOURCE, __LINE__);
    sendSimple(connection, Command::applet(0x42, component, 0x00).data(data, dataSize));
}

void getComponent(ctl::CardConnection& connection, std::uint8_t component, std::uint8_t* buffer,
                  std::size_t* size) {
    static const char* const FUNCTION = "amwkalvik::apdu::getComponent";
    TraceScope trace(COMPONENT, FUNCTION);
    QV_TRACE_ARG(COMPONENT, "component", componentText(component));
    if (component != COMPONENT_E && component != COMPONENT_N)
        throw InvalidArgumentException("component must be COMPONENT_E or COMPONENT_N");
    QV_CHECK_NOT_NULL(buffer, "buffer", FUNCTION, SOURCE, __LINE__);
    QV_CHECK_NOT_NULL(size, "size", FUNCTION, SOURCE, __LINE__);
    Response response = sendAdjustingLe(
        connection, Command::applet(0x44, component).le(component == COMPONENT_E ? 0x03 : 0x00));
    checkStatusWord(response.sw);
    if (response.length > *size)
        throw InvalidArgumentException("insuficienct buffer for store a component");
    std::memcpy(buffer, response.data, response.length);
    *size = response.length;
}

void cryptInit(ctl::CardConnection& connection, std::uint16_t blockId) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::cryptInit");
    logNumber("blockId", blockId);
    sendSimple(connection, Command::applet(0x46, hi(blockId), lo(blockId)).le(0x00));
}

void crypt(ctl::CardConnection& connection, const std::uint8_t* data, bool final,
           std::uint8_t* signedData, std::size_t signedDataSize, bool sensitive) {
    static const char* const FUNCTION = "amwkalvik::apdu::crypt";
    TraceScope trace(COMPONENT, FUNCTION);
    QV_CHECK_NOT_NULL(data, "data", FUNCTION, SOURCE, __LINE__);
    if (sensitive)
        QV_LOG(COMPONENT, "data = ******");
    else
        logDump("data = ", data, CRYPT_BLOCK_SIZE);
    logNumber("signedDataSize", signedDataSize);
    if (final) {
        if (signedData == nullptr)
            throw InternalErrorException(
                "apdu::crypt() final crypto operation needs non-NULL signedData parameter");
        if (signedDataSize != 128 && signedDataSize != 256)
            throw InternalErrorException("apdu::crypt() unexpected signedDataSize (%u)",
                                         static_cast<unsigned>(signedDataSize));
    } else if (signedDataSize != 0 && signedData == nullptr) {
        QV_THROW_NULL_POINTER("signedData", FUNCTION, SOURCE, __LINE__);
    }
    Response response = send(connection,
                             Command::applet(final ? 0x4A : 0x48)
                                 .data(data, CRYPT_BLOCK_SIZE)
                                 .le(static_cast<std::uint8_t>(signedDataSize & 0xFF)),
                             sensitive);
    checkExact(response, signedDataSize);
    if (signedDataSize > 0)
        std::memcpy(signedData, response.data, signedDataSize);
}

void amendKeypair(ctl::CardConnection& connection, std::uint16_t blockId, std::uint8_t operation) {
    TraceScope trace(COMPONENT, "amwkalvik::apdu::amendKeypair");
    logNumber("blockId", blockId);
    logNumber("operation", operation);
    checkExact(
        send(connection, Command::applet(0x4C, hi(blockId), lo(blockId)).data(&operation, 1)), 0);
}

void continueAmendKeyPair(ctl::CardConnection& connection, std::uint8_t p1, std::uint8_t p2,
                          std::uint16_t word, std::uint64_t metadataSize) {
    static const char* const FUNCTION = "amwkalvik::apdu::continueAmendKeyPair";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("p1", p1);
    logNumber("p2", p2);
    logNumber("word", word);
    logNumber("metadataSize", static_cast<unsigned long>(metadataSize));
    QV_CHECK_RANGE(metadataSize, 0, 4294967295LL, "metadataSize", FUNCTION, SOURCE, __LINE__);
    std::uint8_t data[4];
    putWord(data, word);
    putWord(data + 2, static_cast<std::uint16_t>(metadataSize));
    checkExact(send(connection, Command::applet(0x4E, p1, p2).data(data, sizeof data)), 0);
}

amw::AuthenticationResult authenticate(ctl::CardConnection& connection, std::uint8_t role,
                                       bool sessionPin, std::uint32_t type,
                                       const std::uint8_t* authData, std::size_t authDataSize,
                                       std::uint32_t* triesRemaining,
                                       amw::PinPadNotifier* notifier) {
    static const char* const FUNCTION = "amwkalvik::apdu::authenticate";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("role", role);
    QV_TRACE_ARG(COMPONENT, "sessionPin", boolText(sessionPin));
    QV_TRACE_ARG(COMPONENT, "type", amw::authenticationTypeText(type));
    const bool pinPad = connection.isPinPadAvailable();
    QV_TRACE_ARG(COMPONENT, "cc->isPinPadAvailable()", boolText(pinPad));
    QV_CHECK_NOT_NULL(triesRemaining, "triesRemaining", FUNCTION, SOURCE, __LINE__);

    std::uint8_t data[16] = {};
    std::size_t lc;
    const bool typedPin = type == amw::AuthenticationObject::PIN && !sessionPin;
    if (!typedPin) {
        if (authData == nullptr || authDataSize != 8) {
            QV_LOG(COMPONENT, "invalid auth data");
            return amw::AUTHENTICATION_WRONG_PIN;
        }
        lc = 8;
        std::memcpy(data, authData, 8);
    } else {
        if (!pinPad && (authData == nullptr || authDataSize > 16)) {
            QV_LOG(COMPONENT, "invalid auth data");
            return amw::AUTHENTICATION_WRONG_PIN;
        }
        lc = 16;
        if (!pinPad && authDataSize > 0)
            std::memcpy(data, authData, authDataSize);
    }
    Command command = Command::applet(0x20, role, sessionPin ? 0x02 : 0x00).data(data, lc);

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
    TraceScope trace(COMPONENT, "amwkalvik::apdu::deauthenticate");
    logNumber("role", role);
    sendSimple(connection, Command::applet(0x22, role).le(0x00));
}

void getChallenge(ctl::CardConnection& connection, std::uint8_t role,
                  StaticBuffer<128>* challenge) {
    static const char* const FUNCTION = "amwkalvik::apdu::getChallenge";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("role", role);
    QV_CHECK_NOT_NULL(challenge, "challenge", FUNCTION, SOURCE, __LINE__);
    challenge->assign(receive(connection, Command::applet(0x24, role), 8).data, 8);
}

void generateSessionPin(ctl::CardConnection& connection, std::uint8_t role,
                        StaticBuffer<128>* sessionPin) {
    static const char* const FUNCTION = "amwkalvik::apdu::generateSessionPin";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("role", role);
    QV_CHECK_NOT_NULL(sessionPin, "sessionPin", FUNCTION, SOURCE, __LINE__);
    // The answer is a secret that re-authenticates the role: never traced.
    sessionPin->assign(receive(connection, Command::applet(0x2E, role), 8, true).data, 8);
}

void changePin(ctl::CardConnection& connection, std::uint8_t role, bool isAuthObjectPin,
               const std::uint8_t* authData, std::size_t authDataSize,
               amw::PinPadNotifier* notifier) {
    static const char* const FUNCTION = "amwkalvik::apdu::changePin";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("role", role);
    QV_TRACE_ARG(COMPONENT, "isAuthObjectPin", boolText(isAuthObjectPin));
    const bool pinPad = connection.isPinPadAvailable();
    QV_TRACE_ARG(COMPONENT, "is_pinpad", boolText(pinPad));

    if (pinPad && isAuthObjectPin) {
        const std::uint8_t zeros[16] = {};
        Command command = Command::applet(0x26, 0x00, role).data(zeros, sizeof zeros);
        std::uint32_t tries = 0;
        std::uint16_t sw = runPinPadLoop(
            notifier, tries, command, [&](const std::uint8_t* bytes, std::size_t size) {
                return connection.pinPadModify(0, 1, 5, 5, bytes, size);
            });
        checkStatusWord(sw);
        return;
    }

    QV_CHECK_NOT_NULL(authData, "authData", FUNCTION, SOURCE, __LINE__);
    std::uint8_t data[24] = {};
    std::size_t lc;
    if (isAuthObjectPin) {
        QV_CHECK_RANGE(authDataSize, 1, 16, "authDataSize", FUNCTION, SOURCE, __LINE__);
        lc = 16;
    } else {
        if (authDataSize != 24)
            QV_THROW_INVALID_ARGUMENT("authDataSize", FUNCTION, SOURCE, __LINE__);
        lc = 24;
    }
    std::memcpy(data, authData, authDataSize);
    checkStatusWord(send(connection, Command::applet(0x26, 0x00, role).data(data, lc), true).sw);
}

amw::AuthenticationResult unblockPin(ctl::CardConnection& connection, std::uint8_t role,
                                     std::uint32_t authType, const std::uint8_t* authData,
                                     std::size_t authDataSize, std::uint8_t targetRole,
                                     std::uint32_t targetAuthType, const std::uint8_t* targetData,
                                     std::size_t targetDataSize, std::uint32_t* triesRemaining,
                                     amw::PinPadNotifier* notifier) {
    static const char* const FUNCTION = "amwkalvik::apdu::unblockPin";
    TraceScope trace(COMPONENT, FUNCTION);
    const bool pinPad = connection.isPinPadAvailable();
    logNumber("role", role);
    logNumber("targetRole", targetRole);
    QV_TRACE_ARG(COMPONENT, "is_pinpad", boolText(pinPad));
    QV_TRACE_ARG(COMPONENT, "authType", amw::authenticationTypeText(authType));
    QV_TRACE_ARG(COMPONENT, "targetAuthType", amw::authenticationTypeText(targetAuthType));
    QV_CHECK_NOT_NULL(triesRemaining, "triesRemaining", FUNCTION, SOURCE, __LINE__);

    const bool authPin = authType == amw::AuthenticationObject::PIN;
    const bool targetPin = targetAuthType == amw::AuthenticationObject::PIN;
    std::uint8_t data[48] = {};
    std::size_t lc = 0;

    if (!pinPad || (!authPin && !targetPin)) {
        if (authData == nullptr || authDataSize == 0)
            QV_THROW_INVALID_ARGUMENT("authData", FUNCTION, SOURCE, __LINE__);
        if (targetData == nullptr || targetDataSize == 0)
            QV_THROW_INVALID_ARGUMENT("targetData", FUNCTION, SOURCE, __LINE__);
        // The authenticating value, then the new value of the target.
        struct Part {
            bool pin;
            const std::uint8_t* bytes;
            std::size_t size;
            std::size_t keySize;
            const char* sizeName;
        };
        const Part parts[2] = {{authPin, authData, authDataSize, 8, "authDataSize"},
                               {targetPin, targetData, targetDataSize, 24, "targetDataSize"}};
        for (const Part& part : parts) {
            if (part.pin) {
                QV_CHECK_RANGE(part.size, 1, 16, part.sizeName, FUNCTION, SOURCE, __LINE__);
                std::memcpy(data + lc, part.bytes, part.size);
                lc += 16;
            } else {
                if (part.size != part.keySize) {
                    *triesRemaining = TRIES_UNKNOWN;
                    return amw::AUTHENTICATION_WRONG_PIN;
                }
                std::memcpy(data + lc, part.bytes, part.size);
                lc += part.keySize;
            }
        }
        const std::uint16_t sw =
            send(connection, Command::applet(0x28, role, targetRole).data(data, lc), true).sw;
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
        if (targetData == nullptr || targetDataSize != 24)
            QV_THROW_INVALID_ARGUMENT("targetData", FUNCTION, SOURCE, __LINE__);
        std::memcpy(data + 16, targetData, 24);
        lc = 40;
        entry = [&](const std::uint8_t* bytes, std::size_t size) {
            return connection.pinPadVerify(5, bytes, size);
        };
    } else {
        QV_CHECK_NOT_NULL(authData, "authData", FUNCTION, SOURCE, __LINE__);
        if (authDataSize != 8) {
            *triesRemaining = TRIES_UNKNOWN;
            return amw::AUTHENTICATION_WRONG_PIN;
        }
        std::memcpy(data, authData, 8);
        lc = 24;
        entry = [&](const std::uint8_t* bytes, std::size_t size) {
            return connection.pinPadModify(0, 1, 0, 13, bytes, size);
        };
    }
    Command command = Command::applet(0x28, role, targetRole).data(data, lc);
    const std::uint16_t sw = runPinPadLoop(notifier, *triesRemaining, command, entry);
    return authenticationResult(sw, triesRemaining, false);
}

bool getAuthenticateObject(ctl::CardConnection& connection, std::uint8_t index,
                           std::uint8_t* info) {
    static const char* const FUNCTION = "amwkalvik::apdu::getAuthenticateObject";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("index", index);
    QV_CHECK_NOT_NULL(info, "info", FUNCTION, SOURCE, __LINE__);
    return receiveIfPresent(connection, Command::applet(0x2C, index, 0x00), info,
                            AUTH_OBJECT_RECORD_SIZE);
}

bool getAuthenticateObjectPinPolicy(ctl::CardConnection& connection, std::uint8_t index,
                                    std::uint8_t* policy, std::size_t size) {
    static const char* const FUNCTION = "amwkalvik::apdu::getAuthenticateObjectPinPolicy";
    TraceScope trace(COMPONENT, FUNCTION);
    logNumber("index", index);
    QV_CHECK_NOT_NULL(policy, "policy", FUNCTION, SOURCE, __LINE__);
    if (size != PIN_POLICY_SIZE)
        throw InternalErrorException(
            "invalid size of buffer in getAuthenticateObjectPinPolicy(): actual = %d, expected = "
            "%d",
            static_cast<int>(size), static_cast<int>(PIN_POLICY_SIZE));
    return receiveIfPresent(connection, Command::applet(0x2C, index, 0x01), policy,
                            PIN_POLICY_SIZE);
}

}  // namespace apdu
}  // namespace amwkalvik
