// The object functions through the function list, over a virtual Kalvik card
// in the in-process PC/SC service: what a search finds with and without a
// login, the attribute reads and writes with their failures, handles across
// changes of the card by another process, a card pulled during a search.
#include "ctl/lockablepcsccardconnection.h"
#include "harness.h"
#include "internal/p11objects/p11RsaPrivateKey.h"
#include "internal/p11objects/p11X509Certificate.h"
#include "internal/sessionmanager.h"
#include "library.h"
#include "p11app.h"
#include "p11template.h"
#include "p11values.h"
#include "testcerts.h"
#include "tokencall.h"

#include "vcard/kalvikcard.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Handles = std::vector<CK_OBJECT_HANDLE>;
using Labels = std::vector<std::string>;
using p11values::failure;

harness::ConfigurationEnvironment* const environment = harness::installConfiguration("");

const char* const READER = "Reader 0";
const Bytes KEY_ID = {0x01};

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
StaticBuffer<128> id128(const Bytes& b) { return StaticBuffer<128>(b.data(), b.size()); }

// One key for the whole program.
const EVP_PKEY* testKey() {
    static const testcerts::KeyPtr key = testcerts::rsaKey(1024);
    return key.get();
}

const testcerts::Certificate& der() {
    static const testcerts::Certificate certificate = testcerts::makeCertificate(testKey());
    return certificate;
}

Template ofClass(CK_OBJECT_CLASS objectClass) {
    Template t;
    t.ulong(CKA_CLASS, objectClass);
    return t;
}
Template certificate(const std::string& label, const Bytes& id = KEY_ID) {
    Template t = ofClass(CKO_CERTIFICATE);
    t.ulong(CKA_CERTIFICATE_TYPE, CKC_X_509).add(CKA_ID, id).text(CKA_LABEL, label);
    t.add(CKA_VALUE, der().der);
    return t;
}
Template dataObject(const std::string& label, bool isPrivate) {
    Template t = ofClass(CKO_DATA);
    t.text(CKA_LABEL, label).text(CKA_VALUE, "value of " + label).flag(CKA_PRIVATE, isPrivate);
    return t;
}
Template publicKey(const std::string& label) {
    const testcerts::RsaComponents c = testcerts::rsaComponents(testKey());
    Template t = ofClass(CKO_PUBLIC_KEY);
    t.ulong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, KEY_ID).text(CKA_LABEL, label);
    t.flag(CKA_VERIFY, true).add(CKA_MODULUS, c.n).add(CKA_PUBLIC_EXPONENT, c.e);
    return t;
}
Template privateKey(const std::string& label) {
    const testcerts::RsaComponents c = testcerts::rsaComponents(testKey());
    Template t = ofClass(CKO_PRIVATE_KEY);
    t.ulong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, KEY_ID).text(CKA_LABEL, label);
    t.flag(CKA_SIGN, true).add(CKA_MODULUS, c.n).add(CKA_PUBLIC_EXPONENT, c.e);
    t.add(CKA_PRIME_1, c.p).add(CKA_PRIME_2, c.q).add(CKA_EXPONENT_1, c.dp);
    t.add(CKA_EXPONENT_2, c.dq).add(CKA_COEFFICIENT, c.inv);
    return t;
}

class Objects : public harness::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        svc.addReader(READER);
        card = std::make_shared<vcard::KalvikCard>();
        svc.insertCard(READER, card);
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
        h = open();
    }

    CK_SESSION_HANDLE open(CK_FLAGS flags = CKF_SERIAL_SESSION | CKF_RW_SESSION) {
        CK_SESSION_HANDLE session = 0;
        EXPECT_EQ(f->C_OpenSession(0, flags, nullptr, nullptr, &session), CKR_OK);
        return session;
    }
    void login() { ASSERT_EQ(p11app::login(f, h, CKU_USER, TokenCall::USER_PIN), CKR_OK); }

    CK_OBJECT_HANDLE create(const Template& t, CK_SESSION_HANDLE session = 0) {
        CK_OBJECT_HANDLE object = 0;
        EXPECT_EQ(f->C_CreateObject(session ? session : h, t.data(), t.count(), &object), CKR_OK);
        EXPECT_NE(object, 0u);
        return object;
    }
    // The five objects of the visibility cases, made while logged in.
    void createOneOfEach() {
        login();
        create(certificate("cert"));
        create(dataObject("open", false));
        create(dataObject("secret", true));
        create(publicKey("pub"));
        create(privateKey("priv"));
    }

    CK_RV findInit(const Template& t, CK_SESSION_HANDLE session = 0) {
        return f->C_FindObjectsInit(session ? session : h, t.data(), t.count());
    }
    // Every handle of the search, fetched two at a time.
    Handles find(const Template& t, CK_RV* rv = nullptr, CK_SESSION_HANDLE session = 0) {
        session = session ? session : h;
        Handles found;
        const CK_RV init = findInit(t, session);
        if (rv != nullptr)
            *rv = init;
        else
            EXPECT_EQ(init, CKR_OK);
        if (init != CKR_OK)
            return found;
        CK_OBJECT_HANDLE batch[2];
        CK_ULONG count = 0;
        do {
            EXPECT_EQ(f->C_FindObjects(session, batch, 2, &count), CKR_OK);
            found.insert(found.end(), batch, batch + count);
        } while (count == 2);
        EXPECT_EQ(f->C_FindObjectsFinal(session), CKR_OK);
        return found;
    }
    Bytes attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, CK_RV* rv = nullptr) {
        CK_ATTRIBUTE a = {type, nullptr, 0};
        CK_RV result = f->C_GetAttributeValue(h, object, &a, 1);
        Bytes value;
        if (result == CKR_OK) {
            value.resize(a.ulValueLen);
            a.pValue = value.data();
            result = f->C_GetAttributeValue(h, object, &a, 1);
        }
        if (rv != nullptr)
            *rv = result;
        else
            EXPECT_EQ(result, CKR_OK);
        return value;
    }
    std::string label(CK_OBJECT_HANDLE object) {
        const Bytes value = attribute(object, CKA_LABEL);
        return std::string(value.begin(), value.end());
    }
    // The labels of what the search finds, sorted.
    Labels foundLabels(const Template& t, CK_RV* rv = nullptr) {
        Labels labels;
        for (CK_OBJECT_HANDLE object : find(t, rv))
            labels.push_back(label(object));
        std::sort(labels.begin(), labels.end());
        return labels;
    }
    std::size_t apdus() const { return svc.trace(READER).size(); }

    std::shared_ptr<vcard::KalvikCard> card;
    CK_SESSION_HANDLE h = 0;
};

// --- search -----------------------------------------------------------------------

struct SearchCase {
    const char* name;
    std::function<Template()> search;
    CK_RV loggedOutResult;
    Labels loggedOut;
    CK_RV loggedInResult;
    Labels loggedIn;
};

Template with(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
    Template t;
    t.add(type, value);
    return t;
}

// clang-format off
const SearchCase SEARCHES[] = {
    {"Everything", [] { return Template(); },
     CKR_OK, {"cert", "open", "pub"}, CKR_OK, {"cert", "open", "priv", "pub", "secret"}},
    {"DataObjects", [] { return ofClass(CKO_DATA); }, CKR_OK, {"open"}, CKR_OK, {"open", "secret"}},
    {"PrivateKeys", [] { return ofClass(CKO_PRIVATE_KEY); }, CKR_OK, {}, CKR_OK, {"priv"}},
    {"ById", [] { return with(CKA_ID, KEY_ID); }, CKR_OK, {"cert", "pub"}, CKR_OK, {"cert", "priv", "pub"}},
    {"ByModulus", [] { return with(CKA_MODULUS, testcerts::rsaComponents(testKey()).n); },
     CKR_OK, {"pub"}, CKR_OK, {"priv", "pub"}},
    {"PrivateTrue", [] { return with(CKA_PRIVATE, {CK_TRUE}); }, CKR_OK, {}, CKR_OK, {"priv", "secret"}},
    {"CertificateByValue", [] { return with(CKA_VALUE, der().der); }, CKR_OK, {"cert"}, CKR_OK, {"cert"}},
    // An attribute a class does not know excludes the class.
    {"DataWithModulus", [] { return std::move(ofClass(CKO_DATA).add(CKA_MODULUS, {1, 2})); },
     CKR_OK, {}, CKR_OK, {}},
    {"AllowedMechanismsNeverMatch", [] { return with(CKA_ALLOWED_MECHANISMS, Bytes(sizeof(CK_ULONG))); },
     CKR_OK, {}, CKR_OK, {}},
    // A sensitive attribute fails once a private key is examined.
    {"SensitiveAttribute", [] { return with(CKA_PRIME_1, {1}); }, CKR_OK, {}, CKR_ATTRIBUTE_SENSITIVE, {}},
    // Listed by certificates but not supplied: fails at the certificate.
    {"StartDate", [] { return with(CKA_START_DATE, Bytes(8, '0')); },
     CKR_ATTRIBUTE_TYPE_INVALID, {}, CKR_ATTRIBUTE_TYPE_INVALID, {}},
    {"ClassOfFourBytes", [] { return with(CKA_CLASS, {1, 0, 0, 0}); },
     CKR_ATTRIBUTE_VALUE_INVALID, {}, CKR_ATTRIBUTE_VALUE_INVALID, {}},
    {"ClassOfSixteenBytes", [] { return with(CKA_CLASS, Bytes(16, 0)); },
     CKR_ATTRIBUTE_VALUE_INVALID, {}, CKR_ATTRIBUTE_VALUE_INVALID, {}},
};
// clang-format on

void PrintTo(const SearchCase& c, std::ostream* out) { *out << c.name; }

class Search : public Objects, public ::testing::WithParamInterface<SearchCase> {};
INSTANTIATE_TEST_SUITE_P(Templates, Search, ::testing::ValuesIn(SEARCHES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(Search, FindsWhatTheLoginShows) {
    const SearchCase& c = GetParam();
    createOneOfEach();
    CK_RV rv;
    EXPECT_EQ(foundLabels(c.search(), &rv), c.loggedIn);
    EXPECT_EQ(rv, c.loggedInResult);
    ASSERT_EQ(f->C_Logout(h), CKR_OK);
    EXPECT_EQ(foundLabels(c.search(), &rv), c.loggedOut);
    EXPECT_EQ(rv, c.loggedOutResult);
}

TEST_F(Objects, SearchStepsAndTheirMisuse) {
    CK_OBJECT_HANDLE found[4];
    CK_ULONG count = 99;
    EXPECT_EQ(f->C_FindObjects(h, found, 4, &count), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f->C_FindObjectsFinal(h), CKR_OPERATION_NOT_INITIALIZED);
    login();
    for (const char* name : {"a", "b", "c"})
        create(dataObject(name, false));

    ASSERT_EQ(findInit(Template()), CKR_OK);
    // A count of 0 takes nothing away.
    EXPECT_EQ(f->C_FindObjects(h, found, 0, &count), CKR_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(f->C_FindObjects(h, found, 1, &count), CKR_OK);
    EXPECT_EQ(count, 1u);
    // A new search replaces the active one.
    ASSERT_EQ(findInit(Template().text(CKA_LABEL, "c")), CKR_OK);
    EXPECT_EQ(f->C_FindObjects(h, found, 4, &count), CKR_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(label(found[0]), "c");
    // Past the end: nothing, and the search stays active.
    EXPECT_EQ(f->C_FindObjects(h, found, 4, &count), CKR_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(f->C_FindObjectsFinal(h), CKR_OK);
    EXPECT_EQ(f->C_FindObjectsFinal(h), CKR_OPERATION_NOT_INITIALIZED);

    // A search belongs to its session.
    const CK_SESSION_HANDLE other = open();
    ASSERT_EQ(findInit(Template()), CKR_OK);
    EXPECT_EQ(f->C_FindObjects(other, found, 4, &count), CKR_OPERATION_NOT_INITIALIZED);
    EXPECT_EQ(f->C_FindObjects(h, found, 4, &count), CKR_OK);
    EXPECT_EQ(count, 3u);
}

// --- arguments --------------------------------------------------------------------

TEST_F(Objects, MissingPointersAreRefusedBeforeTheCard) {
    CK_OBJECT_HANDLE object = 0;
    CK_ULONG count = 0;
    CK_ATTRIBUTE one = {CKA_LABEL, nullptr, 0};
    const struct {
        const char* call;
        std::function<CK_RV()> run;
    } cases[] = {
        {"C_CreateObject, no template", [&] { return f->C_CreateObject(h, nullptr, 1, &object); }},
        {"C_CreateObject, no handle out", [&] { return f->C_CreateObject(h, &one, 1, nullptr); }},
        {"C_GetAttributeValue, no template",
         [&] { return f->C_GetAttributeValue(h, 1, nullptr, 1); }},
        {"C_GetAttributeValue, no template, no count",
         [&] { return f->C_GetAttributeValue(h, 1, nullptr, 0); }},
        {"C_SetAttributeValue, no template",
         [&] { return f->C_SetAttributeValue(h, 1, nullptr, 1); }},
        {"C_FindObjectsInit, no template", [&] { return f->C_FindObjectsInit(h, nullptr, 1); }},
        {"C_FindObjects, no handles out", [&] { return f->C_FindObjects(h, nullptr, 1, &count); }},
        {"C_FindObjects, no count out", [&] { return f->C_FindObjects(h, &object, 1, nullptr); }},
    };
    for (const auto& c : cases) {
        svc.clearTrace(READER);
        EXPECT_EQ(c.run(), CKR_ARGUMENTS_BAD) << c.call;
        EXPECT_EQ(apdus(), 0u) << c.call;
    }
    // An empty template may be missing.
    EXPECT_EQ(f->C_FindObjectsInit(h, nullptr, 0), CKR_OK);
}

// --- creation ----------------------------------------------------------------------

TEST_F(Objects, CreationRefusalsOfTheFrontEnd) {
    const struct {
        const char* name;
        Template t;
        CK_RV expected;
    } cases[] = {
        {"no class", with(CKA_LABEL, {'x'}), CKR_TEMPLATE_INCOMPLETE},
        {"class of four bytes", with(CKA_CLASS, {1, 0, 0, 0}), CKR_ATTRIBUTE_VALUE_INVALID},
        {"secret key class", ofClass(CKO_SECRET_KEY), CKR_FUNCTION_FAILED},
        // Neither the session nor the module checks a login: the card does.
        {"not logged in", dataObject("x", false), CKR_USER_NOT_LOGGED_IN},
    };
    for (const auto& c : cases) {
        CK_OBJECT_HANDLE object = 0;
        EXPECT_EQ(f->C_CreateObject(h, c.t.data(), c.t.count(), &object), c.expected) << c.name;
    }
}

// The halves of a key pair are two objects with one identifier; removing one
// leaves the other.
TEST_F(Objects, KeyHalvesComeAndGoOneByOne) {
    login();
    const CK_OBJECT_HANDLE privateHandle = create(privateKey("priv"));
    CK_RV rv;
    attribute(privateHandle, CKA_MODULUS, &rv);
    EXPECT_EQ(rv, CKR_ATTRIBUTE_TYPE_INVALID) << "no public half yet";
    const CK_OBJECT_HANDLE publicHandle = create(publicKey("pub"));
    EXPECT_EQ(attribute(privateHandle, CKA_MODULUS), testcerts::rsaComponents(testKey()).n);
    const Handles privateFound = find(ofClass(CKO_PRIVATE_KEY));
    ASSERT_EQ(privateFound.size(), 1u);

    ASSERT_EQ(f->C_DestroyObject(h, privateHandle), CKR_OK);
    EXPECT_EQ(label(publicHandle), "pub");
    // The other handle of the removed half names nothing now.
    attribute(privateFound[0], CKA_LABEL, &rv);
    EXPECT_EQ(rv, CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(f->C_DestroyObject(h, privateHandle), CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(foundLabels(Template()), Labels{"pub"});
    ASSERT_EQ(f->C_DestroyObject(h, publicHandle), CKR_OK);
    EXPECT_EQ(card->objectCount(vcard::Chain::KEY_PAIRS), 0u);
}

// --- attributes --------------------------------------------------------------------

struct Entry {
    CK_ATTRIBUTE_TYPE type;
    CK_ULONG capacity;  // 0: a size query
    CK_ULONG expectedLength;
};
struct ReadCase {
    const char* name;
    const char* object;  // label of the object read
    std::vector<Entry> entries;
    CK_RV expected;
};

const CK_ULONG UNAVAILABLE = CK_UNAVAILABLE_INFORMATION;
// clang-format off
const ReadCase READS[] = {
    {"SensitiveAfterALabel", "priv", {{CKA_LABEL, 64, 4}, {CKA_PRIME_1, 64, UNAVAILABLE}},
     CKR_ATTRIBUTE_SENSITIVE},
    {"LastFailureWins", "cert", {{CKA_VALUE, 1, UNAVAILABLE}, {CKA_START_DATE, 8, UNAVAILABLE}},
     CKR_ATTRIBUTE_TYPE_INVALID},
    {"LastFailureWinsTheOtherWay", "cert", {{CKA_START_DATE, 8, UNAVAILABLE}, {CKA_VALUE, 1, UNAVAILABLE}},
     CKR_BUFFER_TOO_SMALL},
    {"FailuresDoNotStopTheReading", "pub",
     {{CKA_PRIME_1, 8, UNAVAILABLE}, {CKA_MODULUS_BITS, sizeof(CK_ULONG), sizeof(CK_ULONG)}, {CKA_MODULUS, 0, 128}},
     CKR_ATTRIBUTE_TYPE_INVALID},
    {"SizeQueries", "secret", {{CKA_VALUE, 0, 15}, {CKA_LABEL, 0, 6}, {CKA_PRIVATE, 0, 1}}, CKR_OK},
};
// clang-format on

void PrintTo(const ReadCase& c, std::ostream* out) { *out << c.name; }

class Read : public Objects, public ::testing::WithParamInterface<ReadCase> {};
INSTANTIATE_TEST_SUITE_P(Entries, Read, ::testing::ValuesIn(READS),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_P(Read, EachEntryIsReadAndTheLastFailureIsTheResult) {
    const ReadCase& c = GetParam();
    createOneOfEach();
    const Handles found = find(std::move(Template().text(CKA_LABEL, c.object)));
    ASSERT_EQ(found.size(), 1u);
    std::vector<Bytes> buffers;
    std::vector<CK_ATTRIBUTE> entries;
    for (const Entry& e : c.entries) {
        buffers.emplace_back(e.capacity, 0xEE);
        entries.push_back({e.type, e.capacity ? buffers.back().data() : nullptr, e.capacity});
    }
    EXPECT_EQ(f->C_GetAttributeValue(h, found[0], entries.data(), entries.size()), c.expected);
    for (std::size_t i = 0; i < entries.size(); ++i)
        EXPECT_EQ(entries[i].ulValueLen, c.entries[i].expectedLength) << "entry " << i;
    if (c.entries[0].type == CKA_LABEL) {
        EXPECT_EQ(std::string(buffers[0].begin(), buffers[0].begin() + 4), c.object);
    }
}

TEST_F(Objects, AReadOnlySessionChangesNothingAndNeverTouchesTheCard) {
    login();
    create(dataObject("open", false));
    const CK_SESSION_HANDLE readOnly = open(CKF_SERIAL_SESSION);
    const Handles found = find(Template(), nullptr, readOnly);
    ASSERT_EQ(found.size(), 1u);
    Template rename;
    rename.text(CKA_LABEL, "renamed");
    svc.clearTrace(READER);
    EXPECT_EQ(f->C_SetAttributeValue(readOnly, found[0], rename.data(), rename.count()),
              CKR_SESSION_READ_ONLY);
    EXPECT_EQ(apdus(), 0u);
    EXPECT_EQ(label(found[0]), "open");
}

TEST_F(Objects, ChangesAreWrittenAllOrNothing) {
    login();
    const CK_OBJECT_HANDLE object = create(dataObject("open", false));
    const Bytes image = card->serialize();
    Template refused;
    refused.text(CKA_LABEL, "renamed").text(CKA_VALUE, "new value").flag(CKA_PRIVATE, true);
    EXPECT_EQ(f->C_SetAttributeValue(h, object, refused.data(), refused.count()),
              CKR_ATTRIBUTE_READ_ONLY);
    EXPECT_EQ(card->serialize(), image);
    EXPECT_EQ(label(object), "open");

    Template accepted;
    accepted.text(CKA_LABEL, "renamed").text(CKA_VALUE, "new value").text(CKA_APPLICATION, "app");
    ASSERT_EQ(f->C_SetAttributeValue(h, object, accepted.data(), accepted.count()), CKR_OK);
    // Read back from the card, past the cache.
    std::filesystem::remove_all(environment->cacheDirectory());
    EXPECT_EQ(label(object), "renamed");
    EXPECT_EQ(attribute(object, CKA_VALUE), bytes("new value"));
    EXPECT_EQ(attribute(object, CKA_APPLICATION), bytes("app"));
}

// --- handles -------------------------------------------------------------------------

TEST_F(Objects, HandlesAreNeverReusedAndNameNoNewerObject) {
    login();
    const CK_OBJECT_HANDLE created = create(certificate("first", {0x0A}));
    // Found again, an object keeps its handle: searching in a loop adds no records.
    const Handles found = find(ofClass(CKO_CERTIFICATE));
    ASSERT_EQ(found, Handles{created});
    EXPECT_EQ(find(Template()), Handles{created});
    // Every session resolves every handle.
    const CK_SESSION_HANDLE other = open();
    CK_ATTRIBUTE a = {CKA_LABEL, nullptr, 0};
    EXPECT_EQ(f->C_GetAttributeValue(other, created, &a, 1), CKR_OK);

    ASSERT_EQ(f->C_DestroyObject(h, created), CKR_OK);
    CK_RV rv;
    attribute(found[0], CKA_LABEL, &rv);
    EXPECT_EQ(rv, CKR_OBJECT_HANDLE_INVALID);
    // The same class and identifier again: the old handles stay dead.
    const CK_OBJECT_HANDLE again = create(certificate("second", {0x0A}));
    EXPECT_NE(again, created);
    EXPECT_NE(again, found[0]);
    for (CK_OBJECT_HANDLE stale : {created, found[0]}) {
        attribute(stale, CKA_LABEL, &rv);
        EXPECT_EQ(rv, CKR_OBJECT_HANDLE_INVALID);
    }
    EXPECT_EQ(label(again), "second");
    attribute(0, CKA_LABEL, &rv);
    EXPECT_EQ(rv, CKR_OBJECT_HANDLE_INVALID);
}

// Another process on the same card, with the cache directory of this one,
// one of its own or none: a handle follows its object by class and
// identifier, and a search sees what the other process changed.
class ChangedByAnotherProcess : public Objects, public ::testing::WithParamInterface<const char*> {
protected:
    std::string cacheDirectory() const {
        const std::string kind = GetParam();
        if (kind == "SharedCache")
            return environment->cacheDirectory();
        return kind == "OwnCache" ? own.path() : "";
    }
    template <class Work>
    void otherProcess(Work&& work) {
        ctl::LockablePcScCardConnection connection(ctl::PcScReader(READER),
                                                   ctl::CardConnection::MODE_SHARED,
                                                   ctl::CardConnection::PROTOCOL_T0_OR_T1);
        TokenCall call(connection, amw::AMWROLE_USER, cacheDirectory());
        work(call.get());
    }
    TempDir own;
};
INSTANTIATE_TEST_SUITE_P(Caches, ChangedByAnotherProcess,
                         ::testing::Values("SharedCache", "OwnCache", "NoCache"));

TEST_P(ChangedByAnotherProcess, HandlesFollowTheirObjectsAndSearchesSeeTheChange) {
    login();
    create(certificate("cert", {0xC1}));
    create(dataObject("kept", false));
    create(dataObject("doomed", false));
    const Handles certs = find(ofClass(CKO_CERTIFICATE));
    const Handles doomedOnes = find(std::move(Template().text(CKA_LABEL, "doomed")));
    ASSERT_EQ(certs.size(), 1u);
    ASSERT_EQ(doomedOnes.size(), 1u);
    const CK_OBJECT_HANDLE cert = certs[0], doomed = doomedOnes[0];

    otherProcess([&](amw::CachedToken* token) {
        P11X509Certificate renamed(token->findCertificate(id128({0xC1})));
        const std::string text = "renamed";
        renamed.setAttributeValue(CKA_LABEL, reinterpret_cast<const CK_BYTE*>(text.data()),
                                  text.size());
        renamed.commitChanges(token);
        for (amw::DataObject* d : token->getDataObjects())
            if (Bytes(d->label.begin(), d->label.end()) == bytes("doomed")) {
                token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_DATA_OBJECT, true);
                token->deleteDataObject(d);
                break;
            }
        const Template added = certificate("added", {0xC2});
        P11X509Certificate::createObject(token, added.data(), added.count());
    });

    EXPECT_EQ(label(cert), "renamed");
    CK_RV rv;
    attribute(doomed, CKA_LABEL, &rv);
    EXPECT_EQ(rv, CKR_OBJECT_HANDLE_INVALID);
    EXPECT_EQ(foundLabels(Template()), (Labels{"added", "kept", "renamed"}));

    // Gone in the other process between two searches of this one.
    otherProcess([&](amw::CachedToken* token) {
        token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE, true);
        token->deleteCertificate(token->findCertificate(id128({0xC2})));
    });
    EXPECT_EQ(foundLabels(Template()), (Labels{"kept", "renamed"}));
}

TEST_F(Objects, ACardPulledDuringASearch) {
    login();
    for (const char* name : {"a", "b", "c"})
        create(dataObject(name, false));
    ASSERT_EQ(findInit(Template()), CKR_OK);
    svc.removeCard(READER);
    // The objects were listed by C_FindObjectsInit: handing them out needs no card.
    CK_OBJECT_HANDLE found[4];
    CK_ULONG count = 0;
    ASSERT_EQ(f->C_FindObjects(h, found, 4, &count), CKR_OK);
    EXPECT_EQ(count, 3u);
    CK_RV rv;
    attribute(found[0], CKA_LABEL, &rv);
    EXPECT_EQ(rv, CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(f->C_FindObjects(h, found, 4, &count), CKR_SESSION_HANDLE_INVALID);
}

// --- operation keys ------------------------------------------------------------------

// What signing and decryption keep between their init and their call.
TEST_F(Objects, AnOperationKeyNamesAPrivateKeyUntilTheOperationEnds) {
    login();
    const CK_OBJECT_HANDLE privateHandle = create(privateKey("priv"));
    const CK_OBJECT_HANDLE publicHandle = create(publicKey("pub"));
    ScopedLock libraryCall(Library::lock());
    Session& session = *SessionManager::getByHandle(h);
    EXPECT_EQ(failure([&] { session.operationFinal(Session::SIGN); }),
              "The operation has not been inicalized: C_DecryptFinal");
    EXPECT_EQ(
        failure([&] { session.initOperationWithPrivateKeyHandle(publicHandle, Session::SIGN); }),
        "INTERNAL ERROR invalid object class [2]. [236]:libpkcs11/src/internal/session ");
    EXPECT_EQ(failure([&] { session.initOperationWithPrivateKeyHandle(0xBAD, Session::SIGN); }),
              "invalid CK_OBJECT_HANDLE [2989]");

    session.initOperationWithPrivateKeyHandle(privateHandle, Session::DECRYPT);
    EXPECT_TRUE(session.isOperationInitialized(Session::DECRYPT));
    EXPECT_FALSE(session.isOperationInitialized(Session::SIGN));
    {
        SessionCardCall call(session.getConnection());
        const std::unique_ptr<P11RsaPrivateKey> key =
            session.getPrivateKeyForOperation(&call.token(), Session::DECRYPT);
        EXPECT_EQ(Bytes(key->getPkcs11Id().begin(), key->getPkcs11Id().end()), KEY_ID);
        EXPECT_EQ(failure([&] { session.getPrivateKeyForOperation(&call.token(), Session::SIGN); }),
                  "The operation has not been inicalized: C_Decrypt");
        EXPECT_EQ(failure([&] { session.getObject(nullptr, privateHandle); }),
                  "Null pointer exception <token> [Session::getObject() "
                  "libpkcs11/src/internal/session:183]");
    }
    session.operationFinal(Session::DECRYPT);
    EXPECT_FALSE(session.isOperationInitialized(Session::DECRYPT));
}

// --- card traffic ---------------------------------------------------------------------

// "80 0C" for each command of the trace: class and instruction.
std::vector<std::string> instructions(const std::vector<testpcsc::Exchange>& trace) {
    std::vector<std::string> out;
    for (const testpcsc::Exchange& e : trace) {
        char text[8];
        std::snprintf(text, sizeof text, "%02X %02X", e.command[0], e.command[1]);
        out.push_back(text);
    }
    return out;
}

// With the cache files current, a search reads no list from the card.
TEST_F(Objects, WarmSearchSendsOnlyTheFreshnessBlockAndTheSessionPin) {
    createOneOfEach();
    ASSERT_EQ(findInit(Template()), CKR_OK);  // brings every file up to date
    svc.clearTrace(READER);
    ASSERT_EQ(findInit(Template()), CKR_OK);
    // The freshness block, the session PIN, the end of the login.
    EXPECT_EQ(instructions(svc.trace(READER)),
              (std::vector<std::string>{"80 0C", "80 20", "80 22"}));
}

}  // namespace
