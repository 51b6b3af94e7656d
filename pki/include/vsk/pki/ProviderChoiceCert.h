// Provider choice for certificates: the providers that can work with a certificate, and the
// data-encryption algorithms that every recipient certificate of a message can use. They join the
// certificate object to the catalogue questions of ProviderChoice.h.
#pragma once

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/utils/array.h>
#include <vsk/utils/error.h>

namespace Vsk::PKI {

// The providers, in catalogue order, that offer the certificate's public-key algorithm and the hash
// and public-key algorithms of its signature. Empty for a null context or one without certificate
// information; `error` (may be null) receives the catalogue's filling errors.
CSPInfoArray CSPsFromCertificate(PCCERT_CONTEXT cert, Vsk::Utils::CError* error);
// The data-encryption algorithms that one provider offers for the public keys of all recipients
// alike, in algorithm order. When there is none and `error` is given, one line per recipient
// explains why; a recipient whose certificate cannot be read offers nothing.
CAlgorithmArray GetPossibleEncryptAlgs(const Vsk::Utils::CArray<CCertificate>& recipients,
                                       Vsk::Utils::CError* error);

}  // namespace Vsk::PKI
