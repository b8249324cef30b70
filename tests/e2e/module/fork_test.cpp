// The built module in an application that forks, through the real pcscd
// (fixture pcsc_stack: the card with user PIN 123456 in slot 0). The parent
// is logged in and has a thread waiting for slot events; the child
// initialises afresh, logs in and finalises; the parent then keeps working
// and its waiter is still waiting.
#include "childprocess.h"
#include "cryptoki.h"
#include "p11app.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

const std::string USER_PIN = "123456";

class ForkedApplication : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string conf = work.write("brisane.txt", "cache = " + work.path() + "/cache/\n");
        ::setenv("BRISANE_CONF", conf.c_str(), 1);
        module = ::dlopen(BRISANE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr) << ::dlerror();
        auto getFunctionList =
            reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module, "C_GetFunctionList"));
        ASSERT_EQ(getFunctionList(&f), CKR_OK);
    }
    void TearDown() override {
        if (f)
            f->C_Finalize(nullptr);
        if (module)
            ::dlclose(module);
    }

    CK_RV openSession(CK_SESSION_HANDLE* h) { return p11app::openSession(f, h); }
    CK_RV login(CK_SESSION_HANDLE h) { return p11app::login(f, h, CKU_USER, USER_PIN); }
    CK_STATE state(CK_SESSION_HANDLE h) { return p11app::state(f, h); }
    CK_RV tokenInfo() {
        CK_TOKEN_INFO info;
        return f->C_GetTokenInfo(0, &info);
    }

    TempDir work;
    void* module = nullptr;
    CK_FUNCTION_LIST_PTR f = nullptr;
};

TEST_F(ForkedApplication, ChildSignsInAndFinalisesWhileTheParentKeepsWorking) {
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    CK_SESSION_HANDLE parentSession = 0;
    ASSERT_EQ(openSession(&parentSession), CKR_OK);
    ASSERT_EQ(login(parentSession), CKR_OK);
    auto waiter = p11app::waitForNextSlotEvent(f);
    // Real pcscd cannot say when the wait is blocked; give it time to get there.
    std::this_thread::sleep_for(500ms);

    const std::string report = childprocess::run([&] {
        std::string r;
        CHILD_EXPECT_EQ(r, f->C_Initialize(nullptr), CKR_OK);
        CK_SESSION_HANDLE h = 0;
        CHILD_EXPECT_EQ(r, openSession(&h), CKR_OK);
        CHILD_EXPECT_EQ(r, state(h), CKS_RW_PUBLIC_SESSION);
        CHILD_EXPECT_EQ(r, login(h), CKR_OK);
        CHILD_EXPECT_EQ(r, state(h), CKS_RW_USER_FUNCTIONS);
        CHILD_EXPECT_EQ(r, tokenInfo(), CKR_OK);
        CHILD_EXPECT_EQ(r, f->C_Finalize(nullptr), CKR_OK);
        return r;
    });
    EXPECT_EQ(report, "");

    // The child neither cancelled the parent's wait nor released its
    // context or card handle inside pcscd.
    EXPECT_EQ(waiter.wait_for(1s), std::future_status::timeout);
    EXPECT_EQ(state(parentSession), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(login(parentSession), CKR_OK);
    EXPECT_EQ(tokenInfo(), CKR_OK);
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    ASSERT_EQ(waiter.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), CKR_CRYPTOKI_NOT_INITIALIZED);
}

}  // namespace
