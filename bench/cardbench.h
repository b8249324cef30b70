#pragma once
// What the in-process benchmarks share: the module over the in-process PC/SC
// service with one virtual card, and the operations they measure. Each
// operation has a setup that brings the module into the state it needs
// (uninitialised, session, logged in, a target object) and the calls that
// are measured; the setup is never counted.
#include "harness.h"
#include "p11app.h"
#include "p11template.h"
#include "testcerts.h"

#include "vcard/kalvikcard.h"

#include <openssl/sha.h>

#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace cardbench {

using Bytes = std::vector<std::uint8_t>;
const char* const READER = "Reader 0";
const std::string USER_PIN = "123456";
constexpr CK_ULONG KEY_BITS = 2048;
// Cards with this many data objects for the search.
const std::vector<int> OBJECT_COUNTS = {1, 10, 50};
const std::string CERTIFICATE_LABEL = "bench certificate";
const std::string GENERATED_LABEL = "bench generated";

inline void check(CK_RV rv, const char* what) {
    if (rv != CKR_OK) {
        std::ostringstream message;
        message << what << " failed: rv 0x" << std::hex << rv;
        throw std::runtime_error(message.str());
    }
}

// The configuration, written once per process before the module's first
// call; `extra` adds lines (the trace log).
class Configuration {
public:
    explicit Configuration(const std::string& extra) : env_(extra) { env_.SetUp(); }
    ~Configuration() { env_.TearDown(); }
    void wipeCache() const { std::filesystem::remove_all(env_.cacheDirectory()); }

private:
    harness::ConfigurationEnvironment env_;
};

inline Configuration& configuration(const std::string& extra = "") {
    static Configuration c(extra);
    return c;
}

// A SHA-256 DigestInfo, what CKM_RSA_PKCS signs.
inline Bytes digestInfo() {
    Bytes out = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256(reinterpret_cast<const unsigned char*>("bench"), 5, digest.data());
    out.insert(out.end(), digest.begin(), digest.end());
    return out;
}

// The key every card holds, made once per process.
inline EVP_PKEY* hostKey() {
    static testcerts::KeyPtr key = testcerts::rsaKey(KEY_BITS);
    return key.get();
}

enum class Level { Uninitialised, Initialised, Session, LoggedIn };

// The module and the card in the reader, and the state between calls.
class Context {
public:
    CK_FUNCTION_LIST_PTR f = harness::functions();
    testpcsc::Service& svc = testpcsc::service();
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE privateKey = 0, target = 0;
    Bytes ciphertext;
    int serial = 0;  // makes the ids of created objects unique

    // Puts `card` into a fresh service, with the module finalised.
    void insert(std::shared_ptr<vcard::KalvikCard> card) {
        finalize();
        svc.reset();
        svc.addReader(READER);
        svc.insertCard(READER, std::move(card));
    }
    void finalize() {
        if (level_ != Level::Uninitialised)
            f->C_Finalize(nullptr);
        level_ = Level::Uninitialised;
        session = privateKey = target = 0;
    }
    void reach(Level wanted) {
        if (level_ < Level::Initialised && wanted >= Level::Initialised) {
            check(f->C_Initialize(nullptr), "C_Initialize");
            level_ = Level::Initialised;
        }
        if (level_ < Level::Session && wanted >= Level::Session) {
            check(p11app::openSession(f, &session), "C_OpenSession");
            level_ = Level::Session;
        }
        if (level_ < Level::LoggedIn && wanted >= Level::LoggedIn) {
            check(p11app::login(f, session, CKU_USER, USER_PIN), "C_Login");
            level_ = Level::LoggedIn;
        }
    }
    void loggedOut() {
        reach(Level::Session);
        if (level_ == Level::LoggedIn)
            check(f->C_Logout(session), "C_Logout");
        level_ = Level::Session;
    }

    std::vector<CK_OBJECT_HANDLE> find(Template t) {
        check(f->C_FindObjectsInit(session, t.data(), t.count()), "C_FindObjectsInit");
        std::vector<CK_OBJECT_HANDLE> all;
        CK_OBJECT_HANDLE batch[16];
        CK_ULONG n = 0;
        do {
            check(f->C_FindObjects(session, batch, 16, &n), "C_FindObjects");
            all.insert(all.end(), batch, batch + n);
        } while (n > 0);
        check(f->C_FindObjectsFinal(session), "C_FindObjectsFinal");
        return all;
    }
    CK_OBJECT_HANDLE theKey() {
        if (!privateKey) {
            auto keys = find(std::move(Template().ulong(CKA_CLASS, CKO_PRIVATE_KEY)));
            if (keys.empty())
                throw std::runtime_error("no private key on the card");
            privateKey = keys.front();
        }
        return privateKey;
    }
    CK_OBJECT_HANDLE create(Template t) {
        CK_OBJECT_HANDLE h = 0;
        check(f->C_CreateObject(session, t.data(), t.count(), &h), "C_CreateObject");
        return h;
    }
    // Objects an earlier run left, so the card does not fill up.
    void removeAll(const std::string& label) {
        for (CK_OBJECT_HANDLE h : find(std::move(Template().text(CKA_LABEL, label))))
            check(f->C_DestroyObject(session, h), "C_DestroyObject");
    }
    Template certificate() {
        static const Bytes der = testcerts::makeCertificate(hostKey()).der;
        Template t;
        t.ulong(CKA_CLASS, CKO_CERTIFICATE).ulong(CKA_CERTIFICATE_TYPE, CKC_X_509);
        t.flag(CKA_TOKEN, true).text(CKA_LABEL, CERTIFICATE_LABEL).add(CKA_VALUE, der);
        t.add(CKA_ID, Bytes{0x42, static_cast<std::uint8_t>(++serial)});
        return t;
    }

    // What `pkcs11-tool -O` asks of every object: the class, then the
    // attributes it prints for that class, each as a length query and a read.
    void listObjects() {
        for (CK_OBJECT_HANDLE h : find(Template())) {
            CK_OBJECT_CLASS cls = 0;
            CK_ATTRIBUTE a{CKA_CLASS, &cls, sizeof cls};
            check(f->C_GetAttributeValue(session, h, &a, 1), "C_GetAttributeValue");
            for (CK_ATTRIBUTE_TYPE type : shownAttributes(cls))
                readAttribute(h, type);
        }
    }

private:
    static std::vector<CK_ATTRIBUTE_TYPE> shownAttributes(CK_OBJECT_CLASS cls) {
        switch (cls) {
        case CKO_DATA:
            return {CKA_LABEL, CKA_APPLICATION, CKA_OBJECT_ID, CKA_PRIVATE, CKA_MODIFIABLE};
        case CKO_CERTIFICATE:
            return {CKA_CERTIFICATE_TYPE, CKA_LABEL, CKA_SUBJECT, CKA_ID};
        case CKO_PUBLIC_KEY:
        case CKO_PRIVATE_KEY:
            return {CKA_KEY_TYPE,  CKA_LABEL,       CKA_MODULUS_BITS, CKA_ID,      CKA_ENCRYPT,
                    CKA_DECRYPT,   CKA_SIGN,        CKA_VERIFY,       CKA_WRAP,    CKA_UNWRAP,
                    CKA_SENSITIVE, CKA_EXTRACTABLE, CKA_LOCAL,        CKA_PRIVATE, CKA_MODIFIABLE};
        default:
            return {CKA_LABEL};
        }
    }
    // Attributes the object lacks are part of what the tool asks, so their
    // failures are expected.
    void readAttribute(CK_OBJECT_HANDLE h, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        if (f->C_GetAttributeValue(session, h, &a, 1) != CKR_OK ||
            a.ulValueLen == CK_UNAVAILABLE_INFORMATION)
            return;
        Bytes value(a.ulValueLen);
        a.pValue = value.data();
        check(f->C_GetAttributeValue(session, h, &a, 1), "C_GetAttributeValue");
    }

    Level level_ = Level::Uninitialised;
};

// A card holding the key pair (imported: generating one on the virtual card
// costs seconds) and `dataObjects` public data objects, filled through the
// module itself. The module is left finalised.
inline std::shared_ptr<vcard::KalvikCard> makeCard(Context& c, int dataObjects, bool withKey) {
    auto card = std::make_shared<vcard::KalvikCard>();
    c.insert(card);
    c.reach(Level::LoggedIn);
    if (withKey) {
        const testcerts::RsaComponents k = testcerts::rsaComponents(hostKey());
        Template priv, pub;
        priv.ulong(CKA_CLASS, CKO_PRIVATE_KEY).ulong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, {1});
        priv.add(CKA_MODULUS, k.n).add(CKA_PUBLIC_EXPONENT, k.e).add(CKA_PRIME_1, k.p);
        priv.add(CKA_PRIME_2, k.q).add(CKA_EXPONENT_1, k.dp).add(CKA_EXPONENT_2, k.dq);
        priv.add(CKA_COEFFICIENT, k.inv).flag(CKA_SIGN, true).flag(CKA_DECRYPT, true);
        pub.ulong(CKA_CLASS, CKO_PUBLIC_KEY).ulong(CKA_KEY_TYPE, CKK_RSA).add(CKA_ID, {1});
        pub.add(CKA_MODULUS, k.n).add(CKA_PUBLIC_EXPONENT, k.e);
        c.create(std::move(priv));
        c.create(std::move(pub));
    }
    for (int i = 0; i < dataObjects; ++i) {
        Template t;
        t.ulong(CKA_CLASS, CKO_DATA).flag(CKA_TOKEN, true).flag(CKA_PRIVATE, false);
        t.text(CKA_LABEL, "object " + std::to_string(i)).add(CKA_VALUE, Bytes(32, 0xA5));
        c.create(std::move(t));
    }
    c.finalize();
    return card;
}

// One measured operation on a card of its own.
struct Operation {
    std::string name;
    int dataObjects = 0;  // the card's content besides the key pair
    std::function<void(Context&)> setup;
    std::function<void(Context&)> run;
    // Whether `setup` does work again after a first run (it must then be
    // kept out of the timing every time).
    bool setupEachTime = true;
};

// C_SignInit+C_Sign or C_DecryptInit+C_Decrypt (the same signatures) with the
// card's private key on `input`.
inline void privateKeyOperation(Context& c, CK_C_SignInit init, CK_C_Sign run, const Bytes& input,
                                const char* what) {
    CK_MECHANISM m{CKM_RSA_PKCS, nullptr, 0};
    check(init(c.session, &m, c.privateKey), what);
    Bytes out(KEY_BITS / 8);
    CK_ULONG len = out.size();
    check(run(c.session, const_cast<CK_BYTE*>(input.data()), input.size(), out.data(), &len), what);
}

inline std::vector<Operation> operations() {
    std::vector<Operation> ops;
    ops.push_back({"C_Initialize+C_GetSlotList+C_GetTokenInfo", 0, [](Context& c) { c.finalize(); },
                   [](Context& c) {
                       c.reach(Level::Initialised);
                       CK_SLOT_ID slots[4];
                       CK_ULONG n = 4;
                       check(c.f->C_GetSlotList(CK_TRUE, slots, &n), "C_GetSlotList");
                       CK_TOKEN_INFO info;
                       check(c.f->C_GetTokenInfo(slots[0], &info), "C_GetTokenInfo");
                   }});
    // Without a session the module holds no connection to the card.
    for (Level level : {Level::Initialised, Level::LoggedIn})
        ops.push_back({level == Level::LoggedIn ? "C_GetTokenInfo (logged in)" : "C_GetTokenInfo",
                       0, [level](Context& c) { c.reach(level); },
                       [](Context& c) {
                           CK_TOKEN_INFO info;
                           check(c.f->C_GetTokenInfo(0, &info), "C_GetTokenInfo");
                       },
                       false});
    ops.push_back({"C_OpenSession", 0,
                   [](Context& c) {
                       c.reach(Level::Initialised);
                       c.f->C_CloseAllSessions(0);
                   },
                   [](Context& c) {
                       CK_SESSION_HANDLE h;
                       check(p11app::openSession(c.f, &h), "C_OpenSession");
                   }});
    // From a logged-out session, reaching the logged-in level is one C_Login.
    ops.push_back({"C_Login", 0, [](Context& c) { c.loggedOut(); },
                   [](Context& c) { c.reach(Level::LoggedIn); }});
    for (int n : OBJECT_COUNTS)
        ops.push_back({"search+attributes/" + std::to_string(n), n,
                       [](Context& c) { c.reach(Level::Session); },
                       [](Context& c) { c.listObjects(); }, false});
    ops.push_back({"C_SignInit+C_Sign", 0,
                   [](Context& c) {
                       c.reach(Level::LoggedIn);
                       c.theKey();
                   },
                   [](Context& c) {
                       static const Bytes data = digestInfo();
                       privateKeyOperation(c, c.f->C_SignInit, c.f->C_Sign, data, "C_Sign");
                   },
                   false});
    ops.push_back({"C_DecryptInit+C_Decrypt", 0,
                   [](Context& c) {
                       c.reach(Level::LoggedIn);
                       c.theKey();
                       if (c.ciphertext.empty())
                           c.ciphertext = testcerts::rsaEncrypt(hostKey(), digestInfo());
                   },
                   [](Context& c) {
                       privateKeyOperation(c, c.f->C_DecryptInit, c.f->C_Decrypt, c.ciphertext,
                                           "C_Decrypt");
                   },
                   false});
    ops.push_back({"C_GenerateKeyPair", 0,
                   [](Context& c) {
                       c.reach(Level::LoggedIn);
                       c.removeAll(GENERATED_LABEL);
                   },
                   [](Context& c) {
                       Template pub, priv;
                       pub.ulong(CKA_CLASS, CKO_PUBLIC_KEY).ulong(CKA_MODULUS_BITS, KEY_BITS);
                       pub.flag(CKA_VERIFY, true).text(CKA_LABEL, GENERATED_LABEL);
                       priv.ulong(CKA_CLASS, CKO_PRIVATE_KEY).flag(CKA_SIGN, true);
                       priv.text(CKA_LABEL, GENERATED_LABEL);
                       priv.add(CKA_ID, {0x77, static_cast<std::uint8_t>(++c.serial)});
                       CK_MECHANISM m{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
                       CK_OBJECT_HANDLE a, b;
                       check(c.f->C_GenerateKeyPair(c.session, &m, pub.data(), pub.count(),
                                                    priv.data(), priv.count(), &a, &b),
                             "C_GenerateKeyPair");
                   }});
    ops.push_back({"C_CreateObject(certificate)", 0,
                   [](Context& c) {
                       c.reach(Level::LoggedIn);
                       c.removeAll(CERTIFICATE_LABEL);
                   },
                   [](Context& c) { c.target = c.create(c.certificate()); }});
    ops.push_back(
        {"C_DestroyObject(certificate)", 0,
         [](Context& c) {
             c.reach(Level::LoggedIn);
             c.removeAll(CERTIFICATE_LABEL);
             c.target = c.create(c.certificate());
         },
         [](Context& c) { check(c.f->C_DestroyObject(c.session, c.target), "C_DestroyObject"); }});
    return ops;
}

}  // namespace cardbench
