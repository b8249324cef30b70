#pragma once
// What the two halves of an RSA key pair share: the pair they read from,
// the usage flags, the attributes both answer alike, label changes, and
// the way a half is added to or removed from a pair.
#include "internal/p11objects/p11object.h"

#include <functional>
#include <initializer_list>
#include <set>

namespace amw {
class KeyPair;
}

class P11RsaKey : public P11Object {
public:
    // Usage flags of a key pair; each stands for one attribute.
    enum Usage : std::uint16_t {
        USAGE_SIGN = 0x01,
        USAGE_DECRYPT = 0x02,
        USAGE_ENCRYPT = 0x04,
        USAGE_WRAP = 0x08,
        USAGE_UNWRAP = 0x10,
        USAGE_VERIFY = 0x20,
        USAGE_VERIFY_RECOVER = 0x40,
        USAGE_SIGN_RECOVER = 0x80,
    };
    // Largest modulus and component, in bytes.
    static constexpr CK_ULONG MAX_COMPONENT_LENGTH = 256;

    // A key that only signs goes into the signature slot of its container.
    static std::uint32_t keySpecForUsage(std::uint16_t usage);

    amw::KeyPair* getKeyPair() const { return keyPair; }

    // The pair's metadata (labels) with the key-pair counter raised.
    void commitChanges(amw::CachedToken* token) override;

protected:
    P11RsaKey(CK_OBJECT_CLASS objectClass, amw::KeyPair* keyPair);

    // The attributes both halves answer alike; false for any other type.
    bool copyCommonAttribute(CK_ATTRIBUTE_TYPE type, CK_BYTE_PTR buffer, CK_ULONG_PTR size);
    void copyUsage(CK_BYTE_PTR buffer, CK_ULONG_PTR size, std::uint16_t bit) const;
    // The types both halves list first, followed by `own`.
    static std::set<CK_ATTRIBUTE_TYPE> withCommonAttributeTypes(
        std::initializer_list<CK_ATTRIBUTE_TYPE> own);
    // Only the label of the half can change.
    static void setLabel(CK_ATTRIBUTE_TYPE type, const CK_BYTE* buffer, CK_ULONG size,
                         bool supported, StaticBuffer<128>& label);
    // Removes this half when the pair has the other one (and its container
    // record), else the whole pair.
    void destroyHalf(amw::CachedToken* token, bool otherHalfPresent,
                     const std::function<void()>& removeHalf);
    // Adds the missing half to `pair` and records the completed pair in the
    // container map. `addHalf` gets the container index and keySpec.
    static void completePair(amw::CachedToken* token, amw::KeyPair* pair,
                             const std::function<void(std::uint8_t, std::uint32_t)>& addHalf);

    amw::KeyPair* const keyPair;
};
