// ASN.1 node tree: handles over reference-counted implementation nodes. Nodes are read from BER
// (definite and indefinite lengths, data arriving in pieces) and written with minimal definite
// lengths, or in the indefinite form where a node asks for it.
#pragma once

#include <vsk/platform/kernel.h>
#include <vsk/platform/oleaut.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/memory.h>
#include <vsk/utils/string.h>

#include <cstdint>
#include <utility>

namespace Vsk::ASN1 {

using Vsk::Utils::CAString;
using Vsk::Utils::CDataBlob;
using Vsk::Utils::CRefPtr;
using Vsk::Utils::CWString;

// Hostile input may nest constructed nodes, indefinite lengths, constructed strings and embedded
// encodings without end; deeper input than this is refused as a format error before the stack is
// at risk. Real certificates and messages stay below 20.
constexpr unsigned MaxNestingDepth = 64;

// Reader error code: the data ended before the element did.
constexpr DWORD ErrorMoreData = 234;

// Node flags.
enum : DWORD {
    FlagIndefinite = 0x01,
    FlagModified = 0x02,
    FlagParseNested = 0x04,
    FlagIncomplete = 0x08,
    FlagNoEndOfContents = 0x10,
};

// Search flags of CNode::find.
enum : DWORD {
    FindForward = 0x01,
    FindWholeLabel = 0x02,
    FindCaseSensitive = 0x04,
};

class CNode;

// Receiver of a node tree shown in a tree view. Each inserted item keeps `node` (a handle sharing
// the node) until the view deletes the item; the view asks the node for its text with getLabel.
class ITreeSink {
public:
    virtual ~ITreeSink() = default;
    // Inserts one item under `parent` after `insertAfter` and returns its handle.
    virtual uint64_t insertItem(uint64_t parent, uint64_t insertAfter, const CNode& node) = 0;
    // A child that cannot be read is shown all the same, after this message.
    virtual void showError(const CWString& text, const CWString& caption) = 0;
};

// Item handles of the tree view that are not items.
constexpr uint64_t TreeRoot = static_cast<uint64_t>(-0x10000);
constexpr uint64_t TreeFirst = static_cast<uint64_t>(-0x0FFFF);
constexpr uint64_t TreeLast = static_cast<uint64_t>(-0x0FFFE);

// Friendly names and algorithm identifiers of OIDs come from the OID table of the certificate
// layer, which registers itself here; until then OIDs have no names.
using OidNameResolver = CWString (*)(const CAString& dottedOid);
using OidAlgIdResolver = ALG_ID (*)(const CAString& dottedOid);
void setOidNameResolver(OidNameResolver resolver);
void setOidAlgIdResolver(OidAlgIdResolver resolver);

class CNode {
public:
    class CImpl;

    CNode();
    CNode(const CNode& other);
    CNode& operator=(const CNode& other);
    virtual ~CNode();

    int getTag() const;
    int getClass() const;
    void setStringType(int tag);

    CDataBlob encode() const;
    // Reads one node from `input`; returns the number of input bytes left after it.
    size_t decode(const CDataBlob& input, bool mayBeBase64 = false, bool parseNested = false);

    // The contents octets (for an INTEGER the big-endian bytes as encoded).
    CDataBlob getContents() const;
    CDataBlob getEncodedBlob() const { return getContents(); }
    // The value in the type's own form (an INTEGER least significant byte first, an OID as 32-bit
    // arcs, a string as its stored text).
    CDataBlob getValueBlob() const;
    CDataBlob getEndOfContents() const;
    CDataBlob getRawEncoding() const;

    bool isIndefinite() const;
    bool isIncomplete() const;
    bool isModified() const;
    void setStreaming();

    CWString toString(bool withTypeName) const;
    CWString getLabel() const;
    CAString getTypeName() const;
    void toVariant(VARIANT* out) const;

    // The first node of the subtree whose label matches `pattern`; an empty handle when none does.
    CNode find(const CWString& pattern, DWORD flags) const;
    // Puts the subtree into a tree view; returns the item made for this node.
    uint64_t insertIntoTree(ITreeSink& sink, uint64_t parent = TreeRoot,
                            uint64_t insertAfter = TreeLast) const;

    bool isEmpty() const { return !m_pImpl; }
    const CRefPtr<CImpl>& getImpl() const { return m_pImpl; }
    // A handle sharing `impl`.
    explicit CNode(CRefPtr<CImpl> impl);

protected:
    CImpl* checkedImpl() const;
    CImpl* createdImpl() const;

    CRefPtr<CImpl> m_pImpl;
};

class CConstructed : public CNode {
public:
    CConstructed(int tagNumber, int classBits);
    explicit CConstructed(CRefPtr<CImpl> impl);

    size_t getCount() const;
    // The child's typed handle, made once and owned by the child node: it lives as long as the
    // child does and is never deleted by the caller. Copy it to keep the child beyond its parent.
    CNode* getItem(size_t index) const;
    // The next child, null after the last (the following call starts again at the first).
    CNode* getNext() const;
    void resetIteration() const;
    bool addItem(const CNode& child);
    void setItem(size_t index, const CNode& child);
    void clear();
};

class CSequence : public CConstructed {
public:
    CSequence();
    explicit CSequence(CRefPtr<CImpl> impl);
};

class CSet : public CConstructed {
public:
    CSet();
    explicit CSet(CRefPtr<CImpl> impl);
};

class CBoolean : public CNode {
public:
    explicit CBoolean(bool value);
    explicit CBoolean(CRefPtr<CImpl> impl);
    bool getValue() const;
};

class CInteger : public CNode {
public:
    // Two's complement, least significant byte first; the bytes are shared.
    explicit CInteger(const CDataBlob& value);
    explicit CInteger(int value);
    explicit CInteger(CRefPtr<CImpl> impl);
    // Least significant byte first.
    CDataBlob getValue() const;
};

class CNull : public CNode {
public:
    CNull();
};

class CObjectId : public CNode {
public:
    CObjectId();
    explicit CObjectId(const CAString& dotted);
    explicit CObjectId(CRefPtr<CImpl> impl);
    void setValue(const CAString& dotted);
    CAString getValue() const;
    CWString getName() const;
    ALG_ID getAlgId() const;
};

class COctetString : public CNode {
public:
    explicit COctetString(const CDataBlob& value);
    explicit COctetString(CRefPtr<CImpl> impl);
    CDataBlob getValue() const;
    // The node found inside the value by nested parsing; empty when none was.
    CNode getNested() const;
};

class CBitString : public CNode {
public:
    CBitString();
    CBitString(const CDataBlob& value, uint64_t bitCount);
    explicit CBitString(CRefPtr<CImpl> impl);
    // The bit string's octets, without the unused-bits octet.
    CDataBlob getValue() const;
    uint64_t getBitCount() const;
    CNode getNested() const;
};

class CUnknown : public CNode {
public:
    CUnknown(int tagNumber, int classBits, const CDataBlob& value);
    explicit CUnknown(CRefPtr<CImpl> impl);
};

class CIA5String : public CNode {
public:
    explicit CIA5String(const CAString& text);
    explicit CIA5String(CRefPtr<CImpl> impl);
    CAString getValue() const;
};

class CUTF8String : public CNode {
public:
    explicit CUTF8String(const CWString& text);
    explicit CUTF8String(CRefPtr<CImpl> impl);
    CWString getValue() const;
};

class CBMPString : public CNode {
public:
    explicit CBMPString(const CWString& text);
    explicit CBMPString(CRefPtr<CImpl> impl);
    CWString getValue() const;
};

class CGeneralizedTime : public CNode {
public:
    CGeneralizedTime();
    // The text as it is to be written ("YYYYMMDDhhmmss[.fff]Z").
    explicit CGeneralizedTime(const CAString& text);
    explicit CGeneralizedTime(CRefPtr<CImpl> impl);
    CAString getText() const;
    SYSTEMTIME getSystemTime() const;
    FILETIME getFileTime() const;
};

class CUTCTime : public CNode {
public:
    CUTCTime();
    // The text as it is to be written ("YYMMDDhhmmssZ"); a malformed text raises CError.
    explicit CUTCTime(const CAString& text);
    explicit CUTCTime(CRefPtr<CImpl> impl);
    CAString getText() const;
    SYSTEMTIME getSystemTime() const;
    FILETIME getFileTime() const;
};

CConstructed* castToConstructed(CNode* node);
CSequence* castToSequence(CNode* node);
CSet* castToSet(CNode* node);
CInteger* castToInteger(CNode* node);
CObjectId* castToObjectId(CNode* node);
COctetString* castToOctetString(CNode* node);
CBitString* castToBitString(CNode* node);

// A UTCTime text ("YYMMDDhhmmssZ", years 50-99 are 19xx, 00-49 are 20xx) or a four-digit-year
// text ("YYYYMMDDhhmmssZ") as a FILETIME; a text with a time-zone offset gives 0.
FILETIME parseUTCTime(const CAString& text);

}  // namespace Vsk::ASN1
