// The token half of a signer: reads one DER SignerInfo into the signer's fields and verifies it on a
// token. A base of the signer implementation holding pointers to the fields it fills. Private to the
// library.
#pragma once

#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/Password.h>
#include <vsk/platform/kernel.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/string.h>

#include <vector>

namespace Vsk::ASN1 {
class CNode;
}

namespace Vsk::PKI {

// Raises the format fault of a signed message (101203, "Данные не являются подписью в формате PKCS#7
// (<text>).", CRYPT_E_ASN1_BADTAG).
[[noreturn]] void RaiseTokenSignedFault(const Vsk::Utils::CWString& text);

// The parameter-set OID (DER) of a GOST key whose algorithm parameters are a SEQUENCE led by it, for
// the token objects made for that key (a temporary public key, an ephemeral pair on its curve); empty
// for parameters of another form (the token's usual set of the algorithm).
Vsk::Utils::CDataBlob TokenKeyParamSet(const CERT_PUBLIC_KEY_INFO& key);

// A key container's token key pair made ready for its private key: the token is logged in when it is
// not, with the first of the two passwords that is not empty (the PIN copy is wiped on every path), and
// the private key is looked up when the pair has none yet.
void LoginTokenKeyPair(const Vsk::PKCS11::CTokenKeyPair& pair, CPassword* first, CPassword* second);

class CTokenSignature {
public:
    // The signer's fields this part fills (all owned by the signer implementation).
    struct Fields {
        CCertificate* signerCert = nullptr;
        bool* foundInMessage = nullptr;
        Vsk::Utils::CAString* digestAlgorithm = nullptr;
        Vsk::Utils::CAString* signatureAlgorithm = nullptr;
        Vsk::Utils::CDataBlob* messageDigest = nullptr;
        Vsk::Utils::CDataBlob* signatureValue = nullptr;
        Vsk::Utils::CDataBlob* signedAttributes = nullptr;
        FILETIME** signingTime = nullptr;
    };

    explicit CTokenSignature(const Fields& fields) : m_fields(fields) {}

    // Fills the fields from a SignerInfo; `dataHash` is kept for verify.
    void parse(const Vsk::ASN1::CNode& signerInfo, const Vsk::Utils::CDataBlob* dataHash,
               const std::vector<CCertificate>& certificates);
    // 0 valid, 1 invalid, -1 cannot tell.
    int verify();

protected:
    const Vsk::Utils::CDataBlob* m_dataHash = nullptr;
    Fields m_fields;
};

}  // namespace Vsk::PKI
