// Inside the WinHTTP stand-in: the pieces that the functions share and that the area's own tests
// reach directly (error mapping, proxy lists, URL text), and the test seam for the CA file. Never
// installed.
#pragma once

#include <vsk/platform/winhttp.h>

#include <curl/curl.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vsk::http {

// The WinHTTP error for a libcurl result.
DWORD ErrorOfCurl(CURLcode code);

// The proxy for a request from WinHTTP's proxy list ("[http=|https=][http://]host[:port]" entries
// separated by ';' or blanks): the entry for the request's scheme, else the first entry without
// one, as "http://host:port" (port 80 when absent); empty for none. User information in an entry is
// dropped (WinHTTP has no place for it).
std::string ProxyFromList(std::string_view list, bool secure);
// Whether WinHTTP's bypass list ("<local>": a host without dots; '*' wildcards; entries separated
// by ';', ',' or blanks; compared without regard to case, with the host or "host:port") names
// `host`.
bool BypassMatches(std::string_view bypass, std::string_view host, uint16_t port);

// The machine's default proxy as WinHTTP would report it, from the environment: `proxy` as
// "host:port" (empty: none) and `bypass` as WinHTTP's bypass list made from no_proxy.
struct DefaultProxy {
    std::string proxy;
    std::string bypass;
};
DefaultProxy DefaultProxyFromEnvironment();

// The object path of a request as a URL can carry it: bytes that a URL cannot hold are
// percent-escaped (escapes already there stay), and an empty path is "/".
std::string EscapePath(std::string_view path);

// UTF-16 text of a caller (null: empty; `length` (size_t)-1: up to the NUL) to UTF-8.
std::string Utf8Of(LPCWSTR text, size_t length = static_cast<size_t>(-1));
// A GlobalAlloc'ed copy (GlobalFree frees it); null for an empty text.
LPWSTR GlobalText(std::string_view utf8);

// Test seam: the CA certificates (a PEM file) that server certificates are verified against instead
// of the system's CA store; empty returns to the system's store. For tests only (their own test CA,
// see tests/common/httpTestServer.h); the program never sets it.
void SetTestCaFile(std::string pemFile);
std::string TestCaFile();

}  // namespace vsk::http
