// Signing with a hash computed in another provider: when the signer's key lies in a hardware
// security module, the data are hashed in a software provider, the module signs an empty message,
// and the message is then rewritten with the real hash and its signed attributes signed again.
// The DER helpers here also check a signer's signature over its signed attributes alone, for a
// detached message whose content was never fed.
#pragma once

#include <vsk/asn1/asn1.h>
#include <vsk/platform/cryptmsg.h>
#include <vsk/utils/dataBlob.h>

namespace Vsk::PKI {

class CCertificate;
class CHash;
class CSignSettings;

// A base of the signed-data implementation. It owns nothing: the members it works on belong to the
// signed-data object and are handed over at construction.
class CExtSigned {
public:
    CExtSigned(CHash* hash, CSignSettings* settings, HCRYPTMSG* encodingMsg, Vsk::Utils::CDataBlob* output,
               DWORD* outputCount);

    // Clears the hash object, which disarms the road.
    void reset();
    // Arms the road when the signer's key provider (type 75 or 1) is a hardware security module:
    // the hash object is created in the first other provider that can hash for the certificate.
    // Without a signer certificate (or one without a context): CCryptError 101602.
    void hsmOptimSignStart(const CSignSettings& settings);
    // Hashes one block; on the final block finishes the message into `output`. False when the road
    // is not armed.
    bool hsmOptimSignBlock(const Vsk::Utils::CDataBlob& block, Vsk::Utils::CDataBlob& output, bool final);
    // Finishes the encoding message over empty content and rewrites it with `hash`. False (with the
    // last error set) when the encoder fails; cancellations and PIN errors are raised.
    bool cmsSignHash(const Vsk::Utils::CDataBlob& hash, Vsk::Utils::CDataBlob& output);

private:
    CHash* m_pHash;
    CSignSettings* m_pSettings;
    HCRYPTMSG* m_phEncodingMsg;
    Vsk::Utils::CDataBlob* m_pOutput;
    DWORD* m_pOutputCount;
};

// Puts `hash` (raw bytes, or hexadecimal or Base64 text of them) into the messageDigest of the
// signer's SignerInfo in `message`, signs the signed attributes again with the signer's key and
// writes the new message into `out`. Errors are CCryptError 101110.
Vsk::Utils::CDataBlob& ReplaceDataHash(Vsk::Utils::CDataBlob& out, const Vsk::Utils::CDataBlob& message,
                                       const CSignSettings& settings, Vsk::Utils::CDataBlob hash);

// The SignerInfos SET of a whole message, parsed into `contentInfo` (which owns the returned node).
Vsk::ASN1::CSet* getSignerInfos(const Vsk::Utils::CDataBlob& message, Vsk::ASN1::CSequence& contentInfo);

// The signed attributes ([0]) of the certificate's SignerInfo, with its digest OID node, index and
// SignerInfo node; null when no SignerInfo belongs to the certificate.
Vsk::ASN1::CConstructed* getAuthenticatedAttributes(Vsk::ASN1::CSet* signerInfos, const CCertificate& cert,
                                                    Vsk::ASN1::CObjectId** digestOid, DWORD* index,
                                                    Vsk::ASN1::CSequence** signerInfo);

// Whether the SignerInfo's issuerAndSerialNumber names the certificate.
bool isCorrespond(Vsk::ASN1::CNode* signerInfo, const CCertificate& cert);

// The certificate's signature over its signed attributes in `message`: 0 valid, NTE_BAD_SIGNATURE
// (0x80090006) invalid.
DWORD verifySignedAttributes(const Vsk::Utils::CDataBlob& message, const CCertificate& cert);

}  // namespace Vsk::PKI
