// Implementation nodes of the ASN.1 tree, shared by the reader, the writer, the value types and the
// texts.
#pragma once

#include <vsk/asn1/asn1.h>
#include <vsk/utils/error.h>

#include <memory>
#include <string>
#include <vector>

namespace Vsk::ASN1 {

using Vsk::Utils::CError;
using Vsk::Utils::CExcept;

using CImpl = CNode::CImpl;
using CImplPtr = CRefPtr<CNode::CImpl>;

// Texts of the reader and writer.
extern const char* const kTextMoreData;

// UTF-16 text from a code page 1251 literal.
CWString W(const char* text);
CWString W(const std::string& text);

[[noreturn]] void raiseMoreData();
// "Неверный формат ASN.1 типа <name>." for the node that breaks its type's rules.
[[noreturn]] void raiseFormat(const CImpl* node);
[[noreturn]] void raiseDepth();
[[noreturn]] void raiseNotImplemented(int line);
[[noreturn]] void raiseCasting(const CImpl* node);

// A window of the input that the reader walks.
struct CCursor {
    // The storage every node read through this cursor keeps alive.
    const CDataBlob* input = nullptr;
    const BYTE* pos = nullptr;
    const BYTE* end = nullptr;
    // The window ends where the data ends (running past it means that more data is needed), not at
    // the declared end of a complete node (running past that is a format error).
    bool openEnd = true;
    // The node whose declared end bounds a closed window.
    const CImpl* owner = nullptr;

    uint64_t left() const { return static_cast<uint64_t>(end - pos); }
    void require(uint64_t n) const {
        if (n > left()) raiseShort();
    }
    [[noreturn]] void raiseShort() const;
    void setPosition(const BYTE* p);
};

class CNode::CImpl : public Vsk::Utils::CRefMan {
public:
    CImpl(int tagNumber, int classBits) : m_id(static_cast<BYTE>(tagNumber | classBits)) {}
    ~CImpl() override;

    virtual void read(CCursor& cursor) = 0;
    virtual void ensureParsed() {}
    // Sizing pass with a null buffer, writing pass into `*size` bytes at `buffer`. Sets `*size` to the
    // whole encoding's size and returns the contents length.
    virtual size_t write(BYTE* buffer, size_t* size);
    virtual CDataBlob getValueBlob() = 0;
    virtual void parseToVariant(VARIANT* out);
    virtual CWString toString(bool withTypeName) = 0;
    virtual CWString getLabel();
    virtual bool requiresCompleteData() const { return true; }
    virtual CDataBlob getEndOfContents();
    virtual CImpl* find(const CWString& pattern, DWORD flags);
    virtual uint64_t insertIntoTree(ITreeSink& sink, uint64_t parent, uint64_t& insertAfter);

    // Primitive writers: the contents octets (computed in contentsLength, laid out by writeContents).
    virtual uint64_t contentsLength() { return 0; }
    virtual void writeContents(BYTE*) {}
    // Whether the primitive form may carry the indefinite length with end-of-contents octets.
    virtual bool writesEndOfContents() const { return false; }
    virtual bool isConstructed() const { return false; }
    // Strings, whose constructed form is a run of segments.
    virtual bool readsSegments() const { return false; }
    // Drops what an earlier read left, so that every read starts clean.
    virtual void resetValue() {}

    uint64_t readHeader(CCursor& cursor);
    bool hasMore(CCursor& cursor);
    // The window over this node's contents, after readHeader has moved `outer` to them.
    CCursor contentsCursor(const CCursor& outer) const;
    CDataBlob getContents();
    CDataBlob encode();
    CDataBlob getRawEncoding() const;
    CDataBlob viewOf(const BYTE* start, const BYTE* end) const;
    CAString getTypeName() const;
    std::u16string getTextPrefix(bool withTypeName) const;
    void markModified();
    void setParent(CImpl* parent) { m_parent = parent; }
    // The input storage that this node's positions point into: its own reference, or for a node
    // read as part of its parent, the nearest ancestor's.
    const CDataBlob& input() const;
    // Takes a reference of its own to the input: a node that leaves its parent alive must keep
    // the octets it points into.
    void keepInput();
    // Unlinks a child that this node gives up, the child keeping its input if it lives on.
    void releaseChild(CImpl* child);

    bool isRead() const { return m_encStart != nullptr; }
    bool isModified() const { return (m_flags & FlagModified) != 0; }
    bool isIndefinite() const { return (m_flags & FlagIndefinite) != 0; }
    bool isIncomplete() const { return (m_flags & FlagIncomplete) != 0; }
    int tag() const { return m_id & 0x1F; }

    DWORD m_flags = 0;
    uint64_t m_treeItem = 0;
    BYTE m_id;
    // Nesting level below the node that decode read, for the depth limit of lazy parsing.
    unsigned m_depth = 0;
    const BYTE* m_encStart = nullptr;
    const BYTE* m_contentsStart = nullptr;
    const BYTE* m_contentsEnd = nullptr;
    const BYTE* m_encEnd = nullptr;
    // A reference to the input storage; empty while an ancestor's reference stands for it, so that
    // reading a tree does not count a reference per node.
    CDataBlob m_input;
    CImpl* m_parent = nullptr;
    // The typed handle that getItem made, built inside this node (in m_wrapperRoom) so that handing
    // out a child costs no allocation; it holds no count on this node and dies with it.
    CNode* m_wrapper = nullptr;
    bool m_wrapperIsConstructed = false;  // the wrapper is a CConstructed, for castToConstructed
    alignas(CNode) unsigned char m_wrapperRoom[sizeof(CNode)];
};

CImplPtr createImpl(BYTE identifier);
// Reads the next element as a child of `parent`.
CImplPtr readChild(CCursor& cursor, CImpl* parent, bool full, bool parseNested, unsigned depth);
// Builds the typed public handle for a child, as getItem makes it, in the child's wrapper room.
CNode* makeWrapper(CImpl* impl);

// The children of a constructed node. Most nodes of certificates and messages have a few children:
// up to InlineCount of them live in the node itself, so reading such a node allocates nothing more.
class CChildList {
public:
    static constexpr size_t InlineCount = 4;

    CChildList() = default;
    ~CChildList() { clear(); }
    CChildList(const CChildList&) = delete;
    CChildList& operator=(const CChildList&) = delete;

    size_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }
    CImplPtr* begin() { return m_onHeap ? m_heap.data() : m_inline; }
    CImplPtr* end() { return begin() + m_count; }
    CImplPtr& operator[](size_t i) { return begin()[i]; }
    CImplPtr& back() { return begin()[m_count - 1]; }

    void reserve(size_t n) {
        if (n > InlineCount) moveToHeap(n);
    }
    void push_back(CImplPtr child) {
        if (!m_onHeap && m_count == InlineCount) moveToHeap(2 * InlineCount);
        if (m_onHeap)
            m_heap.push_back(std::move(child));
        else
            m_inline[m_count] = std::move(child);
        ++m_count;
    }
    void clear() {
        for (size_t i = 0; i < InlineCount; ++i) m_inline[i].reset();
        m_heap.clear();
        m_onHeap = false;
        m_count = 0;
    }

private:
    void moveToHeap(size_t capacity) {
        m_heap.reserve(capacity > m_count ? capacity : m_count);
        if (m_onHeap) return;
        for (size_t i = 0; i < m_count; ++i) m_heap.push_back(std::move(m_inline[i]));
        m_onHeap = true;
    }

    CImplPtr m_inline[InlineCount];
    std::vector<CImplPtr> m_heap;
    size_t m_count = 0;
    bool m_onHeap = false;
};

class CConstructedImpl : public CImpl {
public:
    CConstructedImpl(int tagNumber, int classBits) : CImpl(tagNumber, classBits | 0x20) {}
    ~CConstructedImpl() override;

    void read(CCursor& cursor) override;
    void ensureParsed() override;
    size_t write(BYTE* buffer, size_t* size) override;
    CDataBlob getValueBlob() override;
    void parseToVariant(VARIANT* out) override;
    CWString toString(bool withTypeName) override;
    CWString getLabel() override;
    bool requiresCompleteData() const override { return false; }
    CDataBlob getEndOfContents() override;
    CImpl* find(const CWString& pattern, DWORD flags) override;
    uint64_t insertIntoTree(ITreeSink& sink, uint64_t parent, uint64_t& insertAfter) override;
    bool isConstructed() const override { return true; }
    void resetValue() override;

    // Reads the header and then the children now (full, or the indefinite form) or on first use.
    void readAsChild(CCursor& cursor, bool full);
    void readChildren(CCursor& cursor, bool full);

    CChildList m_children;
    int64_t m_iter = -1;
    bool m_parsed = false;
};

class CBooleanImpl : public CImpl {
public:
    CBooleanImpl() : CImpl(1, 0) {}
    void read(CCursor& cursor) override;
    uint64_t contentsLength() override { return 1; }
    void writeContents(BYTE* p) override { *p = m_value ? 0xFF : 0x00; }
    CDataBlob getValueBlob() override;
    void parseToVariant(VARIANT* out) override;
    CWString toString(bool withTypeName) override;
    void resetValue() override { m_value = 0; }
    BYTE m_value = 0;
};

class CIntegerImpl : public CImpl {
public:
    CIntegerImpl() : CImpl(2, 0) {}
    void read(CCursor& cursor) override;
    uint64_t contentsLength() override;
    void writeContents(BYTE* p) override;
    CDataBlob getValueBlob() override;
    void parseToVariant(VARIANT* out) override;
    CWString toString(bool withTypeName) override;
    CWString getLabel() override;
    void resetValue() override {
        m_value = CDataBlob();
        m_lazyStart = m_lazyEnd = nullptr;
    }
    // The value, least significant byte first; made from the contents octets on first use.
    CDataBlob& value() const;
    mutable CDataBlob m_value;
    // Contents octets of a read node whose value has not been made yet.
    mutable const BYTE* m_lazyStart = nullptr;
    mutable const BYTE* m_lazyEnd = nullptr;
};

class CNullImpl : public CImpl {
public:
    CNullImpl() : CImpl(5, 0) {}
    void read(CCursor& cursor) override;
    CDataBlob getValueBlob() override { return CDataBlob(); }
    void parseToVariant(VARIANT* out) override;
    CWString toString(bool withTypeName) override;
};

class CObjectIdImpl : public CImpl {
public:
    CObjectIdImpl() : CImpl(6, 0) {}
    void read(CCursor& cursor) override;
    uint64_t contentsLength() override { return m_encoded.size(); }
    void writeContents(BYTE* p) override;
    CDataBlob getValueBlob() override;
    void parseToVariant(VARIANT* out) override;
    CWString toString(bool withTypeName) override;
    void resetValue() override;

    void setValue(const CAString& dotted);
    std::string getValue() const;
    std::vector<std::string> getArcs() const;

    // Subidentifiers as encoded (the first one combines the first two arcs); empty with fewer than
    // two arcs.
    // Held as characters so that the usual short OIDs need no allocation of their own.
    std::string m_encoded;
    // A lone first arc (an OID of one arc is written with empty contents).
    std::string m_singleArc;
};

class CImplWithNested : public CImpl {
public:
    CImplWithNested(int tagNumber, int classBits) : CImpl(tagNumber, classBits) {}
    ~CImplWithNested() override;
    uint64_t contentsLength() override;
    void writeContents(BYTE* p) override;
    bool writesEndOfContents() const override { return true; }
    CDataBlob getValueBlob() override { return value(); }
    void parseToVariant(VARIANT* out) override;
    CWString toString(bool withTypeName) override;
    CWString getLabel() override;
    uint64_t insertIntoTree(ITreeSink& sink, uint64_t parent, uint64_t& insertAfter) override;
    void resetValue() override;

    void readNested();
    // The nested node is written in place of the value only once something inside it changed.
    bool writesNested() const { return m_nested && m_nested->isModified(); }
    // Octets between the identifier's contents and the value (the unused-bits octet).
    virtual unsigned valuePrefix() const { return 0; }
    std::u16string hexValue() const;

    // The value; for a node read from the input made from its octets on first use.
    CDataBlob& value() const;
    void setLazyValue(const BYTE* start, const BYTE* end, BYTE lastMask = 0xFF);

    CImplPtr m_nested;
    mutable CDataBlob m_value;
    mutable const BYTE* m_lazyStart = nullptr;
    mutable const BYTE* m_lazyEnd = nullptr;
    BYTE m_lastMask = 0xFF;   // clears the unused bits of a BIT STRING's last octet
    size_t m_nestedSize = 0;  // filled by contentsLength for writeContents
};

class COctetStringImpl : public CImplWithNested {
public:
    COctetStringImpl() : CImplWithNested(4, 0) {}
    void read(CCursor& cursor) override;
    bool requiresCompleteData() const override { return false; }
};

class CBitStringImpl : public CImplWithNested {
public:
    CBitStringImpl() : CImplWithNested(3, 0) {}
    void read(CCursor& cursor) override;
    void writeContents(BYTE* p) override;
    unsigned valuePrefix() const override { return 1; }
    void parseToVariant(VARIANT* out) override;
    CWString toString(bool withTypeName) override;
    void resetValue() override;
    uint64_t m_bitCount = 0;
};

class CUnknownImpl : public CImplWithNested {
public:
    CUnknownImpl(int tagNumber, int classBits) : CImplWithNested(tagNumber, classBits) {}
    void read(CCursor& cursor) override;
    void parseToVariant(VARIANT* out) override;
    CWString toString(bool withTypeName) override;
};

// NumericString, PrintableString, IA5String and the text of both times.
class CStringImpl : public CImpl {
public:
    explicit CStringImpl(int tagNumber) : CImpl(tagNumber, 0) {}
    void read(CCursor& cursor) override;
    uint64_t contentsLength() override { return m_text.size(); }
    void writeContents(BYTE* p) override;
    CDataBlob getValueBlob() override;
    void parseToVariant(VARIANT* out) override;
    CWString toString(bool withTypeName) override;
    void resetValue() override { m_text.clear(); }
    bool readsSegments() const override { return true; }
    std::string m_text;
};

class CIA5StringImpl : public CStringImpl {
public:
    CIA5StringImpl() : CStringImpl(22) {}
};

class CGenTime : public CStringImpl {
public:
    CGenTime() : CStringImpl(24) {}
    explicit CGenTime(int tagNumber) : CStringImpl(tagNumber) {}
    void read(CCursor& cursor) override;
    void parseToVariant(VARIANT* out) override;
    void resetValue() override;
    virtual void parseText();
    SYSTEMTIME m_systemTime{};
    FILETIME m_fileTime{};
};

class CUTCTimeImpl : public CGenTime {
public:
    CUTCTimeImpl() : CGenTime(23) {}
    void parseText() override;
};

class CUTF8StringImpl : public CImpl {
public:
    CUTF8StringImpl() : CImpl(12, 0) {}
    explicit CUTF8StringImpl(int tagNumber) : CImpl(tagNumber, 0) {}
    void read(CCursor& cursor) override;
    uint64_t contentsLength() override;
    void writeContents(BYTE* p) override;
    CDataBlob getValueBlob() override;
    void parseToVariant(VARIANT* out) override;
    CWString toString(bool withTypeName) override;
    void resetValue() override { m_text.clear(); }
    bool readsSegments() const override { return true; }
    std::u16string m_text;
    std::string m_utf8;  // filled by contentsLength for writeContents
};

class CBMPStringImpl : public CUTF8StringImpl {
public:
    CBMPStringImpl() : CUTF8StringImpl(30) {}
    void read(CCursor& cursor) override;
    uint64_t contentsLength() override { return 2 * m_text.size(); }
    void writeContents(BYTE* p) override;
};

// Reads the octets of a primitive string, or of a constructed one (segments of the same tag).
void readStringOctets(CImpl* self, CCursor& cursor, std::string& out);
// parseUTCTime over the text a node holds.
FILETIME parseUTCTimeText(const std::string& text);
ALG_ID resolveAlgId(const std::string& dotted);

// Texts shared by the types.
std::u16string toU16(const CWString& s);
std::u16string fromCp1251(const std::string& s);
std::u16string hexPairs(const BYTE* data, size_t size, bool spaced);
std::u16string indentLines(const std::u16string& text);
CWString toW(const std::u16string& s);
std::u16string oidName(const std::string& dotted);
void logLine(int level, const std::string& function, const CWString& text);
[[noreturn]] void raiseVariant(const char* function, int line, HRESULT hr);
void blobToVariant(const CDataBlob& blob, VARIANT* out, const char* function, int line);

}  // namespace Vsk::ASN1
