// Certificates, CRLs and certificate stores (crypt32) on OpenSSL 3 and our own DER reading.
//
// Contexts are reference counted: CertDuplicate* returns the same pointer, CertFree* releases one
// reference. Every context of one store element shares that element's property set, and a context
// keeps its store alive: CertCloseStore answers TRUE at once and the store goes when its last
// context goes.
//
// Stores:
//  - CERT_STORE_PROV_MEMORY: an empty store in memory.
//  - CERT_STORE_PROV_SERIALIZED (pvPara: const CRYPT_DATA_BLOB*): a memory store read from the
//    serialized-store format that CertSaveStore writes (the ".store" files). The reading is strict;
//    bad data gives CRYPT_E_FILE_ERROR and no store.
//  - CERT_STORE_PROV_SYSTEM_W (pvPara: the store name, LPCWSTR, matched without regard to case):
//    CERT_SYSTEM_STORE_CURRENT_USER or CERT_SYSTEM_STORE_LOCAL_MACHINE, with
//    CERT_STORE_OPEN_EXISTING_FLAG and CERT_STORE_READONLY_FLAG as wanted. One folder per store under
//    the user's or the machine's state root (`stores/<NAME>/`), one file per element named by its
//    SHA-1 thumbprint. Changes are written through at once, under a lock shared with other
//    processes. The user's ROOT and CA also show the computer's elements (access state
//    CERT_ACCESS_STATE_SYSTEM_STORE_FLAG | CERT_ACCESS_STATE_LM_SYSTEM_STORE_FLAG, and the write
//    flag when this process may change them).
//
// Errors the callers branch on: CRYPT_E_NOT_FOUND (end of an enumeration, nothing found, absent
// property), CRYPT_E_EXISTS (CERT_STORE_ADD_NEW or ADD_NEWER on an element already there),
// ERROR_FILE_NOT_FOUND (a missing store opened with CERT_STORE_OPEN_EXISTING_FLAG),
// ERROR_ACCESS_DENIED (a writable open of a store this process may not write; a change to a read-only
// store or element), ERROR_CANCELLED (the user's ROOT change refused by the confirmation hook).
#pragma once

#include <vsk/platform/crypt.h>
#include <vsk/platform/types.h>

// ---- Error codes not in crypt.h -------------------------------------------------------------------

constexpr DWORD CRYPT_E_MSG_ERROR = 0x80091001;
constexpr DWORD CRYPT_E_UNKNOWN_ALGO = 0x80091002;
constexpr DWORD CRYPT_E_OID_FORMAT = 0x80091003;
constexpr DWORD CRYPT_E_INVALID_MSG_TYPE = 0x80091004;
constexpr DWORD CRYPT_E_UNEXPECTED_ENCODING = 0x80091005;
constexpr DWORD CRYPT_E_AUTH_ATTR_MISSING = 0x80091006;
constexpr DWORD CRYPT_E_INVALID_INDEX = 0x80091008;
constexpr DWORD CRYPT_E_ALREADY_DECRYPTED = 0x80091009;
constexpr DWORD CRYPT_E_NOT_DECRYPTED = 0x8009100A;
constexpr DWORD CRYPT_E_RECIPIENT_NOT_FOUND = 0x8009100B;
constexpr DWORD CRYPT_E_CONTROL_TYPE = 0x8009100C;
constexpr DWORD CRYPT_E_ISSUER_SERIALNUMBER = 0x8009100D;
constexpr DWORD CRYPT_E_SIGNER_NOT_FOUND = 0x8009100E;
constexpr DWORD CRYPT_E_ATTRIBUTES_MISSING = 0x8009100F;
constexpr DWORD CRYPT_E_STREAM_MSG_NOT_READY = 0x80091010;
constexpr DWORD CRYPT_E_STREAM_INSUFFICIENT_DATA = 0x80091011;
constexpr DWORD CRYPT_E_BAD_LEN = 0x80092001;
constexpr DWORD CRYPT_E_BAD_ENCODE = 0x80092002;
constexpr DWORD CRYPT_E_FILE_ERROR = 0x80092003;
constexpr DWORD CRYPT_E_NO_PROVIDER = 0x80092006;
constexpr DWORD CRYPT_E_SELF_SIGNED = 0x80092007;
constexpr DWORD CRYPT_E_DELETED_PREV = 0x80092008;
constexpr DWORD CRYPT_E_NO_MATCH = 0x80092009;
constexpr DWORD CRYPT_E_UNEXPECTED_MSG_TYPE = 0x8009200A;
constexpr DWORD CRYPT_E_NO_DECRYPT_CERT = 0x8009200C;
constexpr DWORD CRYPT_E_BAD_MSG = 0x8009200D;
constexpr DWORD CRYPT_E_NO_SIGNER = 0x8009200E;
constexpr DWORD CRYPT_E_PENDING_CLOSE = 0x8009200F;
constexpr DWORD CRYPT_E_REVOKED = 0x80092010;
constexpr DWORD CRYPT_E_NO_REVOCATION_DLL = 0x80092011;
constexpr DWORD CRYPT_E_NO_REVOCATION_CHECK = 0x80092012;
constexpr DWORD CRYPT_E_REVOCATION_OFFLINE = 0x80092013;
constexpr DWORD CRYPT_E_NOT_IN_REVOCATION_DATABASE = 0x80092014;
constexpr DWORD CRYPT_E_INVALID_NUMERIC_STRING = 0x80092020;
constexpr DWORD CRYPT_E_INVALID_PRINTABLE_STRING = 0x80092021;
constexpr DWORD CRYPT_E_INVALID_IA5_STRING = 0x80092022;
constexpr DWORD CRYPT_E_INVALID_X500_STRING = 0x80092023;
constexpr DWORD CRYPT_E_NOT_CHAR_STRING = 0x80092024;
constexpr DWORD CRYPT_E_ASN1_ERROR = 0x80093100;
constexpr DWORD CRYPT_E_ASN1_INTERNAL = 0x80093101;
constexpr DWORD CRYPT_E_ASN1_EOD = 0x80093102;
constexpr DWORD CRYPT_E_ASN1_CORRUPT = 0x80093103;
constexpr DWORD CRYPT_E_ASN1_LARGE = 0x80093104;
constexpr DWORD CRYPT_E_ASN1_CONSTRAINT = 0x80093105;
constexpr DWORD CRYPT_E_ASN1_MEMORY = 0x80093106;
constexpr DWORD CRYPT_E_ASN1_OVERFLOW = 0x80093107;
constexpr DWORD CRYPT_E_ASN1_BADPDU = 0x80093108;
constexpr DWORD CRYPT_E_ASN1_BADARGS = 0x80093109;
constexpr DWORD CRYPT_E_ASN1_BADREAL = 0x8009310A;
constexpr DWORD CRYPT_E_ASN1_BADTAG = 0x8009310B;
constexpr DWORD CRYPT_E_ASN1_CHOICE = 0x8009310C;
constexpr DWORD CRYPT_E_ASN1_RULE = 0x8009310D;
constexpr DWORD CRYPT_E_ASN1_UTF8 = 0x8009310E;
constexpr DWORD ERROR_NOT_FOUND = 1168;

// ---- Blobs and the certificate and CRL records ----------------------------------------------------

using CRYPT_ATTR_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DER_BLOB = CRYPTOAPI_BLOB;
using CERT_BLOB = CRYPTOAPI_BLOB;
using CERT_RDN_VALUE_BLOB = CRYPTOAPI_BLOB;
using CRL_BLOB = CRYPTOAPI_BLOB;
using PCRYPT_DATA_BLOB = CRYPT_DATA_BLOB*;
using PCRYPT_HASH_BLOB = CRYPT_HASH_BLOB*;
using PCERT_NAME_BLOB = CERT_NAME_BLOB*;

using HCERTSTORE = void*;

struct CERT_EXTENSION {
    LPSTR pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value;
};
using PCERT_EXTENSION = CERT_EXTENSION*;
using PCCERT_EXTENSION = const CERT_EXTENSION*;

struct CERT_EXTENSIONS {
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
};

constexpr DWORD CERT_V1 = 0;
constexpr DWORD CERT_V2 = 1;
constexpr DWORD CERT_V3 = 2;

// SerialNumber is little-endian (the reverse of the DER INTEGER's bytes, sign byte included);
// Issuer, Subject and the key's Parameters are the DER encodings; times are UTC.
struct CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber;
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_BLOB IssuerUniqueId;
    CRYPT_BIT_BLOB SubjectUniqueId;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
};
using PCERT_INFO = CERT_INFO*;

struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
};
using PCERT_CONTEXT = CERT_CONTEXT*;

struct CRL_ENTRY {
    CRYPT_INTEGER_BLOB SerialNumber;
    FILETIME RevocationDate;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
};
using PCRL_ENTRY = CRL_ENTRY*;

constexpr DWORD CRL_V1 = 0;
constexpr DWORD CRL_V2 = 1;

// NextUpdate is zero when the CRL has none.
struct CRL_INFO {
    DWORD dwVersion;
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;
    FILETIME ThisUpdate;
    FILETIME NextUpdate;
    DWORD cCRLEntry;
    PCRL_ENTRY rgCRLEntry;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
};
using PCRL_INFO = CRL_INFO*;

struct CRL_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCrlEncoded;
    DWORD cbCrlEncoded;
    PCRL_INFO pCrlInfo;
    HCERTSTORE hCertStore;
};
using PCRL_CONTEXT = CRL_CONTEXT*;
using PCCRL_CONTEXT = const CRL_CONTEXT*;

// ---- Certificate identifiers ------------------------------------------------------------------------

struct CERT_ISSUER_SERIAL_NUMBER {
    CERT_NAME_BLOB Issuer;
    CRYPT_INTEGER_BLOB SerialNumber;  // little-endian, as in CERT_INFO
};

constexpr DWORD CERT_ID_ISSUER_SERIAL_NUMBER = 1;
constexpr DWORD CERT_ID_KEY_IDENTIFIER = 2;
constexpr DWORD CERT_ID_SHA1_HASH = 3;

struct CERT_ID {
    DWORD dwIdChoice;
    union {
        CERT_ISSUER_SERIAL_NUMBER IssuerSerialNumber;
        CRYPT_HASH_BLOB KeyId;
        CRYPT_HASH_BLOB HashId;
    };
};
using PCERT_ID = CERT_ID*;

// ---- Properties ---------------------------------------------------------------------------------------

constexpr DWORD CERT_KEY_PROV_HANDLE_PROP_ID = 1;
constexpr DWORD CERT_KEY_PROV_INFO_PROP_ID = 2;
constexpr DWORD CERT_SHA1_HASH_PROP_ID = 3;
constexpr DWORD CERT_MD5_HASH_PROP_ID = 4;
constexpr DWORD CERT_HASH_PROP_ID = CERT_SHA1_HASH_PROP_ID;
constexpr DWORD CERT_KEY_CONTEXT_PROP_ID = 5;
constexpr DWORD CERT_KEY_SPEC_PROP_ID = 6;
constexpr DWORD CERT_ENHKEY_USAGE_PROP_ID = 9;
constexpr DWORD CERT_FRIENDLY_NAME_PROP_ID = 11;
constexpr DWORD CERT_ACCESS_STATE_PROP_ID = 14;
constexpr DWORD CERT_SIGNATURE_HASH_PROP_ID = 15;
constexpr DWORD CERT_KEY_IDENTIFIER_PROP_ID = 20;
constexpr DWORD CERT_ISSUER_PUBLIC_KEY_MD5_HASH_PROP_ID = 24;
constexpr DWORD CERT_SUBJECT_PUBLIC_KEY_MD5_HASH_PROP_ID = 25;
constexpr DWORD CERT_ISSUER_SERIAL_NUMBER_MD5_HASH_PROP_ID = 28;
constexpr DWORD CERT_SUBJECT_NAME_MD5_HASH_PROP_ID = 29;
constexpr DWORD CERT_SHA256_HASH_PROP_ID = 107;
constexpr DWORD CERT_FIRST_USER_PROP_ID = 0x8000;
constexpr DWORD CERT_LAST_USER_PROP_ID = 0xFFFF;

// CERT_ACCESS_STATE_PROP_ID bits.
constexpr DWORD CERT_ACCESS_STATE_WRITE_PERSIST_FLAG = 0x1;
constexpr DWORD CERT_ACCESS_STATE_SYSTEM_STORE_FLAG = 0x2;
constexpr DWORD CERT_ACCESS_STATE_LM_SYSTEM_STORE_FLAG = 0x4;

// CertSetCertificateContextProperty flags.
constexpr DWORD CERT_SET_PROPERTY_IGNORE_PERSIST_ERROR_FLAG = 0x80000000;
constexpr DWORD CERT_SET_PROPERTY_INHIBIT_PERSIST_FLAG = 0x40000000;
constexpr DWORD CERT_STORE_NO_CRYPT_RELEASE_FLAG = 0x00000001;

struct CRYPT_KEY_PROV_PARAM {
    DWORD dwParam;
    BYTE* pbData;
    DWORD cbData;
    DWORD dwFlags;
};
using PCRYPT_KEY_PROV_PARAM = CRYPT_KEY_PROV_PARAM*;

// CertGetCertificateContextProperty returns it as one block: the pointers point into the same buffer.
struct CRYPT_KEY_PROV_INFO {
    LPWSTR pwszContainerName;
    LPWSTR pwszProvName;
    DWORD dwProvType;
    DWORD dwFlags;
    DWORD cProvParam;
    PCRYPT_KEY_PROV_PARAM rgProvParam;
    DWORD dwKeySpec;
};
using PCRYPT_KEY_PROV_INFO = CRYPT_KEY_PROV_INFO*;

constexpr DWORD CERT_SET_KEY_PROV_HANDLE_PROP_ID = 0x00000001;
constexpr DWORD CERT_SET_KEY_CONTEXT_PROP_ID = 0x00000001;

// Kept in memory only (never written to a store).
struct CERT_KEY_CONTEXT {
    DWORD cbSize;
    HCRYPTPROV hCryptProv;
    DWORD dwKeySpec;
};
static_assert(sizeof(CERT_KEY_CONTEXT) == 24);

// ---- Stores -------------------------------------------------------------------------------------------

// Store providers: the numbered ones travel as the value of the LPCSTR argument. The named forms
// "Memory", "Serialized" and "System" are accepted too.
inline const LPCSTR CERT_STORE_PROV_MSG = reinterpret_cast<LPCSTR>(1);
inline const LPCSTR CERT_STORE_PROV_MEMORY = reinterpret_cast<LPCSTR>(2);
inline const LPCSTR CERT_STORE_PROV_SERIALIZED = reinterpret_cast<LPCSTR>(6);
inline const LPCSTR CERT_STORE_PROV_SYSTEM_W = reinterpret_cast<LPCSTR>(10);
inline const LPCSTR CERT_STORE_PROV_SYSTEM = CERT_STORE_PROV_SYSTEM_W;
inline constexpr const char* sz_CERT_STORE_PROV_MEMORY = "Memory";
inline constexpr const char* sz_CERT_STORE_PROV_SERIALIZED = "Serialized";
inline constexpr const char* sz_CERT_STORE_PROV_SYSTEM_W = "System";
inline constexpr const char* sz_CERT_STORE_PROV_SYSTEM = "System";

// CertOpenStore flags.
constexpr DWORD CERT_STORE_SET_LOCALIZED_NAME_FLAG = 0x00000002;
constexpr DWORD CERT_STORE_DEFER_CLOSE_UNTIL_LAST_FREE_FLAG = 0x00000004;
constexpr DWORD CERT_STORE_DELETE_FLAG = 0x00000010;
constexpr DWORD CERT_STORE_SHARE_CONTEXT_FLAG = 0x00000080;
constexpr DWORD CERT_STORE_MAXIMUM_ALLOWED_FLAG = 0x00001000;
constexpr DWORD CERT_STORE_CREATE_NEW_FLAG = 0x00002000;
constexpr DWORD CERT_STORE_OPEN_EXISTING_FLAG = 0x00004000;
constexpr DWORD CERT_STORE_READONLY_FLAG = 0x00008000;
constexpr DWORD CERT_SYSTEM_STORE_LOCATION_MASK = 0x00FF0000;
constexpr DWORD CERT_SYSTEM_STORE_LOCATION_SHIFT = 16;
constexpr DWORD CERT_SYSTEM_STORE_CURRENT_USER = 0x00010000;
constexpr DWORD CERT_SYSTEM_STORE_LOCAL_MACHINE = 0x00020000;

// CertCloseStore flags.
constexpr DWORD CERT_CLOSE_STORE_FORCE_FLAG = 0x1;
constexpr DWORD CERT_CLOSE_STORE_CHECK_FLAG = 0x2;

// Add dispositions.
constexpr DWORD CERT_STORE_ADD_NEW = 1;
constexpr DWORD CERT_STORE_ADD_USE_EXISTING = 2;
constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING = 3;
constexpr DWORD CERT_STORE_ADD_ALWAYS = 4;
constexpr DWORD CERT_STORE_ADD_REPLACE_EXISTING_INHERIT_PROPERTIES = 5;
constexpr DWORD CERT_STORE_ADD_NEWER = 6;
constexpr DWORD CERT_STORE_ADD_NEWER_INHERIT_PROPERTIES = 7;

// Context types (CryptUIDlgViewContext and the like).
constexpr DWORD CERT_STORE_CERTIFICATE_CONTEXT = 1;
constexpr DWORD CERT_STORE_CRL_CONTEXT = 2;
constexpr DWORD CERT_STORE_CTL_CONTEXT = 3;

// CertSaveStore.
constexpr DWORD CERT_STORE_SAVE_AS_STORE = 1;
constexpr DWORD CERT_STORE_SAVE_AS_PKCS7 = 2;
constexpr DWORD CERT_STORE_SAVE_TO_FILE = 1;
constexpr DWORD CERT_STORE_SAVE_TO_MEMORY = 2;

// Find types: (compare function << 16) | which name.
constexpr DWORD CERT_COMPARE_SHIFT = 16;
constexpr DWORD CERT_INFO_ISSUER_FLAG = 4;
constexpr DWORD CERT_INFO_SUBJECT_FLAG = 7;
constexpr DWORD CERT_FIND_ANY = 0;
constexpr DWORD CERT_FIND_SHA1_HASH = 0x00010000;
constexpr DWORD CERT_FIND_HASH = CERT_FIND_SHA1_HASH;
constexpr DWORD CERT_FIND_MD5_HASH = 0x00040000;
constexpr DWORD CERT_FIND_SUBJECT_NAME = 0x00020007;
constexpr DWORD CERT_FIND_ISSUER_NAME = 0x00020004;
constexpr DWORD CERT_FIND_PUBLIC_KEY = 0x00060000;
constexpr DWORD CERT_FIND_EXISTING = 0x000D0000;
constexpr DWORD CERT_FIND_KEY_IDENTIFIER = 0x000F0000;
constexpr DWORD CERT_FIND_CERT_ID = 0x00100000;

constexpr DWORD CRL_FIND_ANY = 0;
constexpr DWORD CRL_FIND_ISSUED_BY = 1;
constexpr DWORD CRL_FIND_EXISTING = 2;

// Asked before a certificate is added to or deleted from the current user's ROOT store (also through
// the user's view of it). `adding` tells which. FALSE refuses: the call fails with ERROR_CANCELLED.
// The hook runs on the calling thread without any store lock held; a GUI answers on its own thread.
using PFN_CERT_ROOT_CONFIRM = BOOL (*)(PCCERT_CONTEXT cert, BOOL adding, void* arg);
// Null: no confirmation (every change allowed). Replaces the hook set before.
void SetRootStoreConfirmHook(PFN_CERT_ROOT_CONFIRM hook, void* arg);

// ---- Certificate and CRL contexts ------------------------------------------------------------------

// The context is not in any store (hCertStore is a store of its own that holds only it).
// Failure: null with a CRYPT_E_ASN1_* code.
PCCERT_CONTEXT CertCreateCertificateContext(DWORD encoding, const BYTE* encoded, DWORD encodedLen);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT cert);
// Null is accepted; TRUE.
BOOL CertFreeCertificateContext(PCCERT_CONTEXT cert);
// Issuer and serial number equal.
BOOL CertCompareCertificate(DWORD encoding, PCERT_INFO a, PCERT_INFO b);
// Byte-equal names.
BOOL CertCompareCertificateName(DWORD encoding, PCERT_NAME_BLOB a, PCERT_NAME_BLOB b);
BOOL CertCompareIntegerBlob(const CRYPT_INTEGER_BLOB* a, const CRYPT_INTEGER_BLOB* b);

// Two-call form. Absent or unknown ids: CRYPT_E_NOT_FOUND. SHA-1 (3), MD5 (4), SHA-256 (107),
// the key identifier (20) and the access state (14) are always answered. CERT_KEY_PROV_INFO_PROP_ID
// gives a CRYPT_KEY_PROV_INFO whose pointers point into `data`.
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT cert, DWORD propId, void* data, DWORD* dataLen);
// data: CRYPT_KEY_PROV_INFO* for id 2, CERT_KEY_CONTEXT* for id 5, CRYPT_DATA_BLOB* for the others;
// null deletes. Hash ids and the access state cannot be set (E_INVALIDARG). A change to an element of
// a system store is written to disk before the call returns.
BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT cert, DWORD propId, DWORD flags, const void* data);
// 0 when there are no more (or first given 0: the first id).
DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT cert, DWORD propId);

// ---- The private key of a certificate ---------------------------------------------------------------

// CryptAcquireCertificatePrivateKey flags (besides CRYPT_ACQUIRE_CACHE_FLAG and
// CRYPT_ACQUIRE_SILENT_FLAG of crypt.h).
constexpr DWORD CRYPT_ACQUIRE_USE_PROV_INFO_FLAG = 0x00000002;
constexpr DWORD CRYPT_ACQUIRE_COMPARE_KEY_FLAG = 0x00000004;

// Opens the key container that the certificate's CERT_KEY_PROV_INFO_PROP_ID names (its container
// name, provider name and type; a machine container with CRYPT_MACHINE_KEYSET in its flags; silent
// with CRYPT_ACQUIRE_SILENT_FLAG or CRYPT_SILENT in its flags). *keySpec receives the key spec and
// *mustFree TRUE: the caller releases the context. With CRYPT_ACQUIRE_CACHE_FLAG the context is kept
// on the certificate (CERT_KEY_CONTEXT_PROP_ID; a context kept before is given again) and *mustFree
// is FALSE. With CRYPT_ACQUIRE_COMPARE_KEY_FLAG the container's key must be the certificate's
// (NTE_BAD_PUBLIC_KEY). No property: CRYPT_E_NO_KEY_PROPERTY; the container's own errors as
// CryptAcquireContextW and CryptGetUserKey give them.
BOOL CryptAcquireCertificatePrivateKey(PCCERT_CONTEXT cert, DWORD flags, void* reserved, HCRYPTPROV* prov,
                                       DWORD* keySpec, BOOL* mustFree);

constexpr DWORD CRYPT_FIND_USER_KEYSET_FLAG = 0x00000001;
constexpr DWORD CRYPT_FIND_MACHINE_KEYSET_FLAG = 0x00000002;
constexpr DWORD CRYPT_FIND_SILENT_KEYSET_FLAG = 0x00000040;

// Searches every container of every provider, of the user (CRYPT_FIND_USER_KEYSET_FLAG) and then of
// the computer (CRYPT_FIND_MACHINE_KEYSET_FLAG; neither flag: both), for a key whose public key is
// the certificate's, and sets CERT_KEY_PROV_INFO_PROP_ID to it (container: the unique name).
// CRYPT_FIND_SILENT_KEYSET_FLAG: no container may ask for a password. Nothing found: NTE_NO_KEY.
BOOL CryptFindCertificateKeyProvInfo(PCCERT_CONTEXT cert, DWORD flags, void* reserved);

// DER only; failure: null with a CRYPT_E_ASN1_* code.
PCCRL_CONTEXT CertCreateCRLContext(DWORD encoding, const BYTE* encoded, DWORD encodedLen);
PCCRL_CONTEXT CertDuplicateCRLContext(PCCRL_CONTEXT crl);
BOOL CertFreeCRLContext(PCCRL_CONTEXT crl);
// TRUE when the search ran; *entry is the entry listing the certificate or null. A certificate is
// listed only when the CRL's issuer is the certificate's issuer and the serial numbers are equal.
BOOL CertFindCertificateInCRL(PCCERT_CONTEXT cert, PCCRL_CONTEXT crl, DWORD flags, void* reserved,
                              PCRL_ENTRY* entry);

// ---- Stores -------------------------------------------------------------------------------------------

HCERTSTORE CertOpenStore(LPCSTR provider, DWORD encoding, HCRYPTPROV prov, DWORD flags, const void* para);
HCERTSTORE CertDuplicateStore(HCERTSTORE store);
// TRUE; the store stays alive while contexts of it are held.
BOOL CertCloseStore(HCERTSTORE store, DWORD flags);

// Frees `previous` and returns the next context; at the end null with CRYPT_E_NOT_FOUND. Order:
// insertion order for memory and serialized stores, thumbprint order for system stores (the user's
// elements first, then the computer's, in views that include them).
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous);
// Continues after `previous` (which it frees). para by type: CERT_FIND_ANY none; SHA1/MD5_HASH and
// KEY_IDENTIFIER const CRYPT_HASH_BLOB*; SUBJECT/ISSUER_NAME const CERT_NAME_BLOB* (byte-equal);
// PUBLIC_KEY const CERT_PUBLIC_KEY_INFO*; EXISTING PCCERT_CONTEXT (same DER); CERT_ID const CERT_ID*.
// Nothing found: null with CRYPT_E_NOT_FOUND. Another type: null with E_INVALIDARG.
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, DWORD encoding, DWORD findFlags, DWORD findType,
                                          const void* para, PCCERT_CONTEXT previous);
// By the issuer and serial number of `id`.
PCCERT_CONTEXT CertGetSubjectCertificateFromStore(HCERTSTORE store, DWORD encoding, PCERT_INFO id);
// The element's properties come from the source context (its hashes are computed). `added` receives
// the store's own context (free it). In a system store ADD_ALWAYS replaces the element of the same
// thumbprint (one file per thumbprint).
BOOL CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT cert, DWORD disposition,
                                      PCCERT_CONTEXT* added);
BOOL CertAddEncodedCertificateToStore(HCERTSTORE store, DWORD encoding, const BYTE* encoded, DWORD encodedLen,
                                      DWORD disposition, PCCERT_CONTEXT* added);
// Frees `cert` in every case.
BOOL CertDeleteCertificateFromStore(PCCERT_CONTEXT cert);

PCCRL_CONTEXT CertEnumCRLsInStore(HCERTSTORE store, PCCRL_CONTEXT previous);
// CRL_FIND_ANY (para null), CRL_FIND_EXISTING (para PCCRL_CONTEXT: same DER), CRL_FIND_ISSUED_BY
// (para PCCERT_CONTEXT: the CRL's issuer is that certificate's subject).
PCCRL_CONTEXT CertFindCRLInStore(HCERTSTORE store, DWORD encoding, DWORD findFlags, DWORD findType,
                                 const void* para, PCCRL_CONTEXT previous);
// Matching CRLs have the same issuer and are both base or both delta CRLs. ADD_NEWER replaces only
// with a later ThisUpdate (else CRYPT_E_EXISTS).
BOOL CertAddCRLContextToStore(HCERTSTORE store, PCCRL_CONTEXT crl, DWORD disposition, PCCRL_CONTEXT* added);
BOOL CertAddEncodedCRLToStore(HCERTSTORE store, DWORD encoding, const BYTE* encoded, DWORD encodedLen,
                              DWORD disposition, PCCRL_CONTEXT* added);
BOOL CertDeleteCRLFromStore(PCCRL_CONTEXT crl);

// CERT_STORE_SAVE_AS_STORE to CERT_STORE_SAVE_TO_MEMORY (para: CRYPT_DATA_BLOB*): with pbData null
// cbData receives the size; a buffer too small gives ERROR_MORE_DATA and the size.
BOOL CertSaveStore(HCERTSTORE store, DWORD encoding, DWORD saveAs, DWORD saveTo, void* para, DWORD flags);

// ---- Names (functions in certname.h) ------------------------------------------------------------------

constexpr DWORD CERT_RDN_ANY_TYPE = 0;
constexpr DWORD CERT_RDN_ENCODED_BLOB = 1;
constexpr DWORD CERT_RDN_OCTET_STRING = 2;
constexpr DWORD CERT_RDN_PRINTABLE_STRING = 4;
constexpr DWORD CERT_RDN_TELETEX_STRING = 5;
constexpr DWORD CERT_RDN_T61_STRING = 5;
constexpr DWORD CERT_RDN_VIDEOTEX_STRING = 6;
constexpr DWORD CERT_RDN_IA5_STRING = 7;
constexpr DWORD CERT_RDN_GRAPHIC_STRING = 8;
constexpr DWORD CERT_RDN_VISIBLE_STRING = 9;
constexpr DWORD CERT_RDN_ISO646_STRING = 9;
constexpr DWORD CERT_RDN_GENERAL_STRING = 10;
constexpr DWORD CERT_RDN_UNIVERSAL_STRING = 11;
constexpr DWORD CERT_RDN_INT4_STRING = 11;
constexpr DWORD CERT_RDN_BMP_STRING = 12;
constexpr DWORD CERT_RDN_UNICODE_STRING = 12;
constexpr DWORD CERT_RDN_UTF8_STRING = 13;
constexpr DWORD CERT_RDN_TYPE_MASK = 0x000000FF;

struct CERT_RDN_ATTR {
    LPSTR pszObjId;
    DWORD dwValueType;
    CERT_RDN_VALUE_BLOB Value;
};
using PCERT_RDN_ATTR = CERT_RDN_ATTR*;
struct CERT_RDN {
    DWORD cRDNAttr;
    PCERT_RDN_ATTR rgRDNAttr;
};
using PCERT_RDN = CERT_RDN*;
struct CERT_NAME_INFO {
    DWORD cRDN;
    PCERT_RDN rgRDN;
};
using PCERT_NAME_INFO = CERT_NAME_INFO*;

// CertNameToStrW / CertStrToNameW string types and flags.
constexpr DWORD CERT_SIMPLE_NAME_STR = 1;
constexpr DWORD CERT_OID_NAME_STR = 2;
constexpr DWORD CERT_X500_NAME_STR = 3;
constexpr DWORD CERT_XML_NAME_STR = 4;
constexpr DWORD CERT_NAME_STR_SEMICOLON_FLAG = 0x40000000;
constexpr DWORD CERT_NAME_STR_NO_PLUS_FLAG = 0x20000000;
constexpr DWORD CERT_NAME_STR_NO_QUOTING_FLAG = 0x10000000;
constexpr DWORD CERT_NAME_STR_CRLF_FLAG = 0x08000000;
constexpr DWORD CERT_NAME_STR_COMMA_FLAG = 0x04000000;
constexpr DWORD CERT_NAME_STR_REVERSE_FLAG = 0x02000000;
constexpr DWORD CERT_NAME_STR_FORWARD_FLAG = 0x01000000;
constexpr DWORD CERT_NAME_STR_DISABLE_IE4_UTF8_FLAG = 0x00010000;
constexpr DWORD CERT_NAME_STR_ENABLE_T61_UNICODE_FLAG = 0x00020000;
constexpr DWORD CERT_NAME_STR_ENABLE_UTF8_UNICODE_FLAG = 0x00040000;
constexpr DWORD CERT_NAME_STR_FORCE_UTF8_DIR_STR_FLAG = 0x00080000;

// CertGetNameStringW types and flags.
constexpr DWORD CERT_NAME_EMAIL_TYPE = 1;
constexpr DWORD CERT_NAME_RDN_TYPE = 2;
constexpr DWORD CERT_NAME_ATTR_TYPE = 3;
constexpr DWORD CERT_NAME_SIMPLE_DISPLAY_TYPE = 4;
constexpr DWORD CERT_NAME_FRIENDLY_DISPLAY_TYPE = 5;
constexpr DWORD CERT_NAME_DNS_TYPE = 6;
constexpr DWORD CERT_NAME_URL_TYPE = 7;
constexpr DWORD CERT_NAME_UPN_TYPE = 8;
constexpr DWORD CERT_NAME_ISSUER_FLAG = 0x1;
constexpr DWORD CERT_NAME_DISABLE_IE4_UTF8_FLAG = 0x00010000;

// ---- Encoded structures (CryptDecodeObject[Ex] / CryptEncodeObject[Ex], in certname.h) ----------------

inline const LPCSTR X509_CERT = reinterpret_cast<LPCSTR>(1);
inline const LPCSTR X509_CERT_TO_BE_SIGNED = reinterpret_cast<LPCSTR>(2);
inline const LPCSTR X509_CERT_CRL_TO_BE_SIGNED = reinterpret_cast<LPCSTR>(3);
// Types 5 and 7 carry a VSK_ prefix: their plain names are OpenSSL's type names, and this header
// means the same whatever was included before it.
inline const LPCSTR VSK_X509_EXTENSIONS = reinterpret_cast<LPCSTR>(5);
inline const LPCSTR X509_NAME_VALUE = reinterpret_cast<LPCSTR>(6);
inline const LPCSTR VSK_X509_NAME = reinterpret_cast<LPCSTR>(7);
inline const LPCSTR X509_PUBLIC_KEY_INFO = reinterpret_cast<LPCSTR>(8);
inline const LPCSTR X509_AUTHORITY_KEY_ID = reinterpret_cast<LPCSTR>(9);
inline const LPCSTR X509_ALTERNATE_NAME = reinterpret_cast<LPCSTR>(12);
inline const LPCSTR X509_BASIC_CONSTRAINTS = reinterpret_cast<LPCSTR>(13);
inline const LPCSTR X509_KEY_USAGE = reinterpret_cast<LPCSTR>(14);
inline const LPCSTR X509_BASIC_CONSTRAINTS2 = reinterpret_cast<LPCSTR>(15);
inline const LPCSTR X509_CERT_POLICIES = reinterpret_cast<LPCSTR>(16);
inline const LPCSTR PKCS_UTC_TIME = reinterpret_cast<LPCSTR>(17);
inline const LPCSTR X509_UNICODE_NAME = reinterpret_cast<LPCSTR>(20);
inline const LPCSTR PKCS_ATTRIBUTE = reinterpret_cast<LPCSTR>(22);
inline const LPCSTR X509_UNICODE_NAME_VALUE = reinterpret_cast<LPCSTR>(24);
inline const LPCSTR X509_OCTET_STRING = reinterpret_cast<LPCSTR>(25);
inline const LPCSTR X509_BITS = reinterpret_cast<LPCSTR>(26);
inline const LPCSTR X509_INTEGER = reinterpret_cast<LPCSTR>(27);
inline const LPCSTR X509_MULTI_BYTE_INTEGER = reinterpret_cast<LPCSTR>(28);
inline const LPCSTR X509_ENUMERATED = reinterpret_cast<LPCSTR>(29);
inline const LPCSTR X509_CHOICE_OF_TIME = reinterpret_cast<LPCSTR>(30);
inline const LPCSTR X509_AUTHORITY_KEY_ID2 = reinterpret_cast<LPCSTR>(31);
inline const LPCSTR X509_AUTHORITY_INFO_ACCESS = reinterpret_cast<LPCSTR>(32);
inline const LPCSTR X509_CRL_REASON_CODE = X509_ENUMERATED;
inline const LPCSTR PKCS_CONTENT_INFO = reinterpret_cast<LPCSTR>(33);
inline const LPCSTR X509_SEQUENCE_OF_ANY = reinterpret_cast<LPCSTR>(34);
inline const LPCSTR X509_CRL_DIST_POINTS = reinterpret_cast<LPCSTR>(35);
inline const LPCSTR X509_ENHANCED_KEY_USAGE = reinterpret_cast<LPCSTR>(36);

inline constexpr const char* szOID_CRL_DIST_POINTS = "2.5.29.31";
inline constexpr const char* szOID_ENHANCED_KEY_USAGE = "2.5.29.37";
inline constexpr const char* szOID_SUBJECT_KEY_IDENTIFIER = "2.5.29.14";
inline constexpr const char* szOID_AUTHORITY_KEY_IDENTIFIER2 = "2.5.29.35";
inline constexpr const char* szOID_KEY_USAGE = "2.5.29.15";
inline constexpr const char* szOID_SUBJECT_ALT_NAME2 = "2.5.29.17";
inline constexpr const char* szOID_ISSUER_ALT_NAME2 = "2.5.29.18";
inline constexpr const char* szOID_BASIC_CONSTRAINTS2 = "2.5.29.19";
inline constexpr const char* szOID_DELTA_CRL_INDICATOR = "2.5.29.27";
inline constexpr const char* szOID_CRL_NUMBER = "2.5.29.20";
inline constexpr const char* szOID_RSA_signingTime = "1.2.840.113549.1.9.5";
inline constexpr const char* szOID_RSA_emailAddr = "1.2.840.113549.1.9.1";
inline constexpr const char* szOID_COMMON_NAME = "2.5.4.3";
inline constexpr const char* szOID_ORGANIZATION_NAME = "2.5.4.10";
inline constexpr const char* szOID_ORGANIZATIONAL_UNIT_NAME = "2.5.4.11";

constexpr DWORD CRYPT_ENCODE_NO_SIGNATURE_BYTE_REVERSAL_FLAG = 0x8;
constexpr DWORD CRYPT_ENCODE_ALLOC_FLAG = 0x8000;
constexpr DWORD CRYPT_DECODE_NOCOPY_FLAG = 0x1;
constexpr DWORD CRYPT_DECODE_ALLOC_FLAG = 0x8000;

using PFN_CRYPT_ALLOC = LPVOID (*)(size_t size);
using PFN_CRYPT_FREE = void (*)(LPVOID p);
struct CRYPT_ENCODE_PARA {
    DWORD cbSize;
    PFN_CRYPT_ALLOC pfnAlloc;
    PFN_CRYPT_FREE pfnFree;
};
using PCRYPT_ENCODE_PARA = CRYPT_ENCODE_PARA*;
struct CRYPT_DECODE_PARA {
    DWORD cbSize;
    PFN_CRYPT_ALLOC pfnAlloc;
    PFN_CRYPT_FREE pfnFree;
};
using PCRYPT_DECODE_PARA = CRYPT_DECODE_PARA*;

struct CERT_OTHER_NAME {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Value;
};
using PCERT_OTHER_NAME = CERT_OTHER_NAME*;

constexpr DWORD CERT_ALT_NAME_OTHER_NAME = 1;
constexpr DWORD CERT_ALT_NAME_RFC822_NAME = 2;
constexpr DWORD CERT_ALT_NAME_DNS_NAME = 3;
constexpr DWORD CERT_ALT_NAME_X400_ADDRESS = 4;
constexpr DWORD CERT_ALT_NAME_DIRECTORY_NAME = 5;
constexpr DWORD CERT_ALT_NAME_EDI_PARTY_NAME = 6;
constexpr DWORD CERT_ALT_NAME_URL = 7;
constexpr DWORD CERT_ALT_NAME_IP_ADDRESS = 8;
constexpr DWORD CERT_ALT_NAME_REGISTERED_ID = 9;

struct CERT_ALT_NAME_ENTRY {
    DWORD dwAltNameChoice;
    union {
        PCERT_OTHER_NAME pOtherName;
        LPWSTR pwszRfc822Name;
        LPWSTR pwszDNSName;
        CERT_NAME_BLOB DirectoryName;
        LPWSTR pwszURL;
        CRYPT_DATA_BLOB IPAddress;
        LPSTR pszRegisteredID;
    };
};
using PCERT_ALT_NAME_ENTRY = CERT_ALT_NAME_ENTRY*;
struct CERT_ALT_NAME_INFO {
    DWORD cAltEntry;
    PCERT_ALT_NAME_ENTRY rgAltEntry;
};
using PCERT_ALT_NAME_INFO = CERT_ALT_NAME_INFO*;

constexpr DWORD CRL_DIST_POINT_NO_NAME = 0;
constexpr DWORD CRL_DIST_POINT_FULL_NAME = 1;
constexpr DWORD CRL_DIST_POINT_ISSUER_RDN_NAME = 2;

struct CRL_DIST_POINT_NAME {
    DWORD dwDistPointNameChoice;
    union {
        CERT_ALT_NAME_INFO FullName;
    };
};
struct CRL_DIST_POINT {
    CRL_DIST_POINT_NAME DistPointName;
    CRYPT_BIT_BLOB ReasonFlags;
    CERT_ALT_NAME_INFO CRLIssuer;
};
using PCRL_DIST_POINT = CRL_DIST_POINT*;
struct CRL_DIST_POINTS_INFO {
    DWORD cDistPoint;
    PCRL_DIST_POINT rgDistPoint;
};
using PCRL_DIST_POINTS_INFO = CRL_DIST_POINTS_INFO*;

struct CTL_USAGE {
    DWORD cUsageIdentifier;
    LPSTR* rgpszUsageIdentifier;
};
using CERT_ENHKEY_USAGE = CTL_USAGE;
using PCERT_ENHKEY_USAGE = CTL_USAGE*;

struct CRYPT_ATTRIBUTE {
    LPSTR pszObjId;
    DWORD cValue;
    CRYPT_ATTR_BLOB* rgValue;
};
using PCRYPT_ATTRIBUTE = CRYPT_ATTRIBUTE*;
struct CRYPT_ATTRIBUTES {
    DWORD cAttr;
    PCRYPT_ATTRIBUTE rgAttr;
};
using PCRYPT_ATTRIBUTES = CRYPT_ATTRIBUTES*;

// ---- Certificate chains and their verification ----------------------------------------------------
//
// Chains are built on OpenSSL with the GOST engine. Trust anchors are the certificates of the ROOT
// view only (the user's ROOT with the computer's, or the computer's ROOT for HCCE_LOCAL_MACHINE),
// never the system's trust bundle, so a verdict is the same on every machine. Issuers are looked for
// in the CA, MY and TRUST views, the certificate's own store and the extra store. A certificate of
// the DISALLOWED view anywhere in the chain is explicitly distrusted.
//
// Revocation is checked by this code itself, from CRLs only: the CRLs of the CA, ROOT and MY views,
// of the certificate's own store and of the extra store; then the URL cache
// ($XDG_CACHE_HOME/kestrovan/crlcache/<SHA-1 of the URL>.crl); then, unless a cache-only flag is
// given, the http and https addresses of the certificate's CRL distribution points, within the
// retrieval time-out (downloads go into the cache; an address that gave no usable CRL is not asked
// again for a minute). A CRL counts only when its issuer is the certificate's issuer, it is a base
// CRL, it was not issued more than five minutes after now, the issuer may sign CRLs (key usage) and
// its signature verifies with the issuer's key (the next element of the chain). A CRL is
// fresh while its nextUpdate (when it has one) is not past. Outcome per element: listed with a
// revocation date not after the verification time: CERT_TRUST_IS_REVOKED; a fresh CRL not listing
// it: no bit; only stale CRLs, or distribution points named but no CRL found or fetched:
// CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION; no distribution point and
// no CRL: CERT_TRUST_REVOCATION_STATUS_UNKNOWN.
//
// Extensions of Russian qualified certificates that OpenSSL does not know (subject sign tool
// 1.2.643.100.111, issuer sign tool 1.2.643.100.112, identification kind 1.2.643.100.114) are
// accepted even when critical.

using HCERTCHAINENGINE = void*;
inline const HCERTCHAINENGINE HCCE_CURRENT_USER = nullptr;
inline const HCERTCHAINENGINE HCCE_LOCAL_MACHINE = reinterpret_cast<HCERTCHAINENGINE>(1);

// Trust errors, per element and OR-ed into each chain and the chain context.
constexpr DWORD CERT_TRUST_NO_ERROR = 0x00000000;
constexpr DWORD CERT_TRUST_IS_NOT_TIME_VALID = 0x00000001;
constexpr DWORD CERT_TRUST_IS_NOT_TIME_NESTED = 0x00000002;
constexpr DWORD CERT_TRUST_IS_REVOKED = 0x00000004;
constexpr DWORD CERT_TRUST_IS_NOT_SIGNATURE_VALID = 0x00000008;
constexpr DWORD CERT_TRUST_IS_NOT_VALID_FOR_USAGE = 0x00000010;
constexpr DWORD CERT_TRUST_IS_UNTRUSTED_ROOT = 0x00000020;
constexpr DWORD CERT_TRUST_REVOCATION_STATUS_UNKNOWN = 0x00000040;
constexpr DWORD CERT_TRUST_IS_CYCLIC = 0x00000080;
constexpr DWORD CERT_TRUST_INVALID_EXTENSION = 0x00000100;
constexpr DWORD CERT_TRUST_INVALID_POLICY_CONSTRAINTS = 0x00000200;
constexpr DWORD CERT_TRUST_INVALID_BASIC_CONSTRAINTS = 0x00000400;
constexpr DWORD CERT_TRUST_INVALID_NAME_CONSTRAINTS = 0x00000800;
constexpr DWORD CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT = 0x00001000;
constexpr DWORD CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT = 0x00002000;
constexpr DWORD CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT = 0x00004000;
constexpr DWORD CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT = 0x00008000;
constexpr DWORD CERT_TRUST_IS_PARTIAL_CHAIN = 0x00010000;
constexpr DWORD CERT_TRUST_IS_OFFLINE_REVOCATION = 0x01000000;
constexpr DWORD CERT_TRUST_NO_ISSUANCE_CHAIN_POLICY = 0x02000000;
constexpr DWORD CERT_TRUST_IS_EXPLICIT_DISTRUST = 0x04000000;
constexpr DWORD CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT = 0x08000000;

// Trust information.
constexpr DWORD CERT_TRUST_HAS_EXACT_MATCH_ISSUER = 0x00000001;
constexpr DWORD CERT_TRUST_HAS_KEY_MATCH_ISSUER = 0x00000002;
constexpr DWORD CERT_TRUST_HAS_NAME_MATCH_ISSUER = 0x00000004;
constexpr DWORD CERT_TRUST_IS_SELF_SIGNED = 0x00000008;

struct CERT_TRUST_STATUS {
    DWORD dwErrorStatus;
    DWORD dwInfoStatus;
};

// The base CRL that decided an element's revocation status is not reported (pCrlInfo stays null).
struct CERT_REVOCATION_CRL_INFO {
    DWORD cbSize;
    PCCRL_CONTEXT pBaseCrlContext;
    PCCRL_CONTEXT pDeltaCrlContext;
    PCRL_ENTRY pCrlEntry;
    BOOL fDeltaCrlEntry;
};
using PCERT_REVOCATION_CRL_INFO = CERT_REVOCATION_CRL_INFO*;

// Present for the elements whose revocation was checked. dwRevocationResult: 0 (a fresh CRL does not
// list it), CRYPT_E_REVOKED, CRYPT_E_REVOCATION_OFFLINE or CRYPT_E_NO_REVOCATION_CHECK.
struct CERT_REVOCATION_INFO {
    DWORD cbSize;
    DWORD dwRevocationResult;
    LPCSTR pszRevocationOid;
    LPVOID pvOidSpecificInfo;
    BOOL fHasFreshnessTime;
    DWORD dwFreshnessTime;
    PCERT_REVOCATION_CRL_INFO pCrlInfo;
};
using PCERT_REVOCATION_INFO = CERT_REVOCATION_INFO*;

struct CERT_CHAIN_ELEMENT {
    DWORD cbSize;
    PCCERT_CONTEXT pCertContext;
    CERT_TRUST_STATUS TrustStatus;
    PCERT_REVOCATION_INFO pRevocationInfo;
    PCERT_ENHKEY_USAGE pIssuanceUsage;
    PCERT_ENHKEY_USAGE pApplicationUsage;
    LPCWSTR pwszExtendedErrorInfo;
};
using PCERT_CHAIN_ELEMENT = CERT_CHAIN_ELEMENT*;

struct CERT_TRUST_LIST_INFO;
using PCERT_TRUST_LIST_INFO = CERT_TRUST_LIST_INFO*;

// Element 0 is the end certificate; the last one the root (or the highest issuer found).
struct CERT_SIMPLE_CHAIN {
    DWORD cbSize;
    CERT_TRUST_STATUS TrustStatus;
    DWORD cElement;
    PCERT_CHAIN_ELEMENT* rgpElement;
    PCERT_TRUST_LIST_INFO pTrustListInfo;
    BOOL fHasRevocationFreshnessTime;
    DWORD dwRevocationFreshnessTime;
};
using PCERT_SIMPLE_CHAIN = CERT_SIMPLE_CHAIN*;

struct CERT_CHAIN_CONTEXT;
using PCCERT_CHAIN_CONTEXT = const CERT_CHAIN_CONTEXT*;

// One simple chain (cChain 1); no lower-quality chains.
struct CERT_CHAIN_CONTEXT {
    DWORD cbSize;
    CERT_TRUST_STATUS TrustStatus;
    DWORD cChain;
    PCERT_SIMPLE_CHAIN* rgpChain;
    DWORD cLowerQualityChainContext;
    PCCERT_CHAIN_CONTEXT* rgpLowerQualityChainContext;
    BOOL fHasRevocationFreshnessTime;
    DWORD dwRevocationFreshnessTime;
    DWORD dwCreateFlags;
    GUID ChainId;
};

constexpr DWORD USAGE_MATCH_TYPE_AND = 0;
constexpr DWORD USAGE_MATCH_TYPE_OR = 1;

struct CERT_USAGE_MATCH {
    DWORD dwType;
    CERT_ENHKEY_USAGE Usage;
};

// RequestedUsage: every element that has an enhanced key usage extension must allow all (AND) or
// one (OR) of the identifiers, else CERT_TRUST_IS_NOT_VALID_FOR_USAGE; no identifiers: no check.
// dwUrlRetrievalTimeout (ms) is read when cbSize covers it; 0 or absent: 15 seconds. The other
// fields are not read.
struct CERT_CHAIN_PARA {
    DWORD cbSize;
    CERT_USAGE_MATCH RequestedUsage;
    CERT_USAGE_MATCH RequestedIssuancePolicy;
    DWORD dwUrlRetrievalTimeout;
    BOOL fCheckRevocationFreshnessTime;
    DWORD dwRevocationFreshnessTime;
    FILETIME* pftCacheResync;
};
using PCERT_CHAIN_PARA = CERT_CHAIN_PARA*;
static_assert(sizeof(CERT_CHAIN_PARA) == 80);

// CertGetCertificateChain flags. The scope of revocation checking: the end certificate, the whole
// chain, or the chain without a self-signed root (none: no revocation checking; several: the widest).
constexpr DWORD CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL = 0x00000004;
constexpr DWORD CERT_CHAIN_REVOCATION_CHECK_END_CERT = 0x10000000;
constexpr DWORD CERT_CHAIN_REVOCATION_CHECK_CHAIN = 0x20000000;
constexpr DWORD CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT = 0x40000000;
constexpr DWORD CERT_CHAIN_REVOCATION_CHECK_CACHE_ONLY = 0x80000000;
// The time-out is shared by every download of the chain instead of applying to each one.
constexpr DWORD CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT = 0x08000000;

// Builds the chain of `cert` at `time` (null: now) with the engine HCCE_CURRENT_USER (null) or
// HCCE_LOCAL_MACHINE. FALSE only when no chain can be produced: a null certificate, result or
// parameters, another engine (E_INVALIDARG), or a certificate OpenSSL cannot read
// (CRYPT_E_ASN1_CORRUPT); the chain's faults are in its trust status. Free the chain with
// CertFreeCertificateChain.
BOOL CertGetCertificateChain(HCERTCHAINENGINE engine, PCCERT_CONTEXT cert, const FILETIME* time,
                             HCERTSTORE additionalStore, const CERT_CHAIN_PARA* para, DWORD flags,
                             void* reserved, PCCERT_CHAIN_CONTEXT* chain);
// Null is accepted.
void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chain);
// One more reference to the same chain.
PCCERT_CHAIN_CONTEXT CertDuplicateCertificateChain(PCCERT_CHAIN_CONTEXT chain);

// Policies: the numbered ones travel as the value of the LPCSTR argument.
inline const LPCSTR CERT_CHAIN_POLICY_BASE = reinterpret_cast<LPCSTR>(1);
// The GOST signature policy: the base policy, then the end certificate's private-key usage period
// and key usage. Available only when the GOST engine loaded (else CRYPT_E_NOT_FOUND).
inline constexpr const char* CPCERT_CHAIN_POLICY_SIGNATURE = "{C03D5610-26C8-4B6F-9549-245B5B3AB743}";

// Ignore flags of CERT_CHAIN_POLICY_PARA::dwFlags.
constexpr DWORD CERT_CHAIN_POLICY_IGNORE_NOT_TIME_VALID_FLAG = 0x00000001;
constexpr DWORD CERT_CHAIN_POLICY_IGNORE_CTL_NOT_TIME_VALID_FLAG = 0x00000002;
constexpr DWORD CERT_CHAIN_POLICY_IGNORE_NOT_TIME_NESTED_FLAG = 0x00000004;
constexpr DWORD CERT_CHAIN_POLICY_IGNORE_INVALID_BASIC_CONSTRAINTS_FLAG = 0x00000008;
constexpr DWORD CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG = 0x00000010;
constexpr DWORD CERT_CHAIN_POLICY_IGNORE_WRONG_USAGE_FLAG = 0x00000020;
constexpr DWORD CERT_CHAIN_POLICY_IGNORE_INVALID_NAME_FLAG = 0x00000040;
constexpr DWORD CERT_CHAIN_POLICY_IGNORE_INVALID_POLICY_FLAG = 0x00000080;
constexpr DWORD CERT_CHAIN_POLICY_IGNORE_END_REV_UNKNOWN_FLAG = 0x00000100;
constexpr DWORD CERT_CHAIN_POLICY_IGNORE_CTL_SIGNER_REV_UNKNOWN_FLAG = 0x00000200;
constexpr DWORD CERT_CHAIN_POLICY_IGNORE_CA_REV_UNKNOWN_FLAG = 0x00000400;
constexpr DWORD CERT_CHAIN_POLICY_IGNORE_ROOT_REV_UNKNOWN_FLAG = 0x00000800;

struct CERT_CHAIN_POLICY_PARA {
    DWORD cbSize;
    DWORD dwFlags;
    void* pvExtraPolicyPara;
};
using PCERT_CHAIN_POLICY_PARA = CERT_CHAIN_POLICY_PARA*;
static_assert(sizeof(CERT_CHAIN_POLICY_PARA) == 16);

// lChainIndex and lElementIndex: where dwError comes from (-1 for both when it is 0).
struct CERT_CHAIN_POLICY_STATUS {
    DWORD cbSize;
    DWORD dwError;
    LONG lChainIndex;
    LONG lElementIndex;
    void* pvExtraPolicyStatus;
};
using PCERT_CHAIN_POLICY_STATUS = CERT_CHAIN_POLICY_STATUS*;
static_assert(sizeof(CERT_CHAIN_POLICY_STATUS) == 24);

// The GOST signature policy's extra status (pvExtraPolicyStatus), filled when the base policy found
// nothing: CPSIGNATURE_KEY_USAGE_EXPIRED (the end certificate's private-key usage period has passed
// at the verification time), CPSIGNATURE_KEY_USAGE_NOT_YET_VALID (it has not begun),
// CPSIGNATURE_NO_DIGITAL_SIGNATURE (a key usage extension without digitalSignature), else 0. The
// period is not looked at with CERT_CHAIN_POLICY_IGNORE_NOT_TIME_VALID_FLAG.
struct CPSIGNATURE_EXTRA_CERT_CHAIN_POLICY_STATUS {
    DWORD cbSize;
    DWORD dwError;
    void* pvReserved;
};
static_assert(sizeof(CPSIGNATURE_EXTRA_CERT_CHAIN_POLICY_STATUS) == 16);
constexpr DWORD CPSIGNATURE_KEY_USAGE_EXPIRED = 1;
constexpr DWORD CPSIGNATURE_KEY_USAGE_NOT_YET_VALID = 2;
constexpr DWORD CPSIGNATURE_NO_DIGITAL_SIGNATURE = 32;

// Policy errors.
constexpr DWORD CERT_E_EXPIRED = 0x800B0101;
constexpr DWORD CERT_E_VALIDITYPERIODNESTING = 0x800B0102;
constexpr DWORD CERT_E_CRITICAL = 0x800B0105;
constexpr DWORD CERT_E_PURPOSE = 0x800B0106;
constexpr DWORD CERT_E_UNTRUSTEDROOT = 0x800B0109;
constexpr DWORD CERT_E_CHAINING = 0x800B010A;
constexpr DWORD CERT_E_REVOKED = 0x800B010C;
constexpr DWORD CERT_E_UNTRUSTEDTESTROOT = 0x800B010D;
constexpr DWORD CERT_E_REVOCATION_FAILURE = 0x800B010E;
constexpr DWORD CERT_E_WRONG_USAGE = 0x800B0110;
constexpr DWORD CERT_E_EXPLICIT_DISTRUST = 0x800B0111;
constexpr DWORD CERT_E_INVALID_POLICY = 0x800B0113;
constexpr DWORD CERT_E_INVALID_NAME = 0x800B0114;
constexpr DWORD TRUST_E_CERT_SIGNATURE = 0x80096004;
constexpr DWORD TRUST_E_BASIC_CONSTRAINTS = 0x80096019;

// Checks the chain against a policy. TRUE whenever the policy ran, whatever it found (in
// status->dwError). CERT_CHAIN_POLICY_BASE: the first fault in this order, for the first element
// that has it: explicit distrust (CERT_E_EXPLICIT_DISTRUST); a bad signature
// (TRUST_E_CERT_SIGNATURE); an untrusted root (CERT_E_UNTRUSTEDROOT) and a partial or cyclic chain
// (CERT_E_CHAINING), both unless CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG; time (CERT_E_EXPIRED)
// and nesting (CERT_E_VALIDITYPERIODNESTING) unless ignored; basic constraints
// (TRUST_E_BASIC_CONSTRAINTS); usage (CERT_E_WRONG_USAGE); revocation (CRYPT_E_REVOKED); an
// unknown revocation status unless ignored for the element's place (end, CA, root):
// CRYPT_E_REVOCATION_OFFLINE when the element is offline, else CRYPT_E_NO_REVOCATION_CHECK; an
// unsupported critical extension (CERT_E_CRITICAL); name constraints (CERT_E_INVALID_NAME); an
// invalid extension or policy constraints (CERT_E_INVALID_POLICY). An unknown policy, or the GOST
// policy without the engine: FALSE with CRYPT_E_NOT_FOUND; null arguments: E_INVALIDARG.
BOOL CertVerifyCertificateChainPolicy(LPCSTR policy, PCCERT_CHAIN_CONTEXT chain, PCERT_CHAIN_POLICY_PARA para,
                                      PCERT_CHAIN_POLICY_STATUS status);
