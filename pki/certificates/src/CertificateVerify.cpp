// Certificate verification: the arguments are checked here; building and checking the chain under the
// verification settings comes with chain verification.
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/Settings.h>
#include <vsk/utils/error.h>
#include <vsk/utils/logScope.h>

#include "CertificateImpl.h"

namespace Vsk::PKI {

using Vsk::Utils::CLock;
using Vsk::Utils::CWString;

DWORD CCertificate::VerifyCertificate(PCCERT_CONTEXT context, const CCertVerifySettings* settings,
                                      const FILETIME* /*time*/) {
    if (!settings) throw CCryptError(130701, Vsk::Utils::NoErrorCode);
    if (!context || !context->pCertInfo) throw CCryptError(130702, Vsk::Utils::NoErrorCode);
    Vsk::InternalUtils::CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::CCertificate::VerifyCertificate",
                    getCertContextText(context) + u", " + settings->getText());
    throw Vsk::Utils::CError(CWString(u"Не реализовано, не было необходимости. ") + CWString(__FILE__, 1251) +
                                 u":" + Vsk::Utils::ToWString(__LINE__) + u".",
                             Vsk::Utils::NoErrorCode);
}

DWORD CCertificate::Verify(const CCertVerifySettings& settings, const FILETIME* time) const {
    CImpl* p = impl();
    CLock lock(p);
    return VerifyCertificate(p->m_context.get(), &settings, time);
}

}  // namespace Vsk::PKI
