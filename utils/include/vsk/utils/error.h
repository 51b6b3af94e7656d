// The library's exception and its helpers: system texts for Win32 codes and HRESULTs, COM error
// information, the error formatter that joins several errors, and the last-error guard.
#pragma once

#include <vsk/utils/array.h>
#include <vsk/utils/string.h>

namespace Vsk::Utils {

// Thrown inside the ASN.1 code and the token layer; becomes a CError at their boundary.
// Code 234 means the data ended before the element did.
struct CExcept {
    DWORD code = 0;
    CWString text;
};

// The two special codes of CError's Win32 form: no code at all, and the thread's last error, taken
// when the error is made (and then cleared).
inline constexpr DWORD NoErrorCode = 0;
inline constexpr DWORD LastErrorCode = static_cast<DWORD>(-1);

class CError {
public:
    class CImpl : public CRefMan {
    public:
        // Win32 form: a code of -1 takes the thread's last error (and clears it).
        void init(const CWString& text, DWORD code);
        // HRESULT form: 0x8007xxxx is stored as xxxx.
        void init(const CWString& text, HRESULT hr);

        CWString m_message;
        int32_t m_code = 0;
        DWORD m_errorNumber = 0;
        CAString m_sourceFile;
        int32_t m_line = 0;
    };

    CError();
    explicit CError(DWORD code);
    CError(const CAString& text, DWORD code);
    CError(const CWString& text, DWORD code);
    CError(const char* text, DWORD code);
    CError(const WCHAR* text, DWORD code);
    CError(const CWString& text, const char* sourceFile, int line);
    CError(const CExcept& except);
    explicit CError(HRESULT hr);
    CError(const CAString& text, HRESULT hr);
    CError(const CWString& text, HRESULT hr);
    CError(const char* text, HRESULT hr);
    CError(const CError& other) = default;
    CError(CError&& other) noexcept = default;
    CError& operator=(const CError& other) = default;
    CError& operator=(CError&& other) noexcept = default;
    ~CError() = default;

    int32_t getCode() const;
    DWORD getErrorNumber() const;
    void setErrorNumber(DWORD number);
    // The message, followed by " <file>:<line>" when a source file is set.
    CWString getText() const;
    const CWString& getMessage() const;
    bool isEmpty() const;
    CWString appendText(const CWString& text);
    void prependText(const CWString& text);

    const CRefPtr<CImpl>& getImpl() const { return m_pImpl; }

private:
    CRefPtr<CImpl> m_pImpl;
};

// "<code>: <system text>", the number alone when no text exists; empty for 0. Codes of 16000 and
// more are written "0x" + lower-case hexadecimal.
CWString GetSystemErrorText(DWORD code);
CWString GetHResultText(HRESULT hr);
CWString GetLastComError();
HRESULT SetLastComError(const CWString& text);
// The name without a leading "Vsk::".
CAString StripNamespacePrefix(const CAString& name);

CError MakeError(const char* text);
CError MakeError(const CAString& text);
CError MakeError(const CWString& text);

// Collects several errors and joins them into one numbered text.
class CErrorFormatter : public virtual CCriticalSection {
public:
    void push(const CError& error);
    void pushErrorFileLine(const char* sourceFile, int line, const CWString& text);
    CError format(const CWString& separator);
    size_t getCount() const { return m_errors.getCount(); }

private:
    CArray<CError> m_errors;
};

// Keeps the thread's last Win32 error across code that may disturb it.
class CLastErrorGuard {
public:
    CLastErrorGuard() : m_saved(GetLastError()) {}
    ~CLastErrorGuard() {
        if (GetLastError() != m_saved) SetLastError(m_saved);
    }
    CLastErrorGuard(const CLastErrorGuard&) = delete;
    CLastErrorGuard& operator=(const CLastErrorGuard&) = delete;

private:
    DWORD m_saved;
};

// The library's errors for states its callers never produce: "Внутренняя ошибка. " and for roads
// not built "Не реализовано, не было необходимости. ", each followed by the source file's name,
// ":", the line and "."; code 0. Called with __FILE__ and __LINE__.
CError InternalError(const char* sourceFile, int line);
// `text` followed by the source file's name, ":", the line and "."; code 0.
CError LocatedError(const char16_t* text, const char* sourceFile, int line);
CError NotImplementedError(const char* sourceFile, int line);

}  // namespace Vsk::Utils
