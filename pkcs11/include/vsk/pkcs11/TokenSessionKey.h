// A GOST 28147-89 session key living as a session object on a token: generated there or unwrapped for
// one of its key pairs, used for ECB and feedback-mode encryption, meshed the CryptoPro way and
// exported for a recipient through a GOST R 34.10 key agreement on the token.
#pragma once

#include <vsk/pkcs11/Token.h>

namespace Vsk::PKCS11 {

class CTokenSessionKey {
public:
    class CImpl;
    // An empty handle for a null or empty token; otherwise a new object on the token without a key.
    explicit CTokenSessionKey(const CToken* token = nullptr);
    CTokenSessionKey(const CTokenSessionKey& other);
    CTokenSessionKey& operator=(const CTokenSessionKey& other);
    ~CTokenSessionKey();

    bool isEmpty() const { return !m_pImpl; }
    // Whether a key object exists; false for an empty handle.
    bool isCreated() const;
    // The key object (0 when none).
    CK_OBJECT_HANDLE getKeyHandle() const;
    // Generates a new key (replacing the current one) with the TC 26 Z parameter set, or CryptoPro A.
    void generate(bool tc26Z) const;
    // Holds the given key object, destroying the current one first.
    void setKey(CK_OBJECT_HANDLE key) const;

    // Starts a cipher operation: ECB without an IV, else feedback mode with an 8-byte IV.
    void encryptStart(const Vsk::Utils::CDataBlob& iv, bool ecb) const;
    void decryptStart(const Vsk::Utils::CDataBlob& iv, bool ecb) const;
    // The whole data in one call after a start.
    Vsk::Utils::CDataBlob encrypt(const Vsk::Utils::CDataBlob& data) const;
    Vsk::Utils::CDataBlob decrypt(const Vsk::Utils::CDataBlob& data) const;
    // One part of a stream, and the last part when `final`.
    Vsk::Utils::CDataBlob encryptUpdate(const Vsk::Utils::CDataBlob& data, bool final) const;
    Vsk::Utils::CDataBlob decryptUpdate(const Vsk::Utils::CDataBlob& data, bool final) const;
    // Replaces the key by its meshed successor (RFC 4357, 2.3.2).
    void keyMeshing() const;
    // Wraps the key for a recipient: an ephemeral key pair on the token agrees a key with the
    // recipient's public key value and the UKM (8 bytes); `ephemeralPublicKey` receives the ephemeral
    // public key value. `keyParams`, the DER of the parameter-set OID of the recipient's key, gives the
    // ephemeral pair its curve (empty: the usual set of the algorithm).
    Vsk::Utils::CDataBlob wrapKey(const Vsk::Utils::CDataBlob& recipientPublicKey,
                                  const Vsk::Utils::CAString& publicKeyOid, const Vsk::Utils::CDataBlob& ukm,
                                  bool kdf, Vsk::Utils::CDataBlob& ephemeralPublicKey,
                                  const Vsk::Utils::CDataBlob& keyParams = Vsk::Utils::CDataBlob()) const;

    CImpl* getImpl() const { return m_pImpl.get(); }

private:
    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKCS11
