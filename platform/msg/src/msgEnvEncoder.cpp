// The encoder of enveloped messages. The output is BER with indefinite lengths, written as it is
// made: on the first update the headers, the recipient infos and the content-encryption algorithm
// down to the encrypted content's constructed [0]; one OCTET STRING of ciphertext per update; on the
// final update the end-of-contents octets of the five open levels. Only the cipher state is kept
// between updates.
#include "envelopeKeys.h"
#include "msgImpl.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace vsk::msg {

namespace {

class EnvelopedEncoder final : public Message {
public:
    explicit EnvelopedEncoder(const CMSG_STREAM_INFO* stream) {
        m_streaming = stream != nullptr;
        if (stream) m_stream = *stream;
    }
    DWORD open(const CMSG_ENVELOPED_ENCODE_INFO& info);

    BOOL update(const BYTE* data, DWORD size, BOOL final) override;
    BOOL getParam(DWORD param, DWORD index, void* data, DWORD* size) override;
    BOOL control(DWORD, DWORD, const void*) override { return Fail(CRYPT_E_CONTROL_TYPE); }

private:
    Bytes m_head;  // everything before the first ciphertext segment
    ContentCipher m_cipher;
    Bytes m_buffer;  // ciphertext of one update
    bool m_started = false;
    bool m_finished = false;
    DWORD m_error = 0;
};

DWORD EnvelopedEncoder::open(const CMSG_ENVELOPED_ENCODE_INFO& info) {
    if (info.cbSize < sizeof info || !info.ContentEncryptionAlgorithm.pszObjId || info.pvEncryptionAuxInfo ||
        info.ContentEncryptionAlgorithm.Parameters.cbData || !info.cRecipients || !info.rgpRecipients)
        return static_cast<DWORD>(E_INVALIDARG);
    if (std::string(info.ContentEncryptionAlgorithm.pszObjId) != szOID_CP_GOST_28147)
        return CRYPT_E_UNKNOWN_ALGO;
    bool gost2001 = false;
    for (DWORD i = 0; i < info.cRecipients; ++i) {
        const CERT_INFO* r = info.rgpRecipients[i];
        if (!r || !r->Issuer.cbData || !r->SerialNumber.cbData || !r->SubjectPublicKeyInfo.Algorithm.pszObjId)
            return static_cast<DWORD>(E_INVALIDARG);
        gost2001 |= std::string(r->SubjectPublicKeyInfo.Algorithm.pszObjId) == szOID_CP_GOST_R3410;
    }
    ContentKey key;
    if (DWORD e = NewContentKey(key)) return e;
    Bytes params;
    if (DWORD e = NewContentParams(gost2001 ? szOID_Gost28147_CryptoProA : szOID_Gost28147_TC26Z, params))
        return e;
    if (DWORD e = m_cipher.start(key, params, true)) return e;

    std::vector<Bytes> recipients;
    for (DWORD i = 0; i < info.cRecipients; ++i) {
        const CERT_INFO& r = *info.rgpRecipients[i];
        Bytes transport;
        if (DWORD e = MakeKeyTransport(r.SubjectPublicKeyInfo, key, transport)) return e;
        Bytes contents{cert::TagInteger, 1, 0};
        Bytes rid(r.Issuer.pbData, r.Issuer.pbData + r.Issuer.cbData);
        Bytes serial(r.SerialNumber.pbData, r.SerialNumber.pbData + r.SerialNumber.cbData);
        std::reverse(serial.begin(), serial.end());  // CERT_INFO keeps it little-endian
        cert::PutTlv(rid, cert::TagInteger, serial);
        cert::PutTlv(contents, cert::TagSequence, rid);
        const CRYPT_ALGORITHM_IDENTIFIER& alg = r.SubjectPublicKeyInfo.Algorithm;
        const Bytes keyAlg = AlgorithmId(
            alg.pszObjId, Bytes(alg.Parameters.pbData, alg.Parameters.pbData + alg.Parameters.cbData));
        contents.insert(contents.end(), keyAlg.begin(), keyAlg.end());
        cert::PutTlv(contents, cert::TagOctetString, transport);
        recipients.push_back(cert::MakeTlv(cert::TagSequence, contents));
    }

    m_head = {cert::TagSequence, 0x80};
    const Bytes type = DerOid(szOID_RSA_envelopedData);
    m_head.insert(m_head.end(), type.begin(), type.end());
    m_head.insert(m_head.end(), {0xA0, 0x80, cert::TagSequence, 0x80, cert::TagInteger, 1, 0});
    const Bytes set = DerSetOf(cert::TagSet, std::move(recipients));
    m_head.insert(m_head.end(), set.begin(), set.end());
    m_head.insert(m_head.end(), {cert::TagSequence, 0x80});
    const Bytes inner = DerOid(szOID_RSA_data);
    m_head.insert(m_head.end(), inner.begin(), inner.end());
    const Bytes contentAlg = AlgorithmId(szOID_CP_GOST_28147, params);
    m_head.insert(m_head.end(), contentAlg.begin(), contentAlg.end());
    m_head.insert(m_head.end(), {0xA0, 0x80});
    return 0;
}

BOOL EnvelopedEncoder::update(const BYTE* data, DWORD size, BOOL final) {
    if (m_error) return Fail(m_error);
    if (m_finished) return Fail(CRYPT_E_MSG_ERROR);
    if (size && !data) return Fail(ERROR_INVALID_PARAMETER);
    DWORD e = 0;
    if (!m_started) {
        m_started = true;
        if (!emit(m_head.data(), m_head.size(), false)) e = GetLastError();
        m_head = Bytes();
    }
    if (!e && size) {
        m_buffer.clear();
        m_buffer.push_back(cert::TagOctetString);
        cert::PutLength(m_buffer, size);
        const size_t at = m_buffer.size();
        m_buffer.resize(at + size);
        e = m_cipher.update(data, size, m_buffer.data() + at);
        if (!e && !emit(m_buffer.data(), m_buffer.size(), false)) e = GetLastError();
    }
    if (!e && final) {
        m_finished = true;
        // The encrypted content's [0], encryptedContentInfo, EnvelopedData, the explicit [0], ContentInfo.
        static const BYTE tail[10] = {};
        if (!emit(tail, sizeof tail, true)) e = GetLastError();
        m_buffer = Bytes();
    }
    if (e) {
        m_error = e;
        return Fail(e);
    }
    return TRUE;
}

BOOL EnvelopedEncoder::getParam(DWORD param, DWORD, void* data, DWORD* size) {
    if (!size) return Fail(ERROR_INVALID_PARAMETER);
    switch (param) {
        case CMSG_TYPE_PARAM:
            return DeliverDword(CMSG_ENVELOPED, data, size);
        case CMSG_CONTENT_PARAM:
            if (m_streaming || !m_finished) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            return DeliverBytes(m_collected.data(), m_collected.size(), data, size);
        default:
            return Fail(CRYPT_E_INVALID_MSG_TYPE);
    }
}

}  // namespace

std::unique_ptr<Message> NewEnvelopedEncoder(const CMSG_ENVELOPED_ENCODE_INFO& info,
                                             const CMSG_STREAM_INFO* stream, DWORD& error) {
    auto encoder = std::make_unique<EnvelopedEncoder>(stream);
    error = encoder->open(info);
    if (error) return nullptr;
    return encoder;
}

}  // namespace vsk::msg
