// WinHTTP on libcurl: the HTTP client functions the library binds at run time from the stand-in
// module "Winhttp.dll" (every function below is one of its exports), with the types, constants and
// error codes its callers use.
//
// The model is WinHTTP's synchronous one: a session (WinHttpOpen: agent and proxy), a connection
// (WinHttpConnect: host and port) and requests (WinHttpOpenRequest). A request's transfer runs on
// the session's libcurl multi handle and advances only inside these calls:
//  - WinHttpSendRequest returns once the request has gone out; failures to resolve, connect, pass the
//    TLS handshake or send fail here (12007, 12029, 12175 or SEC_E_ILLEGAL_MESSAGE, 12030, 12002).
//  - WinHttpReceiveResponse returns once the final response's headers are in (redirects are followed
//    as WinHTTP does: at most 10, never from https to http). Its headers, status and authentication
//    challenges are then read with WinHttpQueryHeaders and WinHttpQueryAuthSchemes.
//  - The body is taken from the network only while WinHttpQueryDataAvailable or WinHttpReadData asks
//    for it: a body nobody reads is never downloaded (the transfer stays paused until the request is
//    closed). A body is refused beyond WinHttpMaxResponseBody bytes with ERROR_NOT_ENOUGH_MEMORY
//    (8), at once when Content-Length announces more.
// Time-outs are WinHTTP's defaults (connect 60 s, send and receive 30 s without progress; the
// resolve time-out is not separate, it is part of the connect time-out) unless WinHttpSetTimeouts or
// the time-out options change them; a time-out fails with 12002.
//
// Server certificates and host names are always verified against the system's CA store; the
// SECURITY_FLAG_IGNORE_* flags are accepted and not honoured, so a certificate that does not verify
// fails the send with ERROR_WINHTTP_SECURE_FAILURE (12175). Passwords (credentials, URLs) never reach
// the platform's diagnostics.
//
// Proxies: WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_ACCESS_TYPE_NAMED_PROXY with WinHTTP's proxy list
// ("[http=|https=][http://]host[:port]", entries separated by ';' or blanks) and bypass list ("<local>",
// '*' wildcards), and WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, which is the machine default below. libcurl
// never reads the proxy environment itself. The proxy sources:
//  - WinHttpGetDefaultProxyConfiguration: the environment: https_proxy, http_proxy, all_proxy (each
//    also in upper case; the first one set with an http proxy wins) as "host:port", and no_proxy as
//    the bypass list; without one, no proxy.
//  - WinHttpGetIEProxyConfigForCurrentUser: the current user's (emulated) registry key
//    "Software\Microsoft\Windows\CurrentVersion\Internet Settings": ProxyEnable (DWORD), ProxyServer,
//    ProxyOverride, AutoConfigURL (texts) and AutoDetect (DWORD, 0 when absent).
//  - WinHttpGetProxyForUrl: there is no automatic discovery (WPAD) and no proxy script: it fails at
//    once with 12180 for auto-detection and 12167 for a script URL.
#pragma once

#include <vsk/platform/types.h>

#include <cstddef>

using HINTERNET = void*;
using INTERNET_PORT = WORD;
using INTERNET_SCHEME = int;
using DWORD_PTR = ULONG_PTR;

// The largest response body a request hands out; limits what a server can make the program hold
// (CRL addresses come from certificates). Checked by ResponseBodyCap in winhttpTest.cpp.
constexpr size_t WinHttpMaxResponseBody = size_t{256} << 20;

// ---- Constants ------------------------------------------------------------------------------------

constexpr DWORD WINHTTP_ACCESS_TYPE_DEFAULT_PROXY = 0;
constexpr DWORD WINHTTP_ACCESS_TYPE_NO_PROXY = 1;
constexpr DWORD WINHTTP_ACCESS_TYPE_NAMED_PROXY = 3;
inline constexpr LPCWSTR WINHTTP_NO_PROXY_NAME = nullptr;
inline constexpr LPCWSTR WINHTTP_NO_PROXY_BYPASS = nullptr;
inline constexpr LPCWSTR WINHTTP_NO_REFERER = nullptr;
inline constexpr LPCWSTR* WINHTTP_DEFAULT_ACCEPT_TYPES = nullptr;
inline constexpr LPCWSTR WINHTTP_NO_ADDITIONAL_HEADERS = nullptr;
inline constexpr LPVOID WINHTTP_NO_REQUEST_DATA = nullptr;
inline constexpr LPCWSTR WINHTTP_HEADER_NAME_BY_INDEX = nullptr;
inline constexpr DWORD* WINHTTP_NO_HEADER_INDEX = nullptr;

// WinHttpOpen: only synchronous sessions exist here (WINHTTP_FLAG_ASYNC fails with 87).
constexpr DWORD WINHTTP_FLAG_ASYNC = 0x10000000;

// WinHttpOpenRequest flags.
constexpr DWORD WINHTTP_FLAG_REFRESH = 0x00000100;  // "Pragma: no-cache" and "Cache-Control: no-cache"
constexpr DWORD WINHTTP_FLAG_SECURE = 0x00800000;   // https

constexpr INTERNET_PORT INTERNET_DEFAULT_PORT = 0;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTP_PORT = 80;
constexpr INTERNET_PORT INTERNET_DEFAULT_HTTPS_PORT = 443;
constexpr INTERNET_SCHEME INTERNET_SCHEME_HTTP = 1;
constexpr INTERNET_SCHEME INTERNET_SCHEME_HTTPS = 2;

// WinHttpSetCredentials / WinHttpQueryAuthSchemes.
constexpr DWORD WINHTTP_AUTH_TARGET_SERVER = 0;
constexpr DWORD WINHTTP_AUTH_TARGET_PROXY = 1;
constexpr DWORD WINHTTP_AUTH_SCHEME_BASIC = 0x00000001;
constexpr DWORD WINHTTP_AUTH_SCHEME_NTLM = 0x00000002;
constexpr DWORD WINHTTP_AUTH_SCHEME_PASSPORT = 0x00000004;
constexpr DWORD WINHTTP_AUTH_SCHEME_DIGEST = 0x00000008;
constexpr DWORD WINHTTP_AUTH_SCHEME_NEGOTIATE = 0x00000010;

// WinHttpQueryHeaders: the header (low 16 bits) and how to return it.
constexpr DWORD WINHTTP_QUERY_CONTENT_TYPE = 1;
constexpr DWORD WINHTTP_QUERY_CONTENT_LENGTH = 5;
constexpr DWORD WINHTTP_QUERY_DATE = 9;
constexpr DWORD WINHTTP_QUERY_EXPIRES = 10;
constexpr DWORD WINHTTP_QUERY_LAST_MODIFIED = 11;
constexpr DWORD WINHTTP_QUERY_VERSION = 18;
constexpr DWORD WINHTTP_QUERY_STATUS_CODE = 19;
constexpr DWORD WINHTTP_QUERY_STATUS_TEXT = 20;
constexpr DWORD WINHTTP_QUERY_RAW_HEADERS_CRLF = 22;
constexpr DWORD WINHTTP_QUERY_LOCATION = 33;
constexpr DWORD WINHTTP_QUERY_WWW_AUTHENTICATE = 40;
constexpr DWORD WINHTTP_QUERY_PROXY_AUTHENTICATE = 41;
constexpr DWORD WINHTTP_QUERY_CUSTOM = 65535;
constexpr DWORD WINHTTP_QUERY_FLAG_NUMBER64 = 0x08000000;
constexpr DWORD WINHTTP_QUERY_FLAG_NUMBER = 0x20000000;
constexpr DWORD WINHTTP_QUERY_FLAG_SYSTEMTIME = 0x40000000;
constexpr DWORD WINHTTP_QUERY_FLAG_REQUEST_HEADERS = 0x80000000;  // not kept: fails with 12150

// WinHttpSetOption / WinHttpQueryOption.
constexpr DWORD WINHTTP_OPTION_RESOLVE_TIMEOUT = 2;
constexpr DWORD WINHTTP_OPTION_CONNECT_TIMEOUT = 3;
constexpr DWORD WINHTTP_OPTION_SEND_TIMEOUT = 5;
constexpr DWORD WINHTTP_OPTION_RECEIVE_TIMEOUT = 6;
constexpr DWORD WINHTTP_OPTION_SECURITY_FLAGS = 31;
constexpr DWORD WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT = 32;
constexpr DWORD WINHTTP_OPTION_SERVER_CERT_CONTEXT = 78;
// Accepted in WINHTTP_OPTION_SECURITY_FLAGS and not honoured (see above).
constexpr DWORD SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x00000100;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE = 0x00000200;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x00001000;
constexpr DWORD SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x00002000;

// WinHttpGetProxyForUrl.
constexpr DWORD WINHTTP_AUTOPROXY_AUTO_DETECT = 0x00000001;
constexpr DWORD WINHTTP_AUTOPROXY_CONFIG_URL = 0x00000002;
constexpr DWORD WINHTTP_AUTO_DETECT_TYPE_DHCP = 0x00000001;
constexpr DWORD WINHTTP_AUTO_DETECT_TYPE_DNS_A = 0x00000002;

// Error codes (the last error after a failure).
constexpr DWORD ERROR_WINHTTP_TIMEOUT = 12002;
constexpr DWORD ERROR_WINHTTP_INTERNAL_ERROR = 12004;
constexpr DWORD ERROR_WINHTTP_INVALID_URL = 12005;
constexpr DWORD ERROR_WINHTTP_UNRECOGNIZED_SCHEME = 12006;
constexpr DWORD ERROR_WINHTTP_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_WINHTTP_INVALID_OPTION = 12009;
constexpr DWORD ERROR_WINHTTP_LOGIN_FAILURE = 12015;
constexpr DWORD ERROR_WINHTTP_OPERATION_CANCELLED = 12017;
constexpr DWORD ERROR_WINHTTP_INCORRECT_HANDLE_TYPE = 12018;
constexpr DWORD ERROR_WINHTTP_INCORRECT_HANDLE_STATE = 12019;
constexpr DWORD ERROR_WINHTTP_CANNOT_CONNECT = 12029;
constexpr DWORD ERROR_WINHTTP_CONNECTION_ERROR = 12030;
constexpr DWORD ERROR_WINHTTP_RESEND_REQUEST = 12032;  // never given here
constexpr DWORD ERROR_WINHTTP_HEADER_NOT_FOUND = 12150;
constexpr DWORD ERROR_WINHTTP_INVALID_SERVER_RESPONSE = 12152;
constexpr DWORD ERROR_WINHTTP_REDIRECT_FAILED = 12156;
constexpr DWORD ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT = 12167;
constexpr DWORD ERROR_WINHTTP_SECURE_FAILURE = 12175;
constexpr DWORD ERROR_WINHTTP_AUTODETECTION_FAILED = 12180;
constexpr DWORD ERROR_INVALID_OPERATION = 4317;
// The TLS handshake failed (not a certificate that does not verify: that is 12175).
constexpr DWORD SEC_E_ILLEGAL_MESSAGE = 0x80090326;

// ---- Records --------------------------------------------------------------------------------------

// WinHttpCrackUrl: for each part, a buffer and its size in characters (the part is copied with a NUL;
// a part that does not fit fails with ERROR_INSUFFICIENT_BUFFER), or a null pointer with a non-zero
// size (the pointer then points into the URL and the size is the part's length), or both zero (not
// asked for). dwStructSize must be sizeof(URL_COMPONENTS).
struct URL_COMPONENTS {
    DWORD dwStructSize;
    LPWSTR lpszScheme;
    DWORD dwSchemeLength;
    INTERNET_SCHEME nScheme;
    LPWSTR lpszHostName;
    DWORD dwHostNameLength;
    INTERNET_PORT nPort;
    LPWSTR lpszUserName;
    DWORD dwUserNameLength;
    LPWSTR lpszPassword;
    DWORD dwPasswordLength;
    LPWSTR lpszUrlPath;
    DWORD dwUrlPathLength;
    LPWSTR lpszExtraInfo;
    DWORD dwExtraInfoLength;
};

// Texts are GlobalAlloc'ed; the caller frees them with GlobalFree.
struct WINHTTP_PROXY_INFO {
    DWORD dwAccessType;
    LPWSTR lpszProxy;
    LPWSTR lpszProxyBypass;
};

struct WINHTTP_CURRENT_USER_IE_PROXY_CONFIG {
    BOOL fAutoDetect;
    LPWSTR lpszAutoConfigUrl;
    LPWSTR lpszProxy;
    LPWSTR lpszProxyBypass;
};

struct WINHTTP_AUTOPROXY_OPTIONS {
    DWORD dwFlags;
    DWORD dwAutoDetectFlags;
    LPCWSTR lpszAutoConfigUrl;
    LPVOID lpvReserved;
    DWORD dwReserved;
    BOOL fAutoLogonIfChallenged;
};

// The server certificate of an https request: subject and issuer as their attribute values, one a
// line ("\r\n" between them), LocalAlloc'ed (the caller frees them with LocalFree); the protocol and
// algorithm names are null; dwKeySize is the cipher's key size in bits.
struct WINHTTP_CERTIFICATE_INFO {
    FILETIME ftExpiry;
    FILETIME ftStart;
    LPWSTR lpszSubjectInfo;
    LPWSTR lpszIssuerInfo;
    LPWSTR lpszProtocolName;
    LPWSTR lpszSignatureAlgName;
    LPWSTR lpszEncryptionAlgName;
    DWORD dwKeySize;
};

// ---- Functions ------------------------------------------------------------------------------------
// Every function sets the last error on failure and leaves it alone on success. A handle that is not
// open gives ERROR_INVALID_HANDLE (6), a handle of the wrong kind ERROR_WINHTTP_INCORRECT_HANDLE_TYPE.

// Splits an http or https URL (scheme compared without regard to case; no other scheme: 12006; no
// scheme: 12005). Flags must be 0 (no unescaping: percent escapes stay as they are). The user name
// and password are split at the first ':' of the user part (before the last '@'); an IPv6 host is
// given without its brackets; nPort is the URL's port, else 80 or 443. When the extra information
// is not asked for, the query stays in the URL path; when it is, it holds "?query" (and "#fragment").
// A fragment is never part of the path.
BOOL WinHttpCrackUrl(LPCWSTR url, DWORD urlLength, DWORD flags, URL_COMPONENTS* components);

BOOL WinHttpGetDefaultProxyConfiguration(WINHTTP_PROXY_INFO* info);
BOOL WinHttpGetIEProxyConfigForCurrentUser(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG* config);
BOOL WinHttpGetProxyForUrl(HINTERNET session, LPCWSTR url, WINHTTP_AUTOPROXY_OPTIONS* options,
                           WINHTTP_PROXY_INFO* info);

// A session. The agent becomes the User-Agent header (none when empty). NAMED_PROXY needs a proxy
// list (87 otherwise); the bypass list is optional.
HINTERNET WinHttpOpen(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR proxyBypass, DWORD flags);
// A connection to host (a name, an IPv4 address, or an IPv6 address with or without brackets) and
// port (INTERNET_DEFAULT_PORT: 80, or 443 for a secure request).
HINTERNET WinHttpConnect(HINTERNET session, LPCWSTR serverName, INTERNET_PORT port, DWORD reserved);
// A request: verb (null: "GET"), object path with its query (null or empty: "/"; characters that a
// URL cannot hold are percent-escaped), version (null or "HTTP/1.1"; "HTTP/1.0"), referrer, accept
// types (null: no Accept header), flags (WINHTTP_FLAG_SECURE, WINHTTP_FLAG_REFRESH).
HINTERNET WinHttpOpenRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR objectName, LPCWSTR version,
                             LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags);
// Closes any handle; closing a request ends its transfer. Children keep what they need of their
// parents, so handles can be closed in any order.
BOOL WinHttpCloseHandle(HINTERNET handle);

// Credentials for the next send of the request: one scheme bit (BASIC, NTLM, DIGEST, NEGOTIATE;
// PASSPORT fails with 87). NTLM and NEGOTIATE work where this libcurl has them; without, the request
// goes out without credentials for that target, and the answer's challenges name what the other
// side takes. Texts go out in UTF-8.
BOOL WinHttpSetCredentials(HINTERNET request, DWORD authTargets, DWORD authScheme, LPCWSTR userName,
                           LPCWSTR password, LPVOID authParams);
// Sends (again, when the request was sent before: a new transfer with the credentials now set).
// headers: extra request header lines separated by "\r\n", headersLength in characters (-1: up to a
// NUL). The body is optional/optionalLength; totalLength must equal optionalLength.
BOOL WinHttpSendRequest(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID optional,
                        DWORD optionalLength, DWORD totalLength, DWORD_PTR context);
BOOL WinHttpReceiveResponse(HINTERNET request, LPVOID reserved);
// The final response's headers. Text (UTF-16, *bufferLength in bytes; too small or null: 122 with
// the size needed, NUL included), FLAG_NUMBER (DWORD), FLAG_NUMBER64 (64-bit) or FLAG_SYSTEMTIME (a
// date header as UTC SYSTEMTIME). A header that is absent, or that is not a number or a date when
// one is asked for, fails with 12150. *index picks the occurrence and is advanced on success. Before
// WinHttpReceiveResponse has succeeded: 12019.
BOOL WinHttpQueryHeaders(HINTERNET request, DWORD infoLevel, LPCWSTR name, LPVOID buffer, DWORD* bufferLength,
                         DWORD* index);
// The schemes of the final response's challenges (WWW-Authenticate, or Proxy-Authenticate for 407),
// the first one the server named, and the target (WINHTTP_AUTH_TARGET_PROXY for 407). Without a
// challenge: ERROR_INVALID_OPERATION.
BOOL WinHttpQueryAuthSchemes(HINTERNET request, DWORD* supportedSchemes, DWORD* firstScheme,
                             DWORD* authTarget);
// Bytes ready to be read (0 at the end of the body); waits for some when none are.
BOOL WinHttpQueryDataAvailable(HINTERNET request, DWORD* bytesAvailable);
BOOL WinHttpReadData(HINTERNET request, LPVOID buffer, DWORD bytesToRead, DWORD* bytesRead);

// Options: the time-outs (int milliseconds; 0 or -1: none), the security flags (kept, not honoured),
// the server certificate (WINHTTP_OPTION_SECURITY_CERTIFICATE_STRUCT, WINHTTP_OPTION_SERVER_CERT_CONTEXT:
// a PCCERT_CONTEXT the caller frees; needs the certificate area linked, ERROR_NOT_SUPPORTED without
// it). Other options: 12009.
BOOL WinHttpSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength);
BOOL WinHttpQueryOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD* bufferLength);
// Time-outs in milliseconds for the handle and the handles made from it afterwards (0 or -1: none;
// other negative values: 87).
BOOL WinHttpSetTimeouts(HINTERNET handle, int resolveTimeout, int connectTimeout, int sendTimeout,
                        int receiveTimeout);
