// A fork() child of an application that uses the module starts afresh and
// leaves what belongs to the parent alone. The child runs on its own copy of
// the in-process PC/SC service, so the parent's contexts and handles are
// looked at there; tests/e2e/module checks the parent through real pcscd.
#include "harness.h"
#include "library.h"

#include "vcard/kalvikcard.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new harness::ConfigurationEnvironment(""));

const char* const READER = "Reader 0";
const std::string USER_PIN = "123456";

// Runs `child` in a fork() child and returns what it reports: empty when
// all went well. A child that hangs is stopped by an alarm.
std::string inChild(const std::function<std::string()>& child) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0)
        return "no pipe";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeEnds[0]);
        ::alarm(30);
        std::string report;
        try {
            report = child();
        } catch (...) {
            report = "exception in the child";
        }
        if (::write(pipeEnds[1], report.data(), report.size()) < 0)
            ::_exit(2);
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    std::string report;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0)
        report.append(buffer, static_cast<std::size_t>(n));
    ::close(pipeEnds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status))
        return "child did not finish: signal " + std::to_string(WTERMSIG(status));
    return report;
}

// Appends a line to the child's report unless `actual` equals `expected`.
#define CHILD_EXPECT_EQ(report, actual, expected)                                    \
    do {                                                                             \
        const auto actualValue = (actual);                                           \
        if (actualValue != (expected))                                               \
            (report) += std::string(#actual) + " = " + std::to_string(actualValue) + \
                        ", expected " #expected "\n";                                \
    } while (0)

class Fork : public harness::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        svc.addReader(READER);
        svc.insertCard(READER, std::make_shared<vcard::KalvikCard>());
    }
    CK_SESSION_HANDLE openAndLogIn() {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &h),
                  CKR_OK);
        login(h);
        return h;
    }
    CK_RV login(CK_SESSION_HANDLE h) {
        return f->C_Login(h, CKU_USER,
                          reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(USER_PIN.data())),
                          USER_PIN.size());
    }
    CK_STATE state(CK_SESSION_HANDLE h) {
        CK_SESSION_INFO info{};
        return f->C_GetSessionInfo(h, &info) == CKR_OK ? info.state : 0xFFFF;
    }
};

TEST_F(Fork, ChildStartsAfreshWithoutTouchingTheParentsHandlesOrWaiter) {
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    const CK_SESSION_HANDLE parentSession = openAndLogIn();
    ASSERT_EQ(state(parentSession), CKS_RW_USER_FUNCTIONS);
    CK_SLOT_ID slot;
    while (f->C_WaitForSlotEvent(CKF_DONT_BLOCK, &slot, nullptr) == CKR_OK) {
    }
    auto waiter = std::async(std::launch::async, [&] {
        CK_SLOT_ID any;
        return f->C_WaitForSlotEvent(0, &any, nullptr);
    });
    ASSERT_TRUE(svc.waitUntilBlocked(testpcsc::Function::GetStatusChange, 1, 5s));

    const std::string report = inChild([&] {
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
    const std::string report = inChild([&] {
        std::string r;
        CHILD_EXPECT_EQ(r, f->C_Initialize(nullptr), CKR_OK);
        CHILD_EXPECT_EQ(r, f->C_Finalize(nullptr), CKR_OK);
        return r;
    });
    busy.join();
    EXPECT_EQ(report, "");
}

}  // namespace
