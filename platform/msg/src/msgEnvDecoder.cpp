// The decoder of enveloped messages, on the streaming BER reader: the recipient infos and the
// content-encryption algorithm are read whole; the encrypted content passes through in pieces of any
// size. Until CMSG_CTRL_DECRYPT has given the content key the ciphertext is kept (at most
// MaxMsgPendingCipherBytes); the control decrypts what was kept and emits it, and from then on each
// piece is decrypted and emitted as it arrives. A failed decrypt leaves the message as it was.
#include "certnameInternal.h"
#include "envelopeKeys.h"
#include "msgImpl.h"
#include "msgReader.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace vsk::msg {

namespace {

using cert::Tlv;

enum class Step {
    CiSeq,
    CiType,
    CiExplicit,
    EdSeq,
    EdVersion,
    EdOriginator,
    EdRecipients,
    EciSeq,
    EciType,
    EciAlgorithm,
    EciBody,
    ContentItem,
    ContentPrimitive,
    EciEnd,
    AfterEci,
    CiExplicitEnd,
    CiEnd,
    Done,
};

struct Recipient {
    bool keyTrans = false;
    DWORD version = 0;
    bool byKeyId = false;
    Bytes issuer;    // the Name's DER
    Bytes serialLe;  // little-endian, as CERT_INFO keeps it
    Bytes keyId;
    std::string algorithmOid;
    Bytes algorithmParams;  // DER, empty when absent
    Bytes encryptedKey;     // the GostR3410-KeyTransport DER
};

// One RecipientInfo; kinds other than key transport are kept as such, unread.
DWORD ParseRecipient(const Tlv& t, Recipient& out) {
    if (t.tag != cert::TagSequence) return 0;  // kari [1], kekri [2], pwri [3], ori [4]
    out.keyTrans = true;
    cert::DerReader r(t);
    Tlv version, rid, alg, key;
    if (!r.expect(cert::TagInteger, version)) return r.error();
    if (version.length != 1 || version.contents[0] > 2) return CRYPT_E_ASN1_CORRUPT;
    out.version = version.contents[0];
    if (!r.next(rid)) return r.error();
    if (rid.tag == cert::TagSequence) {
        cert::DerReader ias(rid);
        Tlv issuer, serial;
        if (!ias.expect(cert::TagSequence, issuer) || !ias.expect(cert::TagInteger, serial))
            return ias.error();
        if (!ias.atEnd() || !serial.length) return CRYPT_E_ASN1_CORRUPT;
        out.issuer.assign(issuer.whole, issuer.whole + issuer.wholeLength);
        out.serialLe.assign(serial.contents, serial.contents + serial.length);
        std::reverse(out.serialLe.begin(), out.serialLe.end());
    } else if (rid.tag == 0x80) {
        out.byKeyId = true;
        out.keyId.assign(rid.contents, rid.contents + rid.length);
    } else {
        return CRYPT_E_ASN1_BADTAG;
    }
    if (!r.expect(cert::TagSequence, alg) || !r.expect(cert::TagOctetString, key)) return r.error();
    if (!r.atEnd()) return CRYPT_E_ASN1_CORRUPT;
    cert::DerReader a(alg);
    Tlv oid;
    if (!a.expect(cert::TagOid, oid)) return a.error();
    if (!cert::OidFromDer(oid.contents, oid.length, out.algorithmOid)) return CRYPT_E_ASN1_CORRUPT;
    const BYTE* rest = oid.contents + oid.length;
    out.algorithmParams.assign(rest, alg.contents + alg.length);
    out.encryptedKey.assign(key.contents, key.contents + key.length);
    return 0;
}

CRYPT_DATA_BLOB Blob(cert::Arena& a, const Bytes& bytes) {
    CRYPT_DATA_BLOB b{};
    b.cbData = static_cast<DWORD>(bytes.size());
    b.pbData = bytes.empty() ? nullptr : a.bytes(bytes);
    return b;
}

class EnvelopedDecoder final : public Message, private StreamReader {
public:
    explicit EnvelopedDecoder(const CMSG_STREAM_INFO* stream) {
        m_streaming = stream != nullptr;
        if (stream) m_stream = *stream;
    }
    ~EnvelopedDecoder() override {
        // Plaintext kept for CMSG_CONTENT_PARAM when there is no stream callback.
        OPENSSL_cleanse(m_collected.data(), m_collected.size());
    }

    BOOL update(const BYTE* data, DWORD size, BOOL final) override;
    BOOL getParam(DWORD param, DWORD index, void* data, DWORD* size) override;
    BOOL control(DWORD flags, DWORD ctrlType, const void* para) override;

private:
    DWORD step() override;
    DWORD cipherText(const BYTE* data, size_t size);
    DWORD decryptAndEmit(const BYTE* data, size_t size);
    BOOL decrypt(const CMSG_CTRL_DECRYPT_PARA& para);

    DWORD m_error = 0;  // a failed update breaks the message for good
    Step m_step = Step::CiSeq;
    size_t m_contentDepth = 0;
    bool m_primitiveContent = false;
    uint64_t m_primitiveLeft = 0;
    bool m_attrsSeen = false;
    bool m_inputDone = false;  // the final update came and the message was complete
    bool m_finalEmitted = false;

    bool m_typeKnown = false;
    DWORD m_version = 0;
    std::string m_contentType;
    bool m_recipientsKnown = false;
    std::vector<Recipient> m_recipients;
    bool m_algorithmKnown = false;
    std::string m_algorithmOid;
    Bytes m_algorithmParams;

    ContentCipher m_cipher;
    Bytes m_pending;  // ciphertext received before the key
    Bytes m_plain;    // one piece of plaintext on its way to the callback
};

DWORD EnvelopedDecoder::step() {
    BerHeader h;
    Tlv t;
    bool ended = false;
    switch (m_step) {
        case Step::CiSeq:
            if (DWORD e = peekHeader(h)) return e;
            if (h.tag != cert::TagSequence) return CRYPT_E_ASN1_BADTAG;
            m_step = Step::CiType;
            return push(h);
        case Step::CiType: {
            if (DWORD e = takeWhole(cert::TagOid, t)) return e;
            std::string oid;
            if (!cert::OidFromDer(t.contents, t.length, oid)) return CRYPT_E_ASN1_CORRUPT;
            if (oid != szOID_RSA_envelopedData) return CRYPT_E_INVALID_MSG_TYPE;
            m_typeKnown = true;
            m_step = Step::CiExplicit;
            return 0;
        }
        case Step::CiExplicit:
        case Step::EdSeq:
            if (DWORD e = peekHeader(h)) return e;
            if (h.tag != (m_step == Step::CiExplicit ? 0xA0 : cert::TagSequence)) return CRYPT_E_ASN1_BADTAG;
            m_step = m_step == Step::CiExplicit ? Step::EdSeq : Step::EdVersion;
            return push(h);
        case Step::EdVersion:
            if (DWORD e = takeWhole(cert::TagInteger, t)) return e;
            if (t.length != 1 || t.contents[0] > 4) return CRYPT_E_ASN1_CORRUPT;
            m_version = t.contents[0];
            m_step = Step::EdOriginator;
            return 0;
        case Step::EdOriginator:
            // originatorInfo is of no use to key transport: read and passed over.
            if (DWORD e = peekHeader(h)) return e;
            if (h.tag == 0xA0)
                if (DWORD e = takeWhole(0xA0, t)) return e;  // the step stays until it is all there
            m_step = Step::EdRecipients;
            return 0;
        case Step::EdRecipients: {
            if (DWORD e = takeWhole(cert::TagSet, t)) return e;
            cert::DerReader reader(t);
            Tlv item;
            std::vector<Recipient> recipients;
            while (reader.next(item)) {
                Recipient r;
                if (DWORD e = ParseRecipient(item, r)) return e;
                recipients.push_back(std::move(r));
            }
            if (reader.failed()) return reader.error();
            if (recipients.empty()) return CRYPT_E_ASN1_CORRUPT;
            m_recipients = std::move(recipients);
            m_recipientsKnown = true;
            m_step = Step::EciSeq;
            return 0;
        }
        case Step::EciSeq:
            if (DWORD e = peekHeader(h)) return e;
            if (h.tag != cert::TagSequence) return CRYPT_E_ASN1_BADTAG;
            m_step = Step::EciType;
            return push(h);
        case Step::EciType:
            if (DWORD e = takeWhole(cert::TagOid, t)) return e;
            if (!cert::OidFromDer(t.contents, t.length, m_contentType)) return CRYPT_E_ASN1_CORRUPT;
            m_step = Step::EciAlgorithm;
            return 0;
        case Step::EciAlgorithm: {
            if (DWORD e = takeWhole(cert::TagSequence, t)) return e;
            cert::DerReader a(t);
            Tlv oid;
            if (!a.expect(cert::TagOid, oid)) return a.error();
            if (!cert::OidFromDer(oid.contents, oid.length, m_algorithmOid)) return CRYPT_E_ASN1_CORRUPT;
            m_algorithmParams.assign(oid.contents + oid.length, t.contents + t.length);
            m_algorithmKnown = true;
            m_step = Step::EciBody;
            return 0;
        }
        case Step::EciBody:
            if (DWORD e = atFrameEnd(ended)) return e;
            if (ended) {  // no encrypted content
                pop();
                m_step = Step::AfterEci;
                return 0;
            }
            if (DWORD e = peekHeader(h)) return e;
            if (h.tag == 0x80) {
                consume(h.size);
                m_primitiveContent = true;
                m_primitiveLeft = h.length;
                m_step = m_primitiveLeft ? Step::ContentPrimitive : Step::EciEnd;
                return 0;
            }
            if (h.tag != 0xA0) return CRYPT_E_ASN1_BADTAG;
            m_step = Step::ContentItem;
            if (DWORD e = push(h)) return e;
            m_contentDepth = depth();
            return 0;
        case Step::ContentItem:
            if (DWORD e = atFrameEnd(ended)) return e;
            if (ended) {
                const bool outer = depth() == m_contentDepth;
                pop();
                if (outer) m_step = Step::EciEnd;
                return 0;
            }
            if (DWORD e = peekHeader(h)) return e;
            if (h.tag == cert::TagOctetString) {
                consume(h.size);
                m_primitiveLeft = h.length;
                if (m_primitiveLeft) m_step = Step::ContentPrimitive;
                return 0;
            }
            if (h.tag == (cert::TagOctetString | 0x20)) return push(h);
            return CRYPT_E_ASN1_BADTAG;
        case Step::ContentPrimitive: {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(available(), m_primitiveLeft));
            if (!n) return kMore;
            const BYTE* at = m_pos;
            consume(n);
            m_primitiveLeft -= n;
            if (!m_primitiveLeft) m_step = m_primitiveContent ? Step::EciEnd : Step::ContentItem;
            return cipherText(at, n);
        }
        case Step::EciEnd:
        case Step::CiExplicitEnd:
        case Step::CiEnd:
            if (DWORD e = atFrameEnd(ended)) return e;
            if (!ended) return CRYPT_E_ASN1_CORRUPT;
            pop();
            m_step = m_step == Step::EciEnd          ? Step::AfterEci
                     : m_step == Step::CiExplicitEnd ? Step::CiEnd
                                                     : Step::Done;
            return 0;
        case Step::AfterEci:
            // The EnvelopedData ends, or its unprotectedAttrs (passed over) come first.
            if (DWORD e = atFrameEnd(ended)) return e;
            if (ended) {
                pop();
                m_step = Step::CiExplicitEnd;
                return 0;
            }
            if (DWORD e = peekHeader(h)) return e;
            if (h.tag != 0xA1 || m_attrsSeen) return CRYPT_E_ASN1_BADTAG;
            if (DWORD e = takeWhole(0xA1, t)) return e;
            m_attrsSeen = true;
            return 0;
        case Step::Done:
            return available() ? CRYPT_E_MSG_ERROR : kMore;
    }
    return CRYPT_E_MSG_ERROR;
}

DWORD EnvelopedDecoder::decryptAndEmit(const BYTE* data, size_t size) {
    constexpr size_t kPiece = 1u << 20;
    while (size) {
        const size_t n = std::min(size, kPiece);
        if (m_plain.size() < n) m_plain.resize(n);
        if (DWORD e = m_cipher.update(data, n, m_plain.data())) return e;
        const bool ok = emit(m_plain.data(), n, false);
        OPENSSL_cleanse(m_plain.data(), n);
        if (!ok) return GetLastError();
        data += n;
        size -= n;
    }
    return 0;
}

DWORD EnvelopedDecoder::cipherText(const BYTE* data, size_t size) {
    if (m_cipher.started()) return decryptAndEmit(data, size);
    if (size > MaxMsgPendingCipherBytes - m_pending.size()) return NTE_NO_MEMORY;
    m_pending.insert(m_pending.end(), data, data + size);
    return 0;
}

BOOL EnvelopedDecoder::update(const BYTE* data, DWORD size, BOOL final) {
    if (m_error) return Fail(m_error);
    if (m_inputDone) return Fail(CRYPT_E_MSG_ERROR);
    if (size && !data) return Fail(ERROR_INVALID_PARAMETER);
    DWORD e = size ? feed(data, size) : 0;
    if (!e && final) {
        if (m_step != Step::Done) {
            e = CRYPT_E_STREAM_INSUFFICIENT_DATA;
        } else {
            m_inputDone = true;
            // Without the key yet, the end of the content is announced by the control.
            if (m_cipher.started()) {
                m_finalEmitted = true;
                if (!emit(nullptr, 0, true)) e = GetLastError();
            }
        }
    }
    if (e) {
        m_error = e;
        m_pending = Bytes();
        return Fail(e);
    }
    return TRUE;
}

BOOL EnvelopedDecoder::decrypt(const CMSG_CTRL_DECRYPT_PARA& para) {
    if (m_error) return Fail(m_error);
    if (!m_recipientsKnown || !m_algorithmKnown) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
    if (m_cipher.started()) return Fail(CRYPT_E_ALREADY_DECRYPTED);
    if (para.dwRecipientIndex >= m_recipients.size()) return Fail(CRYPT_E_INVALID_INDEX);
    const Recipient& r = m_recipients[para.dwRecipientIndex];
    if (!r.keyTrans || m_algorithmOid != szOID_CP_GOST_28147) return Fail(CRYPT_E_UNKNOWN_ALGO);
    ContentKey key;
    if (DWORD e = UnwrapKeyTransport(para.hCryptProv, para.dwKeySpec, r.encryptedKey, key)) return Fail(e);
    if (DWORD e = m_cipher.start(key, m_algorithmParams, false)) return Fail(e);
    // The ciphertext that came before the key, then the end of the content when it has come.
    Bytes pending;
    pending.swap(m_pending);
    DWORD e = decryptAndEmit(pending.data(), pending.size());
    if (!e && m_inputDone && !m_finalEmitted) {
        m_finalEmitted = true;
        if (!emit(nullptr, 0, true)) e = GetLastError();
    }
    if (e) {
        m_error = e;
        return Fail(e);
    }
    return TRUE;
}

BOOL EnvelopedDecoder::control(DWORD, DWORD ctrlType, const void* para) {
    if (ctrlType != CMSG_CTRL_DECRYPT) return Fail(CRYPT_E_CONTROL_TYPE);
    const auto* p = static_cast<const CMSG_CTRL_DECRYPT_PARA*>(para);
    if (!p || p->cbSize < sizeof *p) return Fail(static_cast<DWORD>(E_INVALIDARG));
    return decrypt(*p);
}

BOOL EnvelopedDecoder::getParam(DWORD param, DWORD index, void* data, DWORD* size) {
    if (!size) return Fail(ERROR_INVALID_PARAMETER);
    switch (param) {
        case CMSG_TYPE_PARAM:
            if (!m_typeKnown) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            return DeliverDword(CMSG_ENVELOPED, data, size);
        case CMSG_VERSION_PARAM:
            if (m_step <= Step::EdVersion) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            return DeliverDword(m_version, data, size);
        case CMSG_INNER_CONTENT_TYPE_PARAM:
            if (m_step <= Step::EciType) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            return DeliverBytes(reinterpret_cast<const BYTE*>(m_contentType.c_str()),
                                m_contentType.size() + 1, data, size);
        case CMSG_ENVELOPE_ALGORITHM_PARAM:
            if (!m_algorithmKnown) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            return cert::DeliverBlock(
                [&](cert::Arena& a) {
                    auto* id = a.array<CRYPT_ALGORITHM_IDENTIFIER>(1);
                    id->pszObjId = a.str(m_algorithmOid);
                    id->Parameters = Blob(a, m_algorithmParams);
                },
                0, nullptr, data, size);
        case CMSG_RECIPIENT_COUNT_PARAM:
        case CMSG_CMS_RECIPIENT_COUNT_PARAM:
            if (!m_recipientsKnown) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            return DeliverDword(static_cast<DWORD>(m_recipients.size()), data, size);
        case CMSG_CMS_RECIPIENT_INFO_PARAM: {
            if (!m_recipientsKnown) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            if (index >= m_recipients.size()) return Fail(CRYPT_E_INVALID_INDEX);
            const Recipient& r = m_recipients[index];
            if (!r.keyTrans) return Fail(CRYPT_E_UNKNOWN_ALGO);
            return cert::DeliverBlock(
                [&](cert::Arena& a) {
                    auto* info = a.array<CMSG_CMS_RECIPIENT_INFO>(1);
                    auto* kt = a.array<CMSG_KEY_TRANS_RECIPIENT_INFO>(1);
                    info->dwRecipientChoice = CMSG_KEY_TRANS_RECIPIENT;
                    info->pKeyTrans = kt;
                    kt->dwVersion = r.version;
                    if (r.byKeyId) {
                        kt->RecipientId.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
                        kt->RecipientId.KeyId = Blob(a, r.keyId);
                    } else {
                        kt->RecipientId.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
                        kt->RecipientId.IssuerSerialNumber.Issuer = Blob(a, r.issuer);
                        kt->RecipientId.IssuerSerialNumber.SerialNumber = Blob(a, r.serialLe);
                    }
                    kt->KeyEncryptionAlgorithm.pszObjId = a.str(r.algorithmOid);
                    kt->KeyEncryptionAlgorithm.Parameters = Blob(a, r.algorithmParams);
                    kt->EncryptedKey = Blob(a, r.encryptedKey);
                },
                0, nullptr, data, size);
        }
        case CMSG_CONTENT_PARAM:
            // A streamed message hands its content to the callback and keeps none.
            if (m_streaming || !m_finalEmitted) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            return DeliverBytes(m_collected.data(), m_collected.size(), data, size);
        default:
            return Fail(CRYPT_E_INVALID_MSG_TYPE);
    }
}

}  // namespace

std::unique_ptr<Message> NewEnvelopedDecoder(const CMSG_STREAM_INFO* stream) {
    return std::make_unique<EnvelopedDecoder>(stream);
}

}  // namespace vsk::msg
