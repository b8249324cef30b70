// Entries the module does not offer: entry and exit records and
// CKR_FUNCTION_NOT_SUPPORTED, before and after C_Initialize alike, no lock.
#include "callframe.h"

extern "C" CK_RV C_InitToken(CK_SLOT_ID /*slotID*/, CK_UTF8CHAR_PTR /*pPin*/, CK_ULONG /*ulPinLen*/,
                             CK_UTF8CHAR_PTR /*pLabel*/) {
    return notSupported("C_InitToken");
}

extern "C" CK_RV C_InitPIN(CK_SESSION_HANDLE /*hSession*/, CK_UTF8CHAR_PTR /*pPin*/,
                           CK_ULONG /*ulPinLen*/) {
    return notSupported("C_InitPIN");
}

extern "C" CK_RV C_GetOperationState(CK_SESSION_HANDLE /*hSession*/,
                                     CK_BYTE_PTR /*pOperationState*/,
                                     CK_ULONG_PTR /*pulOperationStateLen*/) {
    return notSupported("C_GetOperationState");
}

extern "C" CK_RV C_SetOperationState(CK_SESSION_HANDLE /*hSession*/,
                                     CK_BYTE_PTR /*pOperationState*/,
                                     CK_ULONG /*ulOperationStateLen*/,
                                     CK_OBJECT_HANDLE /*hEncryptionKey*/,
                                     CK_OBJECT_HANDLE /*hAuthenticationKey*/) {
    return notSupported("C_SetOperationState");
}

extern "C" CK_RV C_CopyObject(CK_SESSION_HANDLE /*hSession*/, CK_OBJECT_HANDLE /*hObject*/,
                              CK_ATTRIBUTE_PTR /*pTemplate*/, CK_ULONG /*ulCount*/,
                              CK_OBJECT_HANDLE_PTR /*phNewObject*/) {
    return notSupported("C_CopyObject");
}

extern "C" CK_RV C_GetObjectSize(CK_SESSION_HANDLE /*hSession*/, CK_OBJECT_HANDLE /*hObject*/,
                                 CK_ULONG_PTR /*pulSize*/) {
    return notSupported("C_GetObjectSize");
}

extern "C" CK_RV C_EncryptInit(CK_SESSION_HANDLE /*hSession*/, CK_MECHANISM_PTR /*pMechanism*/,
                               CK_OBJECT_HANDLE /*hKey*/) {
    return notSupported("C_EncryptInit");
}

extern "C" CK_RV C_Encrypt(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pData*/,
                           CK_ULONG /*ulDataLen*/, CK_BYTE_PTR /*pEncryptedData*/,
                           CK_ULONG_PTR /*pulEncryptedDataLen*/) {
    return notSupported("C_Encrypt");
}

extern "C" CK_RV C_EncryptUpdate(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pPart*/,
                                 CK_ULONG /*ulPartLen*/, CK_BYTE_PTR /*pEncryptedPart*/,
                                 CK_ULONG_PTR /*pulEncryptedPartLen*/) {
    return notSupported("C_EncryptUpdate");
}

extern "C" CK_RV C_EncryptFinal(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pLastEncryptedPart*/,
                                CK_ULONG_PTR /*pulLastEncryptedPartLen*/) {
    return notSupported("C_EncryptFinal");
}

extern "C" CK_RV C_DecryptUpdate(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pEncryptedPart*/,
                                 CK_ULONG /*ulEncryptedPartLen*/, CK_BYTE_PTR /*pPart*/,
                                 CK_ULONG_PTR /*pulPartLen*/) {
    return notSupported("C_DecryptUpdate");
}

extern "C" CK_RV C_DecryptFinal(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pLastPart*/,
                                CK_ULONG_PTR /*pulLastPartLen*/) {
    return notSupported("C_DecryptFinal");
}

extern "C" CK_RV C_DigestInit(CK_SESSION_HANDLE /*hSession*/, CK_MECHANISM_PTR /*pMechanism*/) {
    return notSupported("C_DigestInit");
}

extern "C" CK_RV C_Digest(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pData*/,
                          CK_ULONG /*ulDataLen*/, CK_BYTE_PTR /*pDigest*/,
                          CK_ULONG_PTR /*pulDigestLen*/) {
    return notSupported("C_Digest");
}

extern "C" CK_RV C_DigestUpdate(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pPart*/,
                                CK_ULONG /*ulPartLen*/) {
    return notSupported("C_DigestUpdate");
}

extern "C" CK_RV C_DigestKey(CK_SESSION_HANDLE /*hSession*/, CK_OBJECT_HANDLE /*hKey*/) {
    return notSupported("C_DigestKey");
}

extern "C" CK_RV C_DigestFinal(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pDigest*/,
                               CK_ULONG_PTR /*pulDigestLen*/) {
    return notSupported("C_DigestFinal");
}

extern "C" CK_RV C_SignUpdate(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pPart*/,
                              CK_ULONG /*ulPartLen*/) {
    return notSupported("C_SignUpdate");
}

extern "C" CK_RV C_SignFinal(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pSignature*/,
                             CK_ULONG_PTR /*pulSignatureLen*/) {
    return notSupported("C_SignFinal");
}

extern "C" CK_RV C_SignRecoverInit(CK_SESSION_HANDLE /*hSession*/, CK_MECHANISM_PTR /*pMechanism*/,
                                   CK_OBJECT_HANDLE /*hKey*/) {
    return notSupported("C_SignRecoverInit");
}

extern "C" CK_RV C_SignRecover(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pData*/,
                               CK_ULONG /*ulDataLen*/, CK_BYTE_PTR /*pSignature*/,
                               CK_ULONG_PTR /*pulSignatureLen*/) {
    return notSupported("C_SignRecover");
}

extern "C" CK_RV C_VerifyInit(CK_SESSION_HANDLE /*hSession*/, CK_MECHANISM_PTR /*pMechanism*/,
                              CK_OBJECT_HANDLE /*hKey*/) {
    return notSupported("C_VerifyInit", ResultRecord::NUMBER);
}

extern "C" CK_RV C_Verify(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pData*/,
                          CK_ULONG /*ulDataLen*/, CK_BYTE_PTR /*pSignature*/,
                          CK_ULONG /*ulSignatureLen*/) {
    return notSupported("C_Verify", ResultRecord::NUMBER);
}

extern "C" CK_RV C_VerifyUpdate(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pPart*/,
                                CK_ULONG /*ulPartLen*/) {
    return notSupported("C_VerifyUpdate", ResultRecord::NUMBER);
}

extern "C" CK_RV C_VerifyFinal(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pSignature*/,
                               CK_ULONG /*ulSignatureLen*/) {
    return notSupported("C_VerifyFinal", ResultRecord::NUMBER);
}

extern "C" CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE /*hSession*/,
                                     CK_MECHANISM_PTR /*pMechanism*/, CK_OBJECT_HANDLE /*hKey*/) {
    return notSupported("C_VerifyRecoverInit", ResultRecord::NUMBER);
}

extern "C" CK_RV C_VerifyRecover(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pSignature*/,
                                 CK_ULONG /*ulSignatureLen*/, CK_BYTE_PTR /*pData*/,
                                 CK_ULONG_PTR /*pulDataLen*/) {
    return notSupported("C_VerifyRecover", ResultRecord::NUMBER);
}

extern "C" CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pPart*/,
                                       CK_ULONG /*ulPartLen*/, CK_BYTE_PTR /*pEncryptedPart*/,
                                       CK_ULONG_PTR /*pulEncryptedPartLen*/) {
    return notSupported("C_DigestEncryptUpdate");
}

extern "C" CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE /*hSession*/,
                                       CK_BYTE_PTR /*pEncryptedPart*/,
                                       CK_ULONG /*ulEncryptedPartLen*/, CK_BYTE_PTR /*pPart*/,
                                       CK_ULONG_PTR /*pulPartLen*/) {
    return notSupported("C_DecryptDigestUpdate");
}

extern "C" CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE /*hSession*/, CK_BYTE_PTR /*pPart*/,
                                     CK_ULONG /*ulPartLen*/, CK_BYTE_PTR /*pEncryptedPart*/,
                                     CK_ULONG_PTR /*pulEncryptedPartLen*/) {
    return notSupported("C_SignEncryptUpdate");
}

extern "C" CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE /*hSession*/,
                                       CK_BYTE_PTR /*pEncryptedPart*/,
                                       CK_ULONG /*ulEncryptedPartLen*/, CK_BYTE_PTR /*pPart*/,
                                       CK_ULONG_PTR /*pulPartLen*/) {
    return notSupported("C_DecryptVerifyUpdate");
}

extern "C" CK_RV C_GenerateKey(CK_SESSION_HANDLE /*hSession*/, CK_MECHANISM_PTR /*pMechanism*/,
                               CK_ATTRIBUTE_PTR /*pTemplate*/, CK_ULONG /*ulCount*/,
                               CK_OBJECT_HANDLE_PTR /*phKey*/) {
    return notSupported("C_GenerateKey");
}

extern "C" CK_RV C_WrapKey(CK_SESSION_HANDLE /*hSession*/, CK_MECHANISM_PTR /*pMechanism*/,
                           CK_OBJECT_HANDLE /*hWrappingKey*/, CK_OBJECT_HANDLE /*hKey*/,
                           CK_BYTE_PTR /*pWrappedKey*/, CK_ULONG_PTR /*pulWrappedKeyLen*/) {
    return notSupported("C_WrapKey");
}

extern "C" CK_RV C_UnwrapKey(CK_SESSION_HANDLE /*hSession*/, CK_MECHANISM_PTR /*pMechanism*/,
                             CK_OBJECT_HANDLE /*hUnwrappingKey*/, CK_BYTE_PTR /*pWrappedKey*/,
                             CK_ULONG /*ulWrappedKeyLen*/, CK_ATTRIBUTE_PTR /*pTemplate*/,
                             CK_ULONG /*ulAttributeCount*/, CK_OBJECT_HANDLE_PTR /*phKey*/) {
    return notSupported("C_UnwrapKey");
}

extern "C" CK_RV C_DeriveKey(CK_SESSION_HANDLE /*hSession*/, CK_MECHANISM_PTR /*pMechanism*/,
                             CK_OBJECT_HANDLE /*hBaseKey*/, CK_ATTRIBUTE_PTR /*pTemplate*/,
                             CK_ULONG /*ulAttributeCount*/, CK_OBJECT_HANDLE_PTR /*phKey*/) {
    return notSupported("C_DeriveKey");
}

extern "C" CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE /*hSession*/) {
    return notSupported("C_GetFunctionStatus");
}

extern "C" CK_RV C_CancelFunction(CK_SESSION_HANDLE /*hSession*/) {
    return notSupported("C_CancelFunction");
}
