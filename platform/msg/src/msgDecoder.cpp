// The decoder of signed messages: a streaming BER reader for ContentInfo/SignedData that takes its
// input in pieces of any size. Constructed elements are followed on a stack of frames (definite ones
// bound everything inside them, indefinite ones end with end-of-contents octets); the content
// octets are hashed and handed out as they arrive, so a message of any size passes through with
// only the unread tail of the last piece kept. Certificates, CRLs and signer infos are read whole
// (definite lengths, within MaxMsgElementBytes).
#include "certnameInternal.h"
#include "digestPipe.h"
#include "msgImpl.h"
#include "msgReader.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace vsk::msg {

namespace {

using cert::Tlv;

// The step of the reader: what the next bytes must be.
enum class Step {
    CiSeq,
    CiType,
    CiExplicit,
    SdSeq,
    SdVersion,
    SdDigestAlgs,
    EciSeq,
    EciType,
    EciBody,
    ContentItem,
    ContentPrimitive,
    EciEnd,
    AfterEci,
    SetItems,
    SdEnd,
    CiExplicitEnd,
    CiEnd,
    Done,
};

// What the update calls are feeding.
enum class Phase { Message, Content, Finished };

enum class SetKind { Certs, Crls, Signers };

class Decoder final : public Message, private StreamReader {
public:
    Decoder(DWORD flags, HCRYPTPROV prov, const CMSG_STREAM_INFO* stream)
        : m_detachedFlag((flags & CMSG_DETACHED_FLAG) != 0), m_prov(prov) {
        m_streaming = stream != nullptr;
        if (stream) m_stream = *stream;
    }

    BOOL update(const BYTE* data, DWORD size, BOOL final) override;
    BOOL getParam(DWORD param, DWORD index, void* data, DWORD* size) override;
    BOOL control(DWORD flags, DWORD ctrlType, const void* para) override;
    bool readEncoderOutput(std::shared_ptr<EncodedContent> content) override;

private:
    DWORD step() override;
    DWORD content(const BYTE* data, size_t size);
    DWORD startDigests(const Tlv& set);
    DWORD checkProvider(ALG_ID alg) const;
    DWORD keep(size_t size);
    Bytes digestOf(const std::string& oid);
    Bytes encodedMessage() const;
    BOOL finishAll();

    const bool m_detachedFlag;
    const HCRYPTPROV m_prov;
    DWORD m_error = 0;  // a failed update breaks the message for good
    Phase m_phase = Phase::Message;
    Step m_step = Step::CiSeq;
    size_t m_contentDepth = 0;  // frame count with the eContent [0] on top
    unsigned m_stringsInContent = 0;
    uint64_t m_primitiveLeft = 0;
    SetKind m_setKind = SetKind::Certs;
    bool m_certsSeen = false, m_crlsSeen = false, m_signersDone = false;
    size_t m_kept = 0;

    bool m_typeKnown = false;
    Bytes m_version, m_digestAlgs, m_eContentTypeDer;
    std::string m_eContentType;
    DWORD m_versionValue = 0;
    bool m_hasContent = false;
    bool m_certsFrame = false, m_crlsFrame = false;
    std::vector<ContentDigest> m_digests;
    DigestPipe m_pipe{m_digests};  // after the digests: stops before they go
    // Set when the input is an encoder's own output: the content octets are counted, not hashed.
    std::shared_ptr<EncodedContent> m_encoded;
    uint64_t m_contentBytes = 0;
    std::vector<Bytes> m_certs, m_crls;
    std::vector<Bytes> m_signerRaw;
    std::vector<SignerRecord> m_signers;
};

DWORD Decoder::keep(size_t size) {
    if (size > MaxMsgKeptBytes - m_kept) return CRYPT_E_ASN1_LARGE;
    m_kept += size;
    return 0;
}

DWORD Decoder::checkProvider(ALG_ID alg) const {
    const DWORD saved = GetLastError();
    DWORD result = NTE_BAD_ALGID;
    HCRYPTHASH hash = 0;
    if (m_prov) {
        result = CryptCreateHash(m_prov, alg, 0, 0, &hash) ? 0 : GetLastError();
        if (hash) CryptDestroyHash(hash);
    } else {
        // The default: any registered provider that can make the digest.
        for (DWORD i = 0; result; ++i) {
            DWORD type = 0, nameSize = 0;
            if (!CryptEnumProvidersW(i, nullptr, 0, &type, nullptr, &nameSize)) break;
            std::u16string name(nameSize / sizeof(char16_t), u'\0');
            if (!CryptEnumProvidersW(i, nullptr, 0, &type, name.data(), &nameSize)) break;
            HCRYPTPROV prov = 0;
            if (!CryptAcquireContextW(&prov, nullptr, name.c_str(), type, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
                continue;
            if (CryptCreateHash(prov, alg, 0, 0, &hash)) {
                CryptDestroyHash(hash);
                result = 0;
            }
            CryptReleaseContext(prov, 0);
        }
    }
    SetLastError(saved);
    return result;
}

DWORD Decoder::startDigests(const Tlv& set) {
    cert::DerReader reader(set);
    Tlv alg;
    while (reader.next(alg)) {
        if (alg.tag != cert::TagSequence) return CRYPT_E_ASN1_BADTAG;
        cert::DerReader inner(alg);
        Tlv id;
        if (!inner.expect(cert::TagOid, id)) return inner.error();
        std::string oid;
        if (!cert::OidFromDer(id.contents, id.length, oid)) return CRYPT_E_ASN1_CORRUPT;
        if (std::any_of(m_digests.begin(), m_digests.end(),
                        [&](const ContentDigest& d) { return d.oid == oid; }))
            continue;
        ContentDigest digest;
        if (DWORD e = StartDigest(oid, digest)) return e;
        if (DWORD e = checkProvider(digest.alg)) return e;
        m_digests.push_back(std::move(digest));
    }
    return reader.failed() ? reader.error() : 0;
}

bool Decoder::readEncoderOutput(std::shared_ptr<EncodedContent> content) {
    if (!content || m_step != Step::CiSeq || m_phase != Phase::Message || m_error || tailSize())
        return false;
    m_encoded = std::move(content);
    return true;
}

DWORD Decoder::content(const BYTE* data, size_t size) {
    if (m_encoded)
        m_contentBytes += size;
    else
        m_pipe.push(data, size);
    if (!size) return 0;
    return emit(data, size, false) ? 0 : GetLastError();
}

DWORD Decoder::step() {
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
            if (oid != szOID_RSA_signedData) return CRYPT_E_INVALID_MSG_TYPE;
            m_typeKnown = true;
            m_step = Step::CiExplicit;
            return 0;
        }
        case Step::CiExplicit:
            if (DWORD e = peekHeader(h)) return e;
            if (h.tag != 0xA0) return CRYPT_E_ASN1_BADTAG;
            m_step = Step::SdSeq;
            return push(h);
        case Step::SdSeq:
            if (DWORD e = peekHeader(h)) return e;
            if (h.tag != cert::TagSequence) return CRYPT_E_ASN1_BADTAG;
            m_step = Step::SdVersion;
            return push(h);
        case Step::SdVersion:
            if (DWORD e = takeWhole(cert::TagInteger, t)) return e;
            if (t.length != 1 || t.contents[0] > 5) return CRYPT_E_ASN1_CORRUPT;
            m_versionValue = t.contents[0];
            m_version.assign(t.whole, t.whole + t.wholeLength);
            m_step = Step::SdDigestAlgs;
            return 0;
        case Step::SdDigestAlgs:
            if (DWORD e = takeWhole(cert::TagSet, t)) return e;
            if (DWORD e = keep(t.wholeLength)) return e;
            m_digestAlgs.assign(t.whole, t.whole + t.wholeLength);
            m_step = Step::EciSeq;
            return startDigests(t);
        case Step::EciSeq:
            if (DWORD e = peekHeader(h)) return e;
            if (h.tag != cert::TagSequence) return CRYPT_E_ASN1_BADTAG;
            m_step = Step::EciType;
            return push(h);
        case Step::EciType:
            if (DWORD e = takeWhole(cert::TagOid, t)) return e;
            if (!cert::OidFromDer(t.contents, t.length, m_eContentType)) return CRYPT_E_ASN1_CORRUPT;
            m_eContentTypeDer.assign(t.whole, t.whole + t.wholeLength);
            m_step = Step::EciBody;
            return 0;
        case Step::EciBody:
            if (DWORD e = atFrameEnd(ended)) return e;
            if (ended) {
                pop();
                m_step = Step::AfterEci;
                return 0;
            }
            if (DWORD e = peekHeader(h)) return e;
            if (h.tag != 0xA0) return CRYPT_E_ASN1_BADTAG;
            m_hasContent = true;
            m_step = Step::ContentItem;
            if (DWORD e = push(h)) return e;
            m_contentDepth = depth();
            return 0;
        case Step::ContentItem:
            if (DWORD e = atFrameEnd(ended)) return e;
            if (ended) {
                const bool explicitTag = depth() == m_contentDepth;
                if (explicitTag && m_stringsInContent == 0) return CRYPT_E_ASN1_CORRUPT;
                pop();
                if (explicitTag) m_step = Step::EciEnd;
                return 0;
            }
            if (DWORD e = peekHeader(h)) return e;
            // The explicit [0] holds one OCTET STRING (of segments or not).
            if (depth() == m_contentDepth && m_stringsInContent++) return CRYPT_E_ASN1_CORRUPT;
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
            if (!m_primitiveLeft) m_step = Step::ContentItem;
            return content(at, n);
        }
        case Step::EciEnd:
            if (DWORD e = atFrameEnd(ended)) return e;
            if (!ended) return CRYPT_E_ASN1_CORRUPT;
            pop();
            m_step = Step::AfterEci;
            return 0;
        case Step::AfterEci:
            if (DWORD e = peekHeader(h)) return e;
            if (h.tag == 0xA0 && !m_certsFrame && !m_crlsFrame) {
                m_certsFrame = true;
                m_setKind = SetKind::Certs;
            } else if (h.tag == 0xA1 && !m_crlsFrame) {
                m_crlsFrame = true;
                m_setKind = SetKind::Crls;
            } else if (h.tag == cert::TagSet) {
                m_setKind = SetKind::Signers;
            } else {
                return CRYPT_E_ASN1_BADTAG;
            }
            m_step = Step::SetItems;
            return push(h);
        case Step::SetItems: {
            if (DWORD e = atFrameEnd(ended)) return e;
            if (ended) {
                pop();
                if (m_setKind == SetKind::Signers) {
                    m_signersDone = true;
                    m_step = Step::SdEnd;
                } else {
                    m_step = Step::AfterEci;
                }
                return 0;
            }
            if (DWORD e = peekHeader(h)) return e;
            if (DWORD e = takeWhole(h.tag, t)) return e;
            if (DWORD e = keep(t.wholeLength)) return e;
            Bytes raw(t.whole, t.whole + t.wholeLength);
            if (m_setKind == SetKind::Certs) {
                if (t.tag != cert::TagSequence) return CRYPT_E_ASN1_BADTAG;
                m_certs.push_back(std::move(raw));
            } else if (m_setKind == SetKind::Crls) {
                if (t.tag != cert::TagSequence) return CRYPT_E_ASN1_BADTAG;
                m_crls.push_back(std::move(raw));
            } else {
                SignerRecord signer;
                if (DWORD e = ParseSignerInfo(raw.data(), raw.size(), signer)) return e;
                m_signers.push_back(std::move(signer));
                m_signerRaw.push_back(std::move(raw));
            }
            return 0;
        }
        case Step::SdEnd:
        case Step::CiExplicitEnd:
        case Step::CiEnd:
            if (DWORD e = atFrameEnd(ended)) return e;
            if (!ended) return CRYPT_E_ASN1_CORRUPT;
            pop();
            m_step = m_step == Step::SdEnd           ? Step::CiExplicitEnd
                     : m_step == Step::CiExplicitEnd ? Step::CiEnd
                                                     : Step::Done;
            return 0;
        case Step::Done:
            return available() ? CRYPT_E_MSG_ERROR : kMore;
    }
    return CRYPT_E_MSG_ERROR;
}

BOOL Decoder::finishAll() {
    m_pipe.drain();
    if (m_encoded && m_hasContent) {
        // The encoder's digests stand for the content only when it is the very content the encoder
        // wrote: all of it, the encoder finished, a digest for every algorithm.
        std::lock_guard lock(m_encoded->mutex);
        if (!m_encoded->finished || m_encoded->bytes != m_contentBytes) return Fail(CRYPT_E_MSG_ERROR);
        for (ContentDigest& d : m_digests) {
            const auto found = std::find_if(m_encoded->digests.begin(), m_encoded->digests.end(),
                                            [&](const auto& e) { return e.first == d.oid; });
            if (found == m_encoded->digests.end()) return Fail(CRYPT_E_MSG_ERROR);
            d.value = found->second;
            d.finished = true;
        }
    }
    for (ContentDigest& d : m_digests) d.finish();
    m_phase = Phase::Finished;
    return emit(nullptr, 0, true);
}

BOOL Decoder::update(const BYTE* data, DWORD size, BOOL final) {
    if (m_error) return Fail(m_error);
    if (size && !data) return Fail(ERROR_INVALID_PARAMETER);
    DWORD e = 0;
    if (m_phase == Phase::Message) {
        if (size) e = feed(data, size);
        if (!e && final) {
            if (m_step != Step::Done)
                e = CRYPT_E_STREAM_INSUFFICIENT_DATA;
            else if (m_detachedFlag && !m_hasContent)
                m_phase = Phase::Content;
            else if (!finishAll())
                e = GetLastError();
        }
    } else if (m_phase == Phase::Content) {
        m_pipe.push(data, size);
        if (final && !finishAll()) e = GetLastError();
    } else {
        e = CRYPT_E_MSG_ERROR;
    }
    if (e) {
        m_error = e;
        return Fail(e);
    }
    return TRUE;
}

Bytes Decoder::digestOf(const std::string& oid) {
    m_pipe.drain();
    // Content counted for the encoder's digests and not hashed here: no digest before the end.
    if (m_encoded && m_hasContent && m_phase != Phase::Finished) return {};
    for (ContentDigest& d : m_digests) {
        if (d.oid != oid) continue;
        if (d.finished) return d.value;
        // The content so far (a detached message whose content was not fed): a copy is finished so
        // that more content can still come.
        ContentDigest copy;
        copy.ctx.reset(EVP_MD_CTX_new());
        if (!copy.ctx || EVP_MD_CTX_copy_ex(copy.ctx.get(), d.ctx.get()) != 1) return {};
        return copy.finish();
    }
    return {};
}

// ---- Parameters ----------------------------------------------------------------------------------

CRYPT_DATA_BLOB Blob(cert::Arena& a, const Bytes& bytes) {
    CRYPT_DATA_BLOB b{};
    b.cbData = static_cast<DWORD>(bytes.size());
    b.pbData = bytes.empty() ? nullptr : a.bytes(bytes);
    return b;
}

CRYPT_ALGORITHM_IDENTIFIER Algorithm(cert::Arena& a, const std::string& oid, const Bytes& params) {
    CRYPT_ALGORITHM_IDENTIFIER id{};
    id.pszObjId = a.str(oid);
    id.Parameters = Blob(a, params);
    return id;
}

CRYPT_ATTRIBUTES Attributes(cert::Arena& a, const std::vector<Attribute>& attrs) {
    CRYPT_ATTRIBUTES out{};
    out.cAttr = static_cast<DWORD>(attrs.size());
    if (attrs.empty()) return out;
    out.rgAttr = a.array<CRYPT_ATTRIBUTE>(attrs.size());
    for (size_t i = 0; i < attrs.size(); ++i) {
        out.rgAttr[i].pszObjId = a.str(attrs[i].oid);
        out.rgAttr[i].cValue = static_cast<DWORD>(attrs[i].values.size());
        out.rgAttr[i].rgValue = a.array<CRYPT_ATTR_BLOB>(attrs[i].values.size());
        for (size_t v = 0; v < attrs[i].values.size(); ++v)
            out.rgAttr[i].rgValue[v] = Blob(a, attrs[i].values[v]);
    }
    return out;
}

Bytes Decoder::encodedMessage() const {
    Bytes eci = m_eContentTypeDer;
    if (m_hasContent && !m_detachedFlag) {
        cert::PutTlv(eci, 0xA0, cert::MakeTlv(cert::TagOctetString, m_collected));
    }
    Bytes sd = m_version;
    sd.insert(sd.end(), m_digestAlgs.begin(), m_digestAlgs.end());
    cert::PutTlv(sd, cert::TagSequence, eci);
    auto set = [&](BYTE tag, const std::vector<Bytes>& items) {
        Bytes contents;
        for (const Bytes& b : items) contents.insert(contents.end(), b.begin(), b.end());
        cert::PutTlv(sd, tag, contents);
    };
    if (m_certsFrame) set(0xA0, m_certs);
    if (m_crlsFrame) set(0xA1, m_crls);
    set(cert::TagSet, m_signerRaw);
    Bytes ci = DerOid(szOID_RSA_signedData);
    cert::PutTlv(ci, 0xA0, cert::MakeTlv(cert::TagSequence, sd));
    return cert::MakeTlv(cert::TagSequence, ci);
}

BOOL Decoder::getParam(DWORD param, DWORD index, void* data, DWORD* size) {
    if (!size) return Fail(ERROR_INVALID_PARAMETER);
    const bool complete = m_step == Step::Done;
    auto signerAt = [&](DWORD i) -> const SignerRecord* {
        if (!m_signersDone) {
            SetLastError(CRYPT_E_STREAM_MSG_NOT_READY);
            return nullptr;
        }
        if (i >= m_signers.size()) {
            SetLastError(CRYPT_E_INVALID_INDEX);
            return nullptr;
        }
        return &m_signers[i];
    };
    switch (param) {
        case CMSG_TYPE_PARAM:
            if (!m_typeKnown) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            return DeliverDword(CMSG_SIGNED, data, size);
        case CMSG_VERSION_PARAM:
            if (m_step <= Step::SdVersion) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            return DeliverDword(m_versionValue, data, size);
        case CMSG_INNER_CONTENT_TYPE_PARAM:
            if (m_step <= Step::EciType) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            return DeliverBytes(reinterpret_cast<const BYTE*>(m_eContentType.c_str()),
                                m_eContentType.size() + 1, data, size);
        case CMSG_CONTENT_PARAM:
            // A streamed message hands its content to the callback and keeps none.
            if (m_streaming || m_phase != Phase::Finished) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            return DeliverBytes(m_collected.data(), m_collected.size(), data, size);
        case CMSG_SIGNER_COUNT_PARAM:
            if (!m_signersDone) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            return DeliverDword(static_cast<DWORD>(m_signers.size()), data, size);
        case CMSG_CERT_COUNT_PARAM:
        case CMSG_CRL_COUNT_PARAM:
            if (!m_signersDone) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            return DeliverDword(
                static_cast<DWORD>(param == CMSG_CERT_COUNT_PARAM ? m_certs.size() : m_crls.size()), data,
                size);
        case CMSG_CERT_PARAM:
        case CMSG_CRL_PARAM: {
            if (!m_signersDone) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            const std::vector<Bytes>& list = param == CMSG_CERT_PARAM ? m_certs : m_crls;
            if (index >= list.size()) return Fail(CRYPT_E_INVALID_INDEX);
            return DeliverBytes(list[index].data(), list[index].size(), data, size);
        }
        case CMSG_ENCODED_MESSAGE: {
            if (!complete) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            // An attached message read as a stream has passed its content on and cannot re-encode it.
            if (m_hasContent && !m_detachedFlag && m_streaming) return Fail(CRYPT_E_MSG_ERROR);
            const Bytes encoded = encodedMessage();
            return DeliverBytes(encoded.data(), encoded.size(), data, size);
        }
        case CMSG_SIGNER_INFO_PARAM: {
            const SignerRecord* s = signerAt(index);
            if (!s) return FALSE;
            return cert::DeliverBlock(
                [&](cert::Arena& a) {
                    auto* info = a.array<CMSG_SIGNER_INFO>(1);
                    info->dwVersion = s->version;
                    info->Issuer = Blob(a, s->issuer);
                    info->SerialNumber = Blob(a, s->byKeyId ? s->keyId : s->serialLe);
                    info->HashAlgorithm = Algorithm(a, s->digestOid, s->digestParams);
                    info->HashEncryptionAlgorithm = Algorithm(a, s->signatureOid, s->signatureParams);
                    info->EncryptedHash = Blob(a, s->signature);
                    info->AuthAttrs = Attributes(a, s->authAttrs);
                    info->UnauthAttrs = Attributes(a, s->unauthAttrs);
                },
                0, nullptr, data, size);
        }
        case CMSG_CMS_SIGNER_INFO_PARAM: {
            const SignerRecord* s = signerAt(index);
            if (!s) return FALSE;
            return cert::DeliverBlock(
                [&](cert::Arena& a) {
                    auto* info = a.array<CMSG_CMS_SIGNER_INFO>(1);
                    info->dwVersion = s->version;
                    if (s->byKeyId) {
                        info->SignerId.dwIdChoice = CERT_ID_KEY_IDENTIFIER;
                        info->SignerId.KeyId = Blob(a, s->keyId);
                    } else {
                        info->SignerId.dwIdChoice = CERT_ID_ISSUER_SERIAL_NUMBER;
                        info->SignerId.IssuerSerialNumber.Issuer = Blob(a, s->issuer);
                        info->SignerId.IssuerSerialNumber.SerialNumber = Blob(a, s->serialLe);
                    }
                    info->HashAlgorithm = Algorithm(a, s->digestOid, s->digestParams);
                    info->HashEncryptionAlgorithm = Algorithm(a, s->signatureOid, s->signatureParams);
                    info->EncryptedHash = Blob(a, s->signature);
                    info->AuthAttrs = Attributes(a, s->authAttrs);
                    info->UnauthAttrs = Attributes(a, s->unauthAttrs);
                },
                0, nullptr, data, size);
        }
        case CMSG_SIGNER_CERT_INFO_PARAM: {
            const SignerRecord* s = signerAt(index);
            if (!s) return FALSE;
            return cert::DeliverBlock(
                [&](cert::Arena& a) {
                    auto* info = a.array<CERT_INFO>(1);
                    info->Issuer = Blob(a, s->issuer);
                    info->SerialNumber = Blob(a, s->byKeyId ? s->keyId : s->serialLe);
                },
                0, nullptr, data, size);
        }
        case CMSG_SIGNER_HASH_ALGORITHM_PARAM: {
            const SignerRecord* s = signerAt(index);
            if (!s) return FALSE;
            return cert::DeliverBlock(
                [&](cert::Arena& a) {
                    auto* id = a.array<CRYPT_ALGORITHM_IDENTIFIER>(1);
                    *id = Algorithm(a, s->digestOid, s->digestParams);
                },
                0, nullptr, data, size);
        }
        case CMSG_SIGNER_AUTH_ATTR_PARAM:
        case CMSG_SIGNER_UNAUTH_ATTR_PARAM: {
            const SignerRecord* s = signerAt(index);
            if (!s) return FALSE;
            const auto& attrs = param == CMSG_SIGNER_AUTH_ATTR_PARAM ? s->authAttrs : s->unauthAttrs;
            // CryptoAPI answers a signer without such attributes with CRYPT_E_ATTRIBUTES_MISSING.
            if (attrs.empty()) return Fail(CRYPT_E_ATTRIBUTES_MISSING);
            return cert::DeliverBlock(
                [&](cert::Arena& a) {
                    auto* out = a.array<CRYPT_ATTRIBUTES>(1);
                    *out = Attributes(a, attrs);
                },
                0, nullptr, data, size);
        }
        default:
            return Fail(CRYPT_E_INVALID_MSG_TYPE);
    }
}

BOOL Decoder::control(DWORD, DWORD ctrlType, const void* para) {
    const CERT_PUBLIC_KEY_INFO* key = nullptr;
    DWORD index = 0;
    if (!para) return Fail(static_cast<DWORD>(E_INVALIDARG));
    if (ctrlType == CMSG_CTRL_VERIFY_SIGNATURE_EX) {
        const auto* p = static_cast<const CMSG_CTRL_VERIFY_SIGNATURE_EX_PARA*>(para);
        if (p->cbSize < sizeof *p || !p->pvSigner) return Fail(static_cast<DWORD>(E_INVALIDARG));
        index = p->dwSignerIndex;
        if (p->dwSignerType == CMSG_VERIFY_SIGNER_PUBKEY) {
            key = static_cast<const CERT_PUBLIC_KEY_INFO*>(p->pvSigner);
        } else if (p->dwSignerType == CMSG_VERIFY_SIGNER_CERT) {
            const auto* cert = static_cast<PCCERT_CONTEXT>(p->pvSigner);
            if (!cert->pCertInfo) return Fail(static_cast<DWORD>(E_INVALIDARG));
            key = &cert->pCertInfo->SubjectPublicKeyInfo;
        } else {
            return Fail(static_cast<DWORD>(E_INVALIDARG));
        }
    } else if (ctrlType == CMSG_CTRL_VERIFY_SIGNATURE) {
        // The signer whose issuer and serial number are the CERT_INFO's.
        const auto* info = static_cast<const CERT_INFO*>(para);
        key = &info->SubjectPublicKeyInfo;
        if (!m_signersDone) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
        const Bytes issuer(info->Issuer.pbData, info->Issuer.pbData + info->Issuer.cbData);
        const Bytes serial(info->SerialNumber.pbData, info->SerialNumber.pbData + info->SerialNumber.cbData);
        index = static_cast<DWORD>(m_signers.size());
        for (size_t i = 0; i < m_signers.size(); ++i)
            if (!m_signers[i].byKeyId && m_signers[i].issuer == issuer && m_signers[i].serialLe == serial)
                index = static_cast<DWORD>(i);
        if (index == m_signers.size()) return Fail(CRYPT_E_SIGNER_NOT_FOUND);
    } else {
        return Fail(CRYPT_E_CONTROL_TYPE);
    }
    if (!m_signersDone) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
    if (index >= m_signers.size()) return Fail(CRYPT_E_SIGNER_NOT_FOUND);
    const SignerRecord& signer = m_signers[index];
    const Bytes digest = digestOf(signer.digestOid);
    if (digest.empty()) return Fail(NTE_BAD_ALGID);
    if (DWORD e = VerifySigner(signer, SpkiDer(*key), digest)) return Fail(e);
    return TRUE;
}

}  // namespace

std::unique_ptr<Message> NewDecoder(DWORD flags, HCRYPTPROV prov, const CMSG_STREAM_INFO* stream) {
    return std::make_unique<Decoder>(flags, prov, stream);
}

}  // namespace vsk::msg
