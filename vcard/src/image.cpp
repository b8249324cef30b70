// Card image: encoding, validation, atomic file replacement.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "state.h"

namespace vcard {
namespace {

constexpr char MAGIC[8] = {'K', 'V', 'C', 'I', 'M', 'A', 'G', 'E'};
constexpr std::uint16_t FORMAT_VERSION = 1;
constexpr std::size_t PROLOGUE_SIZE = 8 + 2 + 4;
constexpr std::size_t DIGEST_SIZE = 32;

// Writer and Reader offer the same field calls, so one field list (the
// templates below) both writes an image and reads it back.
class Writer {
public:
    void u8(std::uint8_t value) { out_.push_back(value); }
    void flag(bool value) { u8(value ? 1 : 0); }
    void strictFlag(bool value, const char*) { flag(value); }
    void u16(std::uint16_t value) {
        out_.push_back(std::uint8_t(value >> 8));
        out_.push_back(std::uint8_t(value));
    }
    void u32(std::uint32_t value) {
        u16(std::uint16_t(value >> 16));
        u16(std::uint16_t(value));
    }
    void raw(const std::uint8_t* data, std::size_t size) {
        out_.insert(out_.end(), data, data + size);
    }
    template <std::size_t N>
    void fixed(const std::array<std::uint8_t, N>& bytes) {
        raw(bytes.data(), N);
    }
    void bytes16(const Bytes& bytes) {
        u16(std::uint16_t(bytes.size()));
        raw(bytes.data(), bytes.size());
    }
    void blocks(const std::vector<std::uint16_t>& ids) {
        u16(std::uint16_t(ids.size()));
        for (auto id : ids)
            u16(id);
    }
    Bytes& out() { return out_; }

private:
    Bytes out_;
};

struct Damaged {
    std::string reason;
};

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t u8() {
        need(1);
        return data_[position_++];
    }
    void u8(std::uint8_t& value) { value = u8(); }
    void flag(bool& value) { value = u8() != 0; }
    // A flag byte that must be 0 or 1; `what` names the damage otherwise.
    void strictFlag(bool& value, const char* what) {
        const std::uint8_t byte = u8();
        if (byte > 1)
            throw Damaged{what};
        value = byte == 1;
    }
    std::uint16_t u16() {
        need(2);
        const std::uint16_t value = std::uint16_t(data_[position_] << 8 | data_[position_ + 1]);
        position_ += 2;
        return value;
    }
    void u16(std::uint16_t& value) { value = u16(); }
    std::uint32_t u32() {
        std::uint32_t hi = u16();
        return hi << 16 | u16();
    }
    template <std::size_t N>
    void fixed(std::array<std::uint8_t, N>& bytes) {
        need(N);
        std::memcpy(bytes.data(), data_ + position_, N);
        position_ += N;
    }
    Bytes bytes16() {
        const std::size_t length = u16();
        need(length);
        Bytes bytes(data_ + position_, data_ + position_ + length);
        position_ += length;
        return bytes;
    }
    void bytes16(Bytes& bytes) { bytes = bytes16(); }
    std::vector<std::uint16_t> blocks() {
        std::size_t count = u16();
        need(count * 2);
        std::vector<std::uint16_t> ids;
        ids.reserve(count);
        for (std::size_t i = 0; i < count; ++i)
            ids.push_back(u16());
        return ids;
    }
    void blocks(std::vector<std::uint16_t>& ids) { ids = blocks(); }
    bool atEnd() const { return position_ == size_; }

private:
    void need(std::size_t count) const {
        if (size_ - position_ < count)
            throw Damaged{"truncated body"};
    }
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// The field lists, for a Writer with const objects or a Reader.

template <class IO, class Card>
void cardFields(IO& io, Card& card) {
    io.u8(card.versionMajor);
    io.u8(card.versionMinor);
    io.u8(card.lifeCycle);
    io.fixed(card.cardId);
    io.fixed(card.serial);
    io.fixed(card.gacInfo);
    io.fixed(card.freshness);
    io.u16(card.blockSize);
    io.u16(card.totalBlocks);
}

template <class IO, class Slot>
void keySlotFields(IO& io, Slot& slot) {
    io.flag(slot.setup.sizeBound);
    io.u16(slot.setup.keySize);
    io.u16(slot.occupant);
}

// An authentication object after its type and value.
template <class IO, class Auth>
void authFields(IO& io, Auth& object) {
    io.u8(object.maxTries);
    io.u8(object.tries);
    io.flag(object.pkcs11So);
    io.u16(object.changeAc);
    io.u16(object.unblockAc);
    io.u8(object.policy.minLength);
    io.u8(object.policy.maxLength);
    io.flag(object.policy.digitsOnly);
}

template <class IO, class Object>
void contentFields(IO& io, Object& object) {
    io.strictFlag(object.hasContent, "bad content flag");
    if (object.hasContent) {
        io.bytes16(object.content);
        io.blocks(object.contentBlocks);
    }
}

// An object of its chain (object.chain is known before reading).
template <class IO, class Object>
void objectFields(IO& io, Object& object) {
    io.u16(object.id);
    io.u16(object.acExtra);
    io.u16(object.acRead);
    io.u16(object.acWrite);
    io.u16(object.acDelete);
    io.blocks(object.headerBlocks);
    io.bytes16(object.metadata);
    switch (object.chain) {
    case Chain::DATA_OBJECTS:
        contentFields(io, object);
        break;
    case Chain::CERTIFICATES:
        io.flag(object.trusted);
        contentFields(io, object);
        break;
    case Chain::DIRECTORIES:
        io.fixed(object.name);
        break;
    case Chain::FILES:
        io.u16(object.dirId);
        io.fixed(object.name);
        contentFields(io, object);
        break;
    case Chain::KEY_PAIRS:
        io.u16(object.keySize);
        io.u16(object.keyUsage);
        io.u8(object.contentCode);
        io.u8(object.containerIndex);
        io.u8(object.keySpec);
        io.u8(object.keySlot);
        for (auto* component : {&object.key.n, &object.key.e, &object.key.p, &object.key.q,
                                &object.key.dp, &object.key.dq, &object.key.inv})
            io.bytes16(*component);
        io.blocks(object.keyBlocks);
        break;
    }
}

}  // namespace

std::size_t blocksFor(std::size_t bytes, std::uint16_t blockSize) {
    return (bytes + blockSize - 1) / blockSize;
}

std::size_t CardObject::keyMaterialSize() const {
    return key.n.size() + key.e.size() + key.p.size() + key.q.size() + key.dp.size() +
           key.dq.size() + key.inv.size();
}

Bytes encodeImage(const Persistent& persistent) {
    Writer writer;
    writer.raw(reinterpret_cast<const std::uint8_t*>(MAGIC), sizeof MAGIC);
    writer.u16(FORMAT_VERSION);
    writer.u32(0);  // body length, patched below

    cardFields(writer, persistent);
    writer.u8(std::uint8_t(persistent.keySlots.size()));
    for (const auto& slot : persistent.keySlots)
        keySlotFields(writer, slot);

    std::uint8_t authObjectCount = 0;
    for (const auto& object : persistent.auth)
        authObjectCount += object ? 1 : 0;
    writer.u8(authObjectCount);
    for (std::uint8_t role = 0; role <= MAX_ROLE; ++role) {
        const auto& object = persistent.auth[role];
        if (!object)
            continue;
        writer.u8(role);
        writer.u8(std::uint8_t(object->type));
        writer.bytes16(object->value);
        authFields(writer, *object);
    }

    for (const auto& chain : persistent.chains) {
        writer.u16(std::uint16_t(chain.size()));
        for (const auto& object : chain)
            objectFields(writer, object);
    }

    Bytes& out = writer.out();
    const std::uint32_t bodyLength = std::uint32_t(out.size() - PROLOGUE_SIZE);
    out[10] = std::uint8_t(bodyLength >> 24);
    out[11] = std::uint8_t(bodyLength >> 16);
    out[12] = std::uint8_t(bodyLength >> 8);
    out[13] = std::uint8_t(bodyLength);
    auto digest = crypto::sha256(out.data(), out.size());
    out.insert(out.end(), digest.begin(), digest.end());
    return std::move(out);
}

Persistent decodeImage(const Bytes& image, const std::string& what) {
    auto damaged = [&](const std::string& reason) { return ImageError(what + ": " + reason); };
    if (image.size() < PROLOGUE_SIZE + DIGEST_SIZE ||
        std::memcmp(image.data(), MAGIC, sizeof MAGIC) != 0)
        throw damaged("not a Kalvik card image");
    const std::uint16_t version = std::uint16_t(image[8] << 8 | image[9]);
    if (version != FORMAT_VERSION)
        throw damaged("unsupported image format version " + std::to_string(version) +
                      " (this build reads " + std::to_string(FORMAT_VERSION) + ")");
    const std::uint32_t bodyLength = std::uint32_t(image[10]) << 24 |
                                     std::uint32_t(image[11]) << 16 |
                                     std::uint32_t(image[12]) << 8 | image[13];
    if (image.size() != PROLOGUE_SIZE + std::size_t(bodyLength) + DIGEST_SIZE)
        throw damaged("image is damaged: length does not match (truncated or extended)");
    auto digest = crypto::sha256(image.data(), PROLOGUE_SIZE + bodyLength);
    if (std::memcmp(digest.data(), image.data() + PROLOGUE_SIZE + bodyLength, DIGEST_SIZE) != 0)
        throw damaged("image is damaged: checksum mismatch");

    Persistent persistent;
    try {
        Reader reader(image.data() + PROLOGUE_SIZE, bodyLength);
        cardFields(reader, persistent);
        persistent.keySlots.resize(reader.u8());
        for (auto& slot : persistent.keySlots)
            keySlotFields(reader, slot);

        const std::size_t authObjectCount = reader.u8();
        for (std::size_t i = 0; i < authObjectCount; ++i) {
            const std::uint8_t role = reader.u8();
            if (role == 0 || role > MAX_ROLE || persistent.auth[role])
                throw Damaged{"bad authentication object role"};
            AuthObject object;
            const std::uint8_t type = reader.u8();
            if (type > 1)
                throw Damaged{"bad authentication object type"};
            object.type = AuthType(type);
            object.value = reader.bytes16();
            if (object.value.size() != (object.type == AuthType::PIN ? 16u : 24u))
                throw Damaged{"bad authentication object value"};
            authFields(reader, object);
            if (object.tries > object.maxTries || object.maxTries == 0 || object.maxTries > 15)
                throw Damaged{"bad authentication object tries"};
            persistent.auth[role] = std::move(object);
        }

        for (std::size_t chain = 0; chain < CHAIN_COUNT; ++chain) {
            const std::size_t count = reader.u16();
            for (std::size_t i = 0; i < count; ++i) {
                CardObject object;
                object.chain = Chain(chain);
                objectFields(reader, object);
                persistent.chains[chain].push_back(std::move(object));
            }
        }
        if (!reader.atEnd())
            throw Damaged{"trailing bytes in body"};
    } catch (const Damaged& damage) {
        throw damaged("image is damaged: " + damage.reason);
    }
    std::string problem = validate(persistent);
    if (!problem.empty())
        throw damaged("image is inconsistent: " + problem);
    return persistent;
}

namespace {

// What is wrong with the key material of a key pair, or "".
std::string keyProblem(const CardObject& pair) {
    if ((pair.contentCode & content::BOTH_HALVES) == 0)
        return "key pair without any half";
    if (pair.keySize != 1024 && pair.keySize != 2048)
        return "key pair of unsupported size";
    const crypto::RsaKey& key = pair.key;
    const bool publicHalf = !key.n.empty() && !key.e.empty();
    const bool privateHalf =
        !key.p.empty() && !key.q.empty() && !key.dp.empty() && !key.dq.empty() && !key.inv.empty();
    if (publicHalf != pair.hasPublic() || (!publicHalf && (!key.n.empty() || !key.e.empty())))
        return "public key material does not match the key pair";
    if (privateHalf != pair.hasPrivate() ||
        (!privateHalf && (!key.p.empty() || !key.q.empty() || !key.dp.empty() || !key.dq.empty() ||
                          !key.inv.empty())))
        return "private key material does not match the key pair";
    // Every component within what a key of this size has, the modulus exactly
    // that size: the card answers with these bytes and computes with them.
    const std::size_t modulusLength = pair.keySize / 8;
    if (publicHalf && (key.n.size() != modulusLength || key.n[0] == 0 || key.e.size() > 8))
        return "modulus length does not match the key size";
    if (privateHalf) {
        for (const Bytes* part : {&key.p, &key.q, &key.dp, &key.dq, &key.inv})
            if (part->size() > modulusLength / 2)
                return "private key component longer than the key size allows";
        if (crypto::product(key.p, key.q).size() != modulusLength)
            return "modulus length does not match the key size";
    }
    return "";
}

}  // namespace

std::string validate(const Persistent& persistent) {
    if (persistent.blockSize < 16)
        return "block size below 16";
    if (persistent.totalBlocks == 0 || persistent.totalBlocks > 0x7FFF)
        return "total block count out of range";
    if (persistent.keySlots.size() > 64)
        return "more than 64 key slots";
    std::vector<bool> used(persistent.totalBlocks, false);
    auto claim = [&](const std::vector<std::uint16_t>& blocks) {
        for (auto block : blocks) {
            if (block >= persistent.totalBlocks || used[block])
                return false;
            used[block] = true;
        }
        return true;
    };
    std::set<std::uint16_t> directories;
    for (const auto& directory : persistent.chains[std::size_t(Chain::DIRECTORIES)])
        directories.insert(directory.id);
    for (const auto& chain : persistent.chains) {
        for (const auto& object : chain) {
            if (object.headerBlocks.empty() || object.headerBlocks.front() != object.id)
                return "object without its first block";
            if (!claim(object.headerBlocks) || !claim(object.contentBlocks) ||
                !claim(object.keyBlocks))
                return "block used twice or outside memory";
            const std::size_t headerBlocks = std::max<std::size_t>(
                1,
                blocksFor(headerSize(object.chain) + object.metadata.size(), persistent.blockSize));
            if (object.headerBlocks.size() != headerBlocks)
                return "header block count does not match";
            if (object.hasContent && object.contentBlocks.size() !=
                                         blocksFor(object.content.size(), persistent.blockSize))
                return "content block count does not match";
            if (!object.hasContent && !object.contentBlocks.empty())
                return "content blocks without content";
            if (object.chain == Chain::FILES && !directories.count(object.dirId))
                return "file outside any directory";
            if (object.chain != Chain::KEY_PAIRS)
                continue;
            std::string problem = keyProblem(object);
            if (!problem.empty())
                return problem;
            if (object.keyBlocks.size() !=
                blocksFor(object.keyMaterialSize(), persistent.blockSize))
                return "key block count does not match";
            if (object.hasPrivate()) {
                if (object.keySlot >= persistent.keySlots.size() ||
                    persistent.keySlots[object.keySlot].occupant != object.id)
                    return "private key without its key slot";
            } else if (object.keySlot != NO_KEY_SLOT) {
                return "key slot held by a key pair without private key";
            }
        }
    }
    for (std::size_t i = 0; i < persistent.keySlots.size(); ++i) {
        const auto occupant = persistent.keySlots[i].occupant;
        if (occupant == NO_BLOCK)
            continue;
        bool found = false;
        for (const auto& pair : persistent.chains[std::size_t(Chain::KEY_PAIRS)])
            found = found || (pair.id == occupant && pair.keySlot == i);
        if (!found)
            return "key slot held by no key pair";
    }
    return "";
}

Bytes readFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw ImageError("cannot open card image " + path + ": " + std::strerror(errno));
    Bytes data;
    std::uint8_t buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            ::close(fd);
            throw ImageError("cannot read card image " + path + ": " + std::strerror(error));
        }
        if (n == 0)
            break;
        data.insert(data.end(), buf, buf + n);
    }
    ::close(fd);
    return data;
}

void writeFileAtomically(const std::string& path, const Bytes& data) {
    auto fail = [&](const char* step) {
        return ImageError(std::string("cannot write card image ") + path + " (" + step +
                          "): " + std::strerror(errno));
    };
    // A fresh name, created here and nowhere else: a link or file planted
    // beside the image is never written through.
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
        std::uint8_t random[8];
        crypto::randomBytes(random, sizeof random);
        static const char digits[] = "0123456789abcdef";
        tmp = path + ".tmp-";
        for (std::uint8_t byte : random) {
            tmp += digits[byte >> 4];
            tmp += digits[byte & 0x0F];
        }
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        throw fail("create temporary file");
    // The error is built while errno still says why; then the temporary file goes.
    auto abandon = [&](const char* step, int openFd) {
        ImageError error = fail(step);
        if (openFd >= 0)
            ::close(openFd);
        ::unlink(tmp.c_str());
        return error;
    };
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw abandon("write", fd);
        }
        done += std::size_t(n);
    }
    if (::fsync(fd) != 0)
        throw abandon("fsync", fd);
    if (::close(fd) != 0)
        throw abandon("close", -1);
    if (::rename(tmp.c_str(), path.c_str()) != 0)
        throw abandon("rename", -1);
    // Make the rename itself durable.
    const auto slash = path.find_last_of('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int directoryFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd >= 0) {
        ::fsync(directoryFd);
        ::close(directoryFd);
    }
}

}  // namespace vcard
