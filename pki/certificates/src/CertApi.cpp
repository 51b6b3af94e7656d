#include <vsk/pki/CertApi.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include "certificateText.h"

namespace Vsk::PKI {

using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CWString;

namespace {

CWString ptr(const void* pointer) {
    return Vsk::Utils::ToWString(pointer);
}

}  // namespace

CDataBlob GetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, DWORD* error) {
    if (error) *error = 0;
    CLogScope scope;
    if (scope.getLevel() >= 5)
        scope.enter("Vsk::PKI::GetCertificateContextProperty",
                    ptr(context) + u", " + Vsk::Utils::ToWString(propId));
    DWORD size = 0;
    if (!context) {
        if (error) *error = static_cast<DWORD>(E_INVALIDARG);
        return CDataBlob();
    }
    if (!CertGetCertificateContextProperty(context, propId, nullptr, &size) || size == 0) {
        const DWORD code = GetLastError();
        if (error) *error = code;
        return CDataBlob();
    }
    CDataBlob value(static_cast<size_t>(size));
    if (!CertGetCertificateContextProperty(context, propId, value.getData(), &size)) {
        const DWORD code = GetLastError();
        if (error) *error = code;
        return CDataBlob();
    }
    if (size < value.getSize()) value = value.getBlock(0, size);
    return value;
}

bool GetCertificateContextPropertyFixed(PCCERT_CONTEXT context, DWORD propId, void* buffer, DWORD size) {
    if (!context || !buffer) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return false;
    }
    DWORD length = size;
    if (!CertGetCertificateContextProperty(context, propId, buffer, &length)) return false;
    if (length != size) {
        SetLastError(static_cast<DWORD>(CRYPT_E_BAD_LEN));
        return false;
    }
    return true;
}

BOOL FreeCertificateContext(PCCERT_CONTEXT& context) {
    if (!context) return TRUE;
    const PCCERT_CONTEXT held = context;
    context = nullptr;
    if (CertFreeCertificateContext(held)) return TRUE;
    CertText::logError(1, "Vsk::PKI::FreeCertificateContext", u"CertFreeCertificateContext", GetLastError());
    return FALSE;
}

HCERTSTORE OpenStore(LPCSTR provider, DWORD encoding, HCRYPTPROV prov, DWORD flags, const void* para) {
    CLogScope scope;
    if (scope.getLevel() >= 4)
        scope.enter("Vsk::PKI::OpenStore", ptr(provider) + u", " + Vsk::Utils::ToWString(flags, 16));
    HCERTSTORE store = CertOpenStore(provider, encoding, prov, flags, para);
    if (!store) {
        const DWORD error = GetLastError();
        CertText::logError(1, "Vsk::PKI::OpenStore", u"CertOpenStore", error);
        SetLastError(error);
    }
    if (scope.isEntered()) scope.m_result = ptr(store);
    return store;
}

void CloseStore(HCERTSTORE& store) {
    if (!store) return;
    HCERTSTORE held = store;
    store = nullptr;
    if (!CertCloseStore(held, 0))
        CertText::logError(1, "Vsk::PKI::CloseStore", u"CertCloseStore", GetLastError());
}

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
