// The cache file store: hits and every kind of miss, the file layout, the
// ordering that makes files reproducible, atomic replacement and permissions.
#include "cachememory/cachememory.h"

#include "processlog.h"
#include "tempdir.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

namespace {

using logrecords::newBodies;

const auto* const environment = ::testing::AddGlobalTestEnvironment(new logrecords::EnabledLog);

bool logged(const std::vector<std::string>& bodies, const std::string& text) {
    return std::find(bodies.begin(), bodies.end(), text) != bodies.end();
}

// A small entity with a variable-length key, the way the token's objects look.
class Item : public SerializableEntity {
public:
    Item() = default;
    Item(const std::string& key, std::uint16_t value) : value(value) {
        id.assign(reinterpret_cast<const std::uint8_t*>(key.data()), key.size());
    }

    void serialize(std::ostream& stream) const override {
        if (failOnWrite)
            throw SerializationException();
        writeStaticBuffer(stream, id);
        writeUint16(stream, value);
    }
    void deserialize(std::istream& stream) override {
        readStaticBuffer(stream, id);
        value = readUint16(stream);
    }
    int compare(const SerializableEntity& other) const override {
        const Item& o = dynamic_cast<const Item&>(other);
        if (id.length != o.id.length)
            return id.length < o.id.length ? -1 : 1;
        for (std::size_t i = 0; i < id.size(); ++i)
            if (id.data[i] != o.id.data[i])
                return id.data[i] - o.id.data[i];
        return 0;
    }
    std::string key() const { return std::string(id.begin(), id.end()); }

    StaticBuffer<128> id;
    std::uint16_t value = 0;
    bool failOnWrite = false;
};

class Factory : public SerializeEntityFactory {
public:
    SerializableEntity* createSerializableEntity(int) override { return new Item(); }
    std::uint32_t getSerializationVersion() override { return version; }
    std::uint32_t version = 3;
};

// Keeps the digests it is given and accepts exactly those, like the card does.
class Delegate : public CacheMemoryIntegrityDelegate {
public:
    void cacheMemoryHash(CacheMemory*, int entityId, const CacheMemoryDigest& digest) override {
        stored[entityId] = digest;
        ++hashCalls;
    }
    bool cacheMemoryVerifyHash(CacheMemory*, int entityId,
                               const CacheMemoryDigest& digest) override {
        ++verifyCalls;
        auto it = stored.find(entityId);
        return it != stored.end() && it->second == digest;
    }
    std::map<int, CacheMemoryDigest> stored;
    int hashCalls = 0;
    int verifyCalls = 0;
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string le32(std::uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i)
        s += static_cast<char>(v >> (8 * i));
    return s;
}

// Host order, which is how entity fields are stored.
template <class T>
std::string raw(T v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}

std::vector<std::string> directoryEntries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class CacheMemoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        cacheDir = dir.path() + "/cards/00112233445566778899aabbccddeeff";
        store.reset(new CacheMemory(&factory, cacheDir));
        items.push_back(new Item("bb", 1));
        items.push_back(new Item("a", 2));
        items.push_back(new Item("ccc", 3));
        items.push_back(new Item("ba", 4));
        newBodies();
    }
    void TearDown() override {
        for (Item* i : items)
            delete i;
        for (Item* i : loaded)
            delete i;
    }
    bool load(std::uint32_t freshness, CacheMemoryIntegrityDelegate* d) {
        for (Item* i : loaded)
            delete i;
        loaded.clear();
        return store->deserializeEntities(1, freshness, &loaded, d);
    }

    TempDir dir;
    std::string cacheDir;
    Factory factory;
    Delegate delegate;
    std::unique_ptr<CacheMemory> store;
    std::vector<Item*> items;
    std::vector<Item*> loaded;
};

TEST_F(CacheMemoryTest, FileHasTheHeaderAndEntitiesInDescendingOrderAndIsReadBack) {
    ASSERT_TRUE(store->serializeEntities(1, 0x1234, items, &delegate));
    EXPECT_EQ(store->getFilePath(1), cacheDir + "/1");

    // Longer keys first; equal lengths by their bytes, greater first.
    std::string expected = le32(3) + le32(0x1234) + le32(4);
    for (auto [key, value] :
         {std::pair<std::string, std::uint16_t>{"ccc", 3}, {"bb", 1}, {"ba", 4}, {"a", 2}})
        expected += raw<std::uint32_t>(static_cast<std::uint32_t>(key.size())) + key + raw(value);
    const std::string bytes = readFile(cacheDir + "/1");
    EXPECT_EQ(bytes, expected);

    // The delegate gets the digest of the whole file, header included.
    ASSERT_EQ(delegate.hashCalls, 1);
    CacheMemoryDigest digest;
    ::SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest.data());
    EXPECT_EQ(delegate.stored[1], digest);

    // A hit restores every entity in the file's order.
    ASSERT_TRUE(load(0x1234, &delegate));
    ASSERT_EQ(loaded.size(), 4u);
    std::vector<std::pair<std::string, int>> got;
    for (Item* i : loaded)
        got.emplace_back(i->key(), i->value);
    EXPECT_EQ(got, (std::vector<std::pair<std::string, int>>{
                       {"ccc", 3}, {"bb", 1}, {"ba", 4}, {"a", 2}}));
    EXPECT_EQ(delegate.verifyCalls, 1);
    // Buffers read back are zero past their length, like fresh ones.
    EXPECT_EQ(loaded.back()->id.data[1], 0);

    // An empty list is a twelve-byte file and still a hit.
    ASSERT_TRUE(store->serializeEntities(1, 9, std::vector<Item*>(), &delegate));
    EXPECT_EQ(readFile(cacheDir + "/1"), le32(3) + le32(9) + le32(0));
    EXPECT_TRUE(load(9, &delegate));
    EXPECT_TRUE(loaded.empty());
}

TEST_F(CacheMemoryTest, SameSetInAnyOrderGivesTheSameBytes) {
    std::vector<Item*> order = items;
    std::sort(order.begin(), order.end());
    ASSERT_TRUE(store->serializeEntities(1, 1, order, nullptr));
    const std::string first = readFile(cacheDir + "/1");
    while (std::next_permutation(order.begin(), order.end())) {
        ASSERT_TRUE(store->serializeEntities(1, 1, order, nullptr));
        ASSERT_EQ(readFile(cacheDir + "/1"), first);
    }
    // Without a delegate no digest is needed to read it back.
    EXPECT_TRUE(load(1, nullptr));
}

TEST_F(CacheMemoryTest, MissesLeaveTheListEmptyAndTheFileInPlace) {
    ASSERT_TRUE(store->serializeEntities(1, 100, items, &delegate));
    const std::string bytes = readFile(cacheDir + "/1");

    struct {
        const char* what;
        std::uint32_t freshness;
        std::uint32_t version;
        const char* log;
    } cases[] = {
        {"freshness one above", 101, 3,
         "CACHE MEMORY: miss [requested_freshness=101, cache_freshness=100]"},
        {"freshness one below", 99, 3,
         "CACHE MEMORY: miss [requested_freshness=99, cache_freshness=100]"},
        {"other version", 100, 4,
         "CACHE MEMORY: miss - bad version [requested_version=4, cache_version=3]"},
    };
    for (const auto& c : cases) {
        factory.version = c.version;
        EXPECT_FALSE(load(c.freshness, &delegate)) << c.what;
        EXPECT_TRUE(loaded.empty()) << c.what;
        EXPECT_TRUE(logged(newBodies(), c.log)) << c.what;
    }
    // The freshness test comes first: the digest is not even looked at.
    EXPECT_EQ(delegate.verifyCalls, 0);
    EXPECT_EQ(readFile(cacheDir + "/1"), bytes);

    factory.version = 3;
    EXPECT_FALSE(store->deserializeEntities(5, 100, &loaded, &delegate));
    EXPECT_TRUE(logged(newBodies(), "CACHE MEMORY: Failed to open cache file " + cacheDir + "/5"));

    writeFile(cacheDir + "/6", bytes.substr(0, 11));
    EXPECT_FALSE(store->deserializeEntities(6, 100, &loaded, &delegate));
    EXPECT_TRUE(logged(newBodies(),
                       "CACHE MEMORY: Failed to read header from cache file " + cacheDir + "/6"));
}

TEST_F(CacheMemoryTest, AnyChangedByteMakesTheDelegateRejectTheFile) {
    ASSERT_TRUE(store->serializeEntities(1, 100, items, &delegate));
    const std::string original = readFile(cacheDir + "/1");
    for (std::size_t offset = 0; offset < original.size(); ++offset) {
        std::string changed = original;
        changed[offset] = static_cast<char>(changed[offset] ^ 0x01);
        writeFile(cacheDir + "/1", changed);
        ASSERT_FALSE(load(100, &delegate)) << "offset " << offset;
        ASSERT_TRUE(loaded.empty());
    }
    // Bytes past the header reach the digest check, which names the file.
    EXPECT_TRUE(
        logged(newBodies(), "CACHE MEMORY: Integrity of cache broken in file " + cacheDir + "/1"));
    // An appended byte is a change too.
    writeFile(cacheDir + "/1", original + '\0');
    EXPECT_FALSE(load(100, &delegate));
    writeFile(cacheDir + "/1", original);
    EXPECT_TRUE(load(100, &delegate));
}

TEST_F(CacheMemoryTest, OversizedStaticBufferFailsTheReadWithNothingKept) {
    // A file that passes every check but declares 129 bytes for a 128-byte buffer.
    const std::string bytes = le32(3) + le32(5) + le32(2) + raw<std::uint32_t>(1) + "x" +
                              raw<std::uint16_t>(1) + raw<std::uint32_t>(129) +
                              std::string(129, 'y') + raw<std::uint16_t>(2);
    ::mkdir((dir.path() + "/cards").c_str(), 0700);
    ::mkdir(cacheDir.c_str(), 0700);
    writeFile(cacheDir + "/1", bytes);
    {
        CacheMemoryDigest digest;
        ::SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest.data());
        delegate.stored[1] = digest;
    }
    EXPECT_THROW(load(5, &delegate), SerializationException);
    EXPECT_TRUE(loaded.empty());
    EXPECT_TRUE(logged(newBodies(),
                       "readStream(): invalid size of static buffer (size:129, max_size:128)"));

    // A file cut inside an entity fails the same way.
    writeFile(cacheDir + "/1", bytes.substr(0, 20));
    EXPECT_THROW(load(5, nullptr), SerializationException);
    EXPECT_TRUE(loaded.empty());
    EXPECT_TRUE(logged(newBodies(), "readStream(): stream not good"));
}

TEST_F(CacheMemoryTest, FailedWriteKeepsThePreviousFileAndLeavesNoTrace) {
    ASSERT_TRUE(store->serializeEntities(1, 100, items, &delegate));
    const std::string before = readFile(cacheDir + "/1");
    const CacheMemoryDigest digestBefore = delegate.stored[1];

    items[2]->failOnWrite = true;
    EXPECT_FALSE(store->serializeEntities(1, 101, items, &delegate));
    EXPECT_EQ(delegate.hashCalls, 1);
    EXPECT_EQ(delegate.stored[1], digestBefore);
    EXPECT_EQ(readFile(cacheDir + "/1"), before);
    EXPECT_EQ(directoryEntries(cacheDir), std::vector<std::string>{"1"});
    EXPECT_TRUE(load(100, &delegate));
}

TEST_F(CacheMemoryTest, DirectoriesAndFilesAreOwnerOnly) {
    const mode_t previous = ::umask(0);
    const bool written = store->serializeEntities(1, 1, items, &delegate);
    ::umask(previous);
    ASSERT_TRUE(written);
    struct stat st;
    for (const std::string& d : {dir.path() + "/cards", cacheDir}) {
        ASSERT_EQ(::stat(d.c_str(), &st), 0) << d;
        EXPECT_EQ(st.st_mode & 07777, 0700u) << d;
    }
    ASSERT_EQ(::stat((cacheDir + "/1").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

// What stands under a file's name is read only when it is a regular file of
// a cache file's size: anything else misses at once (a FIFO or /dev/zero
// would hang or flood the read) and the next write replaces it.
TEST_F(CacheMemoryTest, OnlyRegularFilesOfBoundedSizeAreRead) {
    ASSERT_TRUE(store->serializeEntities(1, 5, items, &delegate));
    const std::string file = cacheDir + "/1";
    const std::string good = dir.file("good");
    ASSERT_EQ(::rename(file.c_str(), good.c_str()), 0);
    const std::pair<const char*, std::function<void()>> plants[] = {
        {"FIFO", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0); }},
        {"link to /dev/zero", [&] { ASSERT_EQ(::symlink("/dev/zero", file.c_str()), 0); }},
        {"link to a good file", [&] { ASSERT_EQ(::symlink(good.c_str(), file.c_str()), 0); }},
        {"oversized",
         [&] {
             std::filesystem::copy_file(good, file);
             ASSERT_EQ(::truncate(file.c_str(), CacheMemory::MAX_FILE_SIZE + 1), 0);
         }},
    };
    for (const auto& [what, plant] : plants) {
        ::unlink(file.c_str());
        plant();
        EXPECT_FALSE(load(5, &delegate)) << what;
        EXPECT_TRUE(loaded.empty()) << what;
        ASSERT_TRUE(store->serializeEntities(1, 5, items, &delegate)) << what;
        struct stat st;
        ASSERT_EQ(::lstat(file.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << what;
        EXPECT_TRUE(load(5, &delegate)) << what;
    }
}

// The card directory is used only when it is the user's own: one that others
// may enter is closed up, a link or someone else's directory is not used.
TEST_F(CacheMemoryTest, CardDirectoryMustBeTheUsersOwn) {
    ASSERT_TRUE(std::filesystem::create_directories(cacheDir));
    ::chmod(cacheDir.c_str(), 0777);
    ASSERT_TRUE(store->serializeEntities(1, 5, items, &delegate));
    struct stat st;
    ASSERT_EQ(::stat(cacheDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_TRUE(load(5, &delegate));

    // A link in the card directory's place, to a directory holding a good file.
    const std::string elsewhere = dir.file("elsewhere");
    std::filesystem::rename(cacheDir, elsewhere);
    ASSERT_EQ(::symlink(elsewhere.c_str(), cacheDir.c_str()), 0);
    EXPECT_FALSE(load(5, &delegate));
    EXPECT_FALSE(store->serializeEntities(1, 6, items, &delegate));
    EXPECT_EQ(directoryEntries(elsewhere), std::vector<std::string>{"1"});
    EXPECT_TRUE(logged(newBodies(), "CACHE MEMORY: untrusted cache directory " + cacheDir));

    if (::geteuid() != 0)
        GTEST_SKIP() << "a directory of another user needs root to make";
    ::unlink(cacheDir.c_str());
    std::filesystem::rename(elsewhere, cacheDir);
    ASSERT_EQ(::chown(cacheDir.c_str(), 1, 1), 0);
    EXPECT_FALSE(load(5, &delegate));
    EXPECT_FALSE(store->serializeEntities(1, 6, items, &delegate));
}

}  // namespace
