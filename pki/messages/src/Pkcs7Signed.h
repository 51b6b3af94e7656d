// Reader of a whole ContentInfo of type signedData into ASN.1 nodes. It serves the roads that read
// a message themselves rather than through the streaming decoder: telling a detached message from
// an attached one, rewriting or checking a signer's signed attributes, and the token road.
#pragma once

#include <vsk/asn1/asn1.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/string.h>

#include <set>
#include <vector>

namespace Vsk::PKI {

// What parsePKCS7Signed found: the whole SignedData, or where the bytes stopped.
enum : int {
    Pkcs7Complete = 0,
    // The ContentInfo has fewer than 2 elements or the SignedData fewer than 3.
    Pkcs7NoSignedData = 1,
    Pkcs7EndsAfterContent = 2,
    Pkcs7EndsAfterCertificates = 3,
    Pkcs7EndsAfterCrls = 4,
};

// Decodes `bytes` (DER, BER or Base64 text; a message cut short is read as far as it goes) into
// `contentInfo` and checks the SignedData's structure. Optional outputs: the dotted digest OIDs, the
// encapsulated content's pieces (none for a detached message, one empty blob for an empty content),
// and the [0] certificates, [1] CRLs and SignerInfos nodes (pointers into `contentInfo`, null when
// absent). A structural fault raises CCryptError 101203 with CRYPT_E_ASN1_BADTAG.
int parsePKCS7Signed(const Vsk::Utils::CDataBlob& bytes, Vsk::ASN1::CSequence& contentInfo,
                     std::set<Vsk::Utils::CAString>* digestOids, std::vector<Vsk::Utils::CDataBlob>* contents,
                     Vsk::ASN1::CConstructed** certificates, Vsk::ASN1::CConstructed** crls,
                     Vsk::ASN1::CSet** signerInfos);

}  // namespace Vsk::PKI
