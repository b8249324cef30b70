// Eight application threads drive sessions, login, object search, attributes,
// signing and slot events while another pulls, reinserts and resets the card.
// Every call must end with a code that the card's coming and going explains,
// nothing may hang, and C_Finalize must leave no PC/SC handle behind.
#include "harness.h"
#include "p11app.h"
#include "p11template.h"

#include "vcard/kalvikcard.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

harness::ConfigurationEnvironment* const environment = harness::installConfiguration("");

const char* const READER = "Reader 0";
const std::string USER_PIN = "123456";

// What a card pulled or reset under a call may turn into, besides CKR_OK.
const std::set<CK_RV> CARD_GONE = {CKR_TOKEN_NOT_PRESENT,      CKR_DEVICE_REMOVED,
                                   CKR_SESSION_HANDLE_INVALID, CKR_SESSION_CLOSED,
                                   CKR_TOKEN_NOT_RECOGNIZED,   CKR_USER_NOT_LOGGED_IN,
                                   CKR_OBJECT_HANDLE_INVALID,  CKR_KEY_HANDLE_INVALID};

// Codes seen per function that are neither OK nor explained by the card.
class Verdicts {
public:
    void check(const char* function, CK_RV rv, std::set<CK_RV> alsoLegal = {}) {
        if (rv == CKR_OK || CARD_GONE.count(rv) || alsoLegal.count(rv))
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        illegal_[std::string(function) + " -> " + std::to_string(rv)]++;
    }
    std::map<std::string, int> illegal() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return illegal_;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, int> illegal_;
};

// Aborts the process when the test has not ended in time: a hang is a failure too.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit)
        : thread_([this, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "stress test hung for %llds\n",
                               static_cast<long long>(limit.count()));
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

class Stress : public harness::ModuleTest {};

TEST_F(Stress, CallsStayLegalWhileTheCardComesAndGoes) {
    Watchdog watchdog(120s);
    svc.addReader(READER);
    auto card = std::make_shared<vcard::KalvikCard>();
    svc.insertCard(READER, card);
    CK_C_INITIALIZE_ARGS args{};
    args.flags = CKF_OS_LOCKING_OK;
    ASSERT_EQ(f->C_Initialize(&args), CKR_OK);

    // One key to sign with, generated before the card starts moving.
    {
        CK_SESSION_HANDLE session;
        ASSERT_EQ(p11app::openSession(f, &session), CKR_OK);
        ASSERT_EQ(p11app::login(f, session, CKU_USER, USER_PIN), CKR_OK);
        Template pub, priv;
        pub.ulong(CKA_CLASS, CKO_PUBLIC_KEY).ulong(CKA_MODULUS_BITS, 1024).add(CKA_ID, {0x51});
        priv.ulong(CKA_CLASS, CKO_PRIVATE_KEY).flag(CKA_SIGN, true).add(CKA_ID, {0x51});
        CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
        CK_OBJECT_HANDLE publicKey, privateKey;
        ASSERT_EQ(f->C_GenerateKeyPair(session, &mechanism, pub.data(), pub.count(), priv.data(),
                                       priv.count(), &publicKey, &privateKey),
                  CKR_OK);
        ASSERT_EQ(f->C_CloseSession(session), CKR_OK);
    }

    Verdicts verdicts;
    std::atomic<bool> stop{false};
    std::atomic<int> signatures{0};
    const std::set<CK_RV> loginAlso = {CKR_USER_ALREADY_LOGGED_IN};

    auto worker = [&] {
        while (!stop) {
            CK_SESSION_HANDLE session;
            CK_RV rv = p11app::openSession(f, &session);
            verdicts.check("C_OpenSession", rv);
            if (rv != CKR_OK) {
                CK_SLOT_ID slot;
                verdicts.check("C_WaitForSlotEvent",
                               f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr),
                               {CKR_NO_EVENT});
                std::this_thread::sleep_for(1ms);
                continue;
            }
            verdicts.check("C_Login", p11app::login(f, session, CKU_USER, USER_PIN), loginAlso);

            Template query;
            query.ulong(CKA_CLASS, CKO_PRIVATE_KEY);
            CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
            CK_ULONG found = 0;
            rv = f->C_FindObjectsInit(session, query.data(), query.count());
            verdicts.check("C_FindObjectsInit", rv);
            if (rv == CKR_OK) {
                verdicts.check("C_FindObjects", f->C_FindObjects(session, &key, 1, &found));
                verdicts.check("C_FindObjectsFinal", f->C_FindObjectsFinal(session));
            }
            if (found == 1) {
                std::uint8_t modulus[256];
                CK_ATTRIBUTE attribute{CKA_MODULUS, modulus, sizeof modulus};
                verdicts.check("C_GetAttributeValue",
                               f->C_GetAttributeValue(session, key, &attribute, 1));
                CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
                rv = f->C_SignInit(session, &mechanism, key);
                verdicts.check("C_SignInit", rv);
                if (rv == CKR_OK) {
                    std::uint8_t data[20] = {1, 2, 3};
                    std::uint8_t signature[128];
                    CK_ULONG length = sizeof signature;
                    rv = f->C_Sign(session, data, sizeof data, signature, &length);
                    verdicts.check("C_Sign", rv);
                    if (rv == CKR_OK)
                        ++signatures;
                }
            }
            CK_SLOT_ID slot;
            verdicts.check("C_WaitForSlotEvent",
                           f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr), {CKR_NO_EVENT});
            verdicts.check("C_CloseSession", f->C_CloseSession(session));
        }
    };

    std::vector<std::thread> workers;
    for (int i = 0; i < 8; ++i)
        workers.emplace_back(worker);
    const auto end = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(150ms);
        svc.removeCard(READER);
        std::this_thread::sleep_for(20ms);
        svc.insertCard(READER, card);
        std::this_thread::sleep_for(150ms);
        svc.resetCard(READER);
    }
    stop = true;
    for (std::thread& t : workers)
        t.join();

    EXPECT_EQ(f->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(verdicts.illegal(), (std::map<std::string, int>{}));
    EXPECT_GT(signatures.load(), 0) << "the card was never usable between the faults";
    EXPECT_EQ(svc.openHandles(), 0u);
    EXPECT_EQ(svc.openContexts(), 0u);
}

}  // namespace
