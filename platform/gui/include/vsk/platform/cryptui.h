// The certificate and CRL viewers (CryptUI) and the shell's CRL viewer (cryptext).
//
// The viewers are Qt dialogs of the GUI area, exported by the stand-in modules "Cryptui.dll"
// (CryptUIDlgViewCertificateW, CryptUIDlgViewContext; resident: a program that links the GUI area has
// it loaded, as a program that imports CryptUI has) and "cryptext.dll" (CryptExtOpenCRL, loaded on
// request). Code without windows (the library) uses only the declarations below and reaches the
// viewers through LoadLibraryW/GetModuleHandleW and GetProcAddress, so it never links Qt; in a
// program without the GUI area the modules are missing (ERROR_MOD_NOT_FOUND).
#pragma once

#include <vsk/platform/types.h>

// The certificate stand-in's contexts; only their pointers pass through here.
struct CERT_CONTEXT;
using PCCERT_CONTEXT = const CERT_CONTEXT*;

// 120 bytes, as the callers' dwSize says; the viewer reads the parent window, the title and the
// context.
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

// The exports' types, for GetProcAddress.
//
// CryptUIDlgViewCertificateW: shows the certificate viewer modally; TRUE when the user closed it.
// FALSE with ERROR_INVALID_PARAMETER for a wrong dwSize or a missing context, with
// CRYPT_E_BAD_ENCODE_CODE for bytes that are no X.509 certificate, with ERROR_NOT_SUPPORTED in a
// program without a QApplication (no window system).
using PFN_CRYPTUI_DLG_VIEW_CERTIFICATE_W = BOOL (*)(const CRYPTUI_VIEWCERTIFICATE_STRUCTW* view,
                                                    BOOL* propertiesChanged);
// CryptUIDlgViewContext: contextType CERT_STORE_CERTIFICATE_CONTEXT (1) shows the certificate
// viewer, CERT_STORE_CRL_CONTEXT (2) the CRL viewer; another type gives E_INVALIDARG. The other
// failures are those of CryptUIDlgViewCertificateW.
using PFN_CRYPTUI_DLG_VIEW_CONTEXT = BOOL (*)(DWORD contextType, const void* context, HWND owner,
                                              LPCWSTR title, DWORD flags, void* reserved);
// CryptExtOpenCRL: shows the CRL in the file whose path (code page 1251) is `path`, modally; a file
// that cannot be read or holds no CRL shows an error message instead. Nothing is returned.
using PFN_CRYPTEXT_OPEN_CRL = void (*)(HWND owner, HINSTANCE module, LPCSTR path, int showCommand);

// The exports themselves, for code that links the GUI area.
BOOL CryptUIDlgViewCertificateW(const CRYPTUI_VIEWCERTIFICATE_STRUCTW* view, BOOL* propertiesChanged);
BOOL CryptUIDlgViewContext(DWORD contextType, const void* context, HWND owner, LPCWSTR title, DWORD flags,
                           void* reserved);
void CryptExtOpenCRL(HWND owner, HINSTANCE module, LPCSTR path, int showCommand);
