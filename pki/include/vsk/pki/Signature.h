// One signer of a signed message: its digest and signature algorithms, signature value, signing time,
// messageDigest, signer certificate and time stamp, and the verification of all of them. The
// signed-data object makes one per signer after decoding or signing a message.
#pragma once

#include <vsk/pki/Certificate.h>
#include <vsk/pki/TimeStamp.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/cryptmsg.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/string.h>

#include <vector>

namespace Vsk::ASN1 {
class CNode;
}

namespace Vsk::PKI {

class CSignatureVerifySettings;

// Verification statuses of a signer (texts: getVerifyStatusText).
enum : DWORD {
    SignatureValid = 0,
    SignatureInvalid = 1,
    SignatureNoCertificate = 3,
    SignatureNoTimeStamp = 200,
};

// The state of the signed-data object a signer reads when verifying: SignedStateDetachedRead (3) is a
// detached message read whose content was not fed, so only the signature over the signed attributes
// can be checked.
constexpr DWORD SignedStateDetachedRead = 3;

class CSignature {
public:
    // Private to the library.
    class CImpl;

    // A new signer object. `ownerState` points at the state of the signed-data object that makes it
    // (not a counted reference: a signature is used only while its signed-data object lives); null
    // for a signer without one.
    explicit CSignature(const DWORD* ownerState = nullptr);
    CSignature(const CSignature& other);
    CSignature(CSignature&& other) noexcept;
    CSignature& operator=(const CSignature& other);
    CSignature& operator=(CSignature&& other) noexcept;
    ~CSignature();

    // Reads signer `index` of a decoded message, keeping a duplicate of the message; `store` holds the
    // message's certificates (may be null). Every failure leaves the object cleared and raises with
    // error number 110203, the failing step's message kept.
    void create(DWORD index, HCRYPTMSG message, HCERTSTORE store);
    // Reads a DER SignerInfo (the token road); `dataHash` is the signed-data object's data hash.
    void createFromSignerInfo(DWORD index, const Vsk::ASN1::CNode& signerInfo,
                              const Vsk::Utils::CDataBlob* dataHash,
                              const std::vector<CCertificate>& certificates);
    // 0 valid, 1 wrong signature, 3 no certificate to verify with; with a certificate check mode
    // other than 1 also the certificate's status, 200 and the time stamp's results. `time`: when to
    // verify the certificate (null: the time stamp's time, else the signing time).
    DWORD Verify(const CSignatureVerifySettings* settings, const FILETIME* time = nullptr) const;

    DWORD get_Index() const;
    // Copy of the contents of the messageDigest attribute (empty without one).
    Vsk::Utils::CDataBlob get_MessageDigest() const;
    // Sets (a copy sharing the certificate) or, with null, releases the signer certificate.
    void put_SignerCert(const CCertificate* certificate);

    // ---- What the signer holds -----------------------------------------------------------------------
    Vsk::Utils::CAString get_DigestAlgorithm() const;
    Vsk::Utils::CAString get_SignatureAlgorithm() const;
    // The signature value as the message encodes it.
    Vsk::Utils::CDataBlob get_SignatureValue() const;
    // False when the signer has no signingTime attribute (`time` then untouched).
    bool get_SigningTime(FILETIME* time) const;
    // The signer certificate (an empty handle when there is none).
    CCertificate get_SignerCert() const;
    // The signer certificate was found among the message's certificates.
    bool get_FoundInMessage() const;
    // The signer's time stamp (an empty handle when the signer carries none).
    CTimeStamp get_TimeStamp() const;
    // True when the signer carries a time stamp that was loaded.
    bool hasTimeStamp() const;
    // CRYPT_ATTRIBUTES blocks of the signed and unsigned attributes (empty when there are none); for a
    // signer read from DER the signed attributes are their DER SET.
    Vsk::Utils::CDataBlob get_SignedAttributes() const;
    Vsk::Utils::CDataBlob get_UnsignedAttributes() const;

    bool isNull() const { return !m_pImpl; }
    const Vsk::Utils::CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    CImpl* impl() const;

    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKI
