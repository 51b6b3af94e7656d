// Primitive ASN.1 types: their values, how they read and write their contents, and their handles.
#include "asn1Impl.h"

#include <vsk/utils/log.h>

#include <cstring>

namespace Vsk::ASN1 {

// An OID arc longer than this many base-128 octets (140 bits, room for UUID arcs) is refused:
// texts of longer arcs would cost quadratic time for no real identifier.
constexpr size_t MaxOidArcOctets = 20;
// Decimal digits of the largest arc accepted from text (below 2^140).
constexpr size_t MaxOidArcDigits = 42;

template <class T>
static T* implAs(const CRefPtr<CNode::CImpl>& impl) {
    impl.checkCreated();
    T* typed = dynamic_cast<T*>(impl.get());
    if (!typed) raiseCasting(impl.get());
    return typed;
}

// ---- BOOLEAN -------------------------------------------------------------------------------------------

void CBooleanImpl::read(CCursor& c) {
    uint64_t length = readHeader(c);
    if (length != 1) raiseFormat(this);
    c.require(1);
    m_value = *c.pos++ != 0;
}

CDataBlob CBooleanImpl::getValueBlob() {
    return CDataBlob(&m_value, 1, true);
}

void CBooleanImpl::parseToVariant(VARIANT* out) {
    VariantInit(out);
    out->vt = VT_BOOL;
    out->boolVal = m_value ? VARIANT_TRUE : VARIANT_FALSE;
}

CBoolean::CBoolean(bool value) : CNode(CRefPtr<CBooleanImpl>::create()) {
    static_cast<CBooleanImpl*>(m_pImpl.get())->m_value = value ? 1 : 0;
}

bool CBoolean::getValue() const {
    return implAs<CBooleanImpl>(m_pImpl)->m_value != 0;
}

// ---- INTEGER -------------------------------------------------------------------------------------------

void CIntegerImpl::read(CCursor& c) {
    uint64_t length = readHeader(c);
    if (length == 0) return;
    c.require(length);
    m_lazyStart = c.pos;
    m_lazyEnd = c.pos + length;
    c.pos += length;
}

CDataBlob& CIntegerImpl::value() const {
    if (m_lazyStart) {
        size_t n = static_cast<size_t>(m_lazyEnd - m_lazyStart);
        CDataBlob v(n);
        BYTE* out = v.getData();
        for (size_t i = 0; i < n; ++i) out[i] = m_lazyStart[n - 1 - i];
        m_value = std::move(v);
        m_lazyStart = m_lazyEnd = nullptr;
    }
    return m_value;
}

uint64_t CIntegerImpl::contentsLength() {
    return m_lazyStart ? static_cast<uint64_t>(m_lazyEnd - m_lazyStart) : m_value.getSize();
}

void CIntegerImpl::writeContents(BYTE* p) {
    if (m_lazyStart) {
        std::memcpy(p, m_lazyStart, static_cast<size_t>(m_lazyEnd - m_lazyStart));
        return;
    }
    size_t n = m_value.getSize();
    const BYTE* v = m_value.getData();
    for (size_t i = 0; i < n; ++i) p[i] = v[n - 1 - i];
}

CDataBlob CIntegerImpl::getValueBlob() {
    return value().clone();
}

void CIntegerImpl::parseToVariant(VARIANT* out) {
    size_t n = value().getSize();
    const BYTE* v = m_value.getData();
    if (n > 0) {
        bool negative = (v[n - 1] & 0x80) != 0;
        // Drop sign octets that repeat the sign of the octet below them.
        size_t used = n;
        BYTE fill = negative ? 0xFF : 0x00;
        while (used > 1 && v[used - 1] == fill && ((v[used - 2] & 0x80) != 0) == negative) --used;
        if (used <= 8 || (used == 9 && !negative && v[8] == 0)) {
            uint64_t bits = negative ? ~0ull : 0;
            for (size_t i = 0; i < used && i < 8; ++i) {
                bits &= ~(0xFFull << (8 * i));
                bits |= static_cast<uint64_t>(v[i]) << (8 * i);
            }
            VariantInit(out);
            int64_t s = static_cast<int64_t>(bits);
            if (negative || used <= 8) {
                if (negative ? s >= INT32_MIN : bits <= INT32_MAX) {
                    out->vt = VT_I4;
                    out->lVal = static_cast<LONG>(s);
                    return;
                }
                if (!negative && bits <= UINT32_MAX) {
                    out->vt = VT_UI4;
                    out->ulVal = static_cast<ULONG>(bits);
                    return;
                }
                if (negative || bits <= static_cast<uint64_t>(INT64_MAX)) {
                    out->vt = VT_I8;
                    out->llVal = s;
                    return;
                }
            }
            out->vt = VT_UI8;
            out->ullVal = bits;
            return;
        }
    }
    blobToVariant(value(), out, "ASN1::CIntegerImpl::parseToVariant", 1289);
}

// Fewest octets that keep the two's-complement value, least significant first.
static CDataBlob minimalInteger(int64_t v) {
    BYTE bytes[8];
    for (int i = 0; i < 8; ++i) bytes[i] = static_cast<BYTE>(static_cast<uint64_t>(v) >> (8 * i));
    size_t n = 8;
    while (n > 1) {
        BYTE top = bytes[n - 1];
        bool nextHigh = (bytes[n - 2] & 0x80) != 0;
        if ((top == 0x00 && !nextHigh) || (top == 0xFF && nextHigh))
            --n;
        else
            break;
    }
    return CDataBlob(bytes, n, true);
}

CInteger::CInteger(const CDataBlob& value) : CNode(CRefPtr<CIntegerImpl>::create()) {
    static_cast<CIntegerImpl*>(m_pImpl.get())->m_value = value;
}

CInteger::CInteger(int value) : CNode(CRefPtr<CIntegerImpl>::create()) {
    static_cast<CIntegerImpl*>(m_pImpl.get())->m_value = minimalInteger(value);
}

CDataBlob CInteger::getValue() const {
    return implAs<CIntegerImpl>(m_pImpl)->value();
}

// ---- NULL ----------------------------------------------------------------------------------------------

void CNullImpl::read(CCursor& c) {
    uint64_t length = readHeader(c);
    if ((m_id & 0x20) || length != 0) raiseFormat(this);
}

void CNullImpl::parseToVariant(VARIANT* out) {
    VariantInit(out);
    out->vt = VT_NULL;
}

CNull::CNull() : CNode(CRefPtr<CNullImpl>::create()) {}

// ---- OBJECT IDENTIFIER ---------------------------------------------------------------------------------

namespace {

// Unsigned decimal number of any size, for OID arcs beyond 64 bits; limbs of 10^9, least first.
struct CBigDec {
    static constexpr uint32_t Base = 1000000000u;
    std::vector<uint32_t> limbs;

    void trim() {
        while (!limbs.empty() && limbs.back() == 0) limbs.pop_back();
    }
    bool isZero() const { return limbs.empty(); }
    void mulAdd(uint32_t m, uint32_t a) {
        uint64_t carry = a;
        for (auto& l : limbs) {
            uint64_t v = static_cast<uint64_t>(l) * m + carry;
            l = static_cast<uint32_t>(v % Base);
            carry = v / Base;
        }
        while (carry) {
            limbs.push_back(static_cast<uint32_t>(carry % Base));
            carry /= Base;
        }
        trim();
    }
    uint32_t divSmall(uint32_t d) {
        uint64_t rem = 0;
        for (size_t i = limbs.size(); i-- > 0;) {
            uint64_t cur = limbs[i] + rem * Base;
            limbs[i] = static_cast<uint32_t>(cur / d);
            rem = cur % d;
        }
        trim();
        return static_cast<uint32_t>(rem);
    }
    bool lessThan(uint32_t v) const { return limbs.size() < 1 || (limbs.size() == 1 && limbs[0] < v); }
    uint32_t small() const { return limbs.empty() ? 0 : limbs[0]; }
    void subSmall(uint32_t v) {
        uint64_t borrow = v;
        for (auto& l : limbs) {
            if (borrow == 0) break;
            if (l >= borrow) {
                l -= static_cast<uint32_t>(borrow);
                borrow = 0;
            } else {
                l = static_cast<uint32_t>(l + Base - borrow);
                borrow = 1;
            }
        }
        trim();
    }
    std::string str() const {
        if (limbs.empty()) return "0";
        std::string s = std::to_string(limbs.back());
        for (size_t i = limbs.size() - 1; i-- > 0;) {
            std::string part = std::to_string(limbs[i]);
            s += std::string(9 - part.size(), '0') + part;
        }
        return s;
    }
    static CBigDec fromDigits(const std::string& digits) {
        CBigDec b;
        for (char ch : digits) b.mulAdd(10, static_cast<uint32_t>(ch - '0'));
        return b;
    }
};

// Base-128 groups of an arc, most significant first, the high bit on all but the last.
void appendSubidentifier(std::string& out, CBigDec value) {
    BYTE groups[MaxOidArcOctets + 2];
    size_t n = 0;
    do {
        groups[n++] = static_cast<BYTE>(value.divSmall(128));
    } while (!value.isZero() && n < sizeof(groups));
    for (size_t i = n; i-- > 0;) out.push_back(static_cast<char>(groups[i] | (i ? 0x80 : 0)));
}

}  // namespace

void CObjectIdImpl::resetValue() {
    m_encoded.clear();
    m_singleArc.clear();
}

void CObjectIdImpl::read(CCursor& c) {
    readHeader(c);
    const BYTE* p = c.pos;
    const BYTE* end = m_contentsEnd;
    // Subidentifiers must be minimal (no leading 0x80 octet) and end inside the contents.
    size_t groupLength = 0;
    for (const BYTE* q = p; q < end; ++q) {
        if (groupLength == 0 && *q == 0x80) raiseFormat(this);
        if (++groupLength > MaxOidArcOctets) raiseFormat(this);
        if (!(*q & 0x80)) groupLength = 0;
    }
    if (groupLength != 0) raiseFormat(this);
    if (p == end)
        m_singleArc = "0";
    else
        m_encoded.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p));
    c.pos = end;
}

std::vector<std::string> CObjectIdImpl::getArcs() const {
    std::vector<std::string> arcs;
    if (m_encoded.empty()) {
        if (!m_singleArc.empty()) arcs.push_back(m_singleArc);
        return arcs;
    }
    CBigDec value;
    bool first = true;
    for (BYTE b : m_encoded) {
        value.mulAdd(128, b & 0x7F);
        if (b & 0x80) continue;
        if (first) {
            first = false;
            if (value.lessThan(40)) {
                arcs.push_back("0");
            } else if (value.lessThan(80)) {
                arcs.push_back("1");
                value.subSmall(40);
            } else {
                arcs.push_back("2");
                value.subSmall(80);
            }
        }
        arcs.push_back(value.str());
        value = CBigDec();
    }
    return arcs;
}

std::string CObjectIdImpl::getValue() const {
    std::string out;
    for (const auto& arc : getArcs()) {
        if (!out.empty()) out += '.';
        out += arc;
    }
    return out;
}

void CObjectIdImpl::setValue(const CAString& dotted) {
    resetValue();
    std::string text = dotted.toStd();
    if (text.empty()) {
        markModified();
        return;
    }
    std::vector<CBigDec> arcs;
    std::string digits;
    auto fail = [&]() {
        throw CError(W("Vsk::ASN1::CObjectIdImpl::setValue OID = \"" + text + "\""), DWORD(0));
    };
    // Commits the arcs read so far; the first two arcs must be what the encoding can hold.
    auto commit = [&]() {
        if (arcs.size() == 1) m_singleArc = arcs[0].str();
        if (arcs.size() < 2) return;
        if (!arcs[0].lessThan(3) || (arcs[0].small() < 2 && !arcs[1].lessThan(40))) return fail();
        CBigDec sum = arcs[1];
        sum.mulAdd(1, 40 * arcs[0].small());
        appendSubidentifier(m_encoded, sum);
        for (size_t i = 2; i < arcs.size(); ++i) appendSubidentifier(m_encoded, arcs[i]);
    };
    for (size_t i = 0; i <= text.size(); ++i) {
        char ch = i < text.size() ? text[i] : '\0';
        if (ch >= '0' && ch <= '9') {
            digits += ch;
            if (digits.size() > MaxOidArcDigits) {
                commit();
                markModified();
                fail();
            }
        } else if (ch == '.' || ch == '\0') {
            arcs.push_back(CBigDec::fromDigits(digits));
            digits.clear();
        } else {
            commit();
            markModified();
            fail();
        }
    }
    commit();
    markModified();
}

void CObjectIdImpl::writeContents(BYTE* p) {
    if (!m_encoded.empty()) std::memcpy(p, m_encoded.data(), m_encoded.size());
}

CDataBlob CObjectIdImpl::getValueBlob() {
    std::vector<std::string> arcs = getArcs();
    CDataBlob out;
    for (const auto& arc : arcs) {
        CBigDec v = CBigDec::fromDigits(arc);
        if (v.limbs.size() > 2 ||
            (v.limbs.size() == 2 &&
             static_cast<uint64_t>(v.limbs[1]) * CBigDec::Base + v.limbs[0] > UINT32_MAX))
            throw CError(W("Неверный формат ASN.1 типа " + getTypeName().toStd() + "."), DWORD(0));
        uint32_t x =
            v.limbs.empty() ? 0
            : v.limbs.size() == 1
                ? v.limbs[0]
                : static_cast<uint32_t>(static_cast<uint64_t>(v.limbs[1]) * CBigDec::Base + v.limbs[0]);
        BYTE le[4] = {static_cast<BYTE>(x), static_cast<BYTE>(x >> 8), static_cast<BYTE>(x >> 16),
                      static_cast<BYTE>(x >> 24)};
        out.appendData(4, le);
    }
    return out;
}

void CObjectIdImpl::parseToVariant(VARIANT* out) {
    VariantInit(out);
    std::u16string text = fromCp1251(getValue());
    out->vt = VT_BSTR;
    out->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

CObjectId::CObjectId() : CNode(CRefPtr<CObjectIdImpl>::create()) {}
CObjectId::CObjectId(const CAString& dotted) : CObjectId() {
    setValue(dotted);
}

void CObjectId::setValue(const CAString& dotted) {
    implAs<CObjectIdImpl>(m_pImpl)->setValue(dotted);
}
CAString CObjectId::getValue() const {
    return CAString(implAs<CObjectIdImpl>(m_pImpl)->getValue());
}

CWString CObjectId::getName() const {
    std::string dotted = implAs<CObjectIdImpl>(m_pImpl)->getValue();
    std::u16string name = oidName(dotted);
    return name.empty() ? W(dotted) : toW(name);
}

ALG_ID CObjectId::getAlgId() const {
    std::string dotted = implAs<CObjectIdImpl>(m_pImpl)->getValue();
    if (dotted.empty()) return 0;
    ALG_ID id = resolveAlgId(dotted);
    if (id == 0) {
        throw CError(
            W("В системе отсутствует OID = " + dotted + ". Не установлен соответствующий криптопровайдер?"),
            GetLastError());
    }
    return id;
}

// ---- OCTET STRING, BIT STRING, unknown primitive -------------------------------------------------------

CImplWithNested::~CImplWithNested() {
    // As for the children of a constructed node: only a nested node that lives on is unlinked.
    if (m_nested && m_nested->m_parent == this && m_nested->getRefCount() > 1) releaseChild(m_nested.get());
}

void CImplWithNested::resetValue() {
    releaseChild(m_nested.get());
    m_nested.reset();
    m_value = CDataBlob();
    m_lazyStart = m_lazyEnd = nullptr;
    m_lastMask = 0xFF;
}

void CImplWithNested::setLazyValue(const BYTE* start, const BYTE* end, BYTE lastMask) {
    m_lazyStart = start < end ? start : nullptr;
    m_lazyEnd = end;
    m_lastMask = lastMask;
}

CDataBlob& CImplWithNested::value() const {
    if (m_lazyStart) {
        size_t n = static_cast<size_t>(m_lazyEnd - m_lazyStart);
        CDataBlob v(m_lazyStart, n, true);
        v.getData()[n - 1] &= m_lastMask;
        m_value = std::move(v);
        m_lazyStart = m_lazyEnd = nullptr;
    }
    return m_value;
}

uint64_t CImplWithNested::contentsLength() {
    m_nestedSize = 0;
    if (writesNested()) {
        m_nested->write(nullptr, &m_nestedSize);
        return valuePrefix() + m_nestedSize;
    }
    if (m_lazyStart) return valuePrefix() + static_cast<uint64_t>(m_lazyEnd - m_lazyStart);
    return valuePrefix() + m_value.getSize();
}

void CImplWithNested::writeContents(BYTE* p) {
    p += valuePrefix();
    if (writesNested()) {
        size_t s = m_nestedSize;
        m_nested->write(p, &s);
        if (s != m_nestedSize) throw CError("Something wrong.", DWORD(0));
    } else if (m_lazyStart) {
        size_t n = static_cast<size_t>(m_lazyEnd - m_lazyStart);
        std::memcpy(p, m_lazyStart, n);
        p[n - 1] &= m_lastMask;
    } else if (m_value.getSize()) {
        std::memcpy(p, m_value.getData(), m_value.getSize());
    }
}

void CImplWithNested::readNested() {
    const BYTE* start = m_contentsStart ? m_contentsStart + valuePrefix() : nullptr;
    const BYTE* end = m_contentsEnd;
    if (!start || !end || start >= end || m_depth + 1 > MaxNestingDepth) return;
    try {
        CCursor c;
        c.input = &input();
        c.pos = start;
        c.end = end;
        c.openEnd = false;
        c.owner = this;
        CImplPtr child = readChild(c, this, true, (m_flags & FlagParseNested) != 0, m_depth + 1);
        if (c.pos == end && !child->isIncomplete() && child->m_id < 0x40) m_nested = child;
    } catch (CExcept&) {
        // Contents that are not one encoded value are only octets.
    } catch (CError&) {
    }
}

void COctetStringImpl::read(CCursor& c) {
    readHeader(c);
    if (isIncomplete()) {
        // The cursor stays at the identifier: the caller keeps these octets for the next decode.
        m_value = CDataBlob(c.pos, static_cast<size_t>(c.left()), true);
        return;
    }
    if (isIndefinite()) {
        Vsk::InternalUtils::LogAt(2, W("ASN1::COctetStringImpl::read OctetString не определенной длины"));
        const BYTE* q = c.pos;
        while (true) {
            if (c.end - q < 2) {
                c.pos = m_encStart;
                c.raiseShort();
            }
            if (q[0] == 0 && q[1] == 0) break;
            ++q;
        }
        m_contentsEnd = q;
        m_encEnd = q + 2;
    }
    setLazyValue(m_contentsStart, m_contentsEnd);
    c.pos = m_encEnd;
    if (m_flags & FlagParseNested) readNested();
}

COctetString::COctetString(const CDataBlob& value) : CNode(CRefPtr<COctetStringImpl>::create()) {
    static_cast<COctetStringImpl*>(m_pImpl.get())->m_value = value;
}

CDataBlob COctetString::getValue() const {
    return implAs<CImplWithNested>(m_pImpl)->value();
}
CNode COctetString::getNested() const {
    return CNode(implAs<CImplWithNested>(m_pImpl)->m_nested);
}

void CBitStringImpl::resetValue() {
    CImplWithNested::resetValue();
    m_bitCount = 0;
}

void CBitStringImpl::read(CCursor& c) {
    uint64_t length = readHeader(c);
    if (length == 0) raiseFormat(this);
    c.require(1);
    BYTE unused = *c.pos;
    if (unused > 7) raiseFormat(this);
    if (length == 1) {
        if (unused != 0) raiseFormat(this);
        c.pos += 1;
    } else {
        c.require(length);
        size_t count = static_cast<size_t>(length - 1);
        m_bitCount = 8 * static_cast<uint64_t>(count) - unused;
        setLazyValue(c.pos + 1, c.pos + length, static_cast<BYTE>(0xFF << unused));
        c.pos += length;
    }
    // Only whole octets can hold an embedded encoding; with unused bits the value is not the octets read.
    if ((m_flags & FlagParseNested) && unused == 0) readNested();
}

void CBitStringImpl::writeContents(BYTE* p) {
    p[0] = writesNested() ? 0 : static_cast<BYTE>((8 - m_bitCount % 8) % 8);
    CImplWithNested::writeContents(p);
}

void CBitStringImpl::parseToVariant(VARIANT* out) {
    if (m_nested) return m_nested->parseToVariant(out);
    blobToVariant(value(), out, "ASN1::CBitStringImpl::parseToVariant", 1793);
}

CBitString::CBitString() : CNode(CRefPtr<CBitStringImpl>::create()) {}
CBitString::CBitString(const CDataBlob& value, uint64_t bitCount) : CBitString() {
    auto* impl = static_cast<CBitStringImpl*>(m_pImpl.get());
    impl->m_value = value;
    impl->m_bitCount = bitCount;
}

CDataBlob CBitString::getValue() const {
    return implAs<CBitStringImpl>(m_pImpl)->value();
}
uint64_t CBitString::getBitCount() const {
    return implAs<CBitStringImpl>(m_pImpl)->m_bitCount;
}
CNode CBitString::getNested() const {
    return CNode(implAs<CBitStringImpl>(m_pImpl)->m_nested);
}

void CUnknownImpl::read(CCursor& c) {
    uint64_t length = readHeader(c);
    if (length) {
        c.require(length);
        setLazyValue(c.pos, c.pos + length);
        c.pos += length;
    }
    if ((m_flags & FlagParseNested) && m_id >= 0x40) readNested();
}

CUnknown::CUnknown(int tagNumber, int classBits, const CDataBlob& value)
    : CNode(CRefPtr<CUnknownImpl>::create(tagNumber & 0x1F, classBits & 0xC0)) {
    if ((tagNumber & 0x1F) == 0x1F) raiseNotImplemented(363);
    static_cast<CUnknownImpl*>(m_pImpl.get())->m_value = value;
}

// ---- Character strings -----------------------------------------------------------------------------------

void readStringOctets(CImpl* self, CCursor& c, std::string& out) {
    uint64_t length = self->readHeader(c);
    if (self->m_id & 0x20) {
        CCursor w = self->contentsCursor(c);
        while (self->hasMore(w)) {
            if (self->m_depth + 1 > MaxNestingDepth) raiseDepth();
            CStringImpl segment(self->tag());
            segment.m_depth = self->m_depth + 1;
            readStringOctets(&segment, w, out);
        }
        c.pos = w.pos;
    } else if (length) {
        c.require(length);
        out.append(reinterpret_cast<const char*>(c.pos), static_cast<size_t>(length));
        c.pos += length;
    }
}

void CStringImpl::read(CCursor& c) {
    m_text.clear();
    readStringOctets(this, c, m_text);
}

void CStringImpl::writeContents(BYTE* p) {
    if (!m_text.empty()) std::memcpy(p, m_text.data(), m_text.size());
}

CDataBlob CStringImpl::getValueBlob() {
    return CDataBlob(m_text.data(), m_text.size(), true);
}

void CStringImpl::parseToVariant(VARIANT* out) {
    VariantInit(out);
    std::u16string text = fromCp1251(m_text);
    out->vt = VT_BSTR;
    out->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

CIA5String::CIA5String(const CAString& text) : CNode(CRefPtr<CIA5StringImpl>::create()) {
    static_cast<CIA5StringImpl*>(m_pImpl.get())->m_text = text.toStd();
}

CAString CIA5String::getValue() const {
    return CAString(implAs<CStringImpl>(m_pImpl)->m_text);
}

static std::u16string fromUtf8(const std::string& s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::u16string out(static_cast<size_t>(n > 0 ? n : 0), u'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
    return out;
}

static std::string toUtf8(const std::u16string& s) {
    if (s.empty()) return {};
    int n =
        WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr,
                            nullptr);
    return out;
}

void CUTF8StringImpl::read(CCursor& c) {
    std::string octets;
    readStringOctets(this, c, octets);
    m_text = fromUtf8(octets);
}

uint64_t CUTF8StringImpl::contentsLength() {
    m_utf8 = toUtf8(m_text);
    return m_utf8.size();
}

void CUTF8StringImpl::writeContents(BYTE* p) {
    if (!m_utf8.empty()) std::memcpy(p, m_utf8.data(), m_utf8.size());
}

CDataBlob CUTF8StringImpl::getValueBlob() {
    return CDataBlob(m_text.data(), m_text.size() * 2, true);
}

void CUTF8StringImpl::parseToVariant(VARIANT* out) {
    VariantInit(out);
    out->vt = VT_BSTR;
    out->bstrVal = SysAllocStringLen(m_text.data(), static_cast<UINT>(m_text.size()));
}

void CBMPStringImpl::read(CCursor& c) {
    std::string octets;
    readStringOctets(this, c, octets);
    if (octets.size() % 2) raiseFormat(this);
    m_text.resize(octets.size() / 2);
    for (size_t i = 0; i < m_text.size(); ++i)
        m_text[i] = static_cast<char16_t>((static_cast<BYTE>(octets[2 * i]) << 8) |
                                          static_cast<BYTE>(octets[2 * i + 1]));
}

void CBMPStringImpl::writeContents(BYTE* p) {
    for (char16_t ch : m_text) {
        *p++ = static_cast<BYTE>(ch >> 8);
        *p++ = static_cast<BYTE>(ch);
    }
}

CUTF8String::CUTF8String(const CWString& text) : CNode(CRefPtr<CUTF8StringImpl>::create()) {
    static_cast<CUTF8StringImpl*>(m_pImpl.get())->m_text = toU16(text);
}
CWString CUTF8String::getValue() const {
    return toW(implAs<CUTF8StringImpl>(m_pImpl)->m_text);
}

CBMPString::CBMPString(const CWString& text) : CNode(CRefPtr<CBMPStringImpl>::create()) {
    static_cast<CBMPStringImpl*>(m_pImpl.get())->m_text = toU16(text);
}
CWString CBMPString::getValue() const {
    return toW(implAs<CUTF8StringImpl>(m_pImpl)->m_text);
}

// ---- Times
// -------------------------------------------------------------------------------------------------

// Reads `count` decimal digits at `p` into `value`; false when any of them is not a digit.
static bool readDigits(const char* p, size_t count, unsigned& value) {
    value = 0;
    for (size_t i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        value = value * 10 + static_cast<unsigned>(p[i] - '0');
    }
    return true;
}

void CGenTime::resetValue() {
    CStringImpl::resetValue();
    m_systemTime = SYSTEMTIME{};
    m_fileTime = FILETIME{};
}

void CGenTime::read(CCursor& c) {
    CStringImpl::read(c);
    parseText();
}

// "YYYYMMDDhh[mm[ss[.fff]]]" and a zone suffix that is not looked at. Fields the text does not reach
// stay 0; a fraction of any length is scaled to milliseconds.
void CGenTime::parseText() {
    const std::string& t = m_text;
    SYSTEMTIME st{};
    unsigned v = 0;
    struct Field {
        size_t offset, digits;
        WORD SYSTEMTIME::*member;
    };
    static const Field fields[] = {{0, 4, &SYSTEMTIME::wYear},    {4, 2, &SYSTEMTIME::wMonth},
                                   {6, 2, &SYSTEMTIME::wDay},     {8, 2, &SYSTEMTIME::wHour},
                                   {10, 2, &SYSTEMTIME::wMinute}, {12, 2, &SYSTEMTIME::wSecond}};
    size_t pos = 0;
    for (const Field& f : fields) {
        if (t.size() < f.offset + f.digits || !readDigits(t.data() + f.offset, f.digits, v)) break;
        st.*f.member = static_cast<WORD>(v);
        pos = f.offset + f.digits;
    }
    if (pos == 14 && t.size() > 15 && (t[14] == '.' || t[14] == ',')) {
        unsigned ms = 0, scale = 100;
        for (size_t i = 15; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
            ms += scale * static_cast<unsigned>(t[i] - '0');
            scale /= 10;
        }
        st.wMilliseconds = static_cast<WORD>(ms);
    }
    m_systemTime = st;
    m_fileTime = FILETIME{};
    if (!SystemTimeToFileTime(&m_systemTime, &m_fileTime)) {
        DWORD code = GetLastError();
        m_fileTime = FILETIME{};
        if (code) logLine(1, "ASN1::CGenTime::read", W(m_text + " ") + Vsk::Utils::GetSystemErrorText(code));
    }
}

void CUTCTimeImpl::parseText() {
    m_fileTime = parseUTCTimeText(m_text);
    if (!FileTimeToSystemTime(&m_fileTime, &m_systemTime)) {
        DWORD code = GetLastError();
        if (code)
            logLine(1, "ASN1::CUTCTimeImpl::read", W(m_text + " ") + Vsk::Utils::GetSystemErrorText(code));
    }
}

void CGenTime::parseToVariant(VARIANT* out) {
    VariantInit(out);
    out->vt = VT_DATE;
    DATE d = 0.0;
    if (!SystemTimeToVariantTime(&m_systemTime, &d)) d = 0.0;
    out->date = d;
}

FILETIME parseUTCTime(const CAString& text) {
    return parseUTCTimeText(text.toStd());
}

FILETIME parseUTCTimeText(const std::string& t) {
    if (t.empty()) return FILETIME{};
    if (t.back() != 'Z') {
        logLine(1, "ASN1::parseUTCTime", W("Не реализован разбор времени со смещением: " + t));
        return FILETIME{};
    }
    auto badFormat = [&]() { throw CError(W("Invalid UTC time format: " + t), DWORD(0)); };
    size_t yearDigits = t.size() == 13 ? 2 : t.size() == 15 ? 4 : 0;
    if (!yearDigits) badFormat();
    unsigned year, month, day, hour, minute, second;
    const char* p = t.data();
    if (!readDigits(p, yearDigits, year) || !readDigits(p + yearDigits, 2, month) ||
        !readDigits(p + yearDigits + 2, 2, day) || !readDigits(p + yearDigits + 4, 2, hour) ||
        !readDigits(p + yearDigits + 6, 2, minute) || !readDigits(p + yearDigits + 8, 2, second))
        badFormat();
    // Two-digit years as X.509 reads them: 50-99 are 19xx, 00-49 are 20xx.
    if (yearDigits == 2) year += year >= 50 ? 1900 : 2000;
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(year);
    st.wMonth = static_cast<WORD>(month);
    st.wDay = static_cast<WORD>(day);
    st.wHour = static_cast<WORD>(hour);
    st.wMinute = static_cast<WORD>(minute);
    st.wSecond = static_cast<WORD>(second);
    FILETIME ft{};
    if (!SystemTimeToFileTime(&st, &ft)) throw CError(W("Invalid UTC time: " + t), DWORD(0));
    return ft;
}

CGeneralizedTime::CGeneralizedTime() : CNode(CRefPtr<CGenTime>::create()) {}
CGeneralizedTime::CGeneralizedTime(const CAString& text) : CGeneralizedTime() {
    auto* impl = static_cast<CGenTime*>(m_pImpl.get());
    impl->m_text = text.toStd();
    impl->parseText();
}
CAString CGeneralizedTime::getText() const {
    return CAString(implAs<CGenTime>(m_pImpl)->m_text);
}
SYSTEMTIME CGeneralizedTime::getSystemTime() const {
    return implAs<CGenTime>(m_pImpl)->m_systemTime;
}
FILETIME CGeneralizedTime::getFileTime() const {
    return implAs<CGenTime>(m_pImpl)->m_fileTime;
}

CUTCTime::CUTCTime() : CNode(CRefPtr<CUTCTimeImpl>::create()) {}
CUTCTime::CUTCTime(const CAString& text) : CUTCTime() {
    auto* impl = static_cast<CUTCTimeImpl*>(m_pImpl.get());
    impl->m_text = text.toStd();
    impl->parseText();
}
CAString CUTCTime::getText() const {
    return CAString(implAs<CGenTime>(m_pImpl)->m_text);
}
SYSTEMTIME CUTCTime::getSystemTime() const {
    return implAs<CGenTime>(m_pImpl)->m_systemTime;
}
FILETIME CUTCTime::getFileTime() const {
    return implAs<CGenTime>(m_pImpl)->m_fileTime;
}

}  // namespace Vsk::ASN1
