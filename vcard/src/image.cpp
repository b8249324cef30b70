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

constexpr char kMagic[8] = {'K', 'V', 'C', 'I', 'M', 'A', 'G', 'E'};
constexpr std::uint16_t kFormatVersion = 1;
constexpr std::size_t kPrologue = 8 + 2 + 4;
constexpr std::size_t kDigestSize = 32;

// Writer and Reader offer the same field calls, so one field list (the
// templates below) both writes an image and reads it back.
class Writer {
public:
    void u8(std::uint8_t v) { out_.push_back(v); }
    void flag(bool v) { u8(v ? 1 : 0); }
    void strictFlag(bool v, const char*) { flag(v); }
    void u16(std::uint16_t v) {
        out_.push_back(std::uint8_t(v >> 8));
        out_.push_back(std::uint8_t(v));
    }
    void u32(std::uint32_t v) {
        u16(std::uint16_t(v >> 16));
        u16(std::uint16_t(v));
    }
    void raw(const std::uint8_t* p, std::size_t n) { out_.insert(out_.end(), p, p + n); }
    template <std::size_t N>
    void fixed(const std::array<std::uint8_t, N>& a) {
        raw(a.data(), N);
    }
    void bytes16(const Bytes& b) {
        u16(std::uint16_t(b.size()));
        raw(b.data(), b.size());
    }
    void blocks(const std::vector<std::uint16_t>& b) {
        u16(std::uint16_t(b.size()));
        for (auto id : b)
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
    Reader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    std::uint8_t u8() {
        need(1);
        return p_[pos_++];
    }
    void u8(std::uint8_t& v) { v = u8(); }
    void flag(bool& v) { v = u8() != 0; }
    // A flag byte that must be 0 or 1; `what` names the damage otherwise.
    void strictFlag(bool& v, const char* what) {
        std::uint8_t f = u8();
        if (f > 1)
            throw Damaged{what};
        v = f == 1;
    }
    std::uint16_t u16() {
        need(2);
        std::uint16_t v = std::uint16_t(p_[pos_] << 8 | p_[pos_ + 1]);
        pos_ += 2;
        return v;
    }
    void u16(std::uint16_t& v) { v = u16(); }
    std::uint32_t u32() {
        std::uint32_t hi = u16();
        return hi << 16 | u16();
    }
    template <std::size_t N>
    void fixed(std::array<std::uint8_t, N>& a) {
        need(N);
        std::memcpy(a.data(), p_ + pos_, N);
        pos_ += N;
    }
    Bytes bytes16() {
        std::size_t len = u16();
        need(len);
        Bytes b(p_ + pos_, p_ + pos_ + len);
        pos_ += len;
        return b;
    }
    void bytes16(Bytes& b) { b = bytes16(); }
    std::vector<std::uint16_t> blocks() {
        std::size_t count = u16();
        need(count * 2);
        std::vector<std::uint16_t> b;
        b.reserve(count);
        for (std::size_t i = 0; i < count; ++i)
            b.push_back(u16());
        return b;
    }
    void blocks(std::vector<std::uint16_t>& b) { b = blocks(); }
    bool atEnd() const { return pos_ == n_; }

private:
    void need(std::size_t k) const {
        if (n_ - pos_ < k)
            throw Damaged{"truncated body"};
    }
    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
};

// The field lists, for a Writer with const objects or a Reader.

template <class IO, class Card>
void cardFields(IO& io, Card& p) {
    io.u8(p.versionMajor);
    io.u8(p.versionMinor);
    io.u8(p.lifeCycle);
    io.fixed(p.cardId);
    io.fixed(p.serial);
    io.fixed(p.gacInfo);
    io.fixed(p.freshness);
    io.u16(p.blockSize);
    io.u16(p.totalBlocks);
}

template <class IO, class Slot>
void keySlotFields(IO& io, Slot& s) {
    io.flag(s.setup.sizeBound);
    io.u16(s.setup.keySize);
    io.u16(s.occupant);
}

// An authentication object after its type and value.
template <class IO, class Auth>
void authFields(IO& io, Auth& a) {
    io.u8(a.maxTries);
    io.u8(a.tries);
    io.flag(a.pkcs11So);
    io.u16(a.changeAc);
    io.u16(a.unblockAc);
    io.u8(a.policy.minLength);
    io.u8(a.policy.maxLength);
    io.flag(a.policy.digitsOnly);
}

template <class IO, class Object>
void contentFields(IO& io, Object& o) {
    io.strictFlag(o.hasContent, "bad content flag");
    if (o.hasContent) {
        io.bytes16(o.content);
        io.blocks(o.contentBlocks);
    }
}

// An object of its chain (o.chain is known before reading).
template <class IO, class Object>
void objectFields(IO& io, Object& o) {
    io.u16(o.id);
    io.u16(o.acExtra);
    io.u16(o.acRead);
    io.u16(o.acWrite);
    io.u16(o.acDelete);
    io.blocks(o.headerBlocks);
    io.bytes16(o.metadata);
    switch (o.chain) {
    case Chain::DataObjects:
        contentFields(io, o);
        break;
    case Chain::Certificates:
        io.flag(o.trusted);
        contentFields(io, o);
        break;
    case Chain::Directories:
        io.fixed(o.name);
        break;
    case Chain::Files:
        io.u16(o.dirId);
        io.fixed(o.name);
        contentFields(io, o);
        break;
    case Chain::KeyPairs:
        io.u16(o.keySize);
        io.u16(o.keyUsage);
        io.u8(o.contentCode);
        io.u8(o.containerIndex);
        io.u8(o.keySpec);
        io.u8(o.keySlot);
        for (auto* component :
             {&o.key.n, &o.key.e, &o.key.p, &o.key.q, &o.key.dp, &o.key.dq, &o.key.inv})
            io.bytes16(*component);
        io.blocks(o.keyBlocks);
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

Bytes encodeImage(const Persistent& p) {
    Writer w;
    w.raw(reinterpret_cast<const std::uint8_t*>(kMagic), sizeof kMagic);
    w.u16(kFormatVersion);
    w.u32(0);  // body length, patched below

    cardFields(w, p);
    w.u8(std::uint8_t(p.keySlots.size()));
    for (const auto& s : p.keySlots)
        keySlotFields(w, s);

    std::uint8_t aoCount = 0;
    for (const auto& a : p.auth)
        aoCount += a ? 1 : 0;
    w.u8(aoCount);
    for (std::uint8_t role = 0; role <= kMaxRole; ++role) {
        const auto& a = p.auth[role];
        if (!a)
            continue;
        w.u8(role);
        w.u8(std::uint8_t(a->type));
        w.bytes16(a->value);
        authFields(w, *a);
    }

    for (const auto& chain : p.chains) {
        w.u16(std::uint16_t(chain.size()));
        for (const auto& o : chain)
            objectFields(w, o);
    }

    Bytes& out = w.out();
    const std::uint32_t bodyLength = std::uint32_t(out.size() - kPrologue);
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
    if (image.size() < kPrologue + kDigestSize ||
        std::memcmp(image.data(), kMagic, sizeof kMagic) != 0)
        throw damaged("not a Kalvik card image");
    const std::uint16_t version = std::uint16_t(image[8] << 8 | image[9]);
    if (version != kFormatVersion)
        throw damaged("unsupported image format version " + std::to_string(version) +
                      " (this build reads " + std::to_string(kFormatVersion) + ")");
    const std::uint32_t bodyLength = std::uint32_t(image[10]) << 24 |
                                     std::uint32_t(image[11]) << 16 |
                                     std::uint32_t(image[12]) << 8 | image[13];
    if (image.size() != kPrologue + std::size_t(bodyLength) + kDigestSize)
        throw damaged("image is damaged: length does not match (truncated or extended)");
    auto digest = crypto::sha256(image.data(), kPrologue + bodyLength);
    if (std::memcmp(digest.data(), image.data() + kPrologue + bodyLength, kDigestSize) != 0)
        throw damaged("image is damaged: checksum mismatch");

    Persistent p;
    try {
        Reader r(image.data() + kPrologue, bodyLength);
        cardFields(r, p);
        p.keySlots.resize(r.u8());
        for (auto& s : p.keySlots)
            keySlotFields(r, s);

        std::size_t aoCount = r.u8();
        for (std::size_t i = 0; i < aoCount; ++i) {
            std::uint8_t role = r.u8();
            if (role == 0 || role > kMaxRole || p.auth[role])
                throw Damaged{"bad authentication object role"};
            AuthObject a;
            std::uint8_t type = r.u8();
            if (type > 1)
                throw Damaged{"bad authentication object type"};
            a.type = AuthType(type);
            a.value = r.bytes16();
            if (a.value.size() != (a.type == AuthType::Pin ? 16u : 24u))
                throw Damaged{"bad authentication object value"};
            authFields(r, a);
            if (a.tries > a.maxTries || a.maxTries == 0 || a.maxTries > 15)
                throw Damaged{"bad authentication object tries"};
            p.auth[role] = std::move(a);
        }

        for (std::size_t c = 0; c < kChainCount; ++c) {
            std::size_t count = r.u16();
            for (std::size_t i = 0; i < count; ++i) {
                CardObject o;
                o.chain = Chain(c);
                objectFields(r, o);
                p.chains[c].push_back(std::move(o));
            }
        }
        if (!r.atEnd())
            throw Damaged{"trailing bytes in body"};
    } catch (const Damaged& d) {
        throw damaged("image is damaged: " + d.reason);
    }
    std::string problem = validate(p);
    if (!problem.empty())
        throw damaged("image is inconsistent: " + problem);
    return p;
}

std::string validate(const Persistent& p) {
    if (p.blockSize < 16)
        return "block size below 16";
    if (p.totalBlocks == 0 || p.totalBlocks > 0x7FFF)
        return "total block count out of range";
    if (p.keySlots.size() > 64)
        return "more than 64 key slots";
    std::vector<bool> used(p.totalBlocks, false);
    auto claim = [&](const std::vector<std::uint16_t>& blocks) {
        for (auto b : blocks) {
            if (b >= p.totalBlocks || used[b])
                return false;
            used[b] = true;
        }
        return true;
    };
    std::set<std::uint16_t> directories;
    for (const auto& o : p.chains[std::size_t(Chain::Directories)])
        directories.insert(o.id);
    for (const auto& chain : p.chains) {
        for (const auto& o : chain) {
            if (o.headerBlocks.empty() || o.headerBlocks.front() != o.id)
                return "object without its first block";
            if (!claim(o.headerBlocks) || !claim(o.contentBlocks) || !claim(o.keyBlocks))
                return "block used twice or outside memory";
            const std::size_t headerBlocks = std::max<std::size_t>(
                1, blocksFor(headerSize(o.chain) + o.metadata.size(), p.blockSize));
            if (o.headerBlocks.size() != headerBlocks)
                return "header block count does not match";
            if (o.hasContent && o.contentBlocks.size() != blocksFor(o.content.size(), p.blockSize))
                return "content block count does not match";
            if (!o.hasContent && !o.contentBlocks.empty())
                return "content blocks without content";
            if (o.chain == Chain::Files && !directories.count(o.dirId))
                return "file outside any directory";
            if (o.chain == Chain::KeyPairs) {
                if ((o.contentCode & 0x06) == 0)
                    return "key pair without any half";
                if (o.keySize != 1024 && o.keySize != 2048)
                    return "key pair of unsupported size";
                const auto& k = o.key;
                const bool pub = !k.n.empty() && !k.e.empty();
                const bool priv = !k.p.empty() && !k.q.empty() && !k.dp.empty() && !k.dq.empty() &&
                                  !k.inv.empty();
                if (pub != o.hasPublic() || (!pub && (!k.n.empty() || !k.e.empty())))
                    return "public key material does not match the key pair";
                if (priv != o.hasPrivate() ||
                    (!priv && (!k.p.empty() || !k.q.empty() || !k.dp.empty() || !k.dq.empty() ||
                               !k.inv.empty())))
                    return "private key material does not match the key pair";
                if (o.keyBlocks.size() != blocksFor(o.keyMaterialSize(), p.blockSize))
                    return "key block count does not match";
                if (o.hasPrivate()) {
                    if (o.keySlot >= p.keySlots.size() || p.keySlots[o.keySlot].occupant != o.id)
                        return "private key without its key slot";
                } else if (o.keySlot != 0xFF) {
                    return "key slot held by a key pair without private key";
                }
            }
        }
    }
    for (std::size_t i = 0; i < p.keySlots.size(); ++i) {
        const auto occ = p.keySlots[i].occupant;
        if (occ == kNoBlock)
            continue;
        bool found = false;
        for (const auto& o : p.chains[std::size_t(Chain::KeyPairs)])
            found = found || (o.id == occ && o.keySlot == i);
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
            int e = errno;
            ::close(fd);
            throw ImageError("cannot read card image " + path + ": " + std::strerror(e));
        }
        if (n == 0)
            break;
        data.insert(data.end(), buf, buf + n);
    }
    ::close(fd);
    return data;
}

void writeFileAtomically(const std::string& path, const Bytes& data) {
    const std::string tmp = path + ".tmp";
    auto fail = [&](const char* step) {
        return ImageError(std::string("cannot write card image ") + path + " (" + step +
                          "): " + std::strerror(errno));
    };
    // The error is built while errno still says why; then the temporary file goes.
    auto abandon = [&](const char* step, int openFd) {
        ImageError e = fail(step);
        if (openFd >= 0)
            ::close(openFd);
        ::unlink(tmp.c_str());
        return e;
    };
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        throw fail("create temporary file");
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
    const std::string dir =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

}  // namespace vcard
