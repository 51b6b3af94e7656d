// The implementation of the signed-data object, shared by its signing and reading halves. The two
// other bases work on members of this object through pointers handed to them at construction: the
// external-hash road (CExtSigned) and the token road (CTokenSigned).
#pragma once

#include <vsk/pki/Hash.h>
#include <vsk/pki/HoldCSP.h>
#include <vsk/pki/MessageSettings.h>
#include <vsk/pki/Signature.h>
#include <vsk/pki/SignedData.h>
#include <vsk/platform/cryptmsg.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/string.h>

#include "ExtSigned.h"
#include "TokenSigned.h"

#include <vector>

namespace Vsk::PKI {

// States of the object.
enum : DWORD {
    SignedStateIdle = 0,
    SignedStateReading = 2,
    // SignedStateDetachedRead (3, Signature.h): a detached message read, its content awaited.
};

// A message start shorter than this cannot tell whether the message is detached: it is held until
// more bytes come.
constexpr DWORD PendingStartBytes = 2048;
// A message start that still cannot tell past this many bytes is not a message: every real one
// tells within its first few hundred bytes (the digest algorithms and the content type come first),
// and a file that declares a huge header would otherwise be held and parsed again on every block.
constexpr DWORD MaxPendingStartBytes = 1u << 20;

// Bytes of a message kept since its first block, so that a message whose algorithm the decoder does
// not know can be read again from its start on the token road. The decoder meets the digest
// algorithms within the first few hundred bytes; beyond this the bytes are no longer kept.
constexpr size_t MaxReplayBytes = 4u << 20;

class CSignedData::CImpl : public Vsk::Utils::CRefMan, public CExtSigned, public CTokenSigned {
public:
    CImpl();
    ~CImpl() override;

    // ---- Signing ------------------------------------------------------------------------------------------
    void signStart(const CSignSettings& settings);
    void openToEncode();
    void SignBlock(const Vsk::Utils::CDataBlob& block, Vsk::Utils::CDataBlob* output, bool final);
    static BOOL SignedCallback(const void* arg, BYTE* data, DWORD size, BOOL final);
    void openToDecode();
    void openToDecodeOwnOutput();
    Vsk::Utils::CDataBlob getEncoded();
    Vsk::Utils::CDataBlob signDataHash(const Vsk::Utils::CDataBlob& hash);
    CSignature* getSignature(DWORD index);
    void reset();
    void resetSigning();

    // ---- Reading ------------------------------------------------------------------------------------------
    void ImportBlock(const Vsk::Utils::CDataBlob& block, Vsk::Utils::CDataBlob* output, bool final);
    void ImportBlockClearData(const Vsk::Utils::CDataBlob& block, bool final);
    void import();

    // ---- Members ------------------------------------------------------------------------------------------
    bool m_detached = true;
    DWORD m_signerCount = 0;
    std::vector<CSignature> m_signatures;
    HCRYPTMSG m_decodingMsg = nullptr;
    HCRYPTMSG m_encodingMsg = nullptr;
    Vsk::Utils::CDataBlob m_output;
    DWORD m_outputCount = 0;
    CMSG_STREAM_INFO m_streamInfo{};
    bool m_collectOutput = true;
    DWORD m_state = SignedStateIdle;
    CMSG_SIGNED_ENCODE_INFO m_signedInfo{};
    CMSG_SIGNER_ENCODE_INFO m_signerInfo{};
    Vsk::Utils::CAString m_hashAlgorithm;
    CSignSettings m_settings{static_cast<const CSignSettings*>(nullptr)};
    CHoldCSP m_signingProv;
    CHoldCSP m_decodingProv;
    DWORD m_keySpec = 0;
    CERT_BLOB m_signerCertBlob{};
    CRYPT_ATTRIBUTE m_signingTimeAttr{};
    CRYPT_ATTR_BLOB m_signingTimeValue{};
    Vsk::Utils::CDataBlob m_signingTime;
    Vsk::Utils::CDataBlob m_pending;
    Vsk::Utils::CDataBlob m_dataHash;
    CHash m_hash;

    // The message's bytes since its first block, for the token road's replay (at most
    // MaxReplayBytes; `m_replayComplete` false once bytes were dropped).
    // Grown geometrically: a message read in small pieces appends many times.
    std::vector<BYTE> m_replay;
    bool m_replayComplete = true;
    // The message being read went to the token road before its final block: its further blocks go
    // there too.
    bool m_readingByToken = false;

private:
    void keepForReplay(const Vsk::Utils::CDataBlob& block);
    void clearReplay();
    void importBlockPiece(const Vsk::Utils::CDataBlob& block, Vsk::Utils::CDataBlob* output, bool final);
    void switchToToken(const Vsk::Utils::CDataBlob& block, Vsk::Utils::CDataBlob* output, bool final);
};

// The size and SHA-256 digest of a block, for log lines that must not show the data.
Vsk::Utils::CWString describeBlock(const Vsk::Utils::CDataBlob& block);

}  // namespace Vsk::PKI
