#pragma once
// The private half of a key pair as a CKO_PRIVATE_KEY object. Its secret
// components go to the card on import and never come back.
#include "internal/p11objects/p11RsaKey.h"

namespace amw {
struct RsaPrivateKeyComponents;
}

class P11RsaPrivateKey : public P11RsaKey {
public:
    // `required` bits of parseTemplate.
    enum Required : std::uint32_t {
        REQUIRE_ID = 0x1,
        REQUIRE_KEY = 0x2,  // the modulus and the CRT components
    };

    // The pair must hold a private key.
    explicit P11RsaPrivateKey(amw::KeyPair* keyPair);

    void getAttributeValue(CK_ATTRIBUTE_TYPE type, CK_BYTE_PTR buffer, CK_ULONG_PTR size) override;
    void setAttributeValue(CK_ATTRIBUTE_TYPE type, const CK_BYTE* buffer, CK_ULONG size) override;
    void destroyObjectFromCard(amw::CachedToken* token) override;

    static bool supportsAttributeType(CK_ATTRIBUTE_TYPE type);
    // The private exponent and the CRT components: never revealed, never logged.
    static bool isSecretComponent(CK_ATTRIBUTE_TYPE type);
    // Imports the private key, completing the pair when its public key is on
    // the card; returns the identifier.
    static StaticBuffer<128> createObject(amw::CachedToken* token, const CK_ATTRIBUTE* attributes,
                                          CK_ULONG count);
    // Key import and generation templates. Null outputs are not filled; the
    // others start empty. `components` gets p, q, the modulus, dp, dq and the
    // coefficient (the public exponent is not taken).
    static void parseTemplate(const CK_ATTRIBUTE* attributes, CK_ULONG count,
                              StaticBuffer<128>* identifier, StaticBuffer<128>* label,
                              std::uint16_t* usage, amw::RsaPrivateKeyComponents* components,
                              std::uint32_t required);
};
