// The enveloped-data object: encrypts data for recipient certificates into a CMS enveloped message
// and decrypts such messages, block by block, so that data of any size streams through it. One
// message at a time: EncryptStart, then EncryptBlock until a block marked final; or DecryptStart, then
// DecryptBlock until a block marked final.
#pragma once

#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/SessionKey.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/memory.h>

namespace Vsk::PKI {

class CEncryptedData {
public:
    class CImpl;

    // true: a fresh object; false: an empty handle.
    explicit CEncryptedData(bool create = true);
    CEncryptedData(const CEncryptedData& other);
    CEncryptedData& operator=(const CEncryptedData& other);
    ~CEncryptedData();

    // The held option objects; the caller assigns its settings to them.
    CEncryptSettings& EncryptSettings();
    CDecryptSettings& DecryptSettings();

    void EncryptStart();
    // The message bytes that this block of content produced (possibly none for a non-final block).
    Vsk::Utils::CDataBlob EncryptBlock(const Vsk::Utils::CDataBlob& input, bool final);
    void DecryptStart();
    // The plaintext that this block of the message completed (possibly none).
    Vsk::Utils::CDataBlob DecryptBlock(const Vsk::Utils::CDataBlob& input, bool final);

    // A session key of the caller's for the session-key roads (raw data encrypted or decrypted with it,
    // or a message's content decrypted with it). It stays with the object across messages; a key the
    // object found by itself for one message does not.
    void put_SessionKey(const CSessionKey& key);
    CSessionKey get_SessionKey() const;

    bool isNull() const { return !m_pImpl; }

private:
    CImpl* checked() const;

    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

}  // namespace Vsk::PKI
