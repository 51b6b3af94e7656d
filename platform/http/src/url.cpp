// URL texts: WinHttpCrackUrl's own parser (only http and https exist for WinHTTP), the escaping of
// request paths, and the conversions of callers' texts.
#include "winhttpImpl.h"

#include <vsk/platform/kernel.h>
#include <vsk/platform/utf8.h>

#include <algorithm>
#include <cstring>

namespace vsk::http {

std::string Utf8Of(LPCWSTR text, size_t length) {
    if (!text) return {};
    if (length == static_cast<size_t>(-1)) length = wcslen16(text);
    return vsk::kernel::Utf16ToUtf8(std::u16string_view(text, length));
}

LPWSTR GlobalText(std::string_view utf8) {
    if (utf8.empty()) return nullptr;
    const std::u16string wide = vsk::kernel::Utf8ToUtf16(utf8);
    auto* out = static_cast<LPWSTR>(GlobalAlloc(GMEM_FIXED, (wide.size() + 1) * sizeof(WCHAR)));
    if (!out) return nullptr;
    std::memcpy(out, wide.data(), wide.size() * sizeof(WCHAR));
    out[wide.size()] = 0;
    return out;
}

std::string EscapePath(std::string_view path) {
    // RFC 3986's unreserved and reserved characters and '%' pass; everything else is escaped.
    static const char allowed[] = "-._~:/?#[]@!$&'()*+,;=%";
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    if (path.empty() || path[0] != '/') out += '/';
    for (char c : path) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
            (b != 0 && std::strchr(allowed, c))) {
            out += c;
        } else {
            out += '%';
            out += digits[b >> 4];
            out += digits[b & 15];
        }
    }
    return out;
}

}  // namespace vsk::http

namespace {

using Text = std::u16string_view;

bool isAlpha(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool equalAsciiNoCase(Text a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t c = a[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != static_cast<unsigned char>(b[i])) return false;
    }
    return true;
}

// The parts of a URL, as views into it.
struct Parts {
    Text scheme;
    INTERNET_SCHEME schemeNumber = 0;
    Text host;
    INTERNET_PORT port = 0;
    Text user;
    Text password;
    Text path;
    Text extra;
};

// 0, or the error for a URL that cannot be split.
DWORD split(Text url, bool wantExtra, Parts& parts) {
    const size_t colon = url.find(u':');
    if (colon == Text::npos || colon == 0 || !isAlpha(url[0])) return ERROR_WINHTTP_INVALID_URL;
    for (size_t i = 0; i < colon; ++i) {
        const char16_t c = url[i];
        if (!isAlpha(c) && !(c >= u'0' && c <= u'9') && c != u'+' && c != u'-' && c != u'.')
            return ERROR_WINHTTP_INVALID_URL;
    }
    parts.scheme = url.substr(0, colon);
    if (equalAsciiNoCase(parts.scheme, "http"))
        parts.schemeNumber = INTERNET_SCHEME_HTTP;
    else if (equalAsciiNoCase(parts.scheme, "https"))
        parts.schemeNumber = INTERNET_SCHEME_HTTPS;
    else
        return ERROR_WINHTTP_UNRECOGNIZED_SCHEME;
    Text rest = url.substr(colon + 1);
    if (rest.substr(0, 2) != u"//") return ERROR_WINHTTP_INVALID_URL;
    rest.remove_prefix(2);

    const size_t authorityEnd = rest.find_first_of(u"/?#");
    Text authority = rest.substr(0, authorityEnd);
    const Text tail = authorityEnd == Text::npos ? Text() : rest.substr(authorityEnd);

    // User information ends at the last '@', so that a password may hold one.
    if (const size_t at = authority.rfind(u'@'); at != Text::npos) {
        const Text userInfo = authority.substr(0, at);
        const size_t separator = userInfo.find(u':');
        parts.user = userInfo.substr(0, separator);
        if (separator != Text::npos) parts.password = userInfo.substr(separator + 1);
        authority.remove_prefix(at + 1);
    }
    Text portText;
    if (!authority.empty() && authority[0] == u'[') {
        const size_t close = authority.find(u']');
        if (close == Text::npos) return ERROR_WINHTTP_INVALID_URL;
        parts.host = authority.substr(1, close - 1);
        const Text after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != u':') return ERROR_WINHTTP_INVALID_URL;
            portText = after.substr(1);
        }
    } else {
        const size_t separator = authority.find(u':');
        parts.host = authority.substr(0, separator);
        if (separator != Text::npos) portText = authority.substr(separator + 1);
    }
    if (parts.host.empty()) return ERROR_WINHTTP_INVALID_URL;
    for (char16_t c : parts.host)
        if (c <= u' ' || c == 0x7F || c == u'\\') return ERROR_WINHTTP_INVALID_URL;

    if (portText.empty()) {
        parts.port = parts.schemeNumber == INTERNET_SCHEME_HTTPS ? INTERNET_DEFAULT_HTTPS_PORT
                                                                 : INTERNET_DEFAULT_HTTP_PORT;
    } else {
        uint32_t port = 0;
        if (portText.size() > 5) return ERROR_WINHTTP_INVALID_URL;
        for (char16_t c : portText) {
            if (c < u'0' || c > u'9') return ERROR_WINHTTP_INVALID_URL;
            port = port * 10 + (c - u'0');
        }
        if (port == 0 || port > 65535) return ERROR_WINHTTP_INVALID_URL;
        parts.port = static_cast<INTERNET_PORT>(port);
    }

    // Without a place for the extra information, the query stays with the path (a request for the
    // path alone must not lose it); a fragment never goes to the server.
    const size_t fragment = tail.find(u'#');
    if (wantExtra) {
        const size_t extraStart = tail.find_first_of(u"?#");
        parts.path = tail.substr(0, extraStart);
        if (extraStart != Text::npos) parts.extra = tail.substr(extraStart);
    } else {
        parts.path = tail.substr(0, fragment);
    }
    return 0;
}

// One component: copied into the caller's buffer, or pointed at inside the URL, or left alone.
// Returns false when the buffer is too small (nothing is written then).
bool fits(LPWSTR buffer, DWORD length, Text part) {
    return !buffer || length == 0 || part.size() < length;
}

void give(LPWSTR& buffer, DWORD& length, Text part) {
    if (buffer && length) {
        std::copy(part.begin(), part.end(), buffer);
        buffer[part.size()] = 0;
        length = static_cast<DWORD>(part.size());
    } else if (length) {
        buffer = const_cast<LPWSTR>(part.data());
        length = static_cast<DWORD>(part.size());
    }
}

}  // namespace

BOOL WinHttpCrackUrl(LPCWSTR url, DWORD urlLength, DWORD flags, URL_COMPONENTS* components) {
    if (!url || !components || components->dwStructSize != sizeof(URL_COMPONENTS) || flags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const Text text(url, urlLength ? urlLength : wcslen16(url));
    const bool wantExtra = components->lpszExtraInfo || components->dwExtraInfoLength;
    Parts parts;
    if (const DWORD error = split(text, wantExtra, parts)) {
        SetLastError(error);
        return FALSE;
    }
    URL_COMPONENTS& c = *components;
    if (!fits(c.lpszScheme, c.dwSchemeLength, parts.scheme) ||
        !fits(c.lpszHostName, c.dwHostNameLength, parts.host) ||
        !fits(c.lpszUserName, c.dwUserNameLength, parts.user) ||
        !fits(c.lpszPassword, c.dwPasswordLength, parts.password) ||
        !fits(c.lpszUrlPath, c.dwUrlPathLength, parts.path) ||
        !fits(c.lpszExtraInfo, c.dwExtraInfoLength, parts.extra)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    give(c.lpszScheme, c.dwSchemeLength, parts.scheme);
    give(c.lpszHostName, c.dwHostNameLength, parts.host);
    give(c.lpszUserName, c.dwUserNameLength, parts.user);
    give(c.lpszPassword, c.dwPasswordLength, parts.password);
    give(c.lpszUrlPath, c.dwUrlPathLength, parts.path);
    give(c.lpszExtraInfo, c.dwExtraInfoLength, parts.extra);
    c.nScheme = parts.schemeNumber;
    c.nPort = parts.port;
    return TRUE;
}
