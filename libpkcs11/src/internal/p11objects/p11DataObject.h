#pragma once
// A data object of the card as a CKO_DATA object: a value with a label, an
// application and an object identifier. Private when the card guards
// reading its content.
#include "internal/p11objects/p11object.h"

namespace amw {
class DataObject;
}

class P11DataObject : public P11ContentObject {
public:
    explicit P11DataObject(amw::DataObject* dataObject);

    void getAttributeValue(CK_ATTRIBUTE_TYPE type, CK_BYTE_PTR buffer, CK_ULONG_PTR size) override;
    void setAttributeValue(CK_ATTRIBUTE_TYPE type, const CK_BYTE* buffer, CK_ULONG size) override;
    void commitChanges(amw::CachedToken* token) override;
    void destroyObjectFromCard(amw::CachedToken* token) override;
    bool hasPrivateValue() const override;

    static bool supportsAttributeType(CK_ATTRIBUTE_TYPE type);
    // Whether the template names a private data object (CKA_CLASS CKO_DATA,
    // CKA_PRIVATE true); a malformed entry counts as not given.
    static bool isPrivateTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count);
    // Creates the object on the card; returns the identifier the token made for it.
    static StaticBuffer<128> createObject(amw::CachedToken* token, const CK_ATTRIBUTE* attributes,
                                          CK_ULONG count);

private:
    amw::DataObject* const dataObject;
};
