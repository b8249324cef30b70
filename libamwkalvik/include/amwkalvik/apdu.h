#pragma once
// The Kalvik applet's command set and the exchange underneath it.
//
// Every command goes through exchangeApdu (which traces it, masking secret
// exchanges) and, apart from the status words a command tolerates, through
// checkStatusWord. All responses are read into a 258-byte buffer.
#include "amw/amwtypes.h"
#include "amw/objects.h"
#include "staticbuffer.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ctl {
class CardConnection;
}
namespace amw {
class PinPadNotifier;
}

namespace amwkalvik {

// Capacity of every response buffer: 256 data bytes and the status word.
constexpr std::size_t RESPONSE_CAPACITY = 258;

// Block id that ends a chain and marks a host object not yet on the card.
constexpr std::uint16_t NO_BLOCK = 0x8000;

// Sends `command` and returns the status word. `responseLength` holds the
// capacity of `response` on entry and the data length (without SW) on return.
// With `sensitive` neither the command data nor the response is traced.
std::uint16_t exchangeApdu(ctl::CardConnection& connection, const std::uint8_t* command,
                           std::size_t commandLength, std::uint8_t* response,
                           std::size_t* responseLength, bool sensitive);

// Returns for 9000; throws the matching amw exception for anything else.
void checkStatusWord(std::uint16_t sw);

// Interprets the status word of one PIN pad entry; true when the entry is
// to be offered again. Updates `triesRemaining` for 63Cx and 6983.
bool handlePinPadSW(std::uint16_t sw, amw::PinPadNotifier* notifier, std::uint32_t& triesRemaining);

namespace apdu {

// Instruction bytes of the applet's commands (class 0x80; SELECT is class 0x00).
enum Instruction : std::uint8_t {
    INS_GET_VERSION = 0x02,
    INS_GET_CARD_SERIAL_NUMBER = 0x04,
    INS_GET_INFO = 0x06,  // P1 is an InfoRecord
    INS_GET_CARD_ID = 0x08,
    INS_GET_HEADS = 0x0A,
    INS_GET_CACHE_FRESHNESS = 0x0C,
    INS_SET_CACHE_FRESHNESS = 0x0E,
    INS_DELETE_OBJECT = 0x10,
    INS_WRITE_DATA = 0x12,
    INS_REMOVE_CONTENT = 0x14,
    INS_BEGIN_UPDATE_METADATA = 0x16,
    INS_BEGIN_READ_METADATA = 0x18,
    INS_READ_DATA = 0x1A,
    INS_CREATE_CONTENT = 0x1C,
    INS_BEGIN_READ_CONTENT = 0x1E,
    INS_AUTHENTICATE = 0x20,
    INS_DEAUTHENTICATE = 0x22,
    INS_GET_CHALLENGE = 0x24,
    INS_CHANGE_PIN = 0x26,
    INS_UNBLOCK_PIN = 0x28,
    INS_GET_AUTHENTICATE_OBJECT = 0x2C,  // P2 00 the record, 01 the PIN policy
    INS_GENERATE_SESSION_PIN = 0x2E,
    INS_ACTIVATE_CARD = 0x30,
    INS_COMMIT_UPDATE_CONTENT = 0x38,
    INS_COMMIT_CREATION_OR_UPDATE_METADATA = 0x3A,
    INS_SET_METADATA_SIZE = 0x3C,
    INS_CREATE_OBJECT = 0x3E,  // P2 is an ObjectKind
    INS_GENERATE_KEY_PAIR = 0x40,
    INS_IMPORT_COMPONENT = 0x42,
    INS_GET_COMPONENT = 0x44,
    INS_CRYPT_INIT = 0x46,
    INS_CRYPT = 0x48,
    INS_CRYPT_FINAL = 0x4A,
    INS_AMEND_KEYPAIR = 0x4C,
    INS_CONTINUE_AMEND_KEY_PAIR = 0x4E,
    INS_GET_AUTH_STATE = 0x50,
    INS_SET_CARD_ID = 0x52,
    INS_SELECT = 0xA4,
};

// P1 of INS_GET_INFO.
enum InfoRecord : std::uint8_t {
    INFO_MEMORY = 0x01,
    INFO_GAC = 0x02,
    INFO_JCKP = 0x03,
    INFO_ACTIVATION = 0x04,
};

// P2 of INS_CREATE_OBJECT.
enum ObjectKind : std::uint8_t {
    KIND_DATA_OBJECT = 0x00,
    KIND_KEY_PAIR = 0x01,
    KIND_CERTIFICATE = 0x02,
    KIND_DIRECTORY = 0x03,
    KIND_FILE = 0x04,
};

// Content code of a key pair, sent with createKeyPair and amendKeypair and
// kept in its header: which halves the pair has and where it was made. The
// amendment operation is the code the pair has afterwards.
enum ContentCode : std::uint8_t {
    CONTENT_GENERATED_ON_CARD = 0x01,
    CONTENT_PUBLIC_KEY = 0x02,
    CONTENT_PRIVATE_KEY = 0x04,
    CONTENT_BOTH_HALVES = CONTENT_PUBLIC_KEY | CONTENT_PRIVATE_KEY,
};

enum Component : std::uint8_t {
    COMPONENT_P = 1,
    COMPONENT_Q = 2,
    COMPONENT_DP = 3,
    COMPONENT_DQ = 4,
    COMPONENT_INV = 5,
    COMPONENT_N = 6,
    COMPONENT_E = 7,
};

constexpr std::size_t CARD_ID_SIZE = 16;
constexpr std::size_t SERIAL_NUMBER_SIZE = 8;
constexpr std::size_t GAC_INFO_SIZE = 59;
constexpr std::size_t AUTH_OBJECT_RECORD_SIZE = 10;
constexpr std::size_t PIN_POLICY_SIZE = 9;
constexpr std::size_t CRYPT_BLOCK_SIZE = 128;

extern const std::uint8_t APPLET_ID[9];

// One key slot record of the applet.
struct SlotInfo {
    bool flag;
    std::uint16_t keySize;
};

// Heads of the five object chains; a null pointer skips that chain.
struct HeadsRequest {
    std::uint16_t* dataObjects = nullptr;
    std::uint16_t* keyPairs = nullptr;
    std::uint16_t* certificates = nullptr;
    std::uint16_t* directories = nullptr;
    std::uint16_t* files = nullptr;
};

// "amwkalvik::apdu::COMPONENT_N[6]", "UNKNOWN" otherwise.
std::string componentText(std::uint8_t component);

// --- card identity and state ---
void selectApplet(ctl::CardConnection& connection);
void getVersion(ctl::CardConnection& connection, std::uint8_t* versionMajor,
                std::uint8_t* versionMinor);
void getCardSerialNumber(ctl::CardConnection& connection, std::uint8_t* serial /*[8]*/);
void getMemoryInfo(ctl::CardConnection& connection, std::uint32_t* blockSize,
                   std::uint32_t* bytesTotal, std::uint32_t* bytesAvaliable);
void getGacInfo(ctl::CardConnection& connection, std::uint8_t* info /*[59]*/);
// Returns the number of slot records written to `slots`.
std::size_t getJckpInfo(ctl::CardConnection& connection, SlotInfo* slots, std::size_t capacity);
std::uint8_t getActivationInfo(ctl::CardConnection& connection);
void getCardId(ctl::CardConnection& connection, std::uint8_t* cardId /*[16]*/);
void setCardId(ctl::CardConnection& connection, const std::uint8_t* cardId /*[16]*/);
void getHeads(ctl::CardConnection& connection, const HeadsRequest& heads);
// False when the card did not return exactly `bufferSize` bytes.
bool getCacheFreshness(ctl::CardConnection& connection, std::uint8_t* buffer,
                       std::size_t bufferSize);
void setCacheFreshness(ctl::CardConnection& connection, const std::uint8_t* buffer,
                       std::size_t bufferSize);
std::uint8_t getAuthState(ctl::CardConnection& connection);
void activateCard(ctl::CardConnection& connection);

// --- object store ---
void deleteObject(ctl::CardConnection& connection, std::uint16_t blockId);
// Sends `length` bytes in pieces of at most 255; nothing for 0 bytes.
// `sensitive`: the bytes are a private body, masked in the log.
void writeData(ctl::CardConnection& connection, const std::uint8_t* buf, std::size_t length,
               bool sensitive = false);
// Reads exactly `bufSize` bytes in pieces of at most 255.
void readData(ctl::CardConnection& connection, std::uint8_t* buf, std::size_t bufSize,
              bool sensitive = false);
void removeContent(ctl::CardConnection& connection, std::uint16_t blockId);
void beginUpdateMetadata(ctl::CardConnection& connection, std::uint16_t blockId,
                         std::uint64_t metadataSize);
// Fills `header` (headerSize bytes) and turns the eight 16-bit fields at
// offsets 1..15 from big-endian into host order in place.
void beginReadMetadata(ctl::CardConnection& connection, std::uint16_t blockId, std::uint8_t* header,
                       std::size_t headerSize);
void createContent(ctl::CardConnection& connection, std::uint16_t blockId,
                   std::uint64_t contentSize);
// Content size, 0 when the object has none.
std::uint16_t beginReadContent(ctl::CardConnection& connection, std::uint16_t blockId);
void commitUpdateContent(ctl::CardConnection& connection);
// Returns the block id of the object just created or updated.
std::uint16_t commitCreationOrUpdateMetadata(ctl::CardConnection& connection);
void setMetadataSize(ctl::CardConnection& connection, std::uint64_t metadataSize);
void createDataObject(ctl::CardConnection& connection, std::uint16_t acExtra,
                      std::uint16_t acReadContent, std::uint16_t acWrite, std::uint16_t acDelete);
// `origin`: the content code the new pair will have.
void createKeyPair(ctl::CardConnection& connection, std::uint8_t origin, std::uint16_t keySize,
                   std::uint16_t keyUsage, std::uint8_t keySpec, std::uint8_t containerIndex);
void createCertificate(ctl::CardConnection& connection, bool trusted, std::uint16_t acRead,
                       std::uint16_t acWrite, std::uint16_t acDelete);
void createDirectory(ctl::CardConnection& connection, const std::uint8_t* directoryName,
                     std::size_t directoryNameSize, std::uint16_t acWrite, std::uint16_t acDelete);
void createFile(ctl::CardConnection& connection, std::uint16_t directoryBlockId,
                const std::uint8_t* fileName, std::size_t fileNameSize, std::uint16_t acRead,
                std::uint16_t acWrite, std::uint16_t acDelete);

// --- keys ---
void generateKeyPair(ctl::CardConnection& connection, const StaticBuffer<256>& request,
                     StaticBuffer<256>& response);
void importComponent(ctl::CardConnection& connection, std::uint8_t component,
                     const std::uint8_t* data, std::size_t dataSize);
// `size`: capacity of `buffer` on entry, component length on return.
void getComponent(ctl::CardConnection& connection, std::uint8_t component, std::uint8_t* buffer,
                  std::size_t* size);
void cryptInit(ctl::CardConnection& connection, std::uint16_t blockId);
// One 128-byte block of the raw RSA operation; the final block returns
// `signedDataSize` (128 or 256) bytes into `signedData`.
void crypt(ctl::CardConnection& connection, const std::uint8_t* data /*[128]*/, bool final,
           std::uint8_t* signedData, std::size_t signedDataSize, bool sensitive);
void amendKeypair(ctl::CardConnection& connection, std::uint16_t blockId, std::uint8_t operation);
void continueAmendKeyPair(ctl::CardConnection& connection, std::uint8_t p1, std::uint8_t p2,
                          std::uint16_t word, std::uint64_t metadataSize);

// --- authentication ---
amw::AuthenticationResult authenticate(ctl::CardConnection& connection, std::uint8_t role,
                                       bool sessionPin, std::uint32_t type,
                                       const std::uint8_t* authData, std::size_t authDataSize,
                                       std::uint32_t* triesRemaining,
                                       amw::PinPadNotifier* notifier);
void deauthenticate(ctl::CardConnection& connection, std::uint8_t role);
void getChallenge(ctl::CardConnection& connection, std::uint8_t role, StaticBuffer<128>* challenge);
void generateSessionPin(ctl::CardConnection& connection, std::uint8_t role,
                        StaticBuffer<128>* sessionPin);
void changePin(ctl::CardConnection& connection, std::uint8_t role, bool isAuthObjectPin,
               const std::uint8_t* authData, std::size_t authDataSize,
               amw::PinPadNotifier* notifier);
amw::AuthenticationResult unblockPin(ctl::CardConnection& connection, std::uint8_t role,
                                     std::uint32_t authType, const std::uint8_t* authData,
                                     std::size_t authDataSize, std::uint8_t targetRole,
                                     std::uint32_t targetAuthType, const std::uint8_t* targetData,
                                     std::size_t targetDataSize, std::uint32_t* triesRemaining,
                                     amw::PinPadNotifier* notifier);
// False (nothing written) when the card has no such object.
bool getAuthenticateObject(ctl::CardConnection& connection, std::uint8_t index,
                           std::uint8_t* info /*[10]*/);
bool getAuthenticateObjectPinPolicy(ctl::CardConnection& connection, std::uint8_t index,
                                    std::uint8_t* policy, std::size_t size);

}  // namespace apdu
}  // namespace amwkalvik
