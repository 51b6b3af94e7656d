// Operations on the strings: ordering, search, case and trimming, concatenation into new strings,
// the text forms of numbers, times and variants, and splitting, joining and digit grouping.
#include <vsk/utils/array.h>
#include <vsk/utils/error.h>
#include <vsk/utils/string.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <typeinfo>

namespace Vsk::Utils {

namespace {

constexpr size_t kWholeText = static_cast<size_t>(-1);

// Takes the locks of two implementations, always in address order so that two threads comparing
// the same pair in opposite directions cannot wait for each other.
class CPairLock {
public:
    CPairLock(CCriticalSection* a, CCriticalSection* b) {
        if (std::less<CCriticalSection*>()(b, a)) std::swap(a, b);
        m_first = a;
        m_second = a == b ? nullptr : b;
        if (m_first) m_first->lock();
        if (m_second) m_second->lock();
    }
    ~CPairLock() {
        if (m_second) m_second->unlock();
        if (m_first) m_first->unlock();
    }
    CPairLock(const CPairLock&) = delete;
    CPairLock& operator=(const CPairLock&) = delete;

private:
    CCriticalSection* m_first;
    CCriticalSection* m_second;
};

// Lengths that differ order the shorter first. The difference is what the callers see; it is kept
// within int so that a shorter string stays less even for differences of 2^31 and more.
int lengthOrder(DWORD a, DWORD b) {
    const int64_t diff = static_cast<int64_t>(a) - static_cast<int64_t>(b);
    if (diff > INT_MAX) return INT_MAX;
    if (diff < INT_MIN) return INT_MIN;
    return static_cast<int>(diff);
}

template <class S, class T>
int compareStrings(const S& a, const S& b, bool caseSensitive, int (*sensitive)(const T*, const T*, size_t),
                   int (*insensitive)(const T*, const T*, size_t)) {
    const DWORD la = a.getLength();
    const DWORD lb = b.getLength();
    if (la != lb) return lengthOrder(la, lb);
    if (la == 0) return 0;
    CPairLock lock(a.getImpl().get(), b.getImpl().get());
    return (caseSensitive ? sensitive : insensitive)(a.c_str(), b.c_str(), la);
}

int strncmpNarrow(const char* a, const char* b, size_t n) {
    return std::strncmp(a, b, n);
}

// A copy of `text` in an implementation of its own, ready to be changed in place. A copy that
// cannot be had raises: the implementation as "not created", its buffer as out of memory.
CWString privateCopy(const CWString& text) {
    CWString copy = text.clone();
    copy.getImpl().checkCreated();
    if (copy.getLength() != text.getLength())
        raiseOutOfMemory((static_cast<size_t>(text.getLength()) + 1) * sizeof(WCHAR));
    return copy;
}

template <class S>
bool isShared(const S& text) {
    return text.getImpl()->getRefCount() > 1 || text.getImpl()->m_owner != nullptr;
}

template <class S, class T>
S concatTexts(const T* a, size_t na, const T* b, size_t nb, bool raiseOutOfMemoryError) {
    using Impl = typename S::CImpl;
    CRefPtr<Impl> impl = raiseOutOfMemoryError ? CRefPtr<Impl>::create() : CRefPtr<Impl>::tryCreate();
    if (!impl) raiseNotCreated(typeid(Impl));
    impl->concat(a, na, b, nb);
    return S(impl);
}

template <class T>
bool isEmptyText(const T* text) {
    return text == nullptr || text[0] == 0;
}

// Digits of `value` in `radix`, most significant first, with an optional leading '-'.
template <class S, class T>
S numberText(uint64_t value, bool negative, int radix) {
    if (radix < 2 || radix > 36) return S();
    T buffer[65];
    size_t pos = sizeof(buffer) / sizeof(T);
    buffer[--pos] = 0;
    do {
        const int digit = static_cast<int>(value % static_cast<unsigned>(radix));
        buffer[--pos] = static_cast<T>(digit < 10 ? '0' + digit : 'a' + digit - 10);
        value /= static_cast<unsigned>(radix);
    } while (value != 0);
    if (negative) buffer[--pos] = static_cast<T>('-');
    return S(buffer + pos, kWholeText);
}

// A signed value is written with '-' only in radix 10; otherwise as its 64-bit two's complement.
template <class S, class T>
S signedNumberText(int64_t value, int radix) {
    if (radix == 10 && value < 0) return numberText<S, T>(0 - static_cast<uint64_t>(value), true, radix);
    return numberText<S, T>(static_cast<uint64_t>(value), false, radix);
}

CWString asciiToWide(const char* text) {
    WCHAR buffer[128];
    size_t n = 0;
    for (; text[n] != 0 && n + 1 < sizeof(buffer) / sizeof(WCHAR); ++n)
        buffer[n] = static_cast<WCHAR>(static_cast<unsigned char>(text[n]));
    return CWString(buffer, n);
}

}  // namespace

// ---- Comparison, search, case -----------------------------------------------------------------

int CWString::compare(const CWString& other, bool caseSensitive) const {
    return compareStrings<CWString, WCHAR>(*this, other, caseSensitive, wcsncmp16, wcsnicmp16);
}

int CAString::compare(const CAString& other, bool caseSensitive) const {
    return compareStrings<CAString, char>(*this, other, caseSensitive, strncmpNarrow, strnicmp1251);
}

bool CAString::operator==(const char* text) const {
    return compare(CAString(text), true) == 0;
}

bool CWString::startsWith(const CWString& other, bool caseSensitive) const {
    const DWORD prefix = other.getLength();
    if (prefix == 0) return true;
    if (getLength() < prefix) return false;
    CPairLock lock(m_pImpl.get(), other.m_pImpl.get());
    return (caseSensitive ? wcsncmp16 : wcsnicmp16)(c_str(), other.c_str(), prefix) == 0;
}

int64_t CWString::find(const CWString& other, bool caseSensitive) const {
    const DWORD length = getLength();
    const DWORD otherLength = other.getLength();
    if (length == 0 || otherLength == 0) return -1;
    if (m_pImpl == other.m_pImpl) return 0;
    if (otherLength > length) return -1;
    if (!caseSensitive) {
        CWString text = privateCopy(*this);
        CWString pattern = privateCopy(other);
        wcslwr_s16(text.m_pImpl->text(), static_cast<size_t>(length) + 1);
        wcslwr_s16(pattern.m_pImpl->text(), static_cast<size_t>(otherLength) + 1);
        return text.find(pattern, true);
    }
    CPairLock lock(m_pImpl.get(), other.m_pImpl.get());
    const WCHAR* text = c_str();
    const WCHAR* hit = wcsstr16(text, other.c_str());
    return hit ? hit - text : -1;
}

CWString& CWString::toUpper() {
    const DWORD length = getLength();
    if (length == 0) return *this;
    if (isShared(*this)) {
        *this = clone();
        m_pImpl.checkCreated();
        if (getLength() != length) raiseOutOfMemory((static_cast<size_t>(length) + 1) * sizeof(WCHAR));
    }
    CLock lock(m_pImpl.get());
    wcsupr_s16(m_pImpl->text(), static_cast<size_t>(length) + 1);
    return *this;
}

CWString& CWString::trimRight() {
    const DWORD length = getLength();
    if (length == 0) return *this;
    if (isShared(*this)) {
        *this = clone();
        m_pImpl.checkCreated();
        if (getLength() != length) raiseOutOfMemory((static_cast<size_t>(length) + 1) * sizeof(WCHAR));
    }
    CLock lock(m_pImpl.get());
    WCHAR* text = m_pImpl->text();
    size_t kept = length;
    while (kept != 0) {
        const WCHAR ch = text[kept - 1];
        if (ch != 0 && ch != u'\t' && ch != u'\n' && ch != u'\r' && ch != u' ') break;
        --kept;
    }
    if (kept != length) {
        m_pImpl->cbData = (m_pImpl->m_start + kept) * sizeof(WCHAR);
        text[kept] = 0;
    }
    return *this;
}

bool CWString::hasCyrillic() const {
    const DWORD length = getLength();
    const WCHAR* text = c_str();
    for (DWORD i = 0; i < length; ++i)
        if (text[i] >= 0x0410 && text[i] <= 0x044F) return true;
    return false;
}

// ---- Concatenation ----------------------------------------------------------------------------

CWString operator+(const CWString& a, const CWString& b) {
    if (a.getLength() == 0) return b;
    if (b.getLength() == 0) return a;
    return concatTexts<CWString>(a.c_str(), a.getLength(), b.c_str(), b.getLength(), true);
}

CWString operator+(const CWString& a, const WCHAR* b) {
    if (a.getLength() == 0) return CWString(b);
    if (isEmptyText(b)) return a;
    return concatTexts<CWString>(a.c_str(), a.getLength(), b, kWholeText, true);
}

CWString operator+(const WCHAR* a, const CWString& b) {
    if (isEmptyText(a)) return b;
    if (b.getLength() == 0) return CWString(a);
    return concatTexts<CWString>(a, kWholeText, b.c_str(), b.getLength(), false);
}

CWString operator+(const CWString& a, WCHAR b) {
    if (a.getLength() == 0) return CWString(b);
    return concatTexts<CWString>(a.c_str(), a.getLength(), &b, 1, false);
}

CWString operator+(WCHAR a, const CWString& b) {
    if (b.getLength() == 0) return CWString(a);
    return concatTexts<CWString>(&a, 1, b.c_str(), b.getLength(), false);
}

CAString operator+(const CAString& a, const CAString& b) {
    if (a.getLength() == 0) return b;
    if (b.getLength() == 0) return a;
    return concatTexts<CAString>(a.c_str(), a.getLength(), b.c_str(), b.getLength(), false);
}

CAString operator+(const CAString& a, const char* b) {
    if (a.getLength() == 0) return CAString(b);
    if (isEmptyText(b)) return a;
    return concatTexts<CAString>(a.c_str(), a.getLength(), b, kWholeText, false);
}

CAString operator+(const char* a, const CAString& b) {
    if (isEmptyText(a)) return b;
    if (b.getLength() == 0) return CAString(a);
    return concatTexts<CAString>(a, kWholeText, b.c_str(), b.getLength(), false);
}

CAString operator+(const CAString& a, char b) {
    if (a.getLength() == 0) return CAString(&b, static_cast<size_t>(1));
    return concatTexts<CAString>(a.c_str(), a.getLength(), &b, 1, false);
}

CAString operator+(char a, const CAString& b) {
    if (b.getLength() == 0) return CAString(&a, static_cast<size_t>(1));
    return concatTexts<CAString>(&a, 1, b.c_str(), b.getLength(), false);
}

CWString operator+(const CWString& a, const char* b) {
    return a + CWString(b, kWholeText, CP_PROGRAM);
}

CWString operator+(const char* a, const CWString& b) {
    return CWString(a, kWholeText, CP_PROGRAM) + b;
}

CWString operator+(const CWString& a, const CAString& b) {
    return a + CWString(b, CP_PROGRAM);
}

CWString operator+(const CAString& a, const CWString& b) {
    return CWString(a, CP_PROGRAM) + b;
}

// ---- Number, boolean and pointer texts --------------------------------------------------------

CAString ToAString(int value, int radix) {
    return signedNumberText<CAString, char>(value, radix);
}

CAString ToAString(uint32_t value, int radix) {
    return UInt64ToAString(value, radix);
}

CAString UInt64ToAString(uint64_t value, int radix) {
    return numberText<CAString, char>(value, false, radix);
}

CWString ToWString(uint64_t value, int radix) {
    return numberText<CWString, WCHAR>(value, false, radix);
}

CWString ToWString(uint32_t value, int radix) {
    return ToWString(static_cast<uint64_t>(value), radix);
}

CWString ToWString(int value, int radix) {
    return signedNumberText<CWString, WCHAR>(value, radix);
}

CWString ToWString(int64_t value, int radix) {
    return signedNumberText<CWString, WCHAR>(value, radix);
}

CWString ToWString(const void* pointer) {
    return ToWString(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(pointer)), 16);
}

CWString ToWString(bool value) {
    return CWString(value ? u"true" : u"false");
}

CWString ToWString(const CWString& text) {
    return text;
}

CWString ToWString(const WCHAR* text) {
    return CWString(text);
}

CWString ToWString(const char* text) {
    return CWString(text, kWholeText, CP_PROGRAM);
}

CWString ToWString(const CAString& text) {
    return CWString(text, CP_PROGRAM);
}

CWString UIntToWString(unsigned value, int radix) {
    return ToWString(static_cast<uint64_t>(value), radix);
}

CWString IntToWString(int value, int radix) {
    return ToWString(static_cast<int64_t>(value), radix);
}

// ---- Time and variant texts -------------------------------------------------------------------

CWString SystemTimeToText(const SYSTEMTIME& time, bool withMilliseconds) {
    char buffer[128];
    if (withMilliseconds)
        std::snprintf(buffer, sizeof(buffer), "%02u.%02u.%u %02u:%02u:%02u.%03u", time.wDay, time.wMonth,
                      time.wYear, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    else
        std::snprintf(buffer, sizeof(buffer), "%02u.%02u.%u %02u:%02u:%02u", time.wDay, time.wMonth,
                      time.wYear, time.wHour, time.wMinute, time.wSecond);
    return asciiToWide(buffer);
}

CWString FileTimeToText(const FILETIME* time, bool withMilliseconds) {
    if (time == nullptr || FileTimeToU64(*time) == 0) return CWString();
    SYSTEMTIME system{};
    if (!FileTimeToSystemTime(time, &system)) return CWString();
    return SystemTimeToText(system, withMilliseconds);
}

CWString VariantTimeToText(DATE time) {
    SYSTEMTIME system{};
    if (!VariantTimeToSystemTime(time, &system)) return CWString();
    return SystemTimeToText(system, false);
}

CWString VariantToWString(const VARIANT& value) {
    // Clears the copy however this function is left.
    struct CVariantCopy {
        VARIANT v;
        CVariantCopy() { VariantInit(&v); }
        ~CVariantCopy() { VariantClear(&v); }
    } copy;
    const HRESULT hr = VariantCopy(&copy.v, &value);
    if (FAILED(hr)) throw CError(hr);
    if (FAILED(VariantChangeType(&copy.v, &copy.v, 0, VT_BSTR))) return CWString();
    return CWString(copy.v.bstrVal, SysStringLen(copy.v.bstrVal));
}

// ---- Splitting, joining, grouping -------------------------------------------------------------

CArray<CWString> SplitString(const CWString& text, WCHAR separator) {
    CArray<CWString> pieces;
    const WCHAR* chars = text.c_str();
    const size_t length = text.getLength();
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        if (chars[i] != separator) continue;
        pieces.add(CWString(chars + start, i - start));
        start = i + 1;
    }
    pieces.add(CWString(chars + start, length - start));
    return pieces;
}

CWString JoinStrings(const CArray<CWString>& items, const CWString& separator) {
    CWString joined;
    for (size_t i = 0; i < items.getCount(); ++i) {
        if (joined.getLength() != 0) joined += separator;
        joined += items[i];
    }
    return joined;
}

CWString GroupDigits(const CWString& text, unsigned groupSize, const WCHAR* separator) {
    // A group size of 0 has no meaningful grouping; the text is left as it is.
    if (groupSize == 0) return text;
    const WCHAR* chars = text.c_str();
    const size_t length = text.getLength();
    CArray<CWString> groups;
    size_t pos = length % groupSize;
    if (pos != 0) groups.add(CWString(chars, pos));
    for (; pos < length; pos += groupSize) groups.add(CWString(chars + pos, size_t{groupSize}));
    return JoinStrings(groups, CWString(separator));
}

}  // namespace Vsk::Utils
