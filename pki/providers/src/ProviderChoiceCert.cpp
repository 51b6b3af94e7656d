#include <vsk/pki/ProviderChoice.h>
#include <vsk/pki/ProviderChoiceCert.h>
#include <vsk/platform/cert.h>
#include <vsk/utils/logScope.h>

namespace Vsk::PKI {

using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CAString;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;

CSPInfoArray CSPsFromCertificate(PCCERT_CONTEXT cert, CError* error) {
    CLogScope scope;
    if (scope.getLevel() >= 4) scope.enter("Vsk::PKI::CSPsFromCertificate", getCertContextText(cert));
    if (!cert || !cert->pCertInfo) return CSPInfoArray();
    const CERT_INFO& info = *cert->pCertInfo;
    const CAString publicKeyOid(
        info.SubjectPublicKeyInfo.Algorithm.pszObjId ? info.SubjectPublicKeyInfo.Algorithm.pszObjId : "");
    const CAString signatureOid(info.SignatureAlgorithm.pszObjId ? info.SignatureAlgorithm.pszObjId : "");
    return CSPsFromSupportedOIDs(CertificateAlgorithmOIDs(publicKeyOid, signatureOid), error);
}

CAlgorithmArray GetPossibleEncryptAlgs(const Vsk::Utils::CArray<CCertificate>& recipients, CError* error) {
    Vsk::Utils::CArray<CRecipientAlgorithm> described;
    for (const CCertificate& certificate : recipients) {
        CRecipientAlgorithm recipient;
        try {
            recipient.m_publicKeyAlgorithm = certificate.getPublicKeyAlgorithm();
            const CWString publicKeyText = AlgorithmOidText(certificate.get_PublicKeyAlgorithmOID(false),
                                                            certificate.get_PublicKeyAlgorithmOID(true));
            const CWString signatureText = AlgorithmOidText(certificate.get_SignatureAlgorithmOID(false),
                                                            certificate.get_SignatureAlgorithmOID(true));
            recipient.m_line = RecipientLineText(certificate.get_SubjectName(), publicKeyText, signatureText);
        } catch (const CError& failure) {
            recipient.m_publicKeyAlgorithm.reset();
            recipient.m_line = u"\r\n" + failure.getText();
        } catch (...) {
            recipient.m_publicKeyAlgorithm.reset();
            recipient.m_line = CWString();
        }
        described.add(recipient);
    }
    return GetPossibleEncryptAlgsFor(described, error);
}

}  // namespace Vsk::PKI
