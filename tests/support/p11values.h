#pragma once
// Reading PKCS#11 object attributes in tests: the length first, then the value.
#include "internal/p11objects/p11object.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace p11values {

using Bytes = std::vector<std::uint8_t>;

inline Bytes valueOf(P11Object& object, CK_ATTRIBUTE_TYPE type) {
    CK_ULONG length = 0;
    object.getAttributeValue(type, nullptr, &length);
    Bytes value(length);
    object.getAttributeValue(type, value.data(), &length);
    value.resize(length);
    return value;
}

inline Bytes ulongBytes(CK_ULONG value) {
    Bytes b(sizeof value);
    std::memcpy(b.data(), &value, sizeof value);
    return b;
}

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

}  // namespace p11values
