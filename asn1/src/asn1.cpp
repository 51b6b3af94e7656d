// ASN.1 node tree: handles, the BER reader, the DER writer and constructed nodes.
#include "asn1Impl.h"

#include <vsk/utils/base64.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <cstring>
#include <optional>
#include <type_traits>

namespace Vsk::ASN1 {

const char* const kTextMoreData = "Неожиданный конец данных или неверный формат данных.";

CWString W(const char* text) {
    return CWString(text, std::strlen(text), Vsk::Utils::CP_PROGRAM);
}
CWString W(const std::string& text) {
    return CWString(text.data(), text.size(), Vsk::Utils::CP_PROGRAM);
}

void raiseMoreData() {
    throw CExcept{ErrorMoreData, W(kTextMoreData)};
}

void raiseFormat(const CImpl* node) {
    std::string name = node ? node->getTypeName().toStd() : std::string("ASN.1");
    throw CExcept{0, W("Неверный формат ASN.1 типа " + name + ".")};
}

void raiseDepth() {
    throw CExcept{
        0, W("Превышена допустимая глубина вложенности ASN.1 (" + std::to_string(MaxNestingDepth) + ").")};
}

void raiseNotImplemented(int line) {
    throw CError(W("Не реализовано, не было необходимости. asn1:" + std::to_string(line) + "."), DWORD(0));
}

void raiseCasting(const CImpl* node) {
    throw CError(W("Casting failure from type " + (node ? node->getTypeName().toStd() : std::string())),
                 DWORD(0));
}

// ---- Cursor -----------------------------------------------------------------------------------------

void CCursor::raiseShort() const {
    if (openEnd) raiseMoreData();
    raiseFormat(owner);
}

void CCursor::setPosition(const BYTE* p) {
    if (p > end) throw CError("Внутренняя ошибка. asn1:203.", DWORD(0));
    pos = p;
}

// ---- Implementation node ------------------------------------------------------------------------------

CNode::CImpl::~CImpl() {
    // The cached handle gives nothing back: this node's count is already 0.
    if (m_wrapper) m_wrapper->~CNode();
}

void CNode::CImpl::markModified() {
    for (CImpl* p = this; p; p = p->m_parent) p->m_flags |= FlagModified;
}

const CDataBlob& CNode::CImpl::input() const {
    for (const CImpl* p = this; p; p = p->m_parent)
        if (p->m_input.getImpl()) return p->m_input;
    return m_input;
}

void CNode::CImpl::keepInput() {
    if (!m_input.getImpl()) m_input = input();
}

void CNode::CImpl::releaseChild(CImpl* child) {
    if (!child || child->m_parent != this) return;
    child->keepInput();
    child->m_parent = nullptr;
}

CDataBlob CNode::CImpl::viewOf(const BYTE* start, const BYTE* end) const {
    if (!start || end <= start) return CDataBlob();
    const CDataBlob& in = input();
    const BYTE* base = in.getData();
    return in.getBlock(static_cast<size_t>(start - base), static_cast<size_t>(end - start));
}

CDataBlob CNode::CImpl::getRawEncoding() const {
    return viewOf(m_encStart, m_encEnd);
}

uint64_t CNode::CImpl::readHeader(CCursor& outer) {
    CCursor c = outer;
    // A node read as part of its parent from the same input leans on the parent's reference.
    const CImpl* holder = m_parent;
    if (holder && holder->input().getImpl() == c.input->getImpl())
        m_input = CDataBlob();
    else
        m_input = *c.input;
    // Until the header has been read the node's octets run to the end of the window.
    m_encStart = c.pos;
    m_encEnd = c.end;
    m_contentsStart = m_contentsEnd = nullptr;
    m_flags &= ~(FlagIndefinite | FlagIncomplete);
    auto need = [&](uint64_t n) {
        if (n <= c.left()) return;
        if (c.openEnd) m_flags |= FlagIncomplete;
        c.raiseShort();
    };

    need(1);
    BYTE id = *c.pos++;
    if ((id & 0x1F) == 0x1F) throw CExcept{0, W("Long type length is Not supported")};
    if ((id & 0x1F) != tag()) {
        throw CExcept{0, W("Тип данных объекта 0x" + Vsk::Utils::ToAString(tag(), 16).toStd() + " " +
                           getTypeName().toStd() + " не соответствует считанному типу данных 0x" +
                           Vsk::Utils::ToAString(id & 0x1F, 16).toStd())};
    }
    // Constructed and string-holding kinds must agree with the form that was read.
    if (isConstructed() != ((id & 0x20) != 0) && (isConstructed() || writesEndOfContents()))
        raiseFormat(this);
    m_id = id;

    need(1);
    BYTE first = *c.pos++;
    uint64_t length = 0;
    bool indefinite = false;
    if (first < 0x80) {
        length = first;
    } else if (first == 0x80) {
        // Only constructed encodings have an end to look for; a primitive OCTET STRING in this form
        // is tolerated for the senders that write it.
        if (!isConstructed() && requiresCompleteData() && !(readsSegments() && (id & 0x20)))
            raiseFormat(this);
        indefinite = true;
        m_flags |= FlagIndefinite;
    } else {
        unsigned n = first & 0x7F;
        if (n > 8)
            throw CExcept{0,
                          W("Long content length field (" + std::to_string(n) + " bytes) is Not supported")};
        need(n);
        for (unsigned i = 0; i < n; ++i) length = (length << 8) | *c.pos++;
    }
    m_contentsStart = c.pos;

    uint64_t needed = indefinite ? 2 : length;
    if (needed > c.left()) {
        // Past the window: in an open window the data has not all come yet, in a closed one the
        // node crosses its parent's end.
        if (!c.openEnd) raiseFormat(this);
        m_flags |= FlagIncomplete;
        m_contentsEnd = m_encEnd = c.end;
        if (requiresCompleteData()) raiseMoreData();
        if (isConstructed()) outer.pos = c.pos;
        return length;
    }
    if (!indefinite) {
        m_contentsEnd = c.pos + length;
        m_encEnd = m_contentsEnd;
    } else {
        m_encEnd = nullptr;  // found with the end-of-contents octets
    }
    outer.pos = c.pos;
    return indefinite ? 0xFFFFFFFFull : length;
}

CCursor CNode::CImpl::contentsCursor(const CCursor& outer) const {
    CCursor c = outer;
    c.pos = m_contentsStart;
    if (!isIndefinite() && !isIncomplete()) {
        c.end = m_contentsEnd;
        c.openEnd = false;
        c.owner = this;
    }
    return c;
}

bool CNode::CImpl::hasMore(CCursor& c) {
    if (!isIndefinite()) {
        c.require(0);
        return c.pos < c.end;
    }
    if (c.left() < 2 && !requiresCompleteData() && c.openEnd) {
        m_flags |= FlagIncomplete;
        return false;
    }
    c.require(2);
    if (c.pos[0] != 0 || c.pos[1] != 0) return true;
    m_contentsEnd = c.pos;
    c.pos += 2;
    m_encEnd = c.pos;
    return false;
}

static size_t lengthOctets(uint64_t length) {
    if (length <= 0x7F) return 0;
    size_t n = 0;
    for (uint64_t v = length; v; v >>= 8) ++n;
    return n;
}

static BYTE* putHeader(BYTE* p, BYTE id, uint64_t length, bool indefinite) {
    *p++ = id;
    if (indefinite) {
        *p++ = 0x80;
        return p;
    }
    size_t n = lengthOctets(length);
    if (n == 0) {
        *p++ = static_cast<BYTE>(length);
        return p;
    }
    *p++ = static_cast<BYTE>(0x80 | n);
    for (size_t i = n; i-- > 0;) *p++ = static_cast<BYTE>(length >> (8 * i));
    return p;
}

static size_t headerSize(uint64_t length, bool indefinite) {
    return 2 + (indefinite ? 0 : lengthOctets(length));
}

// Primitive nodes: identifier, length and the type's contents. The indefinite form is kept where
// end-of-contents octets can follow the octets (OCTET STRING, BIT STRING, unknown), and for
// streaming; otherwise the definite form is written, so no octet is counted that is not written.
size_t CNode::CImpl::write(BYTE* buffer, size_t* size) {
    uint64_t n = contentsLength();
    bool streaming =
        (m_flags & (FlagIndefinite | FlagNoEndOfContents)) == (FlagIndefinite | FlagNoEndOfContents);
    bool indefinite = streaming || (isIndefinite() && writesEndOfContents());
    bool eoc = indefinite && !(m_flags & FlagNoEndOfContents);
    size_t total = headerSize(n, indefinite) + n + (eoc ? 2 : 0);
    if (buffer) {
        if (*size < total) raiseMoreData();
        BYTE* p = putHeader(buffer, static_cast<BYTE>(m_id & ~0x20), n, indefinite);
        writeContents(p);
        if (eoc) p[n] = p[n + 1] = 0;
    }
    *size = total;
    return n;
}

CDataBlob CNode::CImpl::encode() {
    size_t size = 0;
    write(nullptr, &size);
    CDataBlob out(size);
    write(out.getData(), &size);
    return out;
}

CDataBlob CNode::CImpl::getContents() {
    if (isRead() && !isModified()) return viewOf(m_contentsStart, m_contentsEnd);
    size_t size = 0;
    write(nullptr, &size);
    CDataBlob out(size);
    size_t n = write(out.getData(), &size);
    // The contents follow the header; end-of-contents octets, when written, are not part of them.
    size_t headerLength = (out.getData()[1] == 0x80) ? 2 : 2 + lengthOctets(n);
    return out.getBlock(headerLength, n);
}

CDataBlob CNode::CImpl::getEndOfContents() {
    if (!isIndefinite()) return CDataBlob();
    static const BYTE eoc[2] = {0, 0};
    return CDataBlob(eoc, 2, true);
}

void CNode::CImpl::parseToVariant(VARIANT* out) {
    blobToVariant(getContents(), out, "ASN1::CNode::CImpl::parseToVariant", 286);
}

// ---- Creating nodes from identifiers ------------------------------------------------------------------

// A new node with the one reference that the returned pointer holds.
template <class T, class... Args>
static CImplPtr makeImpl(Args... args) {
    return CRefPtr<T>::create(args...);
}

CImplPtr createImpl(BYTE id) {
    int tagNumber = id & 0x1F;
    if (tagNumber == 0x1F) raiseNotImplemented(363);
    bool constructed = (id & 0x20) != 0;
    if (id < 0x40) {
        switch (tagNumber) {
            case 1:
                return makeImpl<CBooleanImpl>();
            case 2:
                return makeImpl<CIntegerImpl>();
            case 3:
                if (constructed) return makeImpl<CConstructedImpl>(3, 0);
                return makeImpl<CBitStringImpl>();
            case 4:
                if (constructed) return makeImpl<CConstructedImpl>(4, 0);
                return makeImpl<COctetStringImpl>();
            case 5:
                return makeImpl<CNullImpl>();
            case 6:
                return makeImpl<CObjectIdImpl>();
            case 12:
                return makeImpl<CUTF8StringImpl>();
            case 18:
            case 19:
                return makeImpl<CStringImpl>(tagNumber);
            case 22:
                return makeImpl<CIA5StringImpl>();
            case 23:
                return makeImpl<CUTCTimeImpl>();
            case 24:
                return makeImpl<CGenTime>();
            case 30:
                return makeImpl<CBMPStringImpl>();
            default:
                break;
        }
    }
    if (constructed) return makeImpl<CConstructedImpl>(tagNumber, 0);
    return makeImpl<CUnknownImpl>(tagNumber, 0);
}

CImplPtr readChild(CCursor& c, CImpl* parent, bool full, bool parseNested, unsigned depth) {
    c.require(1);
    if ((*c.pos & 0x1F) == 0x1F) raiseNotImplemented(363);
    if (depth > MaxNestingDepth) raiseDepth();
    CImplPtr impl = createImpl(*c.pos);
    impl->m_parent = parent;
    impl->m_depth = depth;
    if (parseNested) impl->m_flags |= FlagParseNested;
    if (impl->isConstructed())
        static_cast<CConstructedImpl*>(impl.get())->readAsChild(c, full);
    else
        impl->read(c);
    return impl;
}

// ---- Constructed nodes ----------------------------------------------------------------------------------

CConstructedImpl::~CConstructedImpl() {
    // A child that lives on is unlinked with a reference of its own to the input. One that dies with
    // this node keeps its link until then: its own children that live on find the input through it.
    for (auto& child : m_children)
        if (child && child->m_parent == this && child->getRefCount() > 1) releaseChild(child.get());
}

void CConstructedImpl::resetValue() {
    for (auto& child : m_children) releaseChild(child.get());
    m_children.clear();
    m_iter = -1;
    m_parsed = false;
}

void CConstructedImpl::read(CCursor& cursor) {
    resetValue();
    readHeader(cursor);
    readChildren(cursor, false);
    if (isIncomplete()) raiseMoreData();
}

void CConstructedImpl::readAsChild(CCursor& c, bool full) {
    uint64_t length = readHeader(c);
    if (full || isIndefinite()) {
        readChildren(c, full);
    } else if (isIncomplete()) {
        c.setPosition(c.end);
    } else {
        c.require(length);
        c.pos += length;
    }
}

// The number of elements that a walk over their headers finds between `p` and `end`, stopping at the
// first one that is not plainly well formed. Only a capacity hint for the children array, so that
// reading a node allocates its array once: the reader proper decides what the octets are.
static size_t countElements(const BYTE* p, const BYTE* end) {
    size_t n = 0;
    while (end - p >= 2) {
        if ((p[0] & 0x1F) == 0x1F) break;
        BYTE first = p[1];
        p += 2;
        uint64_t length = first;
        if (first == 0x80) break;
        if (first > 0x80) {
            unsigned octets = first & 0x7F;
            if (octets > 8 || static_cast<size_t>(end - p) < octets) break;
            length = 0;
            for (unsigned i = 0; i < octets; ++i) length = (length << 8) | *p++;
        }
        if (length > static_cast<uint64_t>(end - p)) break;
        p += length;
        ++n;
    }
    return n;
}

void CConstructedImpl::readChildren(CCursor& outer, bool full) {
    m_parsed = true;
    CCursor c = contentsCursor(outer);
    if (!c.openEnd) m_children.reserve(m_children.size() + countElements(c.pos, c.end));
    bool parseNested = (m_flags & FlagParseNested) != 0;
    const BYTE* childStart = c.pos;
    try {
        while (hasMore(c)) {
            childStart = c.pos;
            m_children.push_back(readChild(c, this, full, parseNested, m_depth + 1));
            if (m_children.back()->isIncomplete()) {
                m_flags |= FlagIncomplete;
                break;
            }
        }
    } catch (CExcept& e) {
        // Data that ends inside a child of an open window: keep what was read and report where the
        // missing part starts.
        if (full || e.code != ErrorMoreData) {
            if (isIndefinite() && !m_encEnd) m_contentsEnd = m_encEnd = c.pos;
            throw CError(e);
        }
        c.pos = childStart;
        m_flags |= FlagIncomplete;
    } catch (...) {
        if (isIndefinite() && !m_encEnd) m_contentsEnd = m_encEnd = c.pos;
        throw;
    }
    outer.pos = c.pos;
    if (isIndefinite() && !m_encEnd) m_contentsEnd = m_encEnd = c.pos;
}

void CConstructedImpl::ensureParsed() {
    if (m_parsed || !isRead()) return;
    if (m_contentsEnd == m_contentsStart) {
        m_parsed = true;
        return;
    }
    // Over the contents alone: the window is closed unless the node itself was cut short.
    CCursor c;
    c.input = &input();
    c.pos = m_contentsStart;
    c.end = m_contentsEnd;
    c.openEnd = isIncomplete();
    c.owner = this;
    readChildren(c, false);
}

size_t CConstructedImpl::write(BYTE* buffer, size_t* size) {
    if (isRead() && !isModified() && m_encEnd) {
        size_t total = static_cast<size_t>(m_encEnd - m_encStart);
        if (buffer) {
            if (*size < total) raiseMoreData();
            std::memcpy(buffer, m_encStart, total);
        }
        *size = total;
        return static_cast<size_t>(m_contentsEnd - m_contentsStart);
    }
    ensureParsed();
    uint64_t sum = 0;
    for (auto& child : m_children) {
        size_t s = 0;
        child->write(nullptr, &s);
        sum += s;
    }
    bool indefinite = isIndefinite();
    bool eoc = indefinite && !(m_flags & FlagNoEndOfContents);
    size_t total = headerSize(sum, indefinite) + sum + (eoc ? 2 : 0);
    if (buffer) {
        if (*size < total) raiseMoreData();
        BYTE* p = putHeader(buffer, m_id, sum, indefinite);
        uint64_t left = sum;
        for (auto& child : m_children) {
            size_t s = static_cast<size_t>(left);
            child->write(p, &s);
            p += s;
            left -= s;
        }
        if (left != 0) throw CError("Something wrong.", DWORD(0));
        if (eoc) p[0] = p[1] = 0;
    }
    *size = total;
    return sum;
}

CDataBlob CConstructedImpl::getValueBlob() {
    raiseNotImplemented(2532);
}

CDataBlob CConstructedImpl::getEndOfContents() {
    CDataBlob out;
    for (auto& child : m_children) {
        if (child->isIndefinite()) {
            out = child->getEndOfContents();
            break;
        }
    }
    CDataBlob own = CImpl::getEndOfContents();
    if (own.getSize()) out.appendBlob(own);
    return out;
}

// Every public class is a CNode with nothing added, so each fits the room a node keeps for it. The
// handle lives inside its node and holds no count on it.
template <class T>
static CNode* placeWrapper(CImpl* impl) {
    static_assert(sizeof(T) == sizeof(CNode) && alignof(T) == alignof(CNode));
    impl->m_wrapperIsConstructed = std::is_base_of_v<CConstructed, T>;
    return new (impl->m_wrapperRoom) T(CImplPtr::uncounted(impl));
}

CNode* makeWrapper(CImpl* impl) {
    BYTE id = impl->m_id;
    int tagNumber = id & 0x1F;
    bool constructed = (id & 0x20) != 0;
    if (id < 0x40) {
        switch (tagNumber) {
            case 1:
                return placeWrapper<CBoolean>(impl);
            case 2:
                return placeWrapper<CInteger>(impl);
            case 3:
                return placeWrapper<CBitString>(impl);
            case 4:
                if (!constructed) return placeWrapper<COctetString>(impl);
                break;
            case 6:
                return placeWrapper<CObjectId>(impl);
            case 12:
                return placeWrapper<CUTF8String>(impl);
            case 16:
                return placeWrapper<CSequence>(impl);
            case 17:
                return placeWrapper<CSet>(impl);
            case 22:
                return placeWrapper<CIA5String>(impl);
            case 23:
                return placeWrapper<CUTCTime>(impl);
            case 24:
                return placeWrapper<CGeneralizedTime>(impl);
            case 30:
                return placeWrapper<CBMPString>(impl);
            default:
                break;
        }
    }
    return constructed ? placeWrapper<CConstructed>(impl) : placeWrapper<CNode>(impl);
}

// ---- Public handles -------------------------------------------------------------------------------------

static OidNameResolver g_nameResolver = nullptr;
static OidAlgIdResolver g_algIdResolver = nullptr;
void setOidNameResolver(OidNameResolver resolver) {
    g_nameResolver = resolver;
}
void setOidAlgIdResolver(OidAlgIdResolver resolver) {
    g_algIdResolver = resolver;
}

std::u16string oidName(const std::string& dotted) {
    if (!g_nameResolver || dotted.empty()) return {};
    return toU16(g_nameResolver(CAString(dotted)));
}

ALG_ID resolveAlgId(const std::string& dotted) {
    return g_algIdResolver ? g_algIdResolver(CAString(dotted)) : 0;
}

CNode::CNode() = default;
CNode::CNode(const CNode& other) : m_pImpl(other.m_pImpl) {}
CNode::CNode(CRefPtr<CImpl> impl) : m_pImpl(std::move(impl)) {}
// Typed handles sharing a node.
CConstructed::CConstructed(CRefPtr<CImpl> impl) : CNode(std::move(impl)) {}
CSequence::CSequence(CRefPtr<CImpl> impl) : CConstructed(std::move(impl)) {}
CSet::CSet(CRefPtr<CImpl> impl) : CConstructed(std::move(impl)) {}
CBoolean::CBoolean(CRefPtr<CImpl> impl) : CNode(std::move(impl)) {}
CInteger::CInteger(CRefPtr<CImpl> impl) : CNode(std::move(impl)) {}
CObjectId::CObjectId(CRefPtr<CImpl> impl) : CNode(std::move(impl)) {}
COctetString::COctetString(CRefPtr<CImpl> impl) : CNode(std::move(impl)) {}
CBitString::CBitString(CRefPtr<CImpl> impl) : CNode(std::move(impl)) {}
CUnknown::CUnknown(CRefPtr<CImpl> impl) : CNode(std::move(impl)) {}
CIA5String::CIA5String(CRefPtr<CImpl> impl) : CNode(std::move(impl)) {}
CUTF8String::CUTF8String(CRefPtr<CImpl> impl) : CNode(std::move(impl)) {}
CBMPString::CBMPString(CRefPtr<CImpl> impl) : CNode(std::move(impl)) {}
CGeneralizedTime::CGeneralizedTime(CRefPtr<CImpl> impl) : CNode(std::move(impl)) {}
CUTCTime::CUTCTime(CRefPtr<CImpl> impl) : CNode(std::move(impl)) {}

CNode& CNode::operator=(const CNode& other) {
    // The handle that getItem made holds no count of its own and must keep naming its node.
    if (m_pImpl && m_pImpl->m_wrapper == this && other.m_pImpl != m_pImpl)
        throw CError("Узел, полученный из getItem, нельзя переназначить.", DWORD(0));
    m_pImpl = other.m_pImpl;
    return *this;
}

// The cached wrapper is destroyed only by its node's destructor, at a count of 0, when the pointer
// gives nothing back.
CNode::~CNode() = default;

CNode::CImpl* CNode::checkedImpl() const {
    if (!m_pImpl) throw CError("Внутренняя ошибка: m_pImpl == NULL.", DWORD(0));
    return m_pImpl.get();
}

CNode::CImpl* CNode::createdImpl() const {
    m_pImpl.checkCreated();
    return m_pImpl.get();
}

int CNode::getTag() const {
    return checkedImpl()->tag();
}
int CNode::getClass() const {
    return checkedImpl()->m_id & 0xC0;
}

void CNode::setStringType(int tag) {
    CImpl* impl = checkedImpl();
    int current = impl->tag();
    bool stringTag = current == 18 || current == 19 || current == 22 || current == 26 || current == 27;
    if (!stringTag || tag < 0 || tag >= 0x1F) raiseNotImplemented(713);
    impl->m_id = static_cast<BYTE>((impl->m_id & 0xE0) | tag);
    impl->markModified();
}

CDataBlob CNode::encode() const {
    return checkedImpl()->encode();
}
CDataBlob CNode::getContents() const {
    return checkedImpl()->getContents();
}
CDataBlob CNode::getValueBlob() const {
    return createdImpl()->getValueBlob();
}
CDataBlob CNode::getEndOfContents() const {
    return checkedImpl()->getEndOfContents();
}
CDataBlob CNode::getRawEncoding() const {
    return checkedImpl()->getRawEncoding();
}
bool CNode::isIndefinite() const {
    return createdImpl()->isIndefinite();
}
bool CNode::isIncomplete() const {
    return createdImpl()->isIncomplete();
}
bool CNode::isModified() const {
    return m_pImpl && m_pImpl->isModified();
}

void CNode::setStreaming() {
    for (CImpl* p = createdImpl(); p; p = p->m_parent) p->m_flags |= FlagIndefinite | FlagNoEndOfContents;
}

CWString CNode::toString(bool withTypeName) const {
    return checkedImpl()->toString(withTypeName);
}
CWString CNode::getLabel() const {
    return createdImpl()->getLabel();
}
CAString CNode::getTypeName() const {
    return checkedImpl()->getTypeName();
}
void CNode::toVariant(VARIANT* out) const {
    createdImpl()->parseToVariant(out);
}

CNode CNode::find(const CWString& pattern, DWORD flags) const {
    CImpl* found = createdImpl()->find(pattern, flags);
    return found ? CNode(CImplPtr(found)) : CNode();
}

uint64_t CNode::insertIntoTree(ITreeSink& sink, uint64_t parent, uint64_t insertAfter) const {
    return createdImpl()->insertIntoTree(sink, parent, insertAfter);
}

size_t CNode::decode(const CDataBlob& input, bool mayBeBase64, bool parseNested) {
    // Traced only at the highest level: decode runs for every certificate and message read.
    std::optional<Vsk::InternalUtils::CLogScope> scope;
    if (Vsk::InternalUtils::GetLogLevel() >= 5)
        scope.emplace("Vsk::ASN1::CNode::decode", 5,
                      Vsk::Utils::ToWString(static_cast<uint64_t>(input.getSize())), m_pImpl.get());
    // The caller's blob is read in place; only Base64 text gets storage of its own.
    const CDataBlob* data = &input;
    CDataBlob decoded;
    if (mayBeBase64 && input.getSize() != 0 && Vsk::Utils::IsBase64(input, &decoded)) data = &decoded;
    const bool madeHere = !m_pImpl;
    for (int attempt = 0;; ++attempt) {
        if (data->getSize() == 0) throw CError("Отсутствуют данные для декодирования", DWORD(0));
        if (!m_pImpl || (madeHere && attempt > 0)) m_pImpl = createImpl(data->getData()[0]);
        CImpl* impl = m_pImpl.get();
        impl->m_flags = parseNested ? DWORD(FlagParseNested) : DWORD(0);
        impl->m_depth = 0;
        impl->resetValue();
        CCursor c;
        c.input = data;
        c.pos = data->getData();
        c.end = c.pos + data->getSize();
        // Made only when a read fails: an error object is not free, and decode runs for every
        // certificate and message read.
        std::optional<CError> failure;
        try {
            impl->read(c);
            return static_cast<size_t>(c.left());
        } catch (CExcept& e) {
            if (e.code == ErrorMoreData) return static_cast<size_t>(c.left());
            failure.emplace(CError(e));
        } catch (CError& e) {
            failure.emplace(e);
        }
        CDataBlob again;
        if (attempt == 0 && mayBeBase64 && Vsk::Utils::IsBase64(*data, &again)) {
            decoded = again;
            data = &decoded;
            continue;
        }
        throw *failure;
    }
}

// ---- Constructed handles --------------------------------------------------------------------------------

static CConstructedImpl* asConstructed(const CNode& node, const CRefPtr<CNode::CImpl>& impl) {
    (void)node;
    impl.checkCreated();
    if (!impl->isConstructed()) raiseCasting(impl.get());
    return static_cast<CConstructedImpl*>(impl.get());
}

CConstructed::CConstructed(int tagNumber, int classBits)
    : CNode(CRefPtr<CConstructedImpl>::create(tagNumber & 0x1F, classBits & 0xC0)) {}
CSequence::CSequence() : CConstructed(16, 0) {}
CSet::CSet() : CConstructed(17, 0) {}

size_t CConstructed::getCount() const {
    CConstructedImpl* impl = asConstructed(*this, m_pImpl);
    impl->ensureParsed();
    return impl->m_children.size();
}

CNode* CConstructed::getItem(size_t index) const {
    CConstructedImpl* impl = asConstructed(*this, m_pImpl);
    impl->ensureParsed();
    if (index >= impl->m_children.size()) throw CError("Index is out of range.", DWORD(0));
    CImpl* child = impl->m_children[index].get();
    if (!child->m_wrapper) {
        child->m_wrapper = makeWrapper(child);
        child->ensureParsed();
    }
    return child->m_wrapper;
}

CNode* CConstructed::getNext() const {
    CConstructedImpl* impl = asConstructed(*this, m_pImpl);
    impl->ensureParsed();
    ++impl->m_iter;
    if (impl->m_iter >= 0 && static_cast<size_t>(impl->m_iter) < impl->m_children.size())
        return getItem(static_cast<size_t>(impl->m_iter));
    impl->m_iter = -1;
    return nullptr;
}

void CConstructed::resetIteration() const {
    asConstructed(*this, m_pImpl)->m_iter = -1;
}

// A node may not become its own descendant: writing and marking changes would never end.
static void checkNoCycle(CImpl* parent, CImpl* child) {
    for (CImpl* p = parent; p; p = p->m_parent)
        if (p == child) throw CError("Узел ASN.1 нельзя вложить в самого себя.", DWORD(0));
}

bool CConstructed::addItem(const CNode& child) {
    CConstructedImpl* impl = asConstructed(*this, m_pImpl);
    child.getImpl().checkCreated();
    impl->ensureParsed();
    checkNoCycle(impl, child.getImpl().get());
    impl->m_children.push_back(child.getImpl());
    child.getImpl()->keepInput();
    child.getImpl()->m_parent = impl;
    impl->markModified();
    return true;
}

void CConstructed::setItem(size_t index, const CNode& child) {
    CConstructedImpl* impl = asConstructed(*this, m_pImpl);
    impl->ensureParsed();
    if (index >= impl->m_children.size()) throw CError("Index is out of range.", DWORD(0));
    child.getImpl().checkCreated();
    checkNoCycle(impl, child.getImpl().get());
    CImplPtr old = impl->m_children[index];
    impl->m_children[index] = child.getImpl();
    if (old != child.getImpl()) impl->releaseChild(old.get());
    child.getImpl()->keepInput();
    child.getImpl()->m_parent = impl;
    impl->markModified();
}

void CConstructed::clear() {
    CConstructedImpl* impl = asConstructed(*this, m_pImpl);
    for (auto& c : impl->m_children) impl->releaseChild(c.get());
    impl->m_children.clear();
    impl->m_parsed = true;
    impl->m_iter = -1;
    impl->markModified();
}

// ---- Casts
// ---------------------------------------------------------------------------------------------------

template <class T>
static T* castWithTag(CNode* node, int tag) {
    if (!node) return nullptr;
    if (node->getTag() != tag) return nullptr;
    return dynamic_cast<T*>(node);
}

CConstructed* castToConstructed(CNode* node) {
    if (!node) return nullptr;
    // A handle that getItem made has the class that its node's identifier chose: no run-time type
    // search is needed for the walks over a tree, which cast every node they meet.
    const CImpl* impl = node->getImpl().get();
    if (impl && impl->m_wrapper == node)
        return impl->m_wrapperIsConstructed ? static_cast<CConstructed*>(node) : nullptr;
    return dynamic_cast<CConstructed*>(node);
}
CSequence* castToSequence(CNode* node) {
    return castWithTag<CSequence>(node, 16);
}
CSet* castToSet(CNode* node) {
    return castWithTag<CSet>(node, 17);
}
CInteger* castToInteger(CNode* node) {
    return castWithTag<CInteger>(node, 2);
}
CObjectId* castToObjectId(CNode* node) {
    return castWithTag<CObjectId>(node, 6);
}
COctetString* castToOctetString(CNode* node) {
    return castWithTag<COctetString>(node, 4);
}
CBitString* castToBitString(CNode* node) {
    return castWithTag<CBitString>(node, 3);
}

}  // namespace Vsk::ASN1
