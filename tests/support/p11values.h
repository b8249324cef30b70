#pragma once
// Reading PKCS#11 object attributes in tests: the length first, then the
// value; and the message a failing call throws.
#include "exceptions.h"
#include "internal/p11objects/p11object.h"

#include <cstdint>
#include <cstring>
#include <functional>
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

// The message of the module exception `call` throws; empty when it returns.
inline std::string failure(const std::function<void()>& call) {
    try {
        call();
    } catch (const QVException& e) {
        return e.what();
    }
    return "";
}

}  // namespace p11values
