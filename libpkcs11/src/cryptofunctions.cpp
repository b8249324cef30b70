// Signing, decryption, key generation and random numbers. Signing and
// decryption are single-part CKM_RSA_PKCS: the host pads and unpads, the card
// applies the private key to one block.
#include "amw/cachedtoken.h"
#include "argumenttext.h"
#include "cardcall.h"
#include "internal/p11objects/p11RsaPrivateKey.h"
#include "internal/sessionmanager.h"
#include "internal/utils.h"
#include "random.h"

#include <cstdint>
#include <cstring>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/cryptofunctions");

namespace {

// The largest modulus the token creates or imports, in bytes: the size of
// every block here.
constexpr CK_ULONG MAX_BLOCK_LENGTH = 256;

// The modulus length in bytes of the operation's key. A key that does not
// fit the block (put on the card by other software) is refused before any
// block is used.
CK_ULONG blockLength(const P11RsaPrivateKey& key) {
    const std::uint32_t keySize = key.getKeyPair()->keySize;
    const CK_ULONG length = keySize / 8;
    if (length == 0 || length > MAX_BLOCK_LENGTH)
        throw InternalErrorException("key size not supported [keySize=%u]",
                                     static_cast<unsigned>(keySize));
    return length;
}

// The size-query and short-buffer answers both operations share; true when
// the caller's buffer takes `length` bytes.
bool outputFits(CK_BYTE_PTR output, CK_ULONG_PTR outputLength, CK_ULONG length, CK_RV* rv) {
    if (output != nullptr && *outputLength >= length)
        return true;
    *rv = output == nullptr ? CKR_OK : CKR_BUFFER_TOO_SMALL;
    *outputLength = length;
    return false;
}

// A block of decrypted data, wiped however the call ends (a wipe the
// compiler may not drop as a dead store).
struct SecretBlock {
    StaticBuffer<MAX_BLOCK_LENGTH> buffer;
    ~SecretBlock() { explicit_bzero(buffer.data, sizeof buffer.data); }
};

// C_SignInit and C_DecryptInit.
CK_RV initOperation(const char* function, CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                    CK_OBJECT_HANDLE hKey, Session::Operation kind) {
    CardCallFrame frame{function, hSession, pMechanism != nullptr};
    if (pMechanism != nullptr && pMechanism->mechanism != CKM_RSA_PKCS)
        frame.refusal = CKR_MECHANISM_INVALID;
    // C_DecryptInit leaves the cache files as they are.
    frame.refreshCache = kind == Session::SIGN;
    return runCardCall(
        frame,
        [&] {
            QV_TRACE_VALUE(hSession);
            QV_TRACE_NAMED("pMechanism", mechanismText(pMechanism));
            QV_TRACE_VALUE(hKey);
        },
        [&](Session& session, amw::CachedToken& token) -> CK_RV {
            if (session.getObject(&token, hKey)->getObjectClass() != CKO_PRIVATE_KEY)
                return CKR_KEY_TYPE_INCONSISTENT;
            session.initOperationWithPrivateKeyHandle(hKey, kind);
            return CKR_OK;
        });
}

}  // namespace

extern "C" CK_RV C_SignInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                            CK_OBJECT_HANDLE hKey) {
    return initOperation("C_SignInit", hSession, pMechanism, hKey, Session::SIGN);
}

extern "C" CK_RV C_DecryptInit(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                               CK_OBJECT_HANDLE hKey) {
    return initOperation("C_DecryptInit", hSession, pMechanism, hKey, Session::DECRYPT);
}

// The data is signed as given: the application supplies the DigestInfo.
extern "C" CK_RV C_Sign(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pData, CK_ULONG ulDataLen,
                        CK_BYTE_PTR pSignature, CK_ULONG_PTR pulSignatureLen) {
    return runCardCall(
        {"C_Sign", hSession, pData != nullptr && pulSignatureLen != nullptr},
        [&] {
            QV_TRACE_VALUE(hSession);
            QV_TRACE_BYTES("pData = ", pData, pData != nullptr ? ulDataLen : 0);
            QV_TRACE_VALUE(ulDataLen);
            QV_TRACE_NAMED("pSignature", pointerText(pSignature));
            QV_TRACE_NAMED("pulSignatureLen", numberPointerText(pulSignatureLen));
        },
        [&](Session& session, amw::CachedToken& token) -> CK_RV {
            const auto key = session.getPrivateKeyForOperation(&token, Session::SIGN);
            const CK_ULONG k = blockLength(*key);
            CK_RV rv = CKR_OK;
            if (!outputFits(pSignature, pulSignatureLen, k, &rv)) {
                QV_TRACE_OUT_VALUE(*pulSignatureLen);
                return rv;
            }
            std::uint8_t block[MAX_BLOCK_LENGTH];
            pkcs1padSigniturePadding(pData, ulDataLen, block, k);
            StaticBuffer<MAX_BLOCK_LENGTH> signature;
            token.rsaExponentiation(key->getKeyPair(), block, k, &signature, false);
            if (signature.size() != k)
                throw InternalErrorException("unexpected length of signature [%zu]",
                                             signature.size());
            std::memcpy(pSignature, signature.data, k);
            *pulSignatureLen = k;
            session.operationFinal(Session::SIGN);
            QV_TRACE_OUT_VALUE(*pulSignatureLen);
            QV_TRACE_BYTES("[OUT] pSignature = ", pSignature, k);
            return CKR_OK;
        });
}

// The decrypted data is never logged.
extern "C" CK_RV C_Decrypt(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pEncryptedData,
                           CK_ULONG ulEncryptedDataLen, CK_BYTE_PTR pData,
                           CK_ULONG_PTR pulDataLen) {
    return runCardCall(
        {"C_Decrypt", hSession, pEncryptedData != nullptr && pulDataLen != nullptr},
        [&] {
            QV_TRACE_VALUE(hSession);
            QV_TRACE_BYTES("pEncryptedData = ", pEncryptedData,
                           pEncryptedData != nullptr ? ulEncryptedDataLen : 0);
            QV_TRACE_VALUE(ulEncryptedDataLen);
            QV_TRACE_NAMED("pData", pointerText(pData));
            QV_TRACE_NAMED("pulDataLen", numberPointerText(pulDataLen));
        },
        [&](Session& session, amw::CachedToken& token) -> CK_RV {
            const auto key = session.getPrivateKeyForOperation(&token, Session::DECRYPT);
            const CK_ULONG k = blockLength(*key);
            if (ulEncryptedDataLen != k)
                throw InvalidEncryptedDataLength(ulEncryptedDataLen);
            // k bounds the message: the exact length is known only after decrypting.
            CK_RV rv = CKR_OK;
            if (!outputFits(pData, pulDataLen, k, &rv)) {
                QV_TRACE_OUT_VALUE(*pulDataLen);
                return rv;
            }
            SecretBlock block;
            token.rsaExponentiation(key->getKeyPair(), pEncryptedData, k, &block.buffer, true);
            if (block.buffer.size() != k)
                throw InternalErrorException("unexpected length of decrypted data [%zu]",
                                             block.buffer.size());
            const std::uint8_t* message = nullptr;
            std::size_t messageLength = 0;
            // A bad padding keeps the operation, as any failure does.
            pkcs1unpadEncryptionPadding(block.buffer.data, k, &message, &messageLength);
            std::memcpy(pData, message, messageLength);
            *pulDataLen = messageLength;
            session.operationFinal(Session::DECRYPT);
            QV_TRACE_OUT_VALUE(*pulDataLen);
            return CKR_OK;
        });
}

// Generated on the card: 1024 or 2048 bits, exponent 65537.
extern "C" CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE hSession, CK_MECHANISM_PTR pMechanism,
                                   CK_ATTRIBUTE_PTR pPublicKeyTemplate,
                                   CK_ULONG ulPublicKeyAttributeCount,
                                   CK_ATTRIBUTE_PTR pPrivateKeyTemplate,
                                   CK_ULONG ulPrivateKeyAttributeCount,
                                   CK_OBJECT_HANDLE_PTR phPublicKey,
                                   CK_OBJECT_HANDLE_PTR phPrivateKey) {
    CardCallFrame frame{"C_GenerateKeyPair", hSession,
                        pMechanism != nullptr && pPublicKeyTemplate != nullptr &&
                            pPrivateKeyTemplate != nullptr && phPublicKey != nullptr &&
                            phPrivateKey != nullptr};
    if (pMechanism != nullptr && pMechanism->mechanism != CKM_RSA_PKCS_KEY_PAIR_GEN)
        frame.refusal = CKR_MECHANISM_INVALID;
    return runCardCall(
        frame,
        [&] {
            QV_TRACE_VALUE(hSession);
            QV_TRACE_NAMED("pMechanism", mechanismText(pMechanism));
            traceTemplate("pPublicKeyTemplate", pPublicKeyTemplate, ulPublicKeyAttributeCount);
            QV_TRACE_VALUE(ulPublicKeyAttributeCount);
            traceTemplate("pPrivateKeyTemplate", pPrivateKeyTemplate, ulPrivateKeyAttributeCount);
            QV_TRACE_VALUE(ulPrivateKeyAttributeCount);
        },
        [&](Session& session, amw::CachedToken& token) -> CK_RV {
            session.generateKeyPair(&token, pPublicKeyTemplate, ulPublicKeyAttributeCount,
                                    pPrivateKeyTemplate, ulPrivateKeyAttributeCount, phPublicKey,
                                    phPrivateKey);
            QV_TRACE_OUT_VALUE(*phPublicKey);
            QV_TRACE_OUT_VALUE(*phPrivateKey);
            return CKR_OK;
        });
}

// Random numbers come from the per-thread linear congruential generator, as
// this token defines them: not a cryptographic source (see the README).
extern "C" CK_RV C_SeedRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pSeed, CK_ULONG ulSeedLen) {
    return runSessionCall(
        "C_SeedRandom", hSession, pSeed != nullptr,
        [&] {
            QV_TRACE_VALUE(hSession);
            QV_TRACE_BYTES("pSeed = ", pSeed, pSeed != nullptr ? ulSeedLen : 0);
            QV_TRACE_VALUE(ulSeedLen);
        },
        [&](Session&) -> CK_RV {
            std::uint32_t h = 0;
            for (CK_ULONG i = 0; i < ulSeedLen; ++i)
                h = h ^ pSeed[i] ^ (h * 31u);
            PseudoRandom::seed(h);
            return CKR_OK;
        });
}

extern "C" CK_RV C_GenerateRandom(CK_SESSION_HANDLE hSession, CK_BYTE_PTR pRandomData,
                                  CK_ULONG ulRandomLen) {
    return runSessionCall(
        "C_GenerateRandom", hSession, pRandomData != nullptr || ulRandomLen == 0,
        [&] {
            QV_TRACE_VALUE(hSession);
            QV_TRACE_VALUE(ulRandomLen);
        },
        [&](Session&) -> CK_RV {
            for (CK_ULONG i = 0; i < ulRandomLen; ++i)
                pRandomData[i] = static_cast<CK_BYTE>(PseudoRandom::next());
            QV_TRACE_BYTES("pRandomData = ", pRandomData, ulRandomLen);
            return CKR_OK;
        });
}
