#include "internal/p11objects/p11RsaPublicKey.h"

#include "amw/cachedtoken.h"
#include "exceptions.h"
#include "trace.h"

#include <cstring>
#include <set>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/internal/p11objects/p11RsaPublicKey");

namespace {

amw::KeyPair* withPublicKey(amw::KeyPair* keyPair) {
    QV_FUNCTION_NAME("P11RsaPublicKey::P11RsaPublicKey");
    QV_REQUIRE_AT_LINE(keyPair, "keyPair", 33);
    QV_REQUIRE_AT_LINE(keyPair->getRsaPublicKey(), "keyPair->getRsaPublicKey()", 34);
    return keyPair;
}

// The card makes keys of these sizes only; the low 16 bits count.
bool supportedKeySize(const CK_ATTRIBUTE& attribute) {
    CK_ULONG bits = 0;
    std::memcpy(&bits, attribute.pValue, sizeof bits);
    bits &= 0xFFFF;
    return bits == 1024 || bits == 2048;
}

}  // namespace

P11RsaPublicKey::P11RsaPublicKey(amw::KeyPair* keyPair)
    : P11RsaKey(CKO_PUBLIC_KEY, withPublicKey(keyPair)) {}

bool P11RsaPublicKey::supportsAttributeType(CK_ATTRIBUTE_TYPE type) {
    static const std::set<CK_ATTRIBUTE_TYPE> supported = withCommonAttributeTypes({
        CKA_ENCRYPT,
        CKA_VERIFY,
        CKA_VERIFY_RECOVER,
        CKA_WRAP,
        CKA_TRUSTED,
        CKA_WRAP_TEMPLATE,
        CKA_MODULUS,
        CKA_MODULUS_BITS,
        CKA_PUBLIC_EXPONENT,
    });
    return supported.count(type) != 0;
}

void P11RsaPublicKey::getAttributeValue(CK_ATTRIBUTE_TYPE type, CK_BYTE_PTR buffer,
                                        CK_ULONG_PTR size) {
    QV_ENTER("P11RsaPublicKey::getAttributeValue");
    QV_TRACE_VALUE(type);
    if (copyCommonAttribute(type, buffer, size))
        return;
    const amw::KeyPair::RsaPublicKey& key = keyPair->publicKey;
    switch (type) {
    case CKA_PRIVATE:
    case CKA_TRUSTED:
        return copyBool(buffer, size, false);
    case CKA_LABEL:
        return copyLabel(buffer, size, key.label);
    case CKA_ENCRYPT:
        return copyUsage(buffer, size, USAGE_ENCRYPT);
    case CKA_WRAP:
        return copyUsage(buffer, size, USAGE_WRAP);
    case CKA_VERIFY:
        return copyUsage(buffer, size, USAGE_VERIFY);
    case CKA_VERIFY_RECOVER:
        return copyUsage(buffer, size, USAGE_VERIFY_RECOVER);
    case CKA_MODULUS:
        return copyBytes(buffer, size, key.modulus);
    case CKA_MODULUS_BITS:
        return copyUlong(buffer, size, keyPair->keySize);
    case CKA_PUBLIC_EXPONENT:
        return copyBytes(buffer, size, key.publicExponent);
    case CKA_SUBJECT:
    case CKA_START_DATE:
    case CKA_END_DATE:
        return copyUlong(buffer, size, CK_UNAVAILABLE_INFORMATION);
    case CKA_WRAP_TEMPLATE:
        return copyBufferToAttributeBuffer(buffer, size, nullptr, 0);
    default:
        unavailable(type, size);
    }
}

void P11RsaPublicKey::setAttributeValue(CK_ATTRIBUTE_TYPE type, const CK_BYTE* buffer,
                                        CK_ULONG size) {
    QV_ENTER("P11RsaPublicKey::setAttributeValue");
    QV_TRACE_VALUE(type);
    setLabel(type, buffer, size, supportsAttributeType(type), keyPair->publicKey.label);
}

void P11RsaPublicKey::destroyObjectFromCard(amw::CachedToken* token) {
    QV_ENTER("P11RsaPublicKey::destroyObjectFromCard");
    QV_REQUIRE_AT_LINE(token, "token", 312);
    destroyHalf(token, keyPair->hasPrivateKey,
                [&] { token->amendKeyPairRemovePublicKey(keyPair); });
}

void P11RsaPublicKey::parseTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count,
                                    StaticBuffer<128>* identifier, StaticBuffer<128>* label,
                                    std::uint16_t* usage, StaticBuffer<256>* modulus,
                                    StaticBuffer<256>* exponent, std::uint32_t* keySize,
                                    std::uint32_t required) {
    QV_ENTER("P11RsaPublicKey::parseTemplate");
    const TemplateRule rules[] = {
        {CKA_LABEL, TemplateRule::BYTES, MAX_TEXT_LENGTH, nullptr},
        {CKA_ID, TemplateRule::BYTES, MAX_TEXT_LENGTH, nullptr},
        {CKA_MODULUS, TemplateRule::BYTES, MAX_COMPONENT_LENGTH, nullptr},
        {CKA_PUBLIC_EXPONENT, TemplateRule::BYTES, MAX_COMPONENT_LENGTH, nullptr},
        {CKA_MODULUS_BITS, TemplateRule::ULONG, 0, keySize != nullptr ? supportedKeySize : nullptr},
        {CKA_ENCRYPT, TemplateRule::BBOOL, 0, nullptr},
        {CKA_WRAP, TemplateRule::BBOOL, 0, nullptr},
        {CKA_VERIFY, TemplateRule::BBOOL, 0, nullptr},
    };
    const TemplateWalker walker(attributes, count, rules);
    static const CK_ATTRIBUTE_TYPE requirable[] = {CKA_ID, CKA_MODULUS, CKA_PUBLIC_EXPONENT,
                                                   CKA_MODULUS_BITS};
    for (std::size_t bit = 0; bit < 4; ++bit)
        if (required & (1u << bit))
            walker.require(requirable[bit]);

    if (identifier != nullptr)
        identifier->clear();
    if (label != nullptr)
        label->clear();
    if (modulus != nullptr)
        modulus->clear();
    if (exponent != nullptr)
        exponent->clear();
    walker.copy(CKA_ID, identifier);
    walker.copy(CKA_LABEL, label);
    walker.copy(CKA_MODULUS, modulus);
    walker.copy(CKA_PUBLIC_EXPONENT, exponent);
    if (usage != nullptr)
        *usage = walker.flag(CKA_ENCRYPT, USAGE_ENCRYPT) | walker.flag(CKA_WRAP, USAGE_WRAP) |
                 walker.flag(CKA_VERIFY, USAGE_VERIFY);
    if (keySize != nullptr)
        *keySize = static_cast<std::uint32_t>(walker.ulongValue(CKA_MODULUS_BITS) & 0xFFFF);
}

StaticBuffer<128> P11RsaPublicKey::createObject(amw::CachedToken* token,
                                                const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    QV_ENTER("P11RsaPublicKey::createObject");
    QV_REQUIRE_AT_LINE(attributes, "attributes", 124);
    QV_REQUIRE(token);
    StaticBuffer<128> pkcs11Id, label;
    std::uint16_t usage = 0;
    StaticBuffer<256> modulus, exponent;
    parseTemplate(attributes, count, &pkcs11Id, &label, &usage, &modulus, &exponent, nullptr,
                  REQUIRE_ID | REQUIRE_MODULUS | REQUIRE_PUBLIC_EXPONENT);

    amw::KeyPair* pair = token->findKeyPair(pkcs11Id);
    if (pair == nullptr) {
        token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
        token
            ->importPublicKey(pkcs11Id, static_cast<std::uint32_t>(modulus.size() * 8), label,
                              usage, modulus, exponent)
            ->commitCreationOrMetadataChanges();
        return pkcs11Id;
    }
    if (pair->hasPublicKey)
        throw TemplateInconsistentException(CKA_ID);
    if (pair->keySize / 8u != modulus.size())
        throw TemplateInconsistentException(CKA_MODULUS);
    completePair(token, pair, [&](std::uint8_t containerIndex, std::uint32_t keySpec) {
        token->amendKeyPairAddPublicKey(pair, label, containerIndex, keySpec, usage, modulus,
                                        exponent);
    });
    return pkcs11Id;
}
