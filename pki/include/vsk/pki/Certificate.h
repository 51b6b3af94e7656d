// The library's certificate: a handle over one certificate context with its derived values (thumbprint,
// serial number, names, algorithms, public key, key-provider information) computed at the first request
// and kept. A certificate is loaded from DER or Base64 bytes, taken from a context found in a store, or
// described only by issuer name and serial number (the recipient of an enveloped message).
//
// Every operation holds the object's own lock. Equality and ordering work on copies of both sides' values
// made under each side's lock in turn, so two threads comparing A with B and B with A never block each
// other.
#pragma once

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/HoldCSP.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/array.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/string.h>

namespace Vsk::PKCS11 {
class CTokenKeyPair;
}

namespace Vsk::Utils {
class CProxySettings;
}

namespace Vsk::PKI {

class CAttributes;
class CCertVerifySettings;
class CCrl;
class CKeyContainer;
class CPassword;

class CCertificate {
public:
    // Private to the library.
    class CImpl;

    // true: a new, empty certificate object (a failed allocation leaves the handle empty); false: an
    // empty handle.
    explicit CCertificate(bool create = false);
    CCertificate(const CCertificate& other);
    CCertificate(CCertificate&& other) noexcept;
    CCertificate& operator=(const CCertificate& other);
    CCertificate& operator=(CCertificate&& other) noexcept;
    ~CCertificate();

    // Replaces the implementation by a new, empty one; true when the handle then holds one.
    bool create();
    bool isNull() const { return !m_pImpl; }

    // ---- Loading ----------------------------------------------------------------------------------------

    // DER, or Base64 text (8-bit, UTF-16 or UTF-32, with or without "-----" lines). Everything the object
    // knew before is forgotten first. 130501 for empty input, 130502 for bytes that are no certificate.
    void LoadFromBlob(const Vsk::Utils::CDataBlob& bytes);
    // Takes a duplicate of the context into a new implementation (other handles sharing the old one keep
    // the old certificate); nothing happens when this very context is already held. 130601 when the
    // context cannot be duplicated.
    void put_CertContext(PCCERT_CONTEXT context);
    // Describes a certificate known only by issuer Name (DER) and serial number (least significant byte
    // first), then looks it up in the user's and the computer's MY, AddressBook, CA and ROOT stores and
    // takes the first one found.
    void put_DecryptCertInfo(const Vsk::Utils::CDataBlob& issuerName,
                             const Vsk::Utils::CDataBlob& serialNumber,
                             const Vsk::Utils::CAString& publicKeyOid);

    // ---- Identity ---------------------------------------------------------------------------------------

    // Borrowed; null for an empty handle or an object without a context.
    PCCERT_CONTEXT get_CertContext() const;
    // The DER bytes, copied or attached (valid while the object holds the context); empty for an empty
    // handle or without a context.
    Vsk::Utils::CDataBlob get_Encoded(bool copy = true) const;
    // 1, 2 or 3; 0 without a context.
    DWORD get_Version() const;
    // Upper-case hexadecimal SHA-1 thumbprint (130102, 130105).
    Vsk::Utils::CAString get_Thumbprint() const;
    // Upper-case hexadecimal, most significant byte first (130106).
    Vsk::Utils::CWString get_SerialNumber() const;
    // Least significant byte first.
    Vsk::Utils::CDataBlob get_SerialNumberBlob() const;
    // UTC as stored, or local time (zero when the conversion fails); zero without a context.
    FILETIME get_NotBefore(bool local = false) const;
    FILETIME get_NotAfter(bool local = false) const;

    // ---- Names ------------------------------------------------------------------------------------------

    // The parsed Names, parsed once; the object keeps them (callers must not change them).
    Vsk::Utils::CRefPtr<CAttributes> get_Subject() const;
    Vsk::Utils::CRefPtr<CAttributes> get_Issuer() const;
    // The short name of the Name (getShortName), else its X.500 text of names, empty values skipped,
    // last RDN first; computed once. Without a context the stored text.
    Vsk::Utils::CWString get_SubjectName() const;
    Vsk::Utils::CWString get_IssuerName() const;
    // getShortName of the subject, kept once non-empty.
    Vsk::Utils::CWString get_SubjectShortName() const;
    // "отпечаток: <thumbprint>, владелец: <subject>" or, without a thumbprint, "серийный номер: <serial>,
    // издатель: <issuer>"; "null" for an empty handle.
    Vsk::Utils::CWString getText() const;

    // ---- Comparison -------------------------------------------------------------------------------------

    // The same certificate: equal DER when both hold a context, else equal serial numbers and issuers,
    // and no differing algorithm OIDs. Empty handles are unequal to everything.
    bool equal(const CCertificate& other) const;
    // Strict order for sorted containers; an empty handle sorts first.
    bool operator<(const CCertificate& other) const;

    // ---- Public key and algorithms ----------------------------------------------------------------------

    // The OID as text; with asName, the first name registered for it when there is one.
    Vsk::Utils::CWString get_PublicKeyAlgorithmOID(bool asName = false) const;
    Vsk::Utils::CWString get_SignatureAlgorithmOID(bool asName = false) const;
    // The key bytes as GOST providers and tokens compare them: the OCTET STRING contents of a GOST key,
    // the modulus (least significant byte first, no sign byte) of an RSA key with exponent 65537, else the
    // raw bit string. Empty without a context.
    Vsk::Utils::CDataBlob get_PublicKey() const;
    // The key as a PUBLICKEYBLOB: exported by the first suitable provider, else built from the ALG_ID and
    // the key bytes.
    Vsk::Utils::CDataBlob get_PublicKeyWrap() const;
    // The catalogue's algorithm for the key's OID and length, else a description made from the OID, its
    // ALG_ID, its registered names and the length (which no provider offers). Kept once found.
    Vsk::Utils::CRefPtr<CAlgorithm> getPublicKeyAlgorithm() const;
    // The OIDs of the hash algorithms usable with the key (GetPossibleHashAlgs).
    void getPossibleHashAlgorithms(Vsk::Utils::CArray<Vsk::Utils::CAString>& oids) const;

    // ---- Key-provider information -----------------------------------------------------------------------

    // From the key-provider property (or the first suitable provider when the context only carries a
    // key context), looked up once.
    DWORD get_ProviderType() const;
    Vsk::Utils::CWString get_ProviderName() const;
    Vsk::Utils::CWString get_ContainerName() const;
    // Writes the key-provider property (CRYPT_MACHINE_KEYSET for machine, CRYPT_SILENT for silent;
    // property flags 1 with cache) and remembers the values. False without a context or when the
    // property cannot be set.
    bool setKeyProvInfo(DWORD providerType, const Vsk::Utils::CWString& providerName,
                        const Vsk::Utils::CWString& containerName, DWORD keySpec, bool machine, bool silent,
                        bool cache);

    // ---- Key binding ------------------------------------------------------------------------------------

    // Links the certificate with its private key: the provider's own search of the user's and the
    // computer's containers (machineContext first), then the tokens presented as providers, then every
    // container of every provider that fits the certificate (a stored certificate equal to this one, or
    // the same public-key blob). The key is then acquired, the password applied, with addCertToCont the
    // certificate written into the container, and the link written as the key-provider property.
    // False when the user cancelled; every other failure raises CCryptError with the certificate's
    // text appended ("Закрытый ключ сертификата не найден", code 1168, when no container holds the key).
    bool BindWithKeyContainer(const CPassword& keysetPassword, bool machineContext, bool addCertToCont,
                              bool silent, bool cache = false);
    // The provider context of the private key (CryptAcquireCertificatePrivateKey with `flags`, plus the
    // cache flag when the link asked for it). Without a link, autoBindWithKeyCont binds first (silent
    // as flag CRYPT_ACQUIRE_SILENT_FLAG says) and tries once more; otherwise 101605.
    CHoldCSP AcquirePrivateKey(DWORD* keySpec, DWORD flags, bool autoBindWithKeyCont) const;
    // The key pair on a token whose public key is the certificate's, logged in with the PIN when
    // needed; an empty pair when no token holds it.
    Vsk::PKCS11::CTokenKeyPair AcquireTokenPrivateKey(const CPassword& pin) const;
    // Whether a private key is linked; with verify, whether it can also be reached (acquired silently,
    // or found on a token).
    bool get_HasPrivateKey(bool verify) const;

    // ---- Extensions and validity ------------------------------------------------------------------------

    // The URLs of the CRL distribution points, in the extension's order (130115-130117 when the
    // extension cannot be read).
    Vsk::Utils::CArray<Vsk::Utils::CWString> get_CrlDistributionPoints() const;
    // The bounds of the private key usage period (UTC, or local time when `local`; zero when absent
    // or when the conversion fails).
    FILETIME get_PrivateKeyNotBefore(bool local) const;
    FILETIME get_PrivateKeyNotAfter(bool local) const;
    // Whether the certificate and its key are valid now; the reason is appended to `reason`.
    bool isValidDate(Vsk::Utils::CWString* reason = nullptr) const;
    // The CRL of the first distribution point that delivers one (GET with the agent "VosKel", through
    // `proxy` or fresh automatic settings, a progress dialog owned by `parent`); every address's
    // failure, numbered, in the error raised when none does.
    CCrl DownloadCRL(const Vsk::Utils::CProxySettings* proxy, HWND parent) const;

    // ---- Verification and display -----------------------------------------------------------------------

    // The verification status of the context under the settings at `time` (null: now). 130701 without
    // settings, 130702 without a certificate.
    static DWORD VerifyCertificate(PCCERT_CONTEXT context, const CCertVerifySettings* settings,
                                   const FILETIME* time = nullptr);
    DWORD Verify(const CCertVerifySettings& settings, const FILETIME* time = nullptr) const;

    // Shows the certificate in the system viewer (CryptUIDlgViewCertificateW of "Cryptui.dll").
    // 130401 without a context, 130402 when the viewer is missing or fails (a viewer closed by the
    // user is no failure).
    void ShowDialog(HWND parent, const WCHAR* title) const;

    // ---- Cache ----------------------------------------------------------------------------------------

    // Empties the calling thread's set of the certificate cache (CertCache.h).
    static void ClearCache();

    const Vsk::Utils::CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    CImpl* impl() const;

    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

// The text of a verification status (certificate, signature and time-stamp statuses), code page 1251;
// "Неизвестный статус." for a status without one.
const char* getVerifyStatusText(DWORD status);
// The text of one chain trust error bit; empty for a bit without one.
const char* getChainTrustErrorText(DWORD bit);
// The chain trust bit a status 101-120 stands for; 0 for 0, (DWORD)-1 for a status without one.
DWORD statusToTrustError(DWORD status);

// Raises CError naming the certificate and the container (and the certificate the container holds)
// when both are given and their public keys differ.
void checkCertMatchesContainer(const CCertificate& certificate, const CKeyContainer& container);

// The simple display name of the subject (or the issuer): empty for a null context, one without
// certificate information, or a name shorter than one character. 130108 when the text cannot be made.
Vsk::Utils::CWString getCertSimpleName(PCCERT_CONTEXT context, bool issuer);
// "\"<subject>\", действителен с <not before> по <not after>" (UTC times) for log lines; empty when the
// subject has no simple display name.
Vsk::Utils::CWString getCertContextText(PCCERT_CONTEXT context);
// Surname and given names, with the common name added after ", " unless already contained; else the
// common name; else the organisation.
Vsk::Utils::CWString getShortName(const CAttributes& name);

}  // namespace Vsk::PKI
