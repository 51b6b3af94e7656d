// A key pair on a token: its public-key, private-key and certificate objects and the mechanisms
// chosen for its key.
#pragma once

#include <vsk/pkcs11/Token.h>

namespace Vsk::PKCS11 {

class CTokenKeyPair {
public:
    class CImpl;
    // An empty handle for a null or empty token.
    explicit CTokenKeyPair(const CToken* token = nullptr);
    // A pair with both key objects known.
    CTokenKeyPair(const CToken* token, CK_OBJECT_HANDLE publicKey, CK_OBJECT_HANDLE privateKey);
    CTokenKeyPair(const CTokenKeyPair& other);
    CTokenKeyPair& operator=(const CTokenKeyPair& other);
    ~CTokenKeyPair();

    bool isEmpty() const { return !m_pImpl; }
    // The pair's token; null for an empty handle.
    CToken* getToken() const;
    // Sets the public-key object; the mechanisms are chosen again and the certificate forgotten.
    void setPubKey(CK_OBJECT_HANDLE publicKey);
    CK_OBJECT_HANDLE getPubKeyHandle() const;
    CK_OBJECT_HANDLE getPrivKeyHandle() const;
    // The digest mechanism chosen for the key.
    CK_MECHANISM_TYPE getDigestAlg() const;
    // The CKA_VALUE of the certificate object of the public key, looked up once; empty when none.
    Vsk::Utils::CDataBlob getCertificate() const;
    // Destroys the public-key, private-key and certificate objects of the pair.
    void destroyObjects();

private:
    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKCS11
