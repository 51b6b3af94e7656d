// The implementation object of a key container, shared by the container's sources.
#pragma once

#include <vsk/pki/KeyContainer.h>

namespace Vsk::PKI {

class CKeyContainer::CImpl : public Vsk::Utils::CRefMan, public CPassword {
public:
    // Bits of m_flags.
    enum : DWORD { MachineKeyset = 0x01, InfoRead = 0x40, PersonalStoreSearched = 0x80 };

    CImpl();
    ~CImpl() override;

    // Clears everything that belongs to one container; with `keepPassword` the password stays (New
    // sets it before creating).
    void reset(bool keepPassword);
    void releaseHeldContext();
    // A context on the container with the flags the settings ask for (shared with a held one when
    // the flags agree); raises when none can be had.
    CHoldCSP getHoldCSP();
    // Holds a context and opens the user key (the exchange key, then the signature key, while the
    // container's key type is not known yet).
    void openUserKey();
    void fillInfo();
    bool isToken() const { return !m_tokenKeyPair.isEmpty(); }
    Vsk::Utils::CWString description() const;
    DWORD getPermissions();
    Vsk::Utils::CAString getStrParam(DWORD param);

    // Installation and creation (the second source).
    void fillPublicKeyInfo();
    bool comparePublicKey(PCCERT_CONTEXT certificate);
    const CCertificate* findCertificateInPersonalStore();

    DWORD m_flags = 0;
    Vsk::Utils::CWString m_name;
    Vsk::Utils::CWString m_uniqueName;
    Vsk::Utils::CRefPtr<CSPInfo> m_provider;
    DWORD m_keySpec = 0;
    DWORD m_keyLength = 0;
    DWORD m_permissions = 0;
    DWORD m_acquireFlags = 0;
    ALG_ID m_keyAlg = 0;
    Vsk::Utils::CAString m_strParams[4];  // provider parameters 92 to 95
    Vsk::Utils::CDataBlob m_publicKeyInfo;
    Vsk::Utils::CDataBlob m_publicKeyWrap;
    CCertificate m_storedCertificate;
    CCertificate m_personalCertificate;
    CHoldCSP m_holdCSP;
    HCRYPTKEY m_userKey = 0;
    HWND m_parentWindow = nullptr;
    Vsk::PKCS11::CTokenKeyPair m_tokenKeyPair;
    CCommonSettings m_settings{true};
};

// Whether the common settings of the container ask for silence.
inline bool IsSilent(const CCommonSettings& settings) {
    return !settings.isNull() && settings.get_Silent();
}

}  // namespace Vsk::PKI
