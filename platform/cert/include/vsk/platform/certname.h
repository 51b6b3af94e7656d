// X.501 names as text, the encoding and decoding of the structures the program reads and writes,
// public-key comparison and OID registration (crypt32). Types and constants are in cert.h.
//
// Names keep their structure in both directions: every value of a multi-valued RDN is shown
// (joined by " + ") and written back in the same RDN, in the order given.
//
// Encoding types 1 and 0x10001 are accepted; the argument is otherwise not looked at.
#pragma once

#include <vsk/platform/cert.h>

// ---- Names as text ------------------------------------------------------------------------------------

// The Name as text. strType: CERT_SIMPLE_NAME_STR (values only), CERT_OID_NAME_STR (dotted OID =
// value) or CERT_X500_NAME_STR (key = value), with the CERT_NAME_STR_* flags:
//  - RDNs are joined by ", " (";" with SEMICOLON, "\r\n" with CRLF), values inside an RDN by " + "
//    (" " with NO_PLUS); REVERSE lists the RDNs last first;
//  - keys: CN, L, O, OU, E, C, S, STREET, T, G, I, SN, DC, SERIALNUMBER, ... ; else the name that the
//    OID information knows in the RDN group (registered names such as "ИНН"); else "OID." + the OID;
//  - a value with a leading or trailing blank, or any of , + = " < > # ; or a line break, goes in
//    double quotes with its quotes doubled (not with NO_QUOTING);
//  - string values are decoded (UTF8, BMP, universal, printable, IA5, numeric, T61 as UTF-8 when it
//    is valid UTF-8, else ISO 8859-1); anything else is "#" and the upper-case hex of its DER.
// Returns the count of characters with the NUL. A null `psz` or a zero `csz` asks for that count; a
// smaller buffer receives as much as fits, NUL-terminated, and the count written. A Name that does
// not decode: 0 with a CRYPT_E_ASN1_* code (and an empty text in the buffer).
DWORD CertNameToStrW(DWORD encoding, const CERT_NAME_BLOB* name, DWORD strType, LPWSTR psz, DWORD csz);

// Text to a DER Name. strType CERT_X500_NAME_STR or CERT_OID_NAME_STR with the flags:
//  - RDN separators: "," with COMMA, ";" with SEMICOLON, line breaks with CRLF, both "," and ";"
//    without any of them; "+" joins values into one RDN unless NO_PLUS; REVERSE writes the RDNs
//    last first;
//  - keys: the X.500 keys and their long forms (Email, ST, Title, GivenName, ...), without regard to
//    case; dotted OIDs with or without "OID."; names registered in the RDN group;
//  - values: unquoted ones are trimmed; inside double quotes "" stands for one quote; "#" + hex is
//    the DER of the value itself;
//  - the string type: the first type of the OID information's value-type list (its ExtraInfo) that
//    the text fits, so registered numeric attributes become NumericString; without a list
//    PrintableString when every character fits, else UTF8String (the type RFC 5280 asks of new
//    names; never BMPString).
// Size protocol: a null `encoded` asks for the size; a buffer too small gives ERROR_MORE_DATA and the
// size. A text that cannot be read: FALSE with CRYPT_E_INVALID_X500_STRING and *error (when given)
// at the offending character (the key, the value, or the character that should not be there);
// *error is null after success.
BOOL CertStrToNameW(DWORD encoding, LPCWSTR x500, DWORD strType, void* reserved, BYTE* encoded,
                    DWORD* encodedLen, LPCWSTR* error);

// A name of the certificate's subject (issuer with CERT_NAME_ISSUER_FLAG):
//  - CERT_NAME_SIMPLE_DISPLAY_TYPE: the first CN, else OU, else O, else E of the name; else the
//    first e-mail address of the subject's (issuer's) alternative names; else the name's first value;
//  - CERT_NAME_FRIENDLY_DISPLAY_TYPE: the friendly-name property, else the simple display name;
//  - CERT_NAME_EMAIL_TYPE: the first e-mail address of the alternative names, else E;
//  - CERT_NAME_ATTR_TYPE: the first value of the attribute whose OID `typePara` (LPCSTR) names;
//  - CERT_NAME_RDN_TYPE: CertNameToStrW with *(DWORD*)typePara (CERT_SIMPLE_NAME_STR when null);
//  - CERT_NAME_DNS_TYPE: the first DNS name of the alternative names, else CN;
//  - CERT_NAME_URL_TYPE: the first URL of the alternative names.
// Returns the count with the NUL (1: no such name) with the protocol of CertNameToStrW.
DWORD CertGetNameStringW(PCCERT_CONTEXT cert, DWORD type, DWORD flags, void* typePara, LPWSTR name,
                         DWORD nameLen);

// ---- Encoding and decoding ----------------------------------------------------------------------

// Structure types (numbered, or the OID text named beside them) and what pvStructInfo is:
//  - X509_CRL_DIST_POINTS, "2.5.29.31": CRL_DIST_POINTS_INFO (decoding);
//  - X509_ENHANCED_KEY_USAGE, "2.5.29.37": CERT_ENHKEY_USAGE;
//  - X509_ALTERNATE_NAME, "2.5.29.17", "2.5.29.18": CERT_ALT_NAME_INFO (decoding); texts are UTF-16,
//    a directory name is the Name's DER, an other name's Value the DER of its value;
//  - X509_CHOICE_OF_TIME, "1.3.6.1.4.1.311.21.4": FILETIME, UTCTime or GeneralizedTime;
//  - PKCS_UTC_TIME, "1.2.840.113549.1.9.5": FILETIME; written as UTCTime for 1950-2049, else as
//    GeneralizedTime; either is read;
//  - VSK_X509_NAME, X509_UNICODE_NAME: CERT_NAME_INFO. With VSK_X509_NAME the values of 8-bit string types
//    are their bytes, UTF8 and BMP values UTF-16 code units and universal strings 32-bit code points;
//    with X509_UNICODE_NAME every string value is UTF-16 (CERT_RDN_ANY_TYPE picks the type as
//    CertStrToNameW does). Non-string values (CERT_RDN_ENCODED_BLOB) are their DER.
// Another type: FALSE with ERROR_FILE_NOT_FOUND. Bad DER: FALSE with CRYPT_E_ASN1_BADTAG (unexpected
// element), CRYPT_E_ASN1_EOD (data ends inside an element) or CRYPT_E_ASN1_CORRUPT.
//
// Decoded structures are one block, their pointers pointing inside it. CRYPT_DECODE_ALLOC_FLAG: the
// block comes from LocalAlloc (or the para's allocator) and *(void**)structInfo receives it; free it
// with LocalFree. Otherwise a null structInfo asks for the size and a buffer too small gives
// ERROR_MORE_DATA with the size.
BOOL CryptDecodeObjectEx(DWORD encoding, LPCSTR structType, const BYTE* encoded, DWORD encodedLen,
                         DWORD flags, const CRYPT_DECODE_PARA* para, void* structInfo, DWORD* structInfoLen);
BOOL CryptDecodeObject(DWORD encoding, LPCSTR structType, const BYTE* encoded, DWORD encodedLen, DWORD flags,
                       void* structInfo, DWORD* structInfoLen);
// CRYPT_ENCODE_ALLOC_FLAG: *(BYTE**)encoded receives a LocalAlloc block. Otherwise the size protocol
// above. A value that cannot be written (a time out of range, a text that does not fit its string
// type, a malformed OID): FALSE with CRYPT_E_BAD_ENCODE or the string type's CRYPT_E_INVALID_*_STRING.
BOOL CryptEncodeObjectEx(DWORD encoding, LPCSTR structType, const void* structInfo, DWORD flags,
                         const CRYPT_ENCODE_PARA* para, void* encoded, DWORD* encodedLen);
BOOL CryptEncodeObject(DWORD encoding, LPCSTR structType, const void* structInfo, BYTE* encoded,
                       DWORD* encodedLen);

// The same public key: equal key bits (the algorithm parameters are not compared, since a key
// exported from a container may carry them in another form than the certificate).
BOOL CertComparePublicKeyInfo(DWORD encoding, const CERT_PUBLIC_KEY_INFO* a, const CERT_PUBLIC_KEY_INFO* b);

// ---- OID registration ------------------------------------------------------------------------------------

// Registration flag: the entry is found before the built-in ones.
constexpr DWORD CRYPT_INSTALL_OID_INFO_BEFORE_FLAG = 1;

// Registers an entry machine-wide: it is kept in the machine registry hive (one key per OID and group
// under Software\Microsoft\Cryptography\OID\EncodingType 0\CryptDllFindOIDInfo) and takes effect in
// this process at once, other processes seeing it from their next start. The same OID and group
// replace the earlier registration; Name, Algid/dwValue and ExtraInfo are kept. Registered entries
// are found after the built-in ones unless CRYPT_INSTALL_OID_INFO_BEFORE_FLAG.
// Needs an administrator: FALSE with ERROR_ACCESS_DENIED otherwise. A null OID: E_INVALIDARG.
BOOL CryptRegisterOIDInfo(PCCRYPT_OID_INFO info, DWORD flags);
// Removes the registration of info's OID and group: FALSE with ERROR_FILE_NOT_FOUND when there is
// none, ERROR_ACCESS_DENIED without an administrator.
BOOL CryptUnregisterOIDInfo(PCCRYPT_OID_INFO info);

// The registrations reach the OID information table (CryptFindOIDInfo, CryptEnumOIDInfo) when this
// area is first used in the process. Code that looks OID information up before it uses any name or
// registration function calls this first. Cheap after the first call.
void LoadRegisteredOIDInfo();
