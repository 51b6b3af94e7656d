// System information over WMI and the field lookup in its text. Every call does the whole COM work
// afresh (initialisation, locator, connection, proxy security, query) and keeps nothing; what it
// acquires is released however the call ends.
#include <vsk/utils/systemInfo.h>

#include <vsk/platform/wbem.h>
#include <vsk/utils/error.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <cstring>
#include <string>
#include <string_view>

namespace Vsk::Utils {

CWString GetFieldValue(const CWString& text, const CWString& name) {
    const std::u16string_view all(text.c_str(), text.getLength());
    const std::u16string_view key(name.c_str(), name.getLength());
    const size_t at = all.find(key);
    if (at == std::u16string_view::npos) return CWString();
    size_t end = all.find(u"\r\n", at);
    if (end == std::u16string_view::npos) end = all.size();
    size_t start = at + key.size();
    if (all.substr(start, 2) == u": ") start += 2;
    if (end <= start) return CWString();
    std::u16string_view value = all.substr(start, end - start);
    constexpr std::u16string_view Blanks = u" \t\r\n\v\f";
    const size_t first = value.find_first_not_of(Blanks);
    if (first == std::u16string_view::npos) return CWString();
    value = value.substr(first, value.find_last_not_of(Blanks) - first + 1);
    return CWString(value.data(), value.size());
}

}  // namespace Vsk::Utils

namespace Vsk::InternalUtils {

using Utils::CAString;
using Utils::CP_PROGRAM;
using Utils::CWString;

namespace {

constexpr char GetSysInfoName[] = "Vsk::InternalUtils::GetSysInfo";

// The source locations the log names for each failing step; readers of old logs know them.
enum : int {
    LineGetNames = 56,
    LineGetValue = 67,
    LineInitialize = 85,
    LineCreateLocator = 99,
    LineConnect = 113,
    LineProxyBlanket = 124,
};

// "<function> systemInfo:<line> HRESULT=<hr> <text>" at level 1 and above.
void logFailure(const char* function, int line, HRESULT hr) {
    if (GetLogLevel() < 1) return;
    if (CLog* log = GetLog())
        log->writeHResult(CWString(Utils::StripNamespacePrefix(function), CP_PROGRAM) + u" systemInfo:" +
                              Utils::ToWString(line),
                          hr);
}

// One reference to a COM object, released at the end of the scope.
template <class T>
class CComRef {
public:
    CComRef() = default;
    ~CComRef() {
        if (m_p) m_p->Release();
    }
    CComRef(const CComRef&) = delete;
    CComRef& operator=(const CComRef&) = delete;

    T** put() { return &m_p; }
    T* operator->() const { return m_p; }
    T* get() const { return m_p; }

private:
    T* m_p = nullptr;
};

// A BSTR argument made from a library string.
class CBstr {
public:
    explicit CBstr(const CWString& text) : m_text(SysAllocStringLen(text.c_str(), text.getLength())) {
        if (!m_text) throw Utils::CError(E_OUTOFMEMORY);
    }
    ~CBstr() { SysFreeString(m_text); }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;

    operator BSTR() const { return m_text; }

private:
    BSTR m_text;
};

struct CVariant {
    VARIANT v;
    CVariant() { VariantInit(&v); }
    ~CVariant() { VariantClear(&v); }
    CVariant(const CVariant&) = delete;
    CVariant& operator=(const CVariant&) = delete;
};

// The names of GetNames, accessed for reading; unlocked and destroyed at the end of the scope.
class CNameArray {
public:
    CNameArray() = default;
    ~CNameArray() {
        if (m_items) SafeArrayUnaccessData(m_array);
        if (m_array) SafeArrayDestroy(m_array);
    }
    CNameArray(const CNameArray&) = delete;
    CNameArray& operator=(const CNameArray&) = delete;

    SAFEARRAY** put() { return &m_array; }
    HRESULT access() { return SafeArrayAccessData(m_array, reinterpret_cast<void**>(&m_items)); }
    ULONG count() const { return m_array->rgsabound[0].cElements; }
    BSTR at(ULONG i) const { return m_items[i]; }

private:
    SAFEARRAY* m_array = nullptr;
    BSTR* m_items = nullptr;
};

// The text of the lines, CR LF between them.
class CLines {
public:
    void add(const CWString& line) {
        if (m_any) m_text += u"\r\n";
        m_text += line;
        m_any = true;
    }
    const CWString& text() const { return m_text; }

private:
    CWString m_text;
    bool m_any = false;
};

bool isSystemProperty(BSTR name) {
    return SysStringLen(name) >= 2 && name[0] == u'_' && name[1] == u'_';
}

// COM on this thread for one call: multi-threaded, else apartment-threaded (a thread already in the
// apartment model continues in it); undone at the end of the scope when it was done.
class CComInit {
public:
    HRESULT init() {
        HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(hr)) hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        m_done = SUCCEEDED(hr);
        return hr;
    }
    ~CComInit() {
        if (m_done) CoUninitialize();
    }

private:
    bool m_done = false;
};

}  // namespace

CWString querySysInfoClass(IWbemServices* services, const CAString& className,
                           const char* const* propertyNames) {
    const CWString classText(className, CP_PROGRAM);
    CComRef<IEnumWbemClassObject> enumerator;
    const CBstr language(u"WQL");
    const CBstr query(u"SELECT * FROM " + classText);
    HRESULT hr = services->ExecQuery(language, query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                     nullptr, enumerator.put());
    if (FAILED(hr)) return classText + u" - " + Utils::GetHResultText(hr);

    const bool listed = propertyNames && propertyNames[0];
    CLines lines;
    for (;;) {
        CComRef<IWbemClassObject> object;
        ULONG returned = 0;
        hr = enumerator->Next(WBEM_INFINITE, 1, object.put(), &returned);
        if (FAILED(hr)) {
            // An enumerator that failed once is not asked again: one that keeps failing would never
            // let the call end.
            lines.add(classText + u" - " + Utils::GetHResultText(hr));
            break;
        }
        if (returned == 0 || !object.get()) break;

        if (listed) {
            for (const char* const* name = propertyNames; *name; ++name) {
                const CWString propertyName(*name, std::strlen(*name), CP_PROGRAM);
                CVariant value;
                hr = object->Get(propertyName.c_str(), 0, &value.v, nullptr, nullptr);
                if (FAILED(hr))
                    lines.add(classText + u"::" + propertyName + u" - " + Utils::GetHResultText(hr));
                else if (value.v.vt != VT_NULL)
                    lines.add(propertyName + u": " + Utils::VariantToWString(value.v));
            }
            continue;
        }

        CNameArray names;
        hr = object->GetNames(nullptr, WBEM_FLAG_ALWAYS, nullptr, names.put());
        if (SUCCEEDED(hr)) hr = names.access();
        if (FAILED(hr)) {
            logFailure(GetSysInfoName, LineGetNames, hr);
            throw Utils::CError(hr);
        }
        for (ULONG i = 0; i < names.count(); ++i) {
            const BSTR name = names.at(i);
            if (isSystemProperty(name)) continue;
            CVariant value;
            hr = object->Get(name, 0, &value.v, nullptr, nullptr);
            if (FAILED(hr)) {
                logFailure(GetSysInfoName, LineGetValue, hr);
                throw Utils::CError(hr);
            }
            if (value.v.vt != VT_NULL)
                lines.add(CWString(name, SysStringLen(name)) + u": " + Utils::VariantToWString(value.v));
        }
    }
    return lines.text();
}

CWString GetSysInfo(const char* const* request, const char* linePrefix) {
    CLogScope scope(GetSysInfoName, 4);
    try {
        if (!request || !request[0]) return CWString();
        CComInit com;
        HRESULT hr = com.init();
        if (FAILED(hr)) {
            logFailure(GetSysInfoName, LineInitialize, hr);
            return CWString();
        }
        CComRef<IWbemLocator> locator;
        hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                              reinterpret_cast<void**>(locator.put()));
        if (FAILED(hr)) {
            logFailure(GetSysInfoName, LineCreateLocator, hr);
            return CWString();
        }
        CComRef<IWbemServices> services;
        const CBstr space(u"ROOT\\CIMV2");
        hr = locator->ConnectServer(space, nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.put());
        if (FAILED(hr)) {
            logFailure(GetSysInfoName, LineConnect, hr);
            return CWString();
        }
        hr = CoSetProxyBlanket(services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                               RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
        if (FAILED(hr)) {
            logFailure(GetSysInfoName, LineProxyBlanket, hr);
            return CWString();
        }
        CWString text = querySysInfoClass(services.get(), CAString("Win32_") + request[0], request + 1);
        if (!linePrefix) return text;

        // The first prefix in the thread's ANSI code page, the others in the program's.
        const size_t prefixLength = std::strlen(linePrefix);
        const std::u16string inner = CWString(linePrefix, prefixLength, CP_PROGRAM).toU16();
        std::u16string prefixed = CWString(linePrefix, prefixLength, CP_ACP).toU16();
        const std::u16string_view all(text.c_str(), text.getLength());
        size_t from = 0;
        for (size_t at; (at = all.find(u"\r\n", from)) != std::u16string_view::npos; from = at + 2) {
            prefixed.append(all.substr(from, at + 2 - from));
            prefixed.append(inner);
        }
        prefixed.append(all.substr(from));
        return CWString(prefixed.data(), prefixed.size());
    } catch (...) {
        // Errors are logged where they are built; the caller gets no text.
        return CWString();
    }
}

}  // namespace Vsk::InternalUtils
