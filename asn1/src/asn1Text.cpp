// Texts of ASN.1 nodes: type names, value dumps, tree-view labels, search, tree views and VARIANTs.
#include "asn1Impl.h"

#include <vsk/utils/log.h>

#include <cstring>

namespace Vsk::ASN1 {

// ---- Helpers -------------------------------------------------------------------------------------------

std::u16string toU16(const CWString& s) {
    return s.getImpl() ? std::u16string(s.c_str(), s.getLength()) : std::u16string();
}

CWString toW(const std::u16string& s) {
    return CWString(s.data(), s.size());
}

std::u16string fromCp1251(const std::string& s) {
    if (s.empty()) return {};
    return toU16(CWString(s.data(), s.size(), Vsk::Utils::CP_PROGRAM));
}

std::u16string hexPairs(const BYTE* data, size_t size, bool spaced) {
    static const char16_t digits[] = u"0123456789ABCDEF";
    std::u16string out;
    out.reserve(size * 3);
    for (size_t i = 0; i < size; ++i) {
        if (spaced && i) out += u' ';
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

std::u16string indentLines(const std::u16string& text) {
    std::u16string out;
    out.reserve(text.size() + 16);
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        if (text[i] == u'\n' && i > 0 && text[i - 1] == u'\r') out += u'\t';
    }
    return out;
}

void logLine(int level, const std::string& function, const CWString& text) {
    Vsk::InternalUtils::LogAt(level, W(function + " ") + text);
}

void raiseVariant(const char* function, int line, HRESULT hr) {
    if (auto* log = Vsk::InternalUtils::GetLog(); log && log->getLevel() >= 1)
        log->writeHResult(W(std::string(function) + " asn1:" + std::to_string(line)), hr);
    throw CError(hr);
}

void blobToVariant(const CDataBlob& blob, VARIANT* out, const char* function, int line) {
    SAFEARRAY* array = nullptr;
    HRESULT hr = blob.toByteSafeArray(&array);
    if (FAILED(hr)) raiseVariant(function, line, hr);
    VariantInit(out);
    out->vt = static_cast<VARTYPE>(VT_ARRAY | VT_UI1);
    out->parray = array;
}

static std::u16string blobHex(const CDataBlob& blob) {
    return hexPairs(blob.getData(), blob.getSize(), true);
}

static std::u16string num(uint64_t v) {
    std::string s = std::to_string(v);
    return std::u16string(s.begin(), s.end());
}

// ---- Type names -------------------------------------------------------------------------------------------

CAString CNode::CImpl::getTypeName() const {
    static const char* const universal[31] = {
        nullptr,         "Boolean",        "Integer",       "BitString",       "OctetString",
        "Null",          "ObjectId",       "ObjDescriptor", "External",        "Real",
        "Enumerated",    "EmbeddedPDV",    "UTF8String",    nullptr,           nullptr,
        nullptr,         "Sequence",       "Set",           "NumericString",   "PrintableString",
        "T61String",     "VideoTexString", "IA5String",     "UTCTime",         "GeneralizedTime",
        "GraphicString", "VisibleString",  "GeneralString", "UniversalString", nullptr,
        "BMPString"};
    int tagNumber = m_id & 0x1F;
    int cls = m_id & 0xC0;
    if (cls == 0 && tagNumber < 31 && universal[tagNumber]) return CAString(universal[tagNumber]);
    static const char* const classes[4] = {"Universal", "Application", "Context-specific", "Private"};
    return CAString(std::string(classes[cls >> 6]) + " type 0x" +
                    Vsk::Utils::ToAString(tagNumber, 16).toStd());
}

std::u16string CNode::CImpl::getTextPrefix(bool withTypeName) const {
    if (!withTypeName) return {};
    return fromCp1251(getTypeName().toStd()) + u" ";
}

// ---- toString
// -----------------------------------------------------------------------------------------------

CWString CBooleanImpl::toString(bool withTypeName) {
    return toW(getTextPrefix(withTypeName) + (m_value ? u"true" : u"false"));
}

CWString CIntegerImpl::toString(bool withTypeName) {
    std::u16string hex;
    size_t n = value().getSize();
    const BYTE* v = m_value.getData();
    std::vector<BYTE> bigEndian(n);
    for (size_t i = 0; i < n; ++i) bigEndian[i] = v[n - 1 - i];
    return toW(getTextPrefix(withTypeName) + u"0x" + hexPairs(bigEndian.data(), n, false));
}

CWString CIntegerImpl::getLabel() {
    return toW(num(value().getSize()) + u" bytes " + toU16(toString(false)));
}

CWString CNullImpl::toString(bool withTypeName) {
    return toW(getTextPrefix(withTypeName));
}

CWString CStringImpl::toString(bool withTypeName) {
    return toW(getTextPrefix(withTypeName) + fromCp1251(m_text));
}

CWString CUTF8StringImpl::toString(bool withTypeName) {
    return toW(getTextPrefix(withTypeName) + m_text);
}

CWString CObjectIdImpl::toString(bool withTypeName) {
    std::string dotted = getValue();
    std::u16string text = getTextPrefix(withTypeName) + fromCp1251(dotted);
    std::u16string name = oidName(dotted);
    if (!name.empty()) text += u" (" + name + u")";
    return toW(text);
}

std::u16string CImplWithNested::hexValue() const {
    return blobHex(value());
}

// The nested node's text, each of its lines one tab further in.
static std::u16string nestedText(CImpl* nested, bool withTypeName) {
    nested->ensureParsed();
    return u"\r\n\t" + indentLines(toU16(nested->toString(withTypeName)));
}

CWString CImplWithNested::toString(bool withTypeName) {
    std::u16string text = getTextPrefix(withTypeName) + u"(" + num(value().getSize()) + u" bytes)";
    if (m_nested) return toW(text + nestedText(m_nested.get(), withTypeName));
    return toW(text + u" 16-base " + hexValue());
}

CWString CBitStringImpl::toString(bool withTypeName) {
    std::u16string text = getTextPrefix(withTypeName) + u"(" + num(m_bitCount) + u" bits)";
    if (m_nested) return toW(text + nestedText(m_nested.get(), withTypeName));
    if (value().getSize() == 1) {
        BYTE b = value().getData()[0];
        std::u16string bits;
        for (int i = 7; i >= 0; --i)
            if (!bits.empty() || (b >> i) & 1 || i == 0) bits += ((b >> i) & 1) ? u'1' : u'0';
        if (m_bitCount > bits.size()) bits.insert(0, static_cast<size_t>(m_bitCount - bits.size()), u'0');
        return toW(text + u" 2-base " + bits);
    }
    return toW(text + u" 16-base " + hexValue());
}

CWString CUnknownImpl::toString(bool withTypeName) {
    if (m_nested) return CImplWithNested::toString(withTypeName);
    if (value().getSize()) {
        bool isText = false;
        CWString text = value().toUtf8Text(&isText);
        if (isText) return text;
    }
    return toW(getTextPrefix(withTypeName) + u"(" + num(value().getSize()) + u" bytes) 16-base " +
               hexValue());
}

CWString CConstructedImpl::toString(bool withTypeName) {
    ensureParsed();
    std::u16string text = getTextPrefix(withTypeName) + u"(" + num(m_children.size()) + u" items)";
    for (auto& child : m_children) {
        CImplPtr hold = child;
        hold->ensureParsed();
        text += u"\r\n\t" + indentLines(toU16(hold->toString(withTypeName)));
    }
    return toW(text);
}

// ---- Labels
// -------------------------------------------------------------------------------------------------

static const char16_t kInfinity[] = u" \u221E";

CWString CNode::CImpl::getLabel() {
    std::u16string text = toU16(toString(false));
    if (isIndefinite()) text += kInfinity;
    return toW(text);
}

CWString CImplWithNested::getLabel() {
    std::u16string text = u"(" + num(value().getSize()) + u" bytes)";
    if (!m_nested) text += u" 16-base " + hexValue();
    return toW(text);
}

CWString CConstructedImpl::getLabel() {
    ensureParsed();
    std::u16string text = u"(" + num(m_children.size()) + u" items)";
    if (isIndefinite()) text += kInfinity;
    return toW(text);
}

// ---- Search
// -------------------------------------------------------------------------------------------------

CNode::CImpl* CNode::CImpl::find(const CWString& pattern, DWORD flags) {
    CWString label = getLabel();
    bool caseSensitive = (flags & FindCaseSensitive) != 0;
    bool match = (flags & FindWholeLabel) ? label.compare(pattern, caseSensitive) == 0
                                          : label.find(pattern, caseSensitive) >= 0;
    return match ? this : nullptr;
}

CNode::CImpl* CConstructedImpl::find(const CWString& pattern, DWORD flags) {
    ensureParsed();
    if (flags & FindForward) {
        if (CImpl* own = CImpl::find(pattern, flags)) return own;
        for (size_t i = 0; i < m_children.size(); ++i) {
            CImplPtr child = m_children[i];
            child->ensureParsed();
            if (CImpl* found = child->find(pattern, flags)) return found;
        }
        return nullptr;
    }
    for (size_t i = m_children.size(); i-- > 0;) {
        CImplPtr child = m_children[i];
        child->ensureParsed();
        if (CImpl* found = child->find(pattern, flags)) return found;
    }
    return CImpl::find(pattern, flags);
}

// ---- Tree view
// ----------------------------------------------------------------------------------------------

uint64_t CNode::CImpl::insertIntoTree(ITreeSink& sink, uint64_t parent, uint64_t& insertAfter) {
    uint64_t item = sink.insertItem(parent, insertAfter, CNode(CImplPtr(this)));
    m_treeItem = item;
    insertAfter = item;
    return item;
}

uint64_t CImplWithNested::insertIntoTree(ITreeSink& sink, uint64_t parent, uint64_t& insertAfter) {
    uint64_t item = CImpl::insertIntoTree(sink, parent, insertAfter);
    if (m_nested) {
        try {
            m_nested->ensureParsed();
        } catch (CError&) {
            return item;
        }
        uint64_t after = TreeFirst;
        m_nested->insertIntoTree(sink, item, after);
    }
    return item;
}

uint64_t CConstructedImpl::insertIntoTree(ITreeSink& sink, uint64_t parent, uint64_t& insertAfter) {
    uint64_t item = CImpl::insertIntoTree(sink, parent, insertAfter);
    ensureParsed();
    uint64_t after = TreeFirst;
    for (size_t i = 0; i < m_children.size(); ++i) {
        CImplPtr child = m_children[i];
        try {
            child->ensureParsed();
        } catch (CError& e) {
            sink.showError(e.getText(), W("Invalid ASN.1 format"));
        }
        child->insertIntoTree(sink, item, after);
    }
    return item;
}

// ---- VARIANTs
// -------------------------------------------------------------------------------------------------

void CImplWithNested::parseToVariant(VARIANT* out) {
    if (m_nested) return m_nested->parseToVariant(out);
    blobToVariant(value(), out, "ASN1::COctetStringImpl::parseToVariant", 1639);
}

void CUnknownImpl::parseToVariant(VARIANT* out) {
    if (m_nested) return m_nested->parseToVariant(out);
    if (value().getSize()) {
        bool isText = false;
        CWString text = value().toUtf8Text(&isText);
        if (isText) {
            VariantInit(out);
            out->vt = VT_BSTR;
            out->bstrVal = SysAllocStringLen(text.c_str(), text.getLength());
            return;
        }
    }
    blobToVariant(getContents(), out, "ASN1::CUnknownImpl::parseToVariant", 2078);
}

void CConstructedImpl::parseToVariant(VARIANT* out) {
    ensureParsed();
    SAFEARRAYBOUND bound{static_cast<ULONG>(m_children.size()), 0};
    SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 1, &bound);
    if (!array) raiseVariant("ASN1::CConstructedImpl::parseToVariant", 2626, E_OUTOFMEMORY);
    VARIANT* items = nullptr;
    HRESULT hr = SafeArrayAccessData(array, reinterpret_cast<void**>(&items));
    if (FAILED(hr)) {
        SafeArrayDestroy(array);
        raiseVariant("ASN1::CConstructedImpl::parseToVariant", 2626, hr);
    }
    try {
        for (size_t i = 0; i < m_children.size(); ++i) {
            VariantInit(&items[i]);
            CImplPtr child = m_children[i];
            child->ensureParsed();
            child->parseToVariant(&items[i]);
        }
    } catch (...) {
        SafeArrayUnaccessData(array);
        SafeArrayDestroy(array);
        throw;
    }
    SafeArrayUnaccessData(array);
    VariantInit(out);
    out->vt = static_cast<VARTYPE>(VT_ARRAY | VT_VARIANT);
    out->parray = array;
}

}  // namespace Vsk::ASN1
