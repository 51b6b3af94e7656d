// The implementation of the enveloped-data object, shared by its encryption and decryption halves.
#pragma once

#include "ExtEncrypted.h"
#include "TokenEncrypted.h"

#include <vsk/pki/Certificate.h>
#include <vsk/pki/EncryptedData.h>
#include <vsk/pki/HoldCSP.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/SessionKey.h>
#include <vsk/platform/cryptmsg.h>
#include <vsk/utils/array.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/memory.h>

#include <vector>

namespace Vsk::PKI {

class CEncryptedData::CImpl : public Vsk::Utils::CRefMan, public CExtEncrypted, public CTokenEncrypted {
public:
    CImpl();
    ~CImpl() override;

    void EncryptStart();
    Vsk::Utils::CDataBlob EncryptBlock(const Vsk::Utils::CDataBlob& input, bool final);
    void DecryptStart();
    bool ImportBlock(const Vsk::Utils::CDataBlob& input, bool final);
    Vsk::Utils::CDataBlob DecryptBlock(const Vsk::Utils::CDataBlob& input, bool final);
    bool decrypt(const CCertificate& certificate, CCryptError& error);
    static BOOL EncryptedDataCallback(const void* arg, BYTE* data, DWORD size, BOOL final);
    void reset();
    void clearRecipients();
    // The recipient search's failure: one collected error with the recipient list `text` appended;
    // 180611 when there is none; the user's cancellation alone; else all texts joined.
    [[noreturn]] static void raiseSearchFailure(const std::vector<CCryptError>& errors,
                                                const CCryptError& lastError,
                                                const Vsk::Utils::CWString& text);

    // The bytes the stream callback collected during the current update.
    Vsk::Utils::CDataBlob takeOutput();
    // Opens the decoding message (180501 on failure).
    void openDecoder();
    // A fresh session key bound to the token session key; forgets whether the caller gave one.
    void freshSessionKey();
    // The library's own reader decrypts the rest of the message: the system's decoder is closed.
    void takeContentByOwnReader();

    Vsk::Utils::CDataBlob m_output;
    DWORD m_written = 0;
    HCRYPTMSG m_msg = nullptr;
    CMSG_ENVELOPED_ENCODE_INFO* m_encodeInfo = nullptr;
    CMSG_STREAM_INFO m_streamInfo{};
    CEncryptSettings m_encryptSettings;
    CDecryptSettings m_decryptSettings;
    CSessionKey m_sessionKey;
    // The session key is the caller's (put_SessionKey), not one found for a message.
    bool m_sessionKeyFromCaller = false;
    Vsk::Utils::CArray<CCertificate> m_recipientCertificates;
    Vsk::Utils::CArray<Vsk::Utils::CDataBlob> m_cmsRecipientInfo;
    Vsk::Utils::CDataBlob m_envelopeAlgorithm;
    CCertificate m_decryptCertificate;
    CHoldCSP m_holdCSP;
    int32_t m_recipientIndex = -1;
    bool m_decrypted = false;
    bool m_contentByOwnReader = false;
};

}  // namespace Vsk::PKI
