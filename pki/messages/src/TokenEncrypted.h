// Encryption and decryption of enveloped messages with the keys of a PKCS#11 token that does GOST
// cryptography on board: the session key is generated, wrapped for each recipient and unwrapped on the
// token, the content is encrypted and decrypted there, and the message is written and read by the
// library's own DER code. Also decrypts raw content with a token session key held by the object.
#pragma once

#include "Pkcs7Encrypted.h"

#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/pkcs11/TokenSessionKey.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/utils/dataBlob.h>

#include <cstdint>

namespace Vsk::PKI {

class CTokenEncrypted : public virtual CPKCS7Encrypted {
public:
    CTokenEncrypted() = default;
    ~CTokenEncrypted();
    CTokenEncrypted(const CTokenEncrypted&) = delete;
    CTokenEncrypted& operator=(const CTokenEncrypted&) = delete;

    // The message bytes for the plaintext block `input`, encrypted on the key pair's token for the
    // encryption settings' recipients. The first block logs in, makes the key and opens the message;
    // the final block closes it and logs out.
    Vsk::Utils::CDataBlob cmsEncryptBlock(const Vsk::Utils::CDataBlob& input, bool final);
    // The plaintext completed by the message block `input`, decrypted with the token key of
    // `certificate`. False when this road cannot decrypt the message: `error` then holds why (empty
    // when the certificate simply has no key on a token or is not among the recipients).
    bool cmsDecryptBlockByToken(const CCertificate& certificate, const Vsk::Utils::CDataBlob& input,
                                bool final, Vsk::Utils::CDataBlob& output, CCryptError& error);
    // Raw content encrypted in CBC mode with CryptoPro key meshing, decrypted with the token session
    // key: the plaintext of the whole 8-byte blocks available; the rest waits for the next call.
    // `iv` is the chaining value, advanced on return.
    Vsk::Utils::CDataBlob decryptWithSessionKey(const Vsk::Utils::CDataBlob& input,
                                                Vsk::Utils::CDataBlob& iv);
    // Logs the key pair's token in with the encryption settings' PIN unless it is logged in already.
    void login();
    // Lets the session key go and logs the key pair's token out.
    void releaseToken();
    // releaseToken, and the DER state, the pending ciphertext and the block counter start afresh.
    void reset();

    bool hasKeyPair() const { return !m_keyPair.isEmpty(); }
    void putKeyPair(const Vsk::PKCS11::CTokenKeyPair& keyPair) { m_keyPair = keyPair; }
    Vsk::PKCS11::CTokenSessionKey* tokenSessionKey() { return &m_tokenSessionKey; }

protected:
    // Owned by the enveloped-data object; set by it once at construction.
    const CEncryptSettings* m_pOwnerEncryptSettings = nullptr;
    const CDecryptSettings* m_pOwnerDecryptSettings = nullptr;
    // The object's note that the DER reader has already taken the current block (while it learned
    // the recipients), so that the block is offered again as a repeat and not consumed twice.
    bool* m_pOwnerReaderHasBlock = nullptr;

private:
    Vsk::Utils::CDataBlob encryptOnToken(Vsk::PKCS11::CToken* token, const Vsk::Utils::CDataBlob& input,
                                         bool final);
    // A failed decryption lets the token go; the DER reader keeps its place for the next recipient.
    void abandon();
    // The key pair of the decryption settings' key container when it lives on a token (logged in and
    // its private key found), or of the certificate on any token; `error` tells why none was found.
    void findDecryptionKeyPair(const CCertificate& certificate, CCryptError& error);
    // Unwraps the session key from the recipient of `recipientInfos` that names `certificate` and
    // starts decryption with `iv`; false when no recipient names it.
    bool unwrapForRecipient(const CCertificate& certificate, const Vsk::ASN1::CSet& recipientInfos,
                            const Vsk::ASN1::CSequence& algorithm, const Vsk::Utils::CDataBlob& iv,
                            const Vsk::Utils::CAString& contentParamSet);
    // The end of a message's decryption: true when the content was whole; otherwise `output` is
    // dropped and `error` says the message was cut. The state starts afresh either way.
    bool finish(Vsk::Utils::CDataBlob& output, CCryptError& error);
    // reset, with the token's failures swallowed (they were reported already).
    void resetQuietly();
    // The DER reader's output for `input` (the block is a repeat when the reader already took it).
    Vsk::Utils::CDataBlob readContent(const Vsk::Utils::CDataBlob& input, Vsk::Utils::CError& error,
                                      Vsk::ASN1::CSet& recipientInfos, Vsk::ASN1::CSequence& algorithm);

    Vsk::PKCS11::CTokenKeyPair m_keyPair;
    // Ciphertext after the last whole 8-byte block, kept for the next decryptWithSessionKey call.
    Vsk::Utils::CDataBlob m_pendingCipher;
    // 8-byte blocks decrypted by decryptWithSessionKey since the last reset (drives key meshing).
    uint64_t m_blockCounter = 0;
    Vsk::PKCS11::CTokenSessionKey m_tokenSessionKey;
};

}  // namespace Vsk::PKI
