// Option objects of the message layer: how to sign, encrypt and decrypt, how a signature and a time
// stamp are verified, and the time-stamp object's own options. They follow the pattern of Settings.h:
// a handle on a shared, reference-counted implementation (a copy is the same object), and every
// accessor on an empty handle raises the "не был создан!" error of the implementation class.
//
// Besides holding values, the signing and encryption objects make decisions of their own: the hash
// algorithm that fits the signer certificate (and its key container), the encryption algorithm and
// provider that fit every recipient, and the keyset password read from the registry on first use.
// Only the signer change and the hash choice take the object's lock; the rest are plain reads and
// writes, as an option object is filled by one thread before an operation uses it.
#pragma once

#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/KeyContainer.h>
#include <vsk/pki/Password.h>
#include <vsk/pki/Settings.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/array.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/proxySettings.h>
#include <vsk/utils/string.h>

#include <cstdint>

namespace Vsk::PKI {

// ---- Signing ----------------------------------------------------------------------------------------------

class CSignSettings {
public:
    enum : DWORD {
        FlagDetached = 0x1,
        FlagIncludeDateTime = 0x2,
        FlagIncludeSignerCert = 0x4,
        FlagIncludeTimestamp = 0x8,
        // No setters: the library's design roads, reached only when a caller sets the bit itself.
        FlagAutoBindWithKeyContainer = 0x80,
        FlagHSMToCSPOptimization = 0x100,
        FlagClearSignature = 0x200,
        DefaultFlags = FlagDetached | FlagIncludeDateTime | FlagIncludeSignerCert,
    };

    class CImpl : public Vsk::Utils::CRefMan, public CRememberedPassword {
    public:
        CImpl();
        ~CImpl() override;

        // Under the object's lock: the signer change, then the hash choice.
        void putSignerCert(const CCertificate* certificate);
        // The hash algorithms of the signer certificate; keeps the held OID when it is among them,
        // else prefers GOST R 34.11-94, else the first. Under the object's lock.
        void chooseHashAlgorithm();
        void putKeyContainer(const CKeyContainer* container);
        // The password bytes, filled from the registry on first use under the container's name.
        CRememberedPassword* getKeysetPassword();

        DWORD m_flags = DefaultFlags;
        CCertificate m_signerCert;
        // OID in code page 1251; empty until a signer certificate or container decides it.
        Vsk::Utils::CAString m_hashAlgorithm;
        CAlgorithmArray m_possibleHashAlgorithms;
        CCommonSettings m_commonSettings;
        // Owned (library allocator); null means the current time. Nothing in the system sets it.
        FILETIME* m_signingTime = nullptr;
        CKeyContainer m_keyContainer;
    };

    // A fresh object with the defaults (Detached, IncludeDateTime, IncludeSignerCert).
    CSignSettings();
    // Shares the other handle's object; a null pointer gives an empty handle.
    explicit CSignSettings(const CSignSettings* other);

    bool get_Detached() const;
    void put_Detached(bool value);
    bool get_IncludeDateTime() const;
    void put_IncludeDateTime(bool value);
    bool get_IncludeSignerCert() const;
    void put_IncludeSignerCert(bool value);
    bool get_IncludeTimestamp() const;
    void put_IncludeTimestamp(bool value);
    bool get_AutoBindWithKeyContainer() const;
    bool get_HSMToCSPOptimization() const;
    bool get_ClearSignature() const;

    // Null when no signer is set.
    const CCertificate* get_SignerCert() const;
    // Null empties the signer. A certificate that does not match the held key container raises.
    void put_SignerCert(const CCertificate* certificate);
    // Null when no key container is set.
    const CKeyContainer* get_KeyContainer() const;
    void put_KeyContainer(const CKeyContainer* container);
    // The hash OID, or with `display` its registered name.
    Vsk::Utils::CWString get_HashAlgorithm(bool display) const;
    FILETIME* get_SigningTime() const;
    CCommonSettings get_CommonSettings() const;
    // The keyset password (filled from the registry on first use); null for an empty handle.
    CRememberedPassword* get_KeysetPassword() const;
    // Sets the keyset password on the provider for the key spec. A refusal is raised only when the
    // object is Silent and a password was present; otherwise the provider may ask the user itself.
    void ApplyKeysetPassword(HCRYPTPROV hProv, DWORD keySpec) const;
    // "Detached=true, IncludeDateTime=..., SignerCert=..., KeysetPassword present|absent, ..." for the
    // signing trace; the password itself never appears.
    Vsk::Utils::CWString getText() const;

    bool isNull() const { return !m_pImpl; }
    const Vsk::Utils::CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    CImpl* impl() const;

    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

// ---- Encryption -------------------------------------------------------------------------------------------

class CEncryptSettings {
public:
    enum : DWORD { FlagUseSessionKey = 0x200 };

    class CImpl : public Vsk::Utils::CRefMan, public CPassword {
    public:
        // Cleans the recipients (no context, duplicates) and chooses the algorithm and provider type
        // that every recipient can use; raises CCryptError when no provider can.
        void putRecipientCertificates(Vsk::Utils::CArray<CCertificate> recipients);
        // Takes the provider and keeps the algorithm when this provider offers it, else takes the last
        // possible one.
        void putProvider(CSPInfo* provider);

        DWORD m_flags = 0;
        Vsk::Utils::CArray<CCertificate> m_recipients;
        CAlgorithmArray m_possibleAlgorithms;
        // OID in code page 1251.
        Vsk::Utils::CAString m_encryptAlgorithm;
        int32_t m_providerType = 0;
        Vsk::Utils::CWString m_providerName;
        CCommonSettings m_commonSettings;
        // Not owned: the provider catalogue keeps it alive.
        CSPInfo* m_provider = nullptr;
    };

    CEncryptSettings();
    explicit CEncryptSettings(const CEncryptSettings* other);

    void putRecipientCertificates(Vsk::Utils::CArray<CCertificate> recipients);
    void putProvider(CSPInfo* provider);
    const Vsk::Utils::CArray<CCertificate>& get_RecipientCertificates() const;
    // The OID, or with `display` its registered name.
    Vsk::Utils::CWString get_EncryptAlgorithm(bool display) const;
    int get_ProviderType() const;
    // NUL-terminated, or null when no provider name is held.
    const WCHAR* get_ProviderName() const;
    CSPInfo* get_Provider() const;
    bool get_UseSessionKey() const;
    // The password in code page 1251 (the caller wipes it); empty when none is set.
    Vsk::Utils::CAString get_KeysetPassword() const;
    CCommonSettings get_CommonSettings() const;

    bool isNull() const { return !m_pImpl; }
    const Vsk::Utils::CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    CImpl* impl() const;

    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

// ---- Decryption -------------------------------------------------------------------------------------------

class CDecryptSettings {
public:
    enum : DWORD {
        FlagAutoFindRecipient = 0x10,
        FlagAutoBindWithKeyContainer = 0x80,
        FlagHSMToCSPOptimization = 0x100,
        FlagUseSessionKey = 0x200,
        DefaultFlags = FlagAutoFindRecipient,
    };

    class CImpl : public Vsk::Utils::CRefMan, public CRememberedPassword {
    public:
        void putCertificate(const CCertificate* certificate);
        void putKeyContainer(const CKeyContainer* container);
        CRememberedPassword* getKeysetPassword();

        DWORD m_flags = DefaultFlags;
        CCommonSettings m_commonSettings;
        CCertificate m_certificate;
        CKeyContainer m_keyContainer;
    };

    // A fresh object with AutoFindRecipient on.
    CDecryptSettings();
    explicit CDecryptSettings(const CDecryptSettings* other);

    const CCertificate* get_Certificate() const;
    // The certificate must match the held key container; null empties it.
    void put_Certificate(const CCertificate* certificate);
    const CKeyContainer* get_KeyContainer() const;
    void put_KeyContainer(const CKeyContainer* container);
    bool get_AutoFindRecipient() const;
    bool get_AutoBindWithKeyContainer() const;
    bool get_HSMToCSPOptimization() const;
    bool get_UseSessionKey() const;
    CCommonSettings get_CommonSettings() const;
    // Null for an empty handle.
    CRememberedPassword* get_KeysetPassword() const;
    void ApplyKeysetPassword(HCRYPTPROV hProv, DWORD keySpec) const;

    bool isNull() const { return !m_pImpl; }
    const Vsk::Utils::CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    CImpl* impl() const;

    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

// ---- Time stamps and signature verification -------------------------------------------------------------

// How the certificate of a time-stamp authority is verified. The system never creates one; the
// time-stamp check runs without it.
class CStampVerifySettings {
public:
    class CImpl : public Vsk::Utils::CRefMan {
    public:
        // 2: verify the authority's certificate chain.
        int32_t m_CertVerifyMode = 1;
        CCertVerifySettings m_certVerifySettings{static_cast<const CCertVerifySettings*>(nullptr)};
        // Used instead of the certificate the stamp carries when it has a context.
        CCertificate m_stampCert;
    };

    CStampVerifySettings();
    explicit CStampVerifySettings(const CStampVerifySettings* other);

    const CCertificate* get_StampCert() const;
    int get_CertVerifyMode() const;
    const CCertVerifySettings* get_CertVerifySettings() const;

    bool isNull() const { return !m_pImpl; }
    const Vsk::Utils::CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    CImpl* impl() const;

    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

// How a signature is verified: mode 1 (the only one the system uses) leaves the signer's certificate
// unexamined.
class CSignatureVerifySettings {
public:
    class CImpl : public Vsk::Utils::CRefMan {
    public:
        // 1: the signer's certificate is not verified; any other value: it is, with the settings below.
        int32_t m_CertVerifyMode = 1;
        CCertVerifySettings m_certVerifySettings{static_cast<const CCertVerifySettings*>(nullptr)};
        // Verifies with this certificate instead of the message's when it has a context.
        CCertificate m_signerCert;
        // A valid signature without a time stamp gets status 200.
        bool m_RequireTimestamp = false;
        CStampVerifySettings m_stampVerifySettings{static_cast<const CStampVerifySettings*>(nullptr)};
    };

    CSignatureVerifySettings();
    explicit CSignatureVerifySettings(const CSignatureVerifySettings* other);

    int get_CertVerifyMode() const;
    const CCertVerifySettings* get_CertVerifySettings() const;
    // Shares the given object (a live view of the caller's settings); null empties the member, the
    // object's own member changes nothing, an empty given handle raises.
    void put_CertVerifySettings(const CCertVerifySettings* settings);
    const CCertificate* get_SignerCert() const;
    bool get_RequireTimestamp() const;
    const CStampVerifySettings* get_StampVerifySettings() const;

    bool isNull() const { return !m_pImpl; }
    const Vsk::Utils::CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    CImpl* impl() const;

    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

// The options a time-stamp object makes and holds. Nothing reads or sets its fields after
// construction; the hash OID is the catalogue's default hash algorithm.
class CTimeStampSettings {
public:
    class CImpl : public Vsk::Utils::CRefMan {
    public:
        // Asks the catalogue for its default hash algorithm (filling the catalogue when it is still
        // empty); raises when there is none.
        CImpl();

        Vsk::Utils::CArray<Vsk::Utils::CWString> m_texts;
        Vsk::Utils::CWString m_text;
        // OID in code page 1251.
        Vsk::Utils::CAString m_hashAlgorithm;
        Vsk::Utils::CProxySettings m_proxySettings;
        uint8_t m_flag1 = 1;
        uint8_t m_flag2 = 1;
        uint8_t m_flag3 = 0;
        uint8_t m_flag4 = 1;
    };

    CTimeStampSettings();

    bool isNull() const { return !m_pImpl; }
    const Vsk::Utils::CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKI
