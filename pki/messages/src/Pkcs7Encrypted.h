// The library's own CMS EnvelopedData writer and reader, for the roads where the system's message
// functions cannot be used (token encryption and decryption, a session key decrypted apart from the
// content, learning the recipients before the system does), and the parsers of the GOST structures
// that a key-transport recipient carries.
#pragma once

#include <vsk/asn1/asn1.h>
#include <vsk/platform/crypt.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/error.h>
#include <vsk/utils/string.h>

#include <cstddef>

namespace Vsk::PKI {

// A message whose header (everything before the first content octet) has not ended within this many
// bytes is refused: recipient lists are a few hundred bytes per recipient, and without a bound a
// damaged stream would be held and walked again on every block (PKCS7EncryptedReader.HeaderCap).
constexpr size_t MaxEnvelopedHeaderSize = 1024 * 1024;

class CPKCS7Encrypted {
public:
    CPKCS7Encrypted();

    // The message bytes for one block of encrypted content. A whole message in one final block is
    // DER with a primitive [0] content; otherwise the first block opens five indefinite-length values,
    // each block adds one OCTET STRING and the final block closes them with five 00 00 pairs.
    // The recipient informations must be set before the first block (180301 otherwise).
    Vsk::Utils::CDataBlob makePKCS7Enveloped(const Vsk::Utils::CDataBlob& content, bool final);
    // The content AlgorithmIdentifier: GOST 28147-89 with the IV and the parameter set.
    void setContentEncryptionAlgorithm(const Vsk::Utils::CAString& keyAlgorithm,
                                       const Vsk::Utils::CDataBlob& iv, const Vsk::Utils::CAString& paramSet);

    // Reads the next block of a message and returns the encrypted content octets that became
    // available with it (possibly none). The recipients and the content algorithm are handed to the
    // out-parameters on every call once they have been read. Structural faults go to `error` (also
    // remembered, so that later blocks report them again) and are never raised. With
    // `repeatedOffer` the block is the one given in the previous call, offered again by another
    // road: the previous output is returned and nothing is consumed.
    Vsk::Utils::CDataBlob getEncryptedContent(const Vsk::Utils::CDataBlob& block,
                                              Vsk::Utils::CError* error = nullptr,
                                              Vsk::ASN1::CSet* recipientInfos = nullptr,
                                              Vsk::ASN1::CSequence* algorithm = nullptr,
                                              bool repeatedOffer = false);

    static void parseGostR3410KeyTransport(const Vsk::Utils::CDataBlob& der,
                                           Vsk::Utils::CDataBlob& encryptedKey,
                                           Vsk::Utils::CDataBlob& ephemeralPublicKey,
                                           Vsk::Utils::CDataBlob& mac, Vsk::Utils::CDataBlob& ukm,
                                           Vsk::Utils::CAString& paramSet, ALG_ID& ephemeralAlgId,
                                           Vsk::Utils::CDataBlob& ephemeralParameters);
    static void parseGost28147_89Parameters(const Vsk::Utils::CDataBlob& der, Vsk::Utils::CDataBlob& iv,
                                            Vsk::Utils::CAString& paramSet);

    void reset();

    Vsk::ASN1::CSet& recipientInfos() { return m_recipientInfos; }
    Vsk::ASN1::CSequence& contentEncryptionAlgorithm() { return m_algorithm; }
    // Whether the writer has opened a message (its first block is out and the final one is not).
    bool isMessageOpen() const { return m_contentInfo.getCount() != 0; }
    // Whether the reader has read the whole header (it is past the start of the content).
    bool isHeaderRead() const { return m_headerRead; }
    // Whether the reader has seen the end of the content.
    bool isContentComplete() const { return m_contentDone; }

private:
    enum class Step { NeedMore, Done };
    // Walks the pending input from its start up to the first content octet.
    Step readHeader(size_t& headerSize);
    // Takes every complete content chunk from the pending input.
    void readContent(Vsk::Utils::CDataBlob& out);
    void fail(const Vsk::Utils::CError& error);

    bool m_headerRead;
    Vsk::Utils::CDataBlob m_pending;
    Vsk::Utils::CDataBlob m_lastOutput;
    Vsk::ASN1::CSequence m_contentInfo;
    Vsk::ASN1::CSet m_recipientInfos;
    Vsk::ASN1::CSequence m_algorithm;
    // Reader state beyond the header: the content is one primitive value (with this many octets still
    // to come) or a run of OCTET STRING chunks.
    bool m_primitive;
    uint64_t m_primitiveLeft;
    // A run of chunks with a definite length, ending when m_primitiveLeft octets have been read.
    bool m_chunksBounded = false;
    bool m_contentDone;
    bool m_recipientsKnown;
    bool m_algorithmKnown;
    bool m_failed;
    Vsk::Utils::CError m_error;
};

}  // namespace Vsk::PKI
