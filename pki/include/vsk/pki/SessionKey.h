// One GOST 28147-89 content key of an enveloped message: a key handle inside a provider, or a key on
// a PKCS#11 token reached through a borrowed token session key. The key is obtained from a
// GostR3410-KeyTransport (the recipient's key agreement with the sender's ephemeral key), and can be
// moved into another provider so that bulk decryption runs where the caller wants it.
#pragma once

#include <vsk/pki/HoldCSP.h>
#include <vsk/pki/Password.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/string.h>

namespace Vsk::PKCS11 {
class CTokenSessionKey;
}

namespace Vsk::PKI {

class CSPInfo;
class CCertificate;
class CKeyContainer;
class CDecryptSettings;

class CSessionKey {
public:
    class CImpl : public Vsk::Utils::CRefMan, public CPassword {
    public:
        CImpl();
        ~CImpl() override;

        void DecryptViaGostR3410KeyTransport(const Vsk::Utils::CDataBlob& transport, bool kdf,
                                             const CDecryptSettings& settings);
        void setCSP(CSPInfo* target);
        // Imports the session-key blob under the agreement of the public key blob with the user key
        // `keySpec` of the held provider.
        void Decrypt(const Vsk::Utils::CDataBlob& simpleBlob, DWORD keySpec,
                     const Vsk::Utils::CDataBlob& publicKeyBlob);
        // A new ephemeral key pair of the provider; with a non-empty `dhOid` on that parameter set,
        // else on the provider's default set, whose OID is then written to `dhOid`.
        HCRYPTKEY GenEphemeralKey(const CHoldCSP& provider, Vsk::Utils::CAString& dhOid);
        // Refuses (E_INVALIDARG) a public key blob whose algorithm the provider does not know.
        void checkAlgorithm(const CHoldCSP& provider, const Vsk::Utils::CDataBlob& publicKeyBlob);
        void decryptWithCertificate(const Vsk::Utils::CDataBlob& simpleBlob, const CCertificate& certificate,
                                    bool autoBind, const Vsk::Utils::CDataBlob& publicKeyBlob);
        void decryptWithKeyContainer(const Vsk::Utils::CDataBlob& simpleBlob, const CKeyContainer& container,
                                     const Vsk::Utils::CDataBlob& publicKeyBlob);
        void setIV(const Vsk::Utils::CDataBlob& iv);

        // The provider's SIMPLEBLOB of a transported key; over-long fields raise CError (E_INVALIDARG).
        static Vsk::Utils::CDataBlob makeSimpleBlob(const Vsk::Utils::CDataBlob& encryptedKey,
                                                    const Vsk::Utils::CDataBlob& ukm,
                                                    const Vsk::Utils::CDataBlob& mac,
                                                    const Vsk::Utils::CDataBlob& paramSet);
        // The provider's PUBLICKEYBLOB of an ephemeral key with its AlgorithmIdentifier parameters.
        static Vsk::Utils::CDataBlob makePublicKeyBlob(const Vsk::Utils::CDataBlob& publicKey, ALG_ID algId,
                                                       const Vsk::Utils::CDataBlob& parameters);

        HCRYPTKEY m_hKeySession;
        Vsk::PKCS11::CTokenSessionKey* m_pTokenSessionKey;
        Vsk::Utils::CDataBlob m_iv;
        Vsk::Utils::CDataBlob m_recipientDhOid;
        CHoldCSP m_holdCSP;
        DWORD m_silent;
        Vsk::Utils::CRefPtr<CSPInfo> m_targetCSP;

    private:
        void destroyKey();
    };

    explicit CSessionKey(bool create = true);

    bool isCreated() const;
    HCRYPTKEY get_hKey() const;
    // The token session key that receives a key unwrapped on a token; owned by the caller, who keeps
    // it alive while this object may use it.
    void put_TokenSessionKey(Vsk::PKCS11::CTokenSessionKey* tokenSessionKey);
    CHoldCSP get_HoldCSP() const;
    Vsk::Utils::CDataBlob get_IV() const;
    void put_IV(const Vsk::Utils::CDataBlob& iv);
    void setCSP(CSPInfo* target);
    void DecryptViaGostR3410KeyTransport(const Vsk::Utils::CDataBlob& transport, bool kdf,
                                         const CDecryptSettings& settings);

    CImpl* getImpl() const { return m_pImpl.get(); }

private:
    CImpl* checked() const;
    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKI
