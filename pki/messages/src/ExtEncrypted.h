// Decryption of an enveloped message without the message functions' own decryption: the recipient's
// session key is decrypted apart, from the recipient information the decoding message reports, and
// the content, read by the library's DER reader, is decrypted with it. It serves a recipient whose
// private key lives in a hardware security module provider: the key is decrypted there once and
// moved into an ordinary provider, where the bulk of the content is decrypted.
#pragma once

#include "Pkcs7Encrypted.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/EncryptedDataRecipient.h>
#include <vsk/pki/HoldCSP.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/SessionKey.h>
#include <vsk/platform/cryptmsg.h>
#include <vsk/utils/array.h>
#include <vsk/utils/dataBlob.h>

namespace Vsk::PKI {

class CExtEncrypted : public virtual CPKCS7Encrypted {
public:
    CExtEncrypted() = default;

    // The plaintext of `block` when a recipient's key is in an HSM provider and another provider
    // fits its certificate; `sessionKey` then becomes the moved key and `taken` is set (the plaintext
    // may be empty when the block completed no content). Empty when the road does not apply.
    Vsk::Utils::CDataBlob hsmOptimDecryptBlock(const Vsk::Utils::CDataBlob& block, bool final,
                                               CSessionKey& sessionKey, bool* taken = nullptr);
    // The session key decrypted for the settings' certificate, else for the first recipient that can.
    CSessionKey findSessionKey();
    // The session key of one key-transport recipient (a CMSG_CMS_RECIPIENT_INFO).
    CSessionKey decryptSessionKey(const Vsk::Utils::CDataBlob& recipientInfo);
    // The plaintext of the content that `block` completes, decrypted with `sessionKey`.
    Vsk::Utils::CDataBlob decrypt(const Vsk::Utils::CDataBlob& block, bool final, CSessionKey& sessionKey);
    // The key's stream starts again from its IV, as at the start of a message: after a final block,
    // after a failure and when a new message begins. A key left in the middle of one message would
    // decrypt the next one (a caller's key stays for it) from the wrong point, and CFB has no check
    // that would tell.
    static void restartStream(const CSessionKey& sessionKey);

protected:
    // Owned by the enveloped-data object; set by it once at construction.
    Vsk::Utils::CArray<CCertificate>* m_pRecipientCertificates = nullptr;
    Vsk::Utils::CArray<Vsk::Utils::CDataBlob>* m_pCmsRecipientInfo = nullptr;
    CCertificate* m_pDecryptCertificate = nullptr;
    CHoldCSP* m_pHoldCSP = nullptr;
    CDecryptSettings* m_pDecryptSettings = nullptr;
    // The CRYPT_ALGORITHM_IDENTIFIER of the message's content encryption, in one block.
    Vsk::Utils::CDataBlob* m_pEnvelopeAlgorithm = nullptr;
    // The message's key-transport recipients as the library's own reader found them.
    Vsk::Utils::CArray<CEncryptedDataRecipient> m_recipients;
    // The reader has already taken the current block (while the recipients were being learned), so
    // `decrypt` offers it again as a repeat instead of consuming it twice.
    bool m_readerHasBlock = false;
};

}  // namespace Vsk::PKI
