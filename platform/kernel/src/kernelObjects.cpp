#include "kernelObjects.h"

#include <vsk/platform/handle.h>
#include <vsk/platform/kernel.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace vsk::kernel {

namespace {

struct HandleEntry {
    std::shared_ptr<KernelObject> object;
    DWORD access;
};

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, HandleEntry> entries;
    // Handle values are multiples of 4 from 0x1000 on, like the platform's, so they never collide
    // with null, INVALID_HANDLE_VALUE or the pseudo handles near -1.
    uintptr_t next = 0x1000;
};

HandleTable& table() {
    static HandleTable* t = new HandleTable;  // lives to process exit: threads may close handles late
    return *t;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object, DWORD access) {
    HandleTable& t = table();
    std::lock_guard guard(t.lock);
    uintptr_t value = t.next;
    while (t.entries.count(value)) value += 4;
    t.next = value + 4;
    t.entries.emplace(value, HandleEntry{std::move(object), access});
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupAnyHandle(HANDLE handle, DWORD* access) {
    HandleTable& t = table();
    std::lock_guard guard(t.lock);
    auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.entries.end()) return nullptr;
    if (access) *access = it->second.access;
    return it->second.object;
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle, ObjectKind kind, DWORD* access) {
    auto object = LookupAnyHandle(handle, access);
    return object && object->kind == kind ? object : nullptr;
}

bool RemoveHandle(HANDLE handle, ObjectKind kind) {
    std::shared_ptr<KernelObject> dropped;  // destroyed after the table's lock is left
    HandleTable& t = table();
    std::lock_guard guard(t.lock);
    auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.entries.end() || it->second.object->kind != kind) return false;
    dropped = std::move(it->second.object);
    t.entries.erase(it);
    return true;
}

bool RemoveAnyHandle(HANDLE handle) {
    auto object = LookupAnyHandle(handle);
    return object && RemoveHandle(handle, object->kind);
}

std::string ToUtf8(const WCHAR* text) {
    if (!text) return {};
    size_t n = 0;
    while (text[n]) ++n;
    return Utf16ToUtf8(std::u16string_view(text, n));
}

std::string PathToUtf8(const WCHAR* path) {
    std::string out = ToUtf8(path);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

DWORD CopyOutSized(std::u16string_view text, LPWSTR buffer, DWORD size) {
    if (!buffer || size <= text.size()) return static_cast<DWORD>(text.size() + 1);
    text.copy(buffer, text.size());
    buffer[text.size()] = 0;
    return static_cast<DWORD>(text.size());
}

DWORD PathError(const std::string& path, int err) {
    if (err == ENOENT) {
        std::string folder = path;
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        size_t slash = folder.rfind('/');
        if (slash != std::string::npos) {
            folder.resize(slash == 0 ? 1 : slash);
            struct stat st;
            if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
        }
        return ERROR_FILE_NOT_FOUND;
    }
    return Win32FromErrno(err);
}

std::string AbsolutePath(const std::string& path) {
    std::string full;
    if (path.empty() || path[0] != '/') {
        std::vector<char> cwd(4096);
        while (!getcwd(cwd.data(), cwd.size())) {
            if (errno != ERANGE) return {};
            cwd.resize(cwd.size() * 2);
        }
        full = cwd.data();
        full += '/';
    }
    full += path;
    const bool trailing = full.size() > 1 && full.back() == '/';
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= full.size()) {
        size_t end = full.find('/', pos);
        if (end == std::string::npos) end = full.size();
        std::string part = full.substr(pos, end - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        pos = end + 1;
    }
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    if (out.empty()) return "/";
    // A trailing separator survives only on a folder named by the text, not after "." or "..".
    if (trailing) {
        std::string last = full.substr(0, full.size() - 1);
        last = last.substr(last.rfind('/') + 1);
        if (last != "." && last != "..") out += '/';
    }
    return out;
}

std::string HomeFolder() {
    const char* home = getenv("HOME");
    if (home && *home) return home;
    std::vector<char> buffer(16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return {};
}

}  // namespace vsk::kernel

using namespace vsk::kernel;

HANDLE GetCurrentProcess() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

HANDLE GetCurrentThread() {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));
}

BOOL CloseHandle(HANDLE handle) {
    // The pseudo handles of the current process and thread need no closing.
    if (handle == GetCurrentProcess() || handle == GetCurrentThread()) return TRUE;
    auto object = LookupAnyHandle(handle);
    // Event sources are closed by DeregisterEventSource only, as on the platform.
    if (!object || object->kind == ObjectKind::EventSource || !RemoveHandle(handle, object->kind)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
