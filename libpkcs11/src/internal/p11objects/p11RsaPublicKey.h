#pragma once
// The public half of a key pair as a CKO_PUBLIC_KEY object.
#include "internal/p11objects/p11RsaKey.h"

class P11RsaPublicKey : public P11RsaKey {
public:
    // `required` bits of parseTemplate.
    enum Required : std::uint32_t {
        REQUIRE_ID = 0x1,
        REQUIRE_MODULUS = 0x2,
        REQUIRE_PUBLIC_EXPONENT = 0x4,
        REQUIRE_MODULUS_BITS = 0x8,
    };

    // The pair must hold a public key.
    explicit P11RsaPublicKey(amw::KeyPair* keyPair);

    void getAttributeValue(CK_ATTRIBUTE_TYPE type, CK_BYTE_PTR buffer, CK_ULONG_PTR size) override;
    void setAttributeValue(CK_ATTRIBUTE_TYPE type, const CK_BYTE* buffer, CK_ULONG size) override;
    void destroyObjectFromCard(amw::CachedToken* token) override;

    static bool supportsAttributeType(CK_ATTRIBUTE_TYPE type);
    // Imports the public key, completing the pair when its private key is on
    // the card; returns the identifier.
    static StaticBuffer<128> createObject(amw::CachedToken* token, const CK_ATTRIBUTE* attributes,
                                          CK_ULONG count);
    // Key import and generation templates. Null outputs are not filled;
    // the others start empty. A requested key size must be 1024 or 2048.
    static void parseTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count,
                              StaticBuffer<128>* identifier, StaticBuffer<128>* label,
                              std::uint16_t* usage, StaticBuffer<256>* modulus,
                              StaticBuffer<256>* exponent, std::uint32_t* keySize,
                              std::uint32_t required);
};
