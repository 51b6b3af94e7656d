#include "kernelObjects.h"

#include <vsk/platform/file.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/shell.h>

#include <sys/stat.h>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>

using namespace vsk::kernel;

namespace {

std::string xdgFolder(const char* variable, const char* fallback) {
    const char* value = getenv(variable);
    if (value && value[0] == '/') return value;
    const std::string home = HomeFolder();
    return home.empty() ? std::string() : home + fallback;
}

// XDG_DESKTOP_DIR="$HOME/Desktop" (or an absolute path) from user-dirs.dirs.
std::string desktopFolder() {
    const std::string config = xdgFolder("XDG_CONFIG_HOME", "/.config");
    const std::string home = HomeFolder();
    if (!config.empty()) {
        std::ifstream in(config + "/user-dirs.dirs");
        std::string line;
        while (std::getline(in, line)) {
            const size_t start = line.find_first_not_of(" \t");
            if (start == std::string::npos || line.compare(start, 16, "XDG_DESKTOP_DIR=") != 0) continue;
            std::string value = line.substr(start + 16);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r'))
                value.pop_back();
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            if (value.compare(0, 5, "$HOME") == 0 && (value.size() == 5 || value[5] == '/')) {
                if (home.empty()) break;
                value = home + value.substr(5);
            }
            if (!value.empty() && value[0] == '/') {
                while (value.size() > 1 && value.back() == '/') value.pop_back();
                return value;
            }
            break;
        }
    }
    return home.empty() ? std::string() : home + "/Desktop";
}

// mkdir -p; 0 or a Win32 code.
DWORD makeFolders(const std::string& path, unsigned mode) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return ERROR_ALREADY_EXISTS;
    size_t pos = 1;
    for (;;) {
        const size_t slash = path.find('/', pos);
        const std::string part = path.substr(0, slash);
        if (!part.empty() && mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
            return errno == ENOENT ? ERROR_PATH_NOT_FOUND : Win32FromErrno(errno);
        if (slash == std::string::npos) break;
        pos = slash + 1;
    }
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
    return ERROR_SUCCESS;
}

}  // namespace

HRESULT SHGetFolderPathW(void* /*owner*/, int csidl, HANDLE /*token*/, DWORD /*flags*/, LPWSTR path) {
    if (!path) return E_INVALIDARG;
    path[0] = 0;
    std::string folder;
    switch (csidl & ~CSIDL_FLAG_CREATE) {
        case CSIDL_LOCAL_APPDATA:
            folder = xdgFolder("XDG_DATA_HOME", "/.local/share");
            break;
        case CSIDL_APPDATA:
            folder = xdgFolder("XDG_CONFIG_HOME", "/.config");
            break;
        case CSIDL_DESKTOP:
        case CSIDL_DESKTOPDIRECTORY:
            folder = desktopFolder();
            break;
        default:
            return E_INVALIDARG;
    }
    if (folder.empty()) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const std::u16string wide = ToUtf16(folder);
    if (wide.size() >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        if (!(csidl & CSIDL_FLAG_CREATE)) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        const DWORD made = makeFolders(folder, 0700);
        if (made != ERROR_SUCCESS && made != ERROR_ALREADY_EXISTS) return HRESULT_FROM_WIN32(made);
        if (made == ERROR_ALREADY_EXISTS) return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);  // a file in the way
    }
    wide.copy(path, wide.size());
    path[wide.size()] = 0;
    return S_OK;
}

BOOL SHGetSpecialFolderPathW(void* owner, LPWSTR path, int csidl, BOOL create) {
    const HRESULT hr = SHGetFolderPathW(owner, csidl | (create ? CSIDL_FLAG_CREATE : 0), nullptr, 0, path);
    if (FAILED(hr)) {
        const uint32_t code = static_cast<uint32_t>(hr);
        SetLastError((code & 0xFFFF0000u) == 0x80070000u ? (code & 0xFFFF) : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

int SHCreateDirectoryExW(void* /*owner*/, LPCWSTR path, const SECURITY_ATTRIBUTES* security) {
    DWORD code;
    if (!path || !*path) {
        code = ERROR_BAD_PATHNAME;
    } else {
        std::string name = PathToUtf8(path);
        if (name[0] != '/') {
            code = ERROR_BAD_PATHNAME;
        } else {
            while (name.size() > 1 && name.back() == '/') name.pop_back();
            code = name.size() >= 4096
                       ? ERROR_FILENAME_EXCED_RANGE
                       : makeFolders(AbsolutePath(name), FileModeFromSecurity(security, 0777, true));
        }
    }
    if (code != ERROR_SUCCESS) SetLastError(code);
    return static_cast<int>(code);
}

HRESULT AssocQueryStringW(ASSOCF, ASSOCSTR, LPCWSTR, LPCWSTR, LPWSTR, DWORD*) {
    return HRESULT_FROM_WIN32(ERROR_NO_ASSOCIATION);
}

namespace {

std::mutex g_openHandlerMutex;
ShellOpenHandler g_openHandler;

// Case-insensitive (ASCII) comparison of a verb with a lower-case name.
bool isVerb(LPCWSTR verb, const char16_t* name) {
    size_t i = 0;
    for (; verb[i] && name[i]; ++i) {
        char16_t c = verb[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != name[i]) return false;
    }
    return verb[i] == 0 && name[i] == 0;
}

}  // namespace

void SetShellOpenHandler(ShellOpenHandler handler) {
    std::lock_guard guard(g_openHandlerMutex);
    g_openHandler = std::move(handler);
}

ShellOpenHandler GetShellOpenHandler() {
    std::lock_guard guard(g_openHandlerMutex);
    return g_openHandler;
}

HINSTANCE ShellExecuteW(void* /*owner*/, LPCWSTR verb, LPCWSTR file, LPCWSTR /*parameters*/,
                        LPCWSTR /*folder*/, int /*show*/) {
    auto result = [](int code, DWORD error) {
        SetLastError(error);
        return reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(code));
    };
    if (!file) return result(SE_ERR_FNF, ERROR_FILE_NOT_FOUND);
    if (verb && isVerb(verb, u"runas")) return result(SE_ERR_ACCESSDENIED, ERROR_NOT_SUPPORTED);
    if (verb && verb[0] && !isVerb(verb, u"open")) return result(SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION);

    const std::string path = AbsolutePath(PathToUtf8(file));
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) return result(SE_ERR_FNF, ERROR_FILE_NOT_FOUND);
    const ShellOpenHandler handler = GetShellOpenHandler();
    if (!handler || !handler(path)) return result(SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION);
    // Any value above 32 means success; the platform's is 42 for a started handler.
    return reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(42));
}
