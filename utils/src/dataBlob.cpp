#include <vsk/utils/dataBlob.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/string.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

namespace Vsk::Utils {

using InternalUtils::GetLog;
using InternalUtils::GetLogLevel;
using InternalUtils::LogAt;

namespace {

// Handed out by getDataBlob for the empty blob. Being constant it lands in read-only memory, so a
// caller that writes into it faults at once instead of changing every later empty blob.
constexpr _DATA_BLOB EmptyRecord{};

// compareCryptBlob's answer when a byte run cannot be read.
constexpr int UnreadableBlobOrder = 1234567890;

// The location toByteSafeArray names in its failure line; log readers search for it.
constexpr const char* SafeArrayFailureLocation = " dataBlob:797";

CWString programText(const char* text) {
    return CWString(text, std::strlen(text), CP_PROGRAM);
}

CWString logName(const char* fullName) {
    return CWString(StripNamespacePrefix(fullName), CP_PROGRAM);
}

[[noreturn]] void raise(const char* text) {
    throw CError(text, Vsk::Utils::NoErrorCode);
}

// Status 2 is a failed allocation of `size` bytes; anything else is invalid input, reported with
// the thread's last error.
CError statusError(DWORD status, size_t size) {
    if (status == CDataBlob::CImpl::StatusNoMemory) return OutOfMemoryError(size);
    return CError("Исходные данные для CDataBlob не валидны.", Vsk::Utils::LastErrorCode);
}

bool pointsInto(const void* data, const BYTE* buffer, uint64_t size) {
    if (!data || !buffer) return false;
    auto p = reinterpret_cast<uintptr_t>(data);
    auto b = reinterpret_cast<uintptr_t>(buffer);
    // The end itself counts too: treating a pointer just past the bytes as inside only costs a copy.
    return p >= b && p - b <= size;
}

// String implementations keep a NUL after their bytes that the size does not count; a blob never
// changes the size of such storage in place, so a string sharing it stays terminated.
bool isPlainStorage(const CDataBlob::CImpl& impl) {
    return typeid(impl) == typeid(CDataBlob::CImpl);
}

// Copy on write: storage that others hold, that borrows another storage's memory, or that a string
// may still read is not changed in place.
bool needsOwnStorage(const CDataBlob::CImpl& impl) {
    return impl.getRefCount() > 1 || impl.m_owner != nullptr || !isPlainStorage(impl);
}

// New storage from the process heap holding a copy of `source`'s bytes.
CRefPtr<CDataBlob::CImpl> cloneStorage(CDataBlob::CImpl& source) {
    CRefPtr<CDataBlob::CImpl> fresh = CRefPtr<CDataBlob::CImpl>::create();
    CLock lock(&source);
    DWORD status = fresh->setData(source.cbData, source.pbData, true);
    if (status != CDataBlob::CImpl::StatusOk) throw statusError(status, source.cbData);
    return fresh;
}

template <class R, bool Signed>
R readInteger(const CRefPtr<CDataBlob::CImpl>& impl, bool* ok) {
    if (!impl) {
        if (ok) {
            *ok = false;
            return 0;
        }
        raise("CDataBlob пуст.");
    }
    constexpr size_t width = sizeof(R);
    CLock lock(impl.get());
    const size_t size = impl->cbData;
    const BYTE* bytes = impl->pbData;
    if (size == 0) {
        if (ok) *ok = true;
        return 0;
    }
    const size_t used = size < width ? size : width;
    const BYTE fill = (Signed && (bytes[used - 1] & 0x80)) ? 0xFF : 0x00;
    for (size_t i = width; i < size; ++i) {
        if (bytes[i] != fill) {
            if (ok) {
                *ok = false;
                return 0;
            }
            raise("CDataBlob не вмещается в указанный тип.");
        }
    }
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(i < used ? bytes[i] : fill) << (8 * i);
    if (ok) *ok = true;
    return static_cast<R>(value);
}

}  // namespace

DWORD checkedDword(uint64_t value) {
    if (value > 0xFFFFFFFFull) raise("Значение не помещается в DWORD!");
    return static_cast<DWORD>(value);
}

int compareCryptBlob(const CRYPT_DATA_BLOB& a, const CRYPT_DATA_BLOB& b) {
    if (a.cbData != b.cbData) return a.cbData > b.cbData ? 1 : -1;
    if (a.cbData == 0) return 0;
    if (!a.pbData || !b.pbData) return UnreadableBlobOrder;
    int order = std::memcmp(a.pbData, b.pbData, a.cbData);
    return (order > 0) - (order < 0);
}

// ---- The storage -----------------------------------------------------------------------------------

CDataBlob::CImpl::CImpl(bool crtHeap)
    : m_flags(crtHeap ? static_cast<DWORD>(FlagCrtHeap) : 0), m_owner(nullptr) {}

CDataBlob::CImpl::~CImpl() {
    free();
}

namespace {

void freeBuffer(BYTE* buffer, DWORD flags) {
    if (memFree(buffer, (flags & CDataBlob::CImpl::FlagCrtHeap) != 0)) return;
    if (GetLogLevel() >= 1)
        LogAt(1, logName("Vsk::Utils::CDataBlob::CImpl::free") + u" " +
                     programText("Ошибка освобождения памяти ") +
                     ToWString(static_cast<const void*>(buffer)) + programText(", флаги ") +
                     ToWString(flags));
}

void releaseOwner(CRefMan*& owner) {
    CRefMan* old = owner;
    owner = nullptr;
    if (old) releaseRef(old);
}

}  // namespace

DWORD CDataBlob::CImpl::setData(size_t size, const void* data, bool copy) {
    CLock lock(this);
    if (!copy) {
        if (size != 0 && !data) return StatusInvalid;
        free();
        cbData = size;
        pbData = static_cast<BYTE*>(const_cast<void*>(data));
        return StatusOk;
    }
    if (size != cbData) {
        if (size == 0) {
            free();
            return StatusOk;
        }
        const bool crtHeap = (m_flags & FlagCrtHeap) != 0;
        const bool owned = (m_flags & FlagOwned) != 0 && pbData != nullptr;
        BYTE* buffer;
        // A source inside the present buffer would not survive the resize: such a copy goes into a
        // fresh block before the old one is given up.
        if (owned && !pointsInto(data, pbData, cbData)) {
            buffer = static_cast<BYTE*>(memRealloc(pbData, size, crtHeap));
            if (!buffer) return StatusNoMemory;
        } else {
            buffer = static_cast<BYTE*>(memAlloc(size, crtHeap));
            if (!buffer) return StatusNoMemory;
            if (data) std::memcpy(buffer, data, size);
            data = nullptr;
            if (owned) freeBuffer(pbData, m_flags);
        }
        pbData = buffer;
        cbData = size;
        m_flags |= FlagOwned;
        // Only now: a borrowed source lies in the owner's memory.
        releaseOwner(m_owner);
    }
    if (data && size) std::memmove(pbData, data, size);
    return StatusOk;
}

DWORD CDataBlob::CImpl::append(size_t n, const void* data) {
    CLock lock(this);
    if (n == 0) return StatusOk;
    const uint64_t size = cbData + n;
    if (size < cbData) return StatusNoMemory;
    const bool crtHeap = (m_flags & FlagCrtHeap) != 0;
    const bool owned = (m_flags & FlagOwned) != 0 && pbData != nullptr;
    BYTE* buffer;
    // Appending the storage's own bytes (b += b): the growth may move or free them, so they are
    // copied into a fresh block while the old one is still there.
    if (owned && !pointsInto(data, pbData, cbData)) {
        buffer = static_cast<BYTE*>(memRealloc(pbData, size, crtHeap));
        if (!buffer) return StatusNoMemory;
        if (data) std::memcpy(buffer + cbData, data, n);
    } else {
        buffer = static_cast<BYTE*>(memAlloc(size, crtHeap));
        if (!buffer) return StatusNoMemory;
        if (cbData) std::memcpy(buffer, pbData, cbData);
        if (data) std::memcpy(buffer + cbData, data, n);
        if (owned) freeBuffer(pbData, m_flags);
    }
    pbData = buffer;
    cbData = size;
    m_flags |= FlagOwned;
    releaseOwner(m_owner);
    return StatusOk;
}

void CDataBlob::CImpl::free() {
    CLock lock(this);
    if ((m_flags & FlagOwned) && pbData) freeBuffer(pbData, m_flags);
    cbData = 0;
    pbData = nullptr;
    m_flags &= ~static_cast<DWORD>(FlagOwned);
    releaseOwner(m_owner);
}

// ---- Construction --------------------------------------------------------------------------------------

CDataBlob::CDataBlob(const CAString& text) {
    const CRefPtr<CAString::CImpl>& impl = text.getImpl();
    if (impl && impl->cbData != 0) m_pImpl = impl;
}

CDataBlob::CDataBlob(size_t size) {
    setData(size, nullptr, true, false);
}

CDataBlob::CDataBlob(const void* data, size_t size, bool copy) {
    setData(size, data, copy, false);
}

CDataBlob::CDataBlob(const DATA_BLOB& blob, bool copy) {
    setData(blob.cbData, blob.pbData, copy, false);
}

// ---- Changing the contents --------------------------------------------------------------------------

void CDataBlob::setData(size_t size, const void* data, bool copy, bool crtHeap) {
    if (size == 0) {
        clear();
        return;
    }
    const bool separate = copy && m_pImpl && needsOwnStorage(*m_pImpl);
    // The source may lie in the present storage or in memory it keeps alive; hold it until copied.
    CRefPtr<CImpl> previous;
    if (copy) previous = m_pImpl;
    if (!copy) m_pImpl.release();

    if (!m_pImpl) {
        m_pImpl = CRefPtr<CImpl>::tryCreate(crtHeap);
        if (!m_pImpl) raiseOutOfMemory(sizeof(CImpl));
    } else if (separate) {
        // Bytes that are about to be overwritten need not be carried over.
        m_pImpl = data ? CRefPtr<CImpl>::create() : cloneStorage(*m_pImpl);
    }
    DWORD status = m_pImpl->setData(size, data, copy);
    if (status != CImpl::StatusOk) {
        CError error = statusError(status, size);
        m_pImpl.release();
        throw error;
    }
}

void CDataBlob::appendData(size_t size, const void* data) {
    if (size == 0) return;
    if (!m_pImpl) {
        m_pImpl = CRefPtr<CImpl>::tryCreate();
        if (!m_pImpl) raiseOutOfMemory(sizeof(CImpl));
        DWORD status = m_pImpl->setData(size, data, true);
        if (status != CImpl::StatusOk) {
            CError error = statusError(status, size);
            m_pImpl.release();
            throw error;
        }
        return;
    }
    const bool separate = needsOwnStorage(*m_pImpl);
    // Keeps the source alive when it lies in the storage this handle is about to leave.
    CRefPtr<CImpl> previous = m_pImpl;
    if (separate) m_pImpl = cloneStorage(*m_pImpl);
    DWORD status = m_pImpl->append(size, data);
    if (status != CImpl::StatusOk) throw statusError(status, m_pImpl->cbData + size);
}

void CDataBlob::appendBlob(const CDataBlob& other) {
    appendData(other.getSize(), other.getData());
}

CDataBlob& CDataBlob::operator+=(const CDataBlob& other) {
    appendBlob(other);
    return *this;
}

CDataBlob CDataBlob::operator+(const CDataBlob& other) const {
    CDataBlob result(*this);
    result.appendBlob(other);
    return result;
}

void CDataBlob::clear() {
    m_pImpl.release();
}

CDataBlob CDataBlob::clone() const {
    if (!m_pImpl || m_pImpl->cbData == 0) return CDataBlob();
    return CDataBlob(cloneStorage(*m_pImpl));
}

bool CDataBlob::removeChars(const char* set) {
    if (!m_pImpl || !set) return false;
    // The first byte always belongs to the set, so a set that starts with NUL removes NULs too.
    bool removed[256] = {};
    removed[static_cast<BYTE>(set[0])] = true;
    for (const char* p = set + 1; *p; ++p) removed[static_cast<BYTE>(*p)] = true;

    CRefPtr<CImpl> fresh;
    {
        CLock lock(m_pImpl.get());
        const BYTE* bytes = m_pImpl->pbData;
        const size_t size = m_pImpl->cbData;
        size_t kept = 0;
        for (size_t i = 0; i < size; ++i) kept += removed[bytes[i]] ? 0 : 1;
        if (kept == size) return false;

        fresh = CRefPtr<CImpl>::create((m_pImpl->m_flags & CImpl::FlagCrtHeap) != 0);
        if (kept != 0) {
            DWORD status = fresh->setData(kept, nullptr, true);
            if (status != CImpl::StatusOk) throw statusError(status, kept);
            BYTE* out = fresh->pbData;
            for (size_t i = 0; i < size; ++i)
                if (!removed[bytes[i]]) *out++ = bytes[i];
        }
    }
    m_pImpl = fresh;
    return true;
}

void CDataBlob::zeroFill() {
    if (!m_pImpl) return;
    CLock lock(m_pImpl.get());
    // A wipe of secrets: explicit_bzero is not dropped as a dead store.
    if (m_pImpl->pbData && m_pImpl->cbData) explicit_bzero(m_pImpl->pbData, m_pImpl->cbData);
}

void CDataBlob::fillRandom() {
    if (!m_pImpl) return;
    CLock lock(m_pImpl.get());
    BYTE* bytes = m_pImpl->pbData;
    const size_t size = m_pImpl->cbData;
    const size_t whole = size - size % 4;
    unsigned int value = 0;
    for (size_t i = 0; i < whole; i += 4) {
        if (rand_s(&value) != 0) throw CError("rand_s failed", Vsk::Utils::LastErrorCode);
        std::memcpy(bytes + i, &value, 4);
    }
    const size_t rest = size - whole;
    if (rest != 0) {
        if (rand_s(&value) != 0) throw CError("rand_s failed", Vsk::Utils::LastErrorCode);
        for (size_t j = 0; j < rest; ++j) bytes[whole + j] = static_cast<BYTE>(value >> (8 * (rest - j)));
    }
}

void CDataBlob::reverse() {
    if (!m_pImpl) return;
    CLock lock(m_pImpl.get());
    BYTE* bytes = m_pImpl->pbData;
    const size_t size = m_pImpl->cbData;
    for (size_t i = 0; i < size / 2; ++i) {
        BYTE b = bytes[i];
        bytes[i] = bytes[size - 1 - i];
        bytes[size - 1 - i] = b;
    }
}

void CDataBlob::fromHex(const char* text, bool reverseBytes) {
    if (!text) {
        clear();
        return;
    }
    // The text is read completely before the blob changes: it may lie in this blob's own storage.
    std::vector<BYTE> bytes;
    std::optional<CAString> error;
    const char* p = text;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    int high = -1;
    for (; *p; ++p) {
        const BYTE c = static_cast<BYTE>(*p);
        if (c == ' ' || c == '\t') continue;
        int nibble;
        if (c >= '0' && c <= '9')
            nibble = c - '0';
        else if (c >= 'a' && c <= 'f')
            nibble = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            nibble = c - 'A' + 10;
        else {
            error = CAString(text) + " - не шестнадцатиричный формат данных! (встретился символ с кодом 0x" +
                    UInt64ToAString(c, 16) + ")";
            break;
        }
        if (high < 0) {
            high = nibble;
        } else {
            bytes.push_back(static_cast<BYTE>(high << 4 | nibble));
            high = -1;
        }
    }
    if (!error && high >= 0) error = CAString(text) + " - последний байт не полный!";

    clear();
    if (!bytes.empty()) setData(bytes.size(), bytes.data(), true, false);
    if (error) throw CError(*error, Vsk::Utils::NoErrorCode);
    if (reverseBytes) reverse();
}

// ---- Reading -------------------------------------------------------------------------------------------

DWORD CDataBlob::getSize() const {
    return m_pImpl ? checkedDword(m_pImpl->cbData) : 0;
}

BYTE* CDataBlob::getData() const {
    return m_pImpl ? m_pImpl->pbData : nullptr;
}

_DATA_BLOB* CDataBlob::getDataBlob() const {
    if (m_pImpl) return m_pImpl.get();
    return const_cast<_DATA_BLOB*>(&EmptyRecord);
}

CRYPT_DATA_BLOB& CDataBlob::toCryptBlob(CRYPT_DATA_BLOB& out) const {
    out.cbData = getSize();
    out.pbData = getData();
    return out;
}

BYTE* CDataBlob::at(size_t index) const {
    const uint64_t size = m_pImpl ? m_pImpl->cbData : 0;
    if (index >= size) raiseIndexOutOfRange(index, static_cast<size_t>(size));
    return m_pImpl->pbData + index;
}

BYTE CDataBlob::getAt(size_t index) const {
    return *at(index);
}

uint64_t CDataBlob::getRefCount() const {
    return m_pImpl ? m_pImpl->getRefCount() : 0;
}

CDataBlob CDataBlob::getBlock(size_t start, size_t length) const {
    const size_t size = getSize();
    if (start == size) return CDataBlob();
    if (start > size) raise("Индекс начала блока данных за пределами.");
    if (start == 0 && length == size) return *this;
    size_t available = size - start;
    if (length != static_cast<size_t>(-1)) {
        if (length > available) raise("Длина блока данных за пределами.");
        available = length;
    }
    if (available == 0) return CDataBlob();

    CRefPtr<CImpl> view = CRefPtr<CImpl>::create();
    CLock lock(m_pImpl.get());
    view->setData(available, m_pImpl->pbData + start, false);
    // A view of a view refers to the storage that owns the bytes.
    CRefMan* owner = m_pImpl->m_owner ? m_pImpl->m_owner : m_pImpl.get();
    owner->addRef();
    view->m_owner = owner;
    return CDataBlob(view);
}

int32_t CDataBlob::toInt32(bool* ok) const {
    return readInteger<int32_t, true>(m_pImpl, ok);
}

uint32_t CDataBlob::toUInt32(bool* ok) const {
    return readInteger<uint32_t, false>(m_pImpl, ok);
}

int64_t CDataBlob::toInt64(bool* ok) const {
    return readInteger<int64_t, true>(m_pImpl, ok);
}

uint64_t CDataBlob::toUInt64(bool* ok) const {
    return readInteger<uint64_t, false>(m_pImpl, ok);
}

int CDataBlob::compare(const CDataBlob& other) const {
    CRYPT_DATA_BLOB left, right;
    return compareCryptBlob(toCryptBlob(left), other.toCryptBlob(right));
}

// ---- Text forms ----------------------------------------------------------------------------------------

CAString CDataBlob::toHex(const char* separator, bool reverseBytes) const {
    if (!m_pImpl) return CAString();
    static const char digits[] = "0123456789ABCDEF";
    const size_t separatorLength = separator ? std::strlen(separator) : 0;
    CLock lock(m_pImpl.get());
    const size_t size = m_pImpl->cbData;
    if (size == 0) return CAString();
    const BYTE* bytes = m_pImpl->pbData;
    std::string text;
    text.reserve(separatorLength * (size - 1) + 2 * size);
    for (size_t i = 0; i < size; ++i) {
        if (i != 0 && separatorLength) text.append(separator, separatorLength);
        const BYTE b = bytes[reverseBytes ? size - 1 - i : i];
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0F]);
    }
    return CAString(text);
}

CWString CDataBlob::toUtf8Text(bool* isText) const {
    m_pImpl.checkCreated();
    if (isText) *isText = false;
    CWString text;
    {
        CLock lock(m_pImpl.get());
        if (m_pImpl->cbData == 0) return CWString();
        text = CWString(reinterpret_cast<const char*>(m_pImpl->pbData), static_cast<size_t>(m_pImpl->cbData),
                        CP_UTF8);
    }
    text.fixLength();
    const DWORD length = text.getLength();
    if (length == 0) return CWString();
    const uint64_t bytes = static_cast<uint64_t>(length) * sizeof(WCHAR);
    int tests = IS_TEXT_UNICODE_STATISTICS;
    if (!IsTextUnicode(text.c_str(), bytes > INT_MAX ? INT_MAX - 1 : static_cast<int>(bytes), &tests))
        return CWString();
    if (isText) *isText = true;
    return text;
}

HRESULT CDataBlob::toByteSafeArray(SAFEARRAY** out) const {
    if (!out) return E_POINTER;
    *out = nullptr;
    CLock lock(m_pImpl.get());
    CRYPT_DATA_BLOB bytes;
    toCryptBlob(bytes);
    SAFEARRAYBOUND bound{bytes.cbData, 0};
    SAFEARRAY* array = SafeArrayCreate(VT_UI1, 1, &bound);
    HRESULT hr = array ? SafeArrayLock(array) : E_OUTOFMEMORY;
    if (FAILED(hr)) {
        if (GetLogLevel() >= 1)
            GetLog()->writeHResult(
                logName("Vsk::Utils::CDataBlob::toByteSafeArray") + programText(SafeArrayFailureLocation),
                hr);
        if (array) SafeArrayDestroy(array);
        return hr;
    }
    if (bytes.cbData) std::memcpy(array->pvData, bytes.pbData, bytes.cbData);
    SafeArrayUnlock(array);
    *out = array;
    return S_OK;
}

}  // namespace Vsk::Utils
