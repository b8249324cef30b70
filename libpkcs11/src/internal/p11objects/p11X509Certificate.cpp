#include "internal/p11objects/p11X509Certificate.h"

#include "amw/cachedtoken.h"
#include "exceptions.h"
#include "internal/cmapfile.h"
#include "tlvparser.h"
#include "trace.h"

#include <memory>
#include <set>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/internal/p11objects/p11X509Certificate");

namespace {

constexpr std::uint8_t TAG_SEQUENCE = 0x30;
constexpr std::uint8_t TAG_INTEGER = 0x02;
constexpr std::uint8_t TAG_EXPLICIT_VERSION = 0xA0;
constexpr CK_ULONG CATEGORY_TOKEN_USER = 1;
constexpr CK_ULONG CATEGORY_AUTHORITY = 2;

}  // namespace

P11X509Certificate::P11X509Certificate(amw::X509Certificate* certificate)
    : P11ContentObject(CKO_CERTIFICATE, certificate->getPkcs11Id(), certificate),
      certificate(certificate) {}

bool P11X509Certificate::supportsAttributeType(CK_ATTRIBUTE_TYPE type) {
    static const std::set<CK_ATTRIBUTE_TYPE> supported = {
        CKA_CLASS,
        CKA_LABEL,
        CKA_MODIFIABLE,
        CKA_TOKEN,
        CKA_PRIVATE,
        CKA_CERTIFICATE_TYPE,
        CKA_TRUSTED,
        CKA_CERTIFICATE_CATEGORY,
        CKA_CHECK_VALUE,
        CKA_START_DATE,
        CKA_END_DATE,
        CKA_SUBJECT,
        CKA_ID,
        CKA_ISSUER,
        CKA_SERIAL_NUMBER,
        CKA_VALUE,
        CKA_URL,
        CKA_HASH_OF_ISSUER_PUBLIC_KEY,
        CKA_HASH_OF_SUBJECT_PUBLIC_KEY,
        CKA_JAVA_MIDP_SECURITY_DOMAIN,
    };
    return supported.count(type) != 0;
}

bool P11X509Certificate::parseCertificate(const StaticBuffer<65536>& content, int field,
                                          StaticBuffer<65536>* out) {
    QV_ENTER("P11X509Certificate::parseCertificate");
    QV_REQUIRE(out);
    try {
        TlvReader reader(content.data, content.size());
        reader.enter(TAG_SEQUENCE);  // certificate
        reader.enter(TAG_SEQUENCE);  // to be signed
        reader.skip(TAG_EXPLICIT_VERSION);
        if (field == SERIAL_NUMBER) {
            reader.readNext(TAG_INTEGER, out, true);
            return true;
        }
        reader.skip(TAG_INTEGER);
        reader.skip(TAG_SEQUENCE);  // signature algorithm
        if (field == ISSUER) {
            reader.readNext(TAG_SEQUENCE, out, true);
            return true;
        }
        if (field != SUBJECT)
            return false;
        reader.skip(TAG_SEQUENCE);  // issuer
        reader.skip(TAG_SEQUENCE);  // validity
        reader.readNext(TAG_SEQUENCE, out, true);
        return true;
    } catch (const TlvParserException& e) {
        QV_TRACE("EXCEPTION CAUGHT %s", e.what());
        return false;
    }
}

void P11X509Certificate::copyField(CK_ATTRIBUTE_TYPE type, int field, CK_BYTE_PTR buffer,
                                   CK_ULONG_PTR size) {
    auto value = std::make_unique<StaticBuffer<65536>>();
    if (!parseCertificate(certificate->getContent(), field, value.get()))
        unavailable(type, size);
    copyBytes(buffer, size, *value);
}

void P11X509Certificate::getAttributeValue(CK_ATTRIBUTE_TYPE type, CK_BYTE_PTR buffer,
                                           CK_ULONG_PTR size) {
    QV_ENTER("P11X509Certificate::getAttributeValue");
    QV_TRACE_VALUE(type);
    switch (type) {
    case CKA_CLASS:
        return copyUlong(buffer, size, CKO_CERTIFICATE);
    case CKA_TOKEN:
    case CKA_MODIFIABLE:
        return copyBool(buffer, size, true);
    case CKA_PRIVATE:
        return copyBool(buffer, size, false);
    case CKA_LABEL:
        return copyLabel(buffer, size, certificate->label);
    case CKA_ID:
        return copyBytes(buffer, size, pkcs11Id);
    case CKA_VALUE:
        return copyValue(buffer, size);
    case CKA_CERTIFICATE_TYPE:
        return copyUlong(buffer, size, CKC_X_509);
    case CKA_JAVA_MIDP_SECURITY_DOMAIN:
        return copyUlong(buffer, size, 0);
    case CKA_SERIAL_NUMBER:
        return copyField(type, SERIAL_NUMBER, buffer, size);
    case CKA_ISSUER:
        return copyField(type, ISSUER, buffer, size);
    case CKA_SUBJECT:
        return copyField(type, SUBJECT, buffer, size);
    case CKA_TRUSTED:
        return copyBool(buffer, size, certificate->trusted);
    case CKA_CERTIFICATE_CATEGORY:
        return copyUlong(buffer, size,
                         certificate->trusted ? CATEGORY_AUTHORITY : CATEGORY_TOKEN_USER);
    case CKA_URL:
        return copyBufferToAttributeBuffer(buffer, size, nullptr, 0);
    default:
        unavailable(type, size);
    }
}

void P11X509Certificate::setAttributeValue(CK_ATTRIBUTE_TYPE type, const CK_BYTE* buffer,
                                           CK_ULONG size) {
    QV_ENTER("P11X509Certificate::setAttributeValue");
    QV_TRACE_VALUE(type);
    checkNewValue(type, buffer, supportsAttributeType(type));
    if (type == CKA_LABEL) {
        checkMaximum(type, size, MAX_TEXT_LENGTH);
        certificate->label.assign(buffer, size);
    } else if (type == CKA_VALUE) {
        replaceValue(buffer, size);
    } else {
        readOnly(type);
    }
}

void P11X509Certificate::commitChanges(amw::CachedToken* token) {
    QV_ENTER("P11X509Certificate::commitChanges");
    commitContent(token, amw::CachedToken::CACHED_OBJECT_CERTIFICATE);
}

void P11X509Certificate::destroyObjectFromCard(amw::CachedToken* token) {
    QV_ENTER("P11X509Certificate::destroyObjectFromCard");
    QV_REQUIRE_AT_LINE(token, "token", 263);
    token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE, true);
    token->deleteCertificate(certificate);
}

void P11X509Certificate::getKeySpecContainerIndexForNewCertificate(
    amw::CachedToken* token, const StaticBuffer<128>& identifier, std::uint8_t* containerIndex,
    std::uint32_t* keySpec) {
    QV_ENTER("P11X509Certificate::getKeySpecContainerIndexForNewCertificate");
    QV_REQUIRE_AT_LINE(containerIndex, "containerIndex", 308);
    QV_REQUIRE_AT_LINE(keySpec, "keySpec", 309);
    QV_REQUIRE(token);
    const amw::KeyPair* pair = token->findKeyPair(identifier);
    if (pair != nullptr && pair->hasPublicKey && pair->hasPrivateKey) {
        *containerIndex = pair->containerIndex;
        *keySpec = pair->keySpec;
    } else {
        const StaticBuffer<65536>& content = findCmapfile(token)->getContent();
        if (!findAvaliableRecordInCmapfile(token->getCertificates(), content.data, content.size(),
                                           containerIndex)) {
            QV_TRACE("no free container found, using non existent container index");
            *containerIndex = static_cast<std::uint8_t>(content.size() / cmap::RECORD_SIZE + 1);
        }
        *keySpec = amw::KeyPair::KEY_EXCHANGE_KEY;
    }
    QV_TRACE_OUT_VALUE(*containerIndex);
    QV_TRACE_OUT_NAMED("*keySpec", amw::keySpecText(*keySpec));
}

StaticBuffer<128> P11X509Certificate::createObject(amw::CachedToken* token,
                                                   const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    QV_ENTER("P11X509Certificate::createObject");
    QV_REQUIRE(token);
    static const TemplateRule rules[] = {
        {CKA_LABEL, TemplateRule::BYTES, MAX_TEXT_LENGTH, nullptr},
        {CKA_VALUE, TemplateRule::BYTES, MAX_VALUE_LENGTH, nullptr},
        {CKA_TRUSTED, TemplateRule::BBOOL, 0, nullptr},
        {CKA_ID, TemplateRule::BYTES, MAX_TEXT_LENGTH, nullptr},
    };
    const TemplateWalker walker(attributes, count, rules);
    walker.require(CKA_ID);
    StaticBuffer<128> label, pkcs11Id;
    walker.copy(CKA_LABEL, &label);
    walker.copy(CKA_ID, &pkcs11Id);

    std::uint8_t containerIndex = 0;
    std::uint32_t keySpec = 0;
    getKeySpecContainerIndexForNewCertificate(token, pkcs11Id, &containerIndex, &keySpec);
    token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE, true);
    const amw::AccessCondition unspecified;
    amw::X509Certificate* created =
        token->createCertificate(label, pkcs11Id, containerIndex, keySpec,
                                 walker.isTrue(CKA_TRUSTED), unspecified, unspecified, unspecified);
    writeCreated(created, walker.find(CKA_VALUE), [&] {
        token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_CERTIFICATE, true);
        token->deleteCertificate(created);
    });
    return pkcs11Id;
}
