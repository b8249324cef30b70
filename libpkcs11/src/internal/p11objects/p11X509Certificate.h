#pragma once
// A certificate of the card as a CKO_CERTIFICATE object of type CKC_X_509.
// The card keeps the DER, a label, the trusted flag and the container the
// certificate shares with its key; issuer, subject and serial number are
// cut from the DER whenever they are read.
#include "internal/p11objects/p11object.h"

namespace amw {
class X509Certificate;
}

class P11X509Certificate : public P11ContentObject {
public:
    enum CertificateField { SERIAL_NUMBER = 0, ISSUER = 1, SUBJECT = 2 };

    explicit P11X509Certificate(amw::X509Certificate* certificate);

    void getAttributeValue(CK_ATTRIBUTE_TYPE type, CK_BYTE_PTR buffer, CK_ULONG_PTR size) override;
    void setAttributeValue(CK_ATTRIBUTE_TYPE type, const CK_BYTE* buffer, CK_ULONG size) override;
    void commitChanges(amw::CachedToken* token) override;
    // The container map is left as it is.
    void destroyObjectFromCard(amw::CachedToken* token) override;

    static bool supportsAttributeType(CK_ATTRIBUTE_TYPE type);
    // Creates the certificate on the card; returns its identifier (CKA_ID, required).
    static StaticBuffer<128> createObject(amw::CachedToken* token, const CK_ATTRIBUTE* attributes,
                                          CK_ULONG count);

    // One field of the DER with its tag and length into `out`; false when
    // the DER does not parse (a version 1 certificate among others).
    static bool parseCertificate(const StaticBuffer<65536>& content, int field,
                                 StaticBuffer<65536>* out);
    // The container of the complete key pair with this identifier, else the
    // first free container map record (or one past the map) as key exchange.
    static void getKeySpecContainerIndexForNewCertificate(amw::CachedToken* token,
                                                          const StaticBuffer<128>& identifier,
                                                          std::uint8_t* containerIndex,
                                                          std::uint32_t* keySpec);

private:
    void copyField(CK_ATTRIBUTE_TYPE type, int field, CK_BYTE_PTR buffer, CK_ULONG_PTR size);

    amw::X509Certificate* const certificate;
};
