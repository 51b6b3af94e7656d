// The two string classes: their storage on the blob implementation, construction, conversion between
// code pages, sharing with copy on write, and the length, buffer and status operations.
#include <vsk/utils/error.h>
#include <vsk/utils/string.h>

#include <climits>
#include <cstring>
#include <typeinfo>
#include <utility>

namespace Vsk::Utils {

namespace {

constexpr size_t kWholeText = static_cast<size_t>(-1);

// What c_str hands out when there is no text at all.
const WCHAR kEmptyWide[1] = {0};
const char kEmptyNarrow[1] = {0};

// Counts above this cannot be allocated anyway; refusing them early keeps the byte arithmetic
// (start offset, NUL, character size) from wrapping around.
template <class T>
constexpr size_t kMaxChars = SIZE_MAX / sizeof(T) / 4;

template <class T>
size_t textLength(const T* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

// The handles' notion of an empty input: no text, a length of 0, or a NUL-terminated empty text.
template <class T>
bool isEmptyInput(const T* text, size_t length) {
    return text == nullptr || length == 0 || (length == kWholeText && text[0] == 0);
}

// Resolves a length the way the implementation operations take it. Returns false when the
// operation has nothing to do; `status` is set for invalid input.
template <class T>
bool resolveLength(const T* text, size_t& n, DWORD& status) {
    if (n == 0) return false;
    if (text == nullptr) {
        if (n != kWholeText) status = CDataBlob::CImpl::StatusInvalid;
        return false;
    }
    if (n == kWholeText) n = textLength(text);
    return n != 0;
}

// A private copy of a source text that lies in the buffer about to be resized: growth may move or
// free that buffer (`s += s`, appending a part of the string to itself).
template <class T>
class CSourceText {
public:
    CSourceText(const CDataBlob::CImpl& target, const T* text, size_t n) : m_text(text) {
        const auto lo = reinterpret_cast<uintptr_t>(target.pbData);
        const auto hi = lo + static_cast<uintptr_t>(target.cbData) + sizeof(T);
        const auto from = reinterpret_cast<uintptr_t>(text);
        const auto to = from + n * sizeof(T);
        if (lo == 0 || to <= lo || from >= hi) return;
        m_copy = memAlloc(n * sizeof(T), false);
        if (m_copy) std::memcpy(m_copy, text, n * sizeof(T));
        m_text = static_cast<const T*>(m_copy);
    }
    ~CSourceText() {
        if (m_copy) memFree(m_copy, false);
    }
    CSourceText(const CSourceText&) = delete;
    CSourceText& operator=(const CSourceText&) = delete;

    // Null when the copy was needed and could not be had.
    const T* get() const { return m_text; }

private:
    const T* m_text;
    void* m_copy = nullptr;
};

template <class Impl>
bool canWriteInPlace(const CRefPtr<Impl>& impl) {
    return impl->getRefCount() <= 1 && impl->m_owner == nullptr;
}

template <class Impl, class T>
CRefPtr<Impl> makeFromText(const T* text, size_t length) {
    if (isEmptyInput(text, length)) return CRefPtr<Impl>();
    CRefPtr<Impl> impl = CRefPtr<Impl>::tryCreate();
    if (impl) impl->assign(text, length);
    return impl;
}

template <class Impl>
CRefPtr<Impl> makeBuffer(size_t count) {
    if (count == 0) return CRefPtr<Impl>();
    CRefPtr<Impl> impl = CRefPtr<Impl>::tryCreate();
    if (impl) impl->setLength(count);
    return impl;
}

template <class Impl, class T>
CRefPtr<Impl> makeFromBlob(const CDataBlob& blob, bool copy) {
    CDataBlob::CImpl* source = blob.getImpl().get();
    if (source == nullptr || source->cbData == 0) return CRefPtr<Impl>();
    CRefPtr<Impl> impl;
    if (!copy) {
        // The blob never resizes a string's storage in place, so a shared text stays terminated.
        if (Impl* same = dynamic_cast<Impl*>(source)) impl = CRefPtr<Impl>(same);
    }
    if (!impl) {
        impl = CRefPtr<Impl>::tryCreate();
        if (!impl) return impl;
        CLock lock(source);
        impl->assign(reinterpret_cast<const T*>(source->pbData),
                     static_cast<size_t>(source->cbData / sizeof(T)));
    }
    impl->fixLength();
    return impl;
}

template <class Impl, class T>
void assignText(CRefPtr<Impl>& impl, const T* text, size_t length) {
    if (isEmptyInput(text, length)) {
        impl.release();
        return;
    }
    // The text may lie in the present storage: fill the new one before letting the old one go.
    CRefPtr<Impl> fresh = CRefPtr<Impl>::create();
    fresh->assign(text, length);
    impl = std::move(fresh);
}

template <class Impl, class T>
void appendText(CRefPtr<Impl>& impl, const T* text, size_t length) {
    if (isEmptyInput(text, length)) return;
    if (!impl) {
        assignText(impl, text, length);
        return;
    }
    if (canWriteInPlace(impl)) {
        impl->append(text, length);
        return;
    }
    CRefPtr<Impl> fresh = CRefPtr<Impl>::create();
    fresh->concat(impl->text(), impl->length(), text, length);
    impl = std::move(fresh);
}

template <class Impl>
void setLengthOf(CRefPtr<Impl>& impl, size_t count) {
    if (count == 0) {
        impl.release();
        return;
    }
    if (!impl || !canWriteInPlace(impl)) {
        impl = CRefPtr<Impl>::tryCreate();
        impl.checkCreated();
    }
    impl->setLength(count);
}

template <class Impl>
void zeroFillOf(const CRefPtr<Impl>& impl) {
    if (!impl) return;
    CLock lock(impl.get());
    if (impl->pbData != nullptr) std::memset(impl->pbData, 0, static_cast<size_t>(impl->cbData));
}

[[noreturn]] void raiseIndex(size_t index, size_t length) {
    throw CError(CAString("Индекс ") + UInt64ToAString(index) + " за пределом " + UInt64ToAString(length),
                 0u);
}

template <class Impl>
auto* charPointer(const CRefPtr<Impl>& impl, size_t index) {
    const size_t length = impl ? impl->length() : 0;
    if (length == 0 || index > length) raiseIndex(index, length);
    return impl->text() + index;
}

template <class Impl>
DWORD statusOf(const CRefPtr<Impl>& impl, int* win32Error) {
    if (!impl) {
        if (win32Error) *win32Error = 0;
        return 0;
    }
    CLock lock(impl.get());
    if (win32Error) *win32Error = static_cast<int>(impl->m_win32Error);
    return impl->m_status;
}

int raiseStatus(DWORD status, int win32Error) {
    if (status == 0) return 0;
    const char* text = status == CDataBlob::CImpl::StatusNoMemory ? "Нехватка памяти"
                       : status == CDataBlob::CImpl::StatusInvalid ? "Исходные данные не валидны"
                                                                   : "Внутренняя ошибка";
    throw CError(text, static_cast<DWORD>(win32Error));
}

}  // namespace

// ---- Implementation operations ----------------------------------------------------------------

namespace {

// Makes the buffer hold `chars` characters after the start offset (the blob's copy-mode resize).
template <class T>
DWORD resizeChars(CStringImpl<T>& impl, size_t chars) {
    if (chars > kMaxChars<T>) return CDataBlob::CImpl::StatusNoMemory;
    return impl.setData((impl.m_start + chars) * sizeof(T), nullptr, true);
}

template <class T>
void setTextLength(CStringImpl<T>& impl, size_t n) {
    impl.cbData = (impl.m_start + n) * sizeof(T);
    impl.text()[n] = 0;
}

}  // namespace

template <class T>
void CStringImpl<T>::assign(const T* text, size_t n) {
    CLock lock(this);
    if (!resolveLength(text, n, m_status)) return;
    if (n > kMaxChars<T>) {
        m_status = StatusNoMemory;
        return;
    }
    CSourceText<T> source(*this, text, n);
    if (source.get() == nullptr) {
        m_status = StatusNoMemory;
        return;
    }
    m_status = resizeChars(*this, n + 1);
    if (m_status != StatusOk) return;
    std::memcpy(this->text(), source.get(), n * sizeof(T));
    setTextLength(*this, n);
}

template <class T>
void CStringImpl<T>::append(const T* text, size_t n) {
    CLock lock(this);
    if (!resolveLength(text, n, m_status)) return;
    const size_t present = length();
    if (present > kMaxChars<T> || n > kMaxChars<T> - present) {
        m_status = StatusNoMemory;
        return;
    }
    CSourceText<T> source(*this, text, n);
    if (source.get() == nullptr) {
        m_status = StatusNoMemory;
        return;
    }
    m_status = CDataBlob::CImpl::append((n + 1) * sizeof(T), nullptr);
    if (m_status != StatusOk) return;
    std::memcpy(this->text() + present, source.get(), n * sizeof(T));
    setTextLength(*this, present + n);
}

template <class T>
void CStringImpl<T>::concat(const T* a, size_t na, const T* b, size_t nb) {
    CLock lock(this);
    DWORD status = StatusOk;
    if (!resolveLength(a, na, status)) na = 0;
    if (!resolveLength(b, nb, status)) nb = 0;
    if (status != StatusOk) {
        m_status = status;
        return;
    }
    if (na == 0 && nb == 0) return;
    if (na > kMaxChars<T> || nb > kMaxChars<T> - na) {
        m_status = StatusNoMemory;
        return;
    }
    CSourceText<T> first(*this, a, na);
    CSourceText<T> second(*this, b, nb);
    if ((na != 0 && first.get() == nullptr) || (nb != 0 && second.get() == nullptr)) {
        m_status = StatusNoMemory;
        return;
    }
    m_status = resizeChars(*this, na + nb + 1);
    if (m_status != StatusOk) return;
    if (na != 0) std::memcpy(text(), first.get(), na * sizeof(T));
    if (nb != 0) std::memcpy(text() + na, second.get(), nb * sizeof(T));
    setTextLength(*this, na + nb);
}

template <class T>
void CStringImpl<T>::setLength(size_t n) {
    CLock lock(this);
    if (n == length()) return;
    m_status = resizeChars(*this, n + 1);
    if (m_status != StatusOk) return;
    setTextLength(*this, n);
}

template <class T>
void CStringImpl<T>::fixLength() {
    CLock lock(this);
    const T* chars = text();
    if (chars == nullptr) return;
    const size_t n = length();
    for (size_t i = 0; i < n; ++i) {
        if (chars[i] == 0) {
            cbData = (m_start + i) * sizeof(T);
            return;
        }
    }
}

template class CStringImpl<char>;
template class CStringImpl<WCHAR>;

namespace {

// The conversion shared by both directions; `convert` is the platform's code-page call with the
// output buffer and its size in characters.
template <class T, class Convert>
void convertInto(CStringImpl<T>& impl, int length, Convert convert) {
    CLock lock(&impl);
    int n = convert(nullptr, 0);
    if (n <= 0) {
        impl.m_status = CStringImpl<T>::StatusConversion;
        impl.m_win32Error = GetLastError();
        return;
    }
    size_t chars = static_cast<size_t>(n);
    if (length != -1) ++chars;
    impl.m_status = resizeChars(impl, chars);
    if (impl.m_status != CDataBlob::CImpl::StatusOk) return;
    int m = convert(impl.text(), static_cast<int>(chars));
    if (m <= 0) {
        impl.free();
        impl.m_status = CStringImpl<T>::StatusConversion;
        impl.m_win32Error = GetLastError();
        return;
    }
    size_t written = static_cast<size_t>(m);
    if (length != -1) impl.text()[written++] = 0;
    impl.m_status = resizeChars(impl, written);
    if (impl.m_status != CDataBlob::CImpl::StatusOk) return;
    impl.cbData = (impl.m_start + written - 1) * sizeof(T);
}

// The platform's calls take 32-bit lengths; a longer explicit length is refused rather than cut.
bool fitsConversionLength(size_t length) {
    return length == kWholeText || length <= static_cast<size_t>(INT_MAX);
}

}  // namespace

void CWString::CImpl::convertFrom(const char* text, int length, UINT codePage) {
    convertInto(*this, length, [&](WCHAR* buffer, int size) {
        return MultiByteToWideChar(codePage, 0, text, length, buffer, size);
    });
}

void CAString::CImpl::convertFrom(const WCHAR* text, int length, UINT codePage) {
    convertInto(*this, length, [&](char* buffer, int size) {
        return WideCharToMultiByte(codePage, 0, text, length, buffer, size, nullptr, nullptr);
    });
}

namespace {

template <class Impl, class T>
CRefPtr<Impl> makeConverted(const T* text, size_t length, UINT codePage) {
    if (isEmptyInput(text, length)) return CRefPtr<Impl>();
    CRefPtr<Impl> impl = CRefPtr<Impl>::tryCreate();
    if (!impl) return impl;
    if (!fitsConversionLength(length)) {
        CLock lock(impl.get());
        impl->m_status = CDataBlob::CImpl::StatusInvalid;
        return impl;
    }
    impl->convertFrom(text, length == kWholeText ? -1 : static_cast<int>(length), codePage);
    return impl;
}

}  // namespace

// ---- CWString ---------------------------------------------------------------------------------

CWString::CWString(const WCHAR* text, size_t length) : m_pImpl(makeFromText<CImpl>(text, length)) {}

CWString::CWString(const WCHAR* text, int length)
    : m_pImpl(makeFromText<CImpl>(text, static_cast<size_t>(static_cast<int64_t>(length)))) {}

CWString::CWString(const WCHAR* text, unsigned length)
    : m_pImpl(makeFromText<CImpl>(text, static_cast<size_t>(length))) {}

CWString::CWString(WCHAR ch) : m_pImpl(makeFromText<CImpl>(&ch, 1)) {}

CWString::CWString(const char* text, size_t length, UINT codePage)
    : m_pImpl(makeConverted<CImpl>(text, length, codePage)) {}

CWString::CWString(const CAString& text, UINT codePage) {
    const DWORD length = text.getLength();
    if (length != 0) m_pImpl = makeConverted<CImpl>(text.c_str(), length, codePage);
}

CWString::CWString(size_t count) : m_pImpl(makeBuffer<CImpl>(count)) {}

CWString::CWString(int count) : m_pImpl(makeBuffer<CImpl>(count > 0 ? count : 0)) {}

CWString::CWString(unsigned count) : m_pImpl(makeBuffer<CImpl>(count)) {}

CWString::CWString(const CDataBlob& blob, bool copy) : m_pImpl(makeFromBlob<CImpl, WCHAR>(blob, copy)) {}

DWORD CWString::getLength() const {
    return m_pImpl ? checkedDword(m_pImpl->length()) : 0;
}

const WCHAR* CWString::c_str() const {
    const WCHAR* text = m_pImpl ? m_pImpl->text() : nullptr;
    return text ? text : kEmptyWide;
}

void CWString::assign(const WCHAR* text, size_t length) {
    assignText(m_pImpl, text, length);
}

void CWString::append(const WCHAR* text, size_t length) {
    appendText(m_pImpl, text, length);
}

CWString& CWString::operator+=(const CWString& other) {
    if (m_pImpl)
        append(other.c_str(), other.getLength());
    else
        m_pImpl = other.m_pImpl;
    return *this;
}

CWString& CWString::operator+=(const WCHAR* text) {
    append(text, kWholeText);
    return *this;
}

CWString& CWString::operator+=(WCHAR ch) {
    append(&ch, 1);
    return *this;
}

void CWString::clear() {
    m_pImpl.release();
}

void CWString::setLength(size_t count) {
    setLengthOf(m_pImpl, count);
}

void CWString::fixLength() {
    if (m_pImpl) m_pImpl->fixLength();
}

void CWString::zeroFill() {
    zeroFillOf(m_pImpl);
}

WCHAR* CWString::at(size_t index) const {
    return charPointer(m_pImpl, index);
}

DWORD CWString::getStatus(int* win32Error) const {
    return statusOf(m_pImpl, win32Error);
}

int CWString::checkStatus() const {
    int code = 0;
    const DWORD status = getStatus(&code);
    return raiseStatus(status, code);
}

CWString CWString::clone() const {
    if (!m_pImpl || m_pImpl->length() == 0) return CWString();
    CRefPtr<CImpl> copy = CRefPtr<CImpl>::tryCreate();
    if (!copy) return CWString();
    CLock lock(m_pImpl.get());
    copy->assign(m_pImpl->text(), m_pImpl->length());
    return CWString(copy);
}

// ---- CAString ---------------------------------------------------------------------------------

CAString::CAString(const char* text, size_t length) : m_pImpl(makeFromText<CImpl>(text, length)) {}

CAString::CAString(const char* text, int length)
    : m_pImpl(makeFromText<CImpl>(text, static_cast<size_t>(static_cast<int64_t>(length)))) {}

CAString::CAString(const std::string& text) : m_pImpl(makeFromText<CImpl>(text.data(), text.size())) {}

CAString::CAString(const WCHAR* text, size_t length, UINT codePage)
    : m_pImpl(makeConverted<CImpl>(text, length, codePage)) {}

CAString::CAString(const CWString& text, UINT codePage) {
    const DWORD length = text.getLength();
    if (length != 0) m_pImpl = makeConverted<CImpl>(text.c_str(), length, codePage);
}

CAString::CAString(size_t count) : m_pImpl(makeBuffer<CImpl>(count)) {}

CAString::CAString(int count) : m_pImpl(makeBuffer<CImpl>(count > 0 ? count : 0)) {}

CAString::CAString(unsigned count) : m_pImpl(makeBuffer<CImpl>(count)) {}

CAString::CAString(const CDataBlob& blob, bool copy) : m_pImpl(makeFromBlob<CImpl, char>(blob, copy)) {}

DWORD CAString::getLength() const {
    return m_pImpl ? checkedDword(m_pImpl->length()) : 0;
}

const char* CAString::c_str() const {
    const char* text = m_pImpl ? m_pImpl->text() : nullptr;
    return text ? text : kEmptyNarrow;
}

void CAString::assign(const char* text, size_t length) {
    assignText(m_pImpl, text, length);
}

void CAString::append(const char* text, size_t length) {
    appendText(m_pImpl, text, length);
}

CAString& CAString::operator+=(const CAString& other) {
    if (m_pImpl)
        append(other.c_str(), other.getLength());
    else
        m_pImpl = other.m_pImpl;
    return *this;
}

CAString& CAString::operator+=(const char* text) {
    append(text, kWholeText);
    return *this;
}

CAString& CAString::operator+=(char ch) {
    append(&ch, 1);
    return *this;
}

void CAString::clear() {
    m_pImpl.release();
}

void CAString::setLength(size_t count) {
    setLengthOf(m_pImpl, count);
}

void CAString::fixLength() {
    if (m_pImpl) m_pImpl->fixLength();
}

void CAString::zeroFill() {
    zeroFillOf(m_pImpl);
}

char* CAString::at(size_t index) const {
    return charPointer(m_pImpl, index);
}

char CAString::charAt(size_t index) const {
    return *at(index);
}

DWORD CAString::getStatus(int* win32Error) const {
    return statusOf(m_pImpl, win32Error);
}

int CAString::checkStatus() const {
    int code = 0;
    const DWORD status = getStatus(&code);
    return raiseStatus(status, code);
}

}  // namespace Vsk::Utils
