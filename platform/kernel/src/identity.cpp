#include <vsk/platform/identity.h>
#include <vsk/platform/kernel.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace {

// An environment value that names a folder: set, not empty and absolute (the XDG rule: relative
// values are ignored).
const char* folderFromEnv(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && v[0] == '/' ? v : nullptr;
}

// `base` + "/" + `tail`, without a doubled separator when `base` ends with one.
std::string join(std::string base, const char* tail) {
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base + "/" + tail;
}

std::string homeFolder() {
    if (const char* home = folderFromEnv("HOME")) return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd pw{};
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

// mkdir -p: missing parents get `parentMode`, the folder itself `mode`. An existing folder is kept as
// it is.
bool makeFolders(const std::string& path, mode_t parentMode, mode_t mode) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos < path.size() && path[pos] != '/') continue;
        std::string part = path.substr(0, pos);
        bool last = pos == path.size();
        if (mkdir(part.c_str(), last ? mode : parentMode) == 0) {
            // mkdir's mode passes through the umask; the state folders need theirs exactly.
            if (last && chmod(part.c_str(), mode) != 0) {
                SetLastError(Win32FromErrno(errno));
                return false;
            }
            continue;
        }
        int err = errno;
        struct stat st {};
        if (err == EEXIST && stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        SetLastError(Win32FromErrno(err == EEXIST ? ENOTDIR : err));
        return false;
    }
    return true;
}

std::string finish(std::string path, bool create, mode_t parentMode, mode_t mode) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (create && !makeFolders(path, parentMode, mode)) return {};
    return path;
}

}  // namespace

BOOL IsProcessAdministrator() {
    if (const char* v = std::getenv("KESTROVAN_ADMIN")) {
        if (v[0] == '0' && v[1] == '\0') return FALSE;
        if (v[0] == '1' && v[1] == '\0') return TRUE;
    }
    return geteuid() == 0 ? TRUE : FALSE;
}

std::string UserStateRoot(bool create) {
    std::string path;
    if (const char* dir = folderFromEnv("KESTROVAN_USER_DIR")) {
        path = dir;
    } else if (const char* data = folderFromEnv("XDG_DATA_HOME")) {
        path = join(data, "kestrovan");
    } else {
        std::string home = homeFolder();
        if (home.empty()) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return {};
        }
        path = join(home, ".local/share/kestrovan");
    }
    return finish(std::move(path), create, 0700, 0700);
}

std::string MachineStateRoot(bool create) {
    const char* dir = folderFromEnv("KESTROVAN_MACHINE_DIR");
    return finish(dir != nullptr ? dir : "/var/lib/kestrovan", create, 0755, 0755);
}
