// The function table, the two exported entry points and the library lifecycle.
#include "callframe.h"
#include "random.h"
#include "textfield.h"

#include <cstring>
#include <ctime>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/entry");

namespace {

CK_FUNCTION_LIST functionList = {{2, 20},
#define CRYPTOKI_TABLE_ENTRY(name, params) name,
                                 CRYPTOKI_FUNCTIONS(CRYPTOKI_TABLE_ENTRY)
#undef CRYPTOKI_TABLE_ENTRY
};

const char* const MANUFACTURER = "Marvolen s.r.o.";
const char* const LIBRARY_DESCRIPTION = "Brisane 3.0 PKCS#11";

}  // namespace

void fillBlankPadded(CK_UTF8CHAR* field, std::size_t width, const char* text) {
    if (text == nullptr)
        text = "";
    std::memset(field, ' ', width);
    std::size_t n = std::strlen(text);
    std::memcpy(field, text, n < width ? n : width);
}

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR ppFunctionList) {
    CallFrame frame = CallFrame::unlockedCall("C_GetFunctionList");
    if (ppFunctionList == nullptr)
        frame.resultRecord = ResultRecord::NUMBER;
    return runCallFrame(frame, noArguments, [&]() -> CK_RV {
        if (ppFunctionList == nullptr)
            return CKR_ARGUMENTS_BAD;
        *ppFunctionList = &functionList;
        return CKR_OK;
    });
}

extern "C" CK_RV C_Initialize(CK_VOID_PTR pInitArgs) {
    CallFrame frame = CallFrame::libraryCall("C_Initialize");
    frame.lock = LibraryLock::AFTER_ENTRY;
    frame.checkInitialized = false;
    return runCallFrame(
        frame, [&] { QV_TRACE_NAMED("pInitArgs", pointerText(pInitArgs)); },
        [&]() -> CK_RV {
            // The arguments are not examined: the module always locks with its own
            // mutexes and never creates threads, so any CK_C_INITIALIZE_ARGS is fine.
            if (Library::isInitialized())
                return CKR_CRYPTOKI_ALREADY_INITIALIZED;
            Library::startSlotsAndSessions();
            PseudoRandom::seed(static_cast<std::uint32_t>(std::time(nullptr)));
            Library::setInitialized(true);
            return CKR_OK;
        });
}

extern "C" CK_RV C_Finalize(CK_VOID_PTR pReserved) {
    CallFrame frame = CallFrame::libraryCall("C_Finalize");
    frame.checkInitialized = false;
    return runCallFrame(
        frame, [&] { QV_TRACE_NAMED("pReserved", pointerText(pReserved)); },
        [&]() -> CK_RV {
            if (!Library::isInitialized())
                return CKR_CRYPTOKI_NOT_INITIALIZED;
            Library::stopSlotsAndSessions();
            Library::setInitialized(false);
            return CKR_OK;
        });
}

extern "C" CK_RV C_GetInfo(CK_INFO_PTR pInfo) {
    return runCallFrame(
        CallFrame::libraryCall("C_GetInfo"), [&] { QV_TRACE_NAMED("pInfo", pointerText(pInfo)); },
        [&]() -> CK_RV {
            if (pInfo == nullptr)
                return CKR_ARGUMENTS_BAD;
            pInfo->cryptokiVersion = {2, 20};
            fillBlankPadded(pInfo->manufacturerID, MANUFACTURER);
            pInfo->flags = 0;
            fillBlankPadded(pInfo->libraryDescription, LIBRARY_DESCRIPTION);
            pInfo->libraryVersion = {3, 0};
            return CKR_OK;
        });
}
