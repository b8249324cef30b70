#include "internal/p11objects/p11object.h"

#include "amw/cachedtoken.h"
#include "exceptions.h"
#include "names.h"
#include "trace.h"

#include <cstring>
#include <memory>
#include <set>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/internal/p11objects/p11object");

P11Object::P11Object(CK_OBJECT_CLASS objectClass, const StaticBuffer<128>& pkcs11Id)
    : objectClass(objectClass), pkcs11Id(pkcs11Id) {}

P11Object::~P11Object() = default;

void P11Object::copyBufferToAttributeBuffer(CK_BYTE_PTR attBuffer, CK_ULONG_PTR attBufferSize,
                                            const void* srcBuffer, CK_ULONG srcLength,
                                            bool secret) {
    QV_FUNCTION_NAME("P11Object::copyBufferToAttributeBuffer");
    QV_REQUIRE_AT_LINE(attBufferSize, "attBufferSize", 107);
    if (srcLength != 0)
        QV_REQUIRE_AT_LINE(srcBuffer, "srcBuffer", 109);
    if (attBuffer == nullptr) {
        *attBufferSize = srcLength;
        return;
    }
    if (*attBufferSize < srcLength) {
        const CK_ULONG offered = *attBufferSize;
        *attBufferSize = CK_UNAVAILABLE_INFORMATION;
        throw AttributeBufferTooSmallException(offered, srcLength);
    }
    *attBufferSize = srcLength;
    if (srcLength != 0)
        std::memcpy(attBuffer, srcBuffer, srcLength);
    if (secret)
        QV_TRACE("[OUT] ******");
    else
        QV_TRACE_BYTES("[OUT] ", attBuffer, srcLength);
}

void P11Object::copyUlong(CK_BYTE_PTR buffer, CK_ULONG_PTR size, CK_ULONG value) {
    copyBufferToAttributeBuffer(buffer, size, &value, sizeof value);
}

void P11Object::copyBool(CK_BYTE_PTR buffer, CK_ULONG_PTR size, bool value) {
    const CK_BBOOL flag = value ? CK_TRUE : CK_FALSE;
    copyBufferToAttributeBuffer(buffer, size, &flag, sizeof flag);
}

void P11Object::copyLabel(CK_BYTE_PTR buffer, CK_ULONG_PTR size,
                          const StaticBuffer<128>& label) const {
    if (!label.empty()) {
        copyBytes(buffer, size, label);
        return;
    }
    const std::string text = hexText(pkcs11Id.data, pkcs11Id.size());
    copyBufferToAttributeBuffer(buffer, size, text.data(), static_cast<CK_ULONG>(text.size()));
}

void P11Object::unavailable(CK_ATTRIBUTE_TYPE type, CK_ULONG_PTR size) {
    if (size != nullptr)
        *size = CK_UNAVAILABLE_INFORMATION;
    throw AttributeTypeInvalidException(type, ckaName(type));
}

void P11Object::sensitive(CK_ATTRIBUTE_TYPE type, CK_ULONG_PTR size) {
    if (size != nullptr)
        *size = CK_UNAVAILABLE_INFORMATION;
    throw AttributeTypeSensitiveException(type, ckaName(type));
}

void P11Object::readOnly(CK_ATTRIBUTE_TYPE type) {
    throw AttributeReadOnlyException(type, ckaName(type));
}

void P11Object::checkNewValue(CK_ATTRIBUTE_TYPE type, const CK_BYTE* buffer, bool supported) {
    if (buffer == nullptr)
        throw AttributValueInvalidException(type);
    if (!supported)
        throw AttributeTypeInvalidException(type, ckaName(type));
}

void P11Object::checkMaximum(CK_ATTRIBUTE_TYPE type, CK_ULONG size, CK_ULONG maximum) {
    if (size > maximum)
        throw AttributValueInvalidException::tooBig(type, static_cast<long long>(size),
                                                    static_cast<long long>(maximum));
}

bool P11Object::compareAttribute(const CK_ATTRIBUTE& attribute) {
    QV_ENTER("P11Object::compareAttribute");
    if (attribute.type == CKA_ALLOWED_MECHANISMS) {
        QV_TRACE("unssuported comparison of attribute type CKA_ALLOWED_MECHANISMS");
        return false;
    }
    CK_ULONG length = 0;
    getAttributeValue(attribute.type, nullptr, &length);
    if (length != attribute.ulValueLen)
        return false;
    if (length == 0)
        return true;
    if (attribute.pValue == nullptr)
        return false;
    std::unique_ptr<CK_BYTE[]> value(new CK_BYTE[length]);
    CK_ULONG read = length;
    getAttributeValue(attribute.type, value.get(), &read);
    return read == length && std::memcmp(value.get(), attribute.pValue, length) == 0;
}

// --- P11ContentObject ---------------------------------------------------------------

P11ContentObject::P11ContentObject(CK_OBJECT_CLASS objectClass, const StaticBuffer<128>& pkcs11Id,
                                   amw::DataStorage* storage)
    : P11Object(objectClass, pkcs11Id), storage(storage) {}

void P11ContentObject::copyValue(CK_BYTE_PTR buffer, CK_ULONG_PTR size) {
    if (buffer == nullptr) {
        // A size query copies nothing and must not read the body: any
        // non-null address stands in as its source.
        copyBufferToAttributeBuffer(nullptr, size, storage, storage->contentSize);
        return;
    }
    const StaticBuffer<65536>& content = storage->getContent();
    copyBufferToAttributeBuffer(buffer, size, content.data, static_cast<CK_ULONG>(content.size()),
                                hasPrivateValue());
}

void P11ContentObject::replaceValue(const CK_BYTE* buffer, CK_ULONG size) {
    checkMaximum(CKA_VALUE, size, MAX_VALUE_LENGTH);
    storage->setContent(buffer, size);
    valueChanged = true;
}

void P11ContentObject::commitContent(amw::CachedToken* token, int counter) {
    QV_FUNCTION_NAME("P11ContentObject::commitContent");
    QV_REQUIRE(token);
    token->increaseFreshnessCounter(counter, true);
    storage->commitCreationOrMetadataChanges();
    if (valueChanged) {
        storage->commitContentChanges();
        valueChanged = false;
    }
}

void P11ContentObject::writeCreated(amw::DataStorage* storage, const CK_ATTRIBUTE* value,
                                    const std::function<void()>& undo) {
    try {
        storage->commitCreationOrMetadataChanges();
        if (value != nullptr) {
            storage->setContent(static_cast<const std::uint8_t*>(value->pValue), value->ulValueLen);
            storage->commitContentChanges();
        }
    } catch (const QVException&) {
        // The first failure is the one to report.
        try {
            undo();
        } catch (const QVException& e) {
            QV_TRACE("EXCEPTION CAUGHT %s", e.what());
        }
        throw;
    }
}

// --- TemplateWalker -------------------------------------------------------------

TemplateWalker::TemplateWalker(const CK_ATTRIBUTE* attributes, CK_ULONG count,
                               const TemplateRule* rules, std::size_t ruleCount)
    : rules_(rules), ruleCount_(ruleCount), found_(ruleCount, nullptr) {
    QV_FUNCTION_NAME("TemplateWalker::TemplateWalker");
    if (count != 0)
        QV_REQUIRE(attributes);
    // A set keeps the repeat test cheap however long a hostile template is.
    std::set<CK_ATTRIBUTE_TYPE> seen;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& attribute = attributes[i];
        if (!seen.insert(attribute.type).second)
            throw TemplateInconsistentException(attribute.type);
        for (std::size_t r = 0; r < ruleCount_; ++r) {
            const TemplateRule& rule = rules_[r];
            if (rule.type != attribute.type)
                continue;
            const CK_ULONG length = attribute.ulValueLen;
            const CK_ULONG fixed = rule.kind == TemplateRule::BBOOL   ? sizeof(CK_BBOOL)
                                   : rule.kind == TemplateRule::ULONG ? sizeof(CK_ULONG)
                                                                      : 0;
            if (rule.kind == TemplateRule::BYTES) {
                if (length > rule.maximum)
                    throw AttributValueInvalidException::tooBig(
                        rule.type, static_cast<long long>(length),
                        static_cast<long long>(rule.maximum));
            } else if (length < fixed) {
                throw AttributValueInvalidException::tooSmall(
                    rule.type, static_cast<long long>(length), static_cast<long long>(fixed));
            } else if (length > fixed) {
                throw AttributValueInvalidException::tooBig(
                    rule.type, static_cast<long long>(length), static_cast<long long>(fixed));
            }
            // An empty value may come without a pointer (an empty array).
            if (length != 0 && attribute.pValue == nullptr)
                throw AttributValueInvalidException(rule.type);
            if (rule.accepts != nullptr && !rule.accepts(attribute))
                throw AttributValueInvalidException(rule.type);
            found_[r] = &attribute;
            break;
        }
    }
}

const CK_ATTRIBUTE* TemplateWalker::find(CK_ATTRIBUTE_TYPE type) const {
    for (std::size_t r = 0; r < ruleCount_; ++r)
        if (rules_[r].type == type)
            return found_[r];
    return nullptr;
}

void TemplateWalker::require(CK_ATTRIBUTE_TYPE type) const {
    if (find(type) == nullptr)
        throw TemplateIncompleteException(type);
}

bool TemplateWalker::isTrue(CK_ATTRIBUTE_TYPE type) const {
    const CK_ATTRIBUTE* attribute = find(type);
    return attribute != nullptr && attribute->ulValueLen == 1 &&
           *static_cast<const CK_BYTE*>(attribute->pValue) == CK_TRUE;
}

CK_ULONG TemplateWalker::ulongValue(CK_ATTRIBUTE_TYPE type) const {
    const CK_ATTRIBUTE* attribute = find(type);
    CK_ULONG value = 0;
    if (attribute != nullptr && attribute->ulValueLen == sizeof value)
        std::memcpy(&value, attribute->pValue, sizeof value);
    return value;
}

std::string hexText(const std::uint8_t* data, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (std::size_t i = 0; i < length; ++i) {
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0x0F]);
    }
    return text;
}
