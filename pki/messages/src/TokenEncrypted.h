// Encryption and decryption of enveloped messages with the keys of a PKCS#11 token, in the library's
// own DER writer and reader. Only the interface the enveloped-data object calls is here yet: every
// operation that needs a token raises the not-implemented error, and the object reaches them only
// when the settings name a token.
#pragma once

#include "Pkcs7Encrypted.h"

#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/pkcs11/TokenSessionKey.h>
#include <vsk/pki/Certificate.h>
#include <vsk/pki/CryptError.h>
#include <vsk/utils/dataBlob.h>

namespace Vsk::PKI {

class CTokenEncrypted : public virtual CPKCS7Encrypted {
public:
    CTokenEncrypted() = default;

    // The next message bytes of the content block `input`, encrypted for the settings' recipients.
    Vsk::Utils::CDataBlob cmsEncryptBlock(const Vsk::Utils::CDataBlob& input, bool final);
    // The plaintext completed by `input` with the token key of `certificate`; false with `error`
    // set when the key cannot decrypt the message.
    bool cmsDecryptBlockByToken(const CCertificate& certificate, const Vsk::Utils::CDataBlob& input,
                                bool final, Vsk::Utils::CDataBlob& output, CCryptError& error);
    // Raw content decrypted with the token session key; `iv` is advanced to the chaining value.
    Vsk::Utils::CDataBlob decryptWithSessionKey(const Vsk::Utils::CDataBlob& input,
                                                Vsk::Utils::CDataBlob& iv);
    // Forgets the key pair and the token session key (nothing is held while no token is used).
    void reset();

    bool hasKeyPair() const { return !m_keyPair.isEmpty(); }
    void putKeyPair(const Vsk::PKCS11::CTokenKeyPair& keyPair) { m_keyPair = keyPair; }
    Vsk::PKCS11::CTokenSessionKey* tokenSessionKey() { return &m_tokenSessionKey; }

private:
    Vsk::PKCS11::CTokenKeyPair m_keyPair;
    Vsk::PKCS11::CTokenSessionKey m_tokenSessionKey;
};

}  // namespace Vsk::PKI
