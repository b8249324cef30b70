// The card image: round trip, persistence after each command, damage
// detection, a process killed while writing, and the kalvik-vcard tool.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "cardtest.h"
#include "tempdir.h"

using namespace cardtest;

namespace {

Bytes readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeAll(const std::string& path, const Bytes& b) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

// `image` with bytes replaced at `at`, and then with the checksum made to fit again.
Bytes patched(Bytes image, std::size_t at, const Bytes& bytes) {
    std::copy(bytes.begin(), bytes.end(), image.begin() + std::ptrdiff_t(at));
    return image;
}
Bytes resealed(Bytes image, std::size_t at, const Bytes& bytes) {
    image = patched(image, at, bytes);
    unsigned int len = 0;
    EVP_Digest(image.data(), image.size() - 32, image.data() + image.size() - 32, &len,
               EVP_sha256(), nullptr);
    return image;
}

// A card with some of everything: objects with content, a key pair, used tries.
void populate(vcard::KalvikCard& card) {
    Driver d(card);
    d.select();
    ASSERT_EQ(d.login(1, "123456"), 0x9000);
    const std::uint16_t obj = d.createDataObject(0xFFFF, hex("03 61 62 63"));
    ASSERT_EQ(d.writeContent(obj, Bytes(700, 0x5C)), 0x9000);
    ASSERT_EQ(d.swOf(apdu(0x3E, 0, 1, hex("07 04 00 00 03 01 01 FF FF FF FF FF FF"))), 0x9000);
    ASSERT_EQ(sw(d.send(apdu(0x40, 0, 0, hex("01 00 01")))), 0x9000);
    ASSERT_EQ(d.swOf(apdu(0x3C, 0, 0, be16(1))), 0x9000);
    ASSERT_EQ(d.commitMetadata(hex("00")).second, 0x9000);
    ASSERT_EQ(d.swOf(apdu(0x0E, 0, 0, Bytes(47, 0x21))), 0x9000);
    ASSERT_EQ(d.login(2, "00000000"), 0x63C4);
}

TEST(ImageTest, LoadedCardIsTheSavedOneAndEveryChangeIsOnDiskBeforeTheAnswer) {
    TempDir dir;
    const std::string path = dir.file("card.img");
    vcard::KalvikCard card(fixedOptions());
    populate(card);
    card.save(path);
    auto loaded = vcard::KalvikCard::load(path);
    EXPECT_EQ(loaded->imagePath(), path);
    EXPECT_EQ(loaded->serialize(), card.serialize());
    EXPECT_EQ(loaded->triesRemaining(2), 4);
    EXPECT_EQ(vcard::describeCard(*loaded), vcard::describeCard(card));
    // A loaded card starts unauthenticated and unselected, and its key still works.
    Driver d(*loaded);
    EXPECT_EQ(d.swOf(hex("80 02 00 00 02")), 0x6D00);
    d.select();
    EXPECT_FALSE(loaded->isAuthenticated(1));
    const std::uint16_t key = d.heads()[1];
    EXPECT_EQ(d.swOf(apdu(0x46, key >> 8, key & 0xFF, {}, 0)), 0x6982);

    // Reads, authentication and computing leave the file alone ...
    const Bytes start = readAll(path);
    ASSERT_EQ(d.login(1, "123456"), 0x9000);
    ASSERT_EQ(d.swOf(apdu(0x46, key >> 8, key & 0xFF, {}, 0)), 0x9000);
    EXPECT_EQ(sw(d.send(apdu(0x4A, 0, 0, Bytes(128, 2), 0x80))), 0x9000);
    d.send(hex("80 0C 00 00 2F"));
    d.send(hex("80 06 01 00 08"));
    EXPECT_EQ(readAll(path), start);
    // ... changes are there at once, and the file always equals the card.
    const std::uint16_t obj = d.createDataObject(0x0101, hex("01 78"));
    EXPECT_EQ(readAll(path), loaded->serialize());
    ASSERT_EQ(d.writeContent(obj, Bytes(300, 1)), 0x9000);
    EXPECT_EQ(readAll(path), loaded->serialize());
    d.login(1, "999999");  // a wrong PIN is a change: its try must not come back
    EXPECT_EQ(vcard::KalvikCard::load(path)->triesRemaining(1), 2);
    EXPECT_EQ(vcard::KalvikCard::load(path)->objectCount(vcard::Chain::DATA_OBJECTS), 2u);
}

TEST(ImageTest, DamagedImagesAreRefusedWithAReason) {
    TempDir dir;
    vcard::KalvikCard card(fixedOptions());
    populate(card);
    const Bytes good = card.serialize();
    // The key pair's fields in the image: key size, usage, content code,
    // container, keySpec, key slot, then the modulus with its length.
    Driver d(card);
    const std::uint16_t key = d.heads()[1];
    d.header(key, 27);
    const Bytes modulus = body(d.send(hex("80 44 06 00 80")));
    ASSERT_EQ(modulus.size(), 128u);
    const std::size_t modulusAt = std::size_t(
        std::search(good.begin(), good.end(), modulus.begin(), modulus.end()) - good.begin());
    ASSERT_LT(modulusAt, good.size());
    const std::size_t keySizeAt = modulusAt - 2 - 8;
    ASSERT_EQ(Bytes(good.begin() + keySizeAt, good.begin() + keySizeAt + 2), hex("04 00"));
    struct Case {
        const char* what;
        Bytes image;
        const char* reason;
    } cases[] = {
        {"empty", Bytes(), "not a Kalvik card image"},
        {"other file", Bytes(200, 'x'), "not a Kalvik card image"},
        {"truncated", Bytes(good.begin(), good.end() - 40), "length does not match"},
        {"extended", cat(good, Bytes{0}), "length does not match"},
        {"flipped bit",
         patched(good, good.size() / 2, {std::uint8_t(good[good.size() / 2] ^ 0x10)}),
         "checksum mismatch"},
        {"newer format", patched(good, 9, {2}), "unsupported image format version 2"},
        // Sound checksum, but the memory shrunk under the objects (total block
        // count at body offset 135).
        {"blocks outside memory", resealed(good, 14 + 135, {0x00, 0x02}), "outside memory"},
        {"memory of zero blocks", resealed(good, 14 + 135, {0x00, 0x00}),
         "total block count out of range"},
        // A 1024-bit modulus under a key size of 2048 would be answered and used as it is.
        {"modulus of another size", resealed(good, keySizeAt, {0x08, 0x00}),
         "modulus length does not match the key size"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.file("bad.img");
        writeAll(path, c.image);
        try {
            vcard::KalvikCard::load(path);
            ADD_FAILURE() << c.what << " was accepted";
        } catch (const vcard::ImageError& e) {
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos)
                << c.what << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << c.what;
        }
    }
    EXPECT_THROW(vcard::KalvikCard::load(dir.file("missing.img")), vcard::ImageError);
}

// The freshness block a writer puts for counter i: i big-endian, then bytes of i.
Bytes freshnessFor(std::uint32_t i) {
    Bytes block(47);
    for (std::size_t k = 0; k < block.size(); ++k)
        block[k] = k < 4 ? std::uint8_t(i >> (24 - 8 * k)) : std::uint8_t(i * 31 + k);
    return block;
}

// The child writes the freshness block with a counter over and over, from
// the counter found in the image on, until it is killed.
[[noreturn]] void writeFreshnessForever(const std::string& path) {
    auto c = vcard::KalvikCard::load(path);
    auto f = c->freshness();
    std::uint32_t i =
        std::uint32_t(f[0]) << 24 | std::uint32_t(f[1]) << 16 | std::uint32_t(f[2]) << 8 | f[3];
    c->transmit(hex(SELECT_HEX));
    for (;;)
        if (sw(c->transmit(apdu(0x0E, 0, 0, freshnessFor(++i)))) != 0x9000)
            _exit(3);
}

TEST(ImageTest, KilledWriterLeavesALastCommittedState) {
    TempDir dir;
    const std::string path = dir.file("card.img");
    vcard::KalvikCard card(fixedOptions());
    populate(card);  // a few KiB of content, so a write takes a while
    card.save(path);

    std::uint32_t previous = 0;
    for (int round = 0; round < 25; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            writeFreshnessForever(path);
        std::this_thread::sleep_for(std::chrono::milliseconds(20 + (round * 7) % 40));
        // On a loaded machine a writer may not reach its first commit in
        // time; the last one is given until it has.
        for (int wait = 0; round == 24 && wait < 1000; ++wait) {
            if (vcard::KalvikCard::load(path)->freshness() != card.freshness())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped on its own";

        std::unique_ptr<vcard::KalvikCard> after;
        try {
            after = vcard::KalvikCard::load(path);
        } catch (const vcard::ImageError& e) {
            FAIL() << "round " << round << ": " << e.what();
        }
        auto f = after->freshness();
        const std::uint32_t i =
            std::uint32_t(f[0]) << 24 | std::uint32_t(f[1]) << 16 | std::uint32_t(f[2]) << 8 | f[3];
        EXPECT_GE(i, previous) << "a committed state was lost";
        previous = i;
        // A writer killed before its first commit leaves the populated block.
        if (f != card.freshness()) {
            ASSERT_EQ(Bytes(f.begin(), f.end()), freshnessFor(i)) << "mixed states";
        }
        // Everything else is the populated card.
        ASSERT_EQ(after->objectCount(vcard::Chain::DATA_OBJECTS), 1u);
        ASSERT_EQ(after->objectCount(vcard::Chain::KEY_PAIRS), 1u);
        ASSERT_EQ(after->freeBlocks(), card.freeBlocks());
    }
    EXPECT_NE(vcard::KalvikCard::load(path)->freshness(), card.freshness())
        << "the writers never committed";
}

TEST(ImageTest, FailedWriteIsAnErrorAndNotAChange) {
    TempDir dir;
    const std::string path = dir.file("card.img");
    auto card = std::make_unique<vcard::KalvikCard>(fixedOptions());
    card->persistTo(path);  // an in-memory card bound to a new image
    Driver d(*card);
    d.select();
    // Files of this process may not grow past 64 bytes for one command.
    struct rlimit before;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    struct rlimit small = before;
    small.rlim_cur = 64;
    const auto previous = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::uint16_t answer = d.swOf(apdu(0x0E, 0, 0, Bytes(47, 9)));
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(answer, 0x6581);
    EXPECT_EQ(card->freshness()[0], 0);  // not applied in memory either
    EXPECT_EQ(d.swOf(apdu(0x0E, 0, 0, Bytes(47, 9))), 0x9000);
    EXPECT_EQ(vcard::KalvikCard::load(path)->freshness()[0], 9);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              1)
        << "no temporary file is left behind";
}

TEST(ImageTest, APlantedLinkBesideTheImageIsNeverWrittenThrough) {
    TempDir dir;
    const std::string path = dir.file("card.img");
    const std::string victim = dir.file("victim");
    writeAll(victim, Bytes{'k', 'e', 'e', 'p'});
    ASSERT_EQ(symlink(victim.c_str(), (path + ".tmp").c_str()), 0);
    vcard::KalvikCard card(fixedOptions());
    card.persistTo(path);
    Driver d(card);
    d.select();
    EXPECT_EQ(d.swOf(apdu(0x0E, 0, 0, Bytes(47, 3))), 0x9000);
    EXPECT_EQ(readAll(victim), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(vcard::KalvikCard::load(path)->freshness()[0], 3);
}

#ifdef KALVIK_VCARD_TOOL
int run(const std::string& args, std::string* output = nullptr) {
    const std::string cmd = std::string(KALVIK_VCARD_TOOL) + " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int status = pclose(p);
    if (output)
        *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ToolTest, InitAndShow) {
    TempDir dir;
    const std::string img = dir.file("t.img");
    std::string out;
    ASSERT_EQ(run("init " + img +
                      " --user-pin 2222 --blocks 100 --block-size 128 --serial 00000000000000AB",
                  &out),
              0)
        << out;
    auto card = vcard::KalvikCard::load(img);
    EXPECT_EQ(card->totalBlocks(), 100);
    EXPECT_EQ(card->blockSize(), 128);
    EXPECT_EQ(card->serialNumber()[7], 0xAB);
    Driver d(*card);
    d.select();
    EXPECT_EQ(d.login(1, "2222"), 0x9000);
    ASSERT_EQ(run("show " + img, &out), 0) << out;
    EXPECT_NE(out.find("mscp/cmapfile"), std::string::npos) << out;

    // Refusals: existing image, bad values, unknown things, damaged image.
    writeAll(dir.file("bad.img"), Bytes(100, 1));
    const struct {
        std::string args;
        int status;
        const char* message;
    } refusals[] = {
        {"init " + img, 1, "already exists"},
        {"init " + dir.file("u.img") + " --user-pin 12", 2, "PIN policy"},
        {"init --bogus " + dir.file("u.img"), 2, ""},
        {"show " + dir.file("bad.img"), 1, "not a Kalvik card image"},
    };
    for (const auto& r : refusals) {
        EXPECT_EQ(run(r.args, &out), r.status) << r.args;
        EXPECT_NE(out.find(r.message), std::string::npos) << out;
    }
}
#endif

}  // namespace
