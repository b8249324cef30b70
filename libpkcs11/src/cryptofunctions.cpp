// Signing, decryption, key generation and random numbers.
// Each entry runs the normal call frame; the work is not written yet and
// answers CKR_FUNCTION_NOT_SUPPORTED until it is.
#include "callframe.h"
#include "internal/sessionmanager.h"
#include "random.h"

#include <cstdint>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/cryptofunctions");

extern "C" CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR /*pMechanism*/,
                               CK_OBJECT_HANDLE /*hKey*/) {
    return runCallFrame(CallFrame::sessionCall("C_DecryptInit", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR /*pEncryptedData*/,
                           CK_ULONG /*ulEncryptedDataLen*/, CK_BYTE_PTR /*pData*/,
                           CK_ULONG_PTR /*pulDataLen*/) {
    return runCallFrame(CallFrame::sessionCall("C_Decrypt", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR /*pMechanism*/,
                            CK_OBJECT_HANDLE /*hKey*/) {
    return runCallFrame(CallFrame::sessionCall("C_SignInit", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR /*pData*/, CK_ULONG /*ulDataLen*/,
                        CK_BYTE_PTR /*pSignature*/, CK_ULONG_PTR /*pulSignatureLen*/) {
    return runCallFrame(CallFrame::sessionCall("C_Sign", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

extern "C" CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR /*pMechanism*/,
                                   CK_ATTRIBUTE_PTR /*pPublicKeyTemplate*/,
                                   CK_ULONG /*ulPublicKeyAttributeCount*/,
                                   CK_ATTRIBUTE_PTR /*pPrivateKeyTemplate*/,
                                   CK_ULONG /*ulPrivateKeyAttributeCount*/,
                                   CK_OBJECT_HANDLE_PTR /*phPublicKey*/,
                                   CK_OBJECT_HANDLE_PTR /*phPrivateKey*/) {
    return runCallFrame(CallFrame::sessionCall("C_GenerateKeyPair", hSession), noArguments,
                        []() -> CK_RV { return CKR_FUNCTION_NOT_SUPPORTED; });
}

// Random numbers come from the per-thread linear congruential generator, as
// this token defines them: not a cryptographic source (see the README).
extern "C" CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
    return runCallFrame(
        CallFrame::sessionCall("C_SeedRandom", hSession),
        [&] {
            QV_TRACE_VALUE(hSession);
            QV_TRACE_BYTES("pSeed = ", pSeed, pSeed != nullptr ? ulSeedLen : 0);
            QV_TRACE_VALUE(ulSeedLen);
        },
        [&]() -> CK_RV {
            if (pSeed == nullptr)
                return CKR_ARGUMENTS_BAD;
            SessionManager::getByHandle(hSession);
            std::uint32_t h = 0;
            for (CK_ULONG i = 0; i < ulSeedLen; ++i)
                h = h ^ pSeed[i] ^ (h * 31u);
            PseudoRandom::seed(h);
            return CKR_OK;
        });
}

extern "C" CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData,
                                  CK_ULONG ulRandomLen) {
    return runCallFrame(
        CallFrame::sessionCall("C_GenerateRandom", hSession),
        [&] {
            QV_TRACE_VALUE(hSession);
            QV_TRACE_VALUE(ulRandomLen);
        },
        [&]() -> CK_RV {
            if (pRandomData == nullptr && ulRandomLen != 0)
                return CKR_ARGUMENTS_BAD;
            SessionManager::getByHandle(hSession);
            for (CK_ULONG i = 0; i < ulRandomLen; ++i)
                pRandomData[i] = static_cast<CK_BYTE>(PseudoRandom::next());
            QV_TRACE_BYTES("pRandomData = ", pRandomData, ulRandomLen);
            return CKR_OK;
        });
}
