#include "callframe.h"
#include "exceptions.h"
#include "internal/sessionmanager.h"
#include "internal/slotmanager.h"
#include "names.h"
#include "processlog.h"
#include "testpcsc/service.h"
#include "vcard/kalvikcard.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
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

struct LadderCase {
    const char* name;
    std::function<void()> raise;
    CK_RV rv;
};

#define RAISES(name, expr, rv)        \
    LadderCase {                      \
#name, [] { throw expr; }, rv \
    }

// Every class of the tree, thrown from the work, gives its CK_RV and the
// records "EXCEPTION CAUGHT <message>" and the result; anything else is a
// general error.
TEST(CatchLadder, MapsEachExceptionClass) {
    const LadderCase cases[] = {
        RAISES(AttributeTypeInvalid, AttributeTypeInvalidException(1, "CKA_TOKEN"),
               CKR_ATTRIBUTE_TYPE_INVALID),
        RAISES(AttributeBufferTooSmall, AttributeBufferTooSmallException(1, 2),
               CKR_BUFFER_TOO_SMALL),
        RAISES(AttributeSensitive, AttributeTypeSensitiveException(1, "x"),
               CKR_ATTRIBUTE_SENSITIVE),
        RAISES(AttributeReadOnly, AttributeReadOnlyException(1, "x"), CKR_ATTRIBUTE_READ_ONLY),
        RAISES(TemplateInconsistent, TemplateInconsistentException(1), CKR_TEMPLATE_INCONSISTENT),
        RAISES(TemplateIncomplete, TemplateIncompleteException(1), CKR_TEMPLATE_INCOMPLETE),
        RAISES(AttributeValueInvalid, AttributValueInvalidException(1),
               CKR_ATTRIBUTE_VALUE_INVALID),
        RAISES(ObjectHandle, InvalidObjectHandleException(1), CKR_OBJECT_HANDLE_INVALID),
        RAISES(SessionHandle, InvalidSessionHandleException(1), CKR_SESSION_HANDLE_INVALID),
        RAISES(Slot, SlotNotFoundException(1), CKR_SLOT_ID_INVALID),
        RAISES(OperationNotInitialized, OperationNotInitialized("sign"),
               CKR_OPERATION_NOT_INITIALIZED),
        RAISES(LibraryNotInitialized, LibraryNotInicializedException(),
               CKR_CRYPTOKI_NOT_INITIALIZED),
        RAISES(RwSoExists, ReadWriteSoSessionExistsException(), CKR_SESSION_READ_WRITE_SO_EXISTS),
        RAISES(EncryptedLength, InvalidEncryptedDataLength(1), CKR_ENCRYPTED_DATA_LEN_RANGE),
        RAISES(Encrypted, InvalidEncryptedData("x"), CKR_ENCRYPTED_DATA_INVALID),
        RAISES(PlainLength, InvalidPlainTextDataLength(1), CKR_DATA_LEN_RANGE),
        RAISES(DuplicateId, amw::DuplicatePkcs11IdException(), CKR_ATTRIBUTE_VALUE_INVALID),
        RAISES(SecurityViolation, amw::SecurityViolationException(), CKR_USER_NOT_LOGGED_IN),
        RAISES(CardOutOfMemory, amw::CardOutOfMemoryException(), CKR_DEVICE_MEMORY),
        RAISES(PinPad, amw::PinPadException(0), CKR_FUNCTION_CANCELED),
        RAISES(PinPolicy, amw::PinPolicyViolationException(), CKR_PIN_LEN_RANGE),
        RAISES(OtherPcscCode, ctl::CtlException(0x80100017), CKR_DEVICE_ERROR),
        RAISES(Base, QVException("plain %d", 1), CKR_FUNCTION_FAILED),
        RAISES(InvalidArgument, InvalidArgumentException::invalid("a", "f", "s", 1),
               CKR_FUNCTION_FAILED),
        RAISES(ReaderNotInSlot, ReaderNotInSlotException(2), CKR_FUNCTION_FAILED),
        RAISES(Internal, InternalErrorException("x"), CKR_FUNCTION_FAILED),
        RAISES(FreshnessCounter, amw::FreshnessCounterException("ao"), CKR_FUNCTION_FAILED),
        RAISES(Tlv, TlvParserException("x"), CKR_FUNCTION_FAILED),
        RAISES(Lv, LvParserException("x"), CKR_FUNCTION_FAILED),
        RAISES(Serialization, SerializationException(), CKR_FUNCTION_FAILED),
        RAISES(SW, amw::SWException(0x6A80), CKR_FUNCTION_FAILED),
        RAISES(AppletNotSelected, amw::AppletNotSelectedException(), CKR_FUNCTION_FAILED),
        RAISES(BufferSize, amw::InvalidBufferSizeException(1, 2), CKR_FUNCTION_FAILED),
        RAISES(UnknownProperty, amw::UnknownPropertyException(), CKR_FUNCTION_FAILED),
        RAISES(BadAlloc, std::bad_alloc(), CKR_GENERAL_ERROR),
        RAISES(LengthError, std::length_error("too long"), CKR_GENERAL_ERROR),
        RAISES(BadCast, std::bad_cast(), CKR_GENERAL_ERROR),
        RAISES(Int, 42, CKR_GENERAL_ERROR),
    };
    for (const LadderCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string caught = "UNKNOWN EXCEPTION CAUGHT";
        try {
            c.raise();
        } catch (const QVException& e) {
            caught = std::string("EXCEPTION CAUGHT ") + e.what();
        } catch (...) {
        }
        newLines();
        CK_RV rv = runCallFrame(sessionFrame("C_Sign", 0x1234), noArguments, [&]() -> CK_RV {
            c.raise();
            return CKR_OK;
        });
        EXPECT_EQ(rv, c.rv) << ckrName(rv);
        logrecords::expectLines(
            newLines(), {record("PKCS11", 0, "Entering C_Sign()"), record("PKCS11", 1, caught),
                         record("PKCS11", 1, "Returning " + resultText(c.rv)),
                         record("PKCS11", 0, "Leaving C_Sign"), emptyLine()});
    }
}

// A slot with a card, its sessions opened through the session manager.
class CardGone : public ::testing::Test {
protected:
    void SetUp() override {
        svc->addReader("R");
        svc->insertCard("R", std::make_shared<vcard::KalvikCard>());
        SlotManager::init();
        slot = SlotManager::getById(0);
    }
    void TearDown() override {
        SlotManager::finalize();
        SessionManager::finalize();
    }
    CK_SESSION_HANDLE open() {
        return SessionManager::openSession(slot, Session::RW_SESSION, nullptr, nullptr)
            ->getHandle();
    }
    static bool isOpen(CK_SESSION_HANDLE handle) {
        try {
            SessionManager::getByHandle(handle);
            return true;
        } catch (const InvalidSessionHandleException&) {
            return false;
        }
    }

    testpcsc::ScopedService svc;
    Slot* slot = nullptr;
};

TEST_F(CardGone, RemovedOrResetCardInvalidatesTheSlotOnlyOnSessionBearingCalls) {
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
        {0x8010000C, false, CKR_TOKEN_NOT_PRESENT, false},  // no card to connect to
        {0x80100069 + 1, false, CKR_DEVICE_ERROR, false},
    };
    for (const auto& k : cases) {
        const CK_SESSION_HANDLE caller = open();
        const CK_SESSION_HANDLE other = open();
        CallFrame frame =
            k.sessionBearing ? sessionFrame("C_Sign", caller) : libraryFrame("C_OpenSession");
        CK_RV rv =
            runCallFrame(frame, noArguments, [&]() -> CK_RV { throw ctl::CtlException(k.code); });
        EXPECT_EQ(rv, k.rv) << std::hex << k.code;
        EXPECT_EQ(isOpen(caller), !k.invalidates) << std::hex << k.code;
        EXPECT_EQ(isOpen(other), !k.invalidates) << std::hex << k.code;
    }
}

TEST_F(CardGone, FailingInvalidationKeepsTheResult) {
    // Sessions already invalidated with their connection: a second
    // invalidation finds no connection.
    const CK_SESSION_HANDLE handle = open();
    SessionManager::invalidateAllSessions(slot);
    newLines();
    CK_RV rv = runCallFrame(sessionFrame("C_Logout", handle), noArguments,
                            []() -> CK_RV { throw ctl::CtlException(0x80100069); });
    EXPECT_EQ(rv, CKR_TOKEN_NOT_PRESENT);
    logrecords::expectLines(
        newLines(), {record("PKCS11", 0, "Entering C_Logout()"),
                     record("PKCS11", 1, "EXCEPTION CAUGHT SCard error 0x80100069"),
                     record("PKCS11", 1, "Entering SessionManager::invalidateAllSessions()"),
                     record("PKCS11", 1, "Leaving SessionManager::invalidateAllSessions"),
                     record("PKCS11", 1,
                            "EXCEPTION CAUGHT INTERNAL ERROR invalidateAllSessions(): no session "
                            "connection exists for slot id 0"),
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
    logrecords::expectLines(
        newLines(), {record("PKCS11", 0, "Entering C_Login()"),
                     record("PKCS11", 1, "Returning CKR_CRYPTOKI_NOT_INITIALIZED [400] FUFU"),
                     record("PKCS11", 0, "Leaving C_Login"), emptyLine()});
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

}  // namespace
