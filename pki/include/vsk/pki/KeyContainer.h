// One key container: a named container of a CryptoAPI provider, or a key pair on a PKCS#11 token
// presented as a provider. Its names, key, certificate and public key are read lazily on first use;
// it installs its certificate into the personal store bound to its key, and makes, generates and
// deletes containers.
#pragma once

#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/pki/CSPInfo.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/HoldCSP.h>
#include <vsk/pki/Password.h>
#include <vsk/pki/Settings.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/string.h>

namespace Vsk::PKI {

class CKeyContainer {
public:
    class CImpl;

    // true: a fresh implementation; false: an empty handle.
    explicit CKeyContainer(bool create = false);
    CKeyContainer(const CKeyContainer& other);
    CKeyContainer& operator=(const CKeyContainer& other);
    ~CKeyContainer();

    // A provider container by name (and unique name when known) of the user's or the machine's keys.
    void Initialize(const Vsk::Utils::CWString& name, const Vsk::Utils::CWString* uniqueName,
                    CSPInfo* provider, bool machineKeyset);
    // A token key pair given by its public-key object.
    void InitByToken(CSPInfo* provider, CK_OBJECT_HANDLE publicKeyObject);

    Vsk::Utils::CWString get_Name() const;
    Vsk::Utils::CWString get_UniqueName() const;
    DWORD get_ProvType() const;
    Vsk::Utils::CWString get_ProvName() const;
    CSPInfo* get_CSPInfo() const;
    DWORD get_KeySpec() const;
    DWORD get_KeyLength() const;
    ALG_ID get_KeyAID() const;
    bool isExchangeKey() const;
    bool isExportable() const;
    // The key's PUBLICKEYBLOB; empty for a token container.
    Vsk::Utils::CDataBlob get_PublicKeyWrap() const;
    // The bare public key: GOST X||Y little-endian, RSA modulus little-endian, a token's CKA_VALUE.
    Vsk::Utils::CDataBlob get_PublicKey() const;
    Vsk::Utils::CAString getAlgorithmOID(bool fromProvider) const;
    CHoldCSP get_hCryptProv() const;
    void put_ParentWnd(HWND window);
    void put_KeysetPassword(const CPassword& password);
    // Wipes `text` afterwards.
    void put_KeysetPassword(Vsk::Utils::CWString& text);
    bool hasKeysetPassword() const;
    // The container's password; null for an empty handle.
    CPassword* get_KeysetPassword() const;
    // The certificate kept with the key, or null.
    const CCertificate* getCertificate() const;
    CCommonSettings get_CommonSettings() const;
    Vsk::PKCS11::CTokenKeyPair get_TokenKeyPair() const;

    // The certificate of the container's key in the personal store (searched once), or null.
    const CCertificate* findCertificateInPersonalStore() const;
    // The stored certificate, else the personal-store one, else null.
    const CCertificate* findCertificate() const;
    // Installs the certificate into "MY" bound to this container's key; raises CCryptError.
    void installCertificate(PCCERT_CONTEXT certificate);
    // Creates a container named `name` in `reader` (may be empty) and keeps its context for Generate.
    void New(CSPInfo* provider, const Vsk::Utils::CWString& reader, const Vsk::Utils::CWString& name,
             bool machineKeyset);
    // Generates the key pair of a container made by New.
    void Generate(bool exportable);
    // Deletes the container (offering to delete its certificate requests first unless silent).
    void Delete();

    bool isNull() const { return !m_pImpl; }
    const Vsk::Utils::CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKI
