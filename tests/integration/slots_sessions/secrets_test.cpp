// No secret reaches the trace log or the cache files. Each scenario drives
// the module with the log on and names the secrets it handled (PINs, the
// session PINs the card issued, private data); the whole log and every cache
// file are then searched for them in every form the log writes bytes in. New
// paths that handle secrets join as further scenarios.
#include "harness.h"
#include "logrecords.h"
#include "p11app.h"
#include "p11template.h"
#include "testcerts.h"

#include "vcard/kalvikcard.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

namespace {

using testpcsc::Bytes;
using testpcsc::PinEntry;

harness::ConfigurationEnvironment* const environment =
    harness::installConfiguration("loglevel = 1\n");

const char* const READER = "Reader 0";
// Texts that appear nowhere else in a log.
const std::string USER_PIN = "Ux7#q2Lm";
const std::string SO_PIN = "So9!vR4k";
const std::string NEW_PIN = "Nw3$tY8p";
const std::string WRONG_PIN = "Wr5%zQ1c";
// A PIN pad takes digits only.
const std::string PAD_PIN = "73950182";

struct Secret {
    std::string name;
    Bytes bytes;
};

Secret pinSecret(const std::string& name, const std::string& pin) {
    return {name, Bytes(pin.begin(), pin.end())};
}

// Imports a private key with C_CreateObject, the private exponent given as
// well, as applications do; returns its secret components.
std::vector<Secret> importPrivateKey(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE h) {
    testcerts::KeyPtr key = testcerts::rsaKey(1024);
    const testcerts::RsaComponents c = testcerts::rsaComponents(key.get());
    const Bytes d = testcerts::rsaParam(key.get(), OSSL_PKEY_PARAM_RSA_D);
    Template t;
    t.ulong(CKA_CLASS, CKO_PRIVATE_KEY).ulong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, {1, 2, 3, 4});
    t.add(CKA_MODULUS, c.n).add(CKA_PUBLIC_EXPONENT, c.e).add(CKA_PRIVATE_EXPONENT, d);
    t.add(CKA_PRIME_1, c.p).add(CKA_PRIME_2, c.q).add(CKA_EXPONENT_1, c.dp);
    t.add(CKA_EXPONENT_2, c.dq).add(CKA_COEFFICIENT, c.inv);
    CK_OBJECT_HANDLE object = 0;
    EXPECT_EQ(f->C_CreateObject(h, t.data(), t.count(), &object), CKR_OK);
    return {{"private exponent", d}, {"prime 1", c.p},     {"prime 2", c.q},
            {"exponent 1", c.dp},    {"exponent 2", c.dq}, {"coefficient", c.inv}};
}

// Decrypts on the session's card with a key generated there: a block made
// here (so that the whole decrypted block, padding included, is known),
// encrypted by OpenSSL with the card's public key. Returns the plaintext and
// the block.
std::vector<Secret> decryptOnCard(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE h) {
    Template pub, priv;
    pub.ulong(CKA_CLASS, CKO_PUBLIC_KEY).ulong(CKA_MODULUS_BITS, 1024);
    priv.ulong(CKA_CLASS, CKO_PRIVATE_KEY).flag(CKA_DECRYPT, true);
    CK_MECHANISM generation{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    CK_OBJECT_HANDLE publicKey = 0, privateKey = 0;
    EXPECT_EQ(f->C_GenerateKeyPair(h, &generation, pub.data(), pub.count(), priv.data(),
                                   priv.count(), &publicKey, &privateKey),
              CKR_OK);
    Bytes n(128), e(3);
    CK_ATTRIBUTE values[] = {{CKA_MODULUS, n.data(), n.size()},
                             {CKA_PUBLIC_EXPONENT, e.data(), e.size()}};
    EXPECT_EQ(f->C_GetAttributeValue(h, publicKey, values, 2), CKR_OK);

    const std::string text = "Pl41n-t3xt for the card's eyes";
    const Bytes plaintext(text.begin(), text.end());
    Bytes block = {0x00, 0x02};
    while (block.size() < 128 - 1 - plaintext.size())
        block.push_back(static_cast<std::uint8_t>(0x11 + block.size()));
    block.push_back(0x00);
    block.insert(block.end(), plaintext.begin(), plaintext.end());
    Bytes encrypted =
        testcerts::rsaEncrypt(testcerts::rsaPublicKey(n, e).get(), block, RSA_NO_PADDING);

    CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
    EXPECT_EQ(f->C_DecryptInit(h, &rsa, privateKey), CKR_OK);
    Bytes out(128);
    CK_ULONG length = out.size();
    EXPECT_EQ(f->C_Decrypt(h, encrypted.data(), encrypted.size(), out.data(), &length), CKR_OK);
    out.resize(length);
    EXPECT_EQ(out, plaintext);
    return {{"plaintext", plaintext}, {"decrypted block", block}};
}

class Secrets;
struct Scenario {
    const char* name;
    bool pinPad;
    // Drives the module; returns the secrets it handed over, besides the
    // session PINs, which are collected from the card's answers.
    std::function<std::vector<Secret>(Secrets&)> run;
};

struct Case {
    Scenario scenario;
    testpcsc::Protocol protocol;
};
std::string caseName(const Case& c) {
    return std::string(c.scenario.name) + (c.protocol == testpcsc::Protocol::T0 ? "_T0" : "_T1");
}
void PrintTo(const Case& c, std::ostream* out) { *out << caseName(c); }

class Secrets : public harness::ModuleTest, public ::testing::WithParamInterface<Case> {
public:
    using ModuleTest::f;
    CK_SESSION_HANDLE open() {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(p11app::openSession(f, &h), CKR_OK);
        return h;
    }
    CK_RV login(CK_SESSION_HANDLE h, CK_USER_TYPE who, const std::string& p) {
        return p11app::login(f, h, who, p);
    }
    CK_RV setPin(CK_SESSION_HANDLE h, const std::string& oldPin, const std::string& newPin) {
        using p11app::pin;
        return f->C_SetPIN(h, pin(oldPin), oldPin.size(), pin(newPin), newPin.size());
    }
    testpcsc::Service& service() { return svc; }

protected:
    void SetUp() override {
        ModuleTest::SetUp();
        testpcsc::ReaderOptions options;
        if (GetParam().scenario.pinPad)
            options.pinPad = testpcsc::PinPadFeatures::VerifyAndModify;
        svc.addReader(READER, options);
        vcard::PersonalisationOptions card;
        card.userPin = GetParam().scenario.pinPad ? PAD_PIN : USER_PIN;
        card.soPin = SO_PIN;
        svc.insertCard(READER, std::make_shared<vcard::KalvikCard>(card), GetParam().protocol);
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    }

    // The session PINs the card issued: the data of its answers to
    // generateSessionPin, fetched with GET RESPONSE on T=0.
    std::vector<Secret> issuedSessionPins() const {
        std::vector<Secret> pins;
        const std::vector<testpcsc::Exchange> trace = svc.trace(READER);
        for (std::size_t i = 0; i < trace.size(); ++i) {
            if (trace[i].command.size() < 2 || trace[i].command[0] != 0x80 ||
                trace[i].command[1] != 0x2E)
                continue;
            const Bytes* answer = &trace[i].response;
            if (answer->size() == 2 && (*answer)[0] == 0x61 && i + 1 < trace.size())
                answer = &trace[i + 1].response;
            if (answer->size() > 2)
                pins.push_back({"session PIN", Bytes(answer->begin(), answer->end() - 2)});
        }
        return pins;
    }
};

// Every form a byte string takes in the log or a file: raw (a PIN is its
// own text) and hexadecimal, spaced or not, upper or lower case.
std::vector<std::string> forms(const Bytes& bytes) {
    std::vector<std::string> out{std::string(bytes.begin(), bytes.end())};
    for (const char* digits : {"0123456789ABCDEF", "0123456789abcdef"}) {
        std::string spaced, joined;
        for (std::uint8_t b : bytes) {
            const char pair[] = {digits[b >> 4], digits[b & 0x0F], 0};
            spaced += (spaced.empty() ? "" : " ") + std::string(pair);
            joined += pair;
        }
        out.push_back(spaced);
        out.push_back(joined);
    }
    return out;
}

std::string fileContent(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The texts to search, by name: the log as written, its record bodies joined
// (so that a dump wrapped over two lines is seen whole), each cache file.
std::vector<std::pair<std::string, std::string>> searchedTexts() {
    const std::string log = logrecords::logFileIn(environment->logDirectory());
    std::string joined;
    for (const std::string& body : logrecords::bodies(logrecords::readLines(log)))
        joined += body + " ";
    std::vector<std::pair<std::string, std::string>> texts = {
        {"the trace log", fileContent(log)}, {"the trace log's records joined", joined}};
    namespace fs = std::filesystem;
    if (fs::exists(environment->cacheDirectory()))
        for (const auto& entry : fs::recursive_directory_iterator(environment->cacheDirectory()))
            if (entry.is_regular_file())
                texts.emplace_back(entry.path().string(), fileContent(entry.path().string()));
    return texts;
}

// Creates a data object with `value`, reads it back, changes it to
// `changed` and reads that back, each in a call of its own.
void createReadAndChange(CK_FUNCTION_LIST_PTR f, CK_SESSION_HANDLE h, bool isPrivate,
                         const Bytes& value, const Bytes& changed) {
    Template t;
    t.ulong(CKA_CLASS, CKO_DATA).flag(CKA_PRIVATE, isPrivate).add(CKA_VALUE, value);
    CK_OBJECT_HANDLE object = 0;
    ASSERT_EQ(f->C_CreateObject(h, t.data(), t.count(), &object), CKR_OK);
    auto expectValue = [&](const Bytes& expected) {
        Bytes read(expected.size());
        CK_ATTRIBUTE attribute = {CKA_VALUE, read.data(), read.size()};
        EXPECT_EQ(f->C_GetAttributeValue(h, object, &attribute, 1), CKR_OK);
        EXPECT_EQ(read, expected);
    };
    expectValue(value);
    Template change;
    change.add(CKA_VALUE, changed);
    ASSERT_EQ(f->C_SetAttributeValue(h, object, change.data(), change.count()), CKR_OK);
    expectValue(changed);
}

TEST_P(Secrets, NeverReachTheLogOrTheCache) {
    std::vector<Secret> secrets = GetParam().scenario.run(*this);
    for (Secret& s : issuedSessionPins())
        secrets.push_back(std::move(s));
    ASSERT_FALSE(secrets.empty());
    const auto texts = searchedTexts();
    ASSERT_GT(texts[0].second.size(), 0u) << "no trace log";
    for (const Secret& secret : secrets) {
        ASSERT_GE(secret.bytes.size(), 4u) << secret.name << " too short to search for";
        for (const std::string& form : forms(secret.bytes))
            for (const auto& [where, text] : texts)
                EXPECT_EQ(text.find(form), std::string::npos)
                    << secret.name << " as \"" << form << "\" in " << where;
    }
}

const Scenario SCENARIOS[] = {
    {"UserLoginAndLaterCall", false,
     [](Secrets& t) {
         CK_SESSION_HANDLE h = t.open();
         EXPECT_EQ(t.login(h, CKU_USER, USER_PIN), CKR_OK);
         // The later call proves the login with the session PIN first.
         EXPECT_EQ(t.setPin(h, USER_PIN, NEW_PIN), CKR_OK);
         return std::vector<Secret>{pinSecret("user PIN", USER_PIN), pinSecret("new PIN", NEW_PIN)};
     }},
    {"SecurityOfficerLoginAndPinChange", false,
     [](Secrets& t) {
         CK_SESSION_HANDLE h = t.open();
         EXPECT_EQ(t.login(h, CKU_SO, SO_PIN), CKR_OK);
         EXPECT_EQ(t.setPin(h, SO_PIN, NEW_PIN), CKR_OK);
         EXPECT_EQ(t.login(h, CKU_SO, NEW_PIN), CKR_OK);
         return std::vector<Secret>{pinSecret("SO PIN", SO_PIN), pinSecret("new PIN", NEW_PIN)};
     }},
    {"WrongPins", false,
     [](Secrets& t) {
         CK_SESSION_HANDLE h = t.open();
         EXPECT_EQ(t.login(h, CKU_USER, WRONG_PIN), CKR_PIN_INCORRECT);
         EXPECT_EQ(t.setPin(h, WRONG_PIN, NEW_PIN), CKR_PIN_INCORRECT);
         return std::vector<Secret>{pinSecret("wrong PIN", WRONG_PIN),
                                    pinSecret("new PIN", NEW_PIN)};
     }},
    {"PrivateKeyImport", false,
     [](Secrets& t) {
         CK_SESSION_HANDLE h = t.open();
         EXPECT_EQ(t.login(h, CKU_USER, USER_PIN), CKR_OK);
         return importPrivateKey(t.f, h);
     }},
    {"Decryption", false,
     [](Secrets& t) {
         CK_SESSION_HANDLE h = t.open();
         EXPECT_EQ(t.login(h, CKU_USER, USER_PIN), CKR_OK);
         return decryptOnCard(t.f, h);
     }},
    {"PrivateDataObject", false,
     [](Secrets& t) {
         CK_SESSION_HANDLE h = t.open();
         EXPECT_EQ(t.login(h, CKU_USER, USER_PIN), CKR_OK);
         const std::string created = "Pr1v8 n0te, as stored", changed = "Pr1v8 n0te, changed";
         const Bytes value(created.begin(), created.end()),
             newValue(changed.begin(), changed.end());
         createReadAndChange(t.f, h, true, value, newValue);
         const Bytes publicValue = {0x50, 0x75, 0x62, 0x6C, 0x1C, 0x0B, 0x0D, 0x7E};
         const Bytes publicChanged = {0x50, 0x75, 0x62, 0x6C, 0x2C, 0x4A, 0x55, 0x3D};
         createReadAndChange(t.f, h, false, publicValue, publicChanged);
         // A public body stays in every record that shows it: the template
         // entries, the bytes written to the card, the value handed out.
         const std::string records = searchedTexts()[1].second;
         for (const Bytes& v : {publicValue, publicChanged}) {
             const std::vector<std::string> f = forms(v);
             for (const std::string& record :
                  {"value=" + f[2] + "]", "buf =  " + f[1], "[OUT]  " + f[1]})
                 EXPECT_NE(records.find(record), std::string::npos) << record;
         }
         return std::vector<Secret>{{"private data", value}, {"changed private data", newValue}};
     }},
    {"PinPadLoginAndLaterCall", true,
     [](Secrets& t) {
         CK_SESSION_HANDLE h = t.open();
         t.service().queuePinEntries(READER, {PinEntry::pin(PAD_PIN)});
         EXPECT_EQ(t.f->C_Login(h, CKU_USER, nullptr, 0), CKR_OK);
         t.service().queuePinEntries(READER, {PinEntry::pin(PAD_PIN)});
         EXPECT_EQ(t.f->C_Login(h, CKU_USER, nullptr, 0), CKR_OK);
         return std::vector<Secret>{pinSecret("user PIN", PAD_PIN)};
     }},
};

std::vector<Case> cases() {
    std::vector<Case> all;
    for (const Scenario& s : SCENARIOS)
        for (testpcsc::Protocol p : {testpcsc::Protocol::T1, testpcsc::Protocol::T0})
            all.push_back({s, p});
    return all;
}

INSTANTIATE_TEST_SUITE_P(Paths, Secrets, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return caseName(info.param); });

}  // namespace
