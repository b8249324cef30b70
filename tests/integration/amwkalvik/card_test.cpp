// The card token over the virtual card, reached through the in-process PC/SC
// service and the card transport: every object kind created, listed back and
// committed, keys generated and used (results checked with OpenSSL),
// authentication with and without a PIN pad, and the APDU counts of typical
// operations.
#include "amwkalvik/apdu.h"
#include "amwkalvik/token.h"
#include "ctl/lockablepcsccardconnection.h"
#include "ctl/pcscreader.h"
#include "exceptions.h"
#include "fakeconnection.h"
#include "testcerts.h"
#include "testpcsc/service.h"
#include "vcard/kalvikcard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

namespace {

using amw::AccessCondition;
using amwkalvik::Token;
using fake::Bytes;
using fake::Owned;
using fake::str;
using fake::text;

constexpr const char* READER = "Kalvik Reader 0";
const std::string USER_PIN = "123456";
constexpr std::uint16_t EVERYONE = 0x0101;
constexpr std::uint16_t USER_OR_SO = 0x0106;
constexpr std::uint16_t NOT_SPECIFIED = 0xFFFF;

StaticBuffer<256> exponent65537() {
    const std::uint8_t e[] = {0x01, 0x00, 0x01};
    return StaticBuffer<256>(e, sizeof e);
}

// A card in a reader, a locked connection to it and a card token.
class CardTest : public ::testing::TestWithParam<testpcsc::Protocol> {
protected:
    void SetUp() override { start(options()); }
    void TearDown() override {
        token.reset();
        if (connection)
            connection->unlock(ctl::CardConnection::LEAVE_CARD);
        connection.reset();
    }

    virtual vcard::PersonalisationOptions options() {
        vcard::PersonalisationOptions o;
        o.containerFiles = false;
        return o;
    }

    void start(const vcard::PersonalisationOptions& o,
               const testpcsc::ReaderOptions& readerOptions = {}) {
        service->addReader(READER, readerOptions);
        card = std::make_shared<vcard::KalvikCard>(o);
        service->insertCard(READER, card, GetParam());
        connection.reset(new ctl::LockablePcScCardConnection(
            ctl::PcScReader(READER), ctl::CardConnection::MODE_SHARED,
            ctl::CardConnection::PROTOCOL_T0_OR_T1));
        connection->lock();
        token.reset(static_cast<Token*>(amw::Token::createToken(connection.get(), 0, true)));
    }

    // A token as a later call would make it: nothing carried over.
    std::unique_ptr<Token> freshToken() {
        return std::unique_ptr<Token>(new Token(connection.get()));
    }

    amw::AuthenticationObject user() {
        amw::AuthenticationObject ao;
        ao.role = amw::AMWROLE_USER;
        ao.type = amw::AuthenticationObject::PIN;
        return ao;
    }

    void login() {
        amw::AuthenticationObject ao = user();
        std::uint32_t tries = 0;
        ASSERT_EQ(token->authenticate(&ao, reinterpret_cast<const std::uint8_t*>(USER_PIN.data()),
                                      USER_PIN.size(), &tries, nullptr),
                  amw::AUTHENTICATION_SUCCESS);
    }

    std::size_t exchanges() const { return service->trace(READER).size(); }
    void clearTrace() { service->clearTrace(READER); }

    testpcsc::ScopedService service;
    std::shared_ptr<vcard::KalvikCard> card;
    std::unique_ptr<ctl::LockablePcScCardConnection> connection;
    std::unique_ptr<Token> token;
};

// OpenSSL's view of a public half: data^e mod n.
Bytes publicOperation(const amw::KeyPair& pair, const Bytes& input) {
    const auto& k = pair.publicKey;
    const testcerts::KeyPtr key =
        testcerts::rsaPublicKey(Bytes(k.modulus.begin(), k.modulus.end()),
                                Bytes(k.publicExponent.begin(), k.publicExponent.end()));
    return testcerts::rsaEncrypt(key.get(), input, RSA_NO_PADDING);
}

// A message representative below any modulus of that length.
Bytes message(std::size_t length) {
    Bytes m(length);
    for (std::size_t i = 0; i < length; ++i)
        m[i] = static_cast<std::uint8_t>(i * 31 + 7);
    m[0] = 0x00;
    m[1] = 0x01;
    return m;
}

TEST_P(CardTest, EveryObjectKindIsCreatedListedBackAndChanged) {
    login();
    // Certificate with content over two blocks and more than one readData piece.
    Bytes body(600);
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<std::uint8_t>(i);
    std::unique_ptr<amw::X509Certificate> cert(token->createCertificate(
        text<128>("cert label"), text<128>("cert-id"), 3, amw::KeyPair::KEY_EXCHANGE_KEY, true,
        AccessCondition(EVERYONE), AccessCondition(USER_OR_SO), AccessCondition(USER_OR_SO)));
    cert->setContent(body.data(), body.size());
    cert->commitCreationOrMetadataChanges();
    cert->commitContentChanges();
    EXPECT_NE(static_cast<amwkalvik::X509Certificate*>(cert.get())->blockId, amwkalvik::NO_BLOCK);

    // Data object left to the card's read condition: it comes back private.
    std::unique_ptr<amw::DataObject> secret(token->createDataObject(
        text<128>("secret"), text<128>("do-1"), text<128>("1.2.3"), text<128>("app"),
        AccessCondition(USER_OR_SO), AccessCondition(NOT_SPECIFIED), AccessCondition(USER_OR_SO),
        AccessCondition(USER_OR_SO)));
    secret->setContent(reinterpret_cast<const std::uint8_t*>("hidden"), 6);
    secret->commitCreationOrMetadataChanges();
    secret->commitContentChanges();
    auto* cardSecret = static_cast<amwkalvik::DataObject*>(secret.get());
    EXPECT_EQ(cardSecret->acReadContent, USER_OR_SO);
    EXPECT_TRUE(secret->isPrivateContent());

    std::unique_ptr<amw::Directory> dir(token->createDirectory(
        text<8>("KEYS"), AccessCondition(USER_OR_SO), AccessCondition(USER_OR_SO)));
    dir->commitCreationOrMetadataChanges();
    std::unique_ptr<amw::File> file(
        token->createFile(dir.get(), text<8>("blob"), AccessCondition(EVERYONE),
                          AccessCondition(NOT_SPECIFIED), AccessCondition(NOT_SPECIFIED)));
    file->setContent(body.data(), 300);
    file->commitCreationOrMetadataChanges();
    file->commitContentChanges();
    EXPECT_EQ(file->acWrite.getEncodedValue(), USER_OR_SO) << "card default read back";

    // A later call sees everything on the card.
    std::unique_ptr<Token> later = freshToken();
    Owned<amw::X509Certificate> certs;
    later->listCertificates(certs.items);
    ASSERT_EQ(certs.size(), 1u);
    EXPECT_EQ(str(certs[0]->label), "cert label");
    EXPECT_EQ(str(certs[0]->pkcs11Id), "cert-id");
    EXPECT_EQ(certs[0]->containerIndex, 3);
    EXPECT_EQ(certs[0]->keySpec, amw::KeyPair::KEY_EXCHANGE_KEY);
    EXPECT_TRUE(certs[0]->trusted);
    EXPECT_EQ(certs[0]->contentSize, 600u);
    EXPECT_EQ(Bytes(certs[0]->getContent().begin(), certs[0]->getContent().end()), body);

    Owned<amw::DataObject> objects;
    later->listDataObjects(objects.items);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(str(objects[0]->objectId), "1.2.3");
    EXPECT_EQ(str(objects[0]->getContent()), "hidden");

    Owned<amw::Directory> dirs;
    later->listDirs(dirs.items);
    ASSERT_EQ(dirs.size(), 1u);
    EXPECT_EQ(str(dirs[0]->directoryName), "keys") << "names are listed in lower case";
    Owned<amw::File> files;
    later->listFiles(files.items);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(str(files[0]->directoryName), "keys");
    EXPECT_EQ(str(files[0]->fileName), "blob");
    EXPECT_EQ(files[0]->contentSize, 300u);
    EXPECT_FALSE(files[0]->isPrivateContent());

    // Metadata changes in place; content shrinks and disappears.
    certs[0]->label = text<128>("renamed");
    certs[0]->commitCreationOrMetadataChanges();
    certs[0]->setContent(body.data(), 10);
    certs[0]->commitContentChanges();
    objects[0]->setContent(nullptr, 0);
    objects[0]->commitContentChanges();
    Owned<amw::X509Certificate> again;
    freshToken()->listCertificates(again.items);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(str(again[0]->label), "renamed");
    EXPECT_EQ(again[0]->getContent().size(), 10u);
    Owned<amw::DataObject> emptied;
    freshToken()->listDataObjects(emptied.items);
    EXPECT_EQ(emptied[0]->contentSize, 0u);
    EXPECT_EQ(emptied[0]->getContent().size(), 0u);

    // Deleted objects leave the lists.
    later->deleteFile(files[0]);
    later->deleteDirectory(dirs[0]);
    later->deleteCertificate(again[0]);
    later->deleteDataObject(emptied[0]);
    for (auto chain : {vcard::Chain::CERTIFICATES, vcard::Chain::DATA_OBJECTS,
                       vcard::Chain::DIRECTORIES, vcard::Chain::FILES})
        EXPECT_EQ(card->objectCount(chain), 0u);
}

TEST_P(CardTest, GeneratedKeysAnswerWhatOpenSslExpects) {
    login();
    for (std::uint32_t bits : {1024u, 2048u}) {
        SCOPED_TRACE(bits);
        std::unique_ptr<amw::KeyPair> pair(token->generateKeyPair(
            text<128>("pub"), text<128>("priv"), bits, 1, amw::KeyPair::SIGNATURE_KEY,
            text<128>("key-" + std::to_string(bits)), 0x00FF, exponent65537()));
        pair->commitCreationOrMetadataChanges();
        ASSERT_EQ(pair->publicKey.modulus.size(), bits / 8);

        // Listed back with the card's public components.
        Owned<amw::KeyPair> pairs;
        freshToken()->listKeyPairs(pairs.items);
        auto it = std::find_if(pairs.items.begin(), pairs.items.end(), [&](amw::KeyPair* p) {
            return str(p->pkcs11Id) == "key-" + std::to_string(bits);
        });
        ASSERT_NE(it, pairs.items.end());
        amw::KeyPair& listed = **it;
        EXPECT_EQ(listed.publicKey.modulus, pair->publicKey.modulus);
        EXPECT_EQ(str(listed.publicKey.label), "pub");
        EXPECT_EQ(str(listed.privateKey.label), "priv");
        EXPECT_EQ(listed.keySize, bits);
        EXPECT_EQ(listed.keyUsage, 0x00FF);
        EXPECT_EQ(listed.generatedOnCard, 1);
        EXPECT_EQ(listed.containerIndex, 1);
        EXPECT_EQ(listed.keySpec, amw::KeyPair::SIGNATURE_KEY);

        const Bytes m = message(bits / 8);
        StaticBuffer<256> signature;
        token->rsaExponentiation(&listed, m.data(), m.size(), &signature, true);
        ASSERT_EQ(signature.size(), bits / 8);
        EXPECT_EQ(publicOperation(listed, Bytes(signature.begin(), signature.end())), m);
    }
}

TEST_P(CardTest, ImportedKeyAndItsHalvesAmended) {
    login();
    const testcerts::RsaComponents c = testcerts::rsaComponents(testcerts::rsaKey(2048).get());
    // CRT parts are sent at half the modulus length.
    auto padded = [](Bytes b, std::size_t length) {
        b.insert(b.begin(), length - b.size(), 0);
        return StaticBuffer<256>(b.data(), b.size());
    };
    amw::RsaPrivateKeyComponents k;
    k.n = padded(c.n, 256);
    k.e = padded(c.e, 4);  // 00 01 00 01: the token strips the zero
    k.p = padded(c.p, 128);
    k.q = padded(c.q, 128);
    k.dp = padded(c.dp, 128);
    k.dq = padded(c.dq, 128);
    k.inv = padded(c.inv, 128);

    std::unique_ptr<amw::KeyPair> pair(token->importKeyPair(text<128>("p"), text<128>("q"), 2048, 2,
                                                            amw::KeyPair::KEY_EXCHANGE_KEY,
                                                            text<128>("imported"), 0x00FF, k));
    pair->commitCreationOrMetadataChanges();
    EXPECT_EQ(pair->publicKey.publicExponent.size(), 3u);

    const Bytes m = message(256);
    StaticBuffer<256> out;
    token->rsaExponentiation(pair.get(), m.data(), m.size(), &out, false);
    EXPECT_EQ(publicOperation(*pair, Bytes(out.begin(), out.end())), m);

    // Remove the public half: the card keeps a private-only pair that still works.
    token->amendKeyPairRemovePublicKey(pair.get());
    pair->commitCreationOrMetadataChanges();
    Owned<amw::KeyPair> pairs;
    freshToken()->listKeyPairs(pairs.items);
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_FALSE(pairs[0]->hasPublicKey);
    EXPECT_TRUE(pairs[0]->hasPrivateKey);
    EXPECT_EQ(pairs[0]->keyUsage, 0x0093);
    EXPECT_EQ(pairs[0]->containerIndex, 0);
    StaticBuffer<256> again;
    token->rsaExponentiation(pairs[0], m.data(), m.size(), &again, false);
    EXPECT_EQ(again, out);

    // Give it back.
    token->amendKeyPairAddPublicKey(pairs[0], text<128>("p2"), 4, amw::KeyPair::KEY_EXCHANGE_KEY,
                                    0x006C, k.n, k.e);
    pairs[0]->commitCreationOrMetadataChanges();
    Owned<amw::KeyPair> restored;
    freshToken()->listKeyPairs(restored.items);
    ASSERT_EQ(restored.size(), 1u);
    EXPECT_TRUE(restored[0]->hasPublicKey);
    EXPECT_EQ(str(restored[0]->publicKey.label), "p2");
    EXPECT_EQ(restored[0]->keyUsage, 0x00FF);
    EXPECT_EQ(restored[0]->containerIndex, 4);
    EXPECT_EQ(restored[0]->keySpec, amw::KeyPair::KEY_EXCHANGE_KEY);

    token->deleteKeyPair(restored[0]);
    EXPECT_EQ(card->objectCount(vcard::Chain::KEY_PAIRS), 0u);
}

// The APDU counts the token costs, at T=1 where every exchange is one command
// (T=0 adds a GET RESPONSE to each answer with data).
class CountTest : public CardTest {};

TEST_P(CountTest, ApduCountsOfTypicalOperations) {
    login();
    constexpr std::size_t N = 5;
    std::vector<std::unique_ptr<amw::Storage>> made;
    for (std::size_t i = 0; i < N; ++i) {
        const std::string id = "obj-" + std::to_string(i);
        amw::X509Certificate* c = token->createCertificate(
            text<128>(id), text<128>(id), 0, 0, false, AccessCondition(EVERYONE),
            AccessCondition(USER_OR_SO), AccessCondition(USER_OR_SO));
        made.emplace_back(c);
        c->commitCreationOrMetadataChanges();
        amw::DataObject* d =
            token->createDataObject(text<128>(id), text<128>(id), text<128>("1.2"), text<128>("a"),
                                    AccessCondition(USER_OR_SO), AccessCondition(EVERYONE),
                                    AccessCondition(USER_OR_SO), AccessCondition(USER_OR_SO));
        made.emplace_back(d);
        d->commitCreationOrMetadataChanges();
    }
    clearTrace();
    std::unique_ptr<amw::KeyPair> pair(token->generateKeyPair(
        text<128>("pub"), text<128>("priv"), 2048, 0, 0, text<128>("k"), 0x00FF, exponent65537()));
    pair->commitCreationOrMetadataChanges();
    const std::size_t generate = exchanges();
    EXPECT_EQ(generate, 5u);  // createKeyPair, generateKeyPair, setMetadataSize, writeData, commit

    clearTrace();
    const Bytes m = message(256);
    StaticBuffer<256> out;
    token->rsaExponentiation(pair.get(), m.data(), m.size(), &out, true);
    const std::size_t sign2048 = exchanges();
    EXPECT_EQ(sign2048, 3u);  // cryptInit and two chained crypt blocks

    clearTrace();
    Owned<amw::X509Certificate> certs;
    Owned<amw::DataObject> objects;
    Owned<amw::KeyPair> pairs;
    std::unique_ptr<Token> later = freshToken();
    later->listCertificates(certs.items);
    const std::size_t listCerts = exchanges();
    clearTrace();
    later->listDataObjects(objects.items);
    const std::size_t listObjects = exchanges();
    clearTrace();
    later->listKeyPairs(pairs.items);
    const std::size_t listPairs = exchanges();
    // getHeads, the card's block count that bounds the walk, then a header and
    // its metadata per object (key pairs add N and E).
    EXPECT_EQ(listCerts, 2 + 2 * N);
    EXPECT_EQ(listObjects, 2 + 2 * N);
    EXPECT_EQ(listPairs, 2u + 4u);
    std::cout << "[ APDUs    ] list " << N << " certificates: " << listCerts << ", " << N
              << " data objects: " << listObjects << ", 1 key pair: " << listPairs
              << "; generate 2048-bit pair: " << generate
              << "; 2048-bit exponentiation: " << sign2048 << std::endl;
}

// A reader with a PIN pad: the pad asks, the notifier hears about every attempt.
class PinPadCardTest : public CardTest {
protected:
    void SetUp() override {
        testpcsc::ReaderOptions reader;
        reader.pinPad = testpcsc::PinPadFeatures::VerifyAndModify;
        start(options(), reader);
    }
};

TEST_P(PinPadCardTest, PinEnteredOnTheReader) {
    ASSERT_TRUE(connection->isPinPadAvailable());
    amw::AuthenticationObject ao = user();
    EXPECT_TRUE(token->willUsePinPad(&ao));
    service->queuePinEntries(
        READER, {testpcsc::PinEntry::pin("999999"), testpcsc::PinEntry::pin(USER_PIN)});
    fake::RecordingNotifier notifier;
    std::uint32_t tries = 0;
    EXPECT_EQ(token->authenticate(&ao, nullptr, 0, &tries, &notifier), amw::AUTHENTICATION_SUCCESS);
    EXPECT_EQ(notifier.calls,
              (std::vector<std::string>{"prompt 0", "done", "wrong 2", "prompt 2", "done"}));
    EXPECT_EQ(token->getAuthStateMask() & 0x02, 0x02);

    // Without a notifier a cancel ends it with the reason.
    token->deauthenticate(amw::AMWROLE_USER);
    service->queuePinEntries(READER, {testpcsc::PinEntry::cancel()});
    try {
        token->authenticate(&ao, nullptr, 0, &tries, nullptr);
        ADD_FAILURE() << "cancel not reported";
    } catch (const amw::PinPadException& e) {
        EXPECT_EQ(e.getReason(), amw::PinPadException::AUTHENTICATION_PINPAD_CANCELED);
    }

    // A new PIN typed twice on the pad (logging in goes through the pad too).
    service->queuePinEntries(READER, {testpcsc::PinEntry::pin(USER_PIN)});
    EXPECT_EQ(token->authenticate(&ao, nullptr, 0, &tries, nullptr), amw::AUTHENTICATION_SUCCESS);
    service->queuePinEntries(
        READER, {testpcsc::PinEntry::pin("24682468"), testpcsc::PinEntry::pin("24682468")});
    token->changePin(&ao, nullptr, 0, nullptr);
    token->deauthenticate(amw::AMWROLE_USER);
    service->queuePinEntries(READER, {testpcsc::PinEntry::pin("24682468")});
    EXPECT_EQ(token->authenticate(&ao, nullptr, 0, &tries, nullptr), amw::AUTHENTICATION_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Protocols, CardTest,
                         ::testing::Values(testpcsc::Protocol::T1, testpcsc::Protocol::T0),
                         [](const auto& info) {
                             return info.param == testpcsc::Protocol::T1 ? std::string("T1")
                                                                         : std::string("T0");
                         });
INSTANTIATE_TEST_SUITE_P(Protocols, CountTest, ::testing::Values(testpcsc::Protocol::T1),
                         [](const auto&) { return std::string("T1"); });
INSTANTIATE_TEST_SUITE_P(Protocols, PinPadCardTest, ::testing::Values(testpcsc::Protocol::T1),
                         [](const auto&) { return std::string("T1"); });

}  // namespace
