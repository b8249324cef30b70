// The applet: command decoding, the object store with its block memory, RSA,
// authentication and access conditions.
#include "vcard/kalvikcard.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

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
constexpr std::uint16_t SW_OUT_OF_MEMORY = 0x6F03;
constexpr std::uint16_t SW_SESSION_PIN = 0x6F10;
constexpr std::uint16_t SW_PIN_POLICY = 0x6F18;

constexpr std::size_t kSessionPinsPerRole = 4;
constexpr std::size_t kMaxMetadata = 4096;

using Block8 = std::array<std::uint8_t, 8>;

struct Apdu {
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    Bytes data;
    bool hasLe = false;
    std::size_t ne = 0;  // expected response length (Le 00 = 256)
};

// Short (non-extended) APDU cases 1 to 4; a case-4 command may come without
// its Le (T=0 readers drop it).
bool parse(const Bytes& c, Apdu& a) {
    if (c.size() < 4)
        return false;
    a.cla = c[0];
    a.ins = c[1];
    a.p1 = c[2];
    a.p2 = c[3];
    if (c.size() == 4)
        return true;
    if (c.size() == 5) {
        a.hasLe = true;
        a.ne = c[4] == 0 ? 256 : c[4];
        return true;
    }
    const std::size_t lc = c[4];
    if (lc == 0)
        return false;
    if (c.size() == 5 + lc) {
        a.data.assign(c.begin() + 5, c.end());
        return true;
    }
    if (c.size() == 6 + lc) {
        a.data.assign(c.begin() + 5, c.end() - 1);
        a.hasLe = true;
        a.ne = c.back() == 0 ? 256 : c.back();
        return true;
    }
    return false;
}

Bytes status(std::uint16_t sw) { return Bytes{std::uint8_t(sw >> 8), std::uint8_t(sw)}; }

// Data with 9000, or 6Cxx when the command asked for another length.
Bytes answer(const Apdu& a, Bytes data) {
    if (data.empty())
        return status(SW_OK);
    if (a.hasLe && a.ne != data.size())
        return status(std::uint16_t(0x6C00 | (data.size() & 0xFF)));
    data.push_back(0x90);
    data.push_back(0x00);
    return data;
}

std::uint16_t be16(const Bytes& d, std::size_t at) { return std::uint16_t(d[at] << 8 | d[at + 1]); }
void put16(Bytes& d, std::size_t at, std::uint16_t v) {
    d[at] = std::uint8_t(v >> 8);
    d[at + 1] = std::uint8_t(v);
}

bool validAc(std::uint16_t v) { return (v >> 8) == 0x01; }

Bytes stripLeadingZeros(Bytes v) {
    auto nz = std::find_if(v.begin(), v.end(), [](std::uint8_t b) { return b != 0; });
    v.erase(v.begin(), nz);
    return v;
}

// A PIN as stored: up to the first zero byte, nothing but zeros after it.
bool meetsPolicy(const Bytes& padded, const PinPolicy& policy) {
    auto end = std::find(padded.begin(), padded.end(), std::uint8_t(0));
    if (std::any_of(end, padded.end(), [](std::uint8_t b) { return b != 0; }))
        return false;
    const std::size_t len = std::size_t(end - padded.begin());
    if (len < policy.minLength || len > policy.maxLength)
        return false;
    if (policy.digitsOnly &&
        std::any_of(padded.begin(), end, [](std::uint8_t b) { return b < '0' || b > '9'; }))
        return false;
    return true;
}

bool equalSecret(const Bytes& a, const Bytes& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// Status words from the handlers: thrown, caught in transmit.
struct Sw {
    std::uint16_t sw;
};
[[noreturn]] void fail(std::uint16_t sw) { throw Sw{sw}; }

}  // namespace

struct KalvikCard::State {
    Persistent p;
    std::vector<bool> used;  // block map derived from the objects
    std::string imagePath;
    bool dirty = false;

    // Cleared by power off, reset and (apart from session PINs) by SELECT.
    bool powered = true;
    bool selected = false;
    std::uint8_t authMask = 0;  // bit n = role n
    std::array<std::deque<Block8>, kMaxRole + 1> sessionPins;
    std::array<std::optional<Block8>, kMaxRole + 1> challenges;

    struct Pending {
        enum Kind { None, Create, UpdateMetadata, Amend, Content } kind = None;
        CardObject object;  // Create: the new object
        std::uint16_t target = kNoBlock;
        crypto::RsaKey key;  // components imported or generated
        std::uint8_t amendOp = 0;
        std::uint8_t containerIndex = 0, keySpec = 0;
        std::uint16_t keyUsage = 0;
        bool sizeSet = false;
        std::size_t expected = 0;
        Bytes buf;
    } pending;

    struct {
        bool active = false;
        Bytes data;
        std::size_t pos = 0;
    } read;

    std::uint16_t selectedKey = kNoBlock;  // getComponent works on it
    struct CryptState {
        std::uint16_t key = kNoBlock;
        bool chained = false;
        Bytes first;
    } crypt;

    // --- memory ----------------------------------------------------------
    void rebuildBlockMap() {
        used.assign(p.totalBlocks, false);
        for (const auto& chain : p.chains)
            for (const auto& o : chain)
                for (const auto* list : {&o.headerBlocks, &o.contentBlocks, &o.keyBlocks})
                    for (auto b : *list)
                        used[b] = true;
    }
    std::size_t freeBlocks() const {
        return std::size_t(std::count(used.begin(), used.end(), false));
    }
    std::vector<std::uint16_t> allocate(std::size_t n) {
        std::vector<std::uint16_t> out;
        for (std::size_t i = 0; i < used.size() && out.size() < n; ++i)
            if (!used[i])
                out.push_back(std::uint16_t(i));
        if (out.size() < n)
            fail(SW_OUT_OF_MEMORY);
        for (auto b : out)
            used[b] = true;
        return out;
    }
    void release(std::vector<std::uint16_t>& blocks) {
        for (auto b : blocks)
            used[b] = false;
        blocks.clear();
    }
    std::size_t headerBlocksFor(Chain c, std::size_t metadataSize) const {
        return std::max<std::size_t>(1, blocksFor(headerSize(c) + metadataSize, p.blockSize));
    }
    // Resizes the header area in place, keeping the first block (the id).
    void resizeHeader(CardObject& o, std::size_t metadataSize) {
        const std::size_t want = headerBlocksFor(o.chain, metadataSize);
        const std::size_t have = o.headerBlocks.size();
        if (want > have) {
            auto more = allocate(want - have);
            o.headerBlocks.insert(o.headerBlocks.end(), more.begin(), more.end());
        }
        while (o.headerBlocks.size() > want) {
            used[o.headerBlocks.back()] = false;
            o.headerBlocks.pop_back();
        }
    }

    // --- lookup ------------------------------------------------------------
    CardObject* find(std::uint16_t id) {
        for (auto& chain : p.chains)
            for (auto& o : chain)
                if (o.id == id)
                    return &o;
        return nullptr;
    }
    CardObject& findOrFail(std::uint16_t id) {
        CardObject* o = find(id);
        if (!o)
            fail(SW_NOT_FOUND);
        return *o;
    }
    std::vector<CardObject>& chain(Chain c) { return p.chains[std::size_t(c)]; }
    const std::vector<CardObject>& chain(Chain c) const { return p.chains[std::size_t(c)]; }

    // --- access ------------------------------------------------------------
    bool allowed(std::uint16_t acv) const {
        if (!validAc(acv))
            return false;
        const std::uint8_t mask = std::uint8_t(acv);
        return (mask & 0x01) || (mask & authMask);
    }
    void require(std::uint16_t acv) const {
        if (!allowed(acv))
            fail(SW_SECURITY);
    }
    AuthObject& authObject(std::uint8_t role) {
        if (role == 0 || role > kMaxRole || !p.auth[role])
            fail(SW_NO_SUCH_ROLE);
        return *p.auth[role];
    }

    // --- headers -------------------------------------------------------------
    Bytes header(const CardObject& o) const {
        Bytes h(headerSize(o.chain), 0);
        h[0] = std::uint8_t(o.chain);
        std::uint16_t next = kNoBlock;
        const auto& list = chain(o.chain);
        for (std::size_t i = 0; i + 1 < list.size(); ++i)
            if (list[i].id == o.id)
                next = list[i + 1].id;
        put16(h, 1, next);
        put16(h, 3, std::uint16_t(o.metadata.size()));
        put16(h, 5, std::uint16_t(o.hasContent ? o.content.size() : 0));
        put16(h, 7, o.acExtra);
        put16(h, 9, std::uint16_t(o.blockCount()));
        put16(h, 11, o.acRead);
        put16(h, 13, o.acWrite);
        put16(h, 15, o.acDelete);
        switch (o.chain) {
        case Chain::Certificates:
            h[17] = o.trusted ? 1 : 0;
            break;
        case Chain::KeyPairs:
            h[17] = o.keySlot;
            put16(h, 20, o.keyUsage);
            h[22] = o.contentCode;
            h[23] = o.containerIndex;
            h[24] = o.keySpec;
            put16(h, 25, o.keySize);
            break;
        case Chain::Directories:
            std::copy(o.name.begin(), o.name.end(), h.begin() + 19);
            break;
        case Chain::Files: {
            const CardObject* dir = nullptr;
            for (const auto& d : chain(Chain::Directories))
                if (d.id == o.dirId)
                    dir = &d;
            if (dir)
                std::copy(dir->name.begin(), dir->name.end(), h.begin() + 17);
            std::copy(o.name.begin(), o.name.end(), h.begin() + 25);
            break;
        }
        case Chain::DataObjects:
            break;
        }
        return h;
    }

    // --- volatile state -------------------------------------------------------
    void clearSequences() {
        pending = Pending{};
        read.active = false;
        read.data.clear();
        selectedKey = kNoBlock;
        crypt = CryptState{};
    }
    void clearVolatile() {
        clearSequences();
        selected = false;
        authMask = 0;
        for (auto& s : sessionPins)
            s.clear();
        for (auto& c : challenges)
            c.reset();
    }

    Bytes execute(const Apdu& a);
    Bytes select(const Apdu& a);

    // handlers
    Bytes info(const Apdu& a);
    Bytes heads(const Apdu& a);
    Bytes deleteObject(const Apdu& a);
    Bytes writeData(const Apdu& a);
    Bytes removeContent(const Apdu& a);
    Bytes beginUpdateMetadata(const Apdu& a);
    Bytes beginReadMetadata(const Apdu& a);
    Bytes readData(const Apdu& a);
    Bytes createContent(const Apdu& a);
    Bytes beginReadContent(const Apdu& a);
    Bytes authenticate(const Apdu& a);
    Bytes changePin(const Apdu& a);
    Bytes unblockPin(const Apdu& a);
    Bytes authObjectRecord(const Apdu& a);
    Bytes generateSessionPin(const Apdu& a);
    Bytes commitUpdateContent(const Apdu& a);
    Bytes commitMetadata(const Apdu& a);
    Bytes setMetadataSize(const Apdu& a);
    Bytes create(const Apdu& a);
    Bytes generateKeyPair(const Apdu& a);
    Bytes importComponent(const Apdu& a);
    Bytes getComponent(const Apdu& a);
    Bytes cryptInit(const Apdu& a);
    Bytes cryptBlock(const Apdu& a, bool final);
    Bytes amendKeypair(const Apdu& a);
    Bytes continueAmend(const Apdu& a);

    // helpers
    std::uint16_t resolveAc(std::uint16_t v, std::uint16_t cardDefault) const {
        if (v == ac::CARD_DEFAULT)
            return cardDefault;
        if (!validAc(v))
            fail(SW_WRONG_DATA);
        return v;
    }
    std::optional<std::uint8_t> freeKeySlot(std::uint16_t keySize) const {
        std::optional<std::uint8_t> anySize;
        for (std::size_t i = 0; i < p.keySlots.size(); ++i) {
            const auto& s = p.keySlots[i];
            if (s.occupant != kNoBlock)
                continue;
            if (s.setup.sizeBound && s.setup.keySize == keySize)
                return std::uint8_t(i);
            if (!s.setup.sizeBound && !anySize)
                anySize = std::uint8_t(i);
        }
        return anySize;
    }
    bool verifySecret(std::uint8_t role, AuthObject& ao, const Bytes& secret);
    void checkKeyComplete(std::uint8_t code, std::uint16_t keySize, const crypto::RsaKey& k) const;
    void storeKeyMaterial(CardObject& o, const crypto::RsaKey& k, std::uint8_t code);
    void unlink(CardObject& o);
};

namespace {
constexpr std::uint16_t kCreateAc = ac::USER_OR_ADMIN;
}

// ---------------------------------------------------------------------------
// Dispatch

Bytes KalvikCard::State::select(const Apdu& a) {
    if (a.p1 != 0x04 || a.p2 != 0x00)
        return status(SW_WRONG_P1P2);
    if (a.data.size() != kAid.size() || !std::equal(kAid.begin(), kAid.end(), a.data.begin()))
        return status(SW_APPLET_NOT_FOUND);
    // A fresh selection starts a new applet session; session PINs survive it.
    clearSequences();
    authMask = 0;
    for (auto& c : challenges)
        c.reset();
    selected = true;
    return status(SW_OK);
}

Bytes KalvikCard::State::execute(const Apdu& a) {
    if (a.cla == 0x00) {
        if (a.ins == 0xA4)
            return select(a);
        return status(SW_INS);
    }
    if (a.cla != 0x80)
        return status(SW_CLA);
    if (!selected)
        return status(SW_INS);

    // A new multi-command sequence replaces an unfinished one.
    switch (a.ins) {
    case 0x3E:
    case 0x16:
    case 0x4C:
    case 0x1C:
        pending = Pending{};
        break;
    default:
        break;
    }

    switch (a.ins) {
    case 0x02:
        return answer(a, {p.versionMajor, p.versionMinor});
    case 0x04:
        return answer(a, Bytes(p.serial.begin(), p.serial.end()));
    case 0x06:
        return info(a);
    case 0x08:
        return answer(a, Bytes(p.cardId.begin(), p.cardId.end()));
    case 0x0A:
        return heads(a);
    case 0x0C:
        return answer(a, Bytes(p.freshness.begin(), p.freshness.end()));
    case 0x0E:
        if (a.data.size() != p.freshness.size())
            return status(SW_WRONG_LENGTH);
        std::copy(a.data.begin(), a.data.end(), p.freshness.begin());
        dirty = true;
        return status(SW_OK);
    case 0x10:
        return deleteObject(a);
    case 0x12:
        return writeData(a);
    case 0x14:
        return removeContent(a);
    case 0x16:
        return beginUpdateMetadata(a);
    case 0x18:
        return beginReadMetadata(a);
    case 0x1A:
        return readData(a);
    case 0x1C:
        return createContent(a);
    case 0x1E:
        return beginReadContent(a);
    case 0x20:
        return authenticate(a);
    case 0x22:
        if (a.p1 > kMaxRole)
            return status(SW_NO_SUCH_ROLE);
        authMask &= std::uint8_t(~(1u << a.p1));
        return status(SW_OK);
    case 0x24: {
        authObject(a.p1);
        if (a.hasLe && a.ne != 8)
            return status(0x6C08);
        Block8 c;
        crypto::randomBytes(c.data(), c.size());
        challenges[a.p1] = c;
        return answer(a, Bytes(c.begin(), c.end()));
    }
    case 0x26:
        return changePin(a);
    case 0x28:
        return unblockPin(a);
    case 0x2C:
        return authObjectRecord(a);
    case 0x2E:
        return generateSessionPin(a);
    case 0x30:
        require(ac::ADMIN);
        if (p.lifeCycle != KalvikCard::kLifeCycleActivated) {
            p.lifeCycle = KalvikCard::kLifeCycleActivated;
            dirty = true;
        }
        return status(SW_OK);
    case 0x38:
        return commitUpdateContent(a);
    case 0x3A:
        return commitMetadata(a);
    case 0x3C:
        return setMetadataSize(a);
    case 0x3E:
        return create(a);
    case 0x40:
        return generateKeyPair(a);
    case 0x42:
        return importComponent(a);
    case 0x44:
        return getComponent(a);
    case 0x46:
        return cryptInit(a);
    case 0x48:
        return cryptBlock(a, false);
    case 0x4A:
        return cryptBlock(a, true);
    case 0x4C:
        return amendKeypair(a);
    case 0x4E:
        return continueAmend(a);
    case 0x50:
        return answer(a, {std::uint8_t(authMask & 0xFE)});
    case 0x52:
        if (a.data.size() != p.cardId.size())
            return status(SW_WRONG_LENGTH);
        require(ac::ADMIN);
        std::copy(a.data.begin(), a.data.end(), p.cardId.begin());
        dirty = true;
        return status(SW_OK);
    default:
        return status(SW_INS);
    }
}

// ---------------------------------------------------------------------------
// Card facts

Bytes KalvikCard::State::info(const Apdu& a) {
    switch (a.p1) {
    case 0x01: {
        Bytes d(8, 0);
        put16(d, 0, p.blockSize);
        put16(d, 2, p.totalBlocks);
        put16(d, 4, std::uint16_t(freeBlocks()));
        return answer(a, d);
    }
    case 0x02:
        return answer(a, Bytes(p.gacInfo.begin(), p.gacInfo.end()));
    case 0x03: {
        // Free key slots: flag 1 and the size for a slot bound to one key size.
        Bytes d;
        for (const auto& s : p.keySlots) {
            if (s.occupant != kNoBlock)
                continue;
            d.push_back(s.setup.sizeBound ? 1 : 0);
            d.push_back(std::uint8_t(s.setup.keySize >> 8));
            d.push_back(std::uint8_t(s.setup.keySize));
        }
        return answer(a, d);
    }
    case 0x04:
        return answer(a, {p.lifeCycle});
    default:
        return status(SW_WRONG_P1P2);
    }
}

Bytes KalvikCard::State::heads(const Apdu& a) {
    Bytes d(10, 0);
    const Chain order[] = {Chain::DataObjects, Chain::KeyPairs, Chain::Certificates,
                           Chain::Directories, Chain::Files};
    for (std::size_t i = 0; i < 5; ++i) {
        const auto& list = chain(order[i]);
        put16(d, i * 2, list.empty() ? kNoBlock : list.front().id);
    }
    return answer(a, d);
}

// ---------------------------------------------------------------------------
// Object store

void KalvikCard::State::unlink(CardObject& o) {
    release(o.headerBlocks);
    release(o.contentBlocks);
    release(o.keyBlocks);
    if (o.keySlot != 0xFF && o.keySlot < p.keySlots.size())
        p.keySlots[o.keySlot].occupant = kNoBlock;
    const std::uint16_t id = o.id;
    auto& list = chain(o.chain);
    list.erase(
        std::remove_if(list.begin(), list.end(), [id](const CardObject& x) { return x.id == id; }),
        list.end());
    if (selectedKey == id)
        selectedKey = kNoBlock;
    if (crypt.key == id)
        crypt = CryptState{};
    if (pending.target == id)
        pending = Pending{};
}

Bytes KalvikCard::State::deleteObject(const Apdu& a) {
    CardObject& o = findOrFail(be16({a.p1, a.p2}, 0));
    require(o.acDelete);
    if (o.chain == Chain::Directories) {
        for (const auto& f : chain(Chain::Files))
            if (f.dirId == o.id)
                fail(SW_SEQUENCE);
    }
    unlink(o);
    dirty = true;
    return status(SW_OK);
}

Bytes KalvikCard::State::create(const Apdu& a) {
    require(kCreateAc);
    CardObject o;
    const Bytes& d = a.data;
    switch (a.p2) {
    case 0x00:  // data object: four words, the second reads the content
        if (d.size() != 8)
            fail(SW_WRONG_LENGTH);
        o.chain = Chain::DataObjects;
        o.acExtra = resolveAc(be16(d, 0), ac::USER_OR_ADMIN);
        o.acRead = resolveAc(be16(d, 2), ac::USER_OR_ADMIN);
        o.acWrite = resolveAc(be16(d, 4), ac::USER_OR_ADMIN);
        o.acDelete = resolveAc(be16(d, 6), ac::USER_OR_ADMIN);
        break;
    case 0x01: {  // key pair
        if (d.size() != 13)
            fail(SW_WRONG_LENGTH);
        o.chain = Chain::KeyPairs;
        o.contentCode = d[0];
        o.keySize = be16(d, 1);
        o.keyUsage = be16(d, 3);
        o.containerIndex = d[5];
        o.keySpec = d[6];
        o.acRead = resolveAc(be16(d, 7), ac::USER_OR_ADMIN);
        o.acWrite = resolveAc(be16(d, 9), ac::USER_OR_ADMIN);
        o.acDelete = resolveAc(be16(d, 11), ac::USER_OR_ADMIN);
        if (o.contentCode != 7 && o.contentCode != 6 && o.contentCode != 2 && o.contentCode != 4)
            fail(SW_WRONG_DATA);
        if (o.keySize != 1024 && o.keySize != 2048)
            fail(SW_WRONG_DATA);
        if (o.keySpec > 1)
            fail(SW_WRONG_DATA);
        if (o.hasPrivate() && !freeKeySlot(o.keySize))
            fail(SW_OUT_OF_MEMORY);
        break;
    }
    case 0x02:  // certificate: public unless asked otherwise
        if (d.size() != 7)
            fail(SW_WRONG_LENGTH);
        o.chain = Chain::Certificates;
        o.trusted = d[0] != 0;
        o.acRead = resolveAc(be16(d, 1), ac::EVERYONE);
        o.acWrite = resolveAc(be16(d, 3), ac::USER_OR_ADMIN);
        o.acDelete = resolveAc(be16(d, 5), ac::USER_OR_ADMIN);
        break;
    case 0x03: {  // directory: name, then word 2, word 1
        if (d.size() != 12)
            fail(SW_WRONG_LENGTH);
        o.chain = Chain::Directories;
        std::copy(d.begin(), d.begin() + 8, o.name.begin());
        if (o.name[0] == 0)
            fail(SW_WRONG_DATA);
        o.acRead = ac::EVERYONE;
        o.acDelete = resolveAc(be16(d, 8), ac::USER_OR_ADMIN);
        o.acWrite = resolveAc(be16(d, 10), ac::USER_OR_ADMIN);
        auto lower = [](std::array<std::uint8_t, 8> n) {
            for (auto& c : n)
                if (c >= 'A' && c <= 'Z')
                    c = std::uint8_t(c - 'A' + 'a');
            return n;
        };
        for (const auto& other : chain(Chain::Directories))
            if (lower(other.name) == lower(o.name))
                fail(SW_EXISTS);
        break;
    }
    case 0x04: {  // file: directory, name, three words
        if (d.size() != 16)
            fail(SW_WRONG_LENGTH);
        o.chain = Chain::Files;
        o.dirId = be16(d, 0);
        const CardObject* dir = find(o.dirId);
        if (!dir || dir->chain != Chain::Directories)
            fail(SW_NOT_FOUND);
        require(dir->acWrite);
        std::copy(d.begin() + 2, d.begin() + 10, o.name.begin());
        if (o.name[0] == 0)
            fail(SW_WRONG_DATA);
        for (const auto& f : chain(Chain::Files))
            if (f.dirId == o.dirId && f.name == o.name)
                fail(SW_EXISTS);
        o.acRead = resolveAc(be16(d, 10), ac::USER_OR_ADMIN);
        o.acWrite = resolveAc(be16(d, 12), ac::USER_OR_ADMIN);
        o.acDelete = resolveAc(be16(d, 14), ac::USER_OR_ADMIN);
        break;
    }
    default:
        fail(SW_WRONG_P1P2);
    }
    if (a.p1 != 0)
        fail(SW_WRONG_P1P2);
    pending.kind = Pending::Create;
    pending.object = std::move(o);
    return status(SW_OK);
}

Bytes KalvikCard::State::setMetadataSize(const Apdu& a) {
    if (a.data.size() != 2)
        fail(SW_WRONG_LENGTH);
    if (pending.kind != Pending::Create || pending.sizeSet) {
        pending = Pending{};
        fail(SW_SEQUENCE);
    }
    const std::size_t size = be16(a.data, 0);
    if (size > kMaxMetadata)
        fail(SW_WRONG_DATA);
    CardObject& o = pending.object;
    if (o.chain == Chain::KeyPairs) {
        try {
            checkKeyComplete(o.contentCode, o.keySize, pending.key);
        } catch (const Sw&) {
            pending = Pending{};
            throw;
        }
    }
    pending.sizeSet = true;
    pending.expected = size;
    pending.buf.clear();
    return status(SW_OK);
}

Bytes KalvikCard::State::beginUpdateMetadata(const Apdu& a) {
    if (a.data.size() != 2)
        fail(SW_WRONG_LENGTH);
    CardObject& o = findOrFail(be16({a.p1, a.p2}, 0));
    require(o.acWrite);
    const std::size_t size = be16(a.data, 0);
    if (size > kMaxMetadata)
        fail(SW_WRONG_DATA);
    pending.kind = Pending::UpdateMetadata;
    pending.target = o.id;
    pending.sizeSet = true;
    pending.expected = size;
    return status(SW_OK);
}

Bytes KalvikCard::State::writeData(const Apdu& a) {
    const bool metadataStage =
        (pending.kind == Pending::Create || pending.kind == Pending::UpdateMetadata ||
         pending.kind == Pending::Amend) &&
        pending.sizeSet;
    if (!metadataStage && pending.kind != Pending::Content) {
        pending = Pending{};
        fail(SW_SEQUENCE);
    }
    if (pending.buf.size() + a.data.size() > pending.expected) {
        pending = Pending{};
        fail(SW_WRONG_LENGTH);
    }
    pending.buf.insert(pending.buf.end(), a.data.begin(), a.data.end());
    return status(SW_OK);
}

void KalvikCard::State::checkKeyComplete(std::uint8_t code, std::uint16_t keySize,
                                         const crypto::RsaKey& k) const {
    const std::size_t nLen = keySize / 8;
    if (code & 0x02) {
        if (k.n.size() != nLen || k.n[0] == 0 || k.e.empty())
            fail(SW_SEQUENCE);
    }
    if (code & 0x04) {
        if (k.p.empty() || k.q.empty() || k.dp.empty() || k.dq.empty() || k.inv.empty())
            fail(SW_SEQUENCE);
        // The primes must make a modulus of the declared size.
        Bytes n = crypto::product(k.p, k.q);
        if (n.size() != nLen)
            fail(SW_WRONG_DATA);
        if ((code & 0x02) && !crypto::consistent(k))
            fail(SW_WRONG_DATA);
    }
}

void KalvikCard::State::storeKeyMaterial(CardObject& o, const crypto::RsaKey& k,
                                         std::uint8_t code) {
    crypto::RsaKey stored;
    if (code & 0x02) {
        stored.n = k.n;
        stored.e = k.e;
    }
    if (code & 0x04) {
        stored.p = k.p;
        stored.q = k.q;
        stored.dp = k.dp;
        stored.dq = k.dq;
        stored.inv = k.inv;
    }
    o.key = std::move(stored);
}

Bytes KalvikCard::State::commitMetadata(const Apdu& a) {
    const bool ready =
        (pending.kind == Pending::Create || pending.kind == Pending::UpdateMetadata ||
         pending.kind == Pending::Amend) &&
        pending.sizeSet && pending.buf.size() == pending.expected;
    if (!ready) {
        pending = Pending{};
        fail(SW_SEQUENCE);
    }
    Pending work = std::move(pending);
    pending = Pending{};
    std::uint16_t id = kNoBlock;

    if (work.kind == Pending::Create) {
        CardObject o = std::move(work.object);
        // The directory of a new file may have gone since the create command.
        if (o.chain == Chain::Files) {
            const CardObject* dir = find(o.dirId);
            if (!dir || dir->chain != Chain::Directories)
                fail(SW_NOT_FOUND);
        }
        o.metadata = std::move(work.buf);
        std::size_t keyBlocks = 0;
        if (o.chain == Chain::KeyPairs) {
            storeKeyMaterial(o, work.key, o.contentCode);
            keyBlocks = blocksFor(o.keyMaterialSize(), p.blockSize);
        }
        const std::size_t headerBlocks = headerBlocksFor(o.chain, o.metadata.size());
        if (headerBlocks + keyBlocks > freeBlocks())
            fail(SW_OUT_OF_MEMORY);
        std::optional<std::uint8_t> slot;
        if (o.chain == Chain::KeyPairs && o.hasPrivate()) {
            slot = freeKeySlot(o.keySize);
            if (!slot)
                fail(SW_OUT_OF_MEMORY);
        }
        o.headerBlocks = allocate(headerBlocks);
        o.keyBlocks = allocate(keyBlocks);
        o.id = o.headerBlocks.front();
        if (slot) {
            o.keySlot = *slot;
            p.keySlots[*slot].occupant = o.id;
        }
        id = o.id;
        chain(o.chain).push_back(std::move(o));
    } else if (work.kind == Pending::UpdateMetadata) {
        CardObject* o = find(work.target);
        if (!o)
            fail(SW_NOT_FOUND);
        resizeHeader(*o, work.buf.size());
        o->metadata = std::move(work.buf);
        id = o->id;
    } else {  // Amend
        CardObject* o = find(work.target);
        if (!o)
            fail(SW_NOT_FOUND);
        crypto::RsaKey merged = o->key;
        std::uint8_t code = o->contentCode;
        std::optional<std::uint8_t> slot;
        bool freeSlot = false;
        if (work.amendOp == 6) {
            if (!o->hasPublic()) {
                merged.n = work.key.n;
                merged.e = work.key.e;
                code |= 0x02;
            } else {
                merged.p = work.key.p;
                merged.q = work.key.q;
                merged.dp = work.key.dp;
                merged.dq = work.key.dq;
                merged.inv = work.key.inv;
                code |= 0x04;
                slot = freeKeySlot(o->keySize);
                if (!slot)
                    fail(SW_OUT_OF_MEMORY);
            }
        } else if (work.amendOp == 4 || work.amendOp == 5) {
            code &= std::uint8_t(~0x02);
        } else {
            code &= std::uint8_t(~0x04);
            freeSlot = true;
        }
        CardObject updated = *o;
        storeKeyMaterial(updated, merged, code);
        updated.contentCode = code;
        const std::size_t keyBlocks = blocksFor(updated.keyMaterialSize(), p.blockSize);
        const std::size_t headerBlocks = headerBlocksFor(o->chain, work.buf.size());
        if (keyBlocks + headerBlocks > freeBlocks() + o->keyBlocks.size() + o->headerBlocks.size())
            fail(SW_OUT_OF_MEMORY);
        release(o->keyBlocks);
        resizeHeader(*o, work.buf.size());
        o->keyBlocks = allocate(keyBlocks);
        o->key = std::move(updated.key);
        o->contentCode = code;
        o->metadata = std::move(work.buf);
        o->containerIndex = work.containerIndex;
        o->keySpec = work.keySpec;
        o->keyUsage = work.keyUsage;
        if (slot) {
            o->keySlot = *slot;
            p.keySlots[*slot].occupant = o->id;
        }
        if (freeSlot && o->keySlot != 0xFF) {
            p.keySlots[o->keySlot].occupant = kNoBlock;
            o->keySlot = 0xFF;
            if (crypt.key == o->id)
                crypt = CryptState{};
        }
        id = o->id;
    }
    dirty = true;
    return answer(a, {std::uint8_t(id >> 8), std::uint8_t(id)});
}

Bytes KalvikCard::State::removeContent(const Apdu& a) {
    CardObject& o = findOrFail(be16({a.p1, a.p2}, 0));
    if (!hasContentArea(o.chain))
        fail(SW_INCOMPATIBLE);
    require(o.acWrite);
    if (!o.hasContent)
        return status(SW_NO_CONTENT);
    o.hasContent = false;
    o.content.clear();
    release(o.contentBlocks);
    dirty = true;
    return status(SW_OK);
}

Bytes KalvikCard::State::createContent(const Apdu& a) {
    if (a.data.size() != 2)
        fail(SW_WRONG_LENGTH);
    CardObject& o = findOrFail(be16({a.p1, a.p2}, 0));
    if (!hasContentArea(o.chain))
        fail(SW_INCOMPATIBLE);
    require(o.acWrite);
    if (o.hasContent)
        fail(SW_SEQUENCE);
    const std::size_t size = be16(a.data, 0);
    if (blocksFor(size, p.blockSize) > freeBlocks())
        fail(SW_OUT_OF_MEMORY);
    pending.kind = Pending::Content;
    pending.target = o.id;
    pending.expected = size;
    return status(SW_OK);
}

Bytes KalvikCard::State::commitUpdateContent(const Apdu&) {
    if (pending.kind != Pending::Content || pending.buf.size() != pending.expected) {
        pending = Pending{};
        fail(SW_SEQUENCE);
    }
    Pending work = std::move(pending);
    pending = Pending{};
    CardObject& o = findOrFail(work.target);
    if (o.hasContent)
        fail(SW_SEQUENCE);
    o.contentBlocks = allocate(blocksFor(work.buf.size(), p.blockSize));
    o.content = std::move(work.buf);
    o.hasContent = true;
    dirty = true;
    return status(SW_OK);
}

Bytes KalvikCard::State::beginReadMetadata(const Apdu& a) {
    const CardObject& o = findOrFail(be16({a.p1, a.p2}, 0));
    Bytes h = header(o);
    if (a.hasLe && a.ne != h.size())
        return answer(a, h);  // 6Cxx, nothing selected
    read.active = true;
    read.data = o.metadata;
    read.pos = 0;
    if (o.chain == Chain::KeyPairs)
        selectedKey = o.id;
    return answer(a, h);
}

Bytes KalvikCard::State::beginReadContent(const Apdu& a) {
    const CardObject& o = findOrFail(be16({a.p1, a.p2}, 0));
    if (!hasContentArea(o.chain))
        fail(SW_INCOMPATIBLE);
    require(o.acRead);
    if (!o.hasContent)
        return status(SW_NO_CONTENT);
    Bytes size{std::uint8_t(o.content.size() >> 8), std::uint8_t(o.content.size())};
    if (a.hasLe && a.ne != 2)
        return answer(a, size);
    read.active = true;
    read.data = o.content;
    read.pos = 0;
    return answer(a, size);
}

Bytes KalvikCard::State::readData(const Apdu& a) {
    if (!read.active || read.pos >= read.data.size())
        fail(SW_SEQUENCE);
    const std::size_t remaining = read.data.size() - read.pos;
    const std::size_t want = a.hasLe ? a.ne : std::min<std::size_t>(remaining, 255);
    if (want > remaining)
        return status(std::uint16_t(0x6C00 | (remaining & 0xFF)));
    Bytes out(read.data.begin() + std::ptrdiff_t(read.pos),
              read.data.begin() + std::ptrdiff_t(read.pos + want));
    read.pos += want;
    if (read.pos >= read.data.size()) {
        read.active = false;
        read.data.clear();
    }
    out.push_back(0x90);
    out.push_back(0x00);
    return out;
}

// ---------------------------------------------------------------------------
// Keys

Bytes KalvikCard::State::generateKeyPair(const Apdu& a) {
    if (pending.kind != Pending::Create || pending.object.chain != Chain::KeyPairs ||
        pending.object.contentCode != 7 || !pending.key.n.empty() || pending.sizeSet) {
        pending = Pending{};
        fail(SW_SEQUENCE);
    }
    Bytes e = stripLeadingZeros(a.data);
    if (e.empty() || e.size() > 8 || !(e.back() & 1) || (e.size() == 1 && e[0] == 1))
        fail(SW_WRONG_DATA);
    try {
        pending.key = crypto::generate(pending.object.keySize, e);
    } catch (const crypto::CryptoError&) {
        fail(SW_WRONG_DATA);
    }
    Bytes out = pending.key.n;
    out.push_back(0x90);
    out.push_back(0x00);
    return out;
}

Bytes KalvikCard::State::importComponent(const Apdu& a) {
    std::uint8_t code = 0;
    std::uint16_t keySize = 0;
    if (pending.kind == Pending::Create && pending.object.chain == Chain::KeyPairs &&
        !pending.sizeSet && pending.object.contentCode != 7) {
        code = pending.object.contentCode;
        keySize = pending.object.keySize;
    } else if (pending.kind == Pending::Amend && pending.amendOp == 6 && !pending.sizeSet) {
        const CardObject* o = find(pending.target);
        if (!o)
            fail(SW_NOT_FOUND);
        code = o->hasPublic() ? 0x04 : 0x02;
        keySize = o->keySize;
    } else {
        pending = Pending{};
        fail(SW_SEQUENCE);
    }
    const std::size_t half = keySize / 16;
    const Bytes& d = a.data;
    crypto::RsaKey& k = pending.key;
    const bool publicPart = a.p1 == 6 || a.p1 == 7;
    if (a.p1 < 1 || a.p1 > 7)
        fail(SW_WRONG_P1P2);
    if (publicPart ? !(code & 0x02) : !(code & 0x04))
        fail(SW_SEQUENCE);
    if (a.p2 != 0 && !(a.p1 == 6 && a.p2 == 1))
        fail(SW_WRONG_P1P2);
    switch (a.p1) {
    case 6:
        if (a.p2 == 0) {
            if (d.size() != keySize / 8 && !(keySize == 2048 && d.size() == 128))
                fail(SW_WRONG_LENGTH);
            k.n = d;
        } else {
            // Second half of a 2048-bit modulus.
            if (keySize != 2048 || k.n.size() != 128 || d.size() != 128)
                fail(SW_SEQUENCE);
            k.n.insert(k.n.end(), d.begin(), d.end());
        }
        break;
    case 7:
        if (d.empty() || d.size() > 8 || d[0] == 0)
            fail(SW_WRONG_DATA);
        k.e = d;
        break;
    default: {
        if (d.empty() || d.size() > half)
            fail(SW_WRONG_LENGTH);
        Bytes v = stripLeadingZeros(d);
        if (v.empty())
            fail(SW_WRONG_DATA);
        Bytes* target[] = {nullptr, &k.p, &k.q, &k.dp, &k.dq, &k.inv};
        *target[a.p1] = std::move(v);
        break;
    }
    }
    return status(SW_OK);
}

Bytes KalvikCard::State::getComponent(const Apdu& a) {
    if (a.p1 != 6 && a.p1 != 7)
        fail(SW_WRONG_P1P2);
    const CardObject* o = selectedKey == kNoBlock ? nullptr : find(selectedKey);
    if (!o || !o->hasPublic())
        fail(SW_NOT_FOUND);
    return answer(a, a.p1 == 6 ? o->key.n : o->key.e);
}

Bytes KalvikCard::State::amendKeypair(const Apdu& a) {
    if (a.data.size() != 1)
        fail(SW_WRONG_LENGTH);
    CardObject& o = findOrFail(be16({a.p1, a.p2}, 0));
    if (o.chain != Chain::KeyPairs)
        fail(SW_INCOMPATIBLE);
    require(o.acWrite);
    const std::uint8_t op = a.data[0];
    const bool complete = o.hasPublic() && o.hasPrivate();
    switch (op) {
    case 2:
    case 3:
    case 4:
    case 5:
        if (!complete)
            fail(SW_SEQUENCE);
        break;
    case 6:
        if (complete)
            fail(SW_SEQUENCE);
        if (!o.hasPrivate() && !freeKeySlot(o.keySize))
            fail(SW_OUT_OF_MEMORY);
        break;
    default:
        fail(SW_WRONG_DATA);
    }
    pending.kind = Pending::Amend;
    pending.target = o.id;
    pending.amendOp = op;
    return status(SW_OK);
}

Bytes KalvikCard::State::continueAmend(const Apdu& a) {
    if (a.data.size() != 4)
        fail(SW_WRONG_LENGTH);
    if (pending.kind != Pending::Amend || pending.sizeSet) {
        pending = Pending{};
        fail(SW_SEQUENCE);
    }
    const CardObject* o = find(pending.target);
    if (!o)
        fail(SW_NOT_FOUND);
    if (a.p2 > 1)
        fail(SW_WRONG_P1P2);
    const std::size_t size = be16(a.data, 2);
    if (size > kMaxMetadata)
        fail(SW_WRONG_DATA);
    if (pending.amendOp == 6) {
        crypto::RsaKey merged = o->key;
        std::uint8_t code;
        if (!o->hasPublic()) {
            merged.n = pending.key.n;
            merged.e = pending.key.e;
            code = 0x02;
        } else {
            merged.p = pending.key.p;
            merged.q = pending.key.q;
            merged.dp = pending.key.dp;
            merged.dq = pending.key.dq;
            merged.inv = pending.key.inv;
            code = 0x04;
        }
        try {
            checkKeyComplete(code, o->keySize, merged);
            checkKeyComplete(0x06, o->keySize, merged);
        } catch (const Sw&) {
            pending = Pending{};
            throw;
        }
    }
    pending.containerIndex = a.p1;
    pending.keySpec = a.p2;
    pending.keyUsage = be16(a.data, 0);
    pending.sizeSet = true;
    pending.expected = size;
    pending.buf.clear();
    return status(SW_OK);
}

Bytes KalvikCard::State::cryptInit(const Apdu& a) {
    crypt = CryptState{};
    CardObject& o = findOrFail(be16({a.p1, a.p2}, 0));
    if (o.chain != Chain::KeyPairs)
        fail(SW_INCOMPATIBLE);
    if (!o.hasPrivate())
        fail(SW_NOT_FOUND);
    require(o.acRead);
    crypt.key = o.id;
    selectedKey = o.id;
    return status(SW_OK);
}

Bytes KalvikCard::State::cryptBlock(const Apdu& a, bool final) {
    if (a.p1 != 0 || a.p2 != 0)
        fail(SW_WRONG_P1P2);
    if (a.data.size() != 128)
        fail(SW_WRONG_LENGTH);
    const CardObject* o = crypt.key == kNoBlock ? nullptr : find(crypt.key);
    if (!o || !o->hasPrivate())
        fail(SW_SEQUENCE);
    // The use condition is checked again: a deauthentication ends the right.
    require(o->acRead);
    const std::size_t len = o->keySize / 8;
    if (!final) {
        if (len != 256 || crypt.chained) {
            crypt.chained = false;
            crypt.first.clear();
            fail(SW_SEQUENCE);
        }
        crypt.chained = true;
        crypt.first = a.data;
        return status(SW_OK);
    }
    if (a.hasLe && a.ne != len)
        return status(std::uint16_t(0x6C00 | (len & 0xFF)));
    Bytes input;
    if (len == 256) {
        if (!crypt.chained)
            fail(SW_SEQUENCE);
        input = crypt.first;
        input.insert(input.end(), a.data.begin(), a.data.end());
    } else {
        if (crypt.chained)
            fail(SW_SEQUENCE);
        input = a.data;
    }
    crypt.chained = false;
    crypt.first.clear();
    auto result = crypto::privateOperation(o->key, input, len);
    if (!result)
        fail(SW_WRONG_DATA);
    Bytes out = std::move(*result);
    out.push_back(0x90);
    out.push_back(0x00);
    return out;
}

// ---------------------------------------------------------------------------
// Authentication

bool KalvikCard::State::verifySecret(std::uint8_t role, AuthObject& ao, const Bytes& secret) {
    bool match;
    if (ao.type == AuthType::Pin) {
        match = equalSecret(secret, ao.value);
    } else {
        if (!challenges[role])
            fail(SW_SEQUENCE);
        Block8 expected = crypto::tripleDesEncrypt(ao.value, *challenges[role]);
        challenges[role].reset();
        match = equalSecret(secret, Bytes(expected.begin(), expected.end()));
    }
    if (match) {
        if (ao.tries != ao.maxTries)
            dirty = true;
        ao.tries = ao.maxTries;
        return true;
    }
    ao.tries = std::uint8_t(ao.tries - 1);
    dirty = true;
    authMask &= std::uint8_t(~(1u << role));
    return false;
}

Bytes KalvikCard::State::authenticate(const Apdu& a) {
    const std::uint8_t role = a.p1;
    AuthObject& ao = authObject(role);
    if (a.p2 == 0x02) {
        if (a.data.size() != 8)
            fail(SW_WRONG_LENGTH);
        if (ao.tries == 0)
            fail(SW_BLOCKED);
        for (const auto& pin : sessionPins[role]) {
            if (CRYPTO_memcmp(pin.data(), a.data.data(), 8) == 0) {
                authMask |= std::uint8_t(1u << role);
                return status(SW_OK);
            }
        }
        authMask &= std::uint8_t(~(1u << role));
        fail(SW_SESSION_PIN);
    }
    if (a.p2 != 0x00)
        fail(SW_WRONG_P1P2);
    if (a.data.size() != (ao.type == AuthType::Pin ? 16u : 8u))
        fail(SW_WRONG_LENGTH);
    if (ao.tries == 0)
        fail(SW_BLOCKED);
    if (verifySecret(role, ao, a.data)) {
        authMask |= std::uint8_t(1u << role);
        return status(SW_OK);
    }
    return status(std::uint16_t(0x63C0 | ao.tries));
}

Bytes KalvikCard::State::generateSessionPin(const Apdu& a) {
    const std::uint8_t role = a.p1;
    authObject(role);
    if (!(authMask & (1u << role)))
        fail(SW_SECURITY);
    if (a.hasLe && a.ne != 8)
        return status(0x6C08);
    Block8 pin;
    crypto::randomBytes(pin.data(), pin.size());
    auto& list = sessionPins[role];
    list.push_back(pin);
    while (list.size() > kSessionPinsPerRole)
        list.pop_front();
    return answer(a, Bytes(pin.begin(), pin.end()));
}

Bytes KalvikCard::State::changePin(const Apdu& a) {
    if (a.p1 != 0)
        fail(SW_WRONG_P1P2);
    AuthObject& ao = authObject(a.p2);
    if (a.data.size() != (ao.type == AuthType::Pin ? 16u : 24u))
        fail(SW_WRONG_LENGTH);
    require(ao.changeAc);
    if (ao.type == AuthType::Pin && !meetsPolicy(a.data, ao.policy))
        fail(SW_PIN_POLICY);
    ao.value = a.data;
    ao.tries = ao.maxTries;
    dirty = true;
    return status(SW_OK);
}

Bytes KalvikCard::State::unblockPin(const Apdu& a) {
    const std::uint8_t role = a.p1, targetRole = a.p2;
    AuthObject& ao = authObject(role);
    AuthObject& target = authObject(targetRole);
    const std::size_t secretLen = ao.type == AuthType::Pin ? 16 : 8;
    const std::size_t newLen = target.type == AuthType::Pin ? 16 : 24;
    if (a.data.size() != secretLen + newLen)
        fail(SW_WRONG_LENGTH);
    const std::uint16_t unblockAc = target.unblockAc;
    if (!validAc(unblockAc) || !(std::uint8_t(unblockAc) & (1u << role)))
        fail(SW_SECURITY);
    if (ao.tries == 0)
        fail(SW_BLOCKED);
    Bytes secret(a.data.begin(), a.data.begin() + std::ptrdiff_t(secretLen));
    Bytes value(a.data.begin() + std::ptrdiff_t(secretLen), a.data.end());
    if (!verifySecret(role, ao, secret))
        return status(std::uint16_t(0x63C0 | ao.tries));
    if (target.type == AuthType::Pin && !meetsPolicy(value, target.policy))
        fail(SW_PIN_POLICY);
    target.value = std::move(value);
    target.tries = target.maxTries;
    dirty = true;
    return status(SW_OK);
}

Bytes KalvikCard::State::authObjectRecord(const Apdu& a) {
    if (a.p1 == 0 || a.p1 > kMaxRole || !p.auth[a.p1])
        fail(SW_NO_SUCH_ROLE);
    const AuthObject& ao = *p.auth[a.p1];
    if (a.p2 == 0x00) {
        Bytes r(10, 0);
        r[0] = std::uint8_t(ao.type);
        put16(r, 1, ao.changeAc);
        put16(r, 3, 0);
        put16(r, 5, ao.unblockAc);
        r[7] = ao.maxTries;
        r[8] = ao.pkcs11So ? 0x01 : 0x00;
        r[9] = ao.tries;
        return answer(a, r);
    }
    if (a.p2 == 0x01) {
        if (ao.type != AuthType::Pin)
            fail(SW_NO_SUCH_ROLE);
        Bytes r(9, 0);
        r[0] = ao.policy.minLength;
        r[1] = ao.policy.maxLength;
        r[2] = ao.policy.digitsOnly ? 1 : 0;
        r[3] = ao.maxTries;
        return answer(a, r);
    }
    fail(SW_WRONG_P1P2);
}

// ---------------------------------------------------------------------------
// KalvikCard

KalvikCard::KalvikCard(Unpersonalised) : state_(std::make_unique<State>()) {}

KalvikCard::KalvikCard(const PersonalisationOptions& opt) : state_(std::make_unique<State>()) {
    Persistent& p = state_->p;
    if (opt.blockSize < 16)
        throw std::invalid_argument("block size must be at least 16 bytes");
    if (opt.totalBlocks == 0 || opt.totalBlocks > 0x7FFF)
        throw std::invalid_argument("block count must be between 1 and 32767");
    if (opt.keySlots.size() > 64)
        throw std::invalid_argument("at most 64 key slots");
    p.versionMajor = opt.versionMajor;
    p.versionMinor = opt.versionMinor;
    p.lifeCycle = opt.activated ? kLifeCycleActivated : kLifeCyclePersonalised;
    if (opt.cardId)
        p.cardId = *opt.cardId;
    else
        crypto::randomBytes(p.cardId.data(), p.cardId.size());
    if (opt.serial)
        p.serial = *opt.serial;
    else
        crypto::randomBytes(p.serial.data(), p.serial.size());
    p.blockSize = opt.blockSize;
    p.totalBlocks = opt.totalBlocks;
    for (const auto& s : opt.keySlots) {
        if (s.sizeBound && s.keySize != 1024 && s.keySize != 2048)
            throw std::invalid_argument("a key slot can be bound to 1024 or 2048 bits only");
        p.keySlots.push_back(KeySlot{s, kNoBlock});
    }

    std::vector<AuthObjectSetup> setups;
    AuthObjectSetup user;
    user.role = 1;
    user.value.assign(opt.userPin.begin(), opt.userPin.end());
    user.maxTries = opt.userPinTries;
    user.changeAc = ac::USER_OR_ADMIN;
    user.unblockAc = ac::ADMIN;
    setups.push_back(user);
    AuthObjectSetup so;
    so.role = 2;
    so.value.assign(opt.soPin.begin(), opt.soPin.end());
    so.maxTries = opt.soPinTries;
    so.pkcs11So = true;
    so.changeAc = ac::ADMIN;
    so.unblockAc = ac::ADMIN;
    setups.push_back(so);
    setups.insert(setups.end(), opt.extraAuthObjects.begin(), opt.extraAuthObjects.end());
    for (const auto& s : setups) {
        if (s.role == 0 || s.role > kMaxRole)
            throw std::invalid_argument("roles are 1 to 7");
        if (s.maxTries == 0 || s.maxTries > 15)
            throw std::invalid_argument("tries must be 1 to 15");
        AuthObject a;
        a.type = s.type;
        a.maxTries = a.tries = s.maxTries;
        a.pkcs11So = s.pkcs11So;
        a.changeAc = s.changeAc;
        a.unblockAc = s.unblockAc;
        a.policy = s.policy;
        if (s.type == AuthType::Pin) {
            if (s.value.size() > 16)
                throw std::invalid_argument("a PIN has at most 16 bytes");
            a.value = s.value;
            a.value.resize(16, 0);
            if (!meetsPolicy(a.value, a.policy))
                throw std::invalid_argument("PIN of role " + std::to_string(s.role) +
                                            " does not meet the PIN policy");
        } else {
            if (s.value.size() != 24)
                throw std::invalid_argument("a key value has 24 bytes");
            a.value = s.value;
        }
        p.auth[s.role] = std::move(a);
    }

    state_->rebuildBlockMap();
    if (opt.containerFiles) {
        auto addDir = [&](const char* name, std::uint16_t w, std::uint16_t del) -> std::uint16_t {
            CardObject d;
            d.chain = Chain::Directories;
            for (std::size_t i = 0; name[i] && i < 8; ++i)
                d.name[i] = std::uint8_t(name[i]);
            d.acRead = ac::EVERYONE;
            d.acWrite = w;
            d.acDelete = del;
            d.headerBlocks = state_->allocate(state_->headerBlocksFor(Chain::Directories, 0));
            d.id = d.headerBlocks.front();
            p.chains[std::size_t(Chain::Directories)].push_back(d);
            return d.id;
        };
        auto addFile = [&](std::uint16_t dir, const char* name, const Bytes& content) {
            CardObject f;
            f.chain = Chain::Files;
            f.dirId = dir;
            for (std::size_t i = 0; name[i] && i < 8; ++i)
                f.name[i] = std::uint8_t(name[i]);
            f.acRead = ac::EVERYONE;
            f.acWrite = ac::USER_OR_ADMIN;
            f.acDelete = ac::ADMIN;
            f.headerBlocks = state_->allocate(state_->headerBlocksFor(Chain::Files, 0));
            f.id = f.headerBlocks.front();
            f.hasContent = true;
            f.content = content;
            f.contentBlocks = state_->allocate(blocksFor(content.size(), p.blockSize));
            p.chains[std::size_t(Chain::Files)].push_back(f);
        };
        try {
            const std::uint16_t root = addDir("", ac::ADMIN, ac::NOBODY);
            addFile(root, "cardcf", Bytes(6, 0));
            const std::uint16_t mscp = addDir("mscp", ac::ADMIN, ac::NOBODY);
            addFile(mscp, "cmapfile", Bytes());
        } catch (const Sw&) {
            throw std::invalid_argument("memory too small for the container files");
        }
    }
    std::string problem = validate(p);
    if (!problem.empty())
        throw std::invalid_argument("inconsistent personalisation: " + problem);
}

KalvikCard::~KalvikCard() = default;

std::unique_ptr<KalvikCard> KalvikCard::load(const std::string& path) {
    Bytes image = readFile(path);
    std::unique_ptr<KalvikCard> card(new KalvikCard(Unpersonalised{}));
    card->state_->p = decodeImage(image, "card image " + path);
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

Bytes KalvikCard::serialize() const { return encodeImage(state_->p); }

Bytes KalvikCard::atr() const {
    // T=1 only (TD1 = 80: TD2 follows; TD2 = 01: T=1), historical bytes name the card.
    static const char hist[] = "KalvikVC31";
    constexpr std::size_t histLength = sizeof hist - 1;
    // Sized up front: growing a vector built from a brace list trips GCC 12's
    // -Warray-bounds at -O2.
    Bytes a(4 + histLength + 1);
    a[0] = 0x3B;
    a[1] = std::uint8_t(0x80 | histLength);
    a[2] = 0x80;
    a[3] = 0x01;
    std::copy(hist, hist + histLength, a.begin() + 4);
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i + 1 < a.size(); ++i)
        tck ^= a[i];
    a.back() = tck;
    return a;
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

Bytes KalvikCard::transmit(const Bytes& command) {
    State& s = *state_;
    s.powered = true;  // a reader may send without an explicit power-on
    Apdu a;
    if (!parse(command, a))
        return status(SW_WRONG_LENGTH);
    Bytes response;
    s.dirty = false;
    try {
        response = s.execute(a);
    } catch (const Sw& e) {
        response = status(e.sw);
    } catch (const crypto::CryptoError&) {
        response = status(0x6F00);
    }
    if (s.dirty && !s.imagePath.empty()) {
        try {
            writeFileAtomically(s.imagePath, encodeImage(s.p));
        } catch (const ImageError&) {
            // Not committed: go back to what the image holds, like a card
            // whose write was interrupted.
            try {
                s.p = decodeImage(readFile(s.imagePath), s.imagePath);
                s.rebuildBlockMap();
            } catch (const ImageError&) {
            }
            s.clearSequences();
            response = status(SW_MEMORY_FAILURE);
        }
    }
    s.dirty = false;
    return response;
}

// ---------------------------------------------------------------------------
// Views

std::size_t KalvikCard::objectCount(Chain chain) const { return state_->chain(chain).size(); }

std::vector<ObjectSummary> KalvikCard::objects() const {
    std::vector<ObjectSummary> out;
    for (const auto& list : state_->p.chains) {
        for (const auto& o : list) {
            ObjectSummary s;
            s.chain = o.chain;
            s.blockId = o.id;
            auto text = [](const std::array<std::uint8_t, 8>& n) {
                std::string t;
                for (auto c : n) {
                    if (!c)
                        break;
                    t.push_back(char(c));
                }
                return t;
            };
            if (o.chain == Chain::Directories)
                s.name = text(o.name);
            if (o.chain == Chain::Files) {
                std::string dir;
                for (const auto& d : state_->chain(Chain::Directories))
                    if (d.id == o.dirId)
                        dir = text(d.name);
                s.name = dir + "/" + text(o.name);
            }
            s.metadataSize = o.metadata.size();
            if (hasContentArea(o.chain))
                s.contentSize = o.hasContent ? o.content.size() : 0;
            s.acRead = o.acRead;
            s.acWrite = o.acWrite;
            s.acDelete = o.acDelete;
            s.keySize = o.keySize;
            s.contentCode = o.contentCode;
            s.blocks = o.blockCount();
            out.push_back(std::move(s));
        }
    }
    return out;
}

std::optional<Bytes> KalvikCard::fileContent(const std::string& path) const {
    const auto all = objects();
    const auto& files = state_->chain(Chain::Files);
    for (const auto& summary : all) {
        if (summary.chain != Chain::Files || summary.name != path)
            continue;
        for (const auto& o : files)
            if (o.id == summary.blockId && o.hasContent)
                return o.content;
    }
    return std::nullopt;
}

std::vector<AuthObjectSummary> KalvikCard::authObjects() const {
    std::vector<AuthObjectSummary> out;
    for (std::uint8_t role = 1; role <= kMaxRole; ++role) {
        const auto& a = state_->p.auth[role];
        if (!a)
            continue;
        out.push_back(AuthObjectSummary{role, a->type, a->maxTries, a->tries, a->pkcs11So});
    }
    return out;
}

int KalvikCard::triesRemaining(std::uint8_t role) const {
    if (role == 0 || role > kMaxRole || !state_->p.auth[role])
        return -1;
    return state_->p.auth[role]->tries;
}

bool KalvikCard::isAuthenticated(std::uint8_t role) const {
    return role <= kMaxRole && (state_->authMask & (1u << role));
}

std::array<std::uint8_t, KalvikCard::kFreshnessSize> KalvikCard::freshness() const {
    return state_->p.freshness;
}
std::array<std::uint8_t, 16> KalvikCard::cardId() const { return state_->p.cardId; }
std::array<std::uint8_t, 8> KalvikCard::serialNumber() const { return state_->p.serial; }
std::uint8_t KalvikCard::versionMajor() const { return state_->p.versionMajor; }
std::uint8_t KalvikCard::versionMinor() const { return state_->p.versionMinor; }
std::uint8_t KalvikCard::lifeCycle() const { return state_->p.lifeCycle; }
std::uint16_t KalvikCard::blockSize() const { return state_->p.blockSize; }
std::uint16_t KalvikCard::totalBlocks() const { return state_->p.totalBlocks; }
std::uint16_t KalvikCard::freeBlocks() const { return std::uint16_t(state_->freeBlocks()); }
std::size_t KalvikCard::freeKeySlots() const {
    return std::size_t(std::count_if(state_->p.keySlots.begin(), state_->p.keySlots.end(),
                                     [](const KeySlot& s) { return s.occupant == kNoBlock; }));
}
bool KalvikCard::isPowered() const { return state_->powered; }

}  // namespace vcard
