#include <vsk/platform/oleaut.h>
#include <vsk/utils/error.h>
#include <vsk/utils/file.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace Vsk::Utils {

namespace {

// FormatMessageW: allocate the buffer, ignore inserts, one line (maximum width 0xFF); from the system
// table, or from a module's table and then the system's.
constexpr DWORD SystemTextFlags = 0x11FF;
constexpr DWORD ModuleTextFlags = 0x19FF;
// Codes from here on are HRESULT-like values and read better in hexadecimal.
constexpr DWORD FirstHexCode = 16000;
constexpr DWORD FirstWinHttpCode = 12000;
constexpr DWORD LastWinHttpCode = 12999;

bool isWin32FacilityHResult(HRESULT hr) {
    return (static_cast<uint32_t>(hr) & 0x80070000u) == 0x80070000u;
}

CWString fromProgramText(const char* text) {
    if (!text) return CWString();
    return CWString(text, std::strlen(text), CP_PROGRAM);
}

CWString functionName(const char* fullName) {
    return CWString(StripNamespacePrefix(fullName), CP_PROGRAM);
}

// Appends the system text to the message unless the message already says it.
void joinSystemText(CWString& message, const CWString& systemText) {
    if (systemText.getLength() == 0) return;
    if (message.getLength() == 0)
        message = systemText;
    else if (message.find(systemText, false) < 0)
        message = message + u"\r\n" + systemText;
}

void logBuilt(const CWString& message) {
    if (message.getLength() != 0 && InternalUtils::GetLogLevel() >= 1)
        InternalUtils::LogAt(1, functionName("Vsk::Utils::CError::CImpl::init") + u" " + message);
}

// Asks FormatMessageW for a one-line text; empty when it has none.
CWString formatMessage(DWORD flags, LPCVOID source, DWORD code) {
    WCHAR* buffer = nullptr;
    DWORD n =
        FormatMessageW(flags, source, code, LANG_USER_DEFAULT, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    CWString text;
    if (n != 0 && buffer) text = CWString(buffer, static_cast<size_t>(n));
    if (buffer) LocalFree(buffer);
    return text;
}

// Set while an out-of-memory error is being built: an allocation that fails inside must not start
// building another one, or a heap that stays exhausted would recurse until the stack ends.
thread_local bool t_buildingOutOfMemory = false;

class COutOfMemoryScope {
public:
    COutOfMemoryScope() : m_outer(t_buildingOutOfMemory) { t_buildingOutOfMemory = true; }
    ~COutOfMemoryScope() { t_buildingOutOfMemory = m_outer; }
    COutOfMemoryScope(const COutOfMemoryScope&) = delete;
    COutOfMemoryScope& operator=(const COutOfMemoryScope&) = delete;

private:
    bool m_outer;
};

// An out-of-memory error made while memory is still plentiful (with the first error built), thrown
// when the real one cannot be built. It lives in static storage and is never destroyed, so threads
// that are still running at exit may throw it too.
std::mutex g_reservedLock;
alignas(CError) unsigned char g_reservedStorage[sizeof(CError)];
std::atomic<const CError*> g_reserved{nullptr};

void ensureReservedOutOfMemory() {
    if (t_buildingOutOfMemory || g_reserved.load(std::memory_order_acquire)) return;
    COutOfMemoryScope scope;
    std::lock_guard<std::mutex> guard(g_reservedLock);
    if (g_reserved.load(std::memory_order_relaxed)) return;
    try {
        CError error(CWString(), Vsk::Utils::NoErrorCode);
        error.getImpl()->m_code = static_cast<int32_t>(ERROR_OUTOFMEMORY);
        error.getImpl()->m_message = GetSystemErrorText(ERROR_OUTOFMEMORY);
        g_reserved.store(new (g_reservedStorage) CError(error), std::memory_order_release);
    } catch (...) {
        // Short of memory already: the next error built tries again.
    }
}

CRefPtr<CError::CImpl> newErrorImpl() {
    ensureReservedOutOfMemory();
    return CRefPtr<CError::CImpl>::create();
}

}  // namespace

// ---- Initialisation -----------------------------------------------------------------------------

void CError::CImpl::init(const CWString& text, DWORD code) {
    m_errorNumber = 0;
    m_code = static_cast<int32_t>(code);
    m_message = text;
    if (code != 0) {
        if (code == Vsk::Utils::LastErrorCode) {
            code = GetLastError();
            m_code = static_cast<int32_t>(code);
            if (code != 0) SetLastError(0);
        }
        CWString systemText;
        if (code != 0) {
            systemText = GetSystemErrorText(code);
        } else if (int crt = CrtErrno(); crt != 0) {
            systemText = CWString(CrtErrorText(crt));
        }
        joinSystemText(m_message, systemText);
    }
    logBuilt(m_message);
}

void CError::CImpl::init(const CWString& text, HRESULT hr) {
    m_code = isWin32FacilityHResult(hr) ? static_cast<int32_t>(hr & 0xFFFF) : static_cast<int32_t>(hr);
    m_errorNumber = 0;
    m_message = text;
    if (hr < 0) joinSystemText(m_message, GetHResultText(hr));
    logBuilt(m_message);
}

// ---- Construction -------------------------------------------------------------------------------

CError::CError() : m_pImpl(newErrorImpl()) {
    m_pImpl->init(CWString(), Vsk::Utils::LastErrorCode);
}

CError::CError(DWORD code) : m_pImpl(newErrorImpl()) {
    m_pImpl->init(CWString(), code);
}

CError::CError(const CAString& text, DWORD code) : m_pImpl(newErrorImpl()) {
    m_pImpl->init(CWString(text, CP_PROGRAM), code);
}

CError::CError(const CWString& text, DWORD code) : m_pImpl(newErrorImpl()) {
    m_pImpl->init(text, code);
}

// The C-text forms resolve -1 themselves, so the caller's last error is left as it was.
CError::CError(const char* text, DWORD code) : m_pImpl(newErrorImpl()) {
    if (code == Vsk::Utils::LastErrorCode) code = GetLastError();
    m_pImpl->init(fromProgramText(text), code);
}

CError::CError(const WCHAR* text, DWORD code) : m_pImpl(newErrorImpl()) {
    if (code == Vsk::Utils::LastErrorCode) code = GetLastError();
    m_pImpl->init(text ? CWString(text) : CWString(), code);
}

CError::CError(const CWString& text, const char* sourceFile, int line) : m_pImpl(newErrorImpl()) {
    m_pImpl->init(text, Vsk::Utils::LastErrorCode);
    m_pImpl->m_sourceFile = CAString(sourceFile ? sourceFile : "");
    m_pImpl->m_line = line;
}

CError::CError(const CExcept& except) : m_pImpl(newErrorImpl()) {
    m_pImpl->init(except.text, except.code);
}

CError::CError(HRESULT hr) : m_pImpl(newErrorImpl()) {
    m_pImpl->init(CWString(), hr);
}

CError::CError(const CAString& text, HRESULT hr) : m_pImpl(newErrorImpl()) {
    m_pImpl->init(CWString(text, CP_PROGRAM), hr);
}

CError::CError(const CWString& text, HRESULT hr) : m_pImpl(newErrorImpl()) {
    m_pImpl->init(text, hr);
}

CError::CError(const char* text, HRESULT hr) : m_pImpl(newErrorImpl()) {
    m_pImpl->init(fromProgramText(text), hr);
}

// ---- Accessors ----------------------------------------------------------------------------------

int32_t CError::getCode() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_code;
}

DWORD CError::getErrorNumber() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_errorNumber;
}

void CError::setErrorNumber(DWORD number) {
    m_pImpl.checkCreated();
    m_pImpl->m_errorNumber = number;
}

CWString CError::getText() const {
    m_pImpl.checkCreated();
    if (m_pImpl->m_sourceFile.getLength() == 0) return m_pImpl->m_message;
    return m_pImpl->m_message + u" " + CWString(m_pImpl->m_sourceFile, CP_PROGRAM) + u":" +
           ToWString(static_cast<int>(m_pImpl->m_line));
}

const CWString& CError::getMessage() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_message;
}

bool CError::isEmpty() const {
    m_pImpl.checkCreated();
    return m_pImpl->m_errorNumber == 0 && m_pImpl->m_message.getLength() == 0;
}

CWString CError::appendText(const CWString& text) {
    m_pImpl.checkCreated();
    m_pImpl->m_message += text;
    return m_pImpl->m_message;
}

void CError::prependText(const CWString& text) {
    m_pImpl.checkCreated();
    m_pImpl->m_message = text + m_pImpl->m_message;
}

// ---- Texts --------------------------------------------------------------------------------------

CWString GetSystemErrorText(DWORD code) {
    if (code == 0) return CWString();
    // A code without a text makes FormatMessageW set the last error; callers that keep theirs (the
    // C-text constructors) must not see it change.
    CLastErrorGuard keep;
    CWString text = code < FirstHexCode ? ToWString(code) : u"0x" + ToWString(code, 16);
    if (code >= FirstWinHttpCode && code <= LastWinHttpCode) {
        // The WinHTTP table is read only when the HTTP client has already bound it.
        if (HMODULE module = WinHttpMessageModule()) {
            CWString message = formatMessage(ModuleTextFlags, module, code);
            if (message.getLength() != 0) return text + u": " + message;
        }
    }
    CWString message = formatMessage(SystemTextFlags, nullptr, code);
    if (message.getLength() != 0) text = text + u": " + message;
    return text;
}

CWString GetHResultText(HRESULT hr) {
    if (hr < 0) {
        CWString description = GetLastComError();
        if (description.getLength() != 0) return description;
    }
    return GetSystemErrorText(isWin32FacilityHResult(hr) ? static_cast<DWORD>(hr & 0xFFFF)
                                                         : static_cast<DWORD>(hr));
}

CWString GetLastComError() {
    // Read by every HRESULT text, so traced only among the frequently called functions.
    InternalUtils::CLogScope scope("Vsk::Utils::GetLastComError", 5);
    CWString description;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR text = nullptr;
        if (SUCCEEDED(info->GetDescription(&text)) && text) description = CWString(text, SysStringLen(text));
        SysFreeString(text);
        // Reading takes the object from the thread; put it back so that the next reader sees it too.
        SetErrorInfo(0, info);
        info->Release();
    }
    if (scope.getLevel() >= 3) scope.m_result = description;
    return description;
}

HRESULT SetLastComError(const CWString& text) {
    InternalUtils::CLogScope scope("Vsk::Utils::SetLastComError", 4, text);
    ICreateErrorInfo* create = nullptr;
    IErrorInfo* info = nullptr;
    HRESULT hr = S_OK;
    // The first step that fails stops the sequence; its line goes into the log's error-location line.
    int failedLine = 0;
    auto fails = [&](HRESULT result, int line) {
        hr = result;
        if (FAILED(result)) failedLine = line;
        return FAILED(result);
    };
    fails(CreateErrorInfo(&create), __LINE__) || fails(create->SetDescription(text.c_str()), __LINE__) ||
        fails(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)), __LINE__) ||
        fails(SetErrorInfo(0, info), __LINE__);
    if (info) info->Release();
    if (create) create->Release();
    if (failedLine != 0 && InternalUtils::GetLogLevel() >= 1) {
        if (InternalUtils::CLog* log = InternalUtils::GetLog())
            log->writeHResult(functionName("Vsk::Utils::SetLastComError") + u" " + __FILE_NAME__ + u":" +
                                  ToWString(failedLine),
                              hr);
    }
    return hr;
}

CAString StripNamespacePrefix(const CAString& name) {
    static constexpr char Prefix[] = "Vsk::";
    constexpr size_t PrefixLength = sizeof(Prefix) - 1;
    if (name.getLength() < PrefixLength || std::memcmp(name.c_str(), Prefix, PrefixLength) != 0) return name;
    return CAString(name.c_str() + PrefixLength, static_cast<size_t>(name.getLength() - PrefixLength));
}

CError MakeError(const char* text) {
    return CError(text, Vsk::Utils::NoErrorCode);
}

CError MakeError(const CAString& text) {
    return CError(text, Vsk::Utils::NoErrorCode);
}

CError MakeError(const CWString& text) {
    return CError(text, Vsk::Utils::NoErrorCode);
}

// ---- Formatter ----------------------------------------------------------------------------------

void CErrorFormatter::push(const CError& error) {
    m_errors.add(error);
}

void CErrorFormatter::pushErrorFileLine(const char* sourceFile, int line, const CWString& text) {
    CError error(text, sourceFile, line);
    push(error);
    if (InternalUtils::GetLogLevel() >= 1)
        InternalUtils::LogAt(
            1, functionName("Vsk::Utils::CErrorFormatter::pushErrorFileLine") + u" " + error.getText());
}

CError CErrorFormatter::format(const CWString& separator) {
    std::vector<CWString> texts;
    for (const CError& error : m_errors) {
        CWString text = error.getText();
        bool seen = false;
        for (const CWString& earlier : texts) {
            if (earlier == text) {
                seen = true;
                break;
            }
        }
        if (!seen) texts.push_back(text);
    }
    int32_t code = m_errors.isEmpty() ? 0 : m_errors[0].getCode();
    m_errors.clear();

    CWString joined;
    if (texts.size() == 1) {
        joined = texts.front();
    } else {
        for (size_t k = 0; k < texts.size(); ++k)
            joined = joined + separator + ToWString(static_cast<uint64_t>(k + 1)) + u" - " + texts[k];
    }
    return CError(joined, static_cast<DWORD>(code));
}

// ---- Out-of-line raise helpers of the templates --------------------------------------------------

CError OutOfMemoryError(size_t size) {
    if (t_buildingOutOfMemory) {
        if (const CError* reserved = g_reserved.load(std::memory_order_acquire)) throw *reserved;
        throw std::bad_alloc();
    }
    COutOfMemoryScope scope;
    CAString text = CAString("Нехватка памяти для выделения ") + UInt64ToAString(size) + " байт.";
    return CError(text, E_OUTOFMEMORY);
}

void raiseOutOfMemory(size_t size) {
    throw OutOfMemoryError(size);
}

void raiseNotCreated(const std::type_info& type) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    CAString name(status == 0 && demangled ? demangled : type.name());
    std::free(demangled);
    throw CError(CAString("Объект class ") + name + " не был создан!", Vsk::Utils::NoErrorCode);
}

void raiseArrayEmpty() {
    throw CError("Массив пуст", Vsk::Utils::NoErrorCode);
}

void raiseIndexOutOfRange(size_t index, size_t limit) {
    throw CError(CAString("Индекс ") + UInt64ToAString(index) + " за пределом " + UInt64ToAString(limit),
                 Vsk::Utils::NoErrorCode);
}

CError LocatedError(const char16_t* text, const char* sourceFile, int line) {
    const char* name = sourceFile ? InternalUtils::GetFileNamePartA(sourceFile) : "";
    return CError(
        CWString(text) + CWString(name, std::strlen(name), CP_PROGRAM) + u":" + ToWString(line) + u".",
        NoErrorCode);
}

CError InternalError(const char* sourceFile, int line) {
    return LocatedError(u"Внутренняя ошибка. ", sourceFile, line);
}

CError NotImplementedError(const char* sourceFile, int line) {
    return LocatedError(u"Не реализовано, не было необходимости. ", sourceFile, line);
}

}  // namespace Vsk::Utils
