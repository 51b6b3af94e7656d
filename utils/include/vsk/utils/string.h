// The library's strings: CWString (UTF-16) and CAString (8-bit in a named code page), handles on the
// blob storage with a terminating NUL after the text. Conversions never raise; they leave a status
// that checkStatus turns into an error on request.
#pragma once

#include <vsk/platform/oleaut.h>
#include <vsk/utils/dataBlob.h>

#include <string>

namespace Vsk::Utils {

// The code page of the program's own 8-bit texts.
constexpr UINT CP_PROGRAM = 1251;

template <class T>
class CStringImpl : public CDataBlob::CImpl {
public:
    enum : DWORD { StatusConversion = 4 };

    CStringImpl() = default;

    // Each runs under the implementation's lock and sets the status.
    void assign(const T* text, size_t n);
    void append(const T* text, size_t n);
    void concat(const T* a, size_t na, const T* b, size_t nb);
    void setLength(size_t n);
    void fixLength();

    size_t length() const { return static_cast<size_t>(cbData / sizeof(T)) - m_start; }
    const T* text() const { return pbData ? reinterpret_cast<const T*>(pbData) + m_start : nullptr; }
    T* text() { return pbData ? reinterpret_cast<T*>(pbData) + m_start : nullptr; }

    uint64_t m_start = 0;
    DWORD m_status = 0;
    DWORD m_win32Error = 0;
};

class CAString;

class CWString {
public:
    class CImpl : public CStringImpl<WCHAR> {
    public:
        // Converts 8-bit text from `codePage`; the result or failure is left in the status.
        void convertFrom(const char* text, int length, UINT codePage);
    };

    CWString() = default;
    CWString(const CWString& other) = default;
    CWString(CWString&& other) noexcept = default;
    CWString(const WCHAR* text, size_t length = static_cast<size_t>(-1));
    CWString(const WCHAR* text, int length);
    CWString(const WCHAR* text, unsigned length);
    explicit CWString(WCHAR ch);
    CWString(const char* text, size_t length, UINT codePage);
    CWString(const CAString& text, UINT codePage);
    explicit CWString(size_t count);
    explicit CWString(int count);
    explicit CWString(unsigned count);
    CWString(const CDataBlob& blob, bool copy);
    virtual ~CWString() = default;

    CWString& operator=(const CWString& other) = default;
    CWString& operator=(CWString&& other) noexcept = default;

    DWORD getLength() const;
    const WCHAR* c_str() const;
    void assign(const WCHAR* text, size_t length = static_cast<size_t>(-1));
    void append(const WCHAR* text, size_t length = static_cast<size_t>(-1));
    CWString& operator+=(const CWString& other);
    CWString& operator+=(const WCHAR* text);
    CWString& operator+=(WCHAR ch);
    void clear();
    void setLength(size_t count);
    void fixLength();
    void zeroFill();
    WCHAR* at(size_t index) const;
    DWORD getStatus(int* win32Error = nullptr) const;
    int checkStatus() const;
    CWString clone() const;

    // Comparison, search and case (string operations).
    int compare(const CWString& other, bool caseSensitive = true) const;
    bool operator==(const CWString& other) const { return compare(other, true) == 0; }
    bool operator!=(const CWString& other) const { return compare(other, true) != 0; }
    bool operator<(const CWString& other) const { return compare(other, true) < 0; }
    bool startsWith(const CWString& other, bool caseSensitive = true) const;
    int64_t find(const CWString& other, bool caseSensitive = true) const;
    CWString& toUpper();
    CWString& trimRight();
    bool hasCyrillic() const;

    std::u16string toU16() const { return std::u16string(c_str(), getLength()); }

    const CRefPtr<CImpl>& getImpl() const { return m_pImpl; }
    explicit CWString(const CRefPtr<CImpl>& impl) : m_pImpl(impl) {}

private:
    CRefPtr<CImpl> m_pImpl;
};

class CAString {
public:
    class CImpl : public CStringImpl<char> {
    public:
        // Converts UTF-16 text to `codePage`; the result or failure is left in the status.
        void convertFrom(const WCHAR* text, int length, UINT codePage);
    };

    CAString() = default;
    CAString(const CAString& other) = default;
    CAString(CAString&& other) noexcept = default;
    CAString(const char* text, size_t length = static_cast<size_t>(-1));
    CAString(const char* text, int length);
    CAString(const std::string& text);
    CAString(const WCHAR* text, size_t length, UINT codePage);
    CAString(const CWString& text, UINT codePage);
    explicit CAString(size_t count);
    explicit CAString(int count);
    explicit CAString(unsigned count);
    CAString(const CDataBlob& blob, bool copy);
    virtual ~CAString() = default;

    CAString& operator=(const CAString& other) = default;
    CAString& operator=(CAString&& other) noexcept = default;

    DWORD getLength() const;
    const char* c_str() const;
    void assign(const char* text, size_t length = static_cast<size_t>(-1));
    void append(const char* text, size_t length = static_cast<size_t>(-1));
    CAString& operator+=(const CAString& other);
    CAString& operator+=(const char* text);
    CAString& operator+=(char ch);
    void clear();
    void setLength(size_t count);
    void fixLength();
    void zeroFill();
    char* at(size_t index) const;
    char charAt(size_t index) const;
    DWORD getStatus(int* win32Error = nullptr) const;
    int checkStatus() const;

    int compare(const CAString& other, bool caseSensitive = true) const;
    bool operator==(const CAString& other) const { return compare(other, true) == 0; }
    bool operator!=(const CAString& other) const { return compare(other, true) != 0; }
    bool operator<(const CAString& other) const { return compare(other, true) < 0; }
    bool operator==(const char* text) const;

    std::string toStd() const { return std::string(c_str(), getLength()); }

    const CRefPtr<CImpl>& getImpl() const { return m_pImpl; }
    explicit CAString(const CRefPtr<CImpl>& impl) : m_pImpl(impl) {}

private:
    CRefPtr<CImpl> m_pImpl;
};

// Concatenation into new strings.
CWString operator+(const CWString& a, const CWString& b);
CWString operator+(const CWString& a, const WCHAR* b);
CWString operator+(const WCHAR* a, const CWString& b);
CWString operator+(const CWString& a, WCHAR b);
CWString operator+(WCHAR a, const CWString& b);
CAString operator+(const CAString& a, const CAString& b);
CAString operator+(const CAString& a, const char* b);
CAString operator+(const char* a, const CAString& b);
CAString operator+(const CAString& a, char b);
CAString operator+(char a, const CAString& b);
// Mixed forms: the 8-bit side is taken as code page 1251.
CWString operator+(const CWString& a, const char* b);
CWString operator+(const char* a, const CWString& b);
CWString operator+(const CWString& a, const CAString& b);
CWString operator+(const CAString& a, const CWString& b);

// Number, boolean and pointer texts: digits 0-9 then a-z, no prefix, no leading zeros; a negative
// value is signed only in radix 10. A radix outside 2..36 gives the empty string.
CAString ToAString(int value, int radix = 10);
CAString ToAString(uint32_t value, int radix = 10);
CAString UInt64ToAString(uint64_t value, int radix = 10);
CWString ToWString(uint64_t value, int radix = 10);
CWString ToWString(uint32_t value, int radix = 10);
CWString ToWString(int value, int radix = 10);
CWString ToWString(int64_t value, int radix = 10);
CWString ToWString(const void* pointer);
CWString ToWString(bool value);
CWString ToWString(const CWString& text);
CWString ToWString(const WCHAR* text);
CWString ToWString(const char* text);
CWString ToWString(const CAString& text);
// ToWString of the 32-bit value, the unsigned one extended with zeros and the signed one with its
// sign; used by the proxy texts and the certificate layer.
CWString UIntToWString(unsigned value, int radix = 10);
CWString IntToWString(int value, int radix = 10);

// Time texts: "dd.mm.yyyy hh:mm:ss" with optional ".mmm".
CWString SystemTimeToText(const SYSTEMTIME& time, bool withMilliseconds = false);
CWString FileTimeToText(const FILETIME* time, bool withMilliseconds = false);
CWString VariantTimeToText(DATE time);
CWString VariantToWString(const VARIANT& value);

template <class T>
class CArray;
CArray<CWString> SplitString(const CWString& text, WCHAR separator);
CWString JoinStrings(const CArray<CWString>& items, const CWString& separator);
CWString GroupDigits(const CWString& text, unsigned groupSize, const WCHAR* separator);

}  // namespace Vsk::Utils
