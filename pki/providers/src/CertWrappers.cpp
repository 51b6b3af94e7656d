// Thin wrappers of the certificate-context, store and encoding calls, in the manner of the provider
// wrappers (CryptoApi.cpp): trace, refuse an empty argument without calling, call, log a failure with
// the system text, return what the system returned.
#include <vsk/pki/CertApi.h>
#include <vsk/platform/certname.h>
#include <vsk/utils/base64.h>

#include "WrapperText.h"

#include <algorithm>
#include <cstdint>

namespace Vsk::PKI {

using Vsk::InternalUtils::CLogScope;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CWString;
using namespace Vsk::PKI::Wrapper;

namespace {

// The provider parameter of CertOpenStore: the store's name for the system-store provider, else the
// pointer.
CWString storeParameter(LPCSTR provider, const void* para) {
    if (provider == CERT_STORE_PROV_SYSTEM_W) return text(static_cast<const WCHAR*>(para));
    return ptr(para);
}

// A structure type is a dotted OID text; a predefined number (a value below 0x10000 in place of a
// pointer) is written as that number rather than read as text.
CWString structTypeText(LPCSTR structType) {
    const auto value = reinterpret_cast<uintptr_t>(structType);
    if (value < 0x10000) return dec(value);
    return CWString(structType, Vsk::Utils::CP_PROGRAM);
}

}  // namespace

BOOL GetCertificateContextPropertyFixed(PCCERT_CONTEXT context, DWORD propId, void* buffer, DWORD* length) {
    // Traced under the name of the two-call form: both read the same property.
    static constexpr char Name[] = "Vsk::PKI::GetCertificateContextProperty";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        return u"pCertContext=" + ptr(context) + u",dwPropId=0x" + hex(propId) + u",cbData=" +
               dec(length ? *length : 0);
    });
    if (!context) return FALSE;
    const BOOL ok = CertGetCertificateContextProperty(context, propId, buffer, length);
    if (!ok) logFailure(1, true, Name, GetLastError(), [&] { return u"dwPropId=0x" + hex(propId); });
    if (scope.isEntered()) scope.m_result = boolText(ok);
    return ok;
}

CDataBlob GetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId, DWORD* error) {
    static constexpr char Name[] = "Vsk::PKI::GetCertificateContextProperty";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] { return u"pCertContext=" + ptr(context) + u",dwPropId=0x" + hex(propId); });
    if (!context) {
        setCell(error, static_cast<DWORD>(E_INVALIDARG));
        return CDataBlob();
    }
    DWORD length = 0;
    if (!CertGetCertificateContextProperty(context, propId, nullptr, &length)) {
        const DWORD e = GetLastError();
        setCell(error, e);
        logFailure(1, true, Name, e, [&] { return u"get size, dwPropId=0x" + hex(propId); });
        return CDataBlob();
    }
    CDataBlob value(static_cast<size_t>(length));
    value.zeroFill();
    if (!CertGetCertificateContextProperty(context, propId, value.getData(), &length)) {
        const DWORD e = GetLastError();
        setCell(error, e);
        logFailure(1, true, Name, e, [&] { return u"dwPropId=0x" + hex(propId); });
        return CDataBlob();
    }
    if (length < value.getSize()) value = value.getBlock(0, length);
    if (scope.isEntered())
        scope.m_result =
            CWString(Vsk::Utils::Base64Enc(value, Vsk::Utils::Base64NoLineBreaks), Vsk::Utils::CP_PROGRAM);
    return value;
}

BOOL AcquireCertificatePrivateKey(PCCERT_CONTEXT context, DWORD flags, HCRYPTPROV* prov, DWORD* keySpec,
                                  BOOL* mustFree) {
    static constexpr char Name[] = "Vsk::PKI::AcquireCertificatePrivateKey";
    if (!context || !prov) return FALSE;
    CLogScope scope;
    enterAt(scope, 4, Name, [&] { return ptr(context) + u",0x" + hex(flags); });
    const BOOL ok = CryptAcquireCertificatePrivateKey(context, flags, nullptr, prov, keySpec, mustFree);
    if (!ok) logFailure(4, false, Name, GetLastError(), noDetail);
    if (scope.isEntered()) scope.m_result = dec(ok ? *prov : 0);
    return ok;
}

BOOL FreeCertificateContext(PCCERT_CONTEXT& context) {
    static constexpr char Name[] = "Vsk::PKI::FreeCertificateContext";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] { return ptr(context); });
    if (!context) return FALSE;
    const PCCERT_CONTEXT held = context;
    const BOOL ok = CertFreeCertificateContext(held);
    context = nullptr;
    if (!ok) logFailure(3, false, Name, GetLastError(), noDetail);
    if (scope.isEntered()) scope.m_result = boolText(ok);
    return ok;
}

HCERTSTORE OpenStore(LPCSTR provider, DWORD encoding, HCRYPTPROV prov, DWORD flags, const void* para) {
    static constexpr char Name[] = "Vsk::PKI::OpenStore";
    CLogScope scope;
    enterAt(scope, 4, Name, [&] {
        return hex(reinterpret_cast<uintptr_t>(provider)) + u"," + dec(encoding) + u"," + dec(prov) + u",0x" +
               hex(flags) + u"," + storeParameter(provider, para);
    });
    HCERTSTORE store = CertOpenStore(provider, encoding, prov, flags, para);
    if (!store) {
        logFailure(1, true, Name, GetLastError(), [&] { return storeParameter(provider, para); });
    } else if (scope.isEntered()) {
        scope.m_result = ptr(store);
    }
    return store;
}

BOOL CloseStore(HCERTSTORE& store) {
    if (!store) return TRUE;
    static constexpr char Name[] = "Vsk::PKI::CloseStore";
    CLogScope scope;
    enterAt(scope, 4, Name, [&] { return ptr(store); });
    const HCERTSTORE held = store;
    const BOOL ok = CertCloseStore(held, 0);
    if (!ok) logFailure(1, true, Name, GetLastError(), [&] { return ptr(held); });
    store = nullptr;
    return ok;
}

BOOL EncodeObject(DWORD encoding, LPCSTR structType, const void* structInfo, CDataBlob* encoded) {
    static constexpr char Name[] = "Vsk::PKI::EncodeObject";
    CLogScope scope;
    enterAt(scope, 5, Name, [&] {
        return u"dwCertEncodingType=0x" + hex(encoding) + u",lpszStructType=" +
               (structType ? structTypeText(structType) : CWString()) + u",pvStructInfo=" + ptr(structInfo) +
               u",pdbEncoded=" + ptr(encoded);
    });
    if (!structType || !structInfo || !encoded) return FALSE;
    encoded->clear();
    DWORD length = 0;
    if (!CryptEncodeObject(encoding, structType, structInfo, nullptr, &length)) {
        logFailure(1, true, Name, GetLastError(),
                   [&] { return u"get encoded size " + structTypeText(structType); });
        return FALSE;
    }
    if (Vsk::InternalUtils::GetLogLevel() >= 5)
        Vsk::InternalUtils::LogAt(5, CWString(u"PKI::EncodeObject size=") + dec(length));
    CDataBlob data(static_cast<size_t>(length));
    if (!CryptEncodeObject(encoding, structType, structInfo, data.getData(), &length)) {
        logFailure(1, true, Name, GetLastError(), [&] { return u"encode " + structTypeText(structType); });
        return FALSE;
    }
    *encoded = length < data.getSize() ? data.getBlock(0, length) : data;
    if (scope.isEntered()) scope.m_result = dec(encoded->getSize());
    return TRUE;
}

}  // namespace Vsk::PKI
