// The applet: command decoding, the object store with its block memory, RSA,
// authentication and access conditions.
#include "vcard/kalvikcard.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "state.h"

namespace vcard {
namespace {

// Status words.
constexpr std::uint16_t SW_OK = 0x9000;
constexpr std::uint16_t SW_WRONG_LENGTH = 0x6700;
constexpr std::uint16_t SW_MEMORY_FAILURE = 0x6581;
constexpr std::uint16_t SW_INCOMPATIBLE = 0x6981;
constexpr std::uint16_t SW_SECURITY = 0x6982;
constexpr std::uint16_t SW_BLOCKED = 0x6983;
constexpr std::uint16_t SW_SEQUENCE = 0x6985;
constexpr std::uint16_t SW_WRONG_DATA = 0x6A80;
constexpr std::uint16_t SW_APPLET_NOT_FOUND = 0x6A82;
constexpr std::uint16_t SW_NO_CONTENT = 0x6A83;
constexpr std::uint16_t SW_WRONG_P1P2 = 0x6A86;
constexpr std::uint16_t SW_NOT_FOUND = 0x6A88;
constexpr std::uint16_t SW_EXISTS = 0x6A89;
constexpr std::uint16_t SW_NO_SUCH_ROLE = 0x6B00;
constexpr std::uint16_t SW_INS = 0x6D00;
constexpr std::uint16_t SW_CLA = 0x6E00;
constexpr std::uint16_t SW_CARD_FAULT = 0x6F00;
constexpr std::uint16_t SW_OUT_OF_MEMORY = 0x6F03;
constexpr std::uint16_t SW_SESSION_PIN = 0x6F10;
constexpr std::uint16_t SW_PIN_POLICY = 0x6F18;

constexpr std::uint8_t CLA_ISO = 0x00;
constexpr std::uint8_t CLA_APPLET = 0x80;
constexpr std::uint8_t INS_SELECT = 0xA4;

// The applet's instructions, as this card knows them. The module has a table
// of its own on purpose: an independent card is what catches its mistakes.
enum Instruction : std::uint8_t {
    GET_VERSION = 0x02,
    GET_SERIAL = 0x04,
    GET_INFO = 0x06,
    GET_CARD_ID = 0x08,
    GET_HEADS = 0x0A,
    GET_FRESHNESS = 0x0C,
    SET_FRESHNESS = 0x0E,
    DELETE_OBJECT = 0x10,
    WRITE_DATA = 0x12,
    REMOVE_CONTENT = 0x14,
    BEGIN_UPDATE_METADATA = 0x16,
    BEGIN_READ_METADATA = 0x18,
    READ_DATA = 0x1A,
    CREATE_CONTENT = 0x1C,
    BEGIN_READ_CONTENT = 0x1E,
    AUTHENTICATE = 0x20,
    DEAUTHENTICATE = 0x22,
    GET_CHALLENGE = 0x24,
    CHANGE_PIN = 0x26,
    UNBLOCK_PIN = 0x28,
    AUTH_OBJECT_RECORD = 0x2C,
    GENERATE_SESSION_PIN = 0x2E,
    ACTIVATE = 0x30,
    COMMIT_CONTENT = 0x38,
    COMMIT_METADATA = 0x3A,
    SET_METADATA_SIZE = 0x3C,
    CREATE_OBJECT = 0x3E,
    GENERATE_KEY_PAIR = 0x40,
    IMPORT_COMPONENT = 0x42,
    GET_COMPONENT = 0x44,
    CRYPT_INIT = 0x46,
    CRYPT = 0x48,
    CRYPT_FINAL = 0x4A,
    AMEND_KEY_PAIR = 0x4C,
    CONTINUE_AMEND = 0x4E,
    GET_AUTH_STATE = 0x50,
    SET_CARD_ID = 0x52,
};

// P1 of GET_INFO.
enum InfoRecord : std::uint8_t {
    INFO_MEMORY = 0x01,
    INFO_GAC = 0x02,
    INFO_KEY_SLOTS = 0x03,
    INFO_LIFE_CYCLE = 0x04,
};

// P2 of CREATE_OBJECT.
enum ObjectKind : std::uint8_t {
    CREATE_DATA_OBJECT = 0x00,
    CREATE_KEY_PAIR = 0x01,
    CREATE_CERTIFICATE = 0x02,
    CREATE_DIRECTORY = 0x03,
    CREATE_FILE = 0x04,
};

// P1 of IMPORT_COMPONENT and GET_COMPONENT.
enum Component : std::uint8_t {
    COMPONENT_P = 1,
    COMPONENT_Q = 2,
    COMPONENT_DP = 3,
    COMPONENT_DQ = 4,
    COMPONENT_INV = 5,
    COMPONENT_N = 6,
    COMPONENT_E = 7,
};

// P2 of AUTHENTICATE.
constexpr std::uint8_t AUTHENTICATE_SECRET = 0x00;
constexpr std::uint8_t AUTHENTICATE_SESSION_PIN = 0x02;

constexpr std::size_t SESSION_PINS_PER_ROLE = 4;
constexpr std::size_t MAX_METADATA_SIZE = 4096;
constexpr std::size_t CRYPT_BLOCK_SIZE = 128;
constexpr std::uint16_t CREATE_AC = ac::USER_OR_ADMIN;

using Block8 = std::array<std::uint8_t, 8>;

struct Apdu {
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    Bytes data;
    bool hasLe = false;
    std::size_t ne = 0;  // expected response length (Le 00 = 256)
};

// Short (non-extended) APDU cases 1 to 4; a case-4 command may come without
// its Le (T=0 readers drop it).
bool parse(const Bytes& bytes, Apdu& command) {
    if (bytes.size() < 4)
        return false;
    command.cla = bytes[0];
    command.ins = bytes[1];
    command.p1 = bytes[2];
    command.p2 = bytes[3];
    if (bytes.size() == 4)
        return true;
    if (bytes.size() == 5) {
        command.hasLe = true;
        command.ne = bytes[4] == 0 ? 256 : bytes[4];
        return true;
    }
    const std::size_t lc = bytes[4];
    if (lc == 0)
        return false;
    if (bytes.size() == 5 + lc) {
        command.data.assign(bytes.begin() + 5, bytes.end());
        return true;
    }
    if (bytes.size() == 6 + lc) {
        command.data.assign(bytes.begin() + 5, bytes.end() - 1);
        command.hasLe = true;
        command.ne = bytes.back() == 0 ? 256 : bytes.back();
        return true;
    }
    return false;
}

Bytes status(std::uint16_t sw) { return Bytes{std::uint8_t(sw >> 8), std::uint8_t(sw)}; }

// Data with 9000, or 6Cxx when the command asked for another length.
Bytes answer(const Apdu& command, Bytes data) {
    if (data.empty())
        return status(SW_OK);
    if (command.hasLe && command.ne != data.size())
        return status(std::uint16_t(0x6C00 | (data.size() & 0xFF)));
    data.push_back(0x90);
    data.push_back(0x00);
    return data;
}

std::uint16_t be16(const Bytes& data, std::size_t at) {
    return std::uint16_t(data[at] << 8 | data[at + 1]);
}
std::uint16_t blockIdOf(const Apdu& command) { return std::uint16_t(command.p1 << 8 | command.p2); }
void put16(Bytes& data, std::size_t at, std::uint16_t value) {
    data[at] = std::uint8_t(value >> 8);
    data[at + 1] = std::uint8_t(value);
}
Bytes word(std::uint16_t value) { return {std::uint8_t(value >> 8), std::uint8_t(value)}; }

bool validAc(std::uint16_t value) { return (value >> 8) == 0x01; }

Bytes stripLeadingZeros(Bytes value) {
    auto first = std::find_if(value.begin(), value.end(), [](std::uint8_t b) { return b != 0; });
    value.erase(value.begin(), first);
    return value;
}

// A PIN as stored: up to the first zero byte, nothing but zeros after it.
bool meetsPolicy(const Bytes& padded, const PinPolicy& policy) {
    auto end = std::find(padded.begin(), padded.end(), std::uint8_t(0));
    if (std::any_of(end, padded.end(), [](std::uint8_t b) { return b != 0; }))
        return false;
    const std::size_t length = std::size_t(end - padded.begin());
    if (length < policy.minLength || length > policy.maxLength)
        return false;
    if (policy.digitsOnly &&
        std::any_of(padded.begin(), end, [](std::uint8_t b) { return b < '0' || b > '9'; }))
        return false;
    return true;
}

bool equalSecret(const Bytes& left, const Bytes& right) {
    return left.size() == right.size() &&
           CRYPTO_memcmp(left.data(), right.data(), left.size()) == 0;
}

// Copies the components of the halves named by `halves` from `from` into `into`.
void copyHalves(crypto::RsaKey& into, const crypto::RsaKey& from, std::uint8_t halves) {
    if (halves & content::PUBLIC_HALF) {
        into.n = from.n;
        into.e = from.e;
    }
    if (halves & content::PRIVATE_HALF) {
        into.p = from.p;
        into.q = from.q;
        into.dp = from.dp;
        into.dq = from.dq;
        into.inv = from.inv;
    }
}

// Status words from the handlers: thrown, caught in transmit.
struct Sw {
    std::uint16_t sw;
};
[[noreturn]] void fail(std::uint16_t sw) { throw Sw{sw}; }

}  // namespace

struct KalvikCard::State {
    Persistent persistent;
    std::vector<bool> used;  // block map derived from the objects
    std::string imagePath;
    bool dirty = false;

    // Cleared by power off, reset and (apart from session PINs) by SELECT.
    bool powered = true;
    bool selected = false;
    std::uint8_t authMask = 0;  // bit n = role n
    std::array<std::deque<Block8>, MAX_ROLE + 1> sessionPins;
    std::array<std::optional<Block8>, MAX_ROLE + 1> challenges;

    // The multi-command sequence under way.
    struct Pending {
        enum Kind { NONE, CREATE, UPDATE_METADATA, AMEND, CONTENT } kind = NONE;
        CardObject object;  // CREATE: the new object
        std::uint16_t target = NO_BLOCK;
        crypto::RsaKey key;  // components imported or generated
        std::uint8_t amendment = 0;
        std::uint8_t containerIndex = 0, keySpec = 0;
        std::uint16_t keyUsage = 0;
        bool sizeSet = false;
        std::size_t expected = 0;
        Bytes received;
    } pending;

    struct {
        bool active = false;
        Bytes data;
        std::size_t position = 0;
    } read;

    std::uint16_t selectedKey = NO_BLOCK;  // getComponent works on it
    struct CryptState {
        std::uint16_t key = NO_BLOCK;
        bool chained = false;
        Bytes first;
    } crypt;

    // --- memory ----------------------------------------------------------
    void rebuildBlockMap() {
        used.assign(persistent.totalBlocks, false);
        for (const auto& chain : persistent.chains)
            for (const auto& object : chain)
                for (const auto* list :
                     {&object.headerBlocks, &object.contentBlocks, &object.keyBlocks})
                    for (auto block : *list)
                        used[block] = true;
    }
    std::size_t freeBlocks() const {
        return std::size_t(std::count(used.begin(), used.end(), false));
    }
    std::vector<std::uint16_t> allocate(std::size_t count) {
        std::vector<std::uint16_t> blocks;
        for (std::size_t i = 0; i < used.size() && blocks.size() < count; ++i)
            if (!used[i])
                blocks.push_back(std::uint16_t(i));
        if (blocks.size() < count)
            fail(SW_OUT_OF_MEMORY);
        for (auto block : blocks)
            used[block] = true;
        return blocks;
    }
    void release(std::vector<std::uint16_t>& blocks) {
        for (auto block : blocks)
            used[block] = false;
        blocks.clear();
    }
    std::size_t headerBlocksFor(Chain chain, std::size_t metadataSize) const {
        return std::max<std::size_t>(
            1, blocksFor(headerSize(chain) + metadataSize, persistent.blockSize));
    }
    // Resizes the header area in place, keeping the first block (the id).
    void resizeHeader(CardObject& object, std::size_t metadataSize) {
        const std::size_t want = headerBlocksFor(object.chain, metadataSize);
        const std::size_t have = object.headerBlocks.size();
        if (want > have) {
            auto more = allocate(want - have);
            object.headerBlocks.insert(object.headerBlocks.end(), more.begin(), more.end());
        }
        while (object.headerBlocks.size() > want) {
            used[object.headerBlocks.back()] = false;
            object.headerBlocks.pop_back();
        }
    }

    // --- lookup ------------------------------------------------------------
    CardObject* find(std::uint16_t id) {
        for (auto& chain : persistent.chains)
            for (auto& object : chain)
                if (object.id == id)
                    return &object;
        return nullptr;
    }
    CardObject& findOrFail(std::uint16_t id) {
        CardObject* object = find(id);
        if (!object)
            fail(SW_NOT_FOUND);
        return *object;
    }
    std::vector<CardObject>& chain(Chain kind) { return persistent.chains[std::size_t(kind)]; }
    const std::vector<CardObject>& chain(Chain kind) const {
        return persistent.chains[std::size_t(kind)];
    }

    // --- access ------------------------------------------------------------
    bool allowed(std::uint16_t condition) const {
        if (!validAc(condition))
            return false;
        const std::uint8_t roles = std::uint8_t(condition);
        return (roles & 0x01) || (roles & authMask);
    }
    void require(std::uint16_t condition) const {
        if (!allowed(condition))
            fail(SW_SECURITY);
    }
    AuthObject& authObject(std::uint8_t role) {
        if (role == 0 || role > MAX_ROLE || !persistent.auth[role])
            fail(SW_NO_SUCH_ROLE);
        return *persistent.auth[role];
    }

    // --- headers -------------------------------------------------------------
    Bytes header(const CardObject& object) const {
        Bytes bytes(headerSize(object.chain), 0);
        bytes[0] = std::uint8_t(object.chain);
        std::uint16_t next = NO_BLOCK;
        const auto& list = chain(object.chain);
        for (std::size_t i = 0; i + 1 < list.size(); ++i)
            if (list[i].id == object.id)
                next = list[i + 1].id;
        put16(bytes, 1, next);
        put16(bytes, 3, std::uint16_t(object.metadata.size()));
        put16(bytes, 5, std::uint16_t(object.hasContent ? object.content.size() : 0));
        put16(bytes, 7, object.acExtra);
        put16(bytes, 9, std::uint16_t(object.blockCount()));
        put16(bytes, 11, object.acRead);
        put16(bytes, 13, object.acWrite);
        put16(bytes, 15, object.acDelete);
        switch (object.chain) {
        case Chain::CERTIFICATES:
            bytes[17] = object.trusted ? 1 : 0;
            break;
        case Chain::KEY_PAIRS:
            bytes[17] = object.keySlot;
            put16(bytes, 20, object.keyUsage);
            bytes[22] = object.contentCode;
            bytes[23] = object.containerIndex;
            bytes[24] = object.keySpec;
            put16(bytes, 25, object.keySize);
            break;
        case Chain::DIRECTORIES:
            std::copy(object.name.begin(), object.name.end(), bytes.begin() + 19);
            break;
        case Chain::FILES: {
            for (const auto& directory : chain(Chain::DIRECTORIES))
                if (directory.id == object.dirId)
                    std::copy(directory.name.begin(), directory.name.end(), bytes.begin() + 17);
            std::copy(object.name.begin(), object.name.end(), bytes.begin() + 25);
            break;
        }
        case Chain::DATA_OBJECTS:
            break;
        }
        return bytes;
    }

    // --- volatile state -------------------------------------------------------
    void clearSequences() {
        pending = Pending{};
        read.active = false;
        read.data.clear();
        selectedKey = NO_BLOCK;
        crypt = CryptState{};
    }
    void clearVolatile() {
        clearSequences();
        selected = false;
        authMask = 0;
        for (auto& pins : sessionPins)
            pins.clear();
        for (auto& challenge : challenges)
            challenge.reset();
    }
    // Ends the sequence under way and answers `sw`.
    [[noreturn]] void abortSequence(std::uint16_t sw) {
        pending = Pending{};
        fail(sw);
    }
    // The sequences whose metadata is being written.
    bool inMetadataStage() const {
        return (pending.kind == Pending::CREATE || pending.kind == Pending::UPDATE_METADATA ||
                pending.kind == Pending::AMEND) &&
               pending.sizeSet;
    }

    Bytes execute(const Apdu& command);
    Bytes select(const Apdu& command);

    // handlers, in instruction order
    Bytes getVersion(const Apdu& command);
    Bytes getSerial(const Apdu& command);
    Bytes info(const Apdu& command);
    Bytes getCardId(const Apdu& command);
    Bytes heads(const Apdu& command);
    Bytes getFreshness(const Apdu& command);
    Bytes setFreshness(const Apdu& command);
    Bytes deleteObject(const Apdu& command);
    Bytes writeData(const Apdu& command);
    Bytes removeContent(const Apdu& command);
    Bytes beginUpdateMetadata(const Apdu& command);
    Bytes beginReadMetadata(const Apdu& command);
    Bytes readData(const Apdu& command);
    Bytes createContent(const Apdu& command);
    Bytes beginReadContent(const Apdu& command);
    Bytes authenticate(const Apdu& command);
    Bytes deauthenticate(const Apdu& command);
    Bytes getChallenge(const Apdu& command);
    Bytes changePin(const Apdu& command);
    Bytes unblockPin(const Apdu& command);
    Bytes authObjectRecord(const Apdu& command);
    Bytes generateSessionPin(const Apdu& command);
    Bytes activate(const Apdu& command);
    Bytes commitUpdateContent(const Apdu& command);
    Bytes commitMetadata(const Apdu& command);
    Bytes setMetadataSize(const Apdu& command);
    Bytes create(const Apdu& command);
    Bytes generateKeyPair(const Apdu& command);
    Bytes importComponent(const Apdu& command);
    Bytes getComponent(const Apdu& command);
    Bytes cryptInit(const Apdu& command);
    Bytes cryptBlock(const Apdu& command);
    Bytes amendKeypair(const Apdu& command);
    Bytes continueAmend(const Apdu& command);
    Bytes getAuthState(const Apdu& command);
    Bytes setCardId(const Apdu& command);

    // helpers
    std::uint16_t commitCreation(Pending& work);
    std::uint16_t commitMetadataUpdate(Pending& work);
    std::uint16_t commitAmendment(Pending& work);
    std::uint16_t resolveAc(std::uint16_t value, std::uint16_t cardDefault) const {
        if (value == ac::CARD_DEFAULT)
            return cardDefault;
        if (!validAc(value))
            fail(SW_WRONG_DATA);
        return value;
    }
    std::optional<std::uint8_t> freeKeySlot(std::uint16_t keySize) const {
        std::optional<std::uint8_t> anySize;
        for (std::size_t i = 0; i < persistent.keySlots.size(); ++i) {
            const auto& slot = persistent.keySlots[i];
            if (slot.occupant != NO_BLOCK)
                continue;
            if (slot.setup.sizeBound && slot.setup.keySize == keySize)
                return std::uint8_t(i);
            if (!slot.setup.sizeBound && !anySize)
                anySize = std::uint8_t(i);
        }
        return anySize;
    }
    bool verifySecret(std::uint8_t role, AuthObject& authObject, const Bytes& secret);
    std::uint16_t keyProblem(std::uint8_t halves, std::uint16_t keySize,
                             const crypto::RsaKey& key) const;
    void storeKeyMaterial(CardObject& object, const crypto::RsaKey& key, std::uint8_t halves);
    void unlink(CardObject& object);
};

namespace {

using Handler = Bytes (KalvikCard::State::*)(const Apdu&);

// What the card accepts of an instruction before its handler sees it.
struct InstructionEntry {
    Instruction ins;
    Handler handler;
    bool takesData;       // command data is required, else refused
    bool zeroParameters;  // P1 and P2 must be 00
    bool startsSequence;  // replaces an unfinished multi-command sequence
};

using State = KalvikCard::State;
const InstructionEntry INSTRUCTIONS[] = {
    {GET_VERSION, &State::getVersion, false, true, false},
    {GET_SERIAL, &State::getSerial, false, true, false},
    {GET_INFO, &State::info, false, false, false},
    {GET_CARD_ID, &State::getCardId, false, true, false},
    {GET_HEADS, &State::heads, false, true, false},
    {GET_FRESHNESS, &State::getFreshness, false, true, false},
    {SET_FRESHNESS, &State::setFreshness, true, true, false},
    {DELETE_OBJECT, &State::deleteObject, false, false, false},
    {WRITE_DATA, &State::writeData, true, true, false},
    {REMOVE_CONTENT, &State::removeContent, false, false, false},
    {BEGIN_UPDATE_METADATA, &State::beginUpdateMetadata, true, false, true},
    {BEGIN_READ_METADATA, &State::beginReadMetadata, false, false, false},
    {READ_DATA, &State::readData, false, true, false},
    {CREATE_CONTENT, &State::createContent, true, false, true},
    {BEGIN_READ_CONTENT, &State::beginReadContent, false, false, false},
    {AUTHENTICATE, &State::authenticate, true, false, false},
    {DEAUTHENTICATE, &State::deauthenticate, false, false, false},
    {GET_CHALLENGE, &State::getChallenge, false, false, false},
    {CHANGE_PIN, &State::changePin, true, false, false},
    {UNBLOCK_PIN, &State::unblockPin, true, false, false},
    {AUTH_OBJECT_RECORD, &State::authObjectRecord, false, false, false},
    {GENERATE_SESSION_PIN, &State::generateSessionPin, false, false, false},
    {ACTIVATE, &State::activate, false, true, false},
    {COMMIT_CONTENT, &State::commitUpdateContent, false, true, false},
    {COMMIT_METADATA, &State::commitMetadata, false, true, false},
    {SET_METADATA_SIZE, &State::setMetadataSize, true, true, false},
    {CREATE_OBJECT, &State::create, true, false, true},
    {GENERATE_KEY_PAIR, &State::generateKeyPair, true, true, false},
    {IMPORT_COMPONENT, &State::importComponent, true, false, false},
    {GET_COMPONENT, &State::getComponent, false, false, false},
    {CRYPT_INIT, &State::cryptInit, false, false, false},
    {CRYPT, &State::cryptBlock, true, true, false},
    {CRYPT_FINAL, &State::cryptBlock, true, true, false},
    {AMEND_KEY_PAIR, &State::amendKeypair, true, false, true},
    {CONTINUE_AMEND, &State::continueAmend, true, false, false},
    {GET_AUTH_STATE, &State::getAuthState, false, true, false},
    {SET_CARD_ID, &State::setCardId, true, true, false},
};

}  // namespace

// ---------------------------------------------------------------------------
// Dispatch

Bytes KalvikCard::State::select(const Apdu& command) {
    if (command.p1 != 0x04 || command.p2 != 0x00)
        return status(SW_WRONG_P1P2);
    if (command.data.size() != AID.size() ||
        !std::equal(AID.begin(), AID.end(), command.data.begin()))
        return status(SW_APPLET_NOT_FOUND);
    // A fresh selection starts a new applet session; session PINs survive it.
    clearSequences();
    authMask = 0;
    for (auto& challenge : challenges)
        challenge.reset();
    selected = true;
    return status(SW_OK);
}

Bytes KalvikCard::State::execute(const Apdu& command) {
    if (command.cla == CLA_ISO)
        return command.ins == INS_SELECT ? select(command) : status(SW_INS);
    if (command.cla != CLA_APPLET)
        return status(SW_CLA);
    if (!selected)
        return status(SW_INS);
    const auto entry =
        std::find_if(std::begin(INSTRUCTIONS), std::end(INSTRUCTIONS),
                     [&](const InstructionEntry& known) { return known.ins == command.ins; });
    if (entry == std::end(INSTRUCTIONS))
        return status(SW_INS);
    if (entry->startsSequence)
        pending = Pending{};
    if (entry->takesData == command.data.empty())
        return status(SW_WRONG_LENGTH);
    if (entry->zeroParameters && (command.p1 != 0 || command.p2 != 0))
        return status(SW_WRONG_P1P2);
    return (this->*entry->handler)(command);
}

// ---------------------------------------------------------------------------
// Card facts

Bytes KalvikCard::State::getVersion(const Apdu& command) {
    return answer(command, {persistent.versionMajor, persistent.versionMinor});
}

Bytes KalvikCard::State::getSerial(const Apdu& command) {
    return answer(command, Bytes(persistent.serial.begin(), persistent.serial.end()));
}

Bytes KalvikCard::State::getCardId(const Apdu& command) {
    return answer(command, Bytes(persistent.cardId.begin(), persistent.cardId.end()));
}

Bytes KalvikCard::State::setCardId(const Apdu& command) {
    if (command.data.size() != persistent.cardId.size())
        return status(SW_WRONG_LENGTH);
    require(ac::ADMIN);
    std::copy(command.data.begin(), command.data.end(), persistent.cardId.begin());
    dirty = true;
    return status(SW_OK);
}

Bytes KalvikCard::State::getFreshness(const Apdu& command) {
    return answer(command, Bytes(persistent.freshness.begin(), persistent.freshness.end()));
}

Bytes KalvikCard::State::setFreshness(const Apdu& command) {
    if (command.data.size() != persistent.freshness.size())
        return status(SW_WRONG_LENGTH);
    std::copy(command.data.begin(), command.data.end(), persistent.freshness.begin());
    dirty = true;
    return status(SW_OK);
}

Bytes KalvikCard::State::activate(const Apdu&) {
    require(ac::ADMIN);
    if (persistent.lifeCycle != KalvikCard::LIFE_CYCLE_ACTIVATED) {
        persistent.lifeCycle = KalvikCard::LIFE_CYCLE_ACTIVATED;
        dirty = true;
    }
    return status(SW_OK);
}

Bytes KalvikCard::State::getAuthState(const Apdu& command) {
    return answer(command, {std::uint8_t(authMask & 0xFE)});
}

Bytes KalvikCard::State::info(const Apdu& command) {
    if (command.p2 != 0)
        return status(SW_WRONG_P1P2);
    switch (command.p1) {
    case INFO_MEMORY: {
        Bytes data(8, 0);
        put16(data, 0, persistent.blockSize);
        put16(data, 2, persistent.totalBlocks);
        put16(data, 4, std::uint16_t(freeBlocks()));
        return answer(command, data);
    }
    case INFO_GAC:
        return answer(command, Bytes(persistent.gacInfo.begin(), persistent.gacInfo.end()));
    case INFO_KEY_SLOTS: {
        // Free key slots: flag 1 and the size for a slot bound to one key size.
        Bytes data;
        for (const auto& slot : persistent.keySlots) {
            if (slot.occupant != NO_BLOCK)
                continue;
            data.push_back(slot.setup.sizeBound ? 1 : 0);
            data.push_back(std::uint8_t(slot.setup.keySize >> 8));
            data.push_back(std::uint8_t(slot.setup.keySize));
        }
        return answer(command, data);
    }
    case INFO_LIFE_CYCLE:
        return answer(command, {persistent.lifeCycle});
    default:
        return status(SW_WRONG_P1P2);
    }
}

Bytes KalvikCard::State::heads(const Apdu& command) {
    Bytes data(10, 0);
    const Chain order[] = {Chain::DATA_OBJECTS, Chain::KEY_PAIRS, Chain::CERTIFICATES,
                           Chain::DIRECTORIES, Chain::FILES};
    for (std::size_t i = 0; i < 5; ++i) {
        const auto& list = chain(order[i]);
        put16(data, i * 2, list.empty() ? NO_BLOCK : list.front().id);
    }
    return answer(command, data);
}

// ---------------------------------------------------------------------------
// Object store

void KalvikCard::State::unlink(CardObject& object) {
    release(object.headerBlocks);
    release(object.contentBlocks);
    release(object.keyBlocks);
    if (object.keySlot != NO_KEY_SLOT && object.keySlot < persistent.keySlots.size())
        persistent.keySlots[object.keySlot].occupant = NO_BLOCK;
    const std::uint16_t id = object.id;
    auto& list = chain(object.chain);
    list.erase(std::remove_if(list.begin(), list.end(),
                              [id](const CardObject& other) { return other.id == id; }),
               list.end());
    if (selectedKey == id)
        selectedKey = NO_BLOCK;
    if (crypt.key == id)
        crypt = CryptState{};
    if (pending.target == id)
        pending = Pending{};
}

Bytes KalvikCard::State::deleteObject(const Apdu& command) {
    CardObject& object = findOrFail(blockIdOf(command));
    require(object.acDelete);
    if (object.chain == Chain::DIRECTORIES) {
        for (const auto& file : chain(Chain::FILES))
            if (file.dirId == object.id)
                fail(SW_SEQUENCE);
    }
    unlink(object);
    dirty = true;
    return status(SW_OK);
}

Bytes KalvikCard::State::create(const Apdu& command) {
    require(CREATE_AC);
    CardObject object;
    const Bytes& data = command.data;
    switch (command.p2) {
    case CREATE_DATA_OBJECT:  // four words, the second reads the content
        if (data.size() != 8)
            fail(SW_WRONG_LENGTH);
        object.chain = Chain::DATA_OBJECTS;
        object.acExtra = resolveAc(be16(data, 0), ac::USER_OR_ADMIN);
        object.acRead = resolveAc(be16(data, 2), ac::USER_OR_ADMIN);
        object.acWrite = resolveAc(be16(data, 4), ac::USER_OR_ADMIN);
        object.acDelete = resolveAc(be16(data, 6), ac::USER_OR_ADMIN);
        break;
    case CREATE_KEY_PAIR: {
        if (data.size() != 13)
            fail(SW_WRONG_LENGTH);
        object.chain = Chain::KEY_PAIRS;
        object.contentCode = data[0];
        object.keySize = be16(data, 1);
        object.keyUsage = be16(data, 3);
        object.containerIndex = data[5];
        object.keySpec = data[6];
        object.acRead = resolveAc(be16(data, 7), ac::USER_OR_ADMIN);
        object.acWrite = resolveAc(be16(data, 9), ac::USER_OR_ADMIN);
        object.acDelete = resolveAc(be16(data, 11), ac::USER_OR_ADMIN);
        const std::uint8_t code = object.contentCode;
        // Generated pairs have both halves; imports have one or both.
        if (code != (content::GENERATED | content::BOTH_HALVES) && code != content::BOTH_HALVES &&
            code != content::PUBLIC_HALF && code != content::PRIVATE_HALF)
            fail(SW_WRONG_DATA);
        if (object.keySize != 1024 && object.keySize != 2048)
            fail(SW_WRONG_DATA);
        if (object.keySpec > 1)
            fail(SW_WRONG_DATA);
        // A lone half belongs to no container.
        if ((code & content::BOTH_HALVES) != content::BOTH_HALVES &&
            object.containerIndex != NO_CONTAINER)
            fail(SW_WRONG_DATA);
        if (object.hasPrivate() && !freeKeySlot(object.keySize))
            fail(SW_OUT_OF_MEMORY);
        break;
    }
    case CREATE_CERTIFICATE:  // public unless asked otherwise
        if (data.size() != 7)
            fail(SW_WRONG_LENGTH);
        object.chain = Chain::CERTIFICATES;
        object.trusted = data[0] != 0;
        object.acRead = resolveAc(be16(data, 1), ac::EVERYONE);
        object.acWrite = resolveAc(be16(data, 3), ac::USER_OR_ADMIN);
        object.acDelete = resolveAc(be16(data, 5), ac::USER_OR_ADMIN);
        break;
    case CREATE_DIRECTORY: {  // name, then the delete and the write condition
        if (data.size() != 12)
            fail(SW_WRONG_LENGTH);
        object.chain = Chain::DIRECTORIES;
        std::copy(data.begin(), data.begin() + 8, object.name.begin());
        if (object.name[0] == 0)
            fail(SW_WRONG_DATA);
        object.acRead = ac::EVERYONE;
        object.acDelete = resolveAc(be16(data, 8), ac::USER_OR_ADMIN);
        object.acWrite = resolveAc(be16(data, 10), ac::USER_OR_ADMIN);
        auto lower = [](std::array<std::uint8_t, 8> name) {
            for (auto& c : name)
                if (c >= 'A' && c <= 'Z')
                    c = std::uint8_t(c - 'A' + 'a');
            return name;
        };
        for (const auto& other : chain(Chain::DIRECTORIES))
            if (lower(other.name) == lower(object.name))
                fail(SW_EXISTS);
        break;
    }
    case CREATE_FILE: {  // directory, name, three words
        if (data.size() != 16)
            fail(SW_WRONG_LENGTH);
        object.chain = Chain::FILES;
        object.dirId = be16(data, 0);
        const CardObject* directory = find(object.dirId);
        if (!directory || directory->chain != Chain::DIRECTORIES)
            fail(SW_NOT_FOUND);
        require(directory->acWrite);
        std::copy(data.begin() + 2, data.begin() + 10, object.name.begin());
        if (object.name[0] == 0)
            fail(SW_WRONG_DATA);
        for (const auto& file : chain(Chain::FILES))
            if (file.dirId == object.dirId && file.name == object.name)
                fail(SW_EXISTS);
        object.acRead = resolveAc(be16(data, 10), ac::USER_OR_ADMIN);
        object.acWrite = resolveAc(be16(data, 12), ac::USER_OR_ADMIN);
        object.acDelete = resolveAc(be16(data, 14), ac::USER_OR_ADMIN);
        break;
    }
    default:
        fail(SW_WRONG_P1P2);
    }
    if (command.p1 != 0)
        fail(SW_WRONG_P1P2);
    pending.kind = Pending::CREATE;
    pending.object = std::move(object);
    return status(SW_OK);
}

Bytes KalvikCard::State::setMetadataSize(const Apdu& command) {
    if (command.data.size() != 2)
        fail(SW_WRONG_LENGTH);
    if (pending.kind != Pending::CREATE || pending.sizeSet)
        abortSequence(SW_SEQUENCE);
    const std::size_t size = be16(command.data, 0);
    if (size > MAX_METADATA_SIZE)
        fail(SW_WRONG_DATA);
    const CardObject& object = pending.object;
    if (object.chain == Chain::KEY_PAIRS) {
        if (std::uint16_t problem = keyProblem(object.contentCode, object.keySize, pending.key))
            abortSequence(problem);
    }
    pending.sizeSet = true;
    pending.expected = size;
    pending.received.clear();
    return status(SW_OK);
}

Bytes KalvikCard::State::beginUpdateMetadata(const Apdu& command) {
    if (command.data.size() != 2)
        fail(SW_WRONG_LENGTH);
    CardObject& object = findOrFail(blockIdOf(command));
    require(object.acWrite);
    const std::size_t size = be16(command.data, 0);
    if (size > MAX_METADATA_SIZE)
        fail(SW_WRONG_DATA);
    pending.kind = Pending::UPDATE_METADATA;
    pending.target = object.id;
    pending.sizeSet = true;
    pending.expected = size;
    return status(SW_OK);
}

Bytes KalvikCard::State::writeData(const Apdu& command) {
    if (!inMetadataStage() && pending.kind != Pending::CONTENT)
        abortSequence(SW_SEQUENCE);
    if (pending.received.size() + command.data.size() > pending.expected)
        abortSequence(SW_WRONG_LENGTH);
    pending.received.insert(pending.received.end(), command.data.begin(), command.data.end());
    return status(SW_OK);
}

// The halves named by `halves` must be complete and make a key of `keySize`
// bits; returns the status word to refuse it with, or 0.
std::uint16_t KalvikCard::State::keyProblem(std::uint8_t halves, std::uint16_t keySize,
                                            const crypto::RsaKey& key) const {
    const std::size_t modulusLength = keySize / 8;
    if (halves & content::PUBLIC_HALF) {
        if (key.n.size() != modulusLength || key.n[0] == 0 || key.e.empty())
            return SW_SEQUENCE;
    }
    if (halves & content::PRIVATE_HALF) {
        if (key.p.empty() || key.q.empty() || key.dp.empty() || key.dq.empty() || key.inv.empty())
            return SW_SEQUENCE;
        // The primes must make a modulus of the declared size.
        if (crypto::product(key.p, key.q).size() != modulusLength)
            return SW_WRONG_DATA;
        if ((halves & content::PUBLIC_HALF) && !crypto::consistent(key))
            return SW_WRONG_DATA;
    }
    return 0;
}

void KalvikCard::State::storeKeyMaterial(CardObject& object, const crypto::RsaKey& key,
                                         std::uint8_t halves) {
    crypto::RsaKey stored;
    copyHalves(stored, key, halves);
    object.key = std::move(stored);
}

Bytes KalvikCard::State::commitMetadata(const Apdu& command) {
    if (!inMetadataStage() || pending.received.size() != pending.expected)
        abortSequence(SW_SEQUENCE);
    Pending work = std::exchange(pending, Pending{});
    std::uint16_t id;
    if (work.kind == Pending::CREATE)
        id = commitCreation(work);
    else if (work.kind == Pending::UPDATE_METADATA)
        id = commitMetadataUpdate(work);
    else
        id = commitAmendment(work);
    dirty = true;
    return answer(command, word(id));
}

std::uint16_t KalvikCard::State::commitCreation(Pending& work) {
    CardObject object = std::move(work.object);
    // The directory of a new file may have gone since the create command.
    if (object.chain == Chain::FILES) {
        const CardObject* directory = find(object.dirId);
        if (!directory || directory->chain != Chain::DIRECTORIES)
            fail(SW_NOT_FOUND);
    }
    object.metadata = std::move(work.received);
    std::size_t keyBlocks = 0;
    if (object.chain == Chain::KEY_PAIRS) {
        storeKeyMaterial(object, work.key, object.contentCode);
        keyBlocks = blocksFor(object.keyMaterialSize(), persistent.blockSize);
    }
    const std::size_t headerBlocks = headerBlocksFor(object.chain, object.metadata.size());
    if (headerBlocks + keyBlocks > freeBlocks())
        fail(SW_OUT_OF_MEMORY);
    std::optional<std::uint8_t> slot;
    if (object.chain == Chain::KEY_PAIRS && object.hasPrivate()) {
        slot = freeKeySlot(object.keySize);
        if (!slot)
            fail(SW_OUT_OF_MEMORY);
    }
    object.headerBlocks = allocate(headerBlocks);
    object.keyBlocks = allocate(keyBlocks);
    object.id = object.headerBlocks.front();
    if (slot) {
        object.keySlot = *slot;
        persistent.keySlots[*slot].occupant = object.id;
    }
    const std::uint16_t id = object.id;
    chain(object.chain).push_back(std::move(object));
    return id;
}

std::uint16_t KalvikCard::State::commitMetadataUpdate(Pending& work) {
    CardObject& object = findOrFail(work.target);
    resizeHeader(object, work.received.size());
    object.metadata = std::move(work.received);
    return object.id;
}

std::uint16_t KalvikCard::State::commitAmendment(Pending& work) {
    CardObject& object = findOrFail(work.target);
    crypto::RsaKey merged = object.key;
    std::uint8_t code = object.contentCode;
    std::optional<std::uint8_t> slot;
    if (work.amendment == content::BOTH_HALVES) {
        const std::uint8_t added =
            object.hasPublic() ? content::PRIVATE_HALF : content::PUBLIC_HALF;
        copyHalves(merged, work.key, added);
        code |= added;
        if (added == content::PRIVATE_HALF) {
            slot = freeKeySlot(object.keySize);
            if (!slot)
                fail(SW_OUT_OF_MEMORY);
        }
    } else {
        // A removal names the halves that stay; the card keeps its own origin.
        code = std::uint8_t((code & content::GENERATED) | (work.amendment & content::BOTH_HALVES));
    }
    CardObject updated = object;
    storeKeyMaterial(updated, merged, code);
    const std::size_t keyBlocks = blocksFor(updated.keyMaterialSize(), persistent.blockSize);
    const std::size_t headerBlocks = headerBlocksFor(object.chain, work.received.size());
    if (keyBlocks + headerBlocks >
        freeBlocks() + object.keyBlocks.size() + object.headerBlocks.size())
        fail(SW_OUT_OF_MEMORY);
    release(object.keyBlocks);
    resizeHeader(object, work.received.size());
    object.keyBlocks = allocate(keyBlocks);
    object.key = std::move(updated.key);
    object.contentCode = code;
    object.metadata = std::move(work.received);
    object.containerIndex = work.containerIndex;
    object.keySpec = work.keySpec;
    object.keyUsage = work.keyUsage;
    if (slot) {
        object.keySlot = *slot;
        persistent.keySlots[*slot].occupant = object.id;
    }
    if (!object.hasPrivate() && object.keySlot != NO_KEY_SLOT) {
        persistent.keySlots[object.keySlot].occupant = NO_BLOCK;
        object.keySlot = NO_KEY_SLOT;
        if (crypt.key == object.id)
            crypt = CryptState{};
    }
    return object.id;
}

Bytes KalvikCard::State::removeContent(const Apdu& command) {
    CardObject& object = findOrFail(blockIdOf(command));
    if (!hasContentArea(object.chain))
        fail(SW_INCOMPATIBLE);
    require(object.acWrite);
    if (!object.hasContent)
        return status(SW_NO_CONTENT);
    object.hasContent = false;
    object.content.clear();
    release(object.contentBlocks);
    dirty = true;
    return status(SW_OK);
}

Bytes KalvikCard::State::createContent(const Apdu& command) {
    if (command.data.size() != 2)
        fail(SW_WRONG_LENGTH);
    CardObject& object = findOrFail(blockIdOf(command));
    if (!hasContentArea(object.chain))
        fail(SW_INCOMPATIBLE);
    require(object.acWrite);
    if (object.hasContent)
        fail(SW_SEQUENCE);
    const std::size_t size = be16(command.data, 0);
    if (blocksFor(size, persistent.blockSize) > freeBlocks())
        fail(SW_OUT_OF_MEMORY);
    pending.kind = Pending::CONTENT;
    pending.target = object.id;
    pending.expected = size;
    return status(SW_OK);
}

Bytes KalvikCard::State::commitUpdateContent(const Apdu&) {
    if (pending.kind != Pending::CONTENT || pending.received.size() != pending.expected)
        abortSequence(SW_SEQUENCE);
    Pending work = std::exchange(pending, Pending{});
    CardObject& object = findOrFail(work.target);
    if (object.hasContent)
        fail(SW_SEQUENCE);
    object.contentBlocks = allocate(blocksFor(work.received.size(), persistent.blockSize));
    object.content = std::move(work.received);
    object.hasContent = true;
    dirty = true;
    return status(SW_OK);
}

Bytes KalvikCard::State::beginReadMetadata(const Apdu& command) {
    const CardObject& object = findOrFail(blockIdOf(command));
    Bytes bytes = header(object);
    if (command.hasLe && command.ne != bytes.size())
        return answer(command, bytes);  // 6Cxx, nothing selected
    read.active = true;
    read.data = object.metadata;
    read.position = 0;
    if (object.chain == Chain::KEY_PAIRS)
        selectedKey = object.id;
    return answer(command, bytes);
}

Bytes KalvikCard::State::beginReadContent(const Apdu& command) {
    const CardObject& object = findOrFail(blockIdOf(command));
    if (!hasContentArea(object.chain))
        fail(SW_INCOMPATIBLE);
    require(object.acRead);
    if (!object.hasContent)
        return status(SW_NO_CONTENT);
    const Bytes size = word(std::uint16_t(object.content.size()));
    if (command.hasLe && command.ne != 2)
        return answer(command, size);
    read.active = true;
    read.data = object.content;
    read.position = 0;
    return answer(command, size);
}

Bytes KalvikCard::State::readData(const Apdu& command) {
    if (!read.active || read.position >= read.data.size())
        fail(SW_SEQUENCE);
    const std::size_t remaining = read.data.size() - read.position;
    const std::size_t want = command.hasLe ? command.ne : std::min<std::size_t>(remaining, 255);
    if (want > remaining)
        return status(std::uint16_t(0x6C00 | (remaining & 0xFF)));
    Bytes out(read.data.begin() + std::ptrdiff_t(read.position),
              read.data.begin() + std::ptrdiff_t(read.position + want));
    read.position += want;
    if (read.position >= read.data.size()) {
        read.active = false;
        read.data.clear();
    }
    out.push_back(0x90);
    out.push_back(0x00);
    return out;
}

// ---------------------------------------------------------------------------
// Keys

Bytes KalvikCard::State::generateKeyPair(const Apdu& command) {
    if (pending.kind != Pending::CREATE || pending.object.chain != Chain::KEY_PAIRS ||
        pending.object.contentCode != (content::GENERATED | content::BOTH_HALVES) ||
        !pending.key.n.empty() || pending.sizeSet)
        abortSequence(SW_SEQUENCE);
    Bytes exponent = stripLeadingZeros(command.data);
    if (exponent.empty() || exponent.size() > 8 || !(exponent.back() & 1) ||
        (exponent.size() == 1 && exponent[0] == 1))
        fail(SW_WRONG_DATA);
    try {
        pending.key = crypto::generate(pending.object.keySize, exponent);
    } catch (const crypto::CryptoError&) {
        fail(SW_WRONG_DATA);
    }
    Bytes out = pending.key.n;
    out.push_back(0x90);
    out.push_back(0x00);
    return out;
}

Bytes KalvikCard::State::importComponent(const Apdu& command) {
    std::uint8_t halves = 0;  // what this import may bring
    std::uint16_t keySize = 0;
    if (pending.kind == Pending::CREATE && pending.object.chain == Chain::KEY_PAIRS &&
        !pending.sizeSet && !(pending.object.contentCode & content::GENERATED)) {
        halves = pending.object.contentCode;
        keySize = pending.object.keySize;
    } else if (pending.kind == Pending::AMEND && pending.amendment == content::BOTH_HALVES &&
               !pending.sizeSet) {
        const CardObject& object = findOrFail(pending.target);
        halves = object.hasPublic() ? content::PRIVATE_HALF : content::PUBLIC_HALF;
        keySize = object.keySize;
    } else {
        abortSequence(SW_SEQUENCE);
    }
    const Bytes& data = command.data;
    crypto::RsaKey& key = pending.key;
    const std::uint8_t component = command.p1;
    const bool publicPart = component == COMPONENT_N || component == COMPONENT_E;
    if (component < COMPONENT_P || component > COMPONENT_E)
        fail(SW_WRONG_P1P2);
    if (!(halves & (publicPart ? content::PUBLIC_HALF : content::PRIVATE_HALF)))
        fail(SW_SEQUENCE);
    if (command.p2 != 0 && !(component == COMPONENT_N && command.p2 == 1))
        fail(SW_WRONG_P1P2);
    switch (component) {
    case COMPONENT_N:
        if (command.p2 == 0) {
            if (data.size() != keySize / 8 && !(keySize == 2048 && data.size() == 128))
                fail(SW_WRONG_LENGTH);
            key.n = data;
        } else {
            // Second half of a 2048-bit modulus.
            if (keySize != 2048 || key.n.size() != 128 || data.size() != 128)
                fail(SW_SEQUENCE);
            key.n.insert(key.n.end(), data.begin(), data.end());
        }
        break;
    case COMPONENT_E:
        if (data.size() > 8 || data[0] == 0)
            fail(SW_WRONG_DATA);
        key.e = data;
        break;
    default: {
        if (data.size() > keySize / 16)
            fail(SW_WRONG_LENGTH);
        Bytes value = stripLeadingZeros(data);
        if (value.empty())
            fail(SW_WRONG_DATA);
        Bytes* const targets[] = {nullptr, &key.p, &key.q, &key.dp, &key.dq, &key.inv};
        *targets[component] = std::move(value);
        break;
    }
    }
    return status(SW_OK);
}

Bytes KalvikCard::State::getComponent(const Apdu& command) {
    if (command.p1 != COMPONENT_N && command.p1 != COMPONENT_E)
        fail(SW_WRONG_P1P2);
    const CardObject* object = selectedKey == NO_BLOCK ? nullptr : find(selectedKey);
    if (!object || !object->hasPublic())
        fail(SW_NOT_FOUND);
    return answer(command, command.p1 == COMPONENT_N ? object->key.n : object->key.e);
}

Bytes KalvikCard::State::amendKeypair(const Apdu& command) {
    if (command.data.size() != 1)
        fail(SW_WRONG_LENGTH);
    CardObject& object = findOrFail(blockIdOf(command));
    if (object.chain != Chain::KEY_PAIRS)
        fail(SW_INCOMPATIBLE);
    require(object.acWrite);
    // The operation is the content code the pair will have.
    const std::uint8_t amendment = command.data[0];
    const std::uint8_t halves = amendment & content::BOTH_HALVES;
    const bool complete = object.hasPublic() && object.hasPrivate();
    if (amendment & ~(content::GENERATED | content::BOTH_HALVES))
        fail(SW_WRONG_DATA);
    // Nobody but the card may call a key generated on the card.
    if ((amendment & content::GENERATED) &&
        (!(object.contentCode & content::GENERATED) || halves == content::BOTH_HALVES))
        fail(SW_WRONG_DATA);
    if (halves == content::BOTH_HALVES) {
        if (complete)
            fail(SW_SEQUENCE);
        if (!object.hasPrivate() && !freeKeySlot(object.keySize))
            fail(SW_OUT_OF_MEMORY);
    } else if (halves == content::PUBLIC_HALF || halves == content::PRIVATE_HALF) {
        if (!complete)
            fail(SW_SEQUENCE);
    } else {
        fail(SW_WRONG_DATA);
    }
    pending.kind = Pending::AMEND;
    pending.target = object.id;
    pending.amendment = amendment;
    return status(SW_OK);
}

Bytes KalvikCard::State::continueAmend(const Apdu& command) {
    if (command.data.size() != 4)
        fail(SW_WRONG_LENGTH);
    if (pending.kind != Pending::AMEND || pending.sizeSet)
        abortSequence(SW_SEQUENCE);
    const CardObject& object = findOrFail(pending.target);
    if (command.p2 > 1)
        fail(SW_WRONG_P1P2);
    const std::size_t size = be16(command.data, 2);
    if (size > MAX_METADATA_SIZE)
        fail(SW_WRONG_DATA);
    if (pending.amendment == content::BOTH_HALVES) {
        crypto::RsaKey merged = object.key;
        copyHalves(merged, pending.key,
                   object.hasPublic() ? content::PRIVATE_HALF : content::PUBLIC_HALF);
        if (std::uint16_t problem = keyProblem(content::BOTH_HALVES, object.keySize, merged))
            abortSequence(problem);
    }
    pending.containerIndex = command.p1;
    pending.keySpec = command.p2;
    pending.keyUsage = be16(command.data, 0);
    pending.sizeSet = true;
    pending.expected = size;
    pending.received.clear();
    return status(SW_OK);
}

Bytes KalvikCard::State::cryptInit(const Apdu& command) {
    crypt = CryptState{};
    CardObject& object = findOrFail(blockIdOf(command));
    if (object.chain != Chain::KEY_PAIRS)
        fail(SW_INCOMPATIBLE);
    if (!object.hasPrivate())
        fail(SW_NOT_FOUND);
    require(object.acRead);
    crypt.key = object.id;
    selectedKey = object.id;
    return status(SW_OK);
}

Bytes KalvikCard::State::cryptBlock(const Apdu& command) {
    const bool final = command.ins == CRYPT_FINAL;
    if (command.data.size() != CRYPT_BLOCK_SIZE)
        fail(SW_WRONG_LENGTH);
    const CardObject* object = crypt.key == NO_BLOCK ? nullptr : find(crypt.key);
    if (!object || !object->hasPrivate())
        fail(SW_SEQUENCE);
    // The use condition is checked again: a deauthentication ends the right.
    require(object->acRead);
    const std::size_t length = object->keySize / 8;
    if (!final) {
        if (length != 2 * CRYPT_BLOCK_SIZE || crypt.chained) {
            crypt.chained = false;
            crypt.first.clear();
            fail(SW_SEQUENCE);
        }
        crypt.chained = true;
        crypt.first = command.data;
        return status(SW_OK);
    }
    if (command.hasLe && command.ne != length)
        return status(std::uint16_t(0x6C00 | (length & 0xFF)));
    Bytes input;
    if (length == 2 * CRYPT_BLOCK_SIZE) {
        if (!crypt.chained)
            fail(SW_SEQUENCE);
        input = crypt.first;
        input.insert(input.end(), command.data.begin(), command.data.end());
    } else {
        if (crypt.chained)
            fail(SW_SEQUENCE);
        input = command.data;
    }
    crypt.chained = false;
    crypt.first.clear();
    auto result = crypto::privateOperation(object->key, input, length);
    if (!result)
        fail(SW_WRONG_DATA);
    Bytes out = std::move(*result);
    out.push_back(0x90);
    out.push_back(0x00);
    return out;
}

// ---------------------------------------------------------------------------
// Authentication

bool KalvikCard::State::verifySecret(std::uint8_t role, AuthObject& authObject,
                                     const Bytes& secret) {
    bool match;
    if (authObject.type == AuthType::PIN) {
        match = equalSecret(secret, authObject.value);
    } else {
        if (!challenges[role])
            fail(SW_SEQUENCE);
        Block8 expected = crypto::tripleDesEncrypt(authObject.value, *challenges[role]);
        challenges[role].reset();
        match = equalSecret(secret, Bytes(expected.begin(), expected.end()));
    }
    if (match) {
        if (authObject.tries != authObject.maxTries)
            dirty = true;
        authObject.tries = authObject.maxTries;
        return true;
    }
    authObject.tries = std::uint8_t(authObject.tries - 1);
    dirty = true;
    authMask &= std::uint8_t(~(1u << role));
    return false;
}

Bytes KalvikCard::State::authenticate(const Apdu& command) {
    const std::uint8_t role = command.p1;
    AuthObject& object = authObject(role);
    if (command.p2 == AUTHENTICATE_SESSION_PIN) {
        if (command.data.size() != 8)
            fail(SW_WRONG_LENGTH);
        if (object.tries == 0)
            fail(SW_BLOCKED);
        for (const auto& pin : sessionPins[role]) {
            if (CRYPTO_memcmp(pin.data(), command.data.data(), 8) == 0) {
                authMask |= std::uint8_t(1u << role);
                return status(SW_OK);
            }
        }
        authMask &= std::uint8_t(~(1u << role));
        fail(SW_SESSION_PIN);
    }
    if (command.p2 != AUTHENTICATE_SECRET)
        fail(SW_WRONG_P1P2);
    if (command.data.size() != (object.type == AuthType::PIN ? 16u : 8u))
        fail(SW_WRONG_LENGTH);
    if (object.tries == 0)
        fail(SW_BLOCKED);
    if (verifySecret(role, object, command.data)) {
        authMask |= std::uint8_t(1u << role);
        return status(SW_OK);
    }
    return status(std::uint16_t(0x63C0 | object.tries));
}

Bytes KalvikCard::State::deauthenticate(const Apdu& command) {
    if (command.p1 > MAX_ROLE)
        return status(SW_NO_SUCH_ROLE);
    authMask &= std::uint8_t(~(1u << command.p1));
    return status(SW_OK);
}

Bytes KalvikCard::State::getChallenge(const Apdu& command) {
    authObject(command.p1);
    if (command.hasLe && command.ne != 8)
        return status(0x6C08);
    Block8 challenge;
    crypto::randomBytes(challenge.data(), challenge.size());
    challenges[command.p1] = challenge;
    return answer(command, Bytes(challenge.begin(), challenge.end()));
}

Bytes KalvikCard::State::generateSessionPin(const Apdu& command) {
    const std::uint8_t role = command.p1;
    authObject(role);
    if (!(authMask & (1u << role)))
        fail(SW_SECURITY);
    if (command.hasLe && command.ne != 8)
        return status(0x6C08);
    Block8 pin;
    crypto::randomBytes(pin.data(), pin.size());
    auto& list = sessionPins[role];
    list.push_back(pin);
    while (list.size() > SESSION_PINS_PER_ROLE)
        list.pop_front();
    return answer(command, Bytes(pin.begin(), pin.end()));
}

Bytes KalvikCard::State::changePin(const Apdu& command) {
    if (command.p1 != 0)
        fail(SW_WRONG_P1P2);
    AuthObject& object = authObject(command.p2);
    if (command.data.size() != (object.type == AuthType::PIN ? 16u : 24u))
        fail(SW_WRONG_LENGTH);
    require(object.changeAc);
    if (object.type == AuthType::PIN && !meetsPolicy(command.data, object.policy))
        fail(SW_PIN_POLICY);
    object.value = command.data;
    object.tries = object.maxTries;
    dirty = true;
    return status(SW_OK);
}

Bytes KalvikCard::State::unblockPin(const Apdu& command) {
    const std::uint8_t role = command.p1, targetRole = command.p2;
    AuthObject& unblocking = authObject(role);
    AuthObject& target = authObject(targetRole);
    const std::size_t secretLength = unblocking.type == AuthType::PIN ? 16 : 8;
    const std::size_t newLength = target.type == AuthType::PIN ? 16 : 24;
    if (command.data.size() != secretLength + newLength)
        fail(SW_WRONG_LENGTH);
    const std::uint16_t unblockAc = target.unblockAc;
    if (!validAc(unblockAc) || !(std::uint8_t(unblockAc) & (1u << role)))
        fail(SW_SECURITY);
    if (unblocking.tries == 0)
        fail(SW_BLOCKED);
    Bytes secret(command.data.begin(), command.data.begin() + std::ptrdiff_t(secretLength));
    Bytes value(command.data.begin() + std::ptrdiff_t(secretLength), command.data.end());
    if (!verifySecret(role, unblocking, secret))
        return status(std::uint16_t(0x63C0 | unblocking.tries));
    if (target.type == AuthType::PIN && !meetsPolicy(value, target.policy))
        fail(SW_PIN_POLICY);
    target.value = std::move(value);
    target.tries = target.maxTries;
    dirty = true;
    return status(SW_OK);
}

Bytes KalvikCard::State::authObjectRecord(const Apdu& command) {
    if (command.p1 == 0 || command.p1 > MAX_ROLE || !persistent.auth[command.p1])
        fail(SW_NO_SUCH_ROLE);
    const AuthObject& object = *persistent.auth[command.p1];
    if (command.p2 == 0x00) {
        Bytes record(10, 0);
        record[0] = std::uint8_t(object.type);
        put16(record, 1, object.changeAc);
        put16(record, 3, 0);
        put16(record, 5, object.unblockAc);
        record[7] = object.maxTries;
        record[8] = object.pkcs11So ? 0x01 : 0x00;
        record[9] = object.tries;
        return answer(command, record);
    }
    if (command.p2 == 0x01) {
        if (object.type != AuthType::PIN)
            fail(SW_NO_SUCH_ROLE);
        Bytes policy(9, 0);
        policy[0] = object.policy.minLength;
        policy[1] = object.policy.maxLength;
        policy[2] = object.policy.digitsOnly ? 1 : 0;
        policy[3] = object.maxTries;
        return answer(command, policy);
    }
    fail(SW_WRONG_P1P2);
}

// ---------------------------------------------------------------------------
// KalvikCard

KalvikCard::KalvikCard(Unpersonalised) : state_(std::make_unique<State>()) {}

KalvikCard::KalvikCard(const PersonalisationOptions& options) : state_(std::make_unique<State>()) {
    Persistent& persistent = state_->persistent;
    if (options.blockSize < 16)
        throw std::invalid_argument("block size must be at least 16 bytes");
    if (options.totalBlocks == 0 || options.totalBlocks > 0x7FFF)
        throw std::invalid_argument("block count must be between 1 and 32767");
    if (options.keySlots.size() > 64)
        throw std::invalid_argument("at most 64 key slots");
    persistent.versionMajor = options.versionMajor;
    persistent.versionMinor = options.versionMinor;
    persistent.lifeCycle = options.activated ? LIFE_CYCLE_ACTIVATED : LIFE_CYCLE_PERSONALISED;
    if (options.cardId)
        persistent.cardId = *options.cardId;
    else
        crypto::randomBytes(persistent.cardId.data(), persistent.cardId.size());
    if (options.serial)
        persistent.serial = *options.serial;
    else
        crypto::randomBytes(persistent.serial.data(), persistent.serial.size());
    persistent.blockSize = options.blockSize;
    persistent.totalBlocks = options.totalBlocks;
    for (const auto& slot : options.keySlots) {
        if (slot.sizeBound && slot.keySize != 1024 && slot.keySize != 2048)
            throw std::invalid_argument("a key slot can be bound to 1024 or 2048 bits only");
        persistent.keySlots.push_back(KeySlot{slot, NO_BLOCK});
    }

    std::vector<AuthObjectSetup> setups;
    AuthObjectSetup user;
    user.role = 1;
    user.value.assign(options.userPin.begin(), options.userPin.end());
    user.maxTries = options.userPinTries;
    user.changeAc = ac::USER_OR_ADMIN;
    user.unblockAc = ac::ADMIN;
    setups.push_back(user);
    AuthObjectSetup so;
    so.role = 2;
    so.value.assign(options.soPin.begin(), options.soPin.end());
    so.maxTries = options.soPinTries;
    so.pkcs11So = true;
    so.changeAc = ac::ADMIN;
    so.unblockAc = ac::ADMIN;
    setups.push_back(so);
    setups.insert(setups.end(), options.extraAuthObjects.begin(), options.extraAuthObjects.end());
    for (const auto& setup : setups) {
        if (setup.role == 0 || setup.role > MAX_ROLE)
            throw std::invalid_argument("roles are 1 to 7");
        if (setup.maxTries == 0 || setup.maxTries > 15)
            throw std::invalid_argument("tries must be 1 to 15");
        AuthObject object;
        object.type = setup.type;
        object.maxTries = object.tries = setup.maxTries;
        object.pkcs11So = setup.pkcs11So;
        object.changeAc = setup.changeAc;
        object.unblockAc = setup.unblockAc;
        object.policy = setup.policy;
        if (setup.type == AuthType::PIN) {
            if (setup.value.size() > 16)
                throw std::invalid_argument("a PIN has at most 16 bytes");
            object.value = setup.value;
            object.value.resize(16, 0);
            if (!meetsPolicy(object.value, object.policy))
                throw std::invalid_argument("PIN of role " + std::to_string(setup.role) +
                                            " does not meet the PIN policy");
        } else {
            if (setup.value.size() != 24)
                throw std::invalid_argument("a key value has 24 bytes");
            object.value = setup.value;
        }
        persistent.auth[setup.role] = std::move(object);
    }

    state_->rebuildBlockMap();
    if (options.containerFiles) {
        auto addDirectory = [&](const char* name, std::uint16_t acWrite,
                                std::uint16_t acDelete) -> std::uint16_t {
            CardObject directory;
            directory.chain = Chain::DIRECTORIES;
            for (std::size_t i = 0; name[i] && i < 8; ++i)
                directory.name[i] = std::uint8_t(name[i]);
            directory.acRead = ac::EVERYONE;
            directory.acWrite = acWrite;
            directory.acDelete = acDelete;
            directory.headerBlocks =
                state_->allocate(state_->headerBlocksFor(Chain::DIRECTORIES, 0));
            directory.id = directory.headerBlocks.front();
            persistent.chains[std::size_t(Chain::DIRECTORIES)].push_back(directory);
            return directory.id;
        };
        auto addFile = [&](std::uint16_t directoryId, const char* name, const Bytes& content) {
            CardObject file;
            file.chain = Chain::FILES;
            file.dirId = directoryId;
            for (std::size_t i = 0; name[i] && i < 8; ++i)
                file.name[i] = std::uint8_t(name[i]);
            file.acRead = ac::EVERYONE;
            file.acWrite = ac::USER_OR_ADMIN;
            file.acDelete = ac::ADMIN;
            file.headerBlocks = state_->allocate(state_->headerBlocksFor(Chain::FILES, 0));
            file.id = file.headerBlocks.front();
            file.hasContent = true;
            file.content = content;
            file.contentBlocks = state_->allocate(blocksFor(content.size(), persistent.blockSize));
            persistent.chains[std::size_t(Chain::FILES)].push_back(file);
        };
        try {
            const std::uint16_t root = addDirectory("", ac::ADMIN, ac::NOBODY);
            addFile(root, "cardcf", Bytes(6, 0));
            const std::uint16_t mscp = addDirectory("mscp", ac::ADMIN, ac::NOBODY);
            addFile(mscp, "cmapfile", Bytes());
        } catch (const Sw&) {
            throw std::invalid_argument("memory too small for the container files");
        }
    }
    std::string problem = validate(persistent);
    if (!problem.empty())
        throw std::invalid_argument("inconsistent personalisation: " + problem);
}

KalvikCard::~KalvikCard() = default;

std::unique_ptr<KalvikCard> KalvikCard::load(const std::string& path) {
    Bytes image = readFile(path);
    std::unique_ptr<KalvikCard> card(new KalvikCard(Unpersonalised{}));
    card->state_->persistent = decodeImage(image, "card image " + path);
    card->state_->rebuildBlockMap();
    card->state_->imagePath = path;
    return card;
}

void KalvikCard::save(const std::string& path) const { writeFileAtomically(path, serialize()); }

void KalvikCard::persistTo(const std::string& path) {
    if (!path.empty())
        save(path);
    state_->imagePath = path;
}

const std::string& KalvikCard::imagePath() const { return state_->imagePath; }

Bytes KalvikCard::serialize() const { return encodeImage(state_->persistent); }

Bytes KalvikCard::atr() const {
    // T=1 only (TD1 = 80: TD2 follows; TD2 = 01: T=1), historical bytes name the card.
    static const char historical[] = "KalvikVC31";
    constexpr std::size_t historicalLength = sizeof historical - 1;
    // Sized up front: growing a vector built from a brace list trips GCC 12's
    // -Warray-bounds at -O2.
    Bytes atr(4 + historicalLength + 1);
    atr[0] = 0x3B;
    atr[1] = std::uint8_t(0x80 | historicalLength);
    atr[2] = 0x80;
    atr[3] = 0x01;
    std::copy(historical, historical + historicalLength, atr.begin() + 4);
    std::uint8_t check = 0;
    for (std::size_t i = 1; i + 1 < atr.size(); ++i)
        check ^= atr[i];
    atr.back() = check;
    return atr;
}

void KalvikCard::powerOn() {
    state_->clearVolatile();
    state_->powered = true;
}

void KalvikCard::powerOff() {
    state_->clearVolatile();
    state_->powered = false;
}

void KalvikCard::reset() {
    state_->clearVolatile();
    state_->powered = true;
}

Bytes KalvikCard::transmit(const Bytes& bytes) {
    State& state = *state_;
    state.powered = true;  // a reader may send without an explicit power-on
    Apdu command;
    if (!parse(bytes, command))
        return status(SW_WRONG_LENGTH);
    Bytes response;
    state.dirty = false;
    try {
        response = state.execute(command);
    } catch (const Sw& refused) {
        response = status(refused.sw);
    } catch (const crypto::CryptoError&) {
        response = status(SW_CARD_FAULT);
    }
    if (state.dirty && !state.imagePath.empty()) {
        try {
            writeFileAtomically(state.imagePath, encodeImage(state.persistent));
        } catch (const ImageError&) {
            // Not committed: go back to what the image holds, like a card
            // whose write was interrupted.
            try {
                state.persistent = decodeImage(readFile(state.imagePath), state.imagePath);
                state.rebuildBlockMap();
            } catch (const ImageError&) {
            }
            state.clearSequences();
            response = status(SW_MEMORY_FAILURE);
        }
    }
    state.dirty = false;
    return response;
}

// ---------------------------------------------------------------------------
// Views

std::size_t KalvikCard::objectCount(Chain chain) const { return state_->chain(chain).size(); }

std::vector<ObjectSummary> KalvikCard::objects() const {
    auto text = [](const std::array<std::uint8_t, 8>& name) {
        std::string out;
        for (auto c : name) {
            if (!c)
                break;
            out.push_back(char(c));
        }
        return out;
    };
    std::vector<ObjectSummary> out;
    for (const auto& list : state_->persistent.chains) {
        for (const auto& object : list) {
            ObjectSummary summary;
            summary.chain = object.chain;
            summary.blockId = object.id;
            if (object.chain == Chain::DIRECTORIES)
                summary.name = text(object.name);
            if (object.chain == Chain::FILES) {
                std::string directoryName;
                for (const auto& directory : state_->chain(Chain::DIRECTORIES))
                    if (directory.id == object.dirId)
                        directoryName = text(directory.name);
                summary.name = directoryName + "/" + text(object.name);
            }
            summary.metadataSize = object.metadata.size();
            if (hasContentArea(object.chain))
                summary.contentSize = object.hasContent ? object.content.size() : 0;
            summary.acRead = object.acRead;
            summary.acWrite = object.acWrite;
            summary.acDelete = object.acDelete;
            summary.keySize = object.keySize;
            summary.contentCode = object.contentCode;
            summary.blocks = object.blockCount();
            out.push_back(std::move(summary));
        }
    }
    return out;
}

std::optional<Bytes> KalvikCard::fileContent(const std::string& path) const {
    for (const auto& summary : objects()) {
        if (summary.chain != Chain::FILES || summary.name != path)
            continue;
        for (const auto& file : state_->chain(Chain::FILES))
            if (file.id == summary.blockId && file.hasContent)
                return file.content;
    }
    return std::nullopt;
}

std::vector<AuthObjectSummary> KalvikCard::authObjects() const {
    std::vector<AuthObjectSummary> out;
    for (std::uint8_t role = 1; role <= MAX_ROLE; ++role) {
        const auto& object = state_->persistent.auth[role];
        if (!object)
            continue;
        out.push_back(AuthObjectSummary{role, object->type, object->maxTries, object->tries,
                                        object->pkcs11So});
    }
    return out;
}

int KalvikCard::triesRemaining(std::uint8_t role) const {
    if (role == 0 || role > MAX_ROLE || !state_->persistent.auth[role])
        return -1;
    return state_->persistent.auth[role]->tries;
}

bool KalvikCard::isAuthenticated(std::uint8_t role) const {
    return role <= MAX_ROLE && (state_->authMask & (1u << role));
}

std::array<std::uint8_t, KalvikCard::FRESHNESS_SIZE> KalvikCard::freshness() const {
    return state_->persistent.freshness;
}
std::array<std::uint8_t, 16> KalvikCard::cardId() const { return state_->persistent.cardId; }
std::array<std::uint8_t, 8> KalvikCard::serialNumber() const { return state_->persistent.serial; }
std::uint8_t KalvikCard::versionMajor() const { return state_->persistent.versionMajor; }
std::uint8_t KalvikCard::versionMinor() const { return state_->persistent.versionMinor; }
std::uint8_t KalvikCard::lifeCycle() const { return state_->persistent.lifeCycle; }
std::uint16_t KalvikCard::blockSize() const { return state_->persistent.blockSize; }
std::uint16_t KalvikCard::totalBlocks() const { return state_->persistent.totalBlocks; }
std::uint16_t KalvikCard::freeBlocks() const { return std::uint16_t(state_->freeBlocks()); }
std::size_t KalvikCard::freeKeySlots() const {
    return std::size_t(
        std::count_if(state_->persistent.keySlots.begin(), state_->persistent.keySlots.end(),
                      [](const KeySlot& slot) { return slot.occupant == NO_BLOCK; }));
}
bool KalvikCard::isPowered() const { return state_->powered; }

}  // namespace vcard
