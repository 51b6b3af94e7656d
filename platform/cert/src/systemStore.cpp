// System stores on disk: `stores/<NAME>/` under the user's and the machine's state roots, one file per
// element named by its SHA-1 thumbprint (upper-case hex) holding that element's serialized group.
// Writers take an exclusive flock on the folder's ".lock", write a temporary file (".tmp-XXXXXX"),
// sync it, rename it and sync the folder, so readers never see half a file, two processes changing
// different elements lose nothing and a change survives a power loss. A temporary file exists only
// while its writer holds the lock: one that a process holding the lock finds is a dead writer's, and
// the next open of the folder removes it.
#include "certImpl.h"

#include <vsk/platform/diagnostics.h>

#include <vsk/platform/identity.h>
#include <vsk/platform/kernel.h>
#include <vsk/platform/utf8.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>

namespace vsk::cert {

namespace {

// Element files are one certificate or CRL with its properties; nothing legitimate comes near this.
constexpr off_t kMaxElementFileSize = 64 * 1024 * 1024;

const char* const kUserStandardStores[] = {"MY",      "ADDRESSBOOK", "CA",        "ROOT",
                                           "REQUEST", "TRUST",       "DISALLOWED"};
const char* const kMachineStandardStores[] = {"MY", "CA", "ROOT", "REQUEST", "TRUST", "DISALLOWED"};

// Store names compare without regard to case: the folder carries the upper-case form. Names that
// could leave the stores folder are refused.
bool folderName(LPCWSTR name, std::string& out) {
    out.clear();
    if (!name || !*name) return false;
    std::u16string upper;
    for (const WCHAR* p = name; *p; ++p) {
        if (*p == u'/' || *p == u'\\' || *p < 0x20) return false;
        upper += towupper16(*p);
    }
    out = vsk::kernel::Utf16ToUtf8(upper);
    return out != "." && out != "..";
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

mode_t folderMode(DWORD scope) {
    return scope == CERT_SYSTEM_STORE_CURRENT_USER ? 0700 : 0755;
}
mode_t fileMode(DWORD scope) {
    return scope == CERT_SYSTEM_STORE_CURRENT_USER ? 0600 : 0644;
}

bool scopeWritable(DWORD scope) {
    return scope == CERT_SYSTEM_STORE_CURRENT_USER || IsProcessAdministrator();
}

void ensureStandardStores(const std::string& root, DWORD scope) {
    if (!scopeWritable(scope)) return;
    const std::string stores = root + "/stores";
    mkdir(stores.c_str(), folderMode(scope));
    if (scope == CERT_SYSTEM_STORE_CURRENT_USER) {
        for (const char* name : kUserStandardStores) mkdir((stores + "/" + name).c_str(), folderMode(scope));
    } else {
        for (const char* name : kMachineStandardStores)
            mkdir((stores + "/" + name).c_str(), folderMode(scope));
    }
}

// The store folder's lock, shared by every process that uses the store.
class FolderLock {
public:
    FolderLock(const std::string& dir, bool exclusive) {
        const std::string path = dir + "/.lock";
        m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        // A reader without write access to the folder reads without the lock: files only ever
        // appear by rename, so what it reads is whole.
        if (m_fd < 0) m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0) {
            m_error = errno;
            return;
        }
        while (flock(m_fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
            if (errno != EINTR) {
                m_error = errno;
                close(m_fd);
                m_fd = -1;
                return;
            }
        }
    }
    ~FolderLock() { release(); }
    void release() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool held() const { return m_fd >= 0; }
    int error() const { return m_error; }

private:
    int m_fd = -1;
    int m_error = 0;
};

// A file of the folder open as `dirFd`: relative opens spare the walk of the whole path per file.
bool readFile(int dirFd, const char* name, Bytes& out) {
    const int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxElementFileSize;
    if (ok) {
        out.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (ok && done < out.size()) {
            const ssize_t n = read(fd, out.data() + done, out.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0)
                ok = false;
            else
                done += static_cast<size_t>(n);
        }
    }
    close(fd);
    return ok;
}

bool isThumbprintName(const char* name) {
    if (std::strlen(name) != 40) return false;
    for (const char* p = name; *p; ++p)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'A' && *p <= 'F'))) return false;
    return true;
}

// The name of a thumbprint's file, without building the text of the thumbprint.
bool nameIs(std::string_view name, const Sha1& thumbprint) {
    static const char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < thumbprint.size(); ++i)
        if (name[2 * i] != digits[thumbprint[i] >> 4] || name[2 * i + 1] != digits[thumbprint[i] & 15])
            return false;
    return true;
}

// The temporary files of writers: "<folder>/.tmp-XXXXXX" (mkostemp's six characters).
constexpr char kTempPrefix[] = ".tmp-";
bool isTempName(const char* name) {
    return std::strncmp(name, kTempPrefix, sizeof kTempPrefix - 1) == 0 &&
           std::strlen(name) == sizeof kTempPrefix - 1 + 6;
}

// A folder's entries are durable only once the folder itself is synced: after a rename or an unlink,
// so that an element added (or deleted) is still so after a power loss.
int syncFolder(const std::string& dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int err = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return err;
}

// One element file read into a context; null when the file is not a valid element named by its
// thumbprint.
template <class Ctx, class Decode>
Ctx* loadElement(ParsedElement& e, std::string_view name, Decode decode) {
    DWORD error = 0;
    std::unique_ptr<Ctx> ctx(decode(e.der, e.derSize, error));
    if (!ctx || !nameIs(name, ctx->state.thumbprint())) return nullptr;
    ctx->state.props = std::move(e.props);
    ctx->state.inFile = true;
    return ctx.release();
}

using ThumbprintNames = std::set<std::string, std::less<>>;

// Reads the folder's elements into the store. A file that does not hold exactly one element whose
// thumbprint is its name is left out: it is not ours or was damaged, and it must not hide the rest.
// Temporary files found while the lock is held are a dead writer's (a live one holds the lock while
// its file exists): they are removed when this process may write the folder.
void loadFolder(Store* store, const std::string& dir, bool fromMachine, const ThumbprintNames& hidden) {
    std::vector<std::string> skipped;
    std::vector<std::string> stale;
    std::vector<std::string> notRemoved;
    {
        FolderLock lock(dir, false);
        const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        using Name = std::array<char, 41>;  // 40 hex digits and the NUL
        std::vector<Name> names;
        if (DIR* d = dirFd >= 0 ? fdopendir(dup(dirFd)) : nullptr) {
            while (dirent* entry = readdir(d)) {
                if (isThumbprintName(entry->d_name))
                    std::memcpy(names.emplace_back().data(), entry->d_name, 41);
                else if (isTempName(entry->d_name))
                    stale.emplace_back(entry->d_name);
            }
            closedir(d);
        }
        if (!stale.empty() && lock.held() && access(dir.c_str(), W_OK) == 0) {
            for (const std::string& name : stale) {
                if (unlinkat(dirFd, name.c_str(), 0) != 0 && errno != ENOENT)
                    notRemoved.push_back(dir + "/" + name + ": " + std::strerror(errno));
            }
            if (const int err = syncFolder(dir)) notRemoved.push_back(dir + ": " + std::strerror(err));
        }
        std::sort(names.begin(), names.end());
        Bytes data;
        std::vector<ParsedElement> parsed;
        for (const Name& entry : names) {
            const std::string_view name(entry.data(), 40);
            // The user's own copy hides the computer's.
            if (hidden.count(name)) continue;
            parsed.clear();
            bool loaded = false;
            if (readFile(dirFd, entry.data(), data) &&
                ParseElements(data.data(), data.size(), false, parsed) && parsed.size() == 1) {
                ParsedElement& e = parsed.front();
                if (e.id == kCertElementId) {
                    if (CertCtx* cert = loadElement<CertCtx>(e, name, DecodeCertificate)) {
                        Attach(store, cert, fromMachine);
                        loaded = true;
                    }
                } else if (CrlCtx* crl = loadElement<CrlCtx>(e, name, DecodeCrl)) {
                    Attach(store, crl, fromMachine);
                    loaded = true;
                }
            }
            if (!loaded) skipped.push_back(dir + "/" + std::string(name));
        }
        if (dirFd >= 0) close(dirFd);
    }
    // Reported outside the folder's lock: the sink writes the developer log.
    for (const std::string& path : skipped)
        ReportPlatformDiagnostic("certificate store: " + path + ": not a valid element, left out");
    for (const std::string& what : notRemoved)
        ReportPlatformDiagnostic("certificate store: a dead writer's temporary file stays: " + what);
}

HCERTSTORE failNull(DWORD code) {
    SetLastError(code);
    return nullptr;
}

}  // namespace

std::string ElementFilePath(const std::string& dir, const Sha1& thumbprint) {
    return dir + "/" + HexUpper(thumbprint.data(), thumbprint.size());
}

std::string ElementPath(const ElementState& state) {
    return ElementFilePath(state.fromMachine ? state.store->machineDir : state.store->dir,
                           state.thumbprint());
}

bool ElementFileExists(const Store* store, const Sha1& thumbprint) {
    return access(ElementFilePath(store->dir, thumbprint).c_str(), F_OK) == 0;
}

bool WriteElementFile(const Store* store, const ElementState& state, DWORD elementId, WriteMode mode) {
    FolderLock lock(store->dir, true);
    if (!lock.held()) {
        SetLastError(Win32FromErrno(lock.error()));
        return false;
    }
    const std::string path = ElementPath(state);
    const bool exists = access(path.c_str(), F_OK) == 0;
    if (mode == WriteMode::CreateNew && exists) {
        SetLastError(CRYPT_E_EXISTS);
        return false;
    }
    if (mode == WriteMode::Update && !exists) {
        SetLastError(CRYPT_E_NOT_FOUND);
        return false;
    }
    Bytes data;
    AppendElement(data, elementId, state);
    std::string temp = store->dir + "/" + kTempPrefix + "XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        SetLastError(Win32FromErrno(errno));
        return false;
    }
    int err = 0;
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = errno;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (!err && fchmod(fd, fileMode(store->scope)) != 0) err = errno;
    if (!err && fsync(fd) != 0) err = errno;
    close(fd);
    if (!err && rename(temp.c_str(), path.c_str()) != 0) err = errno;
    if (err) {
        unlink(temp.c_str());
        SetLastError(Win32FromErrno(err));
        return false;
    }
    CountSystemStoreChange();
    if ((err = syncFolder(store->dir)) != 0) {
        // The element is in place and readable; only its durability across a power loss is unsure.
        // Reported outside the folder's lock: the sink writes the developer log.
        lock.release();
        ReportPlatformDiagnostic("certificate store: " + store->dir + ": not synced: " + std::strerror(err));
    }
    return true;
}

bool RemoveElementFile(const Store* store, const ElementState& state) {
    FolderLock lock(store->dir, true);
    if (!lock.held()) {
        SetLastError(Win32FromErrno(lock.error()));
        return false;
    }
    // Already gone (another process deleted it): the outcome is the one asked for.
    if (unlink(ElementPath(state).c_str()) != 0) {
        if (errno == ENOENT) return true;
        SetLastError(Win32FromErrno(errno));
        return false;
    }
    CountSystemStoreChange();
    if (const int err = syncFolder(store->dir)) {
        lock.release();
        ReportPlatformDiagnostic("certificate store: " + store->dir + ": not synced: " + std::strerror(err));
    }
    return true;
}

Store* OpenSystemStore(LPCWSTR name, DWORD flags) {
    std::string folder;
    if (!folderName(name, folder)) return static_cast<Store*>(failNull(static_cast<DWORD>(E_INVALIDARG)));
    const DWORD scope = flags & CERT_SYSTEM_STORE_LOCATION_MASK;
    if (scope != CERT_SYSTEM_STORE_CURRENT_USER && scope != CERT_SYSTEM_STORE_LOCAL_MACHINE)
        return static_cast<Store*>(failNull(static_cast<DWORD>(E_INVALIDARG)));

    const bool user = scope == CERT_SYSTEM_STORE_CURRENT_USER;
    const std::string root = user ? UserStateRoot(true) : MachineStateRoot(IsProcessAdministrator());
    if (root.empty()) return static_cast<Store*>(failNull(ERROR_FILE_NOT_FOUND));
    ensureStandardStores(root, scope);
    const std::string dir = root + "/stores/" + folder;

    bool readOnly = (flags & CERT_STORE_READONLY_FLAG) != 0;
    if (!isDirectory(dir)) {
        if ((flags & CERT_STORE_OPEN_EXISTING_FLAG) || readOnly)
            return static_cast<Store*>(failNull(ERROR_FILE_NOT_FOUND));
        if (!scopeWritable(scope)) return static_cast<Store*>(failNull(ERROR_ACCESS_DENIED));
        mkdir((root + "/stores").c_str(), folderMode(scope));
        if (mkdir(dir.c_str(), folderMode(scope)) != 0 && errno != EEXIST)
            return static_cast<Store*>(failNull(Win32FromErrno(errno)));
    }
    if (!readOnly && (!scopeWritable(scope) || access(dir.c_str(), W_OK) != 0)) {
        if (!(flags & CERT_STORE_MAXIMUM_ALLOWED_FLAG))
            return static_cast<Store*>(failNull(ERROR_ACCESS_DENIED));
        readOnly = true;
    }

    std::lock_guard guard(Lock());
    Store* store = NewStore(StoreKind::System);
    store->scope = scope;
    store->name = folder;
    store->dir = dir;
    store->readOnly = readOnly;
    store->userRoot = user && folder == "ROOT";
    if (user && (folder == "ROOT" || folder == "CA")) {
        const std::string machineRoot = MachineStateRoot(false);
        if (!machineRoot.empty() && isDirectory(machineRoot + "/stores/" + folder))
            store->machineDir = machineRoot + "/stores/" + folder;
    }
    loadFolder(store, dir, false, {});
    if (!store->machineDir.empty()) {
        ThumbprintNames own;
        for (const CertCtx* c : store->certs)
            own.insert(HexUpper(c->state.sha1.data(), c->state.sha1.size()));
        for (const CrlCtx* c : store->crls) own.insert(HexUpper(c->state.sha1.data(), c->state.sha1.size()));
        loadFolder(store, store->machineDir, true, own);
    }
    AddRef(store);
    return store;
}

}  // namespace vsk::cert
