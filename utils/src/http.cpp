// The HTTP client over WinHTTP bound at run time: the URL split, the three handles of a request and
// their reuse, one attempt with its authentication rounds, the proxy fall-back, the Last-Modified
// time and the body download.
//
// Every failure but those of the body download goes into the client's error list. Texts that show a
// URL or a proxy carry its password as "***" (MaskUrlPassword): the error texts are logged as they
// are built and shown to the user.
#include <vsk/utils/http.h>

#include <vsk/platform/cert.h>
#include <vsk/utils/base64.h>
#include <vsk/utils/file.h>
#include <vsk/utils/global.h>
#include <vsk/utils/lib.h>
#include <vsk/utils/log.h>
#include <vsk/utils/logScope.h>

#include <atomic>
#include <cstring>

// The server certificate's context is freed by the certificate area, which every program that
// downloads CRLs links; the foundation does not depend on it. Without it the stand-in gives no
// context either.
[[gnu::weak]] BOOL CertFreeCertificateContext(PCCERT_CONTEXT context);

namespace Vsk::InternalUtils {

using Utils::CAString;
using Utils::CDataBlob;
using Utils::CError;
using Utils::CProxySettings;
using Utils::CRefPtr;
using Utils::CWString;
using Utils::IProgress;
using Utils::LastErrorCode;
using Utils::ToWString;

namespace {

CWinHttpFunctions g_winHttp;
std::atomic<LoginDialogFunction> g_loginDialog{nullptr};
std::atomic<WaitCursorFunction> g_waitCursor{nullptr};
std::atomic<DownloadWithProgressFunction> g_downloadProgress{nullptr};

const WCHAR* const Verbs[] = {u"OPTIONS", u"GET", u"HEAD", u"POST", u"PUT", u"DELETE", u"TRACE"};

// The parts WinHttpCrackUrl gives, each into a buffer of this many characters with its NUL.
constexpr DWORD UrlPartChars = 256;

// The schemes in the order they are preferred, with their names for a refusal.
struct SchemeName {
    DWORD scheme;
    const WCHAR* name;
};
constexpr SchemeName SchemePreference[] = {
    {WINHTTP_AUTH_SCHEME_NEGOTIATE, u" NEGOTIATE"}, {WINHTTP_AUTH_SCHEME_NTLM, u" NTLM"},
    {WINHTTP_AUTH_SCHEME_PASSPORT, u" PASSPORT"},   {WINHTTP_AUTH_SCHEME_DIGEST, u" DIGEST"},
    {WINHTTP_AUTH_SCHEME_BASIC, u" BASIC"},
};
// Every scheme bit, the value the proxy data allows by default.
constexpr DWORD AllSchemes = 255;

struct StatusText {
    unsigned status;
    const char* text;
};
constexpr StatusText StatusTexts[] = {
    {100, "The request can be continued."},
    {101, "The server has switched protocols in an upgrade header."},
    {200, "The request completed successfully."},
    {201, "The request has been fulfilled and resulted in the creation of a new resource."},
    {202, "The request has been accepted for processing, but the processing has not been completed."},
    {203,
     "The returned meta information in the entity-header is not the definitive set available from the "
     "originating server."},
    {204, "The server has fulfilled the request, but there is no new information to send back."},
    {205,
     "The request has been completed, and the client program should reset the document view that caused the "
     "request to be sent to allow the user to easily initiate another input action."},
    {206, "The server has fulfilled the partial GET request for the resource."},
    {207,
     "During a World Wide Web Distributed Authoring and Versioning (WebDAV) operation, this indicates "
     "multiple status codes for a single response. The response body contains Extensible Markup Language "
     "(XML) that describes the status codes. For more information, see HTTP Extensions for Distributed "
     "Authoring."},
    {300, "The requested resource is available at one or more locations."},
    {301,
     "The requested resource has been assigned to a new permanent Uniform Resource Identifier (URI), and any "
     "future references to this resource should be done using one of the returned URIs."},
    {302, "The requested resource resides temporarily under a different URI."},
    {303,
     "The response to the request can be found under a different URI and should be retrieved using a GET "
     "HTTP verb on that resource."},
    {304, "The requested resource has not been modified."},
    {305, "The requested resource must be accessed through the proxy given by the location field."},
    {307, "The redirected request keeps the same HTTP verb. HTTP/1.1 behavior."},
    {400, "The request could not be processed by the server due to invalid syntax."},
    {401, "The requested resource requires user authentication."},
    {402, "Not implemented in the HTTP protocol."},
    {403, "The server understood the request, but cannot fulfill it."},
    {404, "The server has not found anything that matches the requested URI."},
    {405, "The HTTP verb used is not allowed."},
    {406, "No responses acceptable to the client were found."},
    {407, "Proxy authentication required."},
    {408, "The server timed out waiting for the request."},
    {409,
     "The request could not be completed due to a conflict with the current state of the resource. The user "
     "should resubmit with more information."},
    {410, "The requested resource is no longer available at the server, and no forwarding address is known."},
    {411, "The server cannot accept the request without a defined content length."},
    {412,
     "The precondition given in one or more of the request header fields evaluated to false when it was "
     "tested on the server."},
    {413,
     "The server cannot process the request because the request entity is larger than the server is able to "
     "process."},
    {414,
     "The server cannot service the request because the request URI is longer than the server can "
     "interpret."},
    {415,
     "The server cannot service the request because the entity of the request is in a format not supported "
     "by the requested resource for the requested method."},
    {449, "The request should be retried after doing the appropriate action."},
    {500, "The server encountered an unexpected condition that prevented it from fulfilling the request."},
    {501, "The server does not support the functionality required to fulfill the request."},
    {502,
     "The server, while acting as a gateway or proxy, received an invalid response from the upstream server "
     "it accessed in attempting to fulfill the request."},
    {503, "The service is temporarily overloaded."},
    {504, "The request was timed out waiting for a gateway."},
    {505, "The server does not support the HTTP protocol version that was used in the request message."},
};

// A line of the developer log: the function's name without "Vsk::", a blank and the message.
void logLine(int level, const char* function, const CWString& message) {
    if (GetLogLevel() < level) return;
    Utils::CLastErrorGuard keep;
    LogAt(level, CWString(Utils::StripNamespacePrefix(function), Utils::CP_PROGRAM) + u" " + message);
}

bool isWhite(WCHAR c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f';
}

CWString trimmed(const CWString& text) {
    const WCHAR* s = text.c_str();
    size_t begin = 0, end = text.getLength();
    while (begin < end && isWhite(s[begin])) ++begin;
    while (end > begin && isWhite(s[end - 1])) --end;
    return CWString(s + begin, end - begin);
}

// The wait cursor while a request is sent, through the window part when the program has one.
class CWaitCursor {
public:
    CWaitCursor() : m_cursor(g_waitCursor.load()) {
        if (m_cursor) m_cursor(true);
    }
    ~CWaitCursor() {
        if (m_cursor) m_cursor(false);
    }
    CWaitCursor(const CWaitCursor&) = delete;
    CWaitCursor& operator=(const CWaitCursor&) = delete;

private:
    WaitCursorFunction m_cursor;
};

template <class F>
void bindOne(CLib& holder, F& slot, const char* name) {
    if (!slot) slot = reinterpret_cast<F>(holder.getProcAddress(name));
}

}  // namespace

// A signed decimal number at the start of `text` (leading blanks and a sign allowed; the first other
// character ends it), as wcstol reads it.
int64_t LeadingNumber(const WCHAR* text) {
    if (!text) return 0;
    while (isWhite(*text)) ++text;
    bool negative = false;
    if (*text == u'+' || *text == u'-') negative = *text++ == u'-';
    int64_t value = 0;
    for (; *text >= u'0' && *text <= u'9'; ++text) {
        value = value * 10 + (*text - u'0');
        // Beyond any length a header or a port can mean; wcstol would clamp.
        if (value > INT32_MAX) value = INT32_MAX;
    }
    return negative ? -value : value;
}

// ---- Binding ----------------------------------------------------------------------------------------

void bindWinHttp() {
    // Loading the module probes with calls that leave a last error behind; a binding that works
    // leaves the caller's.
    const DWORD callersError = GetLastError();
    CCommonInfoLock guard;
    // Lives until process exit, so the bound pointers stay valid.
    static CLib holder(u"Winhttp.dll");
    CWinHttpFunctions& f = g_winHttp;
    bindOne(holder, f.crackUrl, "WinHttpCrackUrl");
    bindOne(holder, f.getDefaultProxyConfiguration, "WinHttpGetDefaultProxyConfiguration");
    bindOne(holder, f.getIEProxyConfigForCurrentUser, "WinHttpGetIEProxyConfigForCurrentUser");
    bindOne(holder, f.open, "WinHttpOpen");
    bindOne(holder, f.getProxyForUrl, "WinHttpGetProxyForUrl");
    bindOne(holder, f.closeHandle, "WinHttpCloseHandle");
    bindOne(holder, f.queryAuthSchemes, "WinHttpQueryAuthSchemes");
    bindOne(holder, f.openRequest, "WinHttpOpenRequest");
    bindOne(holder, f.connect, "WinHttpConnect");
    bindOne(holder, f.queryDataAvailable, "WinHttpQueryDataAvailable");
    bindOne(holder, f.readData, "WinHttpReadData");
    bindOne(holder, f.queryHeaders, "WinHttpQueryHeaders");
    bindOne(holder, f.receiveResponse, "WinHttpReceiveResponse");
    bindOne(holder, f.sendRequest, "WinHttpSendRequest");
    bindOne(holder, f.setCredentials, "WinHttpSetCredentials");
    bindOne(holder, f.queryOption, "WinHttpQueryOption");
    bindOne(holder, f.setOption, "WinHttpSetOption");
    SetLastError(callersError);
}

const CWinHttpFunctions& WinHttp() {
    return g_winHttp;
}

void SetHttpLoginDialog(LoginDialogFunction function) {
    g_loginDialog.store(function);
}

void SetHttpWaitCursor(WaitCursorFunction function) {
    g_waitCursor.store(function);
}

LoginDialogFunction GetHttpLoginDialog() {
    return g_loginDialog.load();
}

void SetHttpDownloadProgress(DownloadWithProgressFunction function) {
    g_downloadProgress.store(function);
}

CDataBlob DownloadWithProgress(CHttp& http, HWND parent) {
    if (DownloadWithProgressFunction function = g_downloadProgress.load()) return function(http, parent);
    return http.Download(nullptr);
}

// ---- Texts and URLs -------------------------------------------------------------------------------

const char* GetHttpStatusText(unsigned status) {
    for (const StatusText& entry : StatusTexts)
        if (entry.status == status) return entry.text;
    return "";
}

bool SplitUrl(const CWString& url, CWString* host, CWString* path, CWString* user, CWString* password,
              WORD* port, int* scheme) {
    if (url.getLength() == 0) return false;
    bindWinHttp();
    WCHAR hostPart[UrlPartChars] = {}, userPart[UrlPartChars] = {}, passwordPart[UrlPartChars] = {},
          pathPart[UrlPartChars] = {};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = hostPart;
    parts.dwHostNameLength = UrlPartChars;
    parts.lpszUserName = userPart;
    parts.dwUserNameLength = UrlPartChars;
    parts.lpszPassword = passwordPart;
    parts.dwPasswordLength = UrlPartChars;
    parts.lpszUrlPath = pathPart;
    parts.dwUrlPathLength = UrlPartChars;
    const bool split = g_winHttp.crackUrl(url.c_str(), url.getLength(), 0, &parts);
    if (split) {
        if (host) *host = CWString(hostPart, static_cast<size_t>(parts.dwHostNameLength));
        if (path) *path = CWString(pathPart, static_cast<size_t>(parts.dwUrlPathLength));
        if (user && parts.dwUserNameLength != 0)
            *user = CWString(userPart, static_cast<size_t>(parts.dwUserNameLength));
        if (password && parts.dwPasswordLength != 0)
            *password = CWString(passwordPart, static_cast<size_t>(parts.dwPasswordLength));
        if (port) *port = parts.nPort;
        if (scheme) {
            *scheme = parts.nScheme;
            if (url.startsWith(CWString(u"http:")))
                *scheme = INTERNET_SCHEME_HTTP;
            else if (url.startsWith(CWString(u"https:")))
                *scheme = INTERNET_SCHEME_HTTPS;
        }
    }
    // The password leaves no copy on the stack.
    std::memset(passwordPart, 0, sizeof(passwordPart));
    return split;
}

// ---- CHttpRequest -----------------------------------------------------------------------------------

CHttpRequest::CHttpRequest() {
    bindWinHttp();
}

CHttpRequest::~CHttpRequest() {
    Close();
}

void CHttpRequest::closeHandle(HINTERNET& handle, int line) {
    if (!handle) return;
    if (!g_winHttp.closeHandle(handle) && m_owner) m_owner->pushErrorFileLine("http", line, CWString());
    handle = nullptr;
}

void CHttpRequest::closeRequest() {
    closeHandle(m_request, 759);
}

void CHttpRequest::Close() {
    closeHandle(m_request, 759);
    closeHandle(m_connection, 745);
    closeHandle(m_session, 750);
}

bool CHttpRequest::Open() {
    CLogScope scope("Vsk::InternalUtils::CHttpRequest::Open", 4);
    if (!m_owner) Utils::raiseNotCreated(typeid(CHttp));
    CHttp& owner = *m_owner;
    const CProxySettings::CImpl& proxy = *owner.m_proxy.getImpl();
    if (!m_session) {
        CWString proxyText = proxy.m_host;
        if (proxyText.getLength() != 0 && proxy.m_port != 0)
            proxyText = proxyText + u":" + ToWString(static_cast<uint32_t>(proxy.m_port));
        m_session =
            g_winHttp.open(m_agent.c_str(), proxy.m_accessType,
                           proxyText.getLength() ? proxyText.c_str() : WINHTTP_NO_PROXY_NAME,
                           proxy.m_bypass.getLength() ? proxy.m_bypass.c_str() : WINHTTP_NO_PROXY_BYPASS, 0);
        if (!m_session) {
            owner.pushErrorFileLine("http", 690, CWString());
            return false;
        }
    }
    if (!m_connection) {
        m_connection = g_winHttp.connect(m_session, owner.m_host.c_str(), owner.m_port, 0);
        if (!m_connection) {
            owner.pushErrorFileLine("http", 701, CWString());
            return false;
        }
    }
    if (!m_request) {
        if (m_verb < 0 || m_verb >= static_cast<int>(std::size(Verbs))) {
            owner.push(CError("Unknown http method", LastErrorCode));
            return false;
        }
        const DWORD flags =
            WINHTTP_FLAG_REFRESH | (owner.m_scheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
        m_request = g_winHttp.openRequest(m_connection, Verbs[m_verb], owner.m_path.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
        if (!m_request) {
            owner.pushErrorFileLine("http", 735, CWString());
            return false;
        }
    }
    return m_request != nullptr;
}

bool CHttpRequest::SetNextProxy() {
    CLogScope scope("Vsk::InternalUtils::CHttpRequest::SetNextProxy", 4);
    if (!m_owner) Utils::raiseNotCreated(typeid(CHttp));
    CProxySettings::CImpl& proxy = *m_owner->m_proxy.getImpl();
    bool next = false;
    switch (proxy.m_mode) {
        case CProxySettings::ModeNoProxy:
        case CProxySettings::ModeManual: {
            const DWORD bit = proxy.m_mode == CProxySettings::ModeNoProxy ? ProxyTriedNone : ProxyTriedManual;
            next = !(m_triedSources & bit);
            m_triedSources |= bit;
            break;
        }
        case CProxySettings::ModeAutomatic: {
            // The first source not tried yet that produces a configuration; one that fails is asked
            // again next time.
            DWORD produced = 0;
            if (!(m_triedSources & ProxyTriedBrowser) && proxy.setProxyFromIE())
                produced = ProxyTriedBrowser;
            else if (!(m_triedSources & ProxyTriedForUrl) && proxy.setProxyByUrl(m_owner->m_url))
                produced = ProxyTriedForUrl;
            else if (!(m_triedSources & ProxyTriedLastSucceeded) && proxy.setProxyLastSucceed())
                produced = ProxyTriedLastSucceeded;
            else if (!(m_triedSources & ProxyTriedDefault) && proxy.setProxyDefault())
                produced = ProxyTriedDefault;
            if (produced == 0) {
                if (m_triedSources & ProxyTriedNone) break;
                // The last step goes without a proxy for this attempt only: the settings stay
                // automatic, so that the next request (and a later save) sees the user's choice.
                proxy.useNoProxy();
                produced = ProxyTriedNone;
            } else if (produced != ProxyTriedLastSucceeded) {
                // A system source's proxy may be answered as the automatic mode allows, also after an
                // earlier no-proxy step left the schemes at 0.
                proxy.m_schemes = AllSchemes;
            }
            m_triedSources |= produced;
            if (proxy.m_host.getLength() == 0) m_triedSources |= ProxyTriedNone;
            next = true;
            break;
        }
        default:
            break;
    }
    if (scope.isEntered()) scope.setResult(next);
    return next;
}

// ---- CHttp ------------------------------------------------------------------------------------------

CHttp::CHttp(const CProxySettings* proxy) : m_proxy(proxy ? *proxy : CProxySettings(true)) {
    m_request = CRefPtr<CHttpRequest>::create();
    bindWinHttp();
}

CHttp::~CHttp() {
    // The request's handles go first, while the error list can still take a failed close.
    if (m_request) {
        m_request->Close();
        m_request->m_owner = nullptr;
    }
    m_request.release();
}

void CHttp::pushLastError(const CWString& text) {
    const DWORD code = GetLastError();
    push(CError(text, code == 0 ? Utils::NoErrorCode : code));
    SetLastError(code);
}

CWString CHttp::getErrorContext() const {
    if (!m_showUrl) return CWString();
    CWString text = u"URL: " + MaskUrlPassword(m_url);
    const CWString proxy = m_proxy.get_ProxyText();
    if (proxy.getLength() != 0) text = text + u"\nProxy server: " + proxy;
    return text;
}

bool CHttp::put_Url(const CWString& url) {
    static constexpr char ScopeName[] = "Vsk::InternalUtils::CHttp::put_Url";
    CLogScope scope;
    if (GetLogLevel() >= 4) scope.enter(ScopeName, MaskUrlPassword(url));
    if (url.getLength() == 0) {
        push(CError("URL пуст.", LastErrorCode));
        return false;
    }
    m_url = trimmed(url);
    CWString host, path, user, password;
    WORD port = 0;
    int scheme = 0;
    const bool split = SplitUrl(m_url, &host, &path, &user, &password, &port, &scheme);
    m_request.checkCreated();
    CHttpRequest& request = *m_request;
    if (split) {
        const bool hostChanged = host != m_host || port != m_port;
        if (request.m_connection && hostChanged) {
            g_winHttp.closeHandle(request.m_connection);
            request.m_connection = nullptr;
        }
        if (hostChanged || path != m_path || scheme != m_scheme) request.closeRequest();
    } else {
        push(CError(u"Неверный URL \"" + MaskUrlPassword(url) + u"\".", LastErrorCode));
    }
    m_host = host;
    m_path = path;
    m_user = user;
    m_password = password;
    m_port = port;
    m_scheme = scheme;
    if (scope.isEntered()) scope.setResult(split);
    return split;
}

int CHttp::SendRequest(const CDataBlob& body, int verb, const CWString& agent, const CWString& headers,
                       HWND parent) {
    static constexpr char ScopeName[] = "Vsk::InternalUtils::CHttp::SendRequest";
    CLogScope scope;
    if (GetLogLevel() >= 4) scope.enter(ScopeName, u"requestData=" + Utils::ToBase64Text(body));
    auto result = [&](int status) {
        if (scope.isEntered()) scope.m_result = ToWString(status);
        return status;
    };
    if (m_url.getLength() == 0) {
        push(CError("Не был задан URL(Uniform Resource Locator).", LastErrorCode));
        return result(0);
    }
    if (m_host.getLength() == 0) return result(0);
    CWaitCursor cursor;
    m_request.checkCreated();
    CHttpRequest& request = *m_request;
    if (agent != request.m_agent)
        request.Close();
    else
        request.closeRequest();
    request.m_owner = this;
    request.m_verb = verb;
    request.m_agent = agent;

    int status = 0;
    if (request.m_session) {
        // The session of an earlier request goes on with the proxy it used.
        status = request.Open() ? sendRequest(body, headers, parent) : 0;
        if (status == 200) return result(200);
        if (status == 0 && GetLastError() == SEC_E_ILLEGAL_MESSAGE) return result(0);
    } else {
        request.m_triedSources = 0;
    }
    do {
        if (!request.SetNextProxy()) return result(0);
        request.Close();
        status = request.Open() ? sendRequest(body, headers, parent) : 0;
        // A handshake that fails fails the same way through every proxy.
        if (status == 0 && GetLastError() == SEC_E_ILLEGAL_MESSAGE) return result(0);
    } while (status != 200);
    return result(status);
}

namespace {

// The server's certificate, for the log only (level 4): its names and its encoding.
void logServerCertificate(HINTERNET request, const char* function) {
    if (GetLogLevel() < 4) return;
    Utils::CLastErrorGuard keep;
    WINHTTP_CERTIFICATE_INFO info{};
    DWORD size = sizeof(info);
    if (g_winHttp.queryOption(request, WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT, &info, &size)) {
        logLine(4, function,
                u"Сертификат сервера: Subject =\r\n" + CWString(info.lpszSubjectInfo) + u"\r\nIssuer =\r\n" +
                    CWString(info.lpszIssuerInfo));
        if (info.lpszSubjectInfo) LocalFree(info.lpszSubjectInfo);
        if (info.lpszIssuerInfo) LocalFree(info.lpszIssuerInfo);
    } else {
        logLine(1, function, u"get SECURITY_CERTIFICATE " + Utils::GetSystemErrorText(GetLastError()));
    }
    PCCERT_CONTEXT context = nullptr;
    size = sizeof(context);
    if (g_winHttp.queryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &context, &size) && context) {
        const CDataBlob encoded(context->pbCertEncoded, context->cbCertEncoded, false);
        logLine(4, function, u"Тело cертификата сервера:\r\n" + Utils::ToBase64Text(encoded));
        if (CertFreeCertificateContext) CertFreeCertificateContext(context);
    } else {
        logLine(1, function, u"get SERVER_CERT_CONTEXT " + Utils::GetSystemErrorText(GetLastError()));
    }
}

}  // namespace

int CHttp::sendRequest(const CDataBlob& body, const CWString& headers, HWND parent) {
    static constexpr char ScopeName[] = "Vsk::InternalUtils::CHttp::sendRequest";
    CProxySettings::CImpl& proxy = *m_proxy.getImpl();
    CLogScope scope;
    if (GetLogLevel() >= 4) scope.enter(ScopeName, proxy.proxyText());
    const HINTERNET request = m_request->m_request;
    // The errors of this attempt carry what its own calls left, not what came before it.
    SetLastError(0);
    // Both keep the scheme of the last round across the rounds of this attempt.
    DWORD proxyScheme = proxy.m_schemes;
    DWORD serverScheme = m_allowedServerSchemes;
    for (;;) {
        if (proxyScheme != 0 && proxy.m_login.getLength() != 0) {
            if (proxyScheme == AllSchemes) proxyScheme = WINHTTP_AUTH_SCHEME_NEGOTIATE;
            const CWString who = proxy.m_login + u"@" + MaskUrlPassword(proxy.m_host);
            if (!g_winHttp.setCredentials(request, WINHTTP_AUTH_TARGET_PROXY, proxyScheme,
                                          proxy.m_login.c_str(), proxy.m_password.c_str(), nullptr)) {
                pushLastError(u"Ошибка установки авторизации прокси " + who);
                return 0;
            }
            logLine(4, ScopeName, u"Установка AUTH_TARGET_PROXY " + who + u" - ok");
        }
        if (serverScheme != 0 && m_user.getLength() != 0) {
            if (serverScheme == AllSchemes) serverScheme = WINHTTP_AUTH_SCHEME_NEGOTIATE;
            const CWString who = m_user + u"@" + m_host;
            if (!g_winHttp.setCredentials(request, WINHTTP_AUTH_TARGET_SERVER, serverScheme, m_user.c_str(),
                                          m_password.c_str(), nullptr)) {
                pushLastError(u"Ошибка установки авторизации сервера " + who);
                return 0;
            }
            logLine(4, ScopeName, u"Установка AUTH_TARGET_SERVER " + who + u" - ok");
        }
        // The server certificate is verified: no security flags switch that off.
        const DWORD bodySize = body.getSize();
        if (!g_winHttp.sendRequest(request,
                                   headers.getLength() ? headers.c_str() : WINHTTP_NO_ADDITIONAL_HEADERS,
                                   headers.getLength(), bodySize ? body.getData() : WINHTTP_NO_REQUEST_DATA,
                                   bodySize, bodySize, 0)) {
            logLine(4, ScopeName, CWString(u"Посылка запроса - failed"));
            pushLastError(getErrorContext());
            return 0;
        }
        logLine(4, ScopeName, CWString(u"Посылка запроса - ok"));
        if (m_scheme == INTERNET_SCHEME_HTTPS) logServerCertificate(request, ScopeName);
        if (!g_winHttp.receiveResponse(request, nullptr)) {
            logLine(4, ScopeName, CWString(u"Получение ответа - failed"));
            if (GetLastError() != ERROR_WINHTTP_RESEND_REQUEST)
                pushLastError(CWString(u"Ошибка получения ответа"));
            return 0;
        }
        logLine(4, ScopeName, CWString(u"Получение ответа - ok"));
        DWORD status = 0;
        DWORD size = sizeof(status);
        if (!g_winHttp.queryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                    WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
            pushLastError(CWString(u"Ошибка получения http-статус кода"));
            return 0;
        }
        WriteLog(GetLog(), CWString(Utils::StripNamespacePrefix(ScopeName), Utils::CP_PROGRAM) +
                               u" HTTP Status Code = " + ToWString(status) + u" " +
                               CWString(GetHttpStatusText(status), std::strlen(GetHttpStatusText(status)),
                                        Utils::CP_PROGRAM));
        if (scope.isEntered()) scope.m_result = ToWString(status);
        if (status == 200) {
            SetLastSucceededProxy(proxy);
            return 200;
        }
        if (status == 407) {
            if (!challenge(true, proxy.m_schemes, proxyScheme, proxy.m_login, proxy.m_password, parent))
                return static_cast<int>(status);
            SetLastSucceededProxy(proxy);
            continue;
        }
        if (status == 401) {
            if (!challenge(false, m_allowedServerSchemes, serverScheme, m_user, m_password, parent))
                return static_cast<int>(status);
            continue;
        }
        push(CError(
            CAString("HTTP Status Code = ") + Utils::ToAString(status) + ". " + GetHttpStatusText(status),
            LastErrorCode));
        return static_cast<int>(status);
    }
}

DWORD CHttp::chooseAuthScheme(DWORD allowed, DWORD current, CWString& refusal) {
    refusal = CWString();
    if (allowed == 0) {
        refusal = CWString(u"Анонимная авторизация не поддерживается.");
        return 0;
    }
    DWORD supported = 0, first = 0, target = 0;
    if (!g_winHttp.queryAuthSchemes(m_request->m_request, &supported, &first, &target)) return current;
    for (const SchemeName& entry : SchemePreference)
        if (allowed & supported & entry.scheme) return entry.scheme;
    for (const SchemeName& entry : SchemePreference)
        if (allowed & entry.scheme) refusal = refusal + entry.name + u" авторизация не поддерживается.";
    if (refusal.getLength() == 0)
        refusal = u"Заданы неизвестные типы авторизации: 0x" + ToWString(static_cast<uint32_t>(allowed), 16);
    return 0;
}

bool CHttp::challenge(bool proxyTarget, DWORD allowed, DWORD& scheme, CWString& login, CWString& password,
                      HWND parent) {
    const CWString host = proxyTarget ? MaskUrlPassword(m_proxy.getImpl()->m_host) : m_host;
    CWString refusal;
    const DWORD chosen = chooseAuthScheme(allowed, scheme, refusal);
    if (refusal.getLength() != 0) {
        pushLastError((proxyTarget ? u"Прокси сервер \"" : u"Сервер \"") + host +
                      u"\" требует авторизации. " + refusal);
        return false;
    }
    // Known credentials that were sent with another scheme are tried with the server's choice first.
    if (chosen != 0 && login.getLength() != 0 && chosen != scheme) {
        scheme = chosen;
        return true;
    }
    const LoginDialogFunction dialog = GetHttpLoginDialog();
    if (chosen != 0 && parent && dialog) {
        const CWString prompt = proxyTarget ? CWString(u"Прокси сервер требует авторизации")
                                            : u"Сервер \"" + host + u"\" требует авторизации";
        if (!dialog(this, prompt, login, password, parent)) return false;
        scheme = chosen;
        return true;
    }
    // Nobody to ask: the answer itself is the reason, so that a failed request never leaves the
    // list empty.
    const DWORD status = proxyTarget ? 407 : 401;
    push(CError(CAString("HTTP Status Code = ") + Utils::ToAString(status) + ". " + GetHttpStatusText(status),
                LastErrorCode));
    return false;
}

SYSTEMTIME CHttp::getLastModified() {
    CLogScope scope("Vsk::InternalUtils::CHttp::getLastModified", 4);
    SYSTEMTIME time{};
    m_request.checkCreated();
    if (!m_request->m_request) {
        push(CError("Запрос не был послан!", LastErrorCode));
        return time;
    }
    DWORD size = sizeof(time);
    if (!g_winHttp.queryHeaders(m_request->m_request,
                                WINHTTP_QUERY_LAST_MODIFIED | WINHTTP_QUERY_FLAG_SYSTEMTIME,
                                WINHTTP_HEADER_NAME_BY_INDEX, &time, &size, WINHTTP_NO_HEADER_INDEX)) {
        time = SYSTEMTIME{};
        push(CError("last modified header", LastErrorCode));
    } else if (scope.isEntered()) {
        scope.m_result = Utils::SystemTimeToText(time);
    }
    return time;
}

int64_t CHttp::getContentLength() {
    m_request.checkCreated();
    WCHAR text[32] = {};
    DWORD size = sizeof(text);
    DWORD index = 0;
    if (!m_request->m_request || !g_winHttp.queryHeaders(m_request->m_request, WINHTTP_QUERY_CONTENT_LENGTH,
                                                         WINHTTP_HEADER_NAME_BY_INDEX, text, &size, &index))
        return -1;
    return LeadingNumber(text);
}

CDataBlob CHttp::Download(IProgress* progress) {
    CLogScope scope("Vsk::InternalUtils::CHttp::Download", 4);
    m_request.checkCreated();
    const HINTERNET request = m_request->m_request;
    if (!request) {
        push(CError("Запрос не был послан!", LastErrorCode));
        return CDataBlob();
    }
    const CWString url = MaskUrlPassword(m_url);
    auto failed = [&](DWORD code) {
        SetLastError(code);
        return CError(u"Не удалось скачать данные c " + url, LastErrorCode);
    };
    const int64_t length = getContentLength();
    if (length > static_cast<int64_t>(MaxDownloadSize)) throw failed(ERROR_NOT_ENOUGH_MEMORY);
    if (progress && length > 0) {
        progress->start((u"Скачивание " + GetFileNamePartW(url)).c_str());
        progress->setRange(static_cast<uint32_t>(length));
    }
    CDataBlob body;
    for (;;) {
        DWORD available = 0;
        if (!g_winHttp.queryDataAvailable(request, &available)) throw failed(GetLastError());
        if (available == 0) break;
        if (uint64_t{body.getSize()} + available > MaxDownloadSize) throw failed(ERROR_NOT_ENOUGH_MEMORY);
        CDataBlob buffer(static_cast<size_t>(available));
        DWORD read = 0;
        if (!g_winHttp.readData(request, buffer.getData(), available, &read)) throw failed(GetLastError());
        body.appendData(read, buffer.getData());
        if (read < available)
            logLine(
                2, "Vsk::InternalUtils::CHttp::Download",
                u"WinHttpReadData dwDataAvailable=" + ToWString(available) + u" dwRead=" + ToWString(read));
        if (progress) {
            progress->setPos(body.getSize());
            if (progress->isCancelled())
                throw CError("Скачивание отменено пользователем.", HRESULT_FROM_WIN32(ERROR_CANCELLED));
        }
    }
    if (scope.isEntered()) scope.m_result = ToWString(body.getSize()) + u" bytes";
    return body;
}

}  // namespace Vsk::InternalUtils
