// Certificate contexts: decoding into CERT_INFO, reference counts, the shared property sets and the
// digests the properties need.
#include <openssl/evp.h>

#include "certImpl.h"

#include <vsk/platform/kernel.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

namespace vsk::cert {

namespace {

// The library never needs more: a certificate bigger than this is not one we handle.
constexpr size_t kMaxEncodedSize = 16 * 1024 * 1024;

// A BIT STRING's contents as a CRYPT_BIT_BLOB; false when the unused-bits octet is missing or wrong.
bool bitString(const Tlv& tlv, CRYPT_BIT_BLOB& out) {
    if (tlv.length == 0 || tlv.contents[0] > 7 || (tlv.length == 1 && tlv.contents[0] != 0)) return false;
    out = {static_cast<DWORD>(tlv.length - 1), const_cast<BYTE*>(tlv.contents + 1), tlv.contents[0]};
    return true;
}

}  // namespace

namespace {

// The digests are fetched once and hashed with one context per thread: a fresh fetch and context
// per hash would cost more than hashing a certificate.
using MdPtr = std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

const EVP_MD* fetchedMd(const char* name) {
    static const MdPtr sha1(EVP_MD_fetch(nullptr, "SHA1", nullptr), EVP_MD_free);
    static const MdPtr md5(EVP_MD_fetch(nullptr, "MD5", nullptr), EVP_MD_free);
    static const MdPtr sha256(EVP_MD_fetch(nullptr, "SHA256", nullptr), EVP_MD_free);
    if (std::strcmp(name, "SHA1") == 0) return sha1.get();
    return std::strcmp(name, "MD5") == 0 ? md5.get() : sha256.get();
}

// False when the digest is not available (MD5 in a FIPS-only configuration).
bool digest(const char* name, const BYTE* data, size_t size, BYTE* out, unsigned int& len) {
    thread_local const MdCtxPtr ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    const EVP_MD* md = fetchedMd(name);
    return md && ctx && EVP_DigestInit_ex2(ctx.get(), md, nullptr) &&
           EVP_DigestUpdate(ctx.get(), data, size) && EVP_DigestFinal_ex(ctx.get(), out, &len);
}

}  // namespace

Sha1 ComputeSha1(const BYTE* data, size_t size) {
    Sha1 out{};
    unsigned int len = 0;
    digest("SHA1", data, size, out.data(), len);
    return out;
}

Bytes ComputeDigest(const char* name, const BYTE* data, size_t size) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int len = 0;
    if (!digest(name, data, size, out.data(), len)) return {};
    out.resize(len);
    return out;
}

std::string HexUpper(const BYTE* data, size_t size) {
    static const char digitsHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += digitsHex[data[i] >> 4];
        out += digitsHex[data[i] & 15];
    }
    return out;
}

LPSTR InternOid(const Tlv& oid, OwnOids& own) {
    // Real certificates use a few hundred OIDs; a stream of made-up ones must not grow the table
    // without end (derTest.cpp, OidTexts.SharedTableIsBounded).
    constexpr size_t kMaxSharedOids = 16384;
    static std::mutex mutex;
    // By the OID's contents octets, so a text is made only the first time an OID is met.
    static std::map<std::string, std::string, std::less<>> texts;
    const std::string_view key(reinterpret_cast<const char*>(oid.contents), oid.length);
    std::lock_guard guard(mutex);
    auto it = texts.find(key);
    if (it != texts.end()) return const_cast<LPSTR>(it->second.c_str());
    std::string dotted;
    if (!OidFromDer(oid.contents, oid.length, dotted)) return nullptr;
    if (texts.size() < kMaxSharedOids)
        return const_cast<LPSTR>(texts.emplace(std::string(key), std::move(dotted)).first->second.c_str());
    own.push_back(std::make_unique<char[]>(dotted.size() + 1));
    std::memcpy(own.back().get(), dotted.c_str(), dotted.size() + 1);
    return own.back().get();
}

bool DecodeAlgorithm(DerReader& reader, CRYPT_ALGORITHM_IDENTIFIER& alg, OwnOids& own, DWORD& error) {
    Tlv seq, oid, params;
    if (!reader.expect(TagSequence, seq)) return error = reader.error(), false;
    DerReader inner(seq);
    if (!inner.expect(TagOid, oid)) return error = inner.error(), false;
    alg.pszObjId = InternOid(oid, own);
    if (!alg.pszObjId) return error = CRYPT_E_ASN1_CORRUPT, false;
    alg.Parameters = {};
    if (inner.next(params))
        alg.Parameters = {static_cast<DWORD>(params.wholeLength), const_cast<BYTE*>(params.whole)};
    if (inner.failed()) return error = inner.error(), false;
    if (!inner.atEnd()) return error = CRYPT_E_ASN1_CORRUPT, false;
    return true;
}

bool DecodeExtensions(DerReader& reader, std::vector<CERT_EXTENSION>& out, OwnOids& own, DWORD& error) {
    Tlv seq, ext;
    if (!reader.expect(TagSequence, seq)) return error = reader.error(), false;
    // Counted first, so the list is allocated once at its size.
    size_t count = 0;
    for (DerReader counter(seq); counter.next(ext);) ++count;
    out.reserve(out.size() + count);
    DerReader list(seq);
    while (list.next(ext)) {
        Tlv oid, critical, value;
        if (ext.tag != TagSequence) return error = CRYPT_E_ASN1_BADTAG, false;
        DerReader fields(ext);
        if (!fields.expect(TagOid, oid)) return error = fields.error(), false;
        CERT_EXTENSION e{};
        e.pszObjId = InternOid(oid, own);
        if (!e.pszObjId) return error = CRYPT_E_ASN1_CORRUPT, false;
        if (fields.optional(TagBoolean, critical)) {
            if (critical.length != 1) return error = CRYPT_E_ASN1_CORRUPT, false;
            e.fCritical = critical.contents[0] ? TRUE : FALSE;
        }
        if (!fields.expect(TagOctetString, value)) return error = fields.error(), false;
        if (!fields.atEnd()) return error = CRYPT_E_ASN1_CORRUPT, false;
        e.Value = {static_cast<DWORD>(value.length), const_cast<BYTE*>(value.contents)};
        out.push_back(e);
    }
    if (list.failed()) return error = list.error(), false;
    return true;
}

bool ReadSigned(const BYTE* der, size_t size, size_t maxSize, ElementState& state, Tlv& tbs, OwnOids& own,
                DWORD& error) {
    error = 0;
    if (!der || size == 0) return error = CRYPT_E_ASN1_EOD, false;
    if (size > maxSize) return error = CRYPT_E_ASN1_LARGE, false;
    state.der.assign(der, der + size);
    DerReader top(state.der.data(), size);
    Tlv whole, signature;
    if (!top.expect(TagSequence, whole)) return error = top.error(), false;
    // Trailing bytes would make the thumbprint differ from the element's own.
    if (!top.atEnd()) return error = CRYPT_E_ASN1_CORRUPT, false;
    DerReader outer(whole);
    if (!outer.expect(TagSequence, tbs)) return error = outer.error(), false;
    CRYPT_ALGORITHM_IDENTIFIER algorithm{};
    if (!DecodeAlgorithm(outer, algorithm, own, error)) return false;
    if (!outer.expect(TagBitString, signature)) return error = outer.error(), false;
    if (!outer.atEnd()) return error = CRYPT_E_ASN1_CORRUPT, false;
    return true;
}

CertCtx* DecodeCertificate(const BYTE* der, size_t size, DWORD& error) {
    auto cert = std::make_unique<CertCtx>();
    Tlv tbs, tlv;
    if (!ReadSigned(der, size, kMaxEncodedSize, cert->state, tbs, cert->ownOids, error)) return nullptr;
    const DecodeFailure failed{error};
    CERT_INFO& info = cert->info;
    DerReader r(tbs);

    info.dwVersion = CERT_V1;
    if (r.optional(0xA0, tlv)) {
        DerReader v(tlv);
        Tlv number;
        if (!v.expect(TagInteger, number) || number.length != 1 || number.contents[0] > CERT_V3 || !v.atEnd())
            return failed.corrupt();
        info.dwVersion = number.contents[0];
    }
    if (!r.expect(TagInteger, tlv)) return failed(r);
    if (tlv.length == 0) return failed.corrupt();
    cert->serialLE.assign(tlv.length, std::reverse_iterator(tlv.contents + tlv.length));
    info.SerialNumber = {static_cast<DWORD>(cert->serialLE.size()), cert->serialLE.data()};

    if (!DecodeAlgorithm(r, info.SignatureAlgorithm, cert->ownOids, error)) return nullptr;
    if (!r.expect(TagSequence, tlv)) return failed(r);
    info.Issuer = {static_cast<DWORD>(tlv.wholeLength), const_cast<BYTE*>(tlv.whole)};

    Tlv validity, t1, t2;
    if (!r.expect(TagSequence, validity)) return failed(r);
    DerReader vr(validity);
    if (!vr.next(t1) || !vr.next(t2) || !vr.atEnd()) return failed.corrupt();
    if (!TimeFromDer(t1, info.NotBefore) || !TimeFromDer(t2, info.NotAfter)) return failed.corrupt();

    if (!r.expect(TagSequence, tlv)) return failed(r);
    info.Subject = {static_cast<DWORD>(tlv.wholeLength), const_cast<BYTE*>(tlv.whole)};

    Tlv spki, bits;
    if (!r.expect(TagSequence, spki)) return failed(r);
    DerReader kr(spki);
    if (!DecodeAlgorithm(kr, info.SubjectPublicKeyInfo.Algorithm, cert->ownOids, error)) return nullptr;
    if (!kr.expect(TagBitString, bits) || !bitString(bits, info.SubjectPublicKeyInfo.PublicKey) ||
        !kr.atEnd())
        return failed.corrupt();

    if (r.optional(0x81, tlv) && !bitString(tlv, info.IssuerUniqueId)) return failed.corrupt();
    if (r.optional(0x82, tlv) && !bitString(tlv, info.SubjectUniqueId)) return failed.corrupt();
    if (r.optional(0xA3, tlv)) {
        DerReader er(tlv);
        if (!DecodeExtensions(er, cert->extensions, cert->ownOids, error)) return nullptr;
        if (!er.atEnd()) return failed.corrupt();
    }
    if (r.failed()) return failed(r);
    if (!r.atEnd()) return failed.corrupt();
    info.cExtension = static_cast<DWORD>(cert->extensions.size());
    info.rgExtension = cert->extensions.empty() ? nullptr : cert->extensions.data();

    cert->pub.dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    cert->pub.pbCertEncoded = cert->state.der.data();
    cert->pub.cbCertEncoded = static_cast<DWORD>(size);
    cert->pub.pCertInfo = &cert->info;
    return cert.release();
}

CertCtx* AsCert(PCCERT_CONTEXT cert) {
    if (!cert) return nullptr;
    auto* ctx = reinterpret_cast<CertCtx*>(const_cast<CERT_CONTEXT*>(cert));
    return ctx->magic == kCertMagic ? ctx : nullptr;
}

const Sha1& ElementState::thumbprint() const {
    if (!sha1Done) {
        sha1 = ComputeSha1(der.data(), der.size());
        sha1Done = true;
    }
    return sha1;
}

void ElementState::dropKeyContext() {
    if (hasKeyContext && releaseKeyContext && keyContext.hCryptProv)
        CryptReleaseContext(keyContext.hCryptProv, 0);
    hasKeyContext = false;
    keyContext = {};
}

bool SameBlobs(const CRYPTOAPI_BLOB& a, const CRYPTOAPI_BLOB& b) {
    return a.cbData == b.cbData && (a.cbData == 0 || std::memcmp(a.pbData, b.pbData, a.cbData) == 0);
}

namespace {

// A little-endian integer without its redundant sign octets.
std::pair<const BYTE*, DWORD> trimmed(const CRYPT_INTEGER_BLOB& v) {
    DWORD n = v.cbData;
    if (n == 0) return {v.pbData, 0};
    const bool negative = v.pbData[n - 1] & 0x80;
    const BYTE pad = negative ? 0xFF : 0x00;
    while (n > 1 && v.pbData[n - 1] == pad && ((v.pbData[n - 2] & 0x80) != 0) == negative) --n;
    return {v.pbData, n};
}

}  // namespace

bool SameIntegers(const CRYPT_INTEGER_BLOB& a, const CRYPT_INTEGER_BLOB& b) {
    const auto x = trimmed(a);
    const auto y = trimmed(b);
    return x.second == y.second && (x.second == 0 || std::memcmp(x.first, y.first, x.second) == 0);
}

Bytes KeyIdentifier(const CertCtx& cert) {
    for (const CERT_EXTENSION& e : cert.extensions) {
        if (std::strcmp(e.pszObjId, szOID_SUBJECT_KEY_IDENTIFIER) != 0) continue;
        Tlv id;
        if (ReadSingle(e.Value.pbData, e.Value.cbData, id) && id.tag == TagOctetString)
            return Bytes(id.contents, id.contents + id.length);
    }
    const CRYPT_BIT_BLOB& key = cert.info.SubjectPublicKeyInfo.PublicKey;
    const Sha1 h = ComputeSha1(key.pbData, key.cbData);
    return Bytes(h.begin(), h.end());
}

bool IsComputedProperty(DWORD propId) {
    switch (propId) {
        case CERT_KEY_PROV_HANDLE_PROP_ID:
        case CERT_SHA1_HASH_PROP_ID:
        case CERT_MD5_HASH_PROP_ID:
        case CERT_KEY_CONTEXT_PROP_ID:
        case CERT_ACCESS_STATE_PROP_ID:
        case CERT_SIGNATURE_HASH_PROP_ID:
        case CERT_KEY_IDENTIFIER_PROP_ID:
        case CERT_ISSUER_PUBLIC_KEY_MD5_HASH_PROP_ID:
        case CERT_SUBJECT_PUBLIC_KEY_MD5_HASH_PROP_ID:
        case CERT_ISSUER_SERIAL_NUMBER_MD5_HASH_PROP_ID:
        case CERT_SUBJECT_NAME_MD5_HASH_PROP_ID:
        case CERT_SHA256_HASH_PROP_ID:
            return true;
        default:
            return false;
    }
}

}  // namespace vsk::cert

using namespace vsk::cert;

namespace {

BOOL fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

// The two-call answer for a value of `size` bytes, filled by `fill` when the buffer is large enough.
template <class Fill>
BOOL answer(void* data, DWORD* dataLen, DWORD size, Fill fill) {
    if (!dataLen) return fail(ERROR_INVALID_PARAMETER);
    if (!data) {
        *dataLen = size;
        return TRUE;
    }
    if (*dataLen < size) {
        *dataLen = size;
        return fail(ERROR_MORE_DATA);
    }
    fill(static_cast<BYTE*>(data));
    *dataLen = size;
    return TRUE;
}

BOOL answerBytes(void* data, DWORD* dataLen, const BYTE* bytes, size_t size) {
    return answer(data, dataLen, static_cast<DWORD>(size), [&](BYTE* out) {
        if (size) std::memcpy(out, bytes, size);
    });
}

}  // namespace

PCCERT_CONTEXT CertCreateCertificateContext(DWORD /*encoding*/, const BYTE* encoded, DWORD encodedLen) {
    DWORD error = 0;
    CertCtx* ctx = DecodeCertificate(encoded, encodedLen, error);
    return NewContext(ctx, error);
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT cert) {
    return DuplicateContext(AsCert(cert)) ? cert : nullptr;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT cert) {
    FreeContext(AsCert(cert));
    return TRUE;
}

BOOL CertCompareCertificate(DWORD, PCERT_INFO a, PCERT_INFO b) {
    if (!a || !b) return FALSE;
    return SameBlobs(a->Issuer, b->Issuer) && SameIntegers(a->SerialNumber, b->SerialNumber);
}

BOOL CertCompareCertificateName(DWORD, PCERT_NAME_BLOB a, PCERT_NAME_BLOB b) {
    return a && b && SameBlobs(*a, *b);
}

BOOL CertCompareIntegerBlob(const CRYPT_INTEGER_BLOB* a, const CRYPT_INTEGER_BLOB* b) {
    return a && b && SameIntegers(*a, *b);
}

BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT cert, DWORD propId, void* data, DWORD* dataLen) {
    CertCtx* ctx = AsCert(cert);
    if (!ctx || !dataLen) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard guard(Lock());
    ElementState& s = ctx->state;
    switch (propId) {
        case CERT_SHA1_HASH_PROP_ID: {
            const Sha1& h = s.thumbprint();
            return answerBytes(data, dataLen, h.data(), h.size());
        }
        case CERT_MD5_HASH_PROP_ID: {
            const Bytes h = ComputeDigest("MD5", s.der.data(), s.der.size());
            return answerBytes(data, dataLen, h.data(), h.size());
        }
        case CERT_SHA256_HASH_PROP_ID: {
            const Bytes h = ComputeDigest("SHA256", s.der.data(), s.der.size());
            return answerBytes(data, dataLen, h.data(), h.size());
        }
        case CERT_KEY_IDENTIFIER_PROP_ID: {
            const Bytes id = KeyIdentifier(*ctx);
            return answerBytes(data, dataLen, id.data(), id.size());
        }
        case CERT_ACCESS_STATE_PROP_ID: {
            const DWORD state = AccessState(s);
            return answerBytes(data, dataLen, reinterpret_cast<const BYTE*>(&state), sizeof state);
        }
        case CERT_KEY_CONTEXT_PROP_ID:
            if (!s.hasKeyContext) return fail(CRYPT_E_NOT_FOUND);
            return answerBytes(data, dataLen, reinterpret_cast<const BYTE*>(&s.keyContext),
                               sizeof s.keyContext);
        case CERT_KEY_PROV_INFO_PROP_ID: {
            auto it = s.props.find(propId);
            if (it == s.props.end()) return fail(CRYPT_E_NOT_FOUND);
            const Bytes& value = it->second;
            return answer(data, dataLen, KeyProvInfoFromFile(value, nullptr),
                          [&](BYTE* out) { KeyProvInfoFromFile(value, out); });
        }
        default: {
            auto it = s.props.find(propId);
            if (it == s.props.end()) return fail(CRYPT_E_NOT_FOUND);
            return answerBytes(data, dataLen, it->second.data(), it->second.size());
        }
    }
}

BOOL CertSetCertificateContextProperty(PCCERT_CONTEXT cert, DWORD propId, DWORD flags, const void* data) {
    CertCtx* ctx = AsCert(cert);
    if (!ctx) return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard guard(Lock());
    ElementState& s = ctx->state;
    if (propId == CERT_KEY_CONTEXT_PROP_ID) {
        // Held in memory only: allowed on any element.
        if (data) {
            const auto* key = static_cast<const CERT_KEY_CONTEXT*>(data);
            if (key->cbSize != sizeof(CERT_KEY_CONTEXT)) return fail(static_cast<DWORD>(E_INVALIDARG));
            s.dropKeyContext();
            s.keyContext = *key;
            s.hasKeyContext = true;
            s.releaseKeyContext = (flags & CERT_STORE_NO_CRYPT_RELEASE_FLAG) == 0;
        } else {
            s.dropKeyContext();
        }
        return TRUE;
    }
    if (propId == 0 || propId > CERT_LAST_USER_PROP_ID || IsComputedProperty(propId))
        return fail(static_cast<DWORD>(E_INVALIDARG));
    if (!ElementWritable(s)) return fail(ERROR_ACCESS_DENIED);

    Bytes value;
    if (data) {
        if (propId == CERT_KEY_PROV_INFO_PROP_ID) {
            value = KeyProvInfoToFile(*static_cast<const CRYPT_KEY_PROV_INFO*>(data));
        } else {
            const auto* blob = static_cast<const CRYPT_DATA_BLOB*>(data);
            if (blob->cbData && !blob->pbData) return fail(static_cast<DWORD>(E_INVALIDARG));
            value.assign(blob->pbData, blob->pbData + blob->cbData);
        }
    }
    std::map<DWORD, Bytes> before = s.props;
    if (data)
        s.props[propId] = std::move(value);
    else
        s.props.erase(propId);
    if (s.inFile && s.attached && !WriteElementFile(s.store, s, kCertElementId, WriteMode::Update)) {
        const DWORD error = GetLastError();
        s.props = std::move(before);
        return fail(error);
    }
    return TRUE;
}

DWORD CertEnumCertificateContextProperties(PCCERT_CONTEXT cert, DWORD propId) {
    CertCtx* ctx = AsCert(cert);
    if (!ctx) return 0;
    std::lock_guard guard(Lock());
    // Always present: the computed ones, merged with the element's own in ascending order.
    std::vector<DWORD> ids = {CERT_SHA1_HASH_PROP_ID, CERT_MD5_HASH_PROP_ID, CERT_ACCESS_STATE_PROP_ID,
                              CERT_KEY_IDENTIFIER_PROP_ID, CERT_SHA256_HASH_PROP_ID};
    if (ctx->state.hasKeyContext) ids.push_back(CERT_KEY_CONTEXT_PROP_ID);
    for (const auto& p : ctx->state.props) ids.push_back(p.first);
    std::sort(ids.begin(), ids.end());
    for (DWORD id : ids)
        if (id > propId) return id;
    return 0;
}
