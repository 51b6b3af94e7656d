// CryptoAPI's provider functions (advapi32) and the OID information functions (crypt32) on OpenSSL 3
// with the GOST engine. Handles are 64-bit ids into a process-wide table; every function returns
// FALSE and sets the thread's last error on failure and leaves the last error alone on success.
//
// Handle errors: a zero handle or an id of another kind (a hash id passed as a provider) gives
// ERROR_INVALID_HANDLE; an id of the right kind that is unknown or released gives NTE_BAD_UID
// (provider), NTE_BAD_HASH (hash) or NTE_BAD_KEY (key).
//
// Providers registered by default (enumeration order):
//   type 1  "Kestrovan RSA Cryptographic Provider"
//   type 80 "Kestrovan GOST R 34.10-2012 Cryptographic Provider"
//   type 81 "Kestrovan GOST R 34.10-2012 Strong Cryptographic Provider"
// Provider types (CryptEnumProviderTypesW order): 1, 24, 75, 80, 81; types 24 and 75 have no
// provider here. Each registered provider is the machine default of its type.
//
// Key containers hold GOST R 34.10-2012 and RSA keys (see "Keys" below); a verification context has
// none (CryptGetUserKey, CryptSignHashW and CryptExportPublicKeyInfo: NTE_NO_KEY). CryptEncrypt and
// CryptDecrypt work with GOST 28147-89 session keys (see "Keys").
#pragma once

#include <vsk/platform/types.h>

#include <cstddef>

using HCRYPTPROV = uint64_t;
using HCRYPTKEY = uint64_t;
using HCRYPTHASH = uint64_t;
using HCRYPTPROV_OR_NCRYPT_KEY_HANDLE = uint64_t;

// ---- Error codes (HRESULT values as DWORDs, the way they travel through the last error) ---------

constexpr DWORD ERROR_BUSY = 170;

constexpr DWORD NTE_BAD_UID = 0x80090001;
constexpr DWORD NTE_BAD_HASH = 0x80090002;
constexpr DWORD NTE_BAD_KEY = 0x80090003;
constexpr DWORD NTE_BAD_LEN = 0x80090004;
constexpr DWORD NTE_BAD_DATA = 0x80090005;
constexpr DWORD NTE_BAD_SIGNATURE = 0x80090006;
constexpr DWORD NTE_BAD_VER = 0x80090007;
constexpr DWORD NTE_BAD_ALGID = 0x80090008;
constexpr DWORD NTE_BAD_FLAGS = 0x80090009;
constexpr DWORD NTE_BAD_TYPE = 0x8009000A;
constexpr DWORD NTE_BAD_KEY_STATE = 0x8009000B;
constexpr DWORD NTE_BAD_HASH_STATE = 0x8009000C;
constexpr DWORD NTE_NO_KEY = 0x8009000D;
constexpr DWORD NTE_NO_MEMORY = 0x8009000E;
constexpr DWORD NTE_EXISTS = 0x8009000F;
constexpr DWORD NTE_PERM = 0x80090010;
constexpr DWORD NTE_NOT_FOUND = 0x80090011;
constexpr DWORD NTE_DOUBLE_ENCRYPT = 0x80090012;
constexpr DWORD NTE_BAD_PROVIDER = 0x80090013;
constexpr DWORD NTE_BAD_PROV_TYPE = 0x80090014;
constexpr DWORD NTE_BAD_PUBLIC_KEY = 0x80090015;
constexpr DWORD NTE_BAD_KEYSET = 0x80090016;
constexpr DWORD NTE_PROV_TYPE_NOT_DEF = 0x80090017;
constexpr DWORD NTE_PROV_TYPE_ENTRY_BAD = 0x80090018;
constexpr DWORD NTE_KEYSET_NOT_DEF = 0x80090019;
constexpr DWORD NTE_KEYSET_ENTRY_BAD = 0x8009001A;
constexpr DWORD NTE_PROV_TYPE_NO_MATCH = 0x8009001B;
constexpr DWORD NTE_SIGNATURE_FILE_BAD = 0x8009001C;
constexpr DWORD NTE_PROVIDER_DLL_FAIL = 0x8009001D;
constexpr DWORD NTE_PROV_DLL_NOT_FOUND = 0x8009001E;
constexpr DWORD NTE_BAD_KEYSET_PARAM = 0x8009001F;
constexpr DWORD NTE_FAIL = 0x80090020;
constexpr DWORD NTE_SYS_ERR = 0x80090021;
constexpr DWORD NTE_SILENT_CONTEXT = 0x80090022;
constexpr DWORD NTE_NOT_SUPPORTED = 0x80090029;
constexpr DWORD CRYPT_E_HASH_VALUE = 0x80091007;
constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004;
constexpr DWORD CRYPT_E_EXISTS = 0x80092005;
constexpr DWORD CRYPT_E_NO_KEY_PROPERTY = 0x8009200B;
constexpr DWORD SCARD_E_INVALID_CHV = 0x8010002A;
constexpr DWORD SCARD_W_WRONG_CHV = 0x8010006B;
constexpr DWORD SCARD_W_CHV_BLOCKED = 0x8010006C;
constexpr DWORD SCARD_W_CANCELLED_BY_USER = 0x8010006E;
constexpr DWORD SCARD_W_CARD_NOT_AUTHENTICATED = 0x8010006F;

// ---- Provider types and names -------------------------------------------------------------------

constexpr DWORD PROV_RSA_FULL = 1;
constexpr DWORD PROV_RSA_SIG = 2;
constexpr DWORD PROV_RSA_AES = 24;
constexpr DWORD PROV_GOST_94_DH = 71;
constexpr DWORD PROV_GOST_2001_DH = 75;
constexpr DWORD PROV_GOST_2012_256 = 80;
constexpr DWORD PROV_GOST_2012_512 = 81;

inline constexpr const char16_t* KESTROVAN_RSA_PROV = u"Kestrovan RSA Cryptographic Provider";
inline constexpr const char16_t* KESTROVAN_GOST_2012_256_PROV =
    u"Kestrovan GOST R 34.10-2012 Cryptographic Provider";
inline constexpr const char16_t* KESTROVAN_GOST_2012_512_PROV =
    u"Kestrovan GOST R 34.10-2012 Strong Cryptographic Provider";

// ---- Algorithm identifiers ----------------------------------------------------------------------

constexpr ALG_ID ALG_CLASS_ANY = 0;
constexpr ALG_ID ALG_CLASS_SIGNATURE = 1 << 13;
constexpr ALG_ID ALG_CLASS_MSG_ENCRYPT = 2 << 13;
constexpr ALG_ID ALG_CLASS_DATA_ENCRYPT = 3 << 13;
constexpr ALG_ID ALG_CLASS_HASH = 4 << 13;
constexpr ALG_ID ALG_CLASS_KEY_EXCHANGE = 5 << 13;
constexpr ALG_ID ALG_CLASS_ALL = 7 << 13;
constexpr ALG_ID GET_ALG_CLASS(ALG_ID x) {
    return x & (7 << 13);
}
constexpr ALG_ID GET_ALG_TYPE(ALG_ID x) {
    return x & (15 << 9);
}
constexpr ALG_ID GET_ALG_SID(ALG_ID x) {
    return x & 511;
}

constexpr ALG_ID CALG_MD5 = 0x8003;
constexpr ALG_ID CALG_SHA = 0x8004;
constexpr ALG_ID CALG_SHA1 = 0x8004;
constexpr ALG_ID CALG_SHA_256 = 0x800C;
constexpr ALG_ID CALG_SHA_384 = 0x800D;
constexpr ALG_ID CALG_SHA_512 = 0x800E;
constexpr ALG_ID CALG_GR3411 = 0x801E;
constexpr ALG_ID CALG_G28147_IMIT = 0x801F;
constexpr ALG_ID CALG_GR3411_2012_256 = 0x8021;
constexpr ALG_ID CALG_GR3411_2012_512 = 0x8022;
constexpr ALG_ID CALG_RSA_SIGN = 0x2400;
constexpr ALG_ID CALG_RSA_KEYX = 0xA400;
constexpr ALG_ID CALG_GR3410EL = 0x2E23;
constexpr ALG_ID CALG_GR3410_12_512 = 0x2E3D;
constexpr ALG_ID CALG_GR3410_12_256 = 0x2E49;
constexpr ALG_ID CALG_DH_EPHEM = 0xAA02;
constexpr ALG_ID CALG_DH_EL_SF = 0xAA24;
constexpr ALG_ID CALG_DH_EL_EPHEM = 0xAA25;
constexpr ALG_ID CALG_DH_GR3410_12_512_SF = 0xAA42;
constexpr ALG_ID CALG_DH_GR3410_12_512_EPHEM = 0xAA43;
constexpr ALG_ID CALG_DH_GR3410_12_256_SF = 0xAA46;
constexpr ALG_ID CALG_DH_GR3410_12_256_EPHEM = 0xAA47;
constexpr ALG_ID CALG_DES = 0x6601;
constexpr ALG_ID CALG_3DES = 0x6603;
constexpr ALG_ID CALG_AES_128 = 0x660E;
constexpr ALG_ID CALG_AES_192 = 0x660F;
constexpr ALG_ID CALG_AES_256 = 0x6610;
constexpr ALG_ID CALG_G28147 = 0x661E;
constexpr ALG_ID CALG_PRO_EXPORT = 0x661F;     // key wrap with CryptoPro KEK diversification
constexpr ALG_ID CALG_SIMPLE_EXPORT = 0x6620;  // key wrap with the agreement key itself

// Key specs (CryptGenKey / CryptGetUserKey).
constexpr ALG_ID AT_KEYEXCHANGE = 1;
constexpr ALG_ID AT_SIGNATURE = 2;

// ---- CryptAcquireContextW flags -----------------------------------------------------------------

constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000;
constexpr DWORD CRYPT_NEWKEYSET = 0x00000008;
constexpr DWORD CRYPT_DELETEKEYSET = 0x00000010;
constexpr DWORD CRYPT_MACHINE_KEYSET = 0x00000020;
constexpr DWORD CRYPT_SILENT = 0x00000040;

// ---- Provider parameters (CryptGetProvParam / CryptSetProvParam) --------------------------------

constexpr DWORD PP_CLIENT_HWND = 1;  // set: &hwnd (a pointer-sized value; null clears)
constexpr DWORD PP_ENUMALGS = 1;
constexpr DWORD PP_ENUMCONTAINERS = 2;
constexpr DWORD PP_NAME = 4;
constexpr DWORD PP_VERSION = 5;
constexpr DWORD PP_CONTAINER = 6;
constexpr DWORD PP_PROVTYPE = 16;
constexpr DWORD PP_KEYEXCHANGE_PIN = 32;
constexpr DWORD PP_SIGNATURE_PIN = 33;
constexpr DWORD PP_UNIQUE_CONTAINER = 36;
// Provider text parameters (code page 1251 OIDs): the hash, cipher, public-key and key-agreement
// algorithms of the provider. Only the GOST providers answer them.
constexpr DWORD PP_HASHOID = 92;
constexpr DWORD PP_CIPHEROID = 93;
constexpr DWORD PP_SIGNATUREOID = 94;
constexpr DWORD PP_DHOID = 95;
constexpr DWORD PP_ENUMREADERS = 114;
// Set with null data: delete a smart-card container; not supported here (NTE_BAD_TYPE).
constexpr DWORD PP_DELETE_SCARD_CONTAINER = 125;
constexpr DWORD PP_VERSION_EX = 0x8A;

// Enumeration flags.
constexpr DWORD CRYPT_FIRST = 1;
constexpr DWORD CRYPT_NEXT = 2;
constexpr DWORD CRYPT_UNIQUE = 8;
constexpr DWORD CRYPT_MEDIA = 0x20;  // PP_ENUMREADERS: report the medium

// Default providers.
constexpr DWORD CRYPT_MACHINE_DEFAULT = 1;
constexpr DWORD CRYPT_USER_DEFAULT = 2;
constexpr DWORD CRYPT_DELETE_DEFAULT = 4;

// PP_ENUMALGS record: 32 bytes, szName in code page 1251 with its NUL counted in dwNameLen.
struct PROV_ENUMALGS {
    ALG_ID aiAlgid;
    DWORD dwBitLen;
    DWORD dwNameLen;
    CHAR szName[20];
};
static_assert(sizeof(PROV_ENUMALGS) == 32);

// PP_VERSION_EX answer: the 3rd and 4th numbers of the provider's version text, then reserved bytes.
struct PROV_VERSION_EX {
    DWORD dwBuild;
    DWORD dwRevision;
    DWORD dwReserved[3];
};
static_assert(sizeof(PROV_VERSION_EX) == 20);

// ---- Hash parameters ----------------------------------------------------------------------------

constexpr DWORD HP_ALGID = 1;
constexpr DWORD HP_HASHVAL = 2;
constexpr DWORD HP_HASHSIZE = 4;

// ---- Key parameters, flags and blobs (keys come with the key containers) ------------------------

constexpr DWORD KP_IV = 1;
constexpr DWORD KP_MODE = 4;
constexpr DWORD KP_PERMISSIONS = 6;
constexpr DWORD KP_ALGID = 7;
constexpr DWORD KP_KEYLEN = 9;
constexpr DWORD KP_X = 14;
constexpr DWORD KP_CERTIFICATE = 26;
constexpr DWORD KP_CIPHEROID = 104;
constexpr DWORD KP_DHOID = 106;

constexpr DWORD CRYPT_MODE_CBC = 1;
constexpr DWORD CRYPT_MODE_ECB = 2;
constexpr DWORD CRYPT_MODE_OFB = 3;
constexpr DWORD CRYPT_MODE_CFB = 4;

constexpr DWORD CRYPT_EXPORTABLE = 0x00000001;
constexpr DWORD CRYPT_PREGEN = 0x00000040;
constexpr DWORD CRYPT_EXPORT = 0x0004;  // KP_PERMISSIONS bit

constexpr BYTE SIMPLEBLOB = 0x1;
constexpr BYTE PUBLICKEYBLOB = 0x6;
constexpr BYTE PRIVATEKEYBLOB = 0x7;
constexpr BYTE CUR_BLOB_VERSION = 2;
constexpr BYTE GOST_BLOB_VERSION = 0x20;
constexpr DWORD RSA1_MAGIC = 0x31415352;      // "RSA1"
constexpr DWORD GR3410_1_MAGIC = 0x3147414D;  // "MAG1"
constexpr DWORD G28147_MAGIC = 0x374A51FD;

struct BLOBHEADER {
    BYTE bType;
    BYTE bVersion;
    WORD reserved;
    ALG_ID aiKeyAlg;
};
using PUBLICKEYSTRUC = BLOBHEADER;
struct RSAPUBKEY {
    DWORD magic;
    DWORD bitlen;
    DWORD pubexp;
};

// ---- Provider functions -------------------------------------------------------------------------

// container null with CRYPT_VERIFYCONTEXT: a verify context. provider null: the user default of the
// type, then the machine default (NTE_PROV_TYPE_NOT_DEF when the type has none). Unknown name:
// NTE_KEYSET_NOT_DEF; a name registered under another type: NTE_PROV_TYPE_NO_MATCH. A provider name is
// matched without regard to case. Key containers are not kept yet: a container context opens only a
// container that its provider lists (by name, unique name or "\\.\<reader>\<name>"), else
// NTE_BAD_KEYSET; CRYPT_NEWKEYSET gives NTE_NOT_SUPPORTED, CRYPT_DELETEKEYSET NTE_BAD_KEYSET.
BOOL CryptAcquireContextW(HCRYPTPROV* prov, LPCWSTR container, LPCWSTR provider, DWORD provType, DWORD flags);
BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags);
// Text answers are code page 1251 with their NUL. Null data: *dataLen receives the size. A buffer
// too small: ERROR_MORE_DATA with the size in *dataLen.
BOOL CryptGetProvParam(HCRYPTPROV prov, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags);
// PP_CLIENT_HWND (data: the address of a window handle; prov 0 sets it for the whole process),
// PP_KEYEXCHANGE_PIN and PP_SIGNATURE_PIN (NUL-terminated code page 1251); others: NTE_BAD_TYPE.
BOOL CryptSetProvParam(HCRYPTPROV prov, DWORD param, const BYTE* data, DWORD flags);

// Sizes in bytes with the NUL; the end gives ERROR_NO_MORE_ITEMS.
BOOL CryptEnumProvidersW(DWORD index, DWORD* reserved, DWORD flags, DWORD* provType, LPWSTR provName,
                         DWORD* provNameLen);
BOOL CryptEnumProviderTypesW(DWORD index, DWORD* reserved, DWORD flags, DWORD* provType, LPWSTR typeName,
                             DWORD* typeNameLen);
BOOL CryptGetDefaultProviderW(DWORD provType, DWORD* reserved, DWORD flags, LPWSTR provName,
                              DWORD* provNameLen);

BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID alg, HCRYPTKEY key, DWORD flags, HCRYPTHASH* hash);
// Refused with NTE_BAD_HASH_STATE once HP_HASHVAL was read or set.
BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD dataLen, DWORD flags);
// HP_HASHVAL: the digest bytes as the algorithm defines them (not reversed); finishes the hash.
// HP_HASHSIZE, HP_ALGID: DWORDs.
BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags);
// HP_HASHVAL: the value (as many bytes as HP_HASHSIZE); the hash is finished afterwards.
BOOL CryptSetHashParam(HCRYPTHASH hash, DWORD param, const BYTE* data, DWORD flags);
BOOL CryptDestroyHash(HCRYPTHASH hash);

BOOL CryptGenRandom(HCRYPTPROV prov, DWORD len, BYTE* buffer);

// Keys. A container key belongs to its context's container; an imported public key (PUBLICKEYBLOB,
// CryptImportPublicKeyInfo) to no container. Key ALG_IDs: AT_KEYEXCHANGE gives 0xAA46 (type 80),
// 0xAA42 (type 81), 0xAA24 (type 75), CALG_RSA_KEYX (type 1); AT_SIGNATURE 0x2E49, 0x2E3D, 0x2E23,
// CALG_RSA_SIGN; the matching explicit ALG_ID gives the same key; anything else NTE_BAD_ALGID.
//
// CryptGenKey: flags CRYPT_EXPORTABLE, and for RSA the modulus bits in the high word (0: 2048). The
// key is written to the container at once (encrypted with the password set before, if any) and
// replaces a key of the same spec; a verification context keeps no keys (NTE_BAD_KEYSET).
// CryptGetUserKey: NTE_NO_KEY when the container has no such key.
// CryptGetKeyParam: KP_ALGID, KP_KEYLEN (GOST: 512 or 1024, the public-key bits; RSA: the modulus
// bits), KP_PERMISSIONS (0x3F, without CRYPT_EXPORT for a key made without CRYPT_EXPORTABLE),
// KP_CERTIFICATE (the DER kept with the key; NTE_NOT_FOUND when none), KP_DHOID; others NTE_BAD_TYPE.
// KP_DHOID is a GOST key's public-key parameter set (NUL-terminated).
// CryptSetKeyParam of a key pair: KP_CERTIFICATE only (encryption keys: see below); a certificate
// whose public key is not the key's is refused with NTE_BAD_PUBLIC_KEY.
// CryptExportKey: PUBLICKEYBLOB of a key pair (GOST "MAG1" with SEQUENCE {key parameter set, digest
// parameter set} and X||Y little-endian; RSA "RSA1" with the modulus little-endian), SIMPLEBLOB of a
// session key under an agreement key; others NTE_BAD_TYPE. CryptImportKey: a PUBLICKEYBLOB without an
// import key (a public key) or with a user key (an agreement key), a SIMPLEBLOB with an agreement key.
// CryptSignHashW / CryptVerifySignatureW: signatures in CryptoAPI byte order (the reverse of
// OpenSSL's); signing unlocks the key (the context's password, the prompt, or NTE_SILENT_CONTEXT)
// and finishes the hash.
//
// GOST keys for encryption (providers of types 75, 80 and 81; kept only in their handles, also in a
// verification context):
// - Ephemeral key pairs: CryptGenKey with CALG_DH_GR3410_12_256_EPHEM (type 80),
//   CALG_DH_GR3410_12_512_EPHEM (81) or CALG_DH_EL_EPHEM (75), flags CRYPT_EXPORTABLE and
//   CRYPT_PREGEN. Without CRYPT_PREGEN the pair is made at once on the default exchange parameter
//   set; with it, KP_DHOID is set first (the other side's set) and KP_X with null data makes the pair
//   (KP_X with data: NTE_NOT_SUPPORTED). KP_DHOID reads the set; a pair not made yet answers
//   NTE_BAD_KEY_STATE.
// - Agreement keys: CryptImportKey(PUBLICKEYBLOB, user key) with a container key or an ephemeral key
//   of the same algorithm (another curve: NTE_BAD_PUBLIC_KEY). Each wrap runs VKO GOST R 34.10-2012
//   (RFC 7836, 256-bit output, as the GOST engine) with the blob's 8-byte UKM. KP_ALGID selects the
//   wrap: CALG_SIMPLE_EXPORT (the default: GOST 28147-89 key wrap with the VKO output) or
//   CALG_PRO_EXPORT (CryptoPro key wrap: the KEK diversified by the UKM first, RFC 4357 6.3).
// - Session keys (CALG_G28147, 256 bits): CryptGenKey makes a random key and IV with the TC26 Z
//   S-box set (CryptoPro A on type 75). KP_IV (8 bytes), KP_CIPHEROID (NUL-terminated OID: TC26 Z or
//   CryptoPro A, others NTE_BAD_ALGID) and KP_MODE: CFB with CryptoPro key meshing every 1024 bytes,
//   the GOST engine's "gost89" mode; only CRYPT_MODE_CFB is accepted (others NTE_BAD_DATA).
// - SIMPLEBLOB (60 bytes and the DER of SEQUENCE {OID}; only of a key made or imported with
//   CRYPT_EXPORTABLE, else NTE_BAD_KEY_STATE): BLOBHEADER {1, 0x20, 0, CALG_G28147},
//   G28147_MAGIC, CALG_G28147, a random UKM (8), the encrypted key (32), the MAC (4), then the
//   session key's S-box set, which is also the set of the wrap. Import: a MAC that does not match
//   gives NTE_BAD_DATA; the new key takes the blob's set and a random IV.
// - CryptEncrypt/CryptDecrypt work in place; the output is as long as the input, so a size query
//   (data null) leaves *dataLen as it is and a buffer shorter than the data gives ERROR_MORE_DATA. A
//   non-final call keeps the stream for the next; a final call ends it (the next starts from KP_IV).
//   No hash alongside (NTE_NOT_SUPPORTED); other keys NTE_BAD_KEY.
// Secret keys and agreement outputs are wiped when their handle is destroyed or used.
BOOL CryptGenKey(HCRYPTPROV prov, ALG_ID alg, DWORD flags, HCRYPTKEY* key);
BOOL CryptGetUserKey(HCRYPTPROV prov, DWORD keySpec, HCRYPTKEY* key);
BOOL CryptDestroyKey(HCRYPTKEY key);
BOOL CryptGetKeyParam(HCRYPTKEY key, DWORD param, BYTE* data, DWORD* dataLen, DWORD flags);
BOOL CryptSetKeyParam(HCRYPTKEY key, DWORD param, const BYTE* data, DWORD flags);
BOOL CryptExportKey(HCRYPTKEY key, HCRYPTKEY expKey, DWORD blobType, DWORD flags, BYTE* data, DWORD* dataLen);
BOOL CryptImportKey(HCRYPTPROV prov, const BYTE* data, DWORD dataLen, HCRYPTKEY pubKey, DWORD flags,
                    HCRYPTKEY* key);
BOOL CryptSignHashW(HCRYPTHASH hash, DWORD keySpec, LPCWSTR description, DWORD flags, BYTE* signature,
                    DWORD* signatureLen);
BOOL CryptVerifySignatureW(HCRYPTHASH hash, const BYTE* signature, DWORD signatureLen, HCRYPTKEY pubKey,
                           LPCWSTR description, DWORD flags);
BOOL CryptEncrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data, DWORD* dataLen,
                  DWORD bufLen);
BOOL CryptDecrypt(HCRYPTKEY key, HCRYPTHASH hash, BOOL final, DWORD flags, BYTE* data, DWORD* dataLen);

// ---- Container passwords ------------------------------------------------------------------------

// The prompt a non-silent context calls when a key of a password-protected container is needed and
// no password was set: `container` is the container's name, `parent` the window set with
// PP_CLIENT_HWND (0: none). It writes the password (code page 1251, NUL-terminated) into `password`
// of `capacity` bytes and returns TRUE, or returns FALSE when the user cancelled (ERROR_CANCELLED).
// Without a prompt such a key gives NTE_SILENT_CONTEXT.
using PasswordPrompt = BOOL (*)(LPCWSTR container, uintptr_t parent, char* password, DWORD capacity);
void SetPasswordPrompt(PasswordPrompt prompt);

// ---- Public-key information and certificate keys (crypt32) --------------------------------------

constexpr DWORD X509_ASN_ENCODING = 0x00000001;
constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;

struct CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Parameters;
};
struct CRYPT_BIT_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
};
struct CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_BLOB PublicKey;
};
using PCERT_PUBLIC_KEY_INFO = CERT_PUBLIC_KEY_INFO*;

// Defined by the certificate area.
struct CERT_CONTEXT;
using PCCERT_CONTEXT = const CERT_CONTEXT*;

constexpr DWORD CRYPT_ACQUIRE_CACHE_FLAG = 0x00000001;
constexpr DWORD CRYPT_ACQUIRE_SILENT_FLAG = 0x00000040;

// CryptExportPublicKeyInfo: the SubjectPublicKeyInfo of the container key `keySpec` (as OpenSSL
// encodes it), two-call form; the result is one block whose pointers point into itself.
// CryptImportPublicKeyInfo: a public key (GOST: taken for an exchange key with an exchange parameter
// set and for every 512-bit key, else for a signature key; RSA: CALG_RSA_KEYX).
// CryptAcquireCertificatePrivateKey and CryptFindCertificateKeyProvInfo come with the certificate
// contexts (cert.h).
BOOL CryptExportPublicKeyInfo(HCRYPTPROV_OR_NCRYPT_KEY_HANDLE prov, DWORD keySpec, DWORD encoding,
                              CERT_PUBLIC_KEY_INFO* info, DWORD* infoLen);
BOOL CryptImportPublicKeyInfo(HCRYPTPROV prov, DWORD encoding, const CERT_PUBLIC_KEY_INFO* info,
                              HCRYPTKEY* key);

// ---- Memory protection (also exports of the resident stand-in module "Crypt32.dll") -------------

constexpr DWORD CRYPTPROTECTMEMORY_BLOCK_SIZE = 16;
constexpr DWORD CRYPTPROTECTMEMORY_SAME_PROCESS = 0;
constexpr DWORD CRYPTPROTECTMEMORY_CROSS_PROCESS = 1;
constexpr DWORD CRYPTPROTECTMEMORY_SAME_LOGON = 2;

// In place, `size` a multiple of 16 (ERROR_INVALID_PARAMETER otherwise), with a per-process key kept
// in locked memory that core dumps leave out. Only CRYPTPROTECTMEMORY_SAME_PROCESS is supported
// (the others: NTE_BAD_FLAGS).
BOOL CryptProtectMemory(LPVOID data, DWORD size, DWORD flags);
BOOL CryptUnprotectMemory(LPVOID data, DWORD size, DWORD flags);

// ---- OID information (crypt32) ------------------------------------------------------------------

constexpr DWORD CRYPT_HASH_ALG_OID_GROUP_ID = 1;
constexpr DWORD CRYPT_ENCRYPT_ALG_OID_GROUP_ID = 2;
constexpr DWORD CRYPT_PUBKEY_ALG_OID_GROUP_ID = 3;
constexpr DWORD CRYPT_SIGN_ALG_OID_GROUP_ID = 4;
constexpr DWORD CRYPT_RDN_ATTR_OID_GROUP_ID = 5;
constexpr DWORD CRYPT_EXT_OR_ATTR_OID_GROUP_ID = 6;
constexpr DWORD CRYPT_ENHKEY_USAGE_OID_GROUP_ID = 7;
constexpr DWORD CRYPT_POLICY_OID_GROUP_ID = 8;
constexpr DWORD CRYPT_TEMPLATE_OID_GROUP_ID = 9;
constexpr DWORD CRYPT_KDF_OID_GROUP_ID = 10;

constexpr DWORD CRYPT_OID_INFO_OID_KEY = 1;
constexpr DWORD CRYPT_OID_INFO_NAME_KEY = 2;
constexpr DWORD CRYPT_OID_INFO_ALGID_KEY = 3;
constexpr DWORD CRYPT_OID_INFO_SIGN_KEY = 4;

constexpr DWORD CERT_RDN_NUMERIC_STRING = 3;

// 48 bytes, as the registering callers fill it.
struct CRYPT_OID_INFO {
    DWORD cbStruct;
    LPCSTR pszOID;
    LPCWSTR pwszName;
    DWORD dwGroupId;
    union {
        DWORD dwValue;
        ALG_ID Algid;
        DWORD dwLength;
    };
    CRYPT_DATA_BLOB ExtraInfo;
};
static_assert(sizeof(CRYPT_OID_INFO) == 48);
using PCRYPT_OID_INFO = CRYPT_OID_INFO*;
using PCCRYPT_OID_INFO = const CRYPT_OID_INFO*;

// The entry stays valid until the process ends. Keys: CRYPT_OID_INFO_OID_KEY (LPCSTR dotted OID),
// CRYPT_OID_INFO_NAME_KEY (LPCWSTR name, compared without regard to case), CRYPT_OID_INFO_ALGID_KEY
// (ALG_ID*), CRYPT_OID_INFO_SIGN_KEY (ALG_ID[2]: hash, public key). Group 0: any group. Null when
// there is none (the last error is left alone).
PCCRYPT_OID_INFO CryptFindOIDInfo(DWORD keyType, void* key, DWORD groupId);
using PFN_CRYPT_ENUM_OID_INFO = BOOL (*)(PCCRYPT_OID_INFO info, void* arg);
// Group 0: every group. FALSE when the callback stopped the enumeration.
BOOL CryptEnumOIDInfo(DWORD groupId, DWORD flags, void* arg, PFN_CRYPT_ENUM_OID_INFO callback);
// Null for an ALG_ID with no OID (the last error is left alone).
LPCSTR CertAlgIdToOID(DWORD algId);
// 0 for an OID with no ALG_ID.
DWORD CertOIDToAlgId(LPCSTR oid);

// Entries that the certificate area adds to the built-in table (registrations kept in the machine
// hive). `after` false puts them in front of the built-in entries (they win lookups), true after.
// Texts are copied. A later entry with the same OID and group replaces the earlier added one.
void AddOIDInfo(const CRYPT_OID_INFO& info, bool after);
bool RemoveAddedOIDInfo(LPCSTR oid, DWORD groupId);

// ---- OpenSSL ------------------------------------------------------------------------------------

// Loads the GOST engine once per process and makes it the default for everything it implements, so
// GOST algorithms are found by name ("md_gost12_256", "gost89", "gost2012_256"). False when the engine
// is missing. The provider functions call it themselves; other areas that use OpenSSL directly for
// GOST call it first.
bool LoadGostEngine();
