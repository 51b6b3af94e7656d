// X.501 names: reading with the library's ASN.1 reader, writing through the platform's
// string-to-name conversion, X.500 and display texts, comparison.
#include <vsk/pki/Attributes.h>

#include <vsk/asn1/asn1.h>
#include <vsk/pki/CryptError.h>
#include <vsk/platform/cert.h>
#include <vsk/platform/certname.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "nameRows.h"

using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CError;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;

namespace Vsk::PKI {

namespace {

constexpr UINT CP = Vsk::Utils::CP_PROGRAM;

struct DisplayNameRow {
    const char* oid;
    const char* name;
};

const DisplayNameRow DisplayNames[] = {
    {"2.5.4.3", "Общее имя"},
    {"2.5.4.42", "Имя"},
    {"2.5.4.4", "Фамилия"},
    {"2.5.4.65", "Псевдоним"},
    {"2.5.4.5", "Серийный номер"},
    {"2.5.4.6", "Страна/регион"},
    {"2.5.4.7", "Город"},
    {"2.5.4.8", "Область"},
    {"2.5.4.9", "Адрес"},
    {"2.5.4.10", "Организация"},
    {"2.5.4.11", "Подразделение"},
    {"2.5.4.12", "Должность/звание"},
    {"1.2.840.113549.1.9.1", "Электронная почта"},
    {"2.5.4.43", "Инициалы"},
    {"1.2.643.3.131.1.1", "ИНН"},
    {"1.2.643.100.1", "ОГРН"},
    {"1.2.643.100.5", "ОГРНИП"},
    {"1.2.643.100.3", "СНИЛС"},
    {"2.5.29.15", "Использования ключа"},
    {"2.5.29.37", "Расширенная область использования ключа"},
};

// Registration numbers that must be NumericString whatever string type the conversion chose.
const char* const NumericOids[] = {"1.2.643.100.1", "1.2.643.100.5", "1.2.643.100.3", "1.2.643.3.131.1.1"};

constexpr int TagNumericString = 18;
constexpr DWORD StrTypeEncode = CERT_X500_NAME_STR | CERT_NAME_STR_COMMA_FLAG | CERT_NAME_STR_NO_PLUS_FLAG;

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Value text for X.500 text: quotes doubled, and the whole in quotes when it holds a character that
// would split it.
CWString quoteValue(const CWString& value, bool plusSplits) {
    if (value.getLength() == 0) return value;
    bool quoted = false;
    bool needQuotes = false;
    CWString out;
    const WCHAR* p = value.c_str();
    for (DWORD i = 0; i < value.getLength(); ++i) {
        const WCHAR c = p[i];
        if (c == u'"') {
            quoted = true;
            out += CWString(u"\"\"");
            continue;
        }
        if (c == u',' || c == u';' || c == u'=' || (plusSplits && c == u'+')) needQuotes = true;
        out += c;
    }
    if (!quoted && !needQuotes) return value;
    return CWString(u"\"") + out + CWString(u"\"");
}

// Value text for the string-to-name conversion: beyond the display quoting, a value with a leading
// or trailing blank (which the conversion trims when unquoted) or a leading "#" (which it reads as
// hexadecimal DER) goes in quotes, so that the encoded value is the value itself.
CWString quoteForEncoding(const CWString& value) {
    const DWORD n = value.getLength();
    const WCHAR* p = value.c_str();
    const bool risky =
        n && (p[0] == u' ' || p[n - 1] == u' ' || p[0] == u'#' || p[0] == u'\t' || p[n - 1] == u'\t');
    const CWString quoted = quoteValue(value, false);
    if (!risky || quoted.getLength() != n) return quoted;
    CWString out(u"\"");
    out += value;
    out += u'"';
    return out;
}

// Index of the RDN each attribute belongs to, counted from 0.
std::vector<size_t> rdnIndexes(const Vsk::Utils::CArray<CAttributePtr>& attributes) {
    std::vector<size_t> groups;
    groups.reserve(attributes.getCount());
    size_t group = 0;
    for (size_t i = 0; i < attributes.getCount(); ++i) {
        if (i > 0 && !attributes[i]->m_joinedToPrevious) ++group;
        groups.push_back(group);
    }
    return groups;
}

void appendDerLength(std::string& out, size_t length) {
    if (length < 0x80) {
        out += static_cast<char>(length);
        return;
    }
    std::string bytes;
    for (size_t n = length; n; n >>= 8) bytes.insert(bytes.begin(), static_cast<char>(n & 0xFF));
    out += static_cast<char>(0x80 | bytes.size());
    out += bytes;
}

std::string derWrap(unsigned char tag, const std::string& contents) {
    std::string out(1, static_cast<char>(tag));
    appendDerLength(out, contents.size());
    return out + contents;
}

std::string blobBytes(const CDataBlob& blob) {
    return blob.getSize() ? std::string(reinterpret_cast<const char*>(blob.getData()), blob.getSize())
                          : std::string();
}

// The conversion writes every attribute as an RDN of its own; this merges the consecutive RDNs that
// belong together (`sizes`: the number of values of each RDN in encoded order). An RDN is a SET: its
// values go in DER order (ascending encodings), whichever order the RDNs take.
CDataBlob regroup(const CDataBlob& der, const std::vector<size_t>& sizes) {
    Vsk::ASN1::CSequence top;
    top.decode(der);
    auto* seq = Vsk::ASN1::castToSequence(&top);
    if (!seq) throw Vsk::Utils::MakeError("RDNSequence");
    size_t total = 0;
    for (size_t n : sizes) total += n;
    if (seq->getCount() != total) throw Vsk::Utils::MakeError("RDNSequence");
    std::string rdns;
    size_t item = 0;
    for (size_t n : sizes) {
        std::vector<std::string> values;
        for (size_t k = 0; k < n; ++k, ++item) {
            auto* set = Vsk::ASN1::castToSet(seq->getItem(item));
            if (!set || set->getCount() != 1) throw Vsk::Utils::MakeError("RelativeDistinguishedName");
            values.push_back(blobBytes(set->getItem(0)->getRawEncoding()));
        }
        std::sort(values.begin(), values.end());
        std::string contents;
        for (const std::string& value : values) contents += value;
        rdns += derWrap(0x31, contents);
    }
    const std::string out = derWrap(0x30, rdns);
    return CDataBlob(out.data(), out.size(), true);
}

void logSkipped(const char* what, const Vsk::ASN1::CNode& node) {
    if (Vsk::InternalUtils::GetLogLevel() < 1) return;
    Vsk::InternalUtils::LogAt(1, CWString("PKI::CAttributes::toX501Name ", CP) + CWString(what, CP) +
                                     CWString(Vsk::Utils::Base64Enc(node.getRawEncoding(), 2), CP));
}

// Forces the registration numbers to NumericString. Returns the input when nothing changed.
CDataBlob fixNumericStrings(const CDataBlob& der) {
    Vsk::ASN1::CSequence top;
    top.decode(der);
    auto* seq = Vsk::ASN1::castToSequence(&top);
    if (!seq) return der;
    bool changed = false;
    for (size_t i = 0; i < seq->getCount(); ++i) {
        Vsk::ASN1::CNode* rdnNode = seq->getItem(i);
        auto* rdn = Vsk::ASN1::castToSet(rdnNode);
        if (!rdn || rdn->getCount() == 0) {
            logSkipped("RelativeDistinguishedName, ", *rdnNode);
            continue;
        }
        for (size_t k = 0; k < rdn->getCount(); ++k) {
            Vsk::ASN1::CNode* avaNode = rdn->getItem(k);
            auto* ava = Vsk::ASN1::castToSequence(avaNode);
            if (!ava || ava->getCount() != 2) {
                logSkipped("AttributeTypeAndValue, ", *avaNode);
                continue;
            }
            auto* type = Vsk::ASN1::castToObjectId(ava->getItem(0));
            if (!type) {
                logSkipped("AttributeType, ", *ava->getItem(0));
                continue;
            }
            const CAString oid = type->getValue();
            bool numeric = false;
            for (const char* n : NumericOids) numeric = numeric || oid == n;
            if (!numeric) continue;
            Vsk::ASN1::CNode* value = ava->getItem(1);
            if (value->getTag() == TagNumericString) continue;
            Vsk::InternalUtils::LogAt(2, CWString("PKI::CAttributes::toX501Name ", CP) + CWString(oid, CP) +
                                             CWString(" was not NumericString", CP));
            value->setStringType(TagNumericString);
            changed = true;
        }
    }
    return changed ? top.encode() : der;
}

// Names already read, by their DER: the certificates of one authority repeat its Name as issuer,
// and listing a store reads thousands of them. Only what does not change is kept (OID, value,
// grouping, display name); the registry's names are asked for each new attribute.

// Enough for the authorities of any real store; the cache starts afresh when it is full.
constexpr size_t ParsedNameCacheLimit = 512;
// Longer Names are rare and not worth keeping.
constexpr size_t ParsedNameSizeLimit = 1024;

// ---- Quick reading of plain Names ----
//
// Most Names are a SEQUENCE of SETs of (OID, string) pairs with definite lengths and text in
// UTF8String, PrintableString, IA5String or NumericString. Those are read here directly from the
// DER, giving the very texts the ASN.1 layer gives: ASCII for the 8-bit types, the decoded
// characters of well-formed UTF-8. Anything else (other string types, 8-bit text beyond ASCII,
// malformed UTF-8, indefinite lengths, odd OIDs, trailing bytes) goes to the ASN.1 layer, which
// also makes the error messages.

struct CDerReader {
    const unsigned char* p;
    const unsigned char* end;

    // One element: tag, contents. False when the element is not plainly definite and inside.
    bool next(unsigned char& tag, const unsigned char*& contents, size_t& length) {
        if (end - p < 2) return false;
        tag = *p++;
        if ((tag & 0x1F) == 0x1F) return false;
        size_t n = *p++;
        if (n & 0x80) {
            const size_t bytes = n & 0x7F;
            if (bytes == 0 || bytes > 4 || static_cast<size_t>(end - p) < bytes) return false;
            n = 0;
            for (size_t i = 0; i < bytes; ++i) n = (n << 8) | *p++;
        }
        if (static_cast<size_t>(end - p) < n) return false;
        contents = p;
        length = n;
        p += n;
        return true;
    }
};

bool quickOid(const unsigned char* p, size_t n, std::string& out) {
    if (n == 0 || n > 64 || (p[n - 1] & 0x80)) return false;
    bool first = true;
    uint64_t value = 0;
    size_t digits = 0;
    for (size_t i = 0; i < n; ++i) {
        if (digits == 0 && p[i] == 0x80) return false;  // not minimal
        if (++digits > 8) return false;                 // arcs beyond 56 bits: the ASN.1 layer
        value = (value << 7) | (p[i] & 0x7F);
        if (p[i] & 0x80) continue;
        if (first) {
            const uint64_t top = value < 40 ? 0 : value < 80 ? 1 : 2;
            out = std::to_string(top) + "." + std::to_string(value - top * 40);
            first = false;
        } else {
            out += "." + std::to_string(value);
        }
        value = 0;
        digits = 0;
    }
    return true;
}

bool quickText(unsigned char tag, const unsigned char* p, size_t n, std::u16string& out) {
    out.clear();
    out.reserve(n);
    if (tag == 0x12 || tag == 0x13 || tag == 0x16) {
        for (size_t i = 0; i < n; ++i) {
            if (p[i] >= 0x80) return false;
            out += static_cast<char16_t>(p[i]);
        }
        return true;
    }
    if (tag != 0x0C) return false;
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        uint32_t cp;
        size_t extra;
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if (c >= 0xC2 && c <= 0xDF) {
            cp = c & 0x1F;
            extra = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            cp = c & 0x0F;
            extra = 2;
        } else if (c >= 0xF0 && c <= 0xF4) {
            cp = c & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (n - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += extra + 1;
    }
    return true;
}

std::mutex parsedNamesLock;
std::unordered_map<std::string, std::shared_ptr<const CParsedName>> parsedNames;

bool quickName(const std::string& der, CParsedName& out) {
    CDerReader top{reinterpret_cast<const unsigned char*>(der.data()),
                   reinterpret_cast<const unsigned char*>(der.data()) + der.size()};
    unsigned char tag;
    const unsigned char* contents;
    size_t length;
    if (!top.next(tag, contents, length) || tag != 0x30 || top.p != top.end) return false;
    CDerReader rdns{contents, contents + length};
    std::string oid;
    std::u16string text;
    while (rdns.p != rdns.end) {
        if (!rdns.next(tag, contents, length) || tag != 0x31 || length == 0) return false;
        CDerReader values{contents, contents + length};
        bool firstValue = true;
        while (values.p != values.end) {
            if (!values.next(tag, contents, length) || tag != 0x30) return false;
            CDerReader pair{contents, contents + length};
            const unsigned char *oidBytes, *valueBytes;
            size_t oidLength, valueLength;
            unsigned char oidTag, valueTag;
            if (!pair.next(oidTag, oidBytes, oidLength) || oidTag != 0x06 ||
                !pair.next(valueTag, valueBytes, valueLength) || pair.p != pair.end)
                return false;
            if (!quickOid(oidBytes, oidLength, oid) || !quickText(valueTag, valueBytes, valueLength, text))
                return false;
            const CAString oidText(oid);
            out.push_back(
                {oidText, CWString(text.data(), text.size()), !firstValue, GetDNDisplayName(oidText)});
            firstValue = false;
        }
    }
    return true;
}

std::shared_ptr<const CParsedName> findParsedName(const std::string& der) {
    std::lock_guard<std::mutex> lock(parsedNamesLock);
    auto it = parsedNames.find(der);
    return it == parsedNames.end() ? nullptr : it->second;
}

void keepParsedName(const std::string& der, std::shared_ptr<const CParsedName> parsed) {
    if (der.size() > ParsedNameSizeLimit) return;
    std::lock_guard<std::mutex> lock(parsedNamesLock);
    if (parsedNames.size() >= ParsedNameCacheLimit) parsedNames.clear();
    parsedNames.emplace(der, std::move(parsed));
}

}  // namespace

CAString GetDNDisplayName(const CAString& oid) {
    // Twenty fixed rows: a scan is quicker than any lookup structure, and needs no lock.
    const char* text = oid.c_str();
    if (!text) return {};
    for (const DisplayNameRow& row : DisplayNames)
        if (std::strcmp(row.oid, text) == 0) return CAString(row.name);
    return {};
}

// ---- CAttribute ------------------------------------------------------------------------------------

CAttribute::CAttribute(const CAString& oid, const CWString& value, bool joinedToPrevious)
    : m_value(value), m_joinedToPrevious(joinedToPrevious) {
    put_OID(oid);
}

void CAttribute::put_OID(const CAString& oid) {
    const char* raw = oid.c_str() ? oid.c_str() : "";
    size_t begin = 0, end = oid.getLength();
    while (begin < end && isSpace(raw[begin])) ++begin;
    while (end > begin && isSpace(raw[end - 1])) --end;
    if (begin == end) throw Vsk::Utils::MakeError("OID пуст");
    bool valid = raw[begin] != '.' && raw[end - 1] != '.';
    for (size_t i = begin; i < end && valid; ++i) valid = (raw[i] >= '0' && raw[i] <= '9') || raw[i] == '.';
    const CAString trimmed =
        (begin == 0 && end == oid.getLength()) ? oid : CAString(raw + begin, end - begin);
    if (!valid) throw Vsk::Utils::MakeError(trimmed + " не OID");
    m_names = CNameOID::getNames(trimmed);
    m_displayName = GetDNDisplayName(trimmed);
    m_oid = trimmed;
}

CWString CAttribute::getValueText(bool quote) const {
    return quote ? quoteValue(m_value, false) : m_value;
}

bool CAttribute::equal(const CAttribute& other) const {
    return m_oid == other.m_oid && m_value == other.m_value && m_joinedToPrevious == other.m_joinedToPrevious;
}

// ---- CAttributes -----------------------------------------------------------------------------------

CRefPtr<CAttributes> CAttributes::createNew() {
    return CRefPtr<CAttributes>::create();
}

bool CAttributes::add(const CAttributePtr& attribute) {
    m_attributes.add(attribute);
    return true;
}

CAttributePtr CAttributes::add(const CAString& oid, const CWString& value) {
    CAttributePtr attribute = CAttributePtr::create(oid, value);
    add(attribute);
    return attribute;
}

CAttributePtr CAttributes::findByOID(const CAString& oid) const {
    for (const CAttributePtr& a : m_attributes)
        if (a->m_oid == oid) return a;
    return {};
}

CAttributePtr CAttributes::findByName(const CWString& name) const {
    for (const CAttributePtr& a : m_attributes)
        if (a->m_names.count(name)) return a;
    return {};
}

CWString CAttributes::toX500String(bool useOID, bool skipEmpty, bool reverse) const {
    const std::vector<size_t> groups = rdnIndexes(m_attributes);
    const size_t count = m_attributes.getCount();
    // Within an RDN the values keep their order; reverse turns the order of the RDNs around.
    std::vector<size_t> order;
    order.reserve(count);
    if (!reverse) {
        for (size_t i = 0; i < count; ++i) order.push_back(i);
    } else {
        size_t end = count;
        while (end > 0) {
            size_t begin = end - 1;
            while (begin > 0 && groups[begin - 1] == groups[end - 1]) --begin;
            for (size_t i = begin; i < end; ++i) order.push_back(i);
            end = begin;
        }
    }
    std::vector<size_t> groupSize(count ? groups.back() + 1 : 0, 0);
    for (size_t g : groups) ++groupSize[g];

    CWString out;
    bool first = true;
    size_t lastGroup = 0;
    for (size_t i : order) {
        const CAttribute& a = *m_attributes[i];
        const bool multiValued = groupSize[groups[i]] > 1;
        const CWString value = quoteValue(a.m_value, multiValued);
        if (skipEmpty && value.getLength() == 0) continue;
        if (!first) out += (groups[i] == lastGroup) ? u'+' : u',';
        first = false;
        lastGroup = groups[i];
        if (!useOID && !a.m_names.empty())
            out += *a.m_names.begin();
        else
            out += CWString(a.m_oid, CP);
        if (value.getLength() != 0) {
            out += u'=';
            out += value;
        }
    }
    return out;
}

CWString CAttributes::toDisplayString(const WCHAR* nameSeparator, const WCHAR* pairSeparator,
                                      bool skipEmpty) const {
    CWString out;
    bool first = true;
    for (const CAttributePtr& p : m_attributes) {
        const CAttribute& a = *p;
        if (skipEmpty && a.m_value.getLength() == 0) continue;
        if (!first) out += CWString(pairSeparator);
        first = false;
        if (a.m_displayName.getLength() != 0)
            out += CWString(a.m_displayName, CP);
        else if (!a.m_names.empty())
            out += *a.m_names.rbegin();
        else
            out += CWString(a.m_oid, CP);
        if (a.m_value.getLength() != 0) {
            out += CWString(nameSeparator);
            out += a.m_value;
        }
    }
    return out;
}

namespace {

// Reads the rows; CError for DER that is no Name.
std::shared_ptr<const CParsedName> parseRows(const CDataBlob& der) {
    const std::string key = blobBytes(der);
    std::shared_ptr<const CParsedName> parsed = findParsedName(key);
    if (parsed) return parsed;
    auto fresh = std::make_shared<CParsedName>();
    if (quickName(key, *fresh)) {
        keepParsedName(key, fresh);
        return fresh;
    }
    fresh->clear();
    Vsk::ASN1::CSequence top;
    top.decode(der, false, true);
    auto* seq = Vsk::ASN1::castToSequence(&top);
    if (!seq || top.isIncomplete()) throw Vsk::Utils::MakeError("неверный формат Name");
    for (size_t i = 0; i < seq->getCount(); ++i) {
        auto* rdn = Vsk::ASN1::castToSet(seq->getItem(i));
        if (!rdn || rdn->getCount() == 0)
            throw Vsk::Utils::MakeError("неверный формат RelativeDistinguishedName");
        for (size_t k = 0; k < rdn->getCount(); ++k) {
            auto* ava = Vsk::ASN1::castToSequence(rdn->getItem(k));
            if (!ava || ava->getCount() != 2)
                throw Vsk::Utils::MakeError("неверный формат AttributeTypeAndValue");
            auto* type = Vsk::ASN1::castToObjectId(ava->getItem(0));
            if (!type) throw Vsk::Utils::MakeError("неверный формат AttributeType");
            const CAString oid = type->getValue();
            fresh->push_back({oid, ava->getItem(1)->toString(false), k > 0, GetDNDisplayName(oid)});
        }
    }
    keepParsedName(key, fresh);
    return fresh;
}

// What fromX501Name raises for a Name it cannot read.
[[noreturn]] void rethrowAsParseError() {
    try {
        throw;
    } catch (const CError& e) {
        throw CCryptError::CCryptErrorText(0,
                                           CWString("Ошибка разбора \"X.501 type Name\": ", CP) + e.getText(),
                                           static_cast<DWORD>(e.getCode()));
    } catch (const std::exception&) {
        throw CCryptError::CCryptErrorTextA(0, "Ошибка разбора \"X.501 type Name\"!",
                                            Vsk::Utils::LastErrorCode);
    }
}

}  // namespace

std::shared_ptr<const CParsedName> ReadNameRows(const CDataBlob& der) {
    try {
        return parseRows(der);
    } catch (...) {
        rethrowAsParseError();
    }
}

void CAttributes::fromX501Name(const CDataBlob& der) {
    Vsk::InternalUtils::CLogScope scope;
    if (Vsk::InternalUtils::GetLogLevel() >= 4)
        scope.enter("Vsk::PKI::CAttributes::fromX501Name", Vsk::Utils::ToWString(der.getSize()));
    m_attributes.clear();
    m_snapshot.clear();
    m_encoding.clear();
    try {
        const std::shared_ptr<const CParsedName> parsed = parseRows(der);
        m_attributes.reserve(parsed->size());
        for (const CParsedAttribute& row : *parsed) {
            CAttributePtr attribute = CAttributePtr::create();
            attribute->m_names = CNameOID::getNames(row.oid);
            attribute->m_displayName = row.displayName;
            attribute->m_oid = row.oid;
            attribute->m_value = row.value;
            attribute->m_joinedToPrevious = row.joinedToPrevious;
            m_attributes.add(attribute);
        }
        takeSnapshot();
        // A blob that owns its bytes is shared (its copies change only their own bytes); caller
        // memory that the blob merely borrows is copied.
        const auto& storage = der.getImpl();
        m_encoding = storage && (storage->m_flags & CDataBlob::CImpl::FlagOwned) ? der : der.clone();
    } catch (...) {
        m_attributes.clear();
        m_snapshot.clear();
        m_encoding.clear();
        rethrowAsParseError();
    }
}

bool CAttributes::matchesSnapshot() const {
    if (m_attributes.getCount() != m_snapshot.size()) return false;
    for (size_t i = 0; i < m_snapshot.size(); ++i) {
        const CAttribute& a = *m_attributes[i];
        const CSnapshotEntry& s = m_snapshot[i];
        if (a.m_oid != s.oid || a.m_value != s.value || a.m_joinedToPrevious != s.joinedToPrevious)
            return false;
    }
    return true;
}

void CAttributes::takeSnapshot() {
    m_snapshot.clear();
    m_snapshot.reserve(m_attributes.getCount());
    for (const CAttributePtr& a : m_attributes)
        m_snapshot.push_back({a->m_oid, a->m_value, a->m_joinedToPrevious});
}

CDataBlob CAttributes::toX501Name(bool reverse) {
    if (m_encoding.getSize() != 0 && matchesSnapshot()) return m_encoding;

    // Each value becomes an RDN of its own here; RDNs with several values are merged below.
    CWString text;
    std::vector<size_t> sizes;
    const std::vector<size_t> groups = rdnIndexes(m_attributes);
    size_t lastGroup = static_cast<size_t>(-1);
    for (size_t i = 0; i < m_attributes.getCount(); ++i) {
        const CAttribute& a = *m_attributes[i];
        const CWString value = quoteForEncoding(a.m_value);
        if (value.getLength() == 0) continue;
        if (text.getLength() != 0) text += u',';
        text += CWString(a.m_oid, CP) + u'=' + value;
        if (groups[i] == lastGroup)
            ++sizes.back();
        else
            sizes.push_back(1);
        lastGroup = groups[i];
    }
    const DWORD strType = StrTypeEncode | (reverse ? CERT_NAME_STR_REVERSE_FLAG : 0);
    auto fail = [&](const char* message, const WCHAR* errorAt) {
        const DWORD code = GetLastError();
        const CWString rest(errorAt ? errorAt : u"");
        Vsk::InternalUtils::LogAt(
            1, CWString("PKI::CAttributes::toX501Name ", CP) + text + CWString(" - ", CP) + rest);
        throw CError(CWString(message, CP) + rest, code);
    };
    DWORD size = 0;
    const WCHAR* errorAt = nullptr;
    if (!CertStrToNameW(X509_ASN_ENCODING, text.c_str(), strType, nullptr, nullptr, &size, &errorAt))
        fail("Ошибка кодирования X500_NAME, size! ", errorAt);
    CDataBlob der(static_cast<size_t>(size));
    errorAt = nullptr;
    if (!CertStrToNameW(X509_ASN_ENCODING, text.c_str(), strType, nullptr, der.getData(), &size, &errorAt))
        fail("Ошибка кодирования X500_NAME! ", errorAt);
    der = der.getBlock(0, size).clone();

    bool multiValued = false;
    for (size_t n : sizes) multiValued = multiValued || n > 1;
    if (multiValued) {
        std::vector<size_t> encodedOrder(sizes);
        if (reverse) std::reverse(encodedOrder.begin(), encodedOrder.end());
        der = regroup(der, encodedOrder);
    }
    try {
        der = fixNumericStrings(der);
    } catch (...) {
        // The registration-number fix-up never fails the encoding.
    }
    m_encoding = der;
    takeSnapshot();
    return m_encoding;
}

bool CAttributes::equal(CAttributes& other, bool attributeWise) {
    if (attributeWise) {
        if (m_attributes.getCount() != other.m_attributes.getCount()) return false;
        for (size_t i = 0; i < m_attributes.getCount(); ++i)
            if (!m_attributes[i]->equal(*other.m_attributes[i])) return false;
        return true;
    }
    return toX501Name(false) == other.toX501Name(false);
}

}  // namespace Vsk::PKI
