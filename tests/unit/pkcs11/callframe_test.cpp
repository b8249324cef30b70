#include "callframe.h"
#include "exceptions.h"
#include "names.h"
#include "processlog.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <set>
#include <stdexcept>
#include <thread>
#include <typeinfo>

using logrecords::emptyLine;
using logrecords::newLines;
using logrecords::record;

namespace {

const auto* const environment = ::testing::AddGlobalTestEnvironment(new logrecords::EnabledLog);

// Frames as the C_ functions build them, with the initialisation check off:
// this process never runs C_Initialize.
CallFrame sessionFrame(const char* function, CK_SESSION_HANDLE session) {
    CallFrame f = CallFrame::sessionCall(function, session);
    f.checkInitialized = false;
    return f;
}
CallFrame libraryFrame(const char* function) {
    CallFrame f = CallFrame::libraryCall(function);
    f.checkInitialized = false;
    return f;
}

// Records the sessions the frame asks to invalidate.
struct InvalidationSpy {
    std::vector<CK_SESSION_HANDLE> calls;
    InvalidationSpy() {
        Library::setSessionInvalidator([this](CK_SESSION_HANDLE h) { calls.push_back(h); });
    }
    ~InvalidationSpy() { Library::setSessionInvalidator(nullptr); }
};

struct LadderCase {
    const char* name;
    std::function<void()> raise;
    CK_RV rv;
};

class CatchLadder : public ::testing::TestWithParam<LadderCase> {};

// Every class of the tree, thrown from the work, gives its CK_RV and the
// records "EXCEPTION CAUGHT <message>" and the result.
TEST_P(CatchLadder, MapsEachExceptionClass) {
    const LadderCase& c = GetParam();
    InvalidationSpy spy;
    std::string message;
    try {
        c.raise();
    } catch (const QVException& e) {
        message = e.what();
    } catch (...) {
    }
    newLines();
    CK_RV rv = runCallFrame(sessionFrame("C_Sign", 0x1234), noArguments, [&]() -> CK_RV {
        c.raise();
        return CKR_OK;
    });
    EXPECT_EQ(rv, c.rv) << ckrName(rv);
    EXPECT_TRUE(spy.calls.empty());
    logrecords::expectLines(newLines(), {record("PKCS11", 0, "Entering C_Sign()"),
                                         record("PKCS11", 1, "EXCEPTION CAUGHT " + message),
                                         record("PKCS11", 1, "Returning " + resultText(c.rv)),
                                         record("PKCS11", 0, "Leaving C_Sign"), emptyLine()});
}

INSTANTIATE_TEST_SUITE_P(
    EveryClass, CatchLadder,
    ::testing::Values(
        LadderCase{"AttributeTypeInvalid", [] { throw AttributeTypeInvalidException(1, "CKA_TOKEN"); },
                   CKR_ATTRIBUTE_TYPE_INVALID},
        LadderCase{"AttributeBufferTooSmall", [] { throw AttributeBufferTooSmallException(1, 2); },
                   CKR_BUFFER_TOO_SMALL},
        LadderCase{"AttributeSensitive", [] { throw AttributeTypeSensitiveException(1, "x"); },
                   CKR_ATTRIBUTE_SENSITIVE},
        LadderCase{"AttributeReadOnly", [] { throw AttributeReadOnlyException(1, "x"); },
                   CKR_ATTRIBUTE_READ_ONLY},
        LadderCase{"TemplateInconsistent", [] { throw TemplateInconsistentException(1); },
                   CKR_TEMPLATE_INCONSISTENT},
        LadderCase{"TemplateIncomplete", [] { throw TemplateIncompleteException(1); },
                   CKR_TEMPLATE_INCOMPLETE},
        LadderCase{"AttributeValueInvalid", [] { throw AttributValueInvalidException(1); },
                   CKR_ATTRIBUTE_VALUE_INVALID},
        LadderCase{"ObjectHandle", [] { throw InvalidObjectHandleException(1); },
                   CKR_OBJECT_HANDLE_INVALID},
        LadderCase{"SessionHandle", [] { throw InvalidSessionHandleException(1); },
                   CKR_SESSION_HANDLE_INVALID},
        LadderCase{"Slot", [] { throw SlotNotFoundException(1); }, CKR_SLOT_ID_INVALID},
        LadderCase{"OperationNotInitialized", [] { throw OperationNotInitialized("sign"); },
                   CKR_OPERATION_NOT_INITIALIZED},
        LadderCase{"LibraryNotInitialized", [] { throw LibraryNotInicializedException(); },
                   CKR_CRYPTOKI_NOT_INITIALIZED},
        LadderCase{"RwSoExists", [] { throw ReadWriteSoSessionExistsException(); },
                   CKR_SESSION_READ_WRITE_SO_EXISTS},
        LadderCase{"EncryptedLength", [] { throw InvalidEncryptedDataLength(1); },
                   CKR_ENCRYPTED_DATA_LEN_RANGE},
        LadderCase{"Encrypted", [] { throw InvalidEncryptedData("x"); }, CKR_ENCRYPTED_DATA_INVALID},
        LadderCase{"PlainLength", [] { throw InvalidPlainTextDataLength(1); }, CKR_DATA_LEN_RANGE},
        LadderCase{"DuplicateId", [] { throw amw::DuplicatePkcs11IdException(); },
                   CKR_ATTRIBUTE_VALUE_INVALID},
        LadderCase{"SecurityViolation", [] { throw amw::SecurityViolationException(); },
                   CKR_USER_NOT_LOGGED_IN},
        LadderCase{"CardOutOfMemory", [] { throw amw::CardOutOfMemoryException(); },
                   CKR_DEVICE_MEMORY},
        LadderCase{"PinPad", [] { throw amw::PinPadException(0); }, CKR_FUNCTION_CANCELED},
        LadderCase{"PinPolicy", [] { throw amw::PinPolicyViolationException(); }, CKR_PIN_LEN_RANGE},
        LadderCase{"OtherPcscCode", [] { throw ctl::CtlException(0x80100017); }, CKR_DEVICE_ERROR},
        LadderCase{"Base", [] { throw QVException("plain %d", 1); }, CKR_FUNCTION_FAILED},
        LadderCase{"InvalidArgument", [] { throw InvalidArgumentException::invalid("a", "f", "s", 1); },
                   CKR_FUNCTION_FAILED},
        LadderCase{"ReaderNotInSlot", [] { throw ReaderNotInSlotException(2); }, CKR_FUNCTION_FAILED},
        LadderCase{"Internal", [] { throw InternalErrorException("x"); }, CKR_FUNCTION_FAILED},
        LadderCase{"FreshnessCounter", [] { throw amw::FreshnessCounterException("ao"); },
                   CKR_FUNCTION_FAILED},
        LadderCase{"Tlv", [] { throw TlvParserException("x"); }, CKR_FUNCTION_FAILED},
        LadderCase{"Lv", [] { throw LvParserException("x"); }, CKR_FUNCTION_FAILED},
        LadderCase{"Serialization", [] { throw SerializationException(); }, CKR_FUNCTION_FAILED},
        LadderCase{"SW", [] { throw amw::SWException(0x6A80); }, CKR_FUNCTION_FAILED},
        LadderCase{"AppletNotSelected", [] { throw amw::AppletNotSelectedException(); },
                   CKR_FUNCTION_FAILED},
        LadderCase{"BufferSize", [] { throw amw::InvalidBufferSizeException(1, 2); },
                   CKR_FUNCTION_FAILED},
        LadderCase{"UnknownProperty", [] { throw amw::UnknownPropertyException(); },
                   CKR_FUNCTION_FAILED}),
    [](const ::testing::TestParamInfo<LadderCase>& info) { return info.param.name; });

TEST(CatchLadder, ForeignExceptionsAreGeneralErrors) {
    const std::function<void()> raisers[] = {
        [] { throw std::bad_alloc(); },
        [] { throw std::length_error("too long"); },
        [] { throw std::bad_cast(); },
        [] { throw 42; },
    };
    for (const auto& raise : raisers) {
        newLines();
        CK_RV rv = runCallFrame(libraryFrame("C_OpenSession"), noArguments, [&]() -> CK_RV {
            raise();
            return CKR_OK;
        });
        EXPECT_EQ(rv, CKR_GENERAL_ERROR);
        logrecords::expectLines(newLines(),
                                {record("PKCS11", 0, "Entering C_OpenSession()"),
                                 record("PKCS11", 1, "UNKNOWN EXCEPTION CAUGHT"),
                                 record("PKCS11", 1, "Returning CKR_GENERAL_ERROR [5] FUFU"),
                                 record("PKCS11", 0, "Leaving C_OpenSession"), emptyLine()});
    }
}

TEST(CardGone, RemovedOrResetCardInvalidatesOnlyOnSessionBearingCalls) {
    struct {
        std::uint32_t code;
        bool sessionBearing;
        CK_RV rv;
        bool invalidates;
    } cases[] = {
        {0x80100068, true, CKR_SESSION_CLOSED, true},
        {0x80100069, true, CKR_TOKEN_NOT_PRESENT, true},
        {0x80100002, true, CKR_DEVICE_ERROR, false},
        {0x80100068, false, CKR_SESSION_CLOSED, false},
        {0x80100069, false, CKR_TOKEN_NOT_PRESENT, false},
        {0x80100069 + 1, false, CKR_DEVICE_ERROR, false},
    };
    for (const auto& k : cases) {
        InvalidationSpy spy;
        CallFrame frame = k.sessionBearing ? sessionFrame("C_Sign", 77) : libraryFrame("C_OpenSession");
        CK_RV rv = runCallFrame(frame, noArguments, [&]() -> CK_RV { throw ctl::CtlException(k.code); });
        EXPECT_EQ(rv, k.rv) << std::hex << k.code;
        if (k.invalidates)
            EXPECT_EQ(spy.calls, std::vector<CK_SESSION_HANDLE>{77}) << std::hex << k.code;
        else
            EXPECT_TRUE(spy.calls.empty()) << std::hex << k.code;
    }
}

TEST(CardGone, FailingInvalidationKeepsTheResult) {
    Library::setSessionInvalidator(
        [](CK_SESSION_HANDLE h) { throw InternalErrorException("no connection for %lu", h); });
    newLines();
    CK_RV rv = runCallFrame(sessionFrame("C_Logout", 5), noArguments, []() -> CK_RV { throw ctl::CtlException(0x80100069); });
    Library::setSessionInvalidator(nullptr);
    EXPECT_EQ(rv, CKR_TOKEN_NOT_PRESENT);
    logrecords::expectLines(newLines(),
                            {record("PKCS11", 0, "Entering C_Logout()"),
                             record("PKCS11", 1, "EXCEPTION CAUGHT SCard error 0x80100069"),
                             record("PKCS11", 1, "EXCEPTION CAUGHT INTERNAL ERROR no connection for 5"),
                             record("PKCS11", 1, "Returning CKR_TOKEN_NOT_PRESENT [224] FUFU"),
                             record("PKCS11", 0, "Leaving C_Logout"), emptyLine()});
}

TEST(Frame, UninitialisedLibraryStopsBeforeArgumentsAndWork) {
    ASSERT_FALSE(Library::isInitialized());
    bool argumentsLogged = false, worked = false;
    newLines();
    CK_RV rv = runCallFrame(
        CallFrame::sessionCall("C_Login", 1), [&] { argumentsLogged = true; },
        [&]() -> CK_RV {
            worked = true;
            return CKR_OK;
        });
    EXPECT_EQ(rv, CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_FALSE(argumentsLogged);
    EXPECT_FALSE(worked);
    logrecords::expectLines(newLines(),
                            {record("PKCS11", 0, "Entering C_Login()"),
                             record("PKCS11", 1, "Returning CKR_CRYPTOKI_NOT_INITIALIZED [400] FUFU"),
                             record("PKCS11", 0, "Leaving C_Login"), emptyLine()});
}

TEST(Frame, SuccessRecordsArgumentsAndResultInsideNestedCalls) {
    newLines();
    TraceScope outer("PKCS11", "outer");
    CK_RV rv = runCallFrame(
        CallFrame::unlockedCall("C_GetSlotList"),
        [&] {
            QV_TRACE_ARG(PKCS11_COMPONENT, "tokenPresent", bboolText(1));
            QV_TRACE_ARG(PKCS11_COMPONENT, "pulCount", numberPointerText(nullptr));
        },
        [&]() -> CK_RV { return CKR_OK; });
    EXPECT_EQ(rv, CKR_OK);
    logrecords::expectLines(newLines(),
                            {record("PKCS11", 0, "Entering outer()"),
                             record("PKCS11", 1, "Entering C_GetSlotList()"),
                             record("PKCS11", 2, "tokenPresent = 1 [0x01]"),
                             record("PKCS11", 2, "pulCount = NULL"),
                             record("PKCS11", 2, "Returning CKR_OK [0] "),
                             record("PKCS11", 1, "Leaving C_GetSlotList")});
}

TEST(Frame, LibraryLockIsHeldForTheWholeWorkOnly) {
    auto otherThreadCanLock = [] {
        bool locked = false;
        std::thread([&] {
            locked = Library::lock().tryLock();
            if (locked)
                Library::lock().unlock();
        }).join();
        return locked;
    };
    CallFrame locked = libraryFrame("C_GetInfo");
    bool heldDuringWork = false;
    runCallFrame(locked, noArguments, [&]() -> CK_RV {
        heldDuringWork = !otherThreadCanLock();
        return CKR_OK;
    });
    EXPECT_TRUE(heldDuringWork);
    EXPECT_TRUE(otherThreadCanLock());

    CallFrame late = locked;
    late.lock = LibraryLock::AFTER_ENTRY;
    heldDuringWork = false;
    runCallFrame(late, noArguments, [&]() -> CK_RV {
        heldDuringWork = !otherThreadCanLock();
        throw std::runtime_error("x");
    });
    EXPECT_TRUE(heldDuringWork);
    EXPECT_TRUE(otherThreadCanLock());

    bool freeDuringWork = false;
    runCallFrame(CallFrame::unlockedCall("C_WaitForSlotEvent"), noArguments, [&]() -> CK_RV {
        freeDuringWork = otherThreadCanLock();
        return CKR_OK;
    });
    EXPECT_TRUE(freeDuringWork);
}

TEST(Frame, NotSupportedEntriesAndNumberResults) {
    newLines();
    EXPECT_EQ(notSupported("C_InitToken"), CKR_FUNCTION_NOT_SUPPORTED);
    EXPECT_EQ(notSupported("C_VerifyFinal", ResultRecord::NUMBER), CKR_FUNCTION_NOT_SUPPORTED);
    logrecords::expectLines(
        newLines(),
        {record("PKCS11", 0, "Entering C_InitToken()"),
         record("PKCS11", 1, "Returning CKR_FUNCTION_NOT_SUPPORTED [84] FUFU"),
         record("PKCS11", 0, "Leaving C_InitToken"), emptyLine(),
         record("PKCS11", 0, "Entering C_VerifyFinal()"),
         record("PKCS11", 1, "Returning 84 [0x00000054]"),
         record("PKCS11", 0, "Leaving C_VerifyFinal"), emptyLine()});
}

// The codes that have a name; everything else prints "(???)".
std::set<CK_ULONG> namedCodes(const char* (*name)(CK_ULONG)) {
    std::set<CK_ULONG> named;
    for (CK_ULONG v = 0; v < 0x1000; ++v)
        if (std::string(name(v)) != "(?\?\?)")
            named.insert(v);
    for (CK_ULONG v : {0x80000000UL, 0x80000001UL, 0x8000FFFFUL, 0xFFFFFFFFUL})
        if (std::string(name(v)) != "(?\?\?)")
            named.insert(v);
    return named;
}

std::set<CK_ULONG> ranges(std::initializer_list<std::pair<CK_ULONG, CK_ULONG>> list) {
    std::set<CK_ULONG> s;
    for (auto [from, to] : list)
        for (CK_ULONG v = from; v <= to; ++v)
            s.insert(v);
    return s;
}

TEST(NameTables, CoverExactlyTheListedCodes) {
    EXPECT_EQ(namedCodes(ckrName),
              ranges({{0x0, 0x3}, {0x5, 0xA}, {0x10, 0x13}, {0x20, 0x21}, {0x30, 0x32},
                      {0x40, 0x41}, {0x50, 0x51}, {0x54, 0x54}, {0x60, 0x60}, {0x62, 0x6A},
                      {0x70, 0x71}, {0x82, 0x82}, {0x90, 0x91}, {0xA0, 0xA4}, {0xB0, 0xB1},
                      {0xB3, 0xB8}, {0xC0, 0xC1}, {0xD0, 0xD1}, {0xE0, 0xE2}, {0xF0, 0xF2},
                      {0x100, 0x105}, {0x110, 0x110}, {0x112, 0x115}, {0x120, 0x121},
                      {0x130, 0x130}, {0x150, 0x150}, {0x160, 0x160}, {0x170, 0x170},
                      {0x180, 0x180}, {0x190, 0x191}, {0x1A0, 0x1A1}, {0x80000000, 0x80000000}}));
    EXPECT_EQ(namedCodes(ckaName),
              ranges({{0x0, 0x3}, {0x10, 0x12}, {0x80, 0x86}, {0x100, 0x10C}, {0x110, 0x111},
                      {0x120, 0x128}, {0x130, 0x134}, {0x160, 0x166}, {0x170, 0x170},
                      {0x180, 0x181}, {0x200, 0x201}, {0x300, 0x302}, {0x80000000, 0x80000000}}));
}

TEST(NameTables, NamesAndResultTexts) {
    EXPECT_STREQ(ckrName(CKR_VENDOR_DEFINED), "CKR_VENDOR_DEFINED");
    EXPECT_STREQ(ckrName(CKR_PIN_LEN_RANGE), "CKR_PIN_LEN_RANGE");
    EXPECT_STREQ(ckrName(CKR_KEY_TYPE_INCONSISTENT), "CKR_KEY_TYPE_INCONSISTENT");
    EXPECT_STREQ(ckaName(0x180), "CKA_ECDSA_PARAMS");
    EXPECT_STREQ(ckaName(CKA_MODULUS_BITS), "CKA_MODULUS_BITS");
    EXPECT_EQ(resultText(CKR_OK), "CKR_OK [0] ");
    EXPECT_EQ(resultText(CKR_ARGUMENTS_BAD), "CKR_ARGUMENTS_BAD [7] FUFU");
    EXPECT_EQ(resultText(0x80000001UL), "(?\?\?) [-2147483647] FUFU");
}

}  // namespace
