#pragma once
// The base of the four PKCS#11 object classes: short-lived wrappers, built
// for one call over an object of the caching token's lists (which own it),
// and the rules every class shares for handing values out, comparing them
// with a search template and checking creation templates.
#include "cryptoki.h"
#include "staticbuffer.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace amw {
class CachedToken;
class DataStorage;
}  // namespace amw

class P11Object {
public:
    virtual ~P11Object();
    P11Object(const P11Object&) = delete;
    P11Object& operator=(const P11Object&) = delete;

    // `size`: capacity of `buffer` on entry, the value length on return; a
    // null `buffer` asks for the length only.
    virtual void getAttributeValue(CK_ATTRIBUTE_TYPE type, CK_BYTE_PTR buffer,
                                   CK_ULONG_PTR size) = 0;
    // Changes the wrapped object in memory; commitChanges writes it.
    virtual void setAttributeValue(CK_ATTRIBUTE_TYPE type, const CK_BYTE* buffer,
                                   CK_ULONG size) = 0;
    virtual void commitChanges(amw::CachedToken* token) = 0;
    virtual void destroyObjectFromCard(amw::CachedToken* token) = 0;

    // One attribute of a search template against this object. Failures of
    // getAttributeValue (a sensitive attribute) pass on.
    bool compareAttribute(const CK_ATTRIBUTE& attribute);

    CK_OBJECT_CLASS getObjectClass() const { return objectClass; }
    const StaticBuffer<128>& getPkcs11Id() const { return pkcs11Id; }
    // CKA_VALUE is a secret the user stored: it is masked in the log.
    virtual bool hasPrivateValue() const { return false; }

    // The one way values leave an object: a size query, the too-small answer
    // (length CK_UNAVAILABLE_INFORMATION) or the copy, logged unless `secret`.
    static void copyBufferToAttributeBuffer(CK_BYTE_PTR attBuffer, CK_ULONG_PTR attBufferSize,
                                            const void* srcBuffer, CK_ULONG srcLength,
                                            bool secret = false);

protected:
    P11Object(CK_OBJECT_CLASS objectClass, const StaticBuffer<128>& pkcs11Id);

    static void copyUlong(CK_BYTE_PTR buffer, CK_ULONG_PTR size, CK_ULONG value);
    static void copyBool(CK_BYTE_PTR buffer, CK_ULONG_PTR size, bool value);
    template <std::size_t N>
    static void copyBytes(CK_BYTE_PTR buffer, CK_ULONG_PTR size, const StaticBuffer<N>& value) {
        copyBufferToAttributeBuffer(buffer, size, value.data, static_cast<CK_ULONG>(value.size()));
    }
    // The label, or the identifier as lowercase hex when the label is empty.
    void copyLabel(CK_BYTE_PTR buffer, CK_ULONG_PTR size, const StaticBuffer<128>& label) const;

    // A type the object cannot supply: length CK_UNAVAILABLE_INFORMATION and
    // AttributeTypeInvalidException.
    [[noreturn]] static void unavailable(CK_ATTRIBUTE_TYPE type, CK_ULONG_PTR size);
    // A secret that never leaves the card: length CK_UNAVAILABLE_INFORMATION
    // and AttributeTypeSensitiveException.
    [[noreturn]] static void sensitive(CK_ATTRIBUTE_TYPE type, CK_ULONG_PTR size);
    [[noreturn]] static void readOnly(CK_ATTRIBUTE_TYPE type);
    // The first two checks of every setAttributeValue: a value and a type the class knows.
    static void checkNewValue(CK_ATTRIBUTE_TYPE type, const CK_BYTE* buffer, bool supported);
    static void checkMaximum(CK_ATTRIBUTE_TYPE type, CK_ULONG size, CK_ULONG maximum);

    const CK_OBJECT_CLASS objectClass;
    const StaticBuffer<128> pkcs11Id;
};

// Largest CKA_VALUE of a certificate or data object.
constexpr CK_ULONG MAX_VALUE_LENGTH = 65536;
// Largest label, identifier, application and object identifier.
constexpr CK_ULONG MAX_TEXT_LENGTH = 128;

// Certificates and data objects: a body kept as the card object's content,
// read from the card on first use.
class P11ContentObject : public P11Object {
protected:
    P11ContentObject(CK_OBJECT_CLASS objectClass, const StaticBuffer<128>& pkcs11Id,
                     amw::DataStorage* storage);

    // CKA_VALUE: a size query answers from the reported size without reading the body.
    void copyValue(CK_BYTE_PTR buffer, CK_ULONG_PTR size);
    // At most 65536 bytes; written by commitContent.
    void replaceValue(const CK_BYTE* buffer, CK_ULONG size);
    // Raises the kind's counter, writes the metadata and a changed body.
    void commitContent(amw::CachedToken* token, int counter);
    // Writes a created object's metadata and, when the template has one, its
    // value; a failure runs `undo` and passes on.
    static void writeCreated(amw::DataStorage* storage, const CK_ATTRIBUTE* value,
                             const std::function<void()>& undo);

    amw::DataStorage* const storage;
    bool valueChanged = false;
};

// How a creation template checks one attribute type.
struct TemplateRule {
    enum Kind {
        BYTES,  // at most `maximum` bytes
        BBOOL,  // exactly one byte
        ULONG,  // exactly sizeof(CK_ULONG) bytes
    };
    CK_ATTRIBUTE_TYPE type;
    Kind kind;
    CK_ULONG maximum;
    // A further check of the value, made in template order; false gives
    // "Invalid value of attribute".
    bool (*accepts)(const CK_ATTRIBUTE& attribute);
};

// Walks a creation template once, in order, with the one vocabulary of
// failures: a repeated type is inconsistent; an attribute with a rule is
// checked for length, a null value and the rule's own check; every other
// type is passed over. Values are read only within their given length.
class TemplateWalker {
public:
    TemplateWalker(const CK_ATTRIBUTE* attributes, CK_ULONG count, const TemplateRule* rules,
                   std::size_t ruleCount);
    template <std::size_t N>
    TemplateWalker(const CK_ATTRIBUTE* attributes, CK_ULONG count, const TemplateRule (&rules)[N])
        : TemplateWalker(attributes, count, rules, N) {}

    // The attribute of a rule's type, null when the template lacks it.
    const CK_ATTRIBUTE* find(CK_ATTRIBUTE_TYPE type) const;
    bool has(CK_ATTRIBUTE_TYPE type) const { return find(type) != nullptr; }
    // TemplateIncompleteException when the template lacks it.
    void require(CK_ATTRIBUTE_TYPE type) const;
    // Present with the byte value 1 (CK_TRUE).
    bool isTrue(CK_ATTRIBUTE_TYPE type) const;
    CK_ULONG ulongValue(CK_ATTRIBUTE_TYPE type) const;
    // Copies the value into `out` when both are there.
    template <std::size_t N>
    void copy(CK_ATTRIBUTE_TYPE type, StaticBuffer<N>* out) const {
        const CK_ATTRIBUTE* attribute = find(type);
        if (out != nullptr && attribute != nullptr)
            out->assign(static_cast<const std::uint8_t*>(attribute->pValue), attribute->ulValueLen);
    }
    // The usage flag when the attribute is CK_TRUE.
    std::uint16_t flag(CK_ATTRIBUTE_TYPE type, std::uint16_t bit) const {
        return isTrue(type) ? bit : 0;
    }

private:
    const TemplateRule* rules_;
    std::size_t ruleCount_;
    std::vector<const CK_ATTRIBUTE*> found_;  // per rule
};

// The identifier as lowercase hex, two digits per byte.
std::string hexText(const std::uint8_t* data, std::size_t length);
