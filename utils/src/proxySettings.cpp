// Proxy settings: the three modes, the system proxy sources of the automatic mode, the record of the
// last proxy that worked, and the registry values of a key the caller names.
#include <vsk/utils/proxySettings.h>

#include <vsk/utils/global.h>
#include <vsk/utils/http.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>
#include <vsk/utils/registry.h>

namespace Vsk::InternalUtils {

using Utils::CAString;
using Utils::CDataBlob;
using Utils::CError;
using Utils::CWString;

namespace {

// Read and written under the common lock; starts as no proxy.
CProxyData g_lastSucceeded;

// A copy whose texts share no storage with the original.
CProxyData deepCopy(const CProxyData& data) {
    CProxyData copy = data;
    copy.m_host = data.m_host.clone();
    copy.m_bypass = data.m_bypass.clone();
    copy.m_autoConfigUrl = data.m_autoConfigUrl.clone();
    copy.m_login = data.m_login.clone();
    copy.m_password = data.m_password.clone();
    return copy;
}

bool isSchemeCharacter(WCHAR c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'+' ||
           c == u'-' || c == u'.';
}

}  // namespace

CProxyData GetLastSucceededProxy() {
    CCommonInfoLock guard;
    return deepCopy(g_lastSucceeded);
}

void SetLastSucceededProxy(const CProxyData& data) {
    CProxyData copy = deepCopy(data);
    CCommonInfoLock guard;
    g_lastSucceeded = copy;
}

CWString MaskUrlPassword(const CWString& text) {
    const WCHAR* s = text.c_str();
    const size_t length = text.getLength();
    // After "scheme://" when the text has one.
    size_t start = 0;
    while (start < length && isSchemeCharacter(s[start])) ++start;
    if (start + 2 < length && s[start] == u':' && s[start + 1] == u'/' && s[start + 2] == u'/')
        start += 3;
    else
        start = 0;
    // The user information ends at the last '@': a password may hold '/' or '@' unescaped, and
    // hiding too much in a log line is harmless.
    size_t at = length;
    for (size_t i = start; i < length; ++i)
        if (s[i] == u'@') at = i;
    if (at == length) return text;
    size_t colon = start;
    while (colon < at && s[colon] != u':') ++colon;
    if (colon + 1 >= at) return text;
    return CWString(s, colon + 1) + u"***" + CWString(s + at, length - at);
}

}  // namespace Vsk::InternalUtils

namespace Vsk::Utils {

using InternalUtils::CLogScope;
using InternalUtils::WinHttp;

namespace {

constexpr DWORD AllSchemes = 255;
// The labels of the values in a save error.
constexpr const char* TypeLabel = "тип";
constexpr const char* AddressLabel = "адрес";
constexpr const char* PortLabel = "порт";
constexpr const char* LoginLabel = "логин";
constexpr const char* PasswordLabel = "пароль";

CWString textOf(const WCHAR* text) {
    return text ? CWString(text) : CWString();
}

// The texts WinHTTP hands out are GlobalAlloc'ed.
void freeGlobal(LPWSTR text) {
    if (text) GlobalFree(text);
}

class CRegKeyHolder {
public:
    explicit CRegKeyHolder(HKEY key) : m_key(key) {}
    ~CRegKeyHolder() {
        if (m_key) RegCloseKey(m_key);
    }
    CRegKeyHolder(const CRegKeyHolder&) = delete;
    CRegKeyHolder& operator=(const CRegKeyHolder&) = delete;

private:
    HKEY m_key;
};

}  // namespace

// ---- CImpl ------------------------------------------------------------------------------------------

CProxySettings::CImpl::~CImpl() = default;

CWString CProxySettings::CImpl::proxyText() const {
    if (m_host.getLength() == 0) return CWString();
    CWString text;
    if (m_login.getLength() != 0) {
        text = m_login;
        if (m_password.getLength() != 0) text = text + u":***";
        text = text + u"@";
    }
    text = text + InternalUtils::MaskUrlPassword(m_host);
    if (m_port != 0) text = text + u":" + ToWString(static_cast<uint32_t>(m_port));
    return text;
}

void CProxySettings::CImpl::useNoProxy() {
    m_accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
    m_schemes = 0;
}

void CProxySettings::CImpl::setNoProxy() {
    CLogScope scope("Vsk::Utils::CProxySettings::CImpl::setNoProxy", 4);
    useNoProxy();
    m_mode = ModeNoProxy;
}

void CProxySettings::CImpl::setAutoProxy() {
    CLogScope scope("Vsk::Utils::CProxySettings::CImpl::setAutoProxy", 4);
    m_schemes = AllSchemes;
    m_mode = ModeAutomatic;
}

void CProxySettings::CImpl::setProxy(const CWString& text) {
    static constexpr char ScopeName[] = "Vsk::Utils::CProxySettings::CImpl::setProxy";
    CLogScope scope;
    if (InternalUtils::GetLogLevel() >= 4) scope.enter(ScopeName, InternalUtils::MaskUrlPassword(text));
    if (text.getLength() == 0) {
        setNoProxy();
        return;
    }
    m_host = text;
    m_accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    // A typed "host:port" is no URL (it has no scheme): the whole text stays the host.
    if (!InternalUtils::SplitUrl(text, &m_host, nullptr, &m_login, &m_password, &m_port, nullptr)) {
        m_host = text;
        push(CError(InternalUtils::MaskUrlPassword(text), LastErrorCode));
    }
    m_mode = ModeManual;
}

void CProxySettings::CImpl::setProxyHostPort(const WCHAR* text) {
    if (!text) {
        m_host = CWString();
        m_port = 0;
        return;
    }
    const CWString whole(text);
    const WCHAR* colon = text;
    while (*colon && *colon != u':') ++colon;
    if (!*colon) {
        m_host = whole;
        return;
    }
    m_host = CWString(text, static_cast<size_t>(colon - text));
    m_port = static_cast<WORD>(Vsk::InternalUtils::LeadingNumber(colon + 1));
}

bool CProxySettings::CImpl::setProxyLastSucceed() {
    CLogScope scope("Vsk::Utils::CProxySettings::CImpl::setProxyLastSucceed", 4);
    static_cast<InternalUtils::CProxyData&>(*this) = InternalUtils::GetLastSucceededProxy();
    return true;
}

bool CProxySettings::CImpl::setProxyDefault() {
    CLogScope scope("Vsk::Utils::CProxySettings::CImpl::setProxyDefault", 4);
    InternalUtils::bindWinHttp();
    WINHTTP_PROXY_INFO info{};
    if (!WinHttp().getDefaultProxyConfiguration(&info)) {
        pushErrorFileLine("http", 333, CWString());
        return false;
    }
    m_accessType = info.dwAccessType;
    setProxyHostPort(info.lpszProxy);
    m_bypass = textOf(info.lpszProxyBypass);
    if (scope.isEntered())
        scope.m_result = u"dwAccessType=" + ToWString(info.dwAccessType) + u", lpszProxy=" +
                         InternalUtils::MaskUrlPassword(textOf(info.lpszProxy)) + u", lpszProxyBypass=" +
                         textOf(info.lpszProxyBypass) + u" -> " + proxyText();
    freeGlobal(info.lpszProxy);
    freeGlobal(info.lpszProxyBypass);
    return true;
}

bool CProxySettings::CImpl::setProxyFromIE() {
    CLogScope scope("Vsk::Utils::CProxySettings::CImpl::setProxyFromIE", 4);
    InternalUtils::bindWinHttp();
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
    const bool read = WinHttp().getIEProxyConfigForCurrentUser(&config);
    if (read) {
        setProxyHostPort(config.lpszProxy);
        m_bypass = textOf(config.lpszProxyBypass);
        m_autoConfigUrl = textOf(config.lpszAutoConfigUrl);
        m_accessType =
            m_host.getLength() != 0 ? WINHTTP_ACCESS_TYPE_NAMED_PROXY : WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
        if (scope.isEntered())
            scope.m_result = u"fAutoDetect=" + ToWString(static_cast<int>(config.fAutoDetect)) +
                             u", lpszAutoConfigUrl=" + InternalUtils::MaskUrlPassword(m_autoConfigUrl) +
                             u", lpszProxy=" + InternalUtils::MaskUrlPassword(textOf(config.lpszProxy)) +
                             u", lpszProxyBypass=" + m_bypass + u" -> " + proxyText();
    } else {
        pushErrorFileLine("http", 354, CWString());
    }
    freeGlobal(config.lpszAutoConfigUrl);
    freeGlobal(config.lpszProxy);
    freeGlobal(config.lpszProxyBypass);
    return read;
}

bool CProxySettings::CImpl::setProxyByUrl(const CWString& url) {
    static constexpr char ScopeName[] = "Vsk::Utils::CProxySettings::CImpl::setProxyByUrl";
    CLogScope scope;
    if (InternalUtils::GetLogLevel() >= 4) scope.enter(ScopeName, InternalUtils::MaskUrlPassword(url));
    InternalUtils::bindWinHttp();
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    options.fAutoLogonIfChallenged = TRUE;
    if (m_autoConfigUrl.getLength() != 0) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.dwAutoDetectFlags = 0;
        options.lpszAutoConfigUrl = m_autoConfigUrl.c_str();
        InternalUtils::LogAt(4, u"Utils::CProxySettings::CImpl::setProxyByUrl " +
                                    InternalUtils::MaskUrlPassword(m_autoConfigUrl));
    }
    WINHTTP_PROXY_INFO info{};
    bool found = false;
    if (HINTERNET session = WinHttp().open(u"", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                           WINHTTP_NO_PROXY_BYPASS, 0)) {
        found = WinHttp().getProxyForUrl(session, url.c_str(), &options, &info);
        const DWORD error = GetLastError();
        WinHttp().closeHandle(session);
        SetLastError(error);
    }
    if (!found) {
        push(CError(u"Ошибка получения прокси по URL " + InternalUtils::MaskUrlPassword(url), LastErrorCode));
        return false;
    }
    m_accessType = info.dwAccessType;
    setProxyHostPort(info.lpszProxy);
    m_bypass = textOf(info.lpszProxyBypass);
    if (scope.isEntered())
        scope.m_result = u"dwAccessType=" + ToWString(info.dwAccessType) + u", lpszProxy=" +
                         InternalUtils::MaskUrlPassword(textOf(info.lpszProxy)) + u", lpszProxyBypass=" +
                         m_bypass + u" -> " + proxyText();
    freeGlobal(info.lpszProxy);
    freeGlobal(info.lpszProxyBypass);
    return true;
}

// ---- CProxySettings ---------------------------------------------------------------------------------

CProxySettings::CProxySettings(bool create) {
    if (create) m_pImpl = CRefPtr<CImpl>::tryCreate();
}

void CProxySettings::Load(const WCHAR* key, HKEY root) {
    CImpl& p = *getImpl();
    CLogScope scope("Vsk::Utils::CProxySettings::Load", 3, CWString(key));
    p.m_mode = ModeAutomatic;
    p.m_accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
    p.m_schemes = AllSchemes;
    p.m_port = 0;
    p.m_host = CWString();
    p.m_bypass = CWString();
    p.m_login = CWString();
    p.m_password = CWString();

    const CDataBlob type = InternalUtils::regReadValue(key, u"type", root);
    if (type.getSize() != 0) {
        bool ok = false;
        const uint32_t mode = type.toUInt32(&ok);
        if (!ok) throw CError(CAString("Некорректный тип прокси в реестре: ") + type.toHex(" "), NoErrorCode);
        if (mode != ModeNoProxy && mode != ModeAutomatic && mode != ModeManual)
            throw CError(CAString("Некорректный тип прокси в реестре: ") + UInt64ToAString(mode),
                         NoErrorCode);
        p.m_mode = mode;
        if (mode == ModeManual) p.m_accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    }
    const CDataBlob address = InternalUtils::regReadValue(key, u"address", root);
    if (address.getSize() != 0) p.m_host = CWString(address, true);
    const CDataBlob port = InternalUtils::regReadValue(key, u"port", root);
    if (port.getSize() != 0) {
        bool ok = false;
        const uint32_t value = port.toUInt32(&ok);
        if (!ok || value > 0xFFFF)
            throw CError(CAString("Некорректный порт прокси в реестре: ") + port.toHex(" "), NoErrorCode);
        p.m_port = static_cast<WORD>(value);
    }
    const CDataBlob login = InternalUtils::regReadValue(key, u"login", root);
    if (login.getSize() != 0) p.m_login = CWString(login, true);
    CDataBlob password = InternalUtils::regReadValue(key, u"password", root);
    if (password.getSize() != 0) {
        p.m_password = CWString(password, true);
        password.zeroFill();
    }
}

void CProxySettings::Save(const WCHAR* key, HKEY root) {
    CImpl& p = *getImpl();
    CLogScope scope("Vsk::Utils::CProxySettings::Save", 3, CWString(key));
    CProxySettings stored;
    stored.Load(key, root);
    const CImpl& s = *stored.getImpl();
    const bool mode = p.m_mode != s.m_mode, host = p.m_host != s.m_host, port = p.m_port != s.m_port,
               login = p.m_login != s.m_login, password = p.m_password != s.m_password;
    if (!mode && !host && !port && !login && !password) return;

    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key, 0, KEY_READ | KEY_WRITE, &opened) != ERROR_SUCCESS) {
        const LSTATUS rc = RegCreateKeyExW(root, key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_READ | KEY_WRITE, nullptr, &opened, nullptr);
        if (rc != ERROR_SUCCESS)
            throw CError(u"CRegKey::Create " + CWString(key), HRESULT_FROM_WIN32(static_cast<DWORD>(rc)));
    }
    CRegKeyHolder holder(opened);
    auto write = [&](const char* label, const WCHAR* name, DWORD type, const void* data, size_t size) {
        const LSTATUS rc =
            RegSetValueExW(opened, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
        if (rc != ERROR_SUCCESS)
            throw CError(CAString("Ошибка сохранения в реестре настройки прокси (") + label + ")",
                         HRESULT_FROM_WIN32(static_cast<DWORD>(rc)));
    };
    auto writeText = [&](const char* label, const WCHAR* name, const CWString& text) {
        write(label, name, REG_SZ, text.c_str(), (text.getLength() + 1) * sizeof(WCHAR));
    };
    if (mode) write(TypeLabel, u"type", REG_DWORD, &p.m_mode, sizeof(DWORD));
    if (host) writeText(AddressLabel, u"address", p.m_host);
    if (port) {
        const DWORD value = p.m_port;
        write(PortLabel, u"port", REG_DWORD, &value, sizeof(value));
    }
    if (login) writeText(LoginLabel, u"login", p.m_login);
    if (password)
        write(PasswordLabel, u"password", REG_BINARY, p.m_password.c_str(),
              p.m_password.getLength() * sizeof(WCHAR));
}

void CProxySettings::put_Address(const CWString& text) {
    getImpl()->setProxy(text);
}

CWString CProxySettings::get_Address() const {
    return getImpl()->m_host;
}

void CProxySettings::put_Login(const CWString& login) {
    getImpl()->m_login = login;
}

CWString CProxySettings::get_Login() const {
    return getImpl()->m_login;
}

void CProxySettings::put_Password(const CWString& password) {
    getImpl()->m_password = password;
}

CWString CProxySettings::get_Password() const {
    return getImpl()->m_password;
}

CWString CProxySettings::get_ProxyText() const {
    return getImpl()->proxyText();
}

DWORD CProxySettings::get_Mode() const {
    return getImpl()->m_mode;
}

CProxySettings CProxySettings::clone() const {
    const CImpl& source = *getImpl();
    CProxySettings copy;
    CImpl& target = *copy.getImpl();
    static_cast<InternalUtils::CProxyData&>(target) = source;
    target.m_mode = source.m_mode;
    return copy;
}

}  // namespace Vsk::Utils
