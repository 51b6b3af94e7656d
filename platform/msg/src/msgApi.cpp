// The CryptMsg functions: handles over the encoder and decoder objects. A handle is the object's
// address, known in a table of live messages so that a stale or foreign handle fails cleanly;
// CryptMsgDuplicate adds a reference and CryptMsgClose drops one.
#include "certnameInternal.h"
#include "msgImpl.h"

#include <unordered_set>

namespace vsk::msg {
namespace {

std::mutex g_liveMutex;
std::unordered_set<Message*>& Live() {
    static std::unordered_set<Message*> live;
    return live;
}

HCRYPTMSG Register(std::unique_ptr<Message> msg) {
    std::lock_guard lock(g_liveMutex);
    Message* raw = msg.release();
    Live().insert(raw);
    return raw;
}

// The message of a live handle with a reference taken for the call, or null (ERROR_INVALID_HANDLE).
Message* Acquire(HCRYPTMSG handle) {
    std::lock_guard lock(g_liveMutex);
    auto* msg = static_cast<Message*>(handle);
    if (!handle || !Live().count(msg)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    ++msg->references;
    return msg;
}

void Release(Message* msg) {
    {
        std::lock_guard lock(g_liveMutex);
        if (--msg->references > 0) return;
        Live().erase(msg);
    }
    delete msg;
}

struct Held {
    Message* msg;
    explicit Held(HCRYPTMSG handle) : msg(Acquire(handle)) {}
    ~Held() {
        if (msg) Release(msg);
    }
};

// A decoder opened without a message type: it keeps the first bytes until the ContentInfo's type is
// there, then hands them and everything after to the decoder of that type.
class AnyDecoder final : public Message {
public:
    AnyDecoder(DWORD flags, HCRYPTPROV prov, const CMSG_STREAM_INFO* stream) : m_flags(flags), m_prov(prov) {
        m_streaming = stream != nullptr;
        if (stream) m_stream = *stream;
    }
    BOOL update(const BYTE* data, DWORD size, BOOL final) override {
        if (m_inner) return m_inner->update(data, size, final);
        if (m_error) return Fail(m_error);
        if (size && !data) return Fail(ERROR_INVALID_PARAMETER);
        m_head.insert(m_head.end(), data, data + size);
        DWORD type = 0;
        DWORD e = sniff(type);
        if (e == kWait) {
            if (!final) return TRUE;
            e = CRYPT_E_STREAM_INSUFFICIENT_DATA;
        }
        if (e) {
            m_error = e;
            m_head = Bytes();
            return Fail(e);
        }
        const CMSG_STREAM_INFO* stream = m_streaming ? &m_stream : nullptr;
        m_inner = type == CMSG_SIGNED ? NewDecoder(m_flags, m_prov, stream) : NewEnvelopedDecoder(stream);
        if (m_encoded) m_inner->readEncoderOutput(std::move(m_encoded));
        Bytes head;
        head.swap(m_head);
        return m_inner->update(head.data(), static_cast<DWORD>(head.size()), final);
    }
    BOOL getParam(DWORD param, DWORD index, void* data, DWORD* size) override {
        if (m_inner) return m_inner->getParam(param, index, data, size);
        if (!size) return Fail(ERROR_INVALID_PARAMETER);
        return Fail(m_error ? m_error : CRYPT_E_STREAM_MSG_NOT_READY);
    }
    BOOL control(DWORD flags, DWORD ctrlType, const void* para) override {
        if (m_inner) return m_inner->control(flags, ctrlType, para);
        return Fail(m_error ? m_error : CRYPT_E_STREAM_MSG_NOT_READY);
    }
    bool readEncoderOutput(std::shared_ptr<EncodedContent> content) override {
        if (m_inner) return m_inner->readEncoderOutput(std::move(content));
        if (!content || m_error || !m_head.empty()) return false;
        m_encoded = std::move(content);
        return true;
    }

private:
    static constexpr DWORD kWait = 1;
    // The type of the ContentInfo whose beginning m_head holds: kWait when more is needed.
    DWORD sniff(DWORD& type) const {
        const Bytes& h = m_head;
        if (h.empty()) return kWait;
        if (h[0] != cert::TagSequence) return CRYPT_E_ASN1_BADTAG;
        if (h.size() < 2) return kWait;
        size_t at = 2;
        if (h[1] > 0x80) at += h[1] & 0x7F;
        if (h[1] > 0x88) return CRYPT_E_ASN1_CORRUPT;
        if (h.size() < at + 2) return kWait;
        if (h[at] != cert::TagOid) return CRYPT_E_ASN1_BADTAG;
        const size_t length = h[at + 1];
        if (length >= 0x80) return CRYPT_E_ASN1_CORRUPT;
        if (h.size() < at + 2 + length) return kWait;
        std::string oid;
        if (!cert::OidFromDer(h.data() + at + 2, length, oid)) return CRYPT_E_ASN1_CORRUPT;
        if (oid == szOID_RSA_signedData)
            type = CMSG_SIGNED;
        else if (oid == szOID_RSA_envelopedData)
            type = CMSG_ENVELOPED;
        else
            return CRYPT_E_INVALID_MSG_TYPE;
        return 0;
    }

    const DWORD m_flags;
    const HCRYPTPROV m_prov;
    std::unique_ptr<Message> m_inner;
    std::shared_ptr<EncodedContent> m_encoded;
    Bytes m_head;
    DWORD m_error = 0;
};

bool GoodEncoding(DWORD encodingType) {
    return (encodingType & PKCS_7_ASN_ENCODING) != 0;
}

}  // namespace

std::unique_ptr<Message> NewAnyDecoder(DWORD flags, HCRYPTPROV prov, const CMSG_STREAM_INFO* stream) {
    return std::make_unique<AnyDecoder>(flags, prov, stream);
}

}  // namespace vsk::msg

using namespace vsk::msg;

HCRYPTMSG CryptMsgOpenToEncode(DWORD encodingType, DWORD flags, DWORD msgType, const void* pvMsgEncodeInfo,
                               LPSTR pszInnerContentObjID, PCMSG_STREAM_INFO pStreamInfo) {
    if (!GoodEncoding(encodingType)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    if (msgType != CMSG_SIGNED && msgType != CMSG_ENVELOPED) {
        SetLastError(CRYPT_E_INVALID_MSG_TYPE);
        return nullptr;
    }
    if (!pvMsgEncodeInfo || (pszInnerContentObjID && std::string(pszInnerContentObjID) != szOID_RSA_data)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    DWORD error = 0;
    auto msg = msgType == CMSG_SIGNED
                   ? NewEncoder(flags, *static_cast<const CMSG_SIGNED_ENCODE_INFO*>(pvMsgEncodeInfo),
                                pStreamInfo, error)
                   : NewEnvelopedEncoder(*static_cast<const CMSG_ENVELOPED_ENCODE_INFO*>(pvMsgEncodeInfo),
                                         pStreamInfo, error);
    if (!msg) {
        SetLastError(error);
        return nullptr;
    }
    return Register(std::move(msg));
}

HCRYPTMSG CryptMsgOpenToDecode(DWORD encodingType, DWORD flags, DWORD msgType, HCRYPTPROV_LEGACY hCryptProv,
                               PCERT_INFO pRecipientInfo, PCMSG_STREAM_INFO pStreamInfo) {
    if (!GoodEncoding(encodingType) || pRecipientInfo) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return nullptr;
    }
    switch (msgType) {
        case 0:
            return Register(NewAnyDecoder(flags, hCryptProv, pStreamInfo));
        case CMSG_SIGNED:
            return Register(NewDecoder(flags, hCryptProv, pStreamInfo));
        case CMSG_ENVELOPED:
            return Register(NewEnvelopedDecoder(pStreamInfo));
        default:
            SetLastError(CRYPT_E_INVALID_MSG_TYPE);
            return nullptr;
    }
}

BOOL CryptMsgUpdate(HCRYPTMSG msg, const BYTE* data, DWORD size, BOOL final) {
    Held held(msg);
    if (!held.msg) return FALSE;
    std::lock_guard lock(held.msg->mutex);
    return held.msg->update(data, size, final);
}

BOOL CryptMsgGetParam(HCRYPTMSG msg, DWORD param, DWORD index, void* data, DWORD* size) {
    Held held(msg);
    if (!held.msg) return FALSE;
    std::lock_guard lock(held.msg->mutex);
    return held.msg->getParam(param, index, data, size);
}

BOOL CryptMsgControl(HCRYPTMSG msg, DWORD flags, DWORD ctrlType, const void* ctrlPara) {
    Held held(msg);
    if (!held.msg) return FALSE;
    std::lock_guard lock(held.msg->mutex);
    return held.msg->control(flags, ctrlType, ctrlPara);
}

HCRYPTMSG CryptMsgDuplicate(HCRYPTMSG msg) {
    Message* m = Acquire(msg);
    return m;  // the reference taken stays with the duplicate
}

BOOL VskCryptMsgReadEncoderOutput(HCRYPTMSG decoder, HCRYPTMSG encoder) {
    Held reader(decoder), writer(encoder);
    if (!reader.msg || !writer.msg) return FALSE;
    std::shared_ptr<EncodedContent> content;
    {
        std::lock_guard lock(writer.msg->mutex);
        content = writer.msg->encodedContent();
    }
    std::lock_guard lock(reader.msg->mutex);
    if (!content || !reader.msg->readEncoderOutput(std::move(content)))
        return Fail(static_cast<DWORD>(E_INVALIDARG));
    return TRUE;
}

BOOL CryptMsgClose(HCRYPTMSG msg) {
    if (!msg) return TRUE;
    Message* m = Acquire(msg);
    if (!m) return FALSE;
    Release(m);
    Release(m);
    return TRUE;
}
