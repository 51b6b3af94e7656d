#include <vsk/pki/CertApi.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

namespace Vsk::PKI {

using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CWString;

PCCERT_CONTEXT FindCertificate(const Vsk::Utils::CArray<CWString>& storeNames, const CERT_ID& id,
                               DWORD locationFlags) {
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::FindCertificate", Vsk::Utils::ToWString(locationFlags, 16));
    for (const CWString& name : storeNames) {
        HCERTSTORE store = CertOpenStore(
            CERT_STORE_PROV_SYSTEM_W, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
            locationFlags | CERT_STORE_OPEN_EXISTING_FLAG | CERT_STORE_READONLY_FLAG, name.c_str());
        if (!store) continue;
        PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                          CERT_FIND_CERT_ID, &id, nullptr);
        CloseStore(store);
        if (found) {
            if (scope.isEntered()) scope.m_result = name;
            return found;
        }
    }
    return nullptr;
}

}  // namespace Vsk::PKI
