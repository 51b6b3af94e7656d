// A signed message (CMS SignedData, attached or detached) or a bare signature, made and read block
// by block. One object handles one message at a time; after the final block of a message, signed or
// read, its signers are available as CSignature objects.
#pragma once

#include <vsk/platform/cert.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/memory.h>

namespace Vsk::PKI {

class CCertificate;
class CHash;
class CSignSettings;
class CSignature;

class CSignedData {
public:
    // Private to the library.
    class CImpl;

    // true: a fresh implementation; false: an empty handle (every operation then raises
    // "Объект ... не был создан!").
    explicit CSignedData(bool create = true);
    CSignedData(const CSignedData& other);
    CSignedData& operator=(const CSignedData& other);
    ~CSignedData();

    // ---- Signing ----------------------------------------------------------------------------------------

    // Opens a message for the settings' signer; the road (CMS, bare signature, hash in another
    // provider, token) is chosen here.
    void SignStart(const CSignSettings& settings);
    // One block of the data; `output` (may be null) receives the bytes of the message (or the bare
    // signature) this block produced. Detached messages and bare signatures come whole from the final
    // block.
    void SignBlock(const Vsk::Utils::CDataBlob& block, Vsk::Utils::CDataBlob* output, bool final);
    // The signer `index` of the last message signed or read, held by this object; null when none.
    CSignature* GetSignature(DWORD index);

    // ---- Reading --------------------------------------------------------------------------------------

    // One block of a signed message; `output` (may be null) receives the content this block released
    // (attached messages only).
    void ImportBlock(const Vsk::Utils::CDataBlob& block, Vsk::Utils::CDataBlob* output, bool final);
    // One block of the content of a detached message read before.
    void ImportBlockClearData(const Vsk::Utils::CDataBlob& block, bool final);
    // Whether the message starting with `start` is detached (no content, or an empty one). 101203
    // with ERROR_MORE_DATA when the start is too short to tell.
    static bool IsDetached(const Vsk::Utils::CDataBlob& start);
    // A bare signature (CryptoAPI byte order) of `data` by the key of `cert`: 0 when valid,
    // NTE_BAD_SIGNATURE when not.
    static DWORD VerifyClearSignature(const Vsk::Utils::CDataBlob& data,
                                      const Vsk::Utils::CDataBlob& signature, const CCertificate& cert,
                                      bool silent);
    // The DER of the signingTime attribute value for `time`, or for now when null (100601, 100602).
    static Vsk::Utils::CDataBlob getSigningTimeBlob(const FILETIME* time);

    CImpl* getImpl() const { return m_pImpl.get(); }

private:
    CImpl* checkedImpl() const;

    Vsk::Utils::CRefPtr<CImpl> m_pImpl;
};

// Prepares the verification of a bare signature by `cert`: the certificate's public key imported
// into a verification context of the last provider of its algorithm whose name has no "HSM" (the
// first when all have), and `hash` created for the certificate's first hash algorithm there.
void createHashForSignVerify(const CCertificate& cert, CHash& hash, HCRYPTKEY* key, bool silent);

}  // namespace Vsk::PKI
