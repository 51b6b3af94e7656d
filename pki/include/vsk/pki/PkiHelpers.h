// Small helpers shared by the PKI layers: the table that relates a signature algorithm to its hash
// and public-key algorithms, the parameters of an open provider handle, the display texts of the
// certificate verification settings and the two classes of error codes that the user interface
// treats apart (a cancelled operation, a PIN problem).
#pragma once

#include <vsk/platform/crypt.h>
#include <vsk/utils/error.h>
#include <vsk/utils/string.h>

namespace Vsk::PKI {

// One row of the signature-algorithm table: dotted OIDs.
struct CSignatureAlgorithm {
    const char* signatureOid;
    const char* hashOid;
    const char* publicKeyOid;
};

// GOST R 34.10-2001 with GOST R 34.11-94; GOST R 34.10-2012 with 256 and with 512 bits and their
// GOST R 34.11-2012 hashes; RSA with SHA-1, SHA-256, SHA-384 and SHA-512.
inline constexpr CSignatureAlgorithm SignatureAlgorithms[] = {
    {"1.2.643.2.2.3", "1.2.643.2.2.9", "1.2.643.2.2.19"},
    {"1.2.643.7.1.1.3.2", "1.2.643.7.1.1.2.2", "1.2.643.7.1.1.1.1"},
    {"1.2.643.7.1.1.3.3", "1.2.643.7.1.1.2.3", "1.2.643.7.1.1.1.2"},
    {"1.2.840.113549.1.1.5", "1.3.14.3.2.26", "1.2.840.113549.1.1.1"},
    {"1.2.840.113549.1.1.11", "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.1"},
    {"1.2.840.113549.1.1.12", "2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.1"},
    {"1.2.840.113549.1.1.13", "2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.1"},
};

// The row whose signature OID equals the text (exact); null when none. Only the first column is
// searched.
const CSignatureAlgorithm* FindSignatureAlgorithm(const Vsk::Utils::CAString& signatureOid);

// Reads the provider type, name and container name of an open handle into the outputs that are
// given, in that order, stopping at the first failure (false; `error`, when given, tells why).
bool GetCSPParams(HCRYPTPROV hProv, DWORD* type, Vsk::Utils::CWString* name, Vsk::Utils::CWString* container,
                  Vsk::Utils::CError* error);

// Texts (code page 1251) of the certificate verification settings; empty for an unknown value.
Vsk::Utils::CAString RevocationFlagToStr(int scope);
Vsk::Utils::CAString RevocationModeToStr(int mode);
// One ignore flag at a time (63: all six together).
Vsk::Utils::CAString VerifyFlagToStr(int flag);

// "size=<bytes>, SHA-1=<hex>": what log lines say of input that may be secret (a private key picked
// by mistake, a key blob) in place of its bytes. The size alone when no hash can be made.
Vsk::Utils::CWString SizeAndDigestText(const Vsk::Utils::CDataBlob& bytes);

// ERROR_CANCELLED (1223) and SCARD_W_CANCELLED_BY_USER; not the HRESULT form of 1223.
bool isCancelledError(DWORD code);
// NTE_SILENT_CONTEXT and the smart-card PIN codes.
bool isPinError(DWORD code);

}  // namespace Vsk::PKI
