// Slot, token and mechanism queries.
// Each entry runs the normal call frame; the work is not written yet and
// answers CKR_FUNCTION_NOT_SUPPORTED until it is.
#include "callframe.h"

extern "C" CK_RV C_GetSlotList(CK_BBOOL /*tokenPresent*/, CK_SLOT_ID_PTR /*pSlotList*/,
                               CK_ULONG_PTR /*pulCount*/) {
    return runCallFrame(CallFrame::libraryCall("C_GetSlotList"), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_GetSlotInfo(CK_SLOT_ID /*slotID*/, CK_SLOT_INFO_PTR /*pInfo*/) {
    return runCallFrame(CallFrame::libraryCall("C_GetSlotInfo"), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_GetTokenInfo(CK_SLOT_ID /*slotID*/, CK_TOKEN_INFO_PTR /*pInfo*/) {
    return runCallFrame(CallFrame::libraryCall("C_GetTokenInfo"), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_GetMechanismList(CK_SLOT_ID /*slotID*/, CK_MECHANISM_TYPE_PTR /*pMechanismList*/,
                                    CK_ULONG_PTR /*pulCount*/) {
    return runCallFrame(CallFrame::libraryCall("C_GetMechanismList"), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_GetMechanismInfo(CK_SLOT_ID /*slotID*/, CK_MECHANISM_TYPE /*type*/,
                                    CK_MECHANISM_INFO_PTR /*pInfo*/) {
    return runCallFrame(CallFrame::libraryCall("C_GetMechanismInfo"), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_WaitForSlotEvent(CK_FLAGS /*flags*/, CK_SLOT_ID_PTR /*pSlot*/,
                                    CK_VOID_PTR /*pReserved*/) {
    return runCallFrame(CallFrame::unlockedCall("C_WaitForSlotEvent"), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}
