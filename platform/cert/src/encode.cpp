// DER reading and writing for the structures the program decodes and encodes, the one-block results
// of CryptDecodeObjectEx, and public-key comparison.
#include "certnameInternal.h"

#include <vsk/platform/kernel.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace vsk::cert {

// ---- Texts ------------------------------------------------------------------------------------------

std::u16string Latin1ToUtf16(const BYTE* p, size_t n) {
    return std::u16string(p, p + n);
}

// ---- Arena --------------------------------------------------------------------------------------------

void* Arena::alloc(size_t bytes, size_t align) {
    m_used = (m_used + align - 1) / align * align;
    const size_t at = m_used;
    m_used += bytes;
    if (!m_block) {
        m_scratch.push_back(std::make_unique<BYTE[]>(bytes ? bytes : 1));
        return m_scratch.back().get();
    }
    // The filling pass repeats the measuring pass's allocations, so the block always has room.
    return m_block + at;
}

LPSTR Arena::str(const std::string& s) {
    auto* p = static_cast<char*>(alloc(s.size() + 1, 1));
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

LPWSTR Arena::wstr(const std::u16string& s) {
    auto* p = array<WCHAR>(s.size() + 1);
    std::memcpy(p, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
    return p;
}

BYTE* Arena::bytes(const Bytes& b) {
    if (b.empty()) return nullptr;
    auto* p = static_cast<BYTE*>(alloc(b.size(), 1));
    std::memcpy(p, b.data(), b.size());
    return p;
}

namespace {

// ---- Decoders --------------------------------------------------------------------------------------

// A GeneralName as its CryptoAPI entry, kept in C++ form until the block is built.
struct AltEntry {
    DWORD choice = 0;
    std::u16string text;  // rfc822, DNS, URL
    Bytes bytes;          // directory name (the Name's DER), IP address, other name's value
    std::string oid;      // registered id, other name's type
};

DWORD ReadGeneralNames(const Tlv& names, std::vector<AltEntry>& out) {
    DerReader reader(names);
    Tlv gn;
    while (reader.next(gn)) {
        AltEntry e;
        switch (gn.tag) {
            case 0xA0: {  // otherName: type-id, [0] EXPLICIT value
                e.choice = CERT_ALT_NAME_OTHER_NAME;
                DerReader parts(gn);
                Tlv oid, value;
                if (!parts.expect(TagOid, oid) || !parts.expect(0xA0, value)) return parts.error();
                if (!OidFromDer(oid.contents, oid.length, e.oid)) return CRYPT_E_ASN1_CORRUPT;
                e.bytes.assign(value.contents, value.contents + value.length);
                break;
            }
            case 0x81:
            case 0x82:
            case 0x86:
                e.choice = gn.tag == 0x81   ? CERT_ALT_NAME_RFC822_NAME
                           : gn.tag == 0x82 ? CERT_ALT_NAME_DNS_NAME
                                            : CERT_ALT_NAME_URL;
                e.text = Latin1ToUtf16(gn.contents, gn.length);
                break;
            case 0xA3:
                e.choice = CERT_ALT_NAME_X400_ADDRESS;
                break;
            case 0xA4: {  // directoryName: [4] EXPLICIT Name
                e.choice = CERT_ALT_NAME_DIRECTORY_NAME;
                Tlv name;
                if (!ReadSingle(gn.contents, gn.length, name) || name.tag != TagSequence)
                    return CRYPT_E_ASN1_BADTAG;
                e.bytes.assign(name.whole, name.whole + name.wholeLength);
                break;
            }
            case 0xA5:
                e.choice = CERT_ALT_NAME_EDI_PARTY_NAME;
                break;
            case 0x87:
                e.choice = CERT_ALT_NAME_IP_ADDRESS;
                e.bytes.assign(gn.contents, gn.contents + gn.length);
                break;
            case 0x88:
                e.choice = CERT_ALT_NAME_REGISTERED_ID;
                if (!OidFromDer(gn.contents, gn.length, e.oid)) return CRYPT_E_ASN1_CORRUPT;
                break;
            default:
                return CRYPT_E_ASN1_BADTAG;
        }
        out.push_back(std::move(e));
    }
    return reader.failed() ? reader.error() : 0;
}

void BuildAltNameInfo(Arena& a, CERT_ALT_NAME_INFO* info, const std::vector<AltEntry>& entries) {
    info->cAltEntry = static_cast<DWORD>(entries.size());
    info->rgAltEntry = entries.empty() ? nullptr : a.array<CERT_ALT_NAME_ENTRY>(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const AltEntry& e = entries[i];
        CERT_ALT_NAME_ENTRY& out = info->rgAltEntry[i];
        out.dwAltNameChoice = e.choice;
        switch (e.choice) {
            case CERT_ALT_NAME_OTHER_NAME:
                out.pOtherName = a.array<CERT_OTHER_NAME>(1);
                out.pOtherName->pszObjId = a.str(e.oid);
                out.pOtherName->Value.cbData = static_cast<DWORD>(e.bytes.size());
                out.pOtherName->Value.pbData = a.bytes(e.bytes);
                break;
            case CERT_ALT_NAME_RFC822_NAME:
            case CERT_ALT_NAME_DNS_NAME:
            case CERT_ALT_NAME_URL:
                out.pwszURL = a.wstr(e.text);
                break;
            case CERT_ALT_NAME_DIRECTORY_NAME:
            case CERT_ALT_NAME_IP_ADDRESS:
                out.IPAddress.cbData = static_cast<DWORD>(e.bytes.size());
                out.IPAddress.pbData = a.bytes(e.bytes);
                break;
            case CERT_ALT_NAME_REGISTERED_ID:
                out.pszRegisteredID = a.str(e.oid);
                break;
            default:
                break;
        }
    }
}

// The whole input must be one element with `tag`.
DWORD ReadTop(const BYTE* data, DWORD size, BYTE tag, Tlv& out) {
    DerReader reader(data, size);
    if (!reader.next(out)) return reader.failed() ? reader.error() : CRYPT_E_ASN1_EOD;
    if (out.tag != tag) return CRYPT_E_ASN1_BADTAG;
    if (!reader.atEnd()) return CRYPT_E_ASN1_CORRUPT;
    return 0;
}

BOOL Fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

BOOL DecodeAltNames(const BYTE* data, DWORD size, DWORD flags, const CRYPT_DECODE_PARA* para, void* out,
                    DWORD* outLen) {
    Tlv seq;
    std::vector<AltEntry> entries;
    if (DWORD err = ReadTop(data, size, TagSequence, seq)) return Fail(err);
    if (DWORD err = ReadGeneralNames(seq, entries)) return Fail(err);
    return DeliverBlock(
        [&](Arena& a) {
            auto* info = a.array<CERT_ALT_NAME_INFO>(1);
            BuildAltNameInfo(a, info, entries);
        },
        flags, para, out, outLen);
}

BOOL DecodeDistPoints(const BYTE* data, DWORD size, DWORD flags, const CRYPT_DECODE_PARA* para, void* out,
                      DWORD* outLen) {
    struct Point {
        DWORD nameChoice = CRL_DIST_POINT_NO_NAME;
        std::vector<AltEntry> fullName;
        Bytes reasons;
        DWORD reasonUnused = 0;
        std::vector<AltEntry> issuer;
    };
    std::vector<Point> points;
    Tlv seq;
    if (DWORD err = ReadTop(data, size, TagSequence, seq)) return Fail(err);
    DerReader reader(seq);
    Tlv dp;
    while (reader.next(dp)) {
        if (dp.tag != TagSequence) return Fail(CRYPT_E_ASN1_BADTAG);
        Point point;
        DerReader fields(dp);
        Tlv field;
        int last = -1;
        while (fields.next(field)) {
            const int number = field.tag & 0x1F;
            if ((field.tag & 0xC0) != 0x80 || number > 2 || number <= last) return Fail(CRYPT_E_ASN1_BADTAG);
            last = number;
            if (number == 0) {  // distributionPoint [0] DistributionPointName
                Tlv choice;
                if (!field.constructed() || !ReadSingle(field.contents, field.length, choice))
                    return Fail(CRYPT_E_ASN1_CORRUPT);
                if (choice.tag == 0xA0) {
                    point.nameChoice = CRL_DIST_POINT_FULL_NAME;
                    if (DWORD err = ReadGeneralNames(choice, point.fullName)) return Fail(err);
                } else if (choice.tag == 0xA1) {
                    point.nameChoice = CRL_DIST_POINT_ISSUER_RDN_NAME;
                } else {
                    return Fail(CRYPT_E_ASN1_BADTAG);
                }
            } else if (number == 1) {  // reasons [1] BIT STRING
                if (field.constructed() || !field.length || field.contents[0] > 7)
                    return Fail(CRYPT_E_ASN1_CORRUPT);
                point.reasonUnused = field.contents[0];
                point.reasons.assign(field.contents + 1, field.contents + field.length);
            } else {  // cRLIssuer [2] GeneralNames
                if (!field.constructed()) return Fail(CRYPT_E_ASN1_CORRUPT);
                if (DWORD err = ReadGeneralNames(field, point.issuer)) return Fail(err);
            }
        }
        if (fields.failed()) return Fail(fields.error());
        points.push_back(std::move(point));
    }
    if (reader.failed()) return Fail(reader.error());
    return DeliverBlock(
        [&](Arena& a) {
            auto* info = a.array<CRL_DIST_POINTS_INFO>(1);
            info->cDistPoint = static_cast<DWORD>(points.size());
            info->rgDistPoint = points.empty() ? nullptr : a.array<CRL_DIST_POINT>(points.size());
            for (size_t i = 0; i < points.size(); ++i) {
                CRL_DIST_POINT& o = info->rgDistPoint[i];
                o.DistPointName.dwDistPointNameChoice = points[i].nameChoice;
                if (points[i].nameChoice == CRL_DIST_POINT_FULL_NAME)
                    BuildAltNameInfo(a, &o.DistPointName.FullName, points[i].fullName);
                o.ReasonFlags.cbData = static_cast<DWORD>(points[i].reasons.size());
                o.ReasonFlags.pbData = a.bytes(points[i].reasons);
                o.ReasonFlags.cUnusedBits = points[i].reasonUnused;
                BuildAltNameInfo(a, &o.CRLIssuer, points[i].issuer);
            }
        },
        flags, para, out, outLen);
}

BOOL DecodeEnhKeyUsage(const BYTE* data, DWORD size, DWORD flags, const CRYPT_DECODE_PARA* para, void* out,
                       DWORD* outLen) {
    Tlv seq;
    if (DWORD err = ReadTop(data, size, TagSequence, seq)) return Fail(err);
    std::vector<std::string> oids;
    DerReader reader(seq);
    Tlv oid;
    while (reader.next(oid)) {
        if (oid.tag != TagOid) return Fail(CRYPT_E_ASN1_BADTAG);
        std::string dotted;
        if (!OidFromDer(oid.contents, oid.length, dotted)) return Fail(CRYPT_E_ASN1_CORRUPT);
        oids.push_back(std::move(dotted));
    }
    if (reader.failed()) return Fail(reader.error());
    return DeliverBlock(
        [&](Arena& a) {
            auto* usage = a.array<CTL_USAGE>(1);
            usage->cUsageIdentifier = static_cast<DWORD>(oids.size());
            usage->rgpszUsageIdentifier = oids.empty() ? nullptr : a.array<LPSTR>(oids.size());
            for (size_t i = 0; i < oids.size(); ++i) usage->rgpszUsageIdentifier[i] = a.str(oids[i]);
        },
        flags, para, out, outLen);
}

BOOL DecodeTime(const BYTE* data, DWORD size, DWORD flags, const CRYPT_DECODE_PARA* para, void* out,
                DWORD* outLen) {
    Tlv time;
    if (!ReadSingle(data, size, time)) {
        DerReader reader(data, size);
        Tlv ignored;
        return Fail(!data || !size         ? CRYPT_E_ASN1_EOD
                    : reader.next(ignored) ? CRYPT_E_ASN1_CORRUPT
                                           : reader.error());
    }
    if (time.tag != TagUtcTime && time.tag != TagGeneralizedTime) return Fail(CRYPT_E_ASN1_BADTAG);
    FILETIME ft;
    if (!TimeFromDer(time.tag, time.contents, time.length, ft)) return Fail(CRYPT_E_ASN1_CORRUPT);
    return DeliverBlock([&](Arena& a) { *a.array<FILETIME>(1) = ft; }, flags, para, out, outLen);
}

BOOL DecodeNameInfo(const BYTE* data, DWORD size, bool unicode, DWORD flags, const CRYPT_DECODE_PARA* para,
                    void* out, DWORD* outLen) {
    Name name;
    if (DWORD err = DecodeName(data, size, name)) return Fail(err);
    // The values as the caller gets them.
    std::vector<std::vector<Bytes>> values(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        for (const NameAttr& attr : name[i]) {
            Bytes v = attr.value;
            const bool wide = attr.type == CERT_RDN_UTF8_STRING || attr.type == CERT_RDN_BMP_STRING ||
                              (unicode && IsStringRdnType(attr.type) && attr.type != CERT_RDN_OCTET_STRING);
            if (wide) {
                std::u16string text;
                if (!ValueText(attr, text)) return Fail(CRYPT_E_ASN1_CORRUPT);
                v.assign(reinterpret_cast<const BYTE*>(text.data()),
                         reinterpret_cast<const BYTE*>(text.data() + text.size()));
            } else if (attr.type == CERT_RDN_UNIVERSAL_STRING) {
                // 32-bit code points in the machine's order
                for (size_t k = 0; k + 4 <= attr.value.size(); k += 4) {
                    const uint32_t c = uint32_t(attr.value[k]) << 24 | uint32_t(attr.value[k + 1]) << 16 |
                                       uint32_t(attr.value[k + 2]) << 8 | attr.value[k + 3];
                    std::memcpy(v.data() + k, &c, 4);
                }
            }
            values[i].push_back(std::move(v));
        }
    }
    return DeliverBlock(
        [&](Arena& a) {
            auto* info = a.array<CERT_NAME_INFO>(1);
            info->cRDN = static_cast<DWORD>(name.size());
            info->rgRDN = name.empty() ? nullptr : a.array<CERT_RDN>(name.size());
            for (size_t i = 0; i < name.size(); ++i) {
                CERT_RDN& rdn = info->rgRDN[i];
                rdn.cRDNAttr = static_cast<DWORD>(name[i].size());
                rdn.rgRDNAttr = a.array<CERT_RDN_ATTR>(name[i].size());
                for (size_t j = 0; j < name[i].size(); ++j) {
                    CERT_RDN_ATTR& attr = rdn.rgRDNAttr[j];
                    attr.pszObjId = a.str(name[i][j].oid);
                    attr.dwValueType = name[i][j].type;
                    const Bytes& v = values[i][j];
                    // Followed by a zero character of the widest kind, so texts end in a NUL.
                    auto* p = static_cast<BYTE*>(a.alloc(v.size() + 4, 4));
                    if (!v.empty()) std::memcpy(p, v.data(), v.size());
                    std::memset(p + v.size(), 0, 4);
                    attr.Value.cbData = static_cast<DWORD>(v.size());
                    attr.Value.pbData = p;
                }
            }
        },
        flags, para, out, outLen);
}

// ---- Encoders --------------------------------------------------------------------------------------

DWORD EncodeNameInfo(const CERT_NAME_INFO* info, bool unicode, Bytes& out) {
    Name name;
    if (info->cRDN && !info->rgRDN) return static_cast<DWORD>(E_INVALIDARG);
    for (DWORD i = 0; i < info->cRDN; ++i) {
        const CERT_RDN& rdn = info->rgRDN[i];
        if (rdn.cRDNAttr && !rdn.rgRDNAttr) return static_cast<DWORD>(E_INVALIDARG);
        NameRdn outRdn;
        for (DWORD j = 0; j < rdn.cRDNAttr; ++j) {
            const CERT_RDN_ATTR& attr = rdn.rgRDNAttr[j];
            NameAttr a;
            if (!attr.pszObjId || !OidToDer(attr.pszObjId, a.value)) return CRYPT_E_OID_FORMAT;
            a.oid = attr.pszObjId;
            a.type = attr.dwValueType & CERT_RDN_TYPE_MASK;
            const BYTE* v = attr.Value.pbData;
            const DWORD n = v ? attr.Value.cbData : 0;
            const bool wide = a.type == CERT_RDN_ANY_TYPE || a.type == CERT_RDN_UTF8_STRING ||
                              a.type == CERT_RDN_BMP_STRING ||
                              (unicode && IsStringRdnType(a.type) && a.type != CERT_RDN_OCTET_STRING &&
                               a.type != CERT_RDN_UNIVERSAL_STRING);
            if (a.type == CERT_RDN_ENCODED_BLOB) {
                Tlv tlv;
                if (!ReadSingle(v, n, tlv)) return CRYPT_E_BAD_ENCODE;
                a.value.assign(v, v + n);
            } else if (a.type == CERT_RDN_UNIVERSAL_STRING) {
                a.value.clear();
                for (DWORD k = 0; k + 4 <= n; k += 4) {
                    uint32_t c;
                    std::memcpy(&c, v + k, 4);
                    for (int shift = 24; shift >= 0; shift -= 8)
                        a.value.push_back(static_cast<BYTE>(c >> shift));
                }
            } else if (wide) {
                // Wide texts end at their NUL when no length is given.
                std::u16string text;
                const auto* w = reinterpret_cast<const char16_t*>(v);
                if (w) text.assign(w, n ? n / sizeof(char16_t) : wcslen16(w));
                if (a.type == CERT_RDN_ANY_TYPE) a.type = ChooseValueType(a.oid, text);
                if (!a.type) return CRYPT_E_INVALID_X500_STRING;
                if (!EncodeTextValue(text, a.type, a.value)) {
                    switch (a.type) {
                        case CERT_RDN_NUMERIC_STRING:
                            return CRYPT_E_INVALID_NUMERIC_STRING;
                        case CERT_RDN_PRINTABLE_STRING:
                            return CRYPT_E_INVALID_PRINTABLE_STRING;
                        case CERT_RDN_IA5_STRING:
                            return CRYPT_E_INVALID_IA5_STRING;
                        default:
                            return CRYPT_E_NOT_CHAR_STRING;
                    }
                }
            } else if (IsStringRdnType(a.type)) {
                a.value.assign(v, v + n);
            } else {
                return CRYPT_E_NOT_CHAR_STRING;
            }
            outRdn.push_back(std::move(a));
        }
        name.push_back(std::move(outRdn));
    }
    out = EncodeName(name);
    return 0;
}

DWORD EncodeEnhKeyUsage(const CTL_USAGE* usage, Bytes& out) {
    Bytes oids;
    if (usage->cUsageIdentifier && !usage->rgpszUsageIdentifier) return static_cast<DWORD>(E_INVALIDARG);
    for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
        Bytes oid;
        const char* dotted = usage->rgpszUsageIdentifier[i];
        if (!dotted || !OidToDer(dotted, oid)) return CRYPT_E_OID_FORMAT;
        PutTlv(oids, TagOid, oid);
    }
    out = MakeTlv(TagSequence, oids);
    return 0;
}

// The structure kinds, whether asked for by number or by OID.
enum class Kind { Unknown, DistPoints, EnhKeyUsage, AltName, ChoiceOfTime, UtcTime, Name, UnicodeName };

Kind KindOf(LPCSTR structType) {
    if (!structType) return Kind::Unknown;
    const auto id = reinterpret_cast<uintptr_t>(structType);
    if (id >> 16 == 0) {
        if (structType == X509_CRL_DIST_POINTS) return Kind::DistPoints;
        if (structType == X509_ENHANCED_KEY_USAGE) return Kind::EnhKeyUsage;
        if (structType == X509_ALTERNATE_NAME) return Kind::AltName;
        if (structType == X509_CHOICE_OF_TIME) return Kind::ChoiceOfTime;
        if (structType == PKCS_UTC_TIME) return Kind::UtcTime;
        if (structType == VSK_X509_NAME) return Kind::Name;
        if (structType == X509_UNICODE_NAME) return Kind::UnicodeName;
        return Kind::Unknown;
    }
    const std::string oid(structType);
    if (oid == szOID_CRL_DIST_POINTS) return Kind::DistPoints;
    if (oid == szOID_ENHANCED_KEY_USAGE) return Kind::EnhKeyUsage;
    if (oid == szOID_SUBJECT_ALT_NAME2 || oid == szOID_ISSUER_ALT_NAME2 || oid == "2.5.29.7" ||
        oid == "2.5.29.8")
        return Kind::AltName;
    if (oid == "1.3.6.1.4.1.311.21.4") return Kind::ChoiceOfTime;
    if (oid == szOID_RSA_signingTime) return Kind::UtcTime;
    return Kind::Unknown;
}

}  // namespace

}  // namespace vsk::cert

using namespace vsk::cert;

BOOL CryptDecodeObjectEx(DWORD encoding, LPCSTR structType, const BYTE* encoded, DWORD encodedLen,
                         DWORD flags, const CRYPT_DECODE_PARA* para, void* structInfo, DWORD* structInfoLen) {
    (void)encoding;
    if (!structInfoLen || (!encoded && encodedLen)) return Fail(ERROR_INVALID_PARAMETER);
    const Kind kind = KindOf(structType);
    if (kind == Kind::Unknown) return Fail(ERROR_FILE_NOT_FOUND);
    if (!encoded || !encodedLen) return Fail(CRYPT_E_ASN1_EOD);
    switch (kind) {
        case Kind::DistPoints:
            return DecodeDistPoints(encoded, encodedLen, flags, para, structInfo, structInfoLen);
        case Kind::EnhKeyUsage:
            return DecodeEnhKeyUsage(encoded, encodedLen, flags, para, structInfo, structInfoLen);
        case Kind::AltName:
            return DecodeAltNames(encoded, encodedLen, flags, para, structInfo, structInfoLen);
        case Kind::ChoiceOfTime:
        case Kind::UtcTime:
            return DecodeTime(encoded, encodedLen, flags, para, structInfo, structInfoLen);
        case Kind::Name:
        case Kind::UnicodeName:
            return DecodeNameInfo(encoded, encodedLen, kind == Kind::UnicodeName, flags, para, structInfo,
                                  structInfoLen);
        default:
            return Fail(ERROR_FILE_NOT_FOUND);
    }
}

BOOL CryptDecodeObject(DWORD encoding, LPCSTR structType, const BYTE* encoded, DWORD encodedLen, DWORD flags,
                       void* structInfo, DWORD* structInfoLen) {
    return CryptDecodeObjectEx(encoding, structType, encoded, encodedLen, flags & ~CRYPT_DECODE_ALLOC_FLAG,
                               nullptr, structInfo, structInfoLen);
}

BOOL CryptEncodeObjectEx(DWORD encoding, LPCSTR structType, const void* structInfo, DWORD flags,
                         const CRYPT_ENCODE_PARA* para, void* encoded, DWORD* encodedLen) {
    (void)encoding;
    if (!structInfo || !encodedLen) return Fail(ERROR_INVALID_PARAMETER);
    Bytes der;
    DWORD err = 0;
    switch (KindOf(structType)) {
        case Kind::ChoiceOfTime:
        case Kind::UtcTime:
            if (!TimeToDer(*static_cast<const FILETIME*>(structInfo), der)) err = CRYPT_E_BAD_ENCODE;
            break;
        case Kind::EnhKeyUsage:
            err = EncodeEnhKeyUsage(static_cast<const CTL_USAGE*>(structInfo), der);
            break;
        case Kind::Name:
        case Kind::UnicodeName:
            EnsureOidInfoLoaded();
            err = EncodeNameInfo(static_cast<const CERT_NAME_INFO*>(structInfo),
                                 KindOf(structType) == Kind::UnicodeName, der);
            break;
        default:
            err = ERROR_FILE_NOT_FOUND;
            break;
    }
    if (err) return Fail(err);
    if (flags & CRYPT_ENCODE_ALLOC_FLAG) {
        if (!encoded) return Fail(ERROR_INVALID_PARAMETER);
        auto* block = static_cast<BYTE*>(para && para->pfnAlloc ? para->pfnAlloc(der.size())
                                                                : LocalAlloc(LMEM_FIXED, der.size()));
        if (!block) return Fail(ERROR_NOT_ENOUGH_MEMORY);
        std::memcpy(block, der.data(), der.size());
        *static_cast<BYTE**>(encoded) = block;
        *encodedLen = static_cast<DWORD>(der.size());
        return TRUE;
    }
    if (!encoded) {
        *encodedLen = static_cast<DWORD>(der.size());
        return TRUE;
    }
    if (*encodedLen < der.size()) {
        *encodedLen = static_cast<DWORD>(der.size());
        return Fail(ERROR_MORE_DATA);
    }
    std::memcpy(encoded, der.data(), der.size());
    *encodedLen = static_cast<DWORD>(der.size());
    return TRUE;
}

BOOL CryptEncodeObject(DWORD encoding, LPCSTR structType, const void* structInfo, BYTE* encoded,
                       DWORD* encodedLen) {
    return CryptEncodeObjectEx(encoding, structType, structInfo, 0, nullptr, encoded, encodedLen);
}

BOOL CertComparePublicKeyInfo(DWORD encoding, const CERT_PUBLIC_KEY_INFO* a, const CERT_PUBLIC_KEY_INFO* b) {
    (void)encoding;
    if (!a || !b) return FALSE;
    const CRYPT_BIT_BLOB& x = a->PublicKey;
    const CRYPT_BIT_BLOB& y = b->PublicKey;
    if (x.cbData != y.cbData || x.cUnusedBits != y.cUnusedBits) return FALSE;
    return x.cbData == 0 || (x.pbData && y.pbData && std::memcmp(x.pbData, y.pbData, x.cbData) == 0);
}
