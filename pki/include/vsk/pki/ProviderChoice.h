// Choosing providers from the catalogue: the providers that offer a set of algorithms (by ALG_ID or
// by OID), a context on such a provider, the hash algorithms that fit a public key, the default hash
// algorithm and the data-encryption algorithms that every recipient of a message can use. Lists
// follow the catalogue's order (type, then shorter names, then names), which decides every tie.
#pragma once

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/HoldCSP.h>
#include <vsk/utils/array.h>
#include <vsk/utils/error.h>
#include <vsk/utils/string.h>

#include <set>

namespace Vsk::PKI {

using CAlgIdSet = std::set<ALG_ID>;
using COidSet = std::set<Vsk::Utils::CWString>;

// ---- Provider lists ---------------------------------------------------------------------------------------

// The providers that list every ALG_ID of the set; every provider for an empty set. `error` (may be
// null) receives the catalogue's filling errors.
CSPInfoArray CSPsFromSupportedAIDs(const CAlgIdSet& algIds, Vsk::Utils::CError* error);
CSPInfoArray GetAllCSPInfo(Vsk::Utils::CError* error = nullptr);
// The providers with a GOST algorithm.
CSPInfoArray GetGostCSPInfo(Vsk::Utils::CError* error = nullptr);
// The providers that offer an algorithm for every OID of the set, after the GOST R 34.10 and
// sha1RSA signature OIDs are replaced by their hash and public-key OIDs.
CSPInfoArray CSPsFromSupportedOIDs(COidSet oids, Vsk::Utils::CError* error);
// The OIDs a provider must offer to work with a certificate of these algorithms: the public-key OID,
// then for the signature OID the hash and public-key OIDs of its row of the signature-algorithm
// table, or the signature OID itself. Empty texts add nothing.
COidSet CertificateAlgorithmOIDs(const Vsk::Utils::CAString& publicKeyOid,
                                 const Vsk::Utils::CAString& signatureOid);

// ---- Provider contexts ---------------------------------------------------------------------------------

// A verification-style context (acquired with `flags`, no container) on a provider that lists
// every ALG_ID: the default RSA provider when it does, else the first of the catalogue that can be
// acquired. `chosen` (may be null) receives the catalogue's description of the provider, null for
// the default RSA provider. An empty holder when none could be acquired.
CHoldCSP CSPFromSupportedAIDs(const CAlgIdSet& algIds, DWORD flags, Vsk::Utils::CRefPtr<CSPInfo>* chosen);
CHoldCSP CSPFromSupportedAID(ALG_ID algId, DWORD flags, Vsk::Utils::CRefPtr<CSPInfo>* chosen);
// Whether the provider behind the handle lists every ALG_ID of the set (ALG_ID 0 never counts).
// Raises CError "CryptGetProvParam" with the last error when the enumeration fails other than by
// its end.
bool CSPSupportAIDs(HCRYPTPROV hProv, CAlgIdSet algIds, bool logAlgorithms);

// ---- Algorithms -------------------------------------------------------------------------------------------

// GOST R 34.11-94, else GOST R 34.11-2012 256, else 512, else the hash with the smallest ALG_ID;
// null when the catalogue has no hash algorithm. Raises CCryptError when it has no algorithm at all.
Vsk::Utils::CRefPtr<CAlgorithm> GetDefaultHashAlgorithm();
// The hash algorithms that fit a public-key (or signature) algorithm OID, in algorithm order.
// Raises CCryptError for an empty OID.
CAlgorithmArray GetPossibleHashAlgs(const Vsk::Utils::CAString& publicKeyOid);
// The first algorithm of the array with that OID; null for an empty OID or no match.
Vsk::Utils::CRefPtr<CAlgorithm> FindAlgorithmInArr(const CAlgorithmArray& algorithms,
                                                   const Vsk::Utils::CAString& oid);

// One recipient of an encrypted message as the encryption-algorithm choice sees it.
struct CRecipientAlgorithm {
    // The catalogue's description of the recipient's public-key algorithm; null when the catalogue
    // has none (the recipient then offers no algorithm).
    Vsk::Utils::CRefPtr<CAlgorithm> m_publicKeyAlgorithm;
    // The recipient's part of the explanation (RecipientLineText), or "\r\n" and the text of the
    // error met while reading the certificate.
    Vsk::Utils::CWString m_line;
};

// "\r\n\t\"<subject>\", его алгоритмы <public-key OID> (<name>)", then " и <signature text>" when
// the signature algorithm's text differs from the public key's.
Vsk::Utils::CWString RecipientLineText(const Vsk::Utils::CWString& subject,
                                       const Vsk::Utils::CWString& publicKeyText,
                                       const Vsk::Utils::CWString& signatureText);
// "<OID> (<name>)": how an algorithm is named in the recipient lines.
Vsk::Utils::CWString AlgorithmOidText(const Vsk::Utils::CWString& oid, const Vsk::Utils::CWString& name);

// The data-encryption algorithms that one provider offers for the public keys of all recipients
// alike, in algorithm order. When there is none and `error` is given, the explanation with one line
// per recipient is put before the error's text.
CAlgorithmArray GetPossibleEncryptAlgsFor(const Vsk::Utils::CArray<CRecipientAlgorithm>& recipients,
                                          Vsk::Utils::CError* error);

}  // namespace Vsk::PKI
