#include "internal/p11objects/p11RsaKey.h"

#include "amw/cachedtoken.h"
#include "internal/cmapfile.h"
#include "trace.h"

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/internal/p11objects/p11RsaKey");

P11RsaKey::P11RsaKey(CK_OBJECT_CLASS objectClass, amw::KeyPair* keyPair)
    : P11Object(objectClass, keyPair->getPkcs11Id()), keyPair(keyPair) {}

std::uint32_t P11RsaKey::keySpecForUsage(std::uint16_t usage) {
    return usage == USAGE_SIGN ? amw::KeyPair::SIGNATURE_KEY : amw::KeyPair::KEY_EXCHANGE_KEY;
}

std::set<CK_ATTRIBUTE_TYPE> P11RsaKey::withCommonAttributeTypes(
    std::initializer_list<CK_ATTRIBUTE_TYPE> own) {
    std::set<CK_ATTRIBUTE_TYPE> types = {
        CKA_CLASS,
        CKA_LABEL,
        CKA_MODIFIABLE,
        CKA_TOKEN,
        CKA_PRIVATE,
        CKA_KEY_TYPE,
        CKA_ID,
        CKA_START_DATE,
        CKA_END_DATE,
        CKA_DERIVE,
        CKA_LOCAL,
        CKA_KEY_GEN_MECHANISM,
        CKA_ALLOWED_MECHANISMS,
        CKA_SUBJECT,
    };
    types.insert(own);
    return types;
}

bool P11RsaKey::copyCommonAttribute(CK_ATTRIBUTE_TYPE type, CK_BYTE_PTR buffer, CK_ULONG_PTR size) {
    switch (type) {
    case CKA_CLASS:
        copyUlong(buffer, size, objectClass);
        return true;
    case CKA_TOKEN:
        copyBool(buffer, size, true);
        return true;
    case CKA_DERIVE:
    case CKA_MODIFIABLE:
        copyBool(buffer, size, false);
        return true;
    case CKA_KEY_TYPE:
        copyUlong(buffer, size, CKK_RSA);
        return true;
    case CKA_ID:
        copyBytes(buffer, size, pkcs11Id);
        return true;
    case CKA_LOCAL:
        copyBool(buffer, size, keyPair->generatedOnCard != 0);
        return true;
    case CKA_KEY_GEN_MECHANISM:
        copyUlong(
            buffer, size,
            keyPair->generatedOnCard ? CKM_RSA_PKCS_KEY_PAIR_GEN : CK_UNAVAILABLE_INFORMATION);
        return true;
    case CKA_ALLOWED_MECHANISMS:
        copyUlong(buffer, size, CKM_RSA_PKCS);
        return true;
    default:
        return false;
    }
}

void P11RsaKey::copyUsage(CK_BYTE_PTR buffer, CK_ULONG_PTR size, std::uint16_t bit) const {
    copyBool(buffer, size, (keyPair->keyUsage & bit) != 0);
}

void P11RsaKey::setLabel(CK_ATTRIBUTE_TYPE type, const CK_BYTE* buffer, CK_ULONG size,
                         bool supported, StaticBuffer<128>& label) {
    checkNewValue(type, buffer, supported);
    if (type != CKA_LABEL)
        readOnly(type);
    checkMaximum(type, size, MAX_TEXT_LENGTH);
    label.assign(buffer, size);
}

void P11RsaKey::commitChanges(amw::CachedToken* token) {
    QV_ENTER("P11RsaKey::commitChanges");
    QV_REQUIRE(token);
    token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
    keyPair->commitCreationOrMetadataChanges();
}

void P11RsaKey::destroyHalf(amw::CachedToken* token, bool otherHalfPresent,
                            const std::function<void()>& removeHalf) {
    token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
    if (!otherHalfPresent) {
        token->deleteKeyPair(keyPair);
        return;
    }
    const std::uint8_t containerIndex = keyPair->containerIndex;
    const std::uint32_t keySpec = keyPair->keySpec;
    removeHalf();
    keyPair->commitCreationOrMetadataChanges();
    deleteContainerInCmapfile(token, containerIndex, keySpec);
}

void P11RsaKey::completePair(amw::CachedToken* token, amw::KeyPair* pair,
                             const std::function<void(std::uint8_t, std::uint32_t)>& addHalf) {
    QV_ENTER("P11RsaKey::completePair");
    const std::uint32_t keySpec = keySpecForUsage(pair->keyUsage);
    const std::uint8_t containerIndex = prepareContainerInCmapfile(token, pair->getPkcs11Id());
    token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
    addHalf(containerIndex, keySpec);
    pair->commitCreationOrMetadataChanges();
    commitContainerInCmapfile(token, containerIndex, keySpec, pair->keySize);
}
