#include "internal/p11objects/p11RsaPrivateKey.h"

#include "amw/cachedtoken.h"
#include "exceptions.h"
#include "trace.h"

#include <memory>
#include <set>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/internal/p11objects/p11RsaPrivateKey");

namespace {

amw::KeyPair* withPrivateKey(amw::KeyPair* keyPair) {
    QV_FUNCTION_NAME("P11RsaPrivateKey::P11RsaPrivateKey");
    QV_REQUIRE_AT_LINE(keyPair, "keyPair", 33);
    QV_REQUIRE_AT_LINE(keyPair->getRsaPrivateKey(), "keyPair->getRsaPrivateKey()", 34);
    return keyPair;
}

// The CRT components in the order a missing or over-long one is named.
struct Component {
    CK_ATTRIBUTE_TYPE type;
    StaticBuffer<256> amw::RsaPrivateKeyComponents::*field;
};
const Component CRT_COMPONENTS[] = {
    {CKA_PRIME_1, &amw::RsaPrivateKeyComponents::p},
    {CKA_PRIME_2, &amw::RsaPrivateKeyComponents::q},
    {CKA_COEFFICIENT, &amw::RsaPrivateKeyComponents::inv},
    {CKA_EXPONENT_1, &amw::RsaPrivateKeyComponents::dp},
    {CKA_EXPONENT_2, &amw::RsaPrivateKeyComponents::dq},
};

}  // namespace

P11RsaPrivateKey::P11RsaPrivateKey(amw::KeyPair* keyPair)
    : P11RsaKey(CKO_PRIVATE_KEY, withPrivateKey(keyPair)) {}

bool P11RsaPrivateKey::supportsAttributeType(CK_ATTRIBUTE_TYPE type) {
    static const std::set<CK_ATTRIBUTE_TYPE> supported = withCommonAttributeTypes({
        CKA_SENSITIVE,
        CKA_DECRYPT,
        CKA_SIGN,
        CKA_SIGN_RECOVER,
        CKA_UNWRAP,
        CKA_EXTRACTABLE,
        CKA_ALWAYS_SENSITIVE,
        CKA_NEVER_EXTRACTABLE,
        CKA_WRAP_WITH_TRUSTED,
        CKA_UNWRAP_TEMPLATE,
        CKA_ALWAYS_AUTHENTICATE,
        CKA_MODULUS,
        CKA_PUBLIC_EXPONENT,
        CKA_PRIVATE_EXPONENT,
        CKA_PRIME_1,
        CKA_PRIME_2,
        CKA_EXPONENT_1,
        CKA_EXPONENT_2,
        CKA_COEFFICIENT,
    });
    return supported.count(type) != 0;
}

bool P11RsaPrivateKey::isSecretComponent(CK_ATTRIBUTE_TYPE type) {
    switch (type) {
    case CKA_PRIVATE_EXPONENT:
    case CKA_PRIME_1:
    case CKA_PRIME_2:
    case CKA_EXPONENT_1:
    case CKA_EXPONENT_2:
    case CKA_COEFFICIENT:
        return true;
    default:
        return false;
    }
}

void P11RsaPrivateKey::getAttributeValue(CK_ATTRIBUTE_TYPE type, CK_BYTE_PTR buffer,
                                         CK_ULONG_PTR size) {
    QV_ENTER("P11RsaPrivateKey::getAttributeValue");
    QV_TRACE_VALUE(type);
    if (isSecretComponent(type))
        sensitive(type, size);
    if (copyCommonAttribute(type, buffer, size))
        return;
    const amw::KeyPair::RsaPublicKey* publicKey = keyPair->getRsaPublicKey();
    switch (type) {
    case CKA_PRIVATE:
    case CKA_SENSITIVE:
    case CKA_ALWAYS_SENSITIVE:
    case CKA_NEVER_EXTRACTABLE:
        return copyBool(buffer, size, true);
    case CKA_EXTRACTABLE:
    case CKA_ALWAYS_AUTHENTICATE:
    case CKA_WRAP_WITH_TRUSTED:
        return copyBool(buffer, size, false);
    case CKA_LABEL:
        return copyLabel(buffer, size, keyPair->privateKey.label);
    case CKA_SIGN:
        return copyUsage(buffer, size, USAGE_SIGN);
    case CKA_DECRYPT:
        return copyUsage(buffer, size, USAGE_DECRYPT);
    case CKA_UNWRAP:
        return copyUsage(buffer, size, USAGE_UNWRAP);
    case CKA_SIGN_RECOVER:
        return copyUsage(buffer, size, USAGE_SIGN_RECOVER);
    case CKA_MODULUS:
    case CKA_PUBLIC_EXPONENT:
        if (publicKey == nullptr)
            unavailable(type, size);
        return copyBytes(buffer, size,
                         type == CKA_MODULUS ? publicKey->modulus : publicKey->publicExponent);
    case CKA_UNWRAP_TEMPLATE:
        return copyUlong(buffer, size, CK_UNAVAILABLE_INFORMATION);
    default:
        unavailable(type, size);
    }
}

void P11RsaPrivateKey::setAttributeValue(CK_ATTRIBUTE_TYPE type, const CK_BYTE* buffer,
                                         CK_ULONG size) {
    QV_ENTER("P11RsaPrivateKey::setAttributeValue");
    QV_TRACE_VALUE(type);
    setLabel(type, buffer, size, supportsAttributeType(type), keyPair->privateKey.label);
}

void P11RsaPrivateKey::destroyObjectFromCard(amw::CachedToken* token) {
    QV_ENTER("P11RsaPrivateKey::destroyObjectFromCard");
    QV_REQUIRE_AT_LINE(token, "token", 363);
    destroyHalf(token, keyPair->hasPublicKey,
                [&] { token->amendKeyPairRemovePrivateKey(keyPair); });
}

void P11RsaPrivateKey::parseTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count,
                                     StaticBuffer<128>* identifier, StaticBuffer<128>* label,
                                     std::uint16_t* usage, amw::RsaPrivateKeyComponents* components,
                                     std::uint32_t required) {
    QV_ENTER("P11RsaPrivateKey::parseTemplate");
    static const TemplateRule rules[] = {
        {CKA_LABEL, TemplateRule::BYTES, MAX_TEXT_LENGTH, nullptr},
        {CKA_ID, TemplateRule::BYTES, MAX_TEXT_LENGTH, nullptr},
        {CKA_SIGN, TemplateRule::BBOOL, 0, nullptr},
        {CKA_DECRYPT, TemplateRule::BBOOL, 0, nullptr},
        {CKA_UNWRAP, TemplateRule::BBOOL, 0, nullptr},
        {CKA_MODULUS, TemplateRule::BYTES, MAX_COMPONENT_LENGTH, nullptr},
        {CKA_PRIME_1, TemplateRule::BYTES, MAX_COMPONENT_LENGTH, nullptr},
        {CKA_PRIME_2, TemplateRule::BYTES, MAX_COMPONENT_LENGTH, nullptr},
        {CKA_EXPONENT_1, TemplateRule::BYTES, MAX_COMPONENT_LENGTH, nullptr},
        {CKA_EXPONENT_2, TemplateRule::BYTES, MAX_COMPONENT_LENGTH, nullptr},
        {CKA_COEFFICIENT, TemplateRule::BYTES, MAX_COMPONENT_LENGTH, nullptr},
    };
    const TemplateWalker walker(attributes, count, rules);
    if (required & REQUIRE_ID)
        walker.require(CKA_ID);
    if (required & REQUIRE_KEY) {
        walker.require(CKA_MODULUS);
        for (const Component& component : CRT_COMPONENTS)
            walker.require(component.type);
        // Each CRT component is at most half as long as the modulus.
        const CK_ULONG half = walker.find(CKA_MODULUS)->ulValueLen / 2;
        for (const Component& component : CRT_COMPONENTS)
            if (walker.find(component.type)->ulValueLen > half)
                throw AttributValueInvalidException(component.type);
    }

    if (identifier != nullptr)
        identifier->clear();
    if (label != nullptr)
        label->clear();
    walker.copy(CKA_ID, identifier);
    walker.copy(CKA_LABEL, label);
    if (usage != nullptr)
        *usage = walker.flag(CKA_SIGN, USAGE_SIGN) | walker.flag(CKA_DECRYPT, USAGE_DECRYPT) |
                 walker.flag(CKA_UNWRAP, USAGE_UNWRAP);
    if (components != nullptr) {
        *components = amw::RsaPrivateKeyComponents();
        walker.copy(CKA_MODULUS, &components->n);
        for (const Component& component : CRT_COMPONENTS)
            walker.copy(component.type, &(components->*component.field));
    }
}

StaticBuffer<128> P11RsaPrivateKey::createObject(amw::CachedToken* token,
                                                 const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    QV_ENTER("P11RsaPrivateKey::createObject");
    QV_REQUIRE_AT_LINE(attributes, "attributes", 151);
    QV_REQUIRE(token);
    StaticBuffer<128> pkcs11Id, label;
    std::uint16_t usage = 0;
    // Seven 256-byte buffers: kept off the stack.
    auto components = std::make_unique<amw::RsaPrivateKeyComponents>();
    parseTemplate(attributes, count, &pkcs11Id, &label, &usage, components.get(),
                  REQUIRE_ID | REQUIRE_KEY);

    amw::KeyPair* pair = token->findKeyPair(pkcs11Id);
    if (pair == nullptr) {
        token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_KEYPAIR, true);
        token
            ->importPrivateKey(pkcs11Id, static_cast<std::uint32_t>(components->n.size() * 8),
                               label, usage, *components)
            ->commitCreationOrMetadataChanges();
        return pkcs11Id;
    }
    if (pair->hasPrivateKey)
        throw TemplateInconsistentException(CKA_ID);
    // The modulus tells the key size; CRT values may come without their
    // leading zero bytes.
    if (pair->keySize / 8u != components->n.size())
        throw TemplateInconsistentException(CKA_MODULUS);
    completePair(token, pair, [&](std::uint8_t containerIndex, std::uint32_t keySpec) {
        token->amendKeyPairAddPrivateKey(pair, label, containerIndex, keySpec, usage, *components);
    });
    return pkcs11Id;
}
