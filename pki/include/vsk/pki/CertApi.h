// Thin wrappers of the certificate-context and store calls, in the manner of CryptoApi.h: each traces
// at a high log level, logs a failure with the system text and returns what the system returned;
// none raises for a failed call.
#pragma once

#include <vsk/platform/cert.h>
#include <vsk/utils/array.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/string.h>

namespace Vsk::PKI {

// The property's bytes (size query, then data); empty with `error` set when the property is absent
// or cannot be read (`error` 0 on success; may be null).
Vsk::Utils::CDataBlob GetCertificateContextProperty(PCCERT_CONTEXT context, DWORD propId,
                                                    DWORD* error = nullptr);
// Into a caller's buffer of exactly `size` bytes; false with the last error set otherwise.
bool GetCertificateContextPropertyFixed(PCCERT_CONTEXT context, DWORD propId, void* buffer, DWORD size);
// A null context is TRUE without a call. The variable is null afterwards in every case; a failure is
// logged.
BOOL FreeCertificateContext(PCCERT_CONTEXT& context);
// CertOpenStore; null with the last error on failure.
HCERTSTORE OpenStore(LPCSTR provider, DWORD encoding, HCRYPTPROV prov, DWORD flags, const void* para);
// A null handle is ignored; the variable is null afterwards; a failure is only logged.
void CloseStore(HCERTSTORE& store);
// For each named system store in order: opened existing and read-only at the location, searched by
// the certificate identifier, closed. The first context found (the caller frees it), or null.
PCCERT_CONTEXT FindCertificate(const Vsk::Utils::CArray<Vsk::Utils::CWString>& storeNames, const CERT_ID& id,
                               DWORD locationFlags);

}  // namespace Vsk::PKI
