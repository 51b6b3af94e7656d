// What the encoder and the decoder of signed messages share: content digests, the SignerInfo reader
// with its attribute checks, signature verification on OpenSSL EVP, and the DER pieces of the writer.
#include "msgImpl.h"

#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>

namespace vsk::msg {

using cert::DerReader;
using cert::Tlv;

void MdCtxFree::operator()(evp_md_ctx_st* ctx) const {
    EVP_MD_CTX_free(ctx);
}

const evp_md_st* DigestOfOid(const std::string& oid) {
    LoadGostEngine();
    ASN1_OBJECT* object = OBJ_txt2obj(oid.c_str(), 1);
    if (!object) return nullptr;
    const EVP_MD* md = EVP_get_digestbyobj(object);
    ASN1_OBJECT_free(object);
    return md;
}

DWORD StartDigest(const std::string& oid, ContentDigest& out) {
    out.oid = oid;
    out.alg = CertOIDToAlgId(oid.c_str());
    const EVP_MD* md = DigestOfOid(oid);
    if (!md || GET_ALG_CLASS(out.alg) != ALG_CLASS_HASH) return CRYPT_E_UNKNOWN_ALGO;
    out.ctx.reset(EVP_MD_CTX_new());
    if (!out.ctx || EVP_DigestInit_ex(out.ctx.get(), md, nullptr) != 1) return NTE_BAD_ALGID;
    return 0;
}

void ContentDigest::update(const BYTE* data, size_t size) {
    if (!finished && size) EVP_DigestUpdate(ctx.get(), data, size);
}

const Bytes& ContentDigest::finish() {
    if (!finished) {
        unsigned char buffer[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(ctx.get(), buffer, &length);
        value.assign(buffer, buffer + length);
        finished = true;
    }
    return value;
}

// ---- DER pieces ------------------------------------------------------------------------------------

Bytes DerOid(const std::string& dotted) {
    Bytes contents;
    cert::OidToDer(dotted, contents);
    return cert::MakeTlv(cert::TagOid, contents);
}

Bytes AlgorithmId(const std::string& oid, const Bytes& params) {
    Bytes contents = DerOid(oid);
    contents.insert(contents.end(), params.begin(), params.end());
    return cert::MakeTlv(cert::TagSequence, contents);
}

Bytes DerSetOf(BYTE tag, std::vector<Bytes> elements) {
    std::sort(elements.begin(), elements.end(), [](const Bytes& a, const Bytes& b) {
        const size_t n = std::max(a.size(), b.size());
        for (size_t i = 0; i < n; ++i) {
            const BYTE x = i < a.size() ? a[i] : 0;
            const BYTE y = i < b.size() ? b[i] : 0;
            if (x != y) return x < y;
        }
        return false;
    });
    Bytes contents;
    for (const Bytes& e : elements) contents.insert(contents.end(), e.begin(), e.end());
    return cert::MakeTlv(tag, contents);
}

Bytes SpkiDer(const CERT_PUBLIC_KEY_INFO& info) {
    if (!info.Algorithm.pszObjId) return {};
    Bytes params;
    if (info.Algorithm.Parameters.cbData)
        params.assign(info.Algorithm.Parameters.pbData,
                      info.Algorithm.Parameters.pbData + info.Algorithm.Parameters.cbData);
    Bytes contents = AlgorithmId(info.Algorithm.pszObjId, params);
    Bytes bits{static_cast<BYTE>(info.PublicKey.cUnusedBits)};
    if (info.PublicKey.cbData)
        bits.insert(bits.end(), info.PublicKey.pbData, info.PublicKey.pbData + info.PublicKey.cbData);
    cert::PutTlv(contents, cert::TagBitString, bits);
    return cert::MakeTlv(cert::TagSequence, contents);
}

// ---- SignerInfo ----------------------------------------------------------------------------------

namespace {

bool ReadAlgorithm(DerReader& reader, std::string& oid, Bytes& params) {
    Tlv seq, id;
    if (!reader.expect(cert::TagSequence, seq)) return false;
    DerReader inner(seq);
    if (!inner.expect(cert::TagOid, id)) return reader.fail(inner.error());
    if (!cert::OidFromDer(id.contents, id.length, oid)) return reader.fail(CRYPT_E_ASN1_CORRUPT);
    Tlv rest;
    if (inner.next(rest)) params.assign(rest.whole, rest.whole + rest.wholeLength);
    if (inner.failed()) return reader.fail(inner.error());
    if (!inner.atEnd()) return reader.fail(CRYPT_E_ASN1_CORRUPT);
    return true;
}

// The attributes of a SET OF Attribute; 0 or the error.
DWORD ReadAttributes(const Tlv& set, std::vector<Attribute>& out) {
    DerReader reader(set);
    Tlv attr;
    while (reader.next(attr)) {
        if (attr.tag != cert::TagSequence) return CRYPT_E_ASN1_BADTAG;
        DerReader inner(attr);
        Tlv id, values;
        if (!inner.expect(cert::TagOid, id) || !inner.expect(cert::TagSet, values)) return inner.error();
        if (!inner.atEnd()) return CRYPT_E_ASN1_CORRUPT;
        Attribute a;
        if (!cert::OidFromDer(id.contents, id.length, a.oid)) return CRYPT_E_ASN1_CORRUPT;
        DerReader valueReader(values);
        Tlv value;
        while (valueReader.next(value)) a.values.emplace_back(value.whole, value.whole + value.wholeLength);
        if (valueReader.failed()) return valueReader.error();
        out.push_back(std::move(a));
    }
    return reader.failed() ? reader.error() : 0;
}

// The signed attributes whose form the verification relies on: one value each, of the right type.
DWORD CheckSignedAttributes(SignerRecord& signer) {
    for (const Attribute& a : signer.authAttrs) {
        const bool contentType = a.oid == szOID_RSA_contentType;
        const bool digest = a.oid == szOID_RSA_messageDigest;
        const bool time = a.oid == szOID_RSA_signingTime;
        if (!contentType && !digest && !time) continue;
        if (a.values.size() != 1) return CRYPT_E_ASN1_CORRUPT;
        Tlv value;
        if (!cert::ReadSingle(a.values[0].data(), a.values[0].size(), value)) return CRYPT_E_ASN1_CORRUPT;
        if (contentType && value.tag != cert::TagOid) return CRYPT_E_ASN1_BADTAG;
        if (digest) {
            if (value.tag != cert::TagOctetString) return CRYPT_E_ASN1_BADTAG;
            if (!signer.messageDigest.empty() || value.length == 0) return CRYPT_E_ASN1_CORRUPT;
            signer.messageDigest.assign(value.contents, value.contents + value.length);
        }
        if (time) {
            if (value.tag != cert::TagUtcTime && value.tag != cert::TagGeneralizedTime)
                return CRYPT_E_ASN1_BADTAG;
            FILETIME ft{};
            if (!cert::TimeFromDer(value, ft)) return CRYPT_E_ASN1_CORRUPT;
        }
    }
    return 0;
}

}  // namespace

DWORD ParseSignerInfo(const BYTE* data, size_t size, SignerRecord& out) {
    Tlv whole;
    if (!cert::ReadSingle(data, size, whole)) return CRYPT_E_ASN1_CORRUPT;
    if (whole.tag != cert::TagSequence) return CRYPT_E_ASN1_BADTAG;
    DerReader reader(whole);
    Tlv version, sid;
    if (!reader.expect(cert::TagInteger, version)) return reader.error();
    if (version.length != 1 || (version.contents[0] != 1 && version.contents[0] != 3))
        return CRYPT_E_ASN1_CORRUPT;
    out.version = version.contents[0];
    if (!reader.next(sid)) return reader.error();
    if (sid.tag == cert::TagSequence) {
        DerReader inner(sid);
        Tlv issuer, serial;
        if (!inner.expect(cert::TagSequence, issuer) || !inner.expect(cert::TagInteger, serial))
            return inner.error();
        if (!inner.atEnd() || serial.length == 0) return CRYPT_E_ASN1_CORRUPT;
        out.issuer.assign(issuer.whole, issuer.whole + issuer.wholeLength);
        out.serialLe.assign(serial.contents, serial.contents + serial.length);
        std::reverse(out.serialLe.begin(), out.serialLe.end());
    } else if (sid.tag == 0x80) {
        out.byKeyId = true;
        out.keyId.assign(sid.contents, sid.contents + sid.length);
    } else {
        return CRYPT_E_ASN1_BADTAG;
    }
    if (!ReadAlgorithm(reader, out.digestOid, out.digestParams)) return reader.error();
    Tlv attrs;
    if (reader.optional(0xA0, attrs)) {
        out.signedAttrs.assign(attrs.whole, attrs.whole + attrs.wholeLength);
        if (DWORD e = ReadAttributes(attrs, out.authAttrs)) return e;
        if (DWORD e = CheckSignedAttributes(out)) return e;
    }
    if (reader.failed()) return reader.error();
    if (!ReadAlgorithm(reader, out.signatureOid, out.signatureParams)) return reader.error();
    Tlv signature;
    if (!reader.expect(cert::TagOctetString, signature)) return reader.error();
    out.signature.assign(signature.contents, signature.contents + signature.length);
    if (reader.optional(0xA1, attrs)) {
        if (DWORD e = ReadAttributes(attrs, out.unauthAttrs)) return e;
    }
    if (reader.failed()) return reader.error();
    if (!reader.atEnd()) return CRYPT_E_ASN1_CORRUPT;
    return 0;
}

// ---- Verification ----------------------------------------------------------------------------------

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyCtxFree {
    void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};

}  // namespace

DWORD VerifySigner(const SignerRecord& signer, const Bytes& spki, const Bytes& contentDigest) {
    const EVP_MD* md = DigestOfOid(signer.digestOid);
    if (!md) return NTE_BAD_ALGID;
    const unsigned char* p = spki.data();
    std::unique_ptr<EVP_PKEY, PkeyFree> key(d2i_PUBKEY(nullptr, &p, static_cast<long>(spki.size())));
    if (!key) return NTE_BAD_PUBLIC_KEY;
    if (!signer.signedAttrs.empty()) {
        if (signer.messageDigest.empty()) return CRYPT_E_AUTH_ATTR_MISSING;
        if (signer.messageDigest != contentDigest) return CRYPT_E_HASH_VALUE;
        // The signature covers the attributes as a DER SET OF, the [0] of the SignerInfo retagged.
        Bytes set = signer.signedAttrs;
        set[0] = cert::TagSet;
        MdCtx ctx(EVP_MD_CTX_new());
        if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, key.get()) != 1)
            return NTE_BAD_ALGID;
        const int ok = EVP_DigestVerify(ctx.get(), signer.signature.data(), signer.signature.size(),
                                        set.data(), set.size());
        return ok == 1 ? 0 : NTE_BAD_SIGNATURE;
    }
    std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) return NTE_BAD_ALGID;
    if (EVP_PKEY_get_base_id(key.get()) == EVP_PKEY_RSA && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1)
        return NTE_BAD_ALGID;
    const int ok = EVP_PKEY_verify(ctx.get(), signer.signature.data(), signer.signature.size(),
                                   contentDigest.data(), contentDigest.size());
    return ok == 1 ? 0 : NTE_BAD_SIGNATURE;
}

// ---- Output ----------------------------------------------------------------------------------------

BOOL Message::emit(const BYTE* data, size_t size, bool final) {
    if (!m_streaming) {
        m_collected.insert(m_collected.end(), data, data + size);
        return TRUE;
    }
    if (!m_stream.pfnStreamOutput) return TRUE;
    const DWORD saved = GetLastError();
    while (true) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 0x40000000));
        const bool last = piece == size;
        SetLastError(0);
        if (!m_stream.pfnStreamOutput(m_stream.pvArg, const_cast<BYTE*>(data), piece, last && final)) {
            if (GetLastError() == 0) SetLastError(CRYPT_E_MSG_ERROR);
            return FALSE;
        }
        if (last) {
            SetLastError(saved);
            return TRUE;
        }
        data += piece;
        size -= piece;
    }
}

BOOL DeliverBytes(const BYTE* bytes, size_t count, void* data, DWORD* size) {
    if (!size) return Fail(ERROR_INVALID_PARAMETER);
    if (count > 0xFFFFFFFFu) return Fail(CRYPT_E_ASN1_LARGE);
    if (!data) {
        *size = static_cast<DWORD>(count);
        return TRUE;
    }
    if (*size < count) {
        *size = static_cast<DWORD>(count);
        return Fail(ERROR_MORE_DATA);
    }
    if (count) std::memcpy(data, bytes, count);
    *size = static_cast<DWORD>(count);
    return TRUE;
}

BOOL DeliverDword(DWORD value, void* data, DWORD* size) {
    return DeliverBytes(reinterpret_cast<const BYTE*>(&value), sizeof value, data, size);
}

}  // namespace vsk::msg
