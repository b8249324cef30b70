// Card-side objects built from their headers and written back, against a
// scripted connection: the commands each step sends and what it refuses.
#include "amwkalvik/objects.h"
#include "amwkalvik/apdu.h"
#include "exceptions.h"
#include "fakeconnection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sstream>

using namespace amwkalvik;
using namespace fake;

namespace {

// A header as the card sends it (16-bit fields big-endian).
struct RawHeader {
    std::uint16_t next = NO_BLOCK;
    std::uint16_t metadataSize = 0;
    std::uint16_t contentSize = 0;
    std::uint16_t ac[3] = {0x0101, 0x0102, 0x0104};
    Bytes tail;  // bytes from offset 17

    Bytes bytes() const {
        Bytes b(17, 0);
        auto put = [&](std::size_t at, std::uint16_t v) {
            b[at] = static_cast<std::uint8_t>(v >> 8);
            b[at + 1] = static_cast<std::uint8_t>(v);
        };
        put(1, next);
        put(3, metadataSize);
        put(5, contentSize);
        put(11, ac[0]);
        put(13, ac[1]);
        put(15, ac[2]);
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    }
};

Bytes lv(const std::string& s) {
    return concat({Bytes(1, static_cast<std::uint8_t>(s.size())), Bytes(s.begin(), s.end())});
}

// The header as the driver holds it after reading it from the card.
std::vector<std::uint8_t> readHeader(fake::Connection& c, const Bytes& raw) {
    c.then(ok(raw));
    std::vector<std::uint8_t> header(raw.size());
    apdu::beginReadMetadata(c, 0x0001, header.data(), header.size());
    c.commands.clear();
    c.sensitiveFlags.clear();
    return header;
}

// Header bytes from offset 17 of a key pair: usage, content code, container,
// signature or exchange key, and size.
Bytes keyPairTail(std::uint16_t usage, std::uint8_t code, std::uint8_t container,
                  std::uint8_t keySpec, std::uint16_t size) {
    return {0,    0,         0,       std::uint8_t(usage >> 8), std::uint8_t(usage),
            code, container, keySpec, std::uint8_t(size >> 8),  std::uint8_t(size)};
}

}  // namespace

TEST(CreateFromHeader, CertificateAndDataObject) {
    fake::Connection c;
    const Bytes certMeta = concat({lv("id-1"), lv("My cert"), hex("01 03 01 01")});
    RawHeader h;
    h.metadataSize = static_cast<std::uint16_t>(certMeta.size());
    h.contentSize = 0x0345;
    h.tail = {0x01};
    auto header = readHeader(c, h.bytes());
    c.then(ok(certMeta));
    std::unique_ptr<X509Certificate> cert(
        X509Certificate::createFromHeader(c, 0x0022, header.data()));
    ASSERT_EQ(c.commands.size(), 1u);
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 1A 00 00 11");
    EXPECT_EQ(str(cert->pkcs11Id), "id-1");
    EXPECT_EQ(str(cert->label), "My cert");
    EXPECT_EQ(cert->containerIndex, 3);
    EXPECT_EQ(cert->keySpec, 1u);
    EXPECT_TRUE(cert->trusted);
    EXPECT_EQ(cert->contentSize, 0x345u);
    EXPECT_EQ(cert->cardContentSize, 0x345u);
    EXPECT_EQ(cert->blockId, 0x0022);
    EXPECT_FALSE(cert->contentLoaded);

    const Bytes doMeta = concat({lv("id-2"), lv("label"), lv("1.2.3"), lv("app")});
    RawHeader d;
    d.metadataSize = static_cast<std::uint16_t>(doMeta.size());
    d.contentSize = 7;
    d.ac[0] = 0x0102;
    header = readHeader(c, d.bytes());
    c.then(ok(doMeta));
    std::unique_ptr<DataObject> object(DataObject::createFromHeader(c, 0x0031, header.data()));
    EXPECT_EQ(str(object->application), "app");
    EXPECT_EQ(str(object->objectId), "1.2.3");
    EXPECT_EQ(object->acReadContent, 0x0102);
    EXPECT_TRUE(object->isPrivateContent());
    EXPECT_EQ(object->contentSize, 7u);
}

TEST(CreateFromHeader, MalformedMetadataIsRefusedWithoutReadingPastIt) {
    struct Case {
        const char* name;
        Bytes metadata;
        bool certificate;
        const char* message;
    };
    const Case cases[] = {
        {"containerIndex of two bytes", concat({lv("id"), lv("l"), hex("02 00 01 01 00")}), true,
         "unexpected size of data (expected = 1, actual = 2)"},
        {"label missing", concat({lv("id"), hex("FF")}), true, "mandatory value not present"},
        {"last length byte says one more", concat({lv("id"), lv("l"), lv("o"), hex("01")}), false,
         "length would exceed the input buffer"},
        {"value longer than its field", concat({hex("81"), repeat(0x41, 129)}), false,
         "insufficient buffer to store data into (requested = 129, actual = 128)"},
        {"metadata ends early", lv("id"), false, "length would exceed the input buffer"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        fake::Connection c;
        RawHeader h;
        h.metadataSize = static_cast<std::uint16_t>(k.metadata.size());
        if (k.certificate)
            h.tail = {0};
        auto header = readHeader(c, h.bytes());
        c.then(ok(k.metadata));
        if (k.certificate)
            expectThrowMessage<LvParserException>(
                [&] { delete X509Certificate::createFromHeader(c, 1, header.data()); }, k.message);
        else
            expectThrowMessage<LvParserException>(
                [&] { delete DataObject::createFromHeader(c, 1, header.data()); }, k.message);
    }

    // Metadata over 1024 bytes is refused before it is read.
    fake::Connection c;
    RawHeader big;
    big.metadataSize = 1025;
    auto header = readHeader(c, concat({big.bytes(), {0}}));
    expectThrowMessage<InvalidArgumentException>(
        [&] { delete X509Certificate::createFromHeader(c, 1, header.data()); },
        "Invalid argument range exception <header.metaDataSize> [1025] not inside <0,1024> "
        "[amwkalvik::X509Certificate::createFromHeader() libamwkalvik/src/x509certificate:19]");
    header = readHeader(c, big.bytes());
    expectThrowMessage<InvalidArgumentException>(
        [&] { delete DataObject::createFromHeader(c, 1, header.data()); },
        "Invalid argument range exception <header.metaDataSize> [1025] not inside <0,1024> "
        "[amwkalvik::DataObject::createFromHeader() libamwkalvik/src/dataobject:18]");
    RawHeader bigPair = big;
    bigPair.tail = keyPairTail(0x93, 6, 1, 1, 1024);
    header = readHeader(c, bigPair.bytes());
    EXPECT_THROW(delete KeyPair::createFromHeader(c, 1, header.data()), InvalidArgumentException);
    EXPECT_TRUE(c.commands.empty());
}

TEST(CreateFromHeader, KeyPairHalvesDecideWhatIsRead) {
    struct Case {
        std::uint8_t code;
        bool pub, priv;
        std::uint8_t container;
        std::uint32_t keySpec;
    };
    // Header: container 5, keySpec byte 0 (signature).
    const Case cases[] = {
        {0x07, true, true, 5, amw::KeyPair::SIGNATURE_KEY},
        {0x06, true, true, 5, amw::KeyPair::SIGNATURE_KEY},
        {0x02, true, false, 0, amw::KeyPair::KEY_EXCHANGE_KEY},
        {0x04, false, true, 0, amw::KeyPair::KEY_EXCHANGE_KEY},
    };
    const Bytes modulus = concat({hex("C1"), repeat(0x5A, 127)});
    for (const Case& k : cases) {
        SCOPED_TRACE(int(k.code));
        fake::Connection c;
        Bytes meta = lv("pair-id");
        if (k.pub)
            meta = concat({meta, lv("public")});
        if (k.priv)
            meta = concat({meta, lv("private")});
        RawHeader h;
        h.metadataSize = static_cast<std::uint16_t>(meta.size());
        h.tail = keyPairTail(0x00B3, k.code, 5, 0, 1024);
        auto header = readHeader(c, h.bytes());
        header::toHostOrder(header.data(), header::KEY_USAGE);
        header::toHostOrder(header.data(), header::KEY_SIZE);
        c.then(ok(meta));
        if (k.pub)
            c.then(ok(modulus)).then(status(0x6C03)).then(ok(hex("01 00 01")));
        std::unique_ptr<KeyPair> pair(KeyPair::createFromHeader(c, 0x0040, header.data()));
        EXPECT_EQ(pair->keySize, 1024);
        EXPECT_EQ(pair->keyUsage, 0x00B3);
        EXPECT_EQ(pair->generatedOnCard, k.code & 1);
        EXPECT_EQ(pair->hasPublicKey, k.pub);
        EXPECT_EQ(pair->hasPrivateKey, k.priv);
        EXPECT_EQ(pair->containerIndex, k.container);
        EXPECT_EQ(pair->keySpec, k.keySpec);
        EXPECT_EQ(str(pair->pkcs11Id), "pair-id");
        if (k.pub) {
            EXPECT_EQ(str(pair->publicKey.label), "public");
            EXPECT_EQ(bytes(pair->publicKey.modulus), modulus);
            EXPECT_EQ(fake::toHex(bytes(pair->publicKey.publicExponent)), "01 00 01");
            EXPECT_EQ(c.withIns(0x44).size(), 3u);
        } else {
            EXPECT_TRUE(c.withIns(0x44).empty());
        }
        if (k.priv)
            EXPECT_EQ(str(pair->privateKey.label), "private");
    }

    fake::Connection c;
    RawHeader h;
    h.metadataSize = 3;
    h.tail = keyPairTail(0, 0x01, 0, 0, 1024);
    auto header = readHeader(c, h.bytes());
    c.then(ok(lv("id")));
    expectThrowMessage<InternalErrorException>(
        [&] { delete KeyPair::createFromHeader(c, 1, header.data()); },
        "INTERNAL ERROR the keypair does not have a public key, a private key neither");
}

TEST(CreateFromHeader, DirectoryAndFileNamesInLowerCase) {
    fake::Connection c;
    RawHeader d;
    d.tail = concat({hex("00 00"), Bytes{'M', 'S', 'C', 'P', 0, 'X', 0, 0}});
    auto header = readHeader(c, d.bytes());
    std::unique_ptr<Directory> dir(Directory::createFromHeader(c, 0x0050, header.data()));
    EXPECT_EQ(str(dir->directoryName), "mscp");

    RawHeader f;
    f.contentSize = 300;
    f.ac[0] = 0x0101;
    f.ac[1] = 0x0106;
    f.ac[2] = 0x0104;
    f.tail = concat(
        {Bytes{'M', 'S', 'C', 'P', 0, 0, 0, 0}, Bytes{'C', 'm', 'a', 'p', 'F', 'i', 'l', 'E'}});
    header = readHeader(c, f.bytes());
    std::unique_ptr<File> file(File::createFromHeader(c, 0x0051, header.data()));
    EXPECT_EQ(str(file->directoryName), "mscp");
    EXPECT_EQ(str(file->fileName), "cmapfile");
    EXPECT_EQ(file->acRead.getEncodedValue(), 0x0101);
    EXPECT_EQ(file->acWrite.getEncodedValue(), 0x0106);
    EXPECT_EQ(file->acDelete.getEncodedValue(), 0x0104);
    EXPECT_EQ(file->cardContentSize, 300u);
    EXPECT_FALSE(file->isPrivateContent());
    EXPECT_TRUE(c.commands.empty()) << "files and directories have no metadata to read";

    // The empty-named directory.
    RawHeader root;
    root.tail = Bytes(10, 0);
    header = readHeader(c, root.bytes());
    std::unique_ptr<Directory> empty(Directory::createFromHeader(c, 0x0052, header.data()));
    EXPECT_EQ(empty->directoryName.size(), 0u);
}

TEST(Commit, NewAndExistingObjectsSendTheirMetadata) {
    fake::Connection c;
    X509Certificate cert(&c);
    cert.pkcs11Id.assign(reinterpret_cast<const std::uint8_t*>("ab"), 2);
    cert.label.assign(reinterpret_cast<const std::uint8_t*>("L"), 1);
    cert.containerIndex = 2;
    cert.keySpec = 1;
    c.then(ok()).then(ok()).then(ok(hex("00 33")));
    cert.commitCreationOrMetadataChanges();
    EXPECT_EQ(cert.blockId, 0x0033);
    ASSERT_EQ(c.commands.size(), 3u);
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 3C 00 00 02 00 09");
    EXPECT_EQ(fake::toHex(c.commands[1]), "80 12 00 00 09 02 61 62 01 4C 01 02 01 01");
    EXPECT_EQ(fake::toHex(c.commands[2]), "80 3A 00 00 02");
    // Changed later: the metadata is replaced in place.
    c.commands.clear();
    c.then(ok()).then(ok()).then(ok(hex("00 33")));
    cert.commitCreationOrMetadataChanges();
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 16 00 33 02 00 09");

    // A key pair that lost or gained a half tells the card its new shape.
    KeyPair pair(&c);
    pair.blockId = 0x0040;
    pair.pkcs11Id.assign(reinterpret_cast<const std::uint8_t*>("k"), 1);
    pair.hasPrivateKey = true;
    pair.privateKey.label.assign(reinterpret_cast<const std::uint8_t*>("pv"), 2);
    pair.containerIndex = 4;
    pair.keySpec = amw::KeyPair::KEY_EXCHANGE_KEY;
    pair.keyUsage = 0x0093;
    pair.metadataChanged = true;
    c.commands.clear();
    c.then(ok()).then(ok()).then(ok(hex("00 41")));
    pair.commitCreationOrMetadataChanges();
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 4E 04 01 04 00 93 00 05");
    EXPECT_EQ(fake::toHex(c.commands[1]), "80 12 00 00 05 01 6B 02 70 76");
    EXPECT_FALSE(pair.metadataChanged);
    EXPECT_EQ(pair.blockId, 0x0041);

    // A data object left to the card's default condition learns it.
    DataObject object(&c);
    c.commands.clear();
    RawHeader h;
    h.ac[0] = 0x0102;
    c.then(ok()).then(ok()).then(ok(hex("00 60"))).then(ok(h.bytes()));
    object.commitCreationOrMetadataChanges();
    ASSERT_EQ(c.commands.size(), 4u);
    EXPECT_EQ(fake::toHex(c.commands[3]), "80 18 00 60 11");
    EXPECT_EQ(object.acReadContent, 0x0102);

    // A new file with unspecified conditions reads all three back.
    File file(&c);
    file.acRead = 0x0101;
    c.commands.clear();
    RawHeader fh;
    fh.ac[0] = 0x0101;
    fh.ac[1] = 0x0106;
    fh.ac[2] = 0x0104;
    fh.tail = Bytes(16, 0);
    c.then(ok()).then(ok(hex("00 70"))).then(ok(fh.bytes()));
    file.commitCreationOrMetadataChanges();
    ASSERT_EQ(c.commands.size(), 3u);
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 3C 00 00 02 00 00");
    EXPECT_EQ(fake::toHex(c.commands[2]), "80 18 00 70 21");
    EXPECT_EQ(file.acWrite.getEncodedValue(), 0x0106);
    // Nothing to commit for an existing file or directory.
    c.commands.clear();
    file.commitCreationOrMetadataChanges();
    Directory dir(&c);
    dir.blockId = 0x0071;
    dir.commitCreationOrMetadataChanges();
    EXPECT_TRUE(c.commands.empty());
}

TEST(Commit, ContentIsReplacedAfterTheFreeSpaceCheck) {
    // 300 -> 600 bytes with 256-byte blocks: 3 needed, 2 released, 1 free is enough.
    fake::Connection c;
    DataObject object(&c);
    object.blockId = 0x0012;
    object.cardContentSize = 300;
    object.contentLoaded = true;
    Bytes body(600, 0x42);
    object.setContent(body.data(), body.size());
    c.then(ok(hex("0100 0200 0001 0000")));
    object.commitContentChanges();
    const std::vector<std::string> heads = {"80 06 01 00", "80 14 00 12", "80 1C 00 12",
                                            "80 12 00 00", "80 12 00 00", "80 12 00 00",
                                            "80 38 00 00"};
    ASSERT_EQ(c.commands.size(), heads.size());
    for (std::size_t i = 0; i < heads.size(); ++i)
        EXPECT_EQ(fake::toHex(Bytes(c.commands[i].begin(), c.commands[i].begin() + 4)), heads[i]);
    EXPECT_EQ(fake::toHex(c.commands[2]), "80 1C 00 12 02 02 58");
    EXPECT_EQ(object.cardContentSize, 600u);
    EXPECT_EQ(object.contentSize, 600u);

    // No free block: refused before anything changes on the card.
    fake::Connection full;
    DataObject big(&full);
    big.blockId = 0x0012;
    big.cardContentSize = 300;
    big.setContent(body.data(), body.size());
    full.then(ok(hex("0100 0200 0000 0000")));
    expectThrowMessage<amw::CardOutOfMemoryException>([&] { big.commitContentChanges(); },
                                                      "CARD OUT OF MEMORY");
    ASSERT_EQ(full.commands.size(), 1u);
    EXPECT_EQ(full.commands[0][1], 0x06);
    EXPECT_EQ(big.cardContentSize, 300u);

    // Shrinking needs no check; emptying only removes.
    fake::Connection shrink;
    File file(&shrink);
    file.blockId = 0x0013;
    file.cardContentSize = 600;
    file.setContent(nullptr, 0);
    file.commitContentChanges();
    ASSERT_EQ(shrink.commands.size(), 1u);
    EXPECT_EQ(fake::toHex(shrink.commands[0]), "80 14 00 13 00");
    EXPECT_EQ(file.cardContentSize, 0u);

    // A failure after the removal leaves the object without content.
    fake::Connection failing;
    X509Certificate cert(&failing);
    cert.blockId = 0x0014;
    cert.cardContentSize = 10;
    cert.setContent(body.data(), 5);
    failing.then(ok()).then(status(0x6F03));
    EXPECT_THROW(cert.commitContentChanges(), amw::CardOutOfMemoryException);
    EXPECT_EQ(cert.cardContentSize, 0u);
}

TEST(Content, ReadFromTheCardInPieces) {
    fake::Connection c;
    File file(&c);
    file.blockId = 0x0015;
    c.then(ok(hex("01 2C"))).then(ok(repeat(1, 255))).then(ok(repeat(2, 45)));
    const StaticBuffer<65536>& content = file.getContent();
    EXPECT_EQ(content.size(), 300u);
    EXPECT_EQ(content.data[299], 2);
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 1E 00 15 02");
    EXPECT_EQ(c.commands.size(), 3u);

    fake::Connection none;
    DataObject object(&none);
    none.then(status(0x6A83));
    StaticBuffer<65536> buffer(reinterpret_cast<const std::uint8_t*>("old"), 3);
    object.readContent(buffer);
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(none.commands.size(), 1u);

    // Private content: only the data object's and file's read condition decide.
    X509Certificate cert(&c);
    EXPECT_FALSE(cert.isPrivateContent());
    object.acReadContent = 0x0101;
    EXPECT_FALSE(object.isPrivateContent());
    object.acReadContent = 0xFFFF;
    EXPECT_TRUE(object.isPrivateContent());
    file.acRead = 0x0102;
    EXPECT_TRUE(file.isPrivateContent());
}
