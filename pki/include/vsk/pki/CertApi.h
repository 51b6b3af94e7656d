// Thin wrappers of the certificate-context and store calls, in the manner of CryptoApi.h: each traces
// at a high log level, logs a failure with the system text and returns what the system returned;
// none raises for a failed call.
#pragma once

#include <vsk/platform/cert.h>
#include <vsk/utils/array.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/string.h>

namespace Vsk::PKI {

// The property's bytes (size query, then data into a zero-filled blob). Empty on failure with the
// failure's last error in `error` (E_INVALIDARG for a null context); `error` is written only on failure.
Vsk::Utils::CDataBlob GetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId,
                                                    DWORD* error = nullptr);
// One call with the caller's buffer: a null buffer asks for the size; `*length` is the buffer's size in
// and the property's size out. A null context: FALSE without a call.
BOOL GetCertificateContextPropertyFixed(PCCERT_CONTEXT context, DWORD propId, void* buffer, DWORD* length);
// CryptAcquireCertificatePrivateKey: the provider context of the certificate's private key, its key
// spec and whether the caller releases the context. A null context or handle: FALSE without a call.
BOOL AcquireCertificatePrivateKey(PCCERT_CONTEXT context, DWORD flags, HCRYPTPROV* prov, DWORD* keySpec,
                                  BOOL* mustFree);
// A null context: FALSE without a call. After a call the variable is null, whatever the result.
BOOL FreeCertificateContext(PCCERT_CONTEXT& context);
// CertOpenStore; null with the last error on failure.
HCERTSTORE OpenStore(LPCSTR provider, DWORD encoding, HCRYPTPROV prov, DWORD flags, const void* para);
// CertCloseStore with flags 0. A null handle: TRUE without a call. The variable is null afterwards.
BOOL CloseStore(HCERTSTORE& store);
// CryptEncodeObject of the structure whose type is a dotted OID text, into `encoded` (size query,
// then data). FALSE and an empty blob on failure; a null type, structure or blob: FALSE without a call.
BOOL EncodeObject(DWORD encoding, LPCSTR structType, const void* structInfo, Vsk::Utils::CDataBlob* encoded);
// For each named system store in order: opened existing and read-only at the location, searched by
// the certificate identifier, closed. The first context found (the caller frees it), or null.
PCCERT_CONTEXT FindCertificate(const Vsk::Utils::CArray<Vsk::Utils::CWString>& storeNames, const CERT_ID& id,
                               DWORD locationFlags);

}  // namespace Vsk::PKI
