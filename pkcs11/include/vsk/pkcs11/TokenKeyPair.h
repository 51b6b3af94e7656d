// A key pair on a token: its public-key, private-key and certificate objects and the four mechanisms
// it works with (digest, signature, signature with hashing, key-pair generation). It hashes, signs and
// verifies on the token, generates key pairs and unwraps the GOST 28147-89 session keys sent to it.
//
// The caller serialises all use of one token and its pairs. Multi-part digests and hash-and-sign runs
// go through the token's operation state, shared by every pair of the token.
#pragma once

#include <vsk/pkcs11/Token.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/error.h>
#include <vsk/utils/progress.h>

namespace Vsk::PKCS11 {

class CTokenSessionKey;

class CTokenKeyPair {
public:
    class CImpl;
    // An empty handle for a null or empty token; otherwise a pair on the token with no keys and no
    // mechanisms.
    explicit CTokenKeyPair(const CToken* token = nullptr);
    // A pair with both key objects known (the mechanisms are chosen on first use).
    CTokenKeyPair(const CToken* token, CK_OBJECT_HANDLE publicKey, CK_OBJECT_HANDLE privateKey);
    CTokenKeyPair(const CTokenKeyPair& other);
    CTokenKeyPair& operator=(const CTokenKeyPair& other);
    ~CTokenKeyPair();

    bool isEmpty() const { return !m_pImpl; }
    // The pair's token; null for an empty handle.
    CToken* getToken() const;
    // The digest mechanism (0 while none is chosen).
    CK_MECHANISM_TYPE getDigestAlg() const;
    // Chooses the four mechanisms of a CryptoAPI algorithm; other algorithms change nothing.
    void setAlgsByAlgId(ALG_ID algId) const;
    // Sets the public-key object; a new non-zero key chooses the mechanisms from its hash parameters,
    // and the certificate object is forgotten.
    void setPubKey(CK_OBJECT_HANDLE publicKey) const;
    // Sets the private-key object; a new non-zero key chooses the mechanisms from it.
    void setPrivKey(CK_OBJECT_HANDLE privateKey) const;
    CK_OBJECT_HANDLE getPubKeyHandle() const;
    // The private key while the token is logged in, else 0.
    CK_OBJECT_HANDLE getPrivKeyHandle() const;
    bool hasPrivKey() const;
    // Looks the private key up from the public key (logged-in tokens only); true when found.
    bool findPrivKey() const;
    // Finds the public and private key of a certificate by its public key value (CKA_VALUE form);
    // `certificateText` names the certificate in the error put into `error` when a key is missing.
    bool findByCertificate(const Vsk::Utils::CDataBlob& publicKeyValue,
                           const Vsk::Utils::CWString& certificateText, Vsk::Utils::CError& error) const;
    // The CKA_VALUE of the certificate object of the public key, looked up once; empty when none.
    Vsk::Utils::CDataBlob getCertificate() const;
    // The progress sink of multi-part operations (not owned; null for none).
    void setProgress(Vsk::Utils::IProgress* progress) const;

    // Hashes on the token; the hash comes back with the final part, earlier parts give nothing.
    Vsk::Utils::CDataBlob digest(const Vsk::Utils::CDataBlob& data, bool final) const;
    // Signs a hash (at most 1024 bytes); the signature in the token's order.
    Vsk::Utils::CDataBlob sign(const Vsk::Utils::CDataBlob& hash) const;
    // Hashes and signs on the token; the signature comes back with the final part.
    Vsk::Utils::CDataBlob hashAndSign(const Vsk::Utils::CDataBlob& data, bool final) const;
    // Verifies a signature of a hash with the pair's public key, or with the given public key value
    // through a temporary session object whose curve is `keyParams` (DER of the parameter-set OID of
    // the signer's key; empty: the usual set of the mechanism). Raises when it does not verify.
    void verifySign(const Vsk::Utils::CDataBlob& hash, const Vsk::Utils::CDataBlob& signature,
                    const Vsk::Utils::CDataBlob& publicKey,
                    const Vsk::Utils::CDataBlob& keyParams = Vsk::Utils::CDataBlob()) const;
    // Generates a key pair on the token with the pair's generation mechanism; an empty identifier
    // becomes the local time.
    void generateKeyPair(const Vsk::Utils::CWString& publicLabel, const Vsk::Utils::CWString& privateLabel,
                         const Vsk::Utils::CWString& id) const;
    // Agrees a key with the sender's public key and the UKM and unwraps the session key (encrypted key
    // followed by its MAC) under the GOST 28147-89 parameter set named by `paramSetOid`. The session key
    // takes the set `contentParamSetOid` when one is given (the set its content was encrypted with),
    // else the same set.
    CTokenSessionKey unwrapSessionKey(const Vsk::Utils::CDataBlob& encryptedKey,
                                      const Vsk::Utils::CDataBlob& mac,
                                      const Vsk::Utils::CDataBlob& senderPublicKey,
                                      const Vsk::Utils::CDataBlob& ukm,
                                      const Vsk::Utils::CAString& paramSetOid, bool kdf,
                                      const Vsk::Utils::CAString& contentParamSetOid =
                                          Vsk::Utils::CAString()) const;
    // Destroys the public-key object, the certificate and the private key of the pair.
    void destroyObjects() const;

    CImpl* getImpl() const { return m_pImpl.get(); }

private:
    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKCS11
