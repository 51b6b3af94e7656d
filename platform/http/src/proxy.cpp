// Proxy sources and lists. The machine default comes from the environment (the usual *_proxy
// variables of Linux), the user's browser settings from the emulated registry key a Windows browser
// keeps them in; automatic discovery (WPAD) and proxy scripts do not exist here.
#include "winhttpImpl.h"

#include <vsk/platform/kernel.h>
#include <vsk/platform/registry.h>
#include <vsk/platform/utf8.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace vsk::http {
namespace {

constexpr char16_t InternetSettingsKey[] = u"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::vector<std::string_view> tokens(std::string_view text, std::string_view separators) {
    std::vector<std::string_view> out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of(separators, start);
        const std::string_view token = text.substr(start, end == std::string_view::npos ? end : end - start);
        if (!token.empty()) out.push_back(token);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return out;
}

// '*' matches any run of characters; both texts in lower case.
bool wildcardMatch(std::string_view pattern, std::string_view text) {
    size_t p = 0, t = 0, star = std::string_view::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

// "host[:port]" (host an IPv6 address in brackets, or not) after an optional "http://" and user
// information, up to a '/'. Nothing for another scheme or an empty host.
struct HostPort {
    std::string host;  // IPv6 addresses keep their brackets
    uint16_t port = 0;
};

std::optional<HostPort> hostPortOf(std::string_view text) {
    if (const size_t scheme = text.find("://"); scheme != std::string_view::npos) {
        if (lower(text.substr(0, scheme)) != "http") return std::nullopt;
        text.remove_prefix(scheme + 3);
    }
    text = text.substr(0, text.find('/'));
    if (const size_t at = text.rfind('@'); at != std::string_view::npos) text.remove_prefix(at + 1);
    HostPort out;
    std::string_view portText;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        out.host = std::string(text.substr(0, close + 1));
        if (close + 1 < text.size() && text[close + 1] == ':') portText = text.substr(close + 2);
    } else {
        const size_t colon = text.find(':');
        out.host = std::string(text.substr(0, colon));
        if (colon != std::string_view::npos) portText = text.substr(colon + 1);
    }
    if (out.host.empty() || out.host == "[]") return std::nullopt;
    uint32_t port = 0;
    for (char c : portText) {
        if (c < '0' || c > '9' || port > 65535) return std::nullopt;
        port = port * 10 + static_cast<uint32_t>(c - '0');
    }
    if (port > 65535 || (!portText.empty() && port == 0)) return std::nullopt;
    out.port = portText.empty() ? INTERNET_DEFAULT_HTTP_PORT : static_cast<uint16_t>(port);
    return out;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

std::string ProxyFromList(std::string_view list, bool secure) {
    std::optional<std::string_view> exact, general;
    for (std::string_view entry : tokens(list, "; \t\r\n")) {
        const size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            if (!general) general = entry;
        } else if (lower(entry.substr(0, equals)) == (secure ? "https" : "http")) {
            if (!exact) exact = entry.substr(equals + 1);
        }
    }
    const std::optional<std::string_view> chosen = exact ? exact : general;
    if (!chosen) return {};
    const std::optional<HostPort> proxy = hostPortOf(*chosen);
    return proxy ? "http://" + proxy->host + ":" + std::to_string(proxy->port) : std::string();
}

bool BypassMatches(std::string_view bypass, std::string_view host, uint16_t port) {
    const std::string name = lower(host);
    const std::string withPort = name + ":" + std::to_string(port);
    for (std::string_view entry : tokens(bypass, ";, \t\r\n")) {
        std::string pattern = lower(entry);
        if (pattern == "<local>") {
            if (name.find('.') == std::string::npos && name.find(':') == std::string::npos) return true;
            continue;
        }
        for (const char* scheme : {"http://", "https://"})
            if (pattern.rfind(scheme, 0) == 0) pattern.erase(0, std::strlen(scheme));
        if (wildcardMatch(pattern, name) || wildcardMatch(pattern, withPort)) return true;
    }
    return false;
}

DefaultProxy DefaultProxyFromEnvironment() {
    DefaultProxy out;
    for (const char* name :
         {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) {
        const std::string value = environment(name);
        if (value.empty()) continue;
        if (const std::optional<HostPort> proxy = hostPortOf(value)) {
            out.proxy = proxy->host + ":" + std::to_string(proxy->port);
            break;
        }
    }
    if (out.proxy.empty()) return out;
    std::string noProxy = environment("no_proxy");
    if (noProxy.empty()) noProxy = environment("NO_PROXY");
    // no_proxy names a domain with its sub-domains ("example.org" or ".example.org"); WinHTTP's list
    // needs both forms spelled out.
    for (std::string_view entry : tokens(noProxy, ", \t")) {
        if (entry[0] == '.') entry.remove_prefix(1);
        if (entry.empty()) continue;
        if (!out.bypass.empty()) out.bypass += ';';
        if (entry == "*")
            out.bypass += "*";
        else
            out.bypass += std::string(entry) + ";*." + std::string(entry);
    }
    return out;
}

}  // namespace vsk::http

using namespace vsk::http;

namespace {

std::optional<std::u16string> readText(HKEY key, LPCWSTR name) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::nullopt;
    std::u16string text(size / sizeof(WCHAR), u'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    text.resize(size / sizeof(WCHAR));
    while (!text.empty() && text.back() == 0) text.pop_back();
    return text;
}

DWORD readNumber(HKEY key, LPCWSTR name) {
    DWORD type = 0, value = 0, size = sizeof(value);
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        return 0;
    return value;
}

std::string utf8(const std::optional<std::u16string>& text) {
    return text ? vsk::kernel::Utf16ToUtf8(*text) : std::string();
}

}  // namespace

BOOL WinHttpGetDefaultProxyConfiguration(WINHTTP_PROXY_INFO* info) {
    if (!info) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DefaultProxy proxy = DefaultProxyFromEnvironment();
    info->dwAccessType = proxy.proxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    info->lpszProxy = GlobalText(proxy.proxy);
    info->lpszProxyBypass = GlobalText(proxy.bypass);
    return TRUE;
}

BOOL WinHttpGetIEProxyConfigForCurrentUser(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG* config) {
    if (!config) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *config = WINHTTP_CURRENT_USER_IE_PROXY_CONFIG{};
    HKEY key = nullptr;
    // No key: nothing is set, which is a configuration too (no proxy, no script, no detection).
    if (RegOpenKeyExW(HKEY_CURRENT_USER, InternetSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return TRUE;
    config->fAutoDetect = readNumber(key, u"AutoDetect") != 0 ? TRUE : FALSE;
    config->lpszAutoConfigUrl = GlobalText(utf8(readText(key, u"AutoConfigURL")));
    if (readNumber(key, u"ProxyEnable") != 0) {
        config->lpszProxy = GlobalText(utf8(readText(key, u"ProxyServer")));
        config->lpszProxyBypass = GlobalText(utf8(readText(key, u"ProxyOverride")));
    }
    RegCloseKey(key);
    return TRUE;
}
