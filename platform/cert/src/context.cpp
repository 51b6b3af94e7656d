// Certificate contexts: decoding into CERT_INFO, reference counts and the shared property sets.
#include "certImpl.h"

#include <vsk/platform/kernel.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace VskCert {

namespace {

// The library never needs more: a certificate bigger than this is not one we handle.
constexpr size_t kMaxEncodedSize = 16 * 1024 * 1024;

bool decodeAlgorithm(DerReader& reader, std::deque<std::string>& oids, CRYPT_ALGORITHM_IDENTIFIER& alg,
                     DWORD& error) {
    DerReader::Tlv seq, oid, params;
    if (!reader.read(seq, 0x30)) return error = reader.error, false;
    DerReader inner = seq.reader();
    if (!inner.read(oid, 0x06)) return error = inner.error, false;
    std::string dotted;
    if (!DecodeOid(oid.body, oid.bodySize, dotted)) return error = CRYPT_E_ASN1_CORRUPT, false;
    oids.push_back(std::move(dotted));
    alg.pszObjId = oids.back().data();
    alg.Parameters = {};
    if (!inner.atEnd()) {
        if (!inner.read(params)) return error = inner.error, false;
        alg.Parameters.cbData = static_cast<DWORD>(params.wholeSize);
        alg.Parameters.pbData = const_cast<BYTE*>(params.whole);
    }
    if (!inner.atEnd()) return error = CRYPT_E_ASN1_CORRUPT, false;
    return true;
}

}  // namespace

bool DecodeExtensions(DerReader& reader, std::deque<std::string>& oids, std::vector<CERT_EXTENSION>& out,
                      DWORD& error) {
    DerReader::Tlv seq;
    if (!reader.read(seq, 0x30)) return error = reader.error, false;
    DerReader list = seq.reader();
    while (!list.atEnd()) {
        DerReader::Tlv ext, oid, critical, value;
        if (!list.read(ext, 0x30)) return error = list.error, false;
        DerReader fields = ext.reader();
        if (!fields.read(oid, 0x06)) return error = fields.error, false;
        std::string dotted;
        if (!DecodeOid(oid.body, oid.bodySize, dotted)) return error = CRYPT_E_ASN1_CORRUPT, false;
        CERT_EXTENSION e{};
        if (fields.readOptional(critical, 0x01)) {
            if (critical.bodySize != 1) return error = CRYPT_E_ASN1_CORRUPT, false;
            e.fCritical = critical.body[0] ? TRUE : FALSE;
        }
        if (!fields.read(value, 0x04))
            return error = fields.error ? fields.error : CRYPT_E_ASN1_CORRUPT, false;
        if (!fields.atEnd()) return error = CRYPT_E_ASN1_CORRUPT, false;
        oids.push_back(std::move(dotted));
        e.pszObjId = oids.back().data();
        e.Value.cbData = static_cast<DWORD>(value.bodySize);
        e.Value.pbData = const_cast<BYTE*>(value.body);
        out.push_back(e);
    }
    return true;
}

CertCtx* DecodeCertificate(const BYTE* der, size_t size, DWORD& error) {
    if (!der || size == 0) {
        error = CRYPT_E_ASN1_EOD;
        return nullptr;
    }
    if (size > kMaxEncodedSize) {
        error = CRYPT_E_ASN1_LARGE;
        return nullptr;
    }
    auto cert = std::make_unique<CertCtx>();
    cert->state.der.assign(der, der + size);
    const BYTE* data = cert->state.der.data();
    CERT_INFO& info = cert->info;
    error = 0;

    DerReader top(data, size);
    DerReader::Tlv whole, tbs, tlv;
    if (!top.read(whole, 0x30)) return error = top.error, nullptr;
    // Trailing bytes would make the thumbprint differ from the certificate's own.
    if (!top.atEnd()) return error = CRYPT_E_ASN1_CORRUPT, nullptr;
    DerReader outer = whole.reader();
    if (!outer.read(tbs, 0x30)) return error = outer.error, nullptr;
    DerReader r = tbs.reader();

    info.dwVersion = CERT_V1;
    if (r.readOptional(tlv, 0xA0)) {
        DerReader v = tlv.reader();
        DerReader::Tlv number;
        if (!v.read(number, 0x02) || number.bodySize != 1 || number.body[0] > CERT_V3 || !v.atEnd())
            return error = CRYPT_E_ASN1_CORRUPT, nullptr;
        info.dwVersion = number.body[0];
    }
    if (!r.read(tlv, 0x02)) return error = r.error, nullptr;
    if (tlv.bodySize == 0) return error = CRYPT_E_ASN1_CORRUPT, nullptr;
    cert->serialLE.assign(std::reverse_iterator(tlv.body + tlv.bodySize), std::reverse_iterator(tlv.body));
    info.SerialNumber = {static_cast<DWORD>(cert->serialLE.size()), cert->serialLE.data()};

    if (!decodeAlgorithm(r, cert->oids, info.SignatureAlgorithm, error)) return nullptr;
    if (!r.read(tlv, 0x30)) return error = r.error, nullptr;
    info.Issuer = {static_cast<DWORD>(tlv.wholeSize), const_cast<BYTE*>(tlv.whole)};

    DerReader::Tlv validity, t1, t2;
    if (!r.read(validity, 0x30)) return error = r.error, nullptr;
    DerReader vr = validity.reader();
    if (!vr.read(t1) || !vr.read(t2) || !vr.atEnd()) return error = CRYPT_E_ASN1_CORRUPT, nullptr;
    if (!DecodeTime(t1, info.NotBefore) || !DecodeTime(t2, info.NotAfter))
        return error = CRYPT_E_ASN1_CORRUPT, nullptr;

    if (!r.read(tlv, 0x30)) return error = r.error, nullptr;
    info.Subject = {static_cast<DWORD>(tlv.wholeSize), const_cast<BYTE*>(tlv.whole)};

    DerReader::Tlv spki, bits;
    if (!r.read(spki, 0x30)) return error = r.error, nullptr;
    DerReader kr = spki.reader();
    if (!decodeAlgorithm(kr, cert->oids, info.SubjectPublicKeyInfo.Algorithm, error)) return nullptr;
    if (!kr.read(bits, 0x03) || bits.bodySize == 0 || bits.body[0] > 7 || !kr.atEnd())
        return error = CRYPT_E_ASN1_CORRUPT, nullptr;
    info.SubjectPublicKeyInfo.PublicKey = {static_cast<DWORD>(bits.bodySize - 1),
                                           const_cast<BYTE*>(bits.body + 1), bits.body[0]};

    if (r.readOptional(tlv, 0x81) && tlv.bodySize > 0)
        info.IssuerUniqueId = {static_cast<DWORD>(tlv.bodySize - 1), const_cast<BYTE*>(tlv.body + 1),
                               tlv.body[0]};
    if (r.readOptional(tlv, 0x82) && tlv.bodySize > 0)
        info.SubjectUniqueId = {static_cast<DWORD>(tlv.bodySize - 1), const_cast<BYTE*>(tlv.body + 1),
                                tlv.body[0]};
    if (r.readOptional(tlv, 0xA3)) {
        DerReader er = tlv.reader();
        if (!DecodeExtensions(er, cert->oids, cert->extensions, error)) return nullptr;
        if (!er.atEnd()) return error = CRYPT_E_ASN1_CORRUPT, nullptr;
    }
    if (r.failed()) return error = r.error, nullptr;
    if (!r.atEnd()) return error = CRYPT_E_ASN1_CORRUPT, nullptr;
    info.cExtension = static_cast<DWORD>(cert->extensions.size());
    info.rgExtension = cert->extensions.empty() ? nullptr : cert->extensions.data();

    // The signature algorithm and value must be there too.
    CRYPT_ALGORITHM_IDENTIFIER sigAlg{};
    std::deque<std::string> scratch;
    if (!decodeAlgorithm(outer, scratch, sigAlg, error)) return nullptr;
    if (!outer.read(tlv, 0x03) || !outer.atEnd())
        return error = outer.error ? outer.error : CRYPT_E_ASN1_CORRUPT, nullptr;

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

const Sha1& ElementState::thumbprint() {
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
        DerReader r(e.Value.pbData, e.Value.cbData);
        DerReader::Tlv id;
        if (r.read(id, 0x04) && r.atEnd()) return Bytes(id.body, id.body + id.bodySize);
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

}  // namespace VskCert

using namespace VskCert;

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
    CertCtx* cert = DecodeCertificate(encoded, encodedLen, error);
    if (!cert) {
        SetLastError(error);
        return nullptr;
    }
    std::lock_guard guard(Lock());
    Store* own = NewStore(StoreKind::Memory);
    Attach(own, cert, false);
    Reference(cert->state);
    return &cert->pub;
}

PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT cert) {
    CertCtx* ctx = AsCert(cert);
    if (!ctx) return nullptr;
    std::lock_guard guard(Lock());
    Reference(ctx->state);
    return cert;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT cert) {
    CertCtx* ctx = AsCert(cert);
    if (!ctx) return TRUE;
    std::lock_guard guard(Lock());
    Unreference(ctx);
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
    if (!s.filePath.empty() && s.attached &&
        !WriteElementFile(s.store, s, kCertElementId, WriteMode::Update)) {
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
