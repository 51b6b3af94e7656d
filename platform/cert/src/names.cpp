// X.501 names: the in-memory Name, value texts and string types, CertNameToStrW, CertStrToNameW and
// CertGetNameStringW.
#include "certnameInternal.h"

#include <vsk/platform/kernel.h>

#include <algorithm>
#include <cstring>

namespace vsk::cert {

// ---- The Name --------------------------------------------------------------------------------------

DWORD RdnTypeFromTag(BYTE tag) {
    switch (tag) {
        case TagOctetString:
            return CERT_RDN_OCTET_STRING;
        case TagNumericString:
            return CERT_RDN_NUMERIC_STRING;
        case TagPrintableString:
            return CERT_RDN_PRINTABLE_STRING;
        case TagT61String:
            return CERT_RDN_TELETEX_STRING;
        case TagVideotexString:
            return CERT_RDN_VIDEOTEX_STRING;
        case TagIa5String:
            return CERT_RDN_IA5_STRING;
        case TagGraphicString:
            return CERT_RDN_GRAPHIC_STRING;
        case TagVisibleString:
            return CERT_RDN_VISIBLE_STRING;
        case TagGeneralString:
            return CERT_RDN_GENERAL_STRING;
        case TagUniversalString:
            return CERT_RDN_UNIVERSAL_STRING;
        case TagBmpString:
            return CERT_RDN_BMP_STRING;
        case TagUtf8String:
            return CERT_RDN_UTF8_STRING;
        default:
            return CERT_RDN_ENCODED_BLOB;
    }
}

BYTE TagFromRdnType(DWORD type) {
    switch (type & CERT_RDN_TYPE_MASK) {
        case CERT_RDN_OCTET_STRING:
            return TagOctetString;
        case CERT_RDN_NUMERIC_STRING:
            return TagNumericString;
        case CERT_RDN_PRINTABLE_STRING:
            return TagPrintableString;
        case CERT_RDN_TELETEX_STRING:
            return TagT61String;
        case CERT_RDN_VIDEOTEX_STRING:
            return TagVideotexString;
        case CERT_RDN_IA5_STRING:
            return TagIa5String;
        case CERT_RDN_GRAPHIC_STRING:
            return TagGraphicString;
        case CERT_RDN_VISIBLE_STRING:
            return TagVisibleString;
        case CERT_RDN_GENERAL_STRING:
            return TagGeneralString;
        case CERT_RDN_UNIVERSAL_STRING:
            return TagUniversalString;
        case CERT_RDN_BMP_STRING:
            return TagBmpString;
        case CERT_RDN_UTF8_STRING:
            return TagUtf8String;
        default:
            return 0;
    }
}

bool IsStringRdnType(DWORD type) {
    return TagFromRdnType(type) != 0;
}

DWORD DecodeName(const BYTE* data, size_t size, Name& out) {
    out.clear();
    Tlv seq;
    DerReader top(data, size);
    if (!top.next(seq)) return top.failed() ? top.error() : CRYPT_E_ASN1_EOD;
    if (!top.atEnd()) return CRYPT_E_ASN1_CORRUPT;
    if (seq.tag != TagSequence) return CRYPT_E_ASN1_BADTAG;
    DerReader rdns(seq);
    Tlv set;
    while (rdns.next(set)) {
        if (set.tag != TagSet) return CRYPT_E_ASN1_BADTAG;
        NameRdn rdn;
        DerReader atvs(set);
        Tlv atv;
        while (atvs.next(atv)) {
            if (atv.tag != TagSequence) return CRYPT_E_ASN1_BADTAG;
            DerReader parts(atv);
            Tlv oid, value;
            if (!parts.expect(TagOid, oid) || !parts.next(value)) return parts.error();
            if (!parts.atEnd()) return CRYPT_E_ASN1_CORRUPT;
            NameAttr attr;
            if (!OidFromDer(oid.contents, oid.length, attr.oid)) return CRYPT_E_ASN1_CORRUPT;
            attr.type = RdnTypeFromTag(value.tag);
            if (IsStringRdnType(attr.type))
                attr.value.assign(value.contents, value.contents + value.length);
            else
                attr.value.assign(value.whole, value.whole + value.wholeLength);
            rdn.push_back(std::move(attr));
        }
        if (atvs.failed()) return atvs.error();
        if (rdn.empty()) return CRYPT_E_ASN1_CORRUPT;
        out.push_back(std::move(rdn));
    }
    if (rdns.failed()) return rdns.error();
    return 0;
}

Bytes EncodeName(const Name& name) {
    Bytes rdns;
    for (const NameRdn& rdn : name) {
        Bytes atvs;
        for (const NameAttr& attr : rdn) {
            Bytes atv, oid;
            OidToDer(attr.oid, oid);
            PutTlv(atv, TagOid, oid);
            if (IsStringRdnType(attr.type))
                PutTlv(atv, TagFromRdnType(attr.type), attr.value);
            else
                atv.insert(atv.end(), attr.value.begin(), attr.value.end());
            PutTlv(atvs, TagSequence, atv);
        }
        PutTlv(rdns, TagSet, atvs);
    }
    return MakeTlv(TagSequence, rdns);
}

// ---- Value texts --------------------------------------------------------------------------------

bool ValueText(const NameAttr& attr, std::u16string& out) {
    const BYTE* p = attr.value.data();
    const size_t n = attr.value.size();
    out.clear();
    switch (attr.type) {
        case CERT_RDN_NUMERIC_STRING:
        case CERT_RDN_PRINTABLE_STRING:
        case CERT_RDN_IA5_STRING:
        case CERT_RDN_VISIBLE_STRING:
        case CERT_RDN_GRAPHIC_STRING:
        case CERT_RDN_GENERAL_STRING:
        case CERT_RDN_VIDEOTEX_STRING:
            out = Latin1ToUtf16(p, n);
            return true;
        case CERT_RDN_TELETEX_STRING: {
            bool wellFormed = false;
            out = Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(p), n), &wellFormed);
            if (!wellFormed) out = Latin1ToUtf16(p, n);
            return true;
        }
        case CERT_RDN_UTF8_STRING:
            out = Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(p), n));
            return true;
        case CERT_RDN_BMP_STRING:
            if (n % 2) return false;
            for (size_t i = 0; i < n; i += 2) out.push_back(static_cast<char16_t>(p[i] << 8 | p[i + 1]));
            return true;
        case CERT_RDN_UNIVERSAL_STRING:
            if (n % 4) return false;
            for (size_t i = 0; i < n; i += 4) {
                uint32_t c =
                    uint32_t(p[i]) << 24 | uint32_t(p[i + 1]) << 16 | uint32_t(p[i + 2]) << 8 | p[i + 3];
                if (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) c = 0xFFFD;
                if (c >= 0x10000) {
                    c -= 0x10000;
                    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
                    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
                } else {
                    out.push_back(static_cast<char16_t>(c));
                }
            }
            return true;
        default:
            return false;
    }
}

bool FitsNumeric(const std::u16string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char16_t c) { return (c >= u'0' && c <= u'9') || c == u' '; });
}

bool FitsPrintable(const std::u16string& text) {
    return std::all_of(text.begin(), text.end(), [](char16_t c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
               std::u16string_view(u" '()+,-./:=?").find(c) != std::u16string_view::npos;
    });
}

bool FitsIa5(const std::u16string& text) {
    return std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x80; });
}

namespace {

bool FitsLatin1(const std::u16string& text) {
    return std::all_of(text.begin(), text.end(), [](char16_t c) { return c < 0x100; });
}

Bytes Narrow(const std::u16string& text) {
    Bytes out;
    for (char16_t c : text) out.push_back(static_cast<BYTE>(c));
    return out;
}

}  // namespace

bool EncodeTextValue(const std::u16string& text, DWORD type, Bytes& out) {
    switch (type) {
        case CERT_RDN_NUMERIC_STRING:
            if (!FitsNumeric(text)) return false;
            out = Narrow(text);
            return true;
        case CERT_RDN_PRINTABLE_STRING:
            if (!FitsPrintable(text)) return false;
            out = Narrow(text);
            return true;
        case CERT_RDN_IA5_STRING:
        case CERT_RDN_VISIBLE_STRING:
            if (!FitsIa5(text)) return false;
            out = Narrow(text);
            return true;
        case CERT_RDN_TELETEX_STRING:
        case CERT_RDN_VIDEOTEX_STRING:
        case CERT_RDN_GRAPHIC_STRING:
        case CERT_RDN_GENERAL_STRING:
            if (!FitsLatin1(text)) return false;
            out = Narrow(text);
            return true;
        case CERT_RDN_UTF8_STRING: {
            std::string utf8 = Utf16ToUtf8(text);
            out.assign(utf8.begin(), utf8.end());
            return true;
        }
        case CERT_RDN_BMP_STRING:
            out.clear();
            for (char16_t c : text) {
                out.push_back(static_cast<BYTE>(c >> 8));
                out.push_back(static_cast<BYTE>(c));
            }
            return true;
        case CERT_RDN_UNIVERSAL_STRING:
            out.clear();
            for (size_t i = 0; i < text.size(); ++i) {
                uint32_t c = text[i];
                if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                    text[i + 1] < 0xE000)
                    c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
                for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<BYTE>(c >> shift));
            }
            return true;
        default:
            return false;
    }
}

std::vector<DWORD> AllowedValueTypes(const std::string& oid) {
    std::vector<DWORD> types;
    PCCRYPT_OID_INFO info =
        CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(oid.c_str()), CRYPT_RDN_ATTR_OID_GROUP_ID);
    if (!info || !info->ExtraInfo.pbData) return types;
    for (size_t i = 0; i + sizeof(DWORD) <= info->ExtraInfo.cbData; i += sizeof(DWORD)) {
        DWORD type;
        std::memcpy(&type, info->ExtraInfo.pbData + i, sizeof type);
        if (!type) break;
        types.push_back(type);
    }
    return types;
}

DWORD ChooseValueType(const std::string& oid, const std::u16string& text) {
    std::vector<DWORD> allowed = AllowedValueTypes(oid);
    if (allowed.empty()) return FitsPrintable(text) ? CERT_RDN_PRINTABLE_STRING : CERT_RDN_UTF8_STRING;
    Bytes ignored;
    for (DWORD type : allowed)
        if (EncodeTextValue(text, type, ignored)) return type;
    return 0;
}

// ---- X.500 keys ----------------------------------------------------------------------------------

const X500Key* X500Keys() {
    static const X500Key keys[] = {
        {u"CN", "2.5.4.3", true},
        {u"L", "2.5.4.7", true},
        {u"O", "2.5.4.10", true},
        {u"OU", "2.5.4.11", true},
        {u"E", "1.2.840.113549.1.9.1", true},
        {u"C", "2.5.4.6", true},
        {u"S", "2.5.4.8", true},
        {u"STREET", "2.5.4.9", true},
        {u"T", "2.5.4.12", true},
        {u"G", "2.5.4.42", true},
        {u"I", "2.5.4.43", true},
        {u"SN", "2.5.4.4", true},
        {u"DC", "0.9.2342.19200300.100.1.25", true},
        {u"SERIALNUMBER", "2.5.4.5", true},
        {u"Description", "2.5.4.13", true},
        {u"PostalCode", "2.5.4.17", true},
        {u"POBox", "2.5.4.18", true},
        {u"Phone", "2.5.4.20", true},
        {u"X21Address", "2.5.4.24", true},
        {u"dnQualifier", "2.5.4.46", true},
        {u"UnstructuredName", "1.2.840.113549.1.9.2", true},
        {u"UnstructuredAddress", "1.2.840.113549.1.9.8", true},
        {u"UID", "0.9.2342.19200300.100.1.1", true},
        {u"Email", "1.2.840.113549.1.9.1", false},
        {u"ST", "2.5.4.8", false},
        {u"Title", "2.5.4.12", false},
        {u"GivenName", "2.5.4.42", false},
        {u"Initials", "2.5.4.43", false},
        {u"SurName", "2.5.4.4", false},
        {nullptr, nullptr, false},
    };
    return keys;
}

const char16_t* KeyForOid(const std::string& oid) {
    for (const X500Key* k = X500Keys(); k->key; ++k)
        if (k->primary && oid == k->oid) return k->key;
    PCCRYPT_OID_INFO info =
        CryptFindOIDInfo(CRYPT_OID_INFO_OID_KEY, const_cast<char*>(oid.c_str()), CRYPT_RDN_ATTR_OID_GROUP_ID);
    return info && info->pwszName && *info->pwszName ? info->pwszName : nullptr;
}

namespace {

bool SameNoCase(const std::u16string& a, const char16_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i)
        if (towlower16(a[i]) != towlower16(b[i])) return false;
    return i == a.size() && !b[i];
}

std::string Ascii(const std::u16string& text) {
    return std::string(text.begin(), text.end());
}

}  // namespace

std::string OidForKey(const std::u16string& key) {
    for (const X500Key* k = X500Keys(); k->key; ++k)
        if (SameNoCase(key, k->key)) return k->oid;
    if (key.size() > 4 && SameNoCase(key.substr(0, 4), u"OID.")) {
        std::u16string dotted = key.substr(4);
        return LooksLikeOid(dotted) ? Ascii(dotted) : std::string();
    }
    if (LooksLikeOid(key)) return Ascii(key);
    PCCRYPT_OID_INFO info = CryptFindOIDInfo(CRYPT_OID_INFO_NAME_KEY, const_cast<char16_t*>(key.c_str()),
                                             CRYPT_RDN_ATTR_OID_GROUP_ID);
    return info && info->pszOID ? info->pszOID : std::string();
}

namespace {

// ---- Name to text ----------------------------------------------------------------------------------

void AppendHex(std::u16string& out, const Bytes& bytes) {
    static const char16_t digits[] = u"0123456789ABCDEF";
    for (BYTE b : bytes) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 15]);
    }
}

bool NeedsQuotes(const std::u16string& value) {
    if (value.empty()) return false;
    if (value.front() == u' ' || value.back() == u' ') return true;
    return value.find_first_of(u",+=\"\r\n<>#;") != std::u16string::npos;
}

void AppendValue(std::u16string& out, const NameAttr& attr, bool quoting) {
    std::u16string text;
    if (!ValueText(attr, text)) {
        out.push_back(u'#');
        AppendHex(out,
                  IsStringRdnType(attr.type) ? MakeTlv(TagFromRdnType(attr.type), attr.value) : attr.value);
        return;
    }
    if (!quoting || !NeedsQuotes(text)) {
        out += text;
        return;
    }
    out.push_back(u'"');
    for (char16_t c : text) {
        if (c == u'"') out.push_back(u'"');
        out.push_back(c);
    }
    out.push_back(u'"');
}

DWORD NameToText(const Name& name, DWORD strType, std::u16string& out) {
    const DWORD kind = strType & 0xFFFF;
    if (kind != CERT_SIMPLE_NAME_STR && kind != CERT_OID_NAME_STR && kind != CERT_X500_NAME_STR)
        return static_cast<DWORD>(E_INVALIDARG);
    const char16_t* rdnSeparator = u", ";
    if (strType & CERT_NAME_STR_SEMICOLON_FLAG)
        rdnSeparator = u"; ";
    else if (strType & CERT_NAME_STR_CRLF_FLAG)
        rdnSeparator = u"\r\n";
    const char16_t* valueSeparator = strType & CERT_NAME_STR_NO_PLUS_FLAG ? u" " : u" + ";
    const bool quoting = !(strType & CERT_NAME_STR_NO_QUOTING_FLAG);

    out.clear();
    const size_t count = name.size();
    for (size_t i = 0; i < count; ++i) {
        const NameRdn& rdn = name[strType & CERT_NAME_STR_REVERSE_FLAG ? count - 1 - i : i];
        if (i) out += rdnSeparator;
        for (size_t j = 0; j < rdn.size(); ++j) {
            const NameAttr& attr = rdn[j];
            if (j) out += valueSeparator;
            if (kind == CERT_OID_NAME_STR) {
                out.append(attr.oid.begin(), attr.oid.end());
                out.push_back(u'=');
            } else if (kind == CERT_X500_NAME_STR) {
                if (const char16_t* key = KeyForOid(attr.oid)) {
                    out += key;
                } else {
                    out += u"OID.";
                    out.append(attr.oid.begin(), attr.oid.end());
                }
                out.push_back(u'=');
            }
            AppendValue(out, attr, quoting);
        }
    }
    return 0;
}

// Copies with the truncating protocol of the name functions; returns the count with the NUL.
DWORD CopyOut(const std::u16string& text, LPWSTR buffer, DWORD size) {
    if (!buffer || !size) return static_cast<DWORD>(text.size() + 1);
    const size_t n = std::min<size_t>(text.size(), size - 1);
    std::copy_n(text.data(), n, buffer);
    buffer[n] = 0;
    return static_cast<DWORD>(n + 1);
}

// ---- Text to Name ----------------------------------------------------------------------------------

struct ParseError {
    size_t position;
};

class NameParser {
public:
    NameParser(const std::u16string& text, DWORD strType) : m_text(text) {
        if (strType & CERT_NAME_STR_COMMA_FLAG) m_separators += u',';
        if (strType & CERT_NAME_STR_SEMICOLON_FLAG) m_separators += u';';
        if (strType & CERT_NAME_STR_CRLF_FLAG) m_separators += u"\r\n";
        if (m_separators.empty()) m_separators = u",;";
        m_plusSplits = !(strType & CERT_NAME_STR_NO_PLUS_FLAG);
    }

    // Fills `name`; false with the error position.
    bool parse(Name& name, size_t& errorAt) {
        name.clear();
        skipBlanks(true);
        if (atEnd()) return true;
        NameRdn rdn;
        for (;;) {
            NameAttr attr;
            if (!parseItem(attr, errorAt)) return false;
            rdn.push_back(std::move(attr));
            if (atEnd()) break;
            const char16_t c = m_text[m_pos++];
            if (c != u'+') {
                name.push_back(std::move(rdn));
                rdn.clear();
                // "\r\n" is one separator
                while (!atEnd() && (c == u'\r' || c == u'\n') &&
                       (m_text[m_pos] == u'\r' || m_text[m_pos] == u'\n'))
                    ++m_pos;
            }
            skipBlanks(true);
            if (atEnd()) {  // a separator must be followed by an item
                errorAt = m_pos;
                return false;
            }
        }
        name.push_back(std::move(rdn));
        return true;
    }

private:
    bool atEnd() const { return m_pos >= m_text.size(); }
    bool isSeparator(char16_t c) const {
        return m_separators.find(c) != std::u16string::npos || (m_plusSplits && c == u'+');
    }
    static bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }
    void skipBlanks(bool lineBreaksToo) {
        while (!atEnd() && (isBlank(m_text[m_pos]) ||
                            (lineBreaksToo && (m_text[m_pos] == u'\r' || m_text[m_pos] == u'\n') &&
                             !isSeparator(m_text[m_pos]))))
            ++m_pos;
    }
    static std::u16string trimmed(const std::u16string& s) {
        size_t b = 0, e = s.size();
        while (b < e && isBlank(s[b])) ++b;
        while (e > b && isBlank(s[e - 1])) --e;
        return s.substr(b, e - b);
    }

    bool parseItem(NameAttr& attr, size_t& errorAt) {
        const size_t keyStart = m_pos;
        while (!atEnd() && m_text[m_pos] != u'=' && !isSeparator(m_text[m_pos])) ++m_pos;
        if (atEnd() || m_text[m_pos] != u'=') {
            errorAt = keyStart;
            return false;
        }
        const std::u16string key = trimmed(m_text.substr(keyStart, m_pos - keyStart));
        attr.oid = key.empty() ? std::string() : OidForKey(key);
        if (attr.oid.empty()) {
            errorAt = keyStart;
            return false;
        }
        ++m_pos;  // '='
        skipBlanks(false);
        const size_t valueStart = m_pos;
        std::u16string value;
        bool quoted = false;
        if (!atEnd() && m_text[m_pos] == u'"') {
            quoted = true;
            ++m_pos;
            for (;;) {
                if (atEnd()) {
                    errorAt = valueStart;
                    return false;
                }
                const char16_t c = m_text[m_pos++];
                if (c == u'"') {
                    if (!atEnd() && m_text[m_pos] == u'"') {
                        value.push_back(u'"');
                        ++m_pos;
                        continue;
                    }
                    break;
                }
                value.push_back(c);
            }
            skipBlanks(false);
            if (!atEnd() && !isSeparator(m_text[m_pos])) {
                errorAt = m_pos;
                return false;
            }
        } else {
            while (!atEnd() && !isSeparator(m_text[m_pos])) {
                if (m_text[m_pos] == u'"') {
                    errorAt = m_pos;
                    return false;
                }
                value.push_back(m_text[m_pos++]);
            }
            value = trimmed(value);
        }
        if (!quoted && !value.empty() && value.front() == u'#' && hexValue(value, attr)) return true;
        attr.type = ChooseValueType(attr.oid, value);
        if (!attr.type || !EncodeTextValue(value, attr.type, attr.value)) {
            errorAt = valueStart;
            return false;
        }
        return true;
    }

    // "#" + hex: the DER of the value, when it is exactly one element; otherwise the text is taken as
    // it stands (a name such as "#1 Shop").
    static bool hexValue(const std::u16string& value, NameAttr& attr) {
        Bytes der;
        auto nibble = [](char16_t c) -> int {
            if (c >= u'0' && c <= u'9') return c - u'0';
            if (c >= u'a' && c <= u'f') return c - u'a' + 10;
            if (c >= u'A' && c <= u'F') return c - u'A' + 10;
            return -1;
        };
        const size_t digits = value.size() - 1;
        bool ok = digits && digits % 2 == 0;
        for (size_t i = 1; ok && i < value.size(); i += 2) {
            const int hi = nibble(value[i]), lo = nibble(value[i + 1]);
            ok = hi >= 0 && lo >= 0;
            if (ok) der.push_back(static_cast<BYTE>(hi << 4 | lo));
        }
        Tlv tlv;
        if (!ok || !ReadSingle(der.data(), der.size(), tlv)) return false;
        attr.type = RdnTypeFromTag(tlv.tag);
        if (IsStringRdnType(attr.type))
            attr.value.assign(tlv.contents, tlv.contents + tlv.length);
        else
            attr.value = std::move(der);
        return true;
    }

    const std::u16string& m_text;
    std::u16string m_separators;
    bool m_plusSplits = true;
    size_t m_pos = 0;
};

// ---- Certificate names ------------------------------------------------------------------------------

// The alternative names of the subject (issuer) of a certificate, decoded; empty when absent or
// malformed.
struct AltNames {
    std::vector<std::pair<DWORD, std::u16string>> entries;  // rfc822, DNS and URL entries
};

AltNames CertAltNames(PCCERT_CONTEXT cert, bool issuer) {
    AltNames out;
    const PCERT_INFO info = cert->pCertInfo;
    const char* oids[] = {issuer ? "2.5.29.18" : "2.5.29.17", issuer ? "2.5.29.8" : "2.5.29.7"};
    for (const char* oid : oids) {
        for (DWORD i = 0; i < info->cExtension; ++i) {
            const CERT_EXTENSION& ext = info->rgExtension[i];
            if (!ext.pszObjId || std::strcmp(ext.pszObjId, oid) != 0) continue;
            Tlv seq;
            if (!ReadSingle(ext.Value.pbData, ext.Value.cbData, seq) || seq.tag != TagSequence) continue;
            DerReader names(seq);
            Tlv gn;
            while (names.next(gn)) {
                DWORD choice = 0;
                switch (gn.tag) {
                    case 0x81:
                        choice = CERT_ALT_NAME_RFC822_NAME;
                        break;
                    case 0x82:
                        choice = CERT_ALT_NAME_DNS_NAME;
                        break;
                    case 0x86:
                        choice = CERT_ALT_NAME_URL;
                        break;
                    default:
                        continue;
                }
                out.entries.emplace_back(choice, Latin1ToUtf16(gn.contents, gn.length));
            }
        }
        if (!out.entries.empty()) break;
    }
    return out;
}

bool FirstAlt(const AltNames& alt, DWORD choice, std::u16string& out) {
    for (const auto& [c, text] : alt.entries)
        if (c == choice) {
            out = text;
            return true;
        }
    return false;
}

bool AttrText(const NameAttr& attr, std::u16string& out) {
    if (ValueText(attr, out)) return true;
    out = u"#";
    AppendHex(out, IsStringRdnType(attr.type) ? MakeTlv(TagFromRdnType(attr.type), attr.value) : attr.value);
    return true;
}

bool FirstAttr(const Name& name, const char* oid, std::u16string& out) {
    for (const NameRdn& rdn : name)
        for (const NameAttr& attr : rdn)
            if (attr.oid == oid) return AttrText(attr, out);
    return false;
}

std::u16string SimpleDisplayName(const Name& name, const AltNames& alt) {
    std::u16string out;
    for (const char* oid : {"2.5.4.3", "2.5.4.11", "2.5.4.10", "1.2.840.113549.1.9.1"})
        if (FirstAttr(name, oid, out)) return out;
    if (FirstAlt(alt, CERT_ALT_NAME_RFC822_NAME, out)) return out;
    if (!name.empty() && !name.front().empty()) AttrText(name.front().front(), out);
    return out;
}

}  // namespace

}  // namespace vsk::cert

using namespace vsk::cert;

DWORD CertNameToStrW(DWORD encoding, const CERT_NAME_BLOB* name, DWORD strType, LPWSTR psz, DWORD csz) {
    (void)encoding;
    EnsureOidInfoLoaded();
    if (psz && csz) *psz = 0;
    if (!name || (!name->pbData && name->cbData)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Name parsed;
    if (DWORD err = DecodeName(name->pbData, name->cbData, parsed)) {
        SetLastError(err);
        return 0;
    }
    std::u16string text;
    if (DWORD err = NameToText(parsed, strType, text)) {
        SetLastError(err);
        return 0;
    }
    return CopyOut(text, psz, csz);
}

BOOL CertStrToNameW(DWORD encoding, LPCWSTR x500, DWORD strType, void* reserved, BYTE* encoded,
                    DWORD* encodedLen, LPCWSTR* error) {
    (void)encoding;
    (void)reserved;
    EnsureOidInfoLoaded();
    if (error) *error = nullptr;
    const DWORD kind = strType & 0xFFFF;
    if (!x500 || !encodedLen || (kind != CERT_X500_NAME_STR && kind != CERT_OID_NAME_STR)) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return FALSE;
    }
    const std::u16string text(x500);
    Name name;
    size_t errorAt = 0;
    if (!NameParser(text, strType).parse(name, errorAt)) {
        if (error) *error = x500 + errorAt;
        SetLastError(CRYPT_E_INVALID_X500_STRING);
        return FALSE;
    }
    if (strType & CERT_NAME_STR_REVERSE_FLAG) std::reverse(name.begin(), name.end());
    const Bytes der = EncodeName(name);
    if (!encoded) {
        *encodedLen = static_cast<DWORD>(der.size());
        return TRUE;
    }
    if (*encodedLen < der.size()) {
        *encodedLen = static_cast<DWORD>(der.size());
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    std::memcpy(encoded, der.data(), der.size());
    *encodedLen = static_cast<DWORD>(der.size());
    return TRUE;
}

DWORD CertGetNameStringW(PCCERT_CONTEXT cert, DWORD type, DWORD flags, void* typePara, LPWSTR nameOut,
                         DWORD nameLen) {
    EnsureOidInfoLoaded();
    std::u16string text;
    if (!cert || !cert->pCertInfo) {
        SetLastError(static_cast<DWORD>(E_INVALIDARG));
        return CopyOut(text, nameOut, nameLen);
    }
    const bool issuer = flags & CERT_NAME_ISSUER_FLAG;
    const CERT_NAME_BLOB& blob = issuer ? cert->pCertInfo->Issuer : cert->pCertInfo->Subject;
    Name name;
    if (DecodeName(blob.pbData, blob.cbData, name)) name.clear();  // shown as no name
    switch (type) {
        case CERT_NAME_SIMPLE_DISPLAY_TYPE:
            text = SimpleDisplayName(name, CertAltNames(cert, issuer));
            break;
        case CERT_NAME_FRIENDLY_DISPLAY_TYPE: {
            DWORD size = 0;
            if (!issuer &&
                CertGetCertificateContextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID, nullptr, &size) &&
                size >= sizeof(WCHAR)) {
                std::u16string friendly(size / sizeof(WCHAR), u'\0');
                if (CertGetCertificateContextProperty(cert, CERT_FRIENDLY_NAME_PROP_ID, friendly.data(),
                                                      &size)) {
                    friendly.resize(std::min(friendly.size(), size / sizeof(WCHAR)));
                    text = friendly.c_str();
                }
            }
            if (text.empty()) text = SimpleDisplayName(name, CertAltNames(cert, issuer));
            break;
        }
        case CERT_NAME_EMAIL_TYPE:
            if (!FirstAlt(CertAltNames(cert, issuer), CERT_ALT_NAME_RFC822_NAME, text))
                FirstAttr(name, szOID_RSA_emailAddr, text);
            break;
        case CERT_NAME_ATTR_TYPE:
            if (typePara) FirstAttr(name, static_cast<const char*>(typePara), text);
            break;
        case CERT_NAME_RDN_TYPE:
            NameToText(name, typePara ? *static_cast<const DWORD*>(typePara) : CERT_SIMPLE_NAME_STR, text);
            break;
        case CERT_NAME_DNS_TYPE:
            if (!FirstAlt(CertAltNames(cert, issuer), CERT_ALT_NAME_DNS_NAME, text))
                FirstAttr(name, szOID_COMMON_NAME, text);
            break;
        case CERT_NAME_URL_TYPE:
            FirstAlt(CertAltNames(cert, issuer), CERT_ALT_NAME_URL, text);
            break;
        default:
            break;
    }
    return CopyOut(text, nameOut, nameLen);
}
