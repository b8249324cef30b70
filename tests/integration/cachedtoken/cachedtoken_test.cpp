// The caching token over a virtual card in the in-process PC/SC service,
// built per call the way the front end does it: lock the connection, make a
// card token and a caching token, work, refreshCache, release. Two
// "processes" are two connections, each with its own or a shared cache
// directory.
#include "amw/cachedtoken.h"
#include "ctl/lockablepcsccardconnection.h"
#include "ctl/pcscreader.h"
#include "fakeconnection.h"
#include "processlog.h"
#include "tempdir.h"
#include "testpcsc/service.h"
#include "tokencall.h"
#include "vcard/kalvikcard.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

namespace {

using amw::AccessCondition;
using amw::CachedToken;
using fake::expectThrowMessage;
using fake::text;

constexpr const char* READER = "Virtual Reader 0";
constexpr std::uint16_t EVERYONE = 0x0101;
constexpr std::uint16_t USER = 0x0102;
constexpr std::uint16_t USER_OR_SO = 0x0106;
const std::string USER_PIN = TokenCall::USER_PIN;

using logrecords::EnabledLog;
using logrecords::newBodies;

// The log on, and a configured cache directory beside it.
const auto* const environment = ::testing::AddGlobalTestEnvironment(
    new EnabledLog([](const TempDir& dir) { return "cache = " + dir.path() + "/configured/\n"; }));

bool loggedStartingWith(const std::vector<std::string>& bodies, const std::string& text) {
    return std::any_of(bodies.begin(), bodies.end(),
                       [&](const std::string& b) { return b.compare(0, text.size(), text) == 0; });
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Every regular file below `dir` with its content.
std::vector<std::pair<std::string, std::string>> filesBelow(const std::string& dir) {
    std::vector<std::pair<std::string, std::string>> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir, error))
        if (entry.is_regular_file())
            found.emplace_back(entry.path().string(), readFile(entry.path().string()));
    return found;
}

// One process: its own connection to the card and its cache directory.
struct Process {
    explicit Process(std::string cacheDirectory)
        : cacheDirectory(std::move(cacheDirectory)),
          connection(new ctl::LockablePcScCardConnection(ctl::PcScReader(READER),
                                                         ctl::CardConnection::MODE_SHARED,
                                                         ctl::CardConnection::PROTOCOL_T0_OR_T1)) {}
    std::string cacheDirectory;
    std::unique_ptr<ctl::LockablePcScCardConnection> connection;
};

// One front-end call on the card, logged in as `role` (0: nobody).
struct Call : TokenCall {
    explicit Call(Process& process, std::uint32_t role = amw::AMWROLE_EVERYONE)
        : TokenCall(*process.connection, role, process.cacheDirectory) {}
    CachedToken& operator*() const { return *get(); }
};

amw::DataObject* addDataObject(CachedToken& token, const std::string& label,
                               const std::string& content, std::uint16_t readContent) {
    token.increaseFreshnessCounter(CachedToken::CACHED_OBJECT_DATA_OBJECT, true);
    StaticBuffer<128> id;
    token.generatePkcs11Id(&id);
    amw::DataObject* object =
        token.createDataObject(text<128>(label), id, text<128>("1.2.3.4"), text<128>("cache test"),
                               AccessCondition(EVERYONE), AccessCondition(readContent),
                               AccessCondition(USER_OR_SO), AccessCondition(USER_OR_SO));
    object->setContent(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
    object->commitCreationOrMetadataChanges();
    object->commitContentChanges();
    return object;
}

amw::X509Certificate* addCertificate(CachedToken& token, const std::string& label,
                                     const StaticBuffer<128>& id, const std::string& body) {
    token.increaseFreshnessCounter(CachedToken::CACHED_OBJECT_CERTIFICATE, true);
    amw::X509Certificate* certificate = token.createCertificate(
        text<128>(label), id, 0, amw::KeyPair::KEY_EXCHANGE_KEY, false, AccessCondition(EVERYONE),
        AccessCondition(USER_OR_SO), AccessCondition(USER_OR_SO));
    certificate->setContent(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
    certificate->commitCreationOrMetadataChanges();
    certificate->commitContentChanges();
    return certificate;
}

amw::KeyPair* addKeyPair(CachedToken& token, const std::string& label,
                         const StaticBuffer<128>& id) {
    token.increaseFreshnessCounter(CachedToken::CACHED_OBJECT_KEYPAIR, true);
    const std::uint8_t f4[] = {0x01, 0x00, 0x01};
    amw::KeyPair* pair = token.generateKeyPair(text<128>(label), text<128>(label), 1024, 0,
                                               amw::KeyPair::KEY_EXCHANGE_KEY, id, 0xFF,
                                               StaticBuffer<256>(f4, sizeof f4));
    pair->commitCreationOrMetadataChanges();
    return pair;
}

// Every list the card has; returns the number of objects.
std::size_t listEverything(CachedToken& token) {
    return token.getKeyPairs().size() + token.getCertificates().size() +
           token.getDataObjects().size() + token.getDirectories().size() + token.getFiles().size() +
           token.getAuthenticationObjects().size();
}

std::vector<std::string> dataObjectLabels(CachedToken& token) {
    std::vector<std::string> labels;
    for (amw::DataObject* d : token.getDataObjects())
        labels.emplace_back(d->label.begin(), d->label.end());
    std::sort(labels.begin(), labels.end());
    return labels;
}

class CachedTokenTest : public ::testing::Test {
protected:
    void SetUp() override {
        svc.reset();
        svc.addReader(READER);
        card = std::make_shared<vcard::KalvikCard>();
        svc.insertCard(READER, card);
        newBodies();
    }
    void TearDown() override { svc.reset(); }

    std::size_t apdus() const { return svc.trace(READER).size(); }
    void clearTrace() { svc.clearTrace(READER); }
    std::string cacheFile(const std::string& cacheDirectory, int entityId) const {
        auto id = card->cardId();
        amw::CardId cardId;
        std::memcpy(cardId, id.data(), sizeof cardId);
        return cacheDirectory + "/" + CachedToken::cardIdText(cardId) + "/" +
               std::to_string(entityId);
    }
    // Counter n of the block on the card (counters are kept in host order).
    std::uint16_t cardCounter(int n) const {
        auto block = card->freshness();
        std::uint16_t value;
        std::memcpy(&value, block.data() + 2 * (n - 1), sizeof value);
        return value;
    }

    testpcsc::Service& svc = testpcsc::service();
    TempDir dir;
    std::shared_ptr<vcard::KalvikCard> card;
};

// Ten objects of the three kinds a PKCS#11 application sees.
void populateTenObjects(Process& process) {
    Call call(process, amw::AMWROLE_USER);
    for (int i = 0; i < 4; ++i)
        addDataObject(*call, "data " + std::to_string(i), "public body " + std::to_string(i),
                      EVERYONE);
    for (int i = 0; i < 3; ++i) {
        StaticBuffer<128> id;
        call->generatePkcs11Id(&id);
        addKeyPair(*call, "key " + std::to_string(i), id);
        addCertificate(*call, "certificate " + std::to_string(i), id,
                       std::string(600 + 100 * i, static_cast<char>('A' + i)));
    }
}

TEST_F(CachedTokenTest, WarmCacheListsEverythingWithoutTalkingToTheCard) {
    Process writer(dir.path() + "/writer");
    populateTenObjects(writer);

    struct Measure {
        std::size_t setup, listing, refresh, objects;
    };
    auto measure = [&](Process& process) {
        Measure m{};
        clearTrace();
        Call call(process);
        m.setup = apdus();
        clearTrace();
        m.objects = listEverything(*call);
        m.listing = apdus();
        clearTrace();
        call->refreshCache();
        m.refresh = apdus();
        return m;
    };

    Process reader(dir.path() + "/reader");
    const Measure cold = measure(reader);
    const Measure warm = measure(reader);
    Process uncached("");
    const Measure disabled = measure(uncached);
    const Measure disabledAgain = measure(uncached);

    // 10 own objects, the two container directories and files, two PINs.
    EXPECT_EQ(cold.objects, 16u);
    EXPECT_EQ(warm.objects, cold.objects);
    EXPECT_EQ(warm.listing, 0u);
    EXPECT_EQ(warm.refresh, 0u);
    EXPECT_GT(cold.listing, cold.objects);
    EXPECT_EQ(warm.setup, cold.setup);
    // The cold call puts its digests on the card once; the warm one has nothing to write.
    EXPECT_EQ(cold.refresh, 1u);
    // Without a cache directory every call reads the card and writes nothing back.
    EXPECT_EQ(disabled.listing, cold.listing);
    EXPECT_EQ(disabledAgain.listing, cold.listing);
    EXPECT_EQ(disabled.refresh, 0u);

    std::printf(
        "[ MEASURED ] listing %zu objects: cold %zu APDUs (+%zu to write the freshness "
        "block), warm %zu APDUs; every call also spends %zu on selection, card id and "
        "freshness block\n",
        cold.objects, cold.listing, cold.refresh, warm.listing, cold.setup);
}

TEST_F(CachedTokenTest, ChangeByAnotherProcessMakesTheListMissAndReload) {
    Process a(dir.path() + "/user-a");
    Process b(dir.path() + "/user-b");
    {
        Call call(b);
        EXPECT_TRUE(call->getDataObjects().empty());
    }
    {
        Call call(b);
        clearTrace();
        EXPECT_TRUE(call->getDataObjects().empty());
        EXPECT_EQ(apdus(), 0u) << "second call of b is a hit";
    }
    {
        Call call(a, amw::AMWROLE_USER);
        addDataObject(*call, "from a", "made by the other process", EVERYONE);
    }
    EXPECT_EQ(cardCounter(CachedToken::CACHED_OBJECT_DATA_OBJECT), 1);
    newBodies();
    {
        Call call(b);
        clearTrace();
        EXPECT_EQ(dataObjectLabels(*call), std::vector<std::string>{"from a"});
        EXPECT_GT(apdus(), 0u) << "b had to read the card";
        EXPECT_TRUE(loggedStartingWith(
            newBodies(), "CACHE MEMORY: miss [requested_freshness=1, cache_freshness=0]"));
    }
    {
        Call call(b);
        clearTrace();
        EXPECT_EQ(dataObjectLabels(*call), std::vector<std::string>{"from a"});
        EXPECT_EQ(apdus(), 0u) << "b's rewritten file is current again";
        amw::DataObject* object = call->getDataObjects().front();
        ASSERT_TRUE(object->contentLoaded);
        const StaticBuffer<65536>& content = object->getContent();
        EXPECT_EQ(std::string(content.begin(), content.end()), "made by the other process");
    }
}

TEST_F(CachedTokenTest, ProcessesSharingACacheDirectorySeeEachOthersFiles) {
    const std::string shared = dir.path() + "/shared";
    Process a(shared);
    Process b(shared);
    {
        Call call(b);
        call->getDataObjects();
    }
    {
        Call call(a, amw::AMWROLE_USER);
        addDataObject(*call, "from a", "x", EVERYONE);
    }
    Call call(b);
    clearTrace();
    EXPECT_EQ(dataObjectLabels(*call), std::vector<std::string>{"from a"});
    EXPECT_EQ(apdus(), 0u) << "a's file already describes the card";
}

TEST_F(CachedTokenTest, FileChangedOnTheHostIsReadFromTheCardAgain) {
    Process p(dir.path() + "/cache");
    populateTenObjects(p);
    const std::string path = cacheFile(p.cacheDirectory, CachedToken::CACHED_OBJECT_DATA_OBJECT);
    std::string bytes = readFile(path);
    ASSERT_GT(bytes.size(), 40u);
    // Same length, one label byte different: only the digest can tell.
    std::size_t at = bytes.find("data 2");
    ASSERT_NE(at, std::string::npos);
    bytes[at + 5] = '9';
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;

    Call call(p);
    clearTrace();
    EXPECT_EQ(dataObjectLabels(*call),
              (std::vector<std::string>{"data 0", "data 1", "data 2", "data 3"}));
    EXPECT_GT(apdus(), 0u);
    EXPECT_TRUE(
        loggedStartingWith(newBodies(), "CACHE MEMORY: Integrity of cache broken in file " + path));
}

TEST_F(CachedTokenTest, CacheDirectoryThatCannotBeWrittenChangesNothingForTheCaller) {
    std::ofstream(dir.path() + "/not-a-directory") << "x";
    std::vector<std::string> unusable = {dir.path() + "/not-a-directory/cache"};
    if (::geteuid() != 0) {
        // Permissions bind only when not running as root.
        const std::string readOnly = dir.path() + "/read-only";
        ::mkdir(readOnly.c_str(), 0500);
        unusable.push_back(readOnly);
    }
    for (const std::string& cacheDirectory : unusable) {
        SCOPED_TRACE(cacheDirectory);
        Process p(cacheDirectory);
        const auto before = card->freshness();
        {
            Call call(p);
            EXPECT_GE(listEverything(*call), 6u);
            EXPECT_NO_THROW(call->refreshCache());
        }
        EXPECT_EQ(card->freshness(), before) << "nothing changed, nothing written";
        {
            Call call(p, amw::AMWROLE_USER);
            addDataObject(*call, "kept on the card", "y", EVERYONE);
            EXPECT_NO_THROW(call->refreshCache());
        }
        // The counter still went up on the card; no digest could be stored.
        auto after = card->freshness();
        EXPECT_NE(after, before);
        const std::size_t prefix6 = 12 + 5 * (CachedToken::CACHED_OBJECT_DATA_OBJECT - 1);
        EXPECT_TRUE(std::all_of(after.begin() + prefix6, after.begin() + prefix6 + 5,
                                [](std::uint8_t b) { return b == 0; }));
        {
            Call call(p);
            std::vector<std::string> labels = dataObjectLabels(*call);
            EXPECT_NE(std::find(labels.begin(), labels.end(), "kept on the card"), labels.end());
        }
        EXPECT_TRUE(filesBelow(cacheDirectory).empty());
    }
}

TEST_F(CachedTokenTest, PrivateContentNeverReachesAFile) {
    const std::string secret = "PRIVATE-MARKER-7f3a";
    const std::string open = "PUBLIC-MARKER-19c2";
    Process writer(dir.path() + "/writer");
    {
        Call call(writer, amw::AMWROLE_USER);
        addDataObject(*call, "secret", secret, USER);
        addDataObject(*call, "open", open, EVERYONE);
    }
    // Loading a list reads public bodies only: nobody is logged in here.
    {
        Process anonymous(dir.path() + "/anonymous");
        Call call(anonymous);
        std::vector<amw::DataObject*>& objects = call->getDataObjects();
        ASSERT_EQ(objects.size(), 2u);
        for (amw::DataObject* d : objects)
            EXPECT_EQ(d->contentLoaded, !d->isPrivateContent());
    }
    // Another process, logged in, reads every body into memory before its files are written.
    Process reader(dir.path() + "/reader");
    {
        Call call(reader, amw::AMWROLE_USER);
        listEverything(*call);
        for (amw::DataObject* d : call->getDataObjects())
            d->getContent();
    }
    const auto files = filesBelow(dir.path());
    ASSERT_GE(files.size(), 6u);
    bool openFound = false;
    for (const auto& [path, content] : files) {
        EXPECT_EQ(content.find(secret), std::string::npos) << path;
        EXPECT_EQ(content.find(USER_PIN), std::string::npos) << path;
        openFound = openFound || content.find(open) != std::string::npos;
    }
    EXPECT_TRUE(openFound) << "public bodies are cached";

    // Read back from the file: the public body is there, the private one comes from the card.
    Call call(reader);
    clearTrace();
    std::vector<amw::DataObject*>& objects = call->getDataObjects();
    ASSERT_EQ(objects.size(), 2u);
    EXPECT_EQ(apdus(), 0u);
    for (amw::DataObject* d : objects) {
        const std::string label(d->label.begin(), d->label.end());
        EXPECT_EQ(d->contentLoaded, label == "open") << label;
    }
}

TEST_F(CachedTokenTest, CountersRiseWrapAndClearTheirDigestPrefix) {
    Process p(dir.path() + "/cache");
    {
        Call call(p);
        call->getKeyPairs();
    }
    const std::size_t prefix1 = 12;
    auto block = card->freshness();
    ASSERT_FALSE(std::all_of(block.begin() + prefix1, block.begin() + prefix1 + 5,
                             [](std::uint8_t b) { return b == 0; }))
        << "the key-pair file's digest prefix is on the card";
    {
        Call call(p);
        amw::FreshnessBlock onCard = call->getCardFreshness();
        onCard.counter(CachedToken::CACHED_OBJECT_KEYPAIR) = 0xFFFE;
        call->getToken()->setCacheFreshness(onCard);
    }
    {
        Call call(p);
        call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_KEYPAIR, false);
        EXPECT_EQ(cardCounter(1), 0xFFFE) << "not written yet";
        call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_KEYPAIR, true);
        EXPECT_EQ(call->getNewFreshness().counter(CachedToken::CACHED_OBJECT_KEYPAIR), 0);
        EXPECT_EQ(call->getModifiedMask(), 1 << CachedToken::CACHED_OBJECT_KEYPAIR);
        EXPECT_EQ(cardCounter(1), 0);
        block = card->freshness();
        EXPECT_TRUE(std::all_of(block.begin() + prefix1, block.begin() + prefix1 + 5,
                                [](std::uint8_t b) { return b == 0; }));
        // Other counters are left alone.
        EXPECT_EQ(call->getNewFreshness().counter(CachedToken::CACHED_OBJECT_CERTIFICATE),
                  call->getCardFreshness().counter(CachedToken::CACHED_OBJECT_CERTIFICATE));
    }
}

TEST_F(CachedTokenTest, CardErrorWhileWritingTheBlockIsLoggedNotThrown) {
    Process p(dir.path() + "/cache");
    Call call(p);
    call->getKeyPairs();
    call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_KEYPAIR, false);
    svc.failCall(testpcsc::Function::Transmit, SCARD_E_COMM_DATA_LOST);
    newBodies();
    EXPECT_NO_THROW(call->refreshCache());
    const auto bodies = newBodies();
    EXPECT_TRUE(loggedStartingWith(bodies, "unable to write cache to card ["));
    EXPECT_FALSE(loggedStartingWith(bodies, "unable to write cache to card [unkwnown error]"));
}

TEST_F(CachedTokenTest, RefusedOperationsSendNothingToTheCard) {
    Process p(dir.path() + "/cache");
    populateTenObjects(p);
    Call call(p, amw::AMWROLE_USER);
    listEverything(*call);
    amw::KeyPair* existingPair = call->getKeyPairs().front();
    const StaticBuffer<128> pairId = existingPair->pkcs11Id;
    const StaticBuffer<128> certificateId = call->getCertificates().front()->pkcs11Id;
    const StaticBuffer<128> dataObjectId = call->getDataObjects().front()->pkcs11Id;
    std::unique_ptr<SerializableEntity> publicOnly(
        call->getToken()->createSerializableEntity(CachedToken::CACHED_OBJECT_KEYPAIR));
    static_cast<amw::KeyPair*>(publicOnly.get())->hasPublicKey = true;
    const StaticBuffer<256> f4(reinterpret_cast<const std::uint8_t*>("\x01\x00\x01"), 3);
    const AccessCondition all(EVERYONE);
    const auto newCertificate = [&](const StaticBuffer<128>& id) {
        return call->createCertificate(text<128>("c"), id, 0, 0, false, all, all, all);
    };
    const auto newKeyPair = [&](const StaticBuffer<128>& id) {
        return call->generateKeyPair(text<128>("k"), text<128>("k"), 1024, 0, 0, id, 0xFF, f4);
    };

    // A change whose freshness counter was not raised first would leave other
    // processes' caches stale. The counter's own message carries no prefix.
    struct Unannounced {
        const char* what;
        std::function<void()> operation;
        const char* message;
    };
    const Unannounced unannounced[] = {
        {"certificate without its counter", [&] { newCertificate(text<128>("new")); },
         "Freshness counter certificate has not been updated!"},
        {"data object without its counter",
         [&] {
             call->createDataObject(text<128>("d"), text<128>("new"), text<128>(""), text<128>(""),
                                    all, all, all, all);
         },
         "Freshness counter dataobjects has not been updated!"},
        {"key pair without its counter", [&] { newKeyPair(text<128>("new")); },
         "Freshness counter keypair has not been updated!"},
        {"deleting a key pair without its counter", [&] { call->deleteKeyPair(existingPair); },
         "Freshness counter keypair has not been updated!"},
        {"removing the public half of a public-only pair",
         [&] { call->amendKeyPairRemovePublicKey(static_cast<amw::KeyPair*>(publicOnly.get())); },
         "INTERNAL ERROR cannot remove public key from keypair because keypair is not complete"},
        {"raising the authentication objects' counter",
         [&] { call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_AO, true); },
         "INTERNAL ERROR CachedToken::increaseFreshnessCounter() neznama hodnota parametru counter "
         "[7]"},
    };
    for (const Unannounced& k : unannounced) {
        clearTrace();
        expectThrowMessage<InternalErrorException>(k.operation, k.message);
        EXPECT_EQ(apdus(), 0u) << k.what;
    }

    for (int kind : {CachedToken::CACHED_OBJECT_CERTIFICATE, CachedToken::CACHED_OBJECT_DATA_OBJECT,
                     CachedToken::CACHED_OBJECT_KEYPAIR})
        call->increaseFreshnessCounter(kind, true);
    clearTrace();
    EXPECT_THROW(newCertificate(certificateId), amw::DuplicatePkcs11IdException);
    EXPECT_THROW(call->createDataObject(text<128>("d"), dataObjectId, text<128>(""), text<128>(""),
                                        all, all, all, all),
                 amw::DuplicatePkcs11IdException);
    EXPECT_THROW(newKeyPair(pairId), amw::DuplicatePkcs11IdException);
    EXPECT_EQ(apdus(), 0u);
    // Identifiers are unique within a kind only.
    const std::size_t certificates = call->getCertificates().size();
    EXPECT_NO_THROW(newCertificate(dataObjectId));
    EXPECT_EQ(call->getCertificates().size(), certificates + 1);
}

TEST_F(CachedTokenTest, DeletedObjectsLeaveTheListsAndTheCard) {
    Process p(dir.path() + "/cache");
    populateTenObjects(p);
    {
        Call call(p, amw::AMWROLE_USER);
        call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_KEYPAIR, true);
        call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_CERTIFICATE, true);
        call->increaseFreshnessCounter(CachedToken::CACHED_OBJECT_DATA_OBJECT, true);
        amw::KeyPair* pair = call->getKeyPairs().front();
        call->deleteKeyPair(pair);
        // Still valid for the rest of the call.
        EXPECT_EQ(pair->keySize, 1024);
        call->deleteCertificate(call->getCertificates().front());
        call->deleteDataObject(call->getDataObjects().front());
        EXPECT_EQ(call->getKeyPairs().size(), 2u);
        EXPECT_EQ(call->getCertificates().size(), 2u);
        EXPECT_EQ(call->getDataObjects().size(), 3u);
    }
    EXPECT_EQ(card->objectCount(vcard::Chain::KEY_PAIRS), 2u);
    EXPECT_EQ(card->objectCount(vcard::Chain::CERTIFICATES), 2u);
    EXPECT_EQ(card->objectCount(vcard::Chain::DATA_OBJECTS), 3u);
    Call call(p);
    clearTrace();
    EXPECT_EQ(call->getKeyPairs().size(), 2u);
    EXPECT_EQ(call->getCertificates().size(), 2u);
    EXPECT_EQ(call->getDataObjects().size(), 3u);
    EXPECT_EQ(apdus(), 0u);
}

TEST_F(CachedTokenTest, ConfiguredCacheDirectoryHoldsOneDirectoryPerCard) {
    Process p("");
    p.connection->lock();
    std::unique_ptr<amw::Token> token(amw::Token::createToken(p.connection.get(), 0, true));
    amw::CardId cardId;
    token->getCardId(cardId);
    {
        CachedToken cached(token.get(), cardId);
        ASSERT_NE(cached.getCacheMemory(), nullptr);
        const std::string expected =
            EnabledLog::dir().path() + "/configured/" + CachedToken::cardIdText(cardId);
        EXPECT_EQ(cached.getCacheMemory()->getCachingDir(), expected);
        EXPECT_EQ(expected.size() - expected.rfind('/') - 1, 32u);
        EXPECT_TRUE(
            loggedStartingWith(newBodies(), "cacheMemory->getCachingDir().c_str() = " + expected));
    }
    {
        CachedToken uncached(token.get(), cardId, "");
        EXPECT_EQ(uncached.getCacheMemory(), nullptr);
        EXPECT_TRUE(loggedStartingWith(newBodies(), "CACHE MEMORY disabled"));
    }
    token.reset();
    p.connection->unlock(ctl::CardConnection::LEAVE_CARD);
}

}  // namespace
