// Sessions and login.
// Each entry runs the normal call frame; the work is not written yet and
// answers CKR_FUNCTION_NOT_SUPPORTED until it is.
#include "callframe.h"

extern "C" CK_RV C_SetPIN(CK_SESSION_HANDLE hSession, CK_UTF8CHAR_PTR /*pOldPin*/,
                          CK_ULONG /*ulOldLen*/, CK_UTF8CHAR_PTR /*pNewPin*/,
                          CK_ULONG /*ulNewLen*/) {
    return runCallFrame(CallFrame::sessionCall("C_SetPIN", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_OpenSession(CK_SLOT_ID /*slotID*/, CK_FLAGS /*flags*/,
                               CK_VOID_PTR /*pApplication*/, CK_NOTIFY /*Notify*/,
                               CK_SESSION_HANDLE_PTR /*phSession*/) {
    return runCallFrame(CallFrame::libraryCall("C_OpenSession"), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_CloseSession(CK_SESSION_HANDLE /*hSession*/) {
    return runCallFrame(CallFrame::libraryCall("C_CloseSession"), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_CloseAllSessions(CK_SLOT_ID /*slotID*/) {
    return runCallFrame(CallFrame::libraryCall("C_CloseAllSessions"), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_GetSessionInfo(CK_SESSION_HANDLE hSession, CK_SESSION_INFO_PTR /*pInfo*/) {
    return runCallFrame(CallFrame::sessionCall("C_GetSessionInfo", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_Login(CK_SESSION_HANDLE hSession, CK_USER_TYPE /*userType*/,
                         CK_UTF8CHAR_PTR /*pPin*/, CK_ULONG /*ulPinLen*/) {
    return runCallFrame(CallFrame::sessionCall("C_Login", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_Logout(CK_SESSION_HANDLE hSession) {
    return runCallFrame(CallFrame::sessionCall("C_Logout", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}
