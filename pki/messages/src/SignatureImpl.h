// The implementation behind CSignature. Private to the library.
#pragma once

#include <vsk/pki/Signature.h>

#include "TokenSignature.h"

namespace Vsk::PKI {

class CSignature::CImpl : public Vsk::Utils::CRefMan, public CTokenSignature {
public:
    explicit CImpl(const DWORD* ownerState);
    ~CImpl() override;
    CImpl(const CImpl&) = delete;
    CImpl& operator=(const CImpl&) = delete;

    void create(DWORD index, HCRYPTMSG message, HCERTSTORE store);
    void createFromSignerInfo(DWORD index, const Vsk::ASN1::CNode& signerInfo,
                              const Vsk::Utils::CDataBlob* dataHash,
                              const std::vector<CCertificate>& certificates);
    DWORD verify(const CSignatureVerifySettings* settings, const FILETIME* time);
    // Empties what the signer read (the attribute blobs and the found-in-message flag stay).
    void clear();

    HCRYPTMSG m_message = nullptr;
    DWORD m_index = static_cast<DWORD>(-1);
    Vsk::Utils::CAString m_digestAlgorithm;
    Vsk::Utils::CAString m_signatureAlgorithm;
    Vsk::Utils::CDataBlob m_signatureValue;
    // From the C run-time allocator; null without a signingTime attribute.
    FILETIME* m_signingTime = nullptr;
    // CERT_INFO block of the signer's certificate identity.
    Vsk::Utils::CDataBlob m_signerCertInfo;
    bool m_foundInMessage = false;
    CCertificate m_signerCert;
    // CRYPT_ATTRIBUTES blocks (for a DER-read signer the signed attributes' DER SET).
    Vsk::Utils::CDataBlob m_signedAttributes;
    Vsk::Utils::CDataBlob m_unsignedAttributes;
    Vsk::Utils::CDataBlob m_messageDigest;
    const DWORD* m_ownerState = nullptr;
    CTimeStamp m_timeStamp{false};

private:
    void read(DWORD index, HCRYPTMSG message, HCERTSTORE store, PCCERT_CONTEXT& found);
    void findMessageDigestAttr();
    void readTimeStamp();
    DWORD verifySignature(PCCERT_CONTEXT certificate);
};

}  // namespace Vsk::PKI
