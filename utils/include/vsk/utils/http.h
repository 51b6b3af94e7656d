// The HTTP client of the library: HTTP and HTTPS requests over WinHTTP, bound at run time, tried
// through one proxy source after another until the server answers 200, with proxy and server
// authentication answered from stored or prompted credentials. Failures are collected in the
// client's own error list instead of being thrown, so that the caller can show every reason at
// once; only the download of the body throws.
//
// Server certificates are always verified (the stand-in verifies against the system's CA store and
// the client never asks it not to); a certificate that does not verify is an ordinary send failure
// (12175) in the error list. A response body is refused beyond MaxDownloadSize.
#pragma once

#include <vsk/platform/winhttp.h>
#include <vsk/utils/dataBlob.h>
#include <vsk/utils/error.h>
#include <vsk/utils/progress.h>
#include <vsk/utils/proxySettings.h>
#include <vsk/utils/string.h>

#include <cstdint>

namespace Vsk::InternalUtils {

// The largest body Download hands out: CRL addresses come from certificates, so a server of
// anybody's choosing must not make the program hold what it likes. Checked by
// HttpTest.DownloadSizeCap in tests/utils/httpTest.cpp.
constexpr uint64_t MaxDownloadSize = uint64_t{256} << 20;

// The WinHTTP entry points, bound once per process from "Winhttp.dll" by bindWinHttp.
struct CWinHttpFunctions {
    decltype(&::WinHttpCrackUrl) crackUrl = nullptr;
    decltype(&::WinHttpGetDefaultProxyConfiguration) getDefaultProxyConfiguration = nullptr;
    decltype(&::WinHttpGetIEProxyConfigForCurrentUser) getIEProxyConfigForCurrentUser = nullptr;
    decltype(&::WinHttpOpen) open = nullptr;
    decltype(&::WinHttpGetProxyForUrl) getProxyForUrl = nullptr;
    decltype(&::WinHttpCloseHandle) closeHandle = nullptr;
    decltype(&::WinHttpQueryAuthSchemes) queryAuthSchemes = nullptr;
    decltype(&::WinHttpOpenRequest) openRequest = nullptr;
    decltype(&::WinHttpConnect) connect = nullptr;
    decltype(&::WinHttpQueryDataAvailable) queryDataAvailable = nullptr;
    decltype(&::WinHttpReadData) readData = nullptr;
    decltype(&::WinHttpQueryHeaders) queryHeaders = nullptr;
    decltype(&::WinHttpReceiveResponse) receiveResponse = nullptr;
    decltype(&::WinHttpSendRequest) sendRequest = nullptr;
    decltype(&::WinHttpSetCredentials) setCredentials = nullptr;
    decltype(&::WinHttpQueryOption) queryOption = nullptr;
    decltype(&::WinHttpSetOption) setOption = nullptr;
};

// Binds the entry points still unbound, in their fixed order, under the common lock; a missing
// module or function raises CLib's error (the pointers bound before it stay).
void bindWinHttp();
// The bound entry points (call bindWinHttp first).
const CWinHttpFunctions& WinHttp();

// The English description of an HTTP status code; "" for a code not in the table.
const char* GetHttpStatusText(unsigned status);

// A signed decimal number at the start of `text` (leading white space and a sign allowed; the first
// other character ends it; clamped to the 32-bit range): header values and proxy ports.
int64_t LeadingNumber(const WCHAR* text);

// Splits a URL with WinHttpCrackUrl (each part at most 255 characters); every output may be null.
// The user name and password are only set when the URL has them.
bool SplitUrl(const Vsk::Utils::CWString& url, Vsk::Utils::CWString* host, Vsk::Utils::CWString* path,
              Vsk::Utils::CWString* user, Vsk::Utils::CWString* password, WORD* port, int* scheme);

// The windows the client opens, supplied by the library's window part (vsk_utils_gui) when the
// program links it; without them no login dialog appears (as without a parent window) and the
// cursor is left alone. Tests put scripted stand-ins here.
using LoginDialogFunction = bool (*)(Vsk::Utils::CErrorFormatter* errors, const Vsk::Utils::CWString& caption,
                                     Vsk::Utils::CWString& user, Vsk::Utils::CWString& password, HWND parent);
// `wait` true shows the wait cursor, false restores the cursor shown before.
using WaitCursorFunction = void (*)(bool wait);
void SetHttpLoginDialog(LoginDialogFunction function);
void SetHttpWaitCursor(WaitCursorFunction function);
LoginDialogFunction GetHttpLoginDialog();

class CHttp;

// Reads the body of the last response with the progress dialog owned by `parent` (the window part's
// dialog when the program has it, else without visible progress); raises as CHttp::Download does.
using DownloadWithProgressFunction = Vsk::Utils::CDataBlob (*)(CHttp& http, HWND parent);
void SetHttpDownloadProgress(DownloadWithProgressFunction function);
Vsk::Utils::CDataBlob DownloadWithProgress(CHttp& http, HWND parent);

// The three WinHTTP handles of one request, its agent and verb, and the proxy sources it has tried.
class CHttpRequest : public Vsk::Utils::CRefMan {
public:
    CHttpRequest();
    ~CHttpRequest() override;

    // Creates the missing handles; whether a request handle exists.
    bool Open();
    // Closes the request, the connection and the session handles.
    void Close();
    void closeRequest();
    // Puts the proxy data of the next proxy source into the owner's settings; false when none is
    // left.
    bool SetNextProxy();

    CHttp* m_owner = nullptr;
    int m_verb = 1;
    Vsk::Utils::CWString m_agent;
    HINTERNET m_session = nullptr;
    HINTERNET m_connection = nullptr;
    HINTERNET m_request = nullptr;
    DWORD m_triedSources = 0;

private:
    void closeHandle(HINTERNET& handle, int line);
};

class CHttp : public virtual Vsk::Utils::CErrorFormatter {
public:
    // Shares the caller's proxy settings, or makes fresh automatic ones.
    explicit CHttp(const Vsk::Utils::CProxySettings* proxy = nullptr);
    ~CHttp();
    CHttp(const CHttp&) = delete;
    CHttp& operator=(const CHttp&) = delete;

    bool put_Url(const Vsk::Utils::CWString& url);
    // Verbs: 0 OPTIONS, 1 GET, 2 HEAD, 3 POST, 4 PUT, 5 DELETE, 6 TRACE. 200, or 0 with the reasons in
    // the error list. `parent` owns the login dialog; null for none.
    int SendRequest(const Vsk::Utils::CDataBlob& body, int verb, const Vsk::Utils::CWString& agent,
                    const Vsk::Utils::CWString& headers, HWND parent);
    // All zero when there is none (the reason is then in the error list).
    SYSTEMTIME getLastModified();
    // The whole body; raises on a failed read ("Не удалось скачать данные c " + URL) and on a cancel
    // (error number 1223).
    Vsk::Utils::CDataBlob Download(Vsk::Utils::IProgress* progress);
    // The Content-Length header as a number; -1 without one.
    int64_t getContentLength();

    const Vsk::Utils::CRefPtr<CHttpRequest>& getRequest() const { return m_request; }
    const Vsk::Utils::CProxySettings& getProxySettings() const { return m_proxy; }
    const Vsk::Utils::CWString& getUrl() const { return m_url; }
    const Vsk::Utils::CWString& getHost() const { return m_host; }
    const Vsk::Utils::CWString& getPath() const { return m_path; }
    WORD getPort() const { return m_port; }
    int getScheme() const { return m_scheme; }

private:
    friend class CHttpRequest;

    // One attempt with the proxy data now in the settings: 200, another status, or 0.
    int sendRequest(const Vsk::Utils::CDataBlob& body, const Vsk::Utils::CWString& headers, HWND parent);
    // "URL: " + URL [+ "\nProxy server: " + proxy text], passwords masked.
    Vsk::Utils::CWString getErrorContext() const;
    // The scheme of the answer's challenge that `allowed` admits; `refusal` says why there is none.
    DWORD chooseAuthScheme(DWORD allowed, DWORD current, Vsk::Utils::CWString& refusal);
    // Answers a 401 or 407; true when the request is to be sent again with `scheme` and the
    // credentials. An answer nobody can give (no window for the login dialog) leaves the status
    // error in the list, so that a failed request always says why.
    bool challenge(bool proxy, DWORD allowed, DWORD& scheme, Vsk::Utils::CWString& login,
                   Vsk::Utils::CWString& password, HWND parent);
    // Pushes an error of `text` with the thread's last error as code, and keeps that last error for
    // the caller (the fall-back reads it).
    void pushLastError(const Vsk::Utils::CWString& text);

    DWORD m_allowedServerSchemes = 0;
    Vsk::Utils::CWString m_user;
    Vsk::Utils::CWString m_password;
    WORD m_port = 0;
    int m_scheme = INTERNET_SCHEME_HTTP;
    uint8_t m_showUrl = 1;
    Vsk::Utils::CProxySettings m_proxy;
    Vsk::Utils::CWString m_url;
    Vsk::Utils::CWString m_host;
    Vsk::Utils::CWString m_path;
    Vsk::Utils::CRefPtr<CHttpRequest> m_request;
};

}  // namespace Vsk::InternalUtils
