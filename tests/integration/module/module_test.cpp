// The built module as an application sees it: loaded with dlopen, reached
// only through C_GetFunctionList.
#include "cryptoki.h"
#include "logrecords.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <set>
#include <string>

using logrecords::emptyLine;
using logrecords::record;

namespace {

using logrecords::EnabledLog;

void* module = nullptr;
CK_FUNCTION_LIST_PTR functions = nullptr;

// Logging is configured before the module reads its configuration, which
// happens at its first traced call.
class ModuleEnvironment : public EnabledLog {
public:
    void SetUp() override {
        EnabledLog::SetUp();
        module = ::dlopen(BRISANE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr) << ::dlerror();
    }
    void TearDown() override {
        if (module)
            ::dlclose(module);
        EnabledLog::TearDown();
    }
};
const auto* const environment = ::testing::AddGlobalTestEnvironment(new ModuleEnvironment);

CK_C_GetFunctionList getFunctionList() {
    return reinterpret_cast<CK_C_GetFunctionList>(::dlsym(module, "C_GetFunctionList"));
}

std::vector<std::string> newLines() {
    return logrecords::newLines(logrecords::logFileIn(EnabledLog::dir().path()));
}

std::string addressText(const void* p) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "[address=0x%lx]",
                  static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(p)));
    return buf;
}

// Drops the records of the slot and session managers' init and finalize,
// which depend on the PC/SC service of the machine (running or not, readers
// or not); the test checks separately that C_Initialize and C_Finalize ran them.
std::vector<std::string> withoutSlotManager(const std::vector<std::string>& lines) {
    std::vector<std::string> kept;
    std::string inside;
    for (const std::string& line : lines) {
        if (inside.empty()) {
            for (const char* nested :
                 {"SlotManager::init", "SlotManager::finalize", "SessionManager::finalize"})
                if (line.find(std::string("Entering ") + nested + "()") != std::string::npos)
                    inside = nested;
            if (inside.empty())
                kept.push_back(line);
        } else if (line.size() >= inside.size() + 8 &&
                   line.compare(line.size() - inside.size() - 8, std::string::npos,
                                "Leaving " + inside) == 0) {
            inside.clear();
        }
    }
    return kept;
}

std::size_t countContaining(const std::vector<std::string>& lines, const std::string& text) {
    std::size_t n = 0;
    for (const std::string& line : lines)
        n += line.find(text) != std::string::npos;
    return n;
}

// Calls an entry with every argument zero / null.
template <class... A>
CK_RV callWithZeros(CK_RV (*entry)(A...)) {
    return entry(A{}...);
}

// Runs before the library is ever initialised (tests run in file order).
TEST(Module, FunctionListBeforeInitialisation) {
    ASSERT_NE(getFunctionList(), nullptr);
    EXPECT_EQ(getFunctionList()(nullptr), CKR_ARGUMENTS_BAD);
    ASSERT_EQ(getFunctionList()(&functions), CKR_OK);
    ASSERT_NE(functions, nullptr);
    EXPECT_EQ(functions->version.major, 2);
    EXPECT_EQ(functions->version.minor, 20);

    // 68 entry points right after the version, all present.
    const unsigned char* base = reinterpret_cast<const unsigned char*>(functions);
    for (int i = 0; i < 68; ++i) {
        void* entry;
        std::memcpy(&entry, base + sizeof(void*) * (1 + i), sizeof entry);
        EXPECT_NE(entry, nullptr) << "entry " << i;
    }
    CK_FUNCTION_LIST_PTR again = nullptr;
    EXPECT_EQ(functions->C_GetFunctionList(&again), CKR_OK);
    EXPECT_EQ(again, functions);
}

TEST(Module, EveryEntryAnswersBeforeInitialisation) {
    // Lifecycle entries have their own tests; C_WaitForSlotEvent may block.
    const std::set<std::string> skipped = {"C_Initialize", "C_Finalize", "C_GetInfo",
                                           "C_GetFunctionList", "C_WaitForSlotEvent"};
    // With every argument zero, each entry answers from its first check: the
    // library state, or "not supported" for the 37 entries without a body.
    int checked = 0, notSupported = 0;
#define CHECK_ENTRY(name, params)                                                           \
    if (!skipped.count(#name)) {                                                            \
        ++checked;                                                                          \
        CK_RV rv = callWithZeros(functions->name);                                          \
        notSupported += rv == CKR_FUNCTION_NOT_SUPPORTED;                                   \
        EXPECT_TRUE(rv == CKR_FUNCTION_NOT_SUPPORTED || rv == CKR_CRYPTOKI_NOT_INITIALIZED) \
            << #name << " " << rv;                                                          \
    }
    CRYPTOKI_FUNCTIONS(CHECK_ENTRY)
#undef CHECK_ENTRY
    EXPECT_EQ(checked, 63);
    EXPECT_EQ(notSupported, 37);

    CK_INFO info;
    EXPECT_EQ(functions->C_GetInfo(&info), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(functions->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
}

TEST(Module, GetInfoPaddingAndInitialiseOncePerCycle) {
    ASSERT_EQ(functions->C_Initialize(nullptr), CKR_OK);
    CK_INFO info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(functions->C_GetInfo(&info), CKR_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.manufacturerID), 32),
              "Marvolen s.r.o." + std::string(17, ' '));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(info.libraryDescription), 32),
              "Brisane 3.0 PKCS#11" + std::string(13, ' '));
    EXPECT_EQ(functions->C_GetInfo(nullptr), CKR_ARGUMENTS_BAD);
    // Not-supported entries answer the same once initialised.
    EXPECT_EQ(functions->C_InitToken(0, nullptr, 0, nullptr), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(functions->C_Finalize(nullptr), CKR_OK);

    // Any initialise arguments are accepted, once per cycle.
    CK_C_INITIALIZE_ARGS withCallbacks = {};
    withCallbacks.CreateMutex = [](CK_VOID_PTR_PTR) -> CK_RV { return CKR_GENERAL_ERROR; };
    withCallbacks.flags = CKF_LIBRARY_CANT_CREATE_OS_THREADS;
    withCallbacks.pReserved = &withCallbacks;  // not examined either

    for (int cycle = 0; cycle < 2; ++cycle) {
        EXPECT_EQ(functions->C_Initialize(&withCallbacks), CKR_OK);
        EXPECT_EQ(functions->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
        EXPECT_EQ(functions->C_Finalize(nullptr), CKR_OK);
        EXPECT_EQ(functions->C_Finalize(nullptr), CKR_CRYPTOKI_NOT_INITIALIZED);
    }
}

TEST(Module, TraceLogOfTheLifecycle) {
    newLines();  // what the tests above logged
    CK_INFO info;
    getFunctionList()(nullptr);
    functions->C_Initialize(nullptr);
    functions->C_Initialize(nullptr);
    functions->C_GetInfo(&info);
    functions->C_VerifyInit(0, nullptr, 0);
    functions->C_Finalize(nullptr);
    const std::vector<std::string> lines = newLines();
    EXPECT_EQ(countContaining(lines, "Entering SlotManager::init()"), 1u);
    EXPECT_EQ(countContaining(lines, "Entering SlotManager::finalize()"), 1u);
    EXPECT_EQ(countContaining(lines, "Entering SessionManager::finalize()"), 1u);
    logrecords::expectLines(
        withoutSlotManager(lines),
        {record("PKCS11", 0, "Entering C_GetFunctionList()"),
         record("PKCS11", 1, "Returning 7 [0x00000007]"),
         record("PKCS11", 0, "Leaving C_GetFunctionList"),
         emptyLine(),
         record("PKCS11", 0, "Entering C_Initialize()"),
         record("PKCS11", 1, "pInitArgs = NULL"),
         record("PKCS11", 1, "Returning CKR_OK [0] "),
         record("PKCS11", 0, "Leaving C_Initialize"),
         emptyLine(),
         record("PKCS11", 0, "Entering C_Initialize()"),
         record("PKCS11", 1, "pInitArgs = NULL"),
         record("PKCS11", 1, "Returning CKR_CRYPTOKI_ALREADY_INITIALIZED [401] FUFU"),
         record("PKCS11", 0, "Leaving C_Initialize"),
         emptyLine(),
         record("PKCS11", 0, "Entering C_GetInfo()"),
         record("PKCS11", 1, "pInfo = " + addressText(&info)),
         record("PKCS11", 1, "Returning CKR_OK [0] "),
         record("PKCS11", 0, "Leaving C_GetInfo"),
         emptyLine(),
         record("PKCS11", 0, "Entering C_VerifyInit()"),
         record("PKCS11", 1, "Returning 84 [0x00000054]"),
         record("PKCS11", 0, "Leaving C_VerifyInit"),
         emptyLine(),
         record("PKCS11", 0, "Entering C_Finalize()"),
         record("PKCS11", 1, "pReserved = NULL"),
         record("PKCS11", 1, "Returning CKR_OK [0] "),
         record("PKCS11", 0, "Leaving C_Finalize"),
         emptyLine()});
}

}  // namespace
