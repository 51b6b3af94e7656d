// The certificate viewer: a modal Qt dialog showing a certificate's subject, issuer, validity,
// serial number, thumbprints and extensions, decoded with OpenSSL from the encoded bytes.
#pragma once

#include <vsk/platform/gui.h>

// The certificate stand-in's context; only its pointer passes through here.
struct CERT_CONTEXT;
using PCCERT_CONTEXT = const CERT_CONTEXT*;

// 120 bytes, as the callers' dwSize says; the viewer reads the parent window and the context.
struct CRYPTUI_VIEWCERTIFICATE_STRUCTW {
    DWORD dwSize;
    HWND hwndParent;
    DWORD dwFlags;
    LPCWSTR szTitle;
    PCCERT_CONTEXT pCertContext;
    LPCSTR* rgszPurposes;
    DWORD cPurposes;
    const void* pCryptProviderData;
    BOOL fpCryptProviderDataTrustedUsage;
    DWORD idxSigner;
    DWORD idxCert;
    BOOL fCounterSigner;
    DWORD idxCounterSigner;
    DWORD cStores;
    HANDLE* rghStores;
    DWORD cPropSheetPages;
    const void* rgPropSheetPages;
    DWORD nStartPage;
};
static_assert(sizeof(CRYPTUI_VIEWCERTIFICATE_STRUCTW) == 120);

constexpr DWORD CRYPT_E_BAD_ENCODE_CODE = 0x80092002;

// Shows the viewer modally; TRUE when the user closed it. FALSE with ERROR_INVALID_PARAMETER for a
// wrong dwSize or a missing context, and with CRYPT_E_BAD_ENCODE_CODE (0x80092002) for bytes that are
// no X.509 certificate; ERROR_NOT_SUPPORTED without a QApplication.
BOOL CryptUIDlgViewCertificateW(const CRYPTUI_VIEWCERTIFICATE_STRUCTW* view, BOOL* propertiesChanged);

// The text the viewer shows, for its tests; empty when the bytes are no certificate.
std::u16string CertificateViewText(const BYTE* encoded, DWORD size);
