// The enveloped-data writer and reader of the library and the recipients' key transport.
//
// The reader walks the message header with its own identifier-and-length reader, so that a header
// that arrives in pieces is looked at only as far as it has come, and hands every complete element
// (recipients, algorithm) to the ASN.1 codec. Past the header only the content chunks are read; a
// primitive content is handed out as its octets arrive.
#include "Pkcs7Encrypted.h"

#include <vsk/pki/CryptError.h>
#include <vsk/pki/EncryptedDataRecipient.h>
#include <vsk/platform/cert.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace Vsk::PKI {

using namespace Vsk::ASN1;
using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CWString;
using Vsk::Utils::ToWString;

namespace {

constexpr const char* OidEnvelopedData = "1.2.840.113549.1.7.3";
constexpr const char* OidData = "1.2.840.113549.1.7.1";
constexpr const char* OidGost28147 = "1.2.643.2.2.21";
constexpr BYTE TagContext0 = 0x80;
constexpr BYTE TagContext0Constructed = 0xA0;

// The code that the structural texts of the reader and the parsers carry.
constexpr DWORD StructureError = CRYPT_E_ASN1_BADTAG;

// The identifier and length octets of one element.
struct Header {
    BYTE tag = 0;
    size_t size = 0;  // identifier and length octets
    bool indefinite = false;
    uint64_t length = 0;
};

enum class Read { More, Ok, Bad };

Read readElementHeader(const BYTE* p, size_t n, Header& h) {
    if (n < 2) return Read::More;
    h.tag = p[0];
    if ((h.tag & 0x1F) == 0x1F) return Read::Bad;
    BYTE first = p[1];
    h.indefinite = false;
    if (first == 0x80) {
        if (!(h.tag & 0x20)) return Read::Bad;
        h.indefinite = true;
        h.length = 0;
        h.size = 2;
        return Read::Ok;
    }
    if (first < 0x80) {
        h.length = first;
        h.size = 2;
        return Read::Ok;
    }
    size_t octets = first & 0x7F;
    if (octets > 8) return Read::Bad;
    if (n < 2 + octets) return Read::More;
    h.length = 0;
    for (size_t i = 0; i < octets; ++i) h.length = (h.length << 8) | p[2 + i];
    h.size = 2 + octets;
    return Read::Ok;
}

[[noreturn]] void raiseText(const char16_t* text) {
    throw CError(CWString(text), StructureError);
}

CWString hexOf(const CDataBlob& data) {
    return ToWString(data.toHex());
}

CWString base64Of(const CDataBlob& data) {
    return ToWString(Vsk::Utils::Base64Enc(data, Vsk::Utils::Base64NoLineBreaks));
}

bool isConstructed(CNode* node) {
    return node && castToConstructed(node) != nullptr;
}

bool hasTag(CNode* node, int tag) {
    return node && node->getClass() == 0 && node->getTag() == tag;
}

// The walk over the pending input while the header is read.
struct Walk {
    const BYTE* data;
    size_t size;
    size_t pos = 0;

    // The next element's header; More when it has not fully come.
    Read header(Header& h) const { return readElementHeader(data + pos, size - pos, h); }
    // The length of the whole element at pos, once all of it has come.
    std::optional<size_t> whole(const Header& h) const {
        size_t avail = size - pos;
        if (!h.indefinite) {
            if (h.length > avail - h.size) return std::nullopt;
            return h.size + static_cast<size_t>(h.length);
        }
        CNode node;
        size_t left = node.decode(CDataBlob(data + pos, avail, false));
        if (node.isIncomplete()) return std::nullopt;
        return avail - left;
    }
    CDataBlob copy(size_t length) const { return CDataBlob(data + pos, length, true); }
};

CAString oidOf(const CDataBlob& der) {
    CObjectId oid;
    oid.decode(der);
    return oid.getValue();
}

}  // namespace

CPKCS7Encrypted::CPKCS7Encrypted()
    : m_headerRead(false),
      m_primitive(false),
      m_primitiveLeft(0),
      m_contentDone(false),
      m_recipientsKnown(false),
      m_algorithmKnown(false),
      m_failed(false) {}

void CPKCS7Encrypted::reset() {
    m_headerRead = false;
    m_pending.clear();
    m_lastOutput.clear();
    m_contentInfo = CSequence();
    m_recipientInfos.clear();
    m_algorithm.clear();
    m_primitive = false;
    m_primitiveLeft = 0;
    m_contentDone = false;
    m_recipientsKnown = false;
    m_algorithmKnown = false;
    m_failed = false;
    m_error = CError(Vsk::Utils::NoErrorCode);
}

// ---- Writer -----------------------------------------------------------------------------------------------

void CPKCS7Encrypted::setContentEncryptionAlgorithm(const CAString& /*keyAlgorithm*/, const CDataBlob& iv,
                                                    const CAString& paramSet) {
    m_algorithm.clear();
    m_algorithm.addItem(CObjectId(CAString(OidGost28147)));
    CSequence parameters;
    parameters.addItem(COctetString(iv));
    parameters.addItem(CObjectId(paramSet));
    m_algorithm.addItem(parameters);
}

CDataBlob CPKCS7Encrypted::makePKCS7Enveloped(const CDataBlob& content, bool final) {
    Vsk::InternalUtils::LogAt(4, CWString(u"PKI::CPKCS7Encrypted::makePKCS7Enveloped size=") +
                                     ToWString(static_cast<uint64_t>(content.getSize())) + u", final=" +
                                     (final ? u"true" : u"false"));
    CDataBlob out;
    if (m_contentInfo.getCount() == 0) {
        if (m_recipientInfos.getCount() == 0) throw CCryptError::CCryptErrorHResult(180301, E_INVALIDARG);
        CSequence encryptedContentInfo;
        encryptedContentInfo.addItem(CObjectId(CAString(OidData)));
        encryptedContentInfo.addItem(m_algorithm);
        CSequence envelopedData;
        envelopedData.addItem(CInteger(0));
        envelopedData.addItem(m_recipientInfos);
        envelopedData.addItem(encryptedContentInfo);
        CConstructed wrapper(0, 0x80);
        wrapper.addItem(envelopedData);
        m_contentInfo.addItem(CObjectId(CAString(OidEnvelopedData)));
        m_contentInfo.addItem(wrapper);
        if (final) {
            encryptedContentInfo.addItem(CUnknown(0, 0x80, content));
            out = m_contentInfo.encode();
            m_contentInfo = CSequence();
            return out;
        }
        CConstructed chunks(0, 0x80);
        encryptedContentInfo.addItem(chunks);
        chunks.setStreaming();
        out = m_contentInfo.encode();
    }
    out.appendBlob(COctetString(content).encode());
    if (final) {
        if (m_contentInfo.isIndefinite()) out.appendBlob(m_contentInfo.getEndOfContents());
        m_contentInfo = CSequence();
    }
    return out;
}

// ---- Reader -----------------------------------------------------------------------------------------------

void CPKCS7Encrypted::fail(const CError& error) {
    m_failed = true;
    m_error = error;
    m_pending.clear();
}

CPKCS7Encrypted::Step CPKCS7Encrypted::readHeader(size_t& headerSize) {
    Walk w{m_pending.getData(), m_pending.getSize()};
    Header h;
    auto next = [&](Header& header) {
        Read r = w.header(header);
        if (r == Read::Bad) raiseText(u"Неверный формат ASN.1 заголовка сообщения");
        return r == Read::Ok;
    };
    auto skipWhole = [&](const Header& header, CDataBlob* copy) {
        std::optional<size_t> n = w.whole(header);
        if (!n) return false;
        if (copy) *copy = w.copy(*n);
        w.pos += *n;
        return true;
    };
    CDataBlob element;

    // ContentInfo
    if (!next(h)) return Step::NeedMore;
    if (h.tag != 0x30) raiseText(u"Не PKCS_7_ENVELOPED");
    w.pos += h.size;
    if (!next(h)) return Step::NeedMore;
    if (h.tag != 0x06) raiseText(u"Отсутствует ContentInfo.contentType");
    if (!skipWhole(h, &element)) return Step::NeedMore;
    if (oidOf(element) != CAString(OidEnvelopedData)) raiseText(u"Не PKCS_7_ENVELOPED");
    if (!next(h)) return Step::NeedMore;
    if (h.tag != TagContext0Constructed) raiseText(u"Отсутствует ContentInfo.content");
    w.pos += h.size;

    // EnvelopedData
    if (!next(h)) return Step::NeedMore;
    if (h.tag != 0x30) raiseText(u"Отсутствует EnvelopedData");
    w.pos += h.size;
    if (!next(h)) return Step::NeedMore;
    if (h.tag != 0x02) raiseText(u"Отсутствует EnvelopedData.version");
    if (!skipWhole(h, nullptr)) return Step::NeedMore;
    if (!next(h)) return Step::NeedMore;
    if (h.tag == TagContext0Constructed) {  // originatorInfo
        if (!skipWhole(h, nullptr)) return Step::NeedMore;
        if (!next(h)) return Step::NeedMore;
    }
    if (h.tag != 0x31) raiseText(u"Отсутствует EnvelopedData.recipientInfos");
    if (!m_recipientsKnown) {
        if (!skipWhole(h, &element)) return Step::NeedMore;
        CSet recipients;
        recipients.decode(element);
        m_recipientInfos = recipients;
        m_recipientsKnown = true;
    } else if (!skipWhole(h, nullptr)) {
        return Step::NeedMore;
    }

    // EncryptedContentInfo
    if (!next(h)) return Step::NeedMore;
    if (h.tag != 0x30) raiseText(u"Отсутствует EnvelopedData.encryptedContentInfo");
    w.pos += h.size;
    if (!next(h)) return Step::NeedMore;
    if (h.tag != 0x06) raiseText(u"Отсутствует EncryptedContentInfo.contentType");
    if (!skipWhole(h, &element)) return Step::NeedMore;
    if (oidOf(element) != CAString(OidData)) raiseText(u"Неверный EncryptedContentInfo.contentType");
    if (!next(h)) return Step::NeedMore;
    if (h.tag != 0x30) raiseText(u"Неверный EncryptedContentInfo.contentEncryptionAlgorithm");
    if (!m_algorithmKnown) {
        if (!skipWhole(h, &element)) return Step::NeedMore;
        CSequence algorithm;
        algorithm.decode(element);
        m_algorithm = algorithm;
        m_algorithmKnown = true;
    } else if (!skipWhole(h, nullptr)) {
        return Step::NeedMore;
    }

    // encryptedContent
    if (!next(h)) return Step::NeedMore;
    if (h.tag == TagContext0Constructed) {
        m_primitive = false;
        // A definite-length run of chunks ends with its length; an indefinite one at its 00 00.
        m_primitiveLeft = h.indefinite ? 0 : h.length;
        m_contentDone = !h.indefinite && h.length == 0;
    } else if (h.tag == TagContext0 && !h.indefinite && h.length != 0) {
        m_primitive = true;
        m_primitiveLeft = h.length;
    } else {
        raiseText(u"Отсутствует EncryptedContentInfo.encryptedContent");
    }
    w.pos += h.size;
    m_chunksBounded = !m_primitive && !h.indefinite;
    headerSize = w.pos;
    return Step::Done;
}

void CPKCS7Encrypted::readContent(CDataBlob& out) {
    size_t pos = 0;
    const BYTE* p = m_pending.getData();
    size_t size = m_pending.getSize();
    while (!m_contentDone && pos < size) {
        if (m_primitive) {
            size_t take = static_cast<size_t>(std::min<uint64_t>(m_primitiveLeft, size - pos));
            out.appendData(take, p + pos);
            pos += take;
            m_primitiveLeft -= take;
            m_contentDone = m_primitiveLeft == 0;
            break;
        }
        Header h;
        Read r = readElementHeader(p + pos, size - pos, h);
        if (r == Read::More) break;
        if (r == Read::Ok && h.tag == 0 && h.length == 0 && !m_chunksBounded) {
            pos += 2;
            m_contentDone = true;
            break;
        }
        if (r == Read::Bad || h.tag != 0x04) {
            fail(CError(CWString(u"Неверный EncryptedContentInfo.encryptedContent"), StructureError));
            return;
        }
        if (h.length > size - pos - h.size) break;
        size_t total = h.size + static_cast<size_t>(h.length);
        out.appendData(static_cast<size_t>(h.length), p + pos + h.size);
        pos += total;
        if (m_chunksBounded) {
            if (total > m_primitiveLeft) {
                fail(CError(CWString(u"Неверный EncryptedContentInfo.encryptedContent"), StructureError));
                return;
            }
            m_primitiveLeft -= total;
            m_contentDone = m_primitiveLeft == 0;
        }
    }
    // What follows the content (end-of-contents octets, unprotected attributes) is not needed.
    if (m_contentDone)
        m_pending.clear();
    else if (pos != 0)
        m_pending = CDataBlob(p + pos, size - pos, true);
}

CDataBlob CPKCS7Encrypted::getEncryptedContent(const CDataBlob& block, CError* error, CSet* recipientInfos,
                                               CSequence* algorithm, bool repeatedOffer) {
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CPKCS7Encrypted::getEncryptedContent", 4,
                                        ToWString(static_cast<uint64_t>(block.getSize())));
    if (error) *error = CError(Vsk::Utils::NoErrorCode);
    auto handOut = [&]() {
        if (recipientInfos && m_recipientsKnown) *recipientInfos = m_recipientInfos;
        if (algorithm && m_algorithmKnown) *algorithm = m_algorithm;
        if (error && m_failed) *error = m_error;
    };
    if (repeatedOffer) {
        handOut();
        return m_lastOutput;
    }
    m_lastOutput = CDataBlob();
    CDataBlob out;
    if (!m_failed && !m_contentDone) {
        m_pending.appendBlob(block);
        try {
            if (!m_headerRead) {
                size_t headerSize = 0;
                if (readHeader(headerSize) == Step::Done) {
                    m_headerRead = true;
                    m_pending =
                        CDataBlob(m_pending.getData() + headerSize, m_pending.getSize() - headerSize, true);
                } else if (m_pending.getSize() > MaxEnvelopedHeaderSize) {
                    fail(CError(CWString(u"Заголовок зашифрованного сообщения не завершился в пределах ") +
                                    ToWString(static_cast<uint64_t>(MaxEnvelopedHeaderSize)) + u" байт",
                                static_cast<DWORD>(CRYPT_E_ASN1_LARGE)));
                }
            }
            if (m_headerRead) readContent(out);
        } catch (CError& e) {
            fail(e);
        } catch (Vsk::Utils::CExcept& e) {
            fail(CError(e));
        }
    }
    handOut();
    m_lastOutput = out;
    // Only the size: the content is ciphertext, but nothing of a message's bytes goes to the log.
    if (scope.isEntered()) scope.setResult(ToWString(static_cast<uint64_t>(out.getSize())));
    return out;
}

// ---- GOST structures --------------------------------------------------------------------------------------

namespace {

// Runs a parser body; its texts and the decoder's errors leave as CCryptError under the parser's
// first line, and the failing input is logged.
template <class Body>
void parseGuarded(const char16_t* logName, const CWString& firstLine, const CDataBlob& der, Body body) {
    auto raise = [&](const CError& e) {
        if (Vsk::InternalUtils::GetLogLevel() >= 1)
            Vsk::InternalUtils::LogAt(1, CWString(logName) + u"=" + base64Of(der));
        throw CCryptError::CCryptErrorFromError(e, firstLine);
    };
    try {
        body();
    } catch (CError& e) {
        raise(e);
    } catch (Vsk::Utils::CExcept& e) {
        raise(CError(e));
    }
}

}  // namespace

void CPKCS7Encrypted::parseGostR3410KeyTransport(const CDataBlob& der, CDataBlob& encryptedKey,
                                                 CDataBlob& ephemeralPublicKey, CDataBlob& mac,
                                                 CDataBlob& ukm, CAString& paramSet, ALG_ID& ephemeralAlgId,
                                                 CDataBlob& ephemeralParameters) {
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CPKCS7Encrypted::parseGostR3410KeyTransport", 4,
                                        ToWString(static_cast<uint64_t>(der.getSize())));
    ephemeralAlgId = CALG_GR3410EL;
    CWString firstLine =
        CWString(u"Неверный \"Key Transport Algorithm Based on GOST R 34.10-94/2001 Public Keys\"?");
    parseGuarded(u"GostR3410-KeyTransport", firstLine, der, [&]() {
        CSequence top;
        size_t left = top.decode(der, false, true);
        if (left != 0 || top.isIncomplete()) raiseText(u"Неверный GostR3410-KeyTransport");
        CNode* first = top.getCount() > 0 ? top.getItem(0) : nullptr;
        CNode* second = top.getCount() > 1 ? top.getItem(1) : nullptr;
        if (!isConstructed(first)) raiseText(u"Отсутствует GostR3410-KeyTransport.sessionEncryptedKey");
        if (!isConstructed(second)) raiseText(u"Отсутствует GostR3410-KeyTransport.transportParameters");
        CConstructed* sessionKey = castToConstructed(first);
        if (sessionKey->getCount() < 2) raiseText(u"Неверный GostR3410-KeyTransport.sessionEncryptedKey");
        CNode* keyNode = sessionKey->getItem(0);
        CNode* macNode = sessionKey->getItem(sessionKey->getCount() - 1);
        if (!hasTag(keyNode, 4)) raiseText(u"Отсутствует Gost28147-89-EncryptedKey.encryptedKey");
        if (!hasTag(macNode, 4)) raiseText(u"Отсутствует Gost28147-89-EncryptedKey.macKey");
        CConstructed* transport = castToConstructed(second);
        if (transport->getCount() < 3) raiseText(u"Неподдерживаемый GostR3410-TransportParameters");
        CNode* setNode = transport->getItem(0);
        CNode* ephemeralNode = transport->getItem(1);
        CNode* ukmNode = transport->getItem(2);
        if (!hasTag(setNode, 6)) raiseText(u"Неверный GostR3410-TransportParameters.encryptionParamSet");
        if (!isConstructed(ephemeralNode))
            raiseText(u"Отсутствует GostR3410-TransportParameters.ephemeralPublicKey");
        if (!hasTag(ukmNode, 4)) raiseText(u"Отсутствует GostR3410-TransportParameters.ukm");
        CConstructed* ephemeral = castToConstructed(ephemeralNode);
        if (ephemeral->getCount() < 2)
            raiseText(u"Неверный GostR3410-TransportParameters.ephemeralPublicKey");
        CNode* algNode = ephemeral->getItem(0);
        if (!hasTag(algNode, 16)) raiseText(u"Неверный SubjectPublicKeyInfo.algorithm");
        CConstructed* alg = castToConstructed(algNode);
        CNode* algOid = alg->getCount() > 0 ? alg->getItem(0) : nullptr;
        if (!hasTag(algOid, 6)) raiseText(u"Неверный AlgorithmIdentifier.algorithm");
        ALG_ID algId = castToObjectId(algOid)->getAlgId();
        CDataBlob parameters;
        if (alg->getCount() > 1) parameters = alg->getItem(1)->encode().clone();
        CNode* bits = ephemeral->getItem(1);
        if (!hasTag(bits, 3)) raiseText(u"Неверный SubjectPublicKeyInfo.subjectPublicKey");
        // The unused-bit count and at least an OCTET STRING header: an empty BIT STRING carries no key.
        CDataBlob bitContents = bits->getContents();
        if (bitContents.getSize() < 3) raiseText(u"Неверный SubjectPublicKeyInfo.subjectPublicKey");
        CNode key;
        CDataBlob keyDer = bitContents.getBlock(1).clone();
        size_t keyLeft = key.decode(keyDer);
        if (keyLeft != 0 || key.isIncomplete() || !hasTag(&key, 4))
            raiseText(u"Неверный SubjectPublicKeyInfo.subjectPublicKey");

        encryptedKey = keyNode->getContents().clone();
        mac = macNode->getContents().clone();
        paramSet = castToObjectId(setNode)->getValue();
        ukm = ukmNode->getContents().clone();
        ephemeralPublicKey = key.getContents().clone();
        ephemeralAlgId = algId;
        ephemeralParameters = parameters;
    });
}

void CPKCS7Encrypted::parseGost28147_89Parameters(const CDataBlob& der, CDataBlob& iv, CAString& paramSet) {
    Vsk::InternalUtils::CLogScope scope("Vsk::PKI::CPKCS7Encrypted::parseGost28147_89Parameters", 4,
                                        ToWString(static_cast<uint64_t>(der.getSize())));
    CWString firstLine = CWString(u"Неверный \"Gost28147-89-Parameters\"?");
    parseGuarded(u"Gost28147-89-Parameters", firstLine, der, [&]() {
        CSequence top;
        size_t left = top.decode(der, false, true);
        if (left != 0 || top.isIncomplete()) raiseText(u"Неверный Gost28147-89-Parameters.iv");
        CNode* ivNode = top.getCount() > 0 ? top.getItem(0) : nullptr;
        CNode* setNode = top.getCount() > 1 ? top.getItem(1) : nullptr;
        if (!hasTag(ivNode, 4)) raiseText(u"Неверный Gost28147-89-Parameters.iv");
        if (!hasTag(setNode, 6)) raiseText(u"Неверный Gost28147-89-Parameters.encryptionParamSet");
        iv = ivNode->getContents().clone();
        paramSet = castToObjectId(setNode)->getValue();
    });
}

// ---- Recipients -------------------------------------------------------------------------------------------

CEncryptedDataRecipient::CEncryptedDataRecipient() : m_certificate(true), m_sessionKey(true) {}

void CEncryptedDataRecipient::Init(const CNode& recipientInfo, const CSequence& algorithm) {
    m_certificate = CCertificate(true);
    m_recipientInfo = CNode();
    m_sessionKey = CSessionKey(true);
    m_encryptedKey.clear();
    try {
        CNode info = recipientInfo;
        if (info.isEmpty() || !hasTag(&info, 16)) raiseText(u"KeyTransRecipientInfo");
        // Read again from its encoding: the caller's handle may be a plain CNode.
        CSequence sequence;
        sequence.decode(info.encode().clone());
        CConstructed* seq = &sequence;
        if (seq->getCount() < 4) raiseText(u"Количество в KeyTransRecipientInfo");
        CNode* issuerAndSerial = seq->getItem(1);
        if (!hasTag(issuerAndSerial, 16)) raiseText(u"IssuerAndSerialNumber");
        CConstructed* ias = castToConstructed(issuerAndSerial);
        if (ias->getCount() < 2 || !hasTag(ias->getItem(1), 2)) raiseText(u"IssuerAndSerialNumber");
        CDataBlob issuer = ias->getItem(0)->encode().clone();
        CDataBlob serial = castToInteger(ias->getItem(1))->getValue().clone();
        CNode* keyAlg = seq->getItem(2);
        if (!hasTag(keyAlg, 16) || castToConstructed(keyAlg)->getCount() == 0)
            raiseText(u"KeyEncryptionAlgorithmIdentifier");
        CNode* keyAlgOid = castToConstructed(keyAlg)->getItem(0);
        if (!hasTag(keyAlgOid, 6)) raiseText(u"KeyEncryptionAlgorithmIdentifier.algorithm");
        CAString keyEncryptionAlgorithm = castToObjectId(keyAlgOid)->getValue();
        CNode* encryptedKey = seq->getItem(3);
        if (!hasTag(encryptedKey, 4)) raiseText(u"EncryptedKey");
        CDataBlob transport = encryptedKey->getContents().clone();

        CSequence alg = algorithm;
        if (alg.isEmpty() || alg.getCount() < 2) raiseText(u"ContentEncryptionAlgorithm");
        if (!hasTag(alg.getItem(0), 6)) raiseText(u"ContentEncryptionAlgorithm.algorithm");
        CAString contentAlgorithm = castToObjectId(alg.getItem(0))->getValue();
        if (contentAlgorithm != CAString(OidGost28147))
            Vsk::InternalUtils::LogAt(
                3, CWString(u"PKI::CEncryptedDataRecipient::Init contentEncryptionAlgorithm=") +
                       ToWString(contentAlgorithm));

        m_issuer = issuer;
        m_serialNumber = serial;
        m_keyEncryptionAlgorithm = keyEncryptionAlgorithm;
        m_certificate.put_DecryptCertInfo(issuer, serial, keyEncryptionAlgorithm);
        m_encryptedKey = transport;
        m_recipientInfo = recipientInfo;
        m_contentEncryptionAlgorithm = contentAlgorithm;
        m_parameters = alg.getItem(1)->encode().clone();
        m_algorithm = alg;
    } catch (Vsk::Utils::CExcept& e) {
        raiseRecipientError(CError(e), recipientInfo, algorithm);
    } catch (CError& e) {
        raiseRecipientError(e, recipientInfo, algorithm);
    }
}

void CEncryptedDataRecipient::raiseRecipientError(const CError& e, const CNode& recipientInfo,
                                                  const CSequence& algorithm) {
    auto rawOf = [](const CNode& node) {
        try {
            return node.isEmpty() ? CDataBlob() : node.encode();
        } catch (...) {
            return CDataBlob();
        }
    };
    CWString nodes = CWString(u"recipientInfo=") + base64Of(rawOf(recipientInfo)) +
                     u" contentEncryptionAlgorithm=" + base64Of(rawOf(algorithm));
    if (Vsk::InternalUtils::GetLogLevel() >= 1)
        Vsk::InternalUtils::LogAt(
            1, CWString(u"PKI::CEncryptedDataRecipient::Init ") + e.getMessage() + u" " + nodes);
    throw CCryptError::CCryptErrorFromError(e, CWString(u"Неверная информация на получателя?"));
}

CDataBlob CEncryptedDataRecipient::makeGostR3410KeyTransport(
    const CAString& keyAlgorithm, const CDataBlob& keyParameters, const CDataBlob& encryptedKey,
    const CDataBlob& mac, const CDataBlob& ephemeralPublicKey, const CDataBlob& ukm, CSequence& algorithm) {
    algorithm.clear();
    algorithm.addItem(CObjectId(keyAlgorithm));
    if (keyParameters.getSize() != 0) {
        CSequence parameters;
        if (parameters.decode(keyParameters.clone(), false, true) != 0 || parameters.isIncomplete())
            throw CError(CWString(u"Неверные параметры ключа получателя"),
                         static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
        algorithm.addItem(parameters);
    } else {
        algorithm.addItem(CSequence());
    }
    const char* paramSet =
        keyAlgorithm == CAString("1.2.643.2.2.19") ? "1.2.643.2.2.31.1" : "1.2.643.7.1.2.5.1.1";

    CSequence sessionEncryptedKey;
    sessionEncryptedKey.addItem(COctetString(encryptedKey));
    sessionEncryptedKey.addItem(COctetString(mac));
    CDataBlob keyOctets = COctetString(ephemeralPublicKey).encode();
    CConstructed ephemeral(0, 0x80);
    // The ephemeral key is declared with the very AlgorithmIdentifier of the recipient; a copy of the
    // node keeps the caller's node out of this tree.
    CSequence algorithmCopy;
    algorithmCopy.decode(algorithm.encode(), false, true);
    ephemeral.addItem(algorithmCopy);
    ephemeral.addItem(CBitString(keyOctets, static_cast<uint64_t>(keyOctets.getSize()) * 8));
    CConstructed transportParameters(0, 0x80);
    transportParameters.addItem(CObjectId(CAString(paramSet)));
    transportParameters.addItem(ephemeral);
    transportParameters.addItem(COctetString(ukm));
    CSequence transport;
    transport.addItem(sessionEncryptedKey);
    transport.addItem(transportParameters);
    return transport.encode();
}

void CEncryptedDataRecipient::MakeKeyTransRecipientInfo(const CERT_INFO& certInfo,
                                                        const CDataBlob& encryptedKey, const CDataBlob& mac,
                                                        const CDataBlob& ephemeralPublicKey,
                                                        const CDataBlob& ukm) {
    Vsk::InternalUtils::LogAt(
        4, CWString(u"PKI::CEncryptedDataRecipient::MakeKeyTransRecipientInfo EncryptedSessKey=") +
               hexOf(encryptedKey) + u", MacKey=" + hexOf(mac) + u", EphemeralPublicKey=" +
               hexOf(ephemeralPublicKey) + u", UKM=" + hexOf(ukm));
    CNode issuer;
    CDataBlob issuerDer(certInfo.Issuer.pbData, certInfo.Issuer.cbData, true);
    if (issuerDer.getSize() == 0 || issuer.decode(issuerDer, false, true) != 0 || issuer.isIncomplete())
        throw CError(CWString(u"Неверный издатель сертификата получателя"),
                     static_cast<DWORD>(CRYPT_E_ASN1_CORRUPT));
    CSequence issuerAndSerial;
    issuerAndSerial.addItem(issuer);
    CDataBlob serial(certInfo.SerialNumber.pbData, certInfo.SerialNumber.cbData, true);
    issuerAndSerial.addItem(CInteger(serial));
    const CRYPT_ALGORITHM_IDENTIFIER& keyAlg = certInfo.SubjectPublicKeyInfo.Algorithm;
    CAString keyOid(keyAlg.pszObjId ? keyAlg.pszObjId : "");
    CDataBlob keyParameters(keyAlg.Parameters.pbData, keyAlg.Parameters.cbData, true);
    CSequence keyEncryptionAlgorithm;
    CDataBlob transport = makeGostR3410KeyTransport(keyOid, keyParameters, encryptedKey, mac,
                                                    ephemeralPublicKey, ukm, keyEncryptionAlgorithm);
    CSequence info;
    info.addItem(CInteger(0));
    info.addItem(issuerAndSerial);
    info.addItem(keyEncryptionAlgorithm);
    info.addItem(COctetString(transport));
    m_recipientInfo = info;
    m_issuer = issuer.encode().clone();
    m_serialNumber = serial;
    m_keyEncryptionAlgorithm = keyOid;
    m_encryptedKey = transport;
}

}  // namespace Vsk::PKI
