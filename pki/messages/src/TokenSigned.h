// The token part of a signed-data object: signing with a key on a PKCS#11 token and reading a
// message that CryptoAPI cannot read, with the library's own DER writer and reader and the token's
// digest. The signed-data implementation derives from it and hands it pointers to its members; the
// road is in use only while a token key pair is held.
#pragma once

#include <vsk/asn1/asn1.h>
#include <vsk/pkcs11/TokenKeyPair.h>
#include <vsk/pki/Certificate.h>
#include <vsk/utils/dataBlob.h>

#include <vector>

namespace Vsk::PKI {

class CSignSettings;
class CSignature;

class CTokenSigned {
public:
    CTokenSigned(Vsk::Utils::CDataBlob* dataHash, CSignSettings* settings,
                 std::vector<CSignature>* signatures, DWORD* signerCount, DWORD* state);
    ~CTokenSigned();
    CTokenSigned(const CTokenSigned&) = delete;
    CTokenSigned& operator=(const CTokenSigned&) = delete;

    // Chooses the token key of the settings' key container or signer certificate; true when one is
    // held (the token road then signs the message).
    bool signStart(const CSignSettings& settings);
    // A bare signature (CryptoAPI byte order) on the final block.
    void clearSignBlock(const Vsk::Utils::CDataBlob& block, Vsk::Utils::CDataBlob* output, bool final);
    // The DER message on the final block.
    void cmsSignBlock(const Vsk::Utils::CDataBlob& block, Vsk::Utils::CDataBlob* output, bool final);
    // The DER ContentInfo of `content` signed over `dataHash`; the node pointers are set.
    void cmsSign(Vsk::Utils::CDataBlob* out, const Vsk::Utils::CDataBlob& content,
                 const Vsk::Utils::CDataBlob& dataHash, const CSignSettings& settings);
    // The bare signature (CryptoAPI byte order) of a ready hash.
    void signHash(Vsk::Utils::CDataBlob* out, const Vsk::Utils::CDataBlob& hash);
    // Reads a message block by block on the token; the content comes on the final block.
    void importByToken(const Vsk::Utils::CDataBlob& block, Vsk::Utils::CDataBlob* output, bool final,
                       bool* detached);
    // Digests one block of a detached message's content on the token.
    void digestClearData(const Vsk::Utils::CDataBlob& block, bool final);
    // Logs out, forgets the key pair and the message nodes.
    void reset();

    // A token key pair is held: the token road is in use.
    bool hasTokenKeyPair() const { return !m_keyPair.isEmpty(); }
    // The blocks of the message being read on this road, kept until its final block.
    const Vsk::Utils::CDataBlob& getAccumulatedInput() const { return m_accumulated; }
    // The ContentInfo written or read on this road (an empty SEQUENCE after a reset).
    const Vsk::ASN1::CSequence& getContentInfo() const { return m_contentInfo; }

private:
    // The certificates and the signers of the message just parsed, into `certificates` and the signers.
    void readParts(std::vector<CCertificate>& certificates);
    Vsk::PKCS11::CTokenKeyPair m_keyPair;
    Vsk::Utils::CDataBlob* m_dataHash;
    Vsk::ASN1::CSequence m_contentInfo;
    Vsk::ASN1::CConstructed* m_certificates;
    Vsk::ASN1::CSet* m_signerInfos;
    Vsk::Utils::CDataBlob m_accumulated;
    // The blocks of an attached message being signed, carried whole as its content.
    std::vector<Vsk::Utils::CDataBlob> m_signedBlocks;
    CSignSettings* m_settings;
    std::vector<CSignature>* m_signatures;
    DWORD* m_signerCount;
    DWORD* m_state;
};

}  // namespace Vsk::PKI
