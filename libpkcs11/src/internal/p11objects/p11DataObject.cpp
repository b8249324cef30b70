#include "internal/p11objects/p11DataObject.h"

#include "amw/cachedtoken.h"
#include "exceptions.h"
#include "trace.h"

#include <cstring>
#include <set>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/internal/p11objects/p11DataObject");

namespace {

using amw::AccessCondition;

}  // namespace

P11DataObject::P11DataObject(amw::DataObject* dataObject)
    : P11ContentObject(CKO_DATA, dataObject->getPkcs11Id(), dataObject), dataObject(dataObject) {}

bool P11DataObject::supportsAttributeType(CK_ATTRIBUTE_TYPE type) {
    static const std::set<CK_ATTRIBUTE_TYPE> supported = {
        CKA_CLASS,   CKA_LABEL,       CKA_MODIFIABLE, CKA_TOKEN,
        CKA_PRIVATE, CKA_APPLICATION, CKA_OBJECT_ID,  CKA_VALUE,
    };
    return supported.count(type) != 0;
}

bool P11DataObject::hasPrivateValue() const { return dataObject->isPrivateContent(); }

bool P11DataObject::isPrivateTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    bool data = false, isPrivate = false;
    for (CK_ULONG i = 0; attributes != nullptr && i < count; ++i) {
        const CK_ATTRIBUTE& a = attributes[i];
        if (a.pValue == nullptr)
            continue;
        if (a.type == CKA_CLASS && a.ulValueLen == sizeof(CK_OBJECT_CLASS)) {
            CK_OBJECT_CLASS value;
            std::memcpy(&value, a.pValue, sizeof value);
            data = value == CKO_DATA;
        } else if (a.type == CKA_PRIVATE && a.ulValueLen == 1) {
            isPrivate = *static_cast<const CK_BYTE*>(a.pValue) == CK_TRUE;
        }
    }
    return data && isPrivate;
}

void P11DataObject::getAttributeValue(CK_ATTRIBUTE_TYPE type, CK_BYTE_PTR buffer,
                                      CK_ULONG_PTR size) {
    QV_ENTER("P11DataObject::getAttributeValue");
    QV_TRACE_VALUE(type);
    switch (type) {
    case CKA_CLASS:
        return copyUlong(buffer, size, CKO_DATA);
    case CKA_TOKEN:
    case CKA_MODIFIABLE:
        return copyBool(buffer, size, true);
    case CKA_PRIVATE:
        return copyBool(buffer, size, dataObject->isPrivateContent());
    case CKA_LABEL:
        return copyLabel(buffer, size, dataObject->label);
    case CKA_APPLICATION:
        return copyBytes(buffer, size, dataObject->application);
    case CKA_OBJECT_ID:
        return copyBytes(buffer, size, dataObject->objectId);
    case CKA_VALUE:
        return copyValue(buffer, size);
    default:
        unavailable(type, size);
    }
}

void P11DataObject::setAttributeValue(CK_ATTRIBUTE_TYPE type, const CK_BYTE* buffer,
                                      CK_ULONG size) {
    QV_ENTER("P11DataObject::setAttributeValue");
    QV_TRACE_VALUE(type);
    checkNewValue(type, buffer, supportsAttributeType(type));
    StaticBuffer<128>* field = type == CKA_LABEL         ? &dataObject->label
                               : type == CKA_APPLICATION ? &dataObject->application
                               : type == CKA_OBJECT_ID   ? &dataObject->objectId
                                                         : nullptr;
    if (field != nullptr) {
        checkMaximum(type, size, MAX_TEXT_LENGTH);
        field->assign(buffer, size);
    } else if (type == CKA_VALUE) {
        replaceValue(buffer, size);
    } else {
        readOnly(type);
    }
}

void P11DataObject::commitChanges(amw::CachedToken* token) {
    QV_ENTER("P11DataObject::commitChanges");
    commitContent(token, amw::CachedToken::CACHED_OBJECT_DATA_OBJECT);
}

void P11DataObject::destroyObjectFromCard(amw::CachedToken* token) {
    QV_ENTER("P11DataObject::destroyObjectFromCard");
    QV_REQUIRE_AT_LINE(token, "token", 216);
    token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_DATA_OBJECT, true);
    token->deleteDataObject(dataObject);
}

StaticBuffer<128> P11DataObject::createObject(amw::CachedToken* token,
                                              const CK_ATTRIBUTE* attributes, CK_ULONG count) {
    QV_ENTER("P11DataObject::createObject");
    QV_REQUIRE(token);
    static const TemplateRule rules[] = {
        {CKA_PRIVATE, TemplateRule::BBOOL, 0, nullptr},
        {CKA_LABEL, TemplateRule::BYTES, MAX_TEXT_LENGTH, nullptr},
        {CKA_APPLICATION, TemplateRule::BYTES, MAX_TEXT_LENGTH, nullptr},
        {CKA_OBJECT_ID, TemplateRule::BYTES, MAX_TEXT_LENGTH, nullptr},
        {CKA_VALUE, TemplateRule::BYTES, MAX_VALUE_LENGTH, nullptr},
    };
    const TemplateWalker walker(attributes, count, rules);
    StaticBuffer<128> label, objectId, application;
    walker.copy(CKA_LABEL, &label);
    walker.copy(CKA_OBJECT_ID, &objectId);
    walker.copy(CKA_APPLICATION, &application);
    // The card's default read condition is not the public one.
    const AccessCondition readContent(walker.isTrue(CKA_PRIVATE) ? AccessCondition::NOT_SPECIFIED
                                                                 : AccessCondition::EVERYONE);

    StaticBuffer<128> pkcs11Id;
    token->generatePkcs11Id(&pkcs11Id);
    token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_DATA_OBJECT, true);
    amw::DataObject* created =
        token->createDataObject(label, pkcs11Id, objectId, application, AccessCondition(),
                                readContent, AccessCondition(), AccessCondition());
    writeCreated(created, walker.find(CKA_VALUE), [&] { token->deleteDataObject(created); });
    return pkcs11Id;
}
