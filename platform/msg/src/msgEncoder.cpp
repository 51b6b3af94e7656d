// The encoder of signed messages. The output is BER with indefinite lengths, written as it is made:
// the headers down to the content on the first update, one OCTET STRING segment per update of an
// attached message, and on the final update the end of the content, the certificates, CRLs and the
// signer infos, signed with the keys of the signers' provider contexts. Only the content digests
// are kept between updates; a large content is hashed on a thread of its own while the caller goes on.
#include "digestPipe.h"
#include "msgImpl.h"

#include <algorithm>

namespace vsk::msg {

namespace {

struct SignerPlan {
    Bytes issuer;    // the Name's DER
    Bytes serialBe;  // the INTEGER's contents
    std::string hashOid;
    ALG_ID hashAlg = 0;
    HCRYPTPROV prov = 0;
    DWORD keySpec = 0;
    std::string keyOid;  // the certificate's public-key algorithm: the signatureAlgorithm
    std::vector<Bytes> authAttrs;
    std::vector<Bytes> unauthAttrs;
    size_t digest = 0;  // index into the content digests
};

Bytes AttributeDer(const CRYPT_ATTRIBUTE& attr) {
    std::vector<Bytes> values;
    for (DWORD i = 0; i < attr.cValue; ++i)
        values.emplace_back(attr.rgValue[i].pbData, attr.rgValue[i].pbData + attr.rgValue[i].cbData);
    Bytes contents = DerOid(attr.pszObjId);
    const Bytes set = DerSetOf(cert::TagSet, std::move(values));
    contents.insert(contents.end(), set.begin(), set.end());
    return cert::MakeTlv(cert::TagSequence, contents);
}

Bytes AttributeDer(const std::string& oid, const Bytes& value) {
    Bytes contents = DerOid(oid);
    cert::PutTlv(contents, cert::TagSet, value);
    return cert::MakeTlv(cert::TagSequence, contents);
}

const Bytes kNull{cert::TagNull, 0};

struct HashHandle {
    HCRYPTHASH h = 0;
    ~HashHandle() {
        if (h) CryptDestroyHash(h);
    }
};

class Encoder final : public Message {
public:
    Encoder(DWORD flags, const CMSG_STREAM_INFO* stream) : m_detached((flags & CMSG_DETACHED_FLAG) != 0) {
        m_streaming = stream != nullptr;
        if (stream) m_stream = *stream;
    }
    DWORD open(const CMSG_SIGNED_ENCODE_INFO& info);

    BOOL update(const BYTE* data, DWORD size, BOOL final) override;
    BOOL getParam(DWORD param, DWORD index, void* data, DWORD* size) override;
    BOOL control(DWORD, DWORD, const void*) override { return Fail(CRYPT_E_CONTROL_TYPE); }
    std::shared_ptr<EncodedContent> encodedContent() override { return m_content; }

private:
    DWORD sign(const SignerPlan& plan, Bytes& signerInfo);
    DWORD finish();

    const bool m_detached;
    std::vector<ContentDigest> m_digests;
    DigestPipe m_pipe{m_digests};  // after the digests: stops before they go
    const std::shared_ptr<EncodedContent> m_content = std::make_shared<EncodedContent>();
    std::vector<SignerPlan> m_signers;
    std::vector<Bytes> m_certs, m_crls;
    bool m_started = false;
    bool m_finished = false;
    DWORD m_error = 0;
};

DWORD Encoder::open(const CMSG_SIGNED_ENCODE_INFO& info) {
    if (info.cbSize < sizeof info || (info.cSigners && !info.rgSigners) ||
        (info.cCertEncoded && !info.rgCertEncoded) || (info.cCrlEncoded && !info.rgCrlEncoded))
        return static_cast<DWORD>(E_INVALIDARG);
    for (DWORD i = 0; i < info.cSigners; ++i) {
        const CMSG_SIGNER_ENCODE_INFO& s = info.rgSigners[i];
        if (s.cbSize < sizeof s || !s.pCertInfo || !s.HashAlgorithm.pszObjId || s.pvHashAuxInfo ||
            !s.pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId || (s.cAuthAttr && !s.rgAuthAttr) ||
            (s.cUnauthAttr && !s.rgUnauthAttr))
            return static_cast<DWORD>(E_INVALIDARG);
        SignerPlan plan;
        plan.issuer.assign(s.pCertInfo->Issuer.pbData,
                           s.pCertInfo->Issuer.pbData + s.pCertInfo->Issuer.cbData);
        plan.serialBe.assign(s.pCertInfo->SerialNumber.pbData,
                             s.pCertInfo->SerialNumber.pbData + s.pCertInfo->SerialNumber.cbData);
        std::reverse(plan.serialBe.begin(), plan.serialBe.end());
        if (plan.issuer.empty() || plan.serialBe.empty()) return static_cast<DWORD>(E_INVALIDARG);
        plan.hashOid = s.HashAlgorithm.pszObjId;
        plan.prov = s.hCryptProv;
        plan.keySpec = s.dwKeySpec;
        plan.keyOid = s.pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
        for (DWORD a = 0; a < s.cAuthAttr; ++a) plan.authAttrs.push_back(AttributeDer(s.rgAuthAttr[a]));
        for (DWORD a = 0; a < s.cUnauthAttr; ++a) plan.unauthAttrs.push_back(AttributeDer(s.rgUnauthAttr[a]));
        auto found = std::find_if(m_digests.begin(), m_digests.end(),
                                  [&](const ContentDigest& d) { return d.oid == plan.hashOid; });
        plan.digest = static_cast<size_t>(found - m_digests.begin());
        if (found == m_digests.end()) {
            ContentDigest digest;
            if (DWORD e = StartDigest(plan.hashOid, digest)) return e;
            m_digests.push_back(std::move(digest));
        }
        plan.hashAlg = m_digests[plan.digest].alg;
        // The signer's provider must make the digest and hold the key now, not at the final update.
        HashHandle hash;
        if (!CryptCreateHash(plan.prov, plan.hashAlg, 0, 0, &hash.h)) return GetLastError();
        HCRYPTKEY key = 0;
        if (!CryptGetUserKey(plan.prov, plan.keySpec, &key)) return GetLastError();
        CryptDestroyKey(key);
        m_signers.push_back(std::move(plan));
    }
    for (DWORD i = 0; i < info.cCertEncoded; ++i)
        m_certs.emplace_back(info.rgCertEncoded[i].pbData,
                             info.rgCertEncoded[i].pbData + info.rgCertEncoded[i].cbData);
    for (DWORD i = 0; i < info.cCrlEncoded; ++i)
        m_crls.emplace_back(info.rgCrlEncoded[i].pbData,
                            info.rgCrlEncoded[i].pbData + info.rgCrlEncoded[i].cbData);
    return 0;
}

DWORD Encoder::sign(const SignerPlan& plan, Bytes& signerInfo) {
    const Bytes& digest = m_digests[plan.digest].finish();
    HashHandle hash;
    if (!CryptCreateHash(plan.prov, plan.hashAlg, 0, 0, &hash.h)) return GetLastError();
    Bytes attrs;
    if (!plan.authAttrs.empty()) {
        // CryptoAPI adds contentType and messageDigest to the caller's attributes (and no
        // SMIMECapabilities); the signature covers their DER SET OF.
        std::vector<Bytes> all = plan.authAttrs;
        all.push_back(AttributeDer(szOID_RSA_contentType, DerOid(szOID_RSA_data)));
        all.push_back(AttributeDer(szOID_RSA_messageDigest, cert::MakeTlv(cert::TagOctetString, digest)));
        attrs = DerSetOf(cert::TagSet, std::move(all));
        if (!CryptHashData(hash.h, attrs.data(), static_cast<DWORD>(attrs.size()), 0)) return GetLastError();
        attrs[0] = 0xA0;
    } else if (!CryptSetHashParam(hash.h, HP_HASHVAL, digest.data(), 0)) {
        return GetLastError();
    }
    DWORD size = 0;
    if (!CryptSignHashW(hash.h, plan.keySpec, nullptr, 0, nullptr, &size)) return GetLastError();
    Bytes signature(size);
    if (!CryptSignHashW(hash.h, plan.keySpec, nullptr, 0, signature.data(), &size)) return GetLastError();
    signature.resize(size);
    // CryptoAPI order (little-endian) to the order of CMS (for GOST the s||r big-endian).
    std::reverse(signature.begin(), signature.end());

    Bytes contents{cert::TagInteger, 1, CMSG_SIGNER_INFO_V1};
    Bytes sid = plan.issuer;
    cert::PutTlv(sid, cert::TagInteger, plan.serialBe);
    cert::PutTlv(contents, cert::TagSequence, sid);
    const Bytes digestAlg = AlgorithmId(plan.hashOid, kNull);
    contents.insert(contents.end(), digestAlg.begin(), digestAlg.end());
    contents.insert(contents.end(), attrs.begin(), attrs.end());
    const Bytes signatureAlg = AlgorithmId(plan.keyOid, kNull);
    contents.insert(contents.end(), signatureAlg.begin(), signatureAlg.end());
    cert::PutTlv(contents, cert::TagOctetString, signature);
    if (!plan.unauthAttrs.empty()) {
        Bytes unauth = DerSetOf(cert::TagSet, plan.unauthAttrs);
        unauth[0] = 0xA1;
        contents.insert(contents.end(), unauth.begin(), unauth.end());
    }
    signerInfo = cert::MakeTlv(cert::TagSequence, contents);
    return 0;
}

DWORD Encoder::finish() {
    m_pipe.drain();
    std::vector<Bytes> signerInfos;
    for (const SignerPlan& plan : m_signers) {
        Bytes one;
        if (DWORD e = sign(plan, one)) return e;
        signerInfos.push_back(std::move(one));
    }
    {
        // Before the last output: a decoder reading it back finishes with these digests.
        std::lock_guard lock(m_content->mutex);
        for (ContentDigest& d : m_digests) m_content->digests.emplace_back(d.oid, d.finish());
        m_content->finished = true;
    }
    // End-of-contents octets: of the segments and the explicit [0] (attached), of encapContentInfo.
    Bytes tail(m_detached ? 2 : 6, 0);
    auto put = [&](BYTE tag, const std::vector<Bytes>& items) {
        Bytes contents;
        for (const Bytes& b : items) contents.insert(contents.end(), b.begin(), b.end());
        cert::PutTlv(tail, tag, contents);
    };
    if (!m_certs.empty()) put(0xA0, m_certs);
    if (!m_crls.empty()) put(0xA1, m_crls);
    put(cert::TagSet, signerInfos);
    tail.insert(tail.end(), {0, 0, 0, 0, 0, 0});  // SignedData, the explicit [0], ContentInfo
    return emit(tail.data(), tail.size(), true) ? 0 : GetLastError();
}

BOOL Encoder::update(const BYTE* data, DWORD size, BOOL final) {
    if (m_error) return Fail(m_error);
    if (m_finished) return Fail(CRYPT_E_MSG_ERROR);
    if (size && !data) return Fail(ERROR_INVALID_PARAMETER);
    DWORD e = 0;
    if (!m_started) {
        m_started = true;
        Bytes head{cert::TagSequence, 0x80};
        const Bytes type = DerOid(szOID_RSA_signedData);
        head.insert(head.end(), type.begin(), type.end());
        head.insert(head.end(),
                    {0xA0, 0x80, cert::TagSequence, 0x80, cert::TagInteger, 1, CMSG_SIGNED_DATA_V1});
        std::vector<Bytes> algs;
        for (const ContentDigest& d : m_digests) algs.push_back(AlgorithmId(d.oid, kNull));
        const Bytes set = DerSetOf(cert::TagSet, std::move(algs));
        head.insert(head.end(), set.begin(), set.end());
        head.insert(head.end(), {cert::TagSequence, 0x80});
        const Bytes inner = DerOid(szOID_RSA_data);
        head.insert(head.end(), inner.begin(), inner.end());
        if (!m_detached) head.insert(head.end(), {0xA0, 0x80, cert::TagOctetString | 0x20, 0x80});
        if (!emit(head.data(), head.size(), false)) e = GetLastError();
    }
    if (!e && size) {
        m_pipe.push(data, size);
        {
            std::lock_guard lock(m_content->mutex);
            m_content->bytes += size;
        }
        if (!m_detached) {
            Bytes header{cert::TagOctetString};
            cert::PutLength(header, size);
            if (!emit(header.data(), header.size(), false) || !emit(data, size, false)) e = GetLastError();
        }
    }
    if (!e && final) {
        m_finished = true;
        e = finish();
    }
    if (e) {
        m_error = e;
        return Fail(e);
    }
    return TRUE;
}

BOOL Encoder::getParam(DWORD param, DWORD, void* data, DWORD* size) {
    if (!size) return Fail(ERROR_INVALID_PARAMETER);
    switch (param) {
        case CMSG_TYPE_PARAM:
            return DeliverDword(CMSG_SIGNED, data, size);
        case CMSG_CONTENT_PARAM:
            // A streamed message has handed its output to the callback.
            if (m_streaming || !m_finished) return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
            return DeliverBytes(m_collected.data(), m_collected.size(), data, size);
        default:
            return Fail(CRYPT_E_INVALID_MSG_TYPE);
    }
}

}  // namespace

std::unique_ptr<Message> NewEncoder(DWORD flags, const CMSG_SIGNED_ENCODE_INFO& info,
                                    const CMSG_STREAM_INFO* stream, DWORD& error) {
    auto encoder = std::make_unique<Encoder>(flags, stream);
    error = encoder->open(info);
    if (error) return nullptr;
    return encoder;
}

}  // namespace vsk::msg
