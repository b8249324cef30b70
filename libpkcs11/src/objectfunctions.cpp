// Object functions.
// Each entry runs the normal call frame; the work is not written yet and
// answers CKR_FUNCTION_NOT_SUPPORTED until it is.
#include "callframe.h"

extern "C" CK_RV C_CreateObject(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR /*pTemplate*/,
                                CK_ULONG /*ulCount*/, CK_OBJECT_HANDLE_PTR /*phObject*/) {
    return runCallFrame(CallFrame::sessionCall("C_CreateObject", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_DestroyObject(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE /*hObject*/) {
    return runCallFrame(CallFrame::sessionCall("C_DestroyObject", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_GetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE /*hObject*/,
                                     CK_ATTRIBUTE_PTR /*pTemplate*/, CK_ULONG /*ulCount*/) {
    return runCallFrame(CallFrame::sessionCall("C_GetAttributeValue", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_SetAttributeValue(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE /*hObject*/,
                                     CK_ATTRIBUTE_PTR /*pTemplate*/, CK_ULONG /*ulCount*/) {
    return runCallFrame(CallFrame::sessionCall("C_SetAttributeValue", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_FindObjectsInit(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE_PTR /*pTemplate*/,
                                   CK_ULONG /*ulCount*/) {
    return runCallFrame(CallFrame::sessionCall("C_FindObjectsInit", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_FindObjects(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE_PTR /*phObject*/,
                               CK_ULONG /*ulMaxObjectCount*/, CK_ULONG_PTR /*pulObjectCount*/) {
    return runCallFrame(CallFrame::sessionCall("C_FindObjects", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE hSession) {
    return runCallFrame(CallFrame::sessionCall("C_FindObjectsFinal", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}
