#pragma once
// PKCS#11 templates in tests: attributes whose values live as long as the
// template does.
#include "cryptoki.h"

#include <cstdint>
#include <cstring>
#include <list>
#include <string>
#include <vector>

class Template {
public:
    using Bytes = std::vector<std::uint8_t>;

    Template() = default;
    Template(Template&&) = default;  // the values' nodes move along
    Template& operator=(Template&&) = default;
    Template& add(CK_ATTRIBUTE_TYPE type, const Bytes& value) {
        values_.push_back(value);
        attributes_.push_back({type, values_.back().data(), values_.back().size()});
        return *this;
    }
    Template& flag(CK_ATTRIBUTE_TYPE type, bool value) { return add(type, Bytes{value}); }
    Template& text(CK_ATTRIBUTE_TYPE type, const std::string& value) {
        return add(type, Bytes(value.begin(), value.end()));
    }
    Template& ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value) {
        Bytes b(sizeof value);
        std::memcpy(b.data(), &value, sizeof value);
        return add(type, b);
    }
    // An entry as given, for templates that break the rules.
    Template& raw(CK_ATTRIBUTE_TYPE type, void* value, CK_ULONG length) {
        attributes_.push_back({type, value, length});
        return *this;
    }
    // Non-const, as the C_ functions take it.
    CK_ATTRIBUTE* data() const { return const_cast<CK_ATTRIBUTE*>(attributes_.data()); }
    CK_ULONG count() const { return attributes_.size(); }

private:
    std::list<Bytes> values_;
    std::vector<CK_ATTRIBUTE> attributes_;
};
