// A fork() child of an application that uses the module starts afresh and
// leaves what belongs to the parent alone. The child runs on its own copy of
// the in-process PC/SC service, so the parent's contexts and handles are
// looked at there; tests/e2e/module checks the parent through real pcscd.
#include "childprocess.h"
#include "harness.h"
#include "library.h"
#include "p11app.h"

#include "vcard/kalvikcard.h"

#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new harness::ConfigurationEnvironment(""));

const char* const READER = "Reader 0";
const std::string USER_PIN = "123456";

class Fork : public harness::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        svc.addReader(READER);
        svc.insertCard(READER, std::make_shared<vcard::KalvikCard>());
    }
    CK_RV login(CK_SESSION_HANDLE h) { return p11app::login(f, h, CKU_USER, USER_PIN); }
    CK_STATE state(CK_SESSION_HANDLE h) { return p11app::state(f, h); }
};

TEST_F(Fork, ChildStartsAfreshWithoutTouchingTheParentsHandlesOrWaiter) {
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    CK_SESSION_HANDLE parentSession = 0;
    ASSERT_EQ(p11app::openSession(f, &parentSession), CKR_OK);
    ASSERT_EQ(login(parentSession), CKR_OK);
    auto waiter = p11app::waitForNextSlotEvent(f);
    ASSERT_TRUE(svc.waitUntilBlocked(testpcsc::Function::GetStatusChange, 1, 5s));

    const std::string report = childprocess::run([&] {
        std::string r;
        const std::size_t contexts = svc.openContexts();
        const std::size_t handles = svc.openHandles();
        CK_SESSION_INFO info;
        CK_SLOT_ID any;
        // Nothing of the parent's is usable before the child initialises.
        CHILD_EXPECT_EQ(r, f->C_GetSessionInfo(parentSession, &info), CKR_CRYPTOKI_NOT_INITIALIZED);
        CHILD_EXPECT_EQ(r, f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &any, nullptr),
                        CKR_CRYPTOKI_NOT_INITIALIZED);
        CHILD_EXPECT_EQ(r, f->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);

        CHILD_EXPECT_EQ(r, f->C_Initialize(nullptr), CKR_OK);
        CHILD_EXPECT_EQ(r, f->C_GetSessionInfo(parentSession, &info), CKR_SESSION_HANDLE_INVALID);
        CK_SESSION_HANDLE h = 0;
        CHILD_EXPECT_EQ(r, f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
        CHILD_EXPECT_EQ(r, state(h), CKS_RO_PUBLIC_SESSION);  // the parent's login is not inherited
        CHILD_EXPECT_EQ(r, login(h), CKR_OK);
        CHILD_EXPECT_EQ(r, f->C_Finalize(nullptr), CKR_OK);
        // The child closed what it opened and nothing of the parent's.
        CHILD_EXPECT_EQ(r, svc.openContexts(), contexts);
        CHILD_EXPECT_EQ(r, svc.openHandles(), handles);
        return r;
    });
    EXPECT_EQ(report, "");
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(waiter.get(), CKR_CRYPTOKI_NOT_INITIALIZED);
}

TEST_F(Fork, ChildDoesNotInheritTheLibraryLockOfABusyThread) {
    std::promise<void> locked;
    std::thread busy([&] {
        // A C_ call in progress in another thread while the process forks.
        Library::lock().lock();
        locked.set_value();
        std::this_thread::sleep_for(200ms);
        Library::lock().unlock();
    });
    locked.get_future().wait();
    const std::string report = childprocess::run([&] {
        std::string r;
        CHILD_EXPECT_EQ(r, f->C_Initialize(nullptr), CKR_OK);
        CHILD_EXPECT_EQ(r, f->C_Finalize(nullptr), CKR_OK);
        return r;
    });
    busy.join();
    EXPECT_EQ(report, "");
}

}  // namespace
