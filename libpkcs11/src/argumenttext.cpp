#include "argumenttext.h"

#include "internal/p11objects/p11RsaPrivateKey.h"
#include "names.h"
#include "trace.h"

#include <algorithm>
#include <string>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/argumenttext");

namespace {

constexpr CK_ULONG MAX_LOGGED_ENTRIES = 64;
constexpr CK_ULONG MAX_LOGGED_VALUE = 256;
constexpr CK_ULONG MAX_LOGGED_PARAMETER = 1024;

// At most `limit` bytes as hex; with `markCut`, " ..." when there are more.
std::string hexValue(const void* data, CK_ULONG length, CK_ULONG limit, bool markCut) {
    static const char digits[] = "0123456789ABCDEF";
    const auto* bytes = static_cast<const unsigned char*>(data);
    const CK_ULONG shown = std::min(length, limit);
    std::string text;
    text.reserve(2 * shown + 4);
    for (CK_ULONG i = 0; i < shown; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    if (markCut && length > limit)
        text += " ...";
    return text;
}

}  // namespace

std::string attributeText(const CK_ATTRIBUTE& attribute, bool privateValue) {
    std::string value;
    if (P11RsaPrivateKey::isSecretComponent(attribute.type) ||
        (privateValue && attribute.type == CKA_VALUE))
        value = "***";
    else if (attribute.pValue == nullptr)
        value = "NULL";
    else if (attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION)
        value = "";  // a failed entry: its buffer holds nothing of that length
    else
        value = hexValue(attribute.pValue, attribute.ulValueLen, MAX_LOGGED_VALUE, true);
    return std::string("[") + ckaName(attribute.type) +
           ", valueLen=" + std::to_string(attribute.ulValueLen) + ", value=" + value + "]";
}

void traceTemplate(const char* name, const CK_ATTRIBUTE* attributes, CK_ULONG count, bool out,
                   bool privateValue) noexcept {
    try {
        if (!Logger::enabled())
            return;
        if (attributes == nullptr) {
            if (out)
                QV_TRACE_OUT_NAMED(name, "NULL");
            else
                QV_TRACE_NAMED(name, "NULL");
            return;
        }
        for (CK_ULONG i = 0; i < std::min(count, MAX_LOGGED_ENTRIES); ++i) {
            const std::string entry = std::string(name) + "[" + std::to_string(i) + "]";
            if (out)
                QV_TRACE_OUT_NAMED(entry.c_str(), attributeText(attributes[i], privateValue));
            else
                QV_TRACE_NAMED(entry.c_str(), attributeText(attributes[i], privateValue));
        }
    } catch (...) {
    }
}

std::string mechanismText(const CK_MECHANISM* mechanism) {
    if (mechanism == nullptr)
        return "NULL";
    const std::string parameter = mechanism->pParameter == nullptr
                                      ? "NULL"
                                      : hexValue(mechanism->pParameter, mechanism->ulParameterLen,
                                                 MAX_LOGGED_PARAMETER, false);
    return "[mechanismType=" + std::to_string(mechanism->mechanism) +
           ", ulParametrLen=" + std::to_string(mechanism->ulParameterLen) +
           ", pParametr=" + parameter + "]";
}
