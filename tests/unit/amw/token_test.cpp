#include "amw/token.h"
#include "amw/cachedobject.h"
#include "exceptions.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

// A token whose only behaviour is applet selection; everything else is
// outside these tests and fails loudly if reached.
class SelectOnlyToken : public amw::Token {
public:
    static int live;
    static bool failSelection;

    SelectOnlyToken() { ++live; }
    ~SelectOnlyToken() override { --live; }

    int selections = 0;

    void selectApplet() override {
        ++selections;
        if (failSelection)
            throw amw::AppletNotSelectedException();
    }

    [[noreturn]] static void unused() { throw std::logic_error("not part of this test"); }
    SerializableEntity* createSerializableEntity(int) override { unused(); }
    std::uint32_t getSerializationVersion() override { unused(); }
    bool getCacheFreshness(amw::FreshnessBlock*) override { unused(); }
    bool reservedQuery() override { unused(); }
    void setCacheFreshness(const amw::FreshnessBlock&) override { unused(); }
    void listKeyPairs(std::vector<amw::KeyPair*>&) override { unused(); }
    void listCertificates(std::vector<amw::X509Certificate*>&) override { unused(); }
    void listFiles(std::vector<amw::File*>&) override { unused(); }
    void listDirs(std::vector<amw::Directory*>&) override { unused(); }
    void listDataObjects(std::vector<amw::DataObject*>&) override { unused(); }
    void listAuthenticateObjects(std::vector<amw::AuthenticationObject*>&) override { unused(); }
    void getCardId(amw::CardId&) override { unused(); }
    void setCardId(const amw::CardId&) override { unused(); }
    void getCardSerialNumber(StaticBuffer<256>*) override { unused(); }
    void getMemoryInfo(std::uint32_t*, std::uint32_t*) override { unused(); }
    amw::X509Certificate* createCertificate(const StaticBuffer<128>&, const StaticBuffer<128>&,
                                            std::uint8_t, std::uint32_t, bool, amw::AccessCondition,
                                            amw::AccessCondition, amw::AccessCondition) override {
        unused();
    }
    void deleteCertificate(amw::X509Certificate*) override { unused(); }
    amw::DataObject* createDataObject(const StaticBuffer<128>&, const StaticBuffer<128>&,
                                      const StaticBuffer<128>&, const StaticBuffer<128>&,
                                      amw::AccessCondition, amw::AccessCondition,
                                      amw::AccessCondition, amw::AccessCondition) override {
        unused();
    }
    void deleteDataObject(amw::DataObject*) override { unused(); }
    amw::File* createFile(amw::Directory*, const StaticBuffer<8>&, amw::AccessCondition,
                          amw::AccessCondition, amw::AccessCondition) override {
        unused();
    }
    void deleteFile(amw::File*) override { unused(); }
    amw::Directory* createDirectory(const StaticBuffer<8>&, amw::AccessCondition,
                                    amw::AccessCondition) override {
        unused();
    }
    void deleteDirectory(amw::Directory*) override { unused(); }
    amw::KeyPair* generateKeyPair(const StaticBuffer<128>&, const StaticBuffer<128>&, std::uint32_t,
                                  std::uint8_t, std::uint32_t, const StaticBuffer<128>&,
                                  std::uint16_t, const StaticBuffer<256>&) override {
        unused();
    }
    amw::KeyPair* importKeyPair(const StaticBuffer<128>&, const StaticBuffer<128>&, std::uint32_t,
                                std::uint8_t, std::uint32_t, const StaticBuffer<128>&,
                                std::uint16_t, const amw::RsaPrivateKeyComponents&) override {
        unused();
    }
    void amendKeyPairAddPublicKey(amw::KeyPair*, const StaticBuffer<128>&, std::uint8_t,
                                  std::uint32_t, std::uint16_t, const StaticBuffer<256>&,
                                  const StaticBuffer<256>&) override {
        unused();
    }
    void amendKeyPairRemovePublicKey(amw::KeyPair*) override { unused(); }
    amw::KeyPair* importPublicKey(const StaticBuffer<128>&, std::uint32_t, const StaticBuffer<128>&,
                                  std::uint16_t, const StaticBuffer<256>&,
                                  const StaticBuffer<256>&) override {
        unused();
    }
    amw::KeyPair* importPrivateKey(const StaticBuffer<128>&, std::uint32_t,
                                   const StaticBuffer<128>&, std::uint16_t,
                                   const amw::RsaPrivateKeyComponents&) override {
        unused();
    }
    void amendKeyPairAddPrivateKey(amw::KeyPair*, const StaticBuffer<128>&, std::uint8_t,
                                   std::uint32_t, std::uint16_t,
                                   const amw::RsaPrivateKeyComponents&) override {
        unused();
    }
    void amendKeyPairRemovePrivateKey(amw::KeyPair*) override { unused(); }
    void deleteKeyPair(amw::KeyPair*) override { unused(); }
    void rsaExponentiation(amw::KeyPair*, const std::uint8_t*, std::size_t, StaticBuffer<256>*,
                           bool) override {
        unused();
    }
    amw::AuthenticationResult authenticate(const amw::AuthenticationObject*, const std::uint8_t*,
                                           std::size_t, std::uint32_t*,
                                           amw::PinPadNotifier*) override {
        unused();
    }
    amw::AuthenticationResult authenticateSessionPin(std::uint32_t, const std::uint8_t*,
                                                     std::size_t, std::uint32_t*) override {
        unused();
    }
    void generateSessionPin(std::uint32_t, StaticBuffer<128>*) override { unused(); }
    void getChallenge(std::uint32_t, StaticBuffer<128>*) override { unused(); }
    void deauthenticate(std::uint32_t) override { unused(); }
    amw::AuthenticationResult unblockPin(const amw::AuthenticationObject*, const std::uint8_t*,
                                         std::size_t, const amw::AuthenticationObject*,
                                         const std::uint8_t*, std::size_t, std::uint32_t*,
                                         amw::PinPadNotifier*) override {
        unused();
    }
    void changePin(const amw::AuthenticationObject*, const std::uint8_t*, std::size_t,
                   amw::PinPadNotifier*) override {
        unused();
    }
    bool willUsePinPad(const amw::AuthenticationObject*) override { unused(); }
    void getVersion(std::uint8_t*, std::uint8_t*) override { unused(); }
    std::uint8_t getAuthStateMask() override { unused(); }
    void getProperty(const char*, std::uint8_t*, std::size_t*, std::uint32_t) override { unused(); }
    void setProperty(const char*, const std::uint8_t*, std::size_t, std::uint8_t) override {
        unused();
    }
};

int SelectOnlyToken::live = 0;
bool SelectOnlyToken::failSelection = false;

}  // namespace

// This program links no card driver, so it supplies the driver's factory
// the way the driver does: refuse unknown types, make the token, select on demand.
amw::Token* amw::Token::createToken(ctl::CardConnection*, std::uint32_t type, bool selectApplet) {
    checkTokenType(type);
    std::unique_ptr<SelectOnlyToken> token(new SelectOnlyToken());
    if (selectApplet)
        token->selectApplet();
    return token.release();
}

TEST(TokenCreation, FailedSelectionDestroysTheTokenAndRethrows) {
    SelectOnlyToken::failSelection = true;
    ASSERT_EQ(SelectOnlyToken::live, 0);
    EXPECT_THROW(amw::Token::createTokenWithAppletSelected(nullptr, 0),
                 amw::AppletNotSelectedException);
    EXPECT_EQ(SelectOnlyToken::live, 0) << "the half-made token leaked";
    SelectOnlyToken::failSelection = false;
}

TEST(FreshnessBlock, CardBytesAreSixCountersThenSevenPrefixesAndTheExtraFieldStaysHome) {
    std::uint8_t card[amw::FreshnessBlock::CARD_LENGTH];
    for (std::size_t i = 0; i < sizeof card; ++i)
        card[i] = static_cast<std::uint8_t>(0xA0 + i);

    amw::FreshnessBlock block;
    block.counters[6] = 0x7777;
    block.fromCardBytes(card);
    for (int id = 1; id <= 6; ++id) {
        std::uint16_t expected;
        std::memcpy(&expected, card + 2 * (id - 1), 2);
        EXPECT_EQ(block.counter(id), expected) << "counter " << id;
    }
    EXPECT_EQ(block.counter(amw::CachedObjectKinds::CACHED_OBJECT_AO), 0)
        << "the card has no authentication-object counter";
    for (int id = 1; id <= 7; ++id)
        EXPECT_EQ(0, std::memcmp(block.prefix(id), card + 12 + 5 * (id - 1), 5)) << "prefix " << id;

    // The extra field never reaches the card; everything else goes back byte for byte.
    block.counter(amw::CachedObjectKinds::CACHED_OBJECT_AO) = 0x1234;
    std::uint8_t back[amw::FreshnessBlock::CARD_LENGTH] = {};
    block.toCardBytes(back);
    EXPECT_EQ(0, std::memcmp(back, card, sizeof card));
}

TEST(FreshnessBlock, EqualityCoversEveryCounterAndPrefixAndIdsOutsideOneToSevenAreRefused) {
    amw::FreshnessBlock a, b;
    EXPECT_TRUE(a == b);
    b.counter(7) = 1;
    EXPECT_TRUE(a != b) << "the extra field counts";
    b.clear();
    b.prefix(7)[4] = 1;
    EXPECT_TRUE(a != b) << "the last prefix byte counts";
    b.clear();
    EXPECT_TRUE(a == b);

    for (int id : {0, 8, -1}) {
        EXPECT_THROW(a.counter(id), InternalErrorException) << id;
        EXPECT_THROW(a.prefix(id), InternalErrorException) << id;
    }
}
