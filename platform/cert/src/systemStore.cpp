// System stores on disk: `stores/<NAME>/` under the user's and the machine's state roots, one file per
// element named by its SHA-1 thumbprint (upper-case hex) holding that element's serialized group.
// Writers take an exclusive flock on the folder's ".lock", write a temporary file and rename it, so
// readers never see half a file and two processes changing different elements lose nothing.
#include "certImpl.h"

#include <vsk/platform/diagnostics.h>

#include <vsk/platform/identity.h>
#include <vsk/platform/kernel.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

namespace VskCert {

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
    const int length = static_cast<int>(upper.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, upper.data(), length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return false;
    out.resize(static_cast<size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, upper.data(), length, out.data(), bytes, nullptr, nullptr);
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
    ~FolderLock() {
        if (m_fd >= 0) close(m_fd);
    }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool held() const { return m_fd >= 0; }
    int error() const { return m_error; }

private:
    int m_fd = -1;
    int m_error = 0;
};

bool readFile(const std::string& path, Bytes& out) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
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

// Reads the folder's elements into the store. A file that does not hold exactly one element whose
// thumbprint is its name is left out: it is not ours or was damaged, and it must not hide the rest.
void loadFolder(Store* store, const std::string& dir, bool fromMachine, const std::set<std::string>& hidden) {
    std::vector<std::string> skipped;
    {
        FolderLock lock(dir, false);
        std::vector<std::string> names;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* entry = readdir(d))
                if (isThumbprintName(entry->d_name)) names.emplace_back(entry->d_name);
            closedir(d);
        }
        std::sort(names.begin(), names.end());
        Bytes data;
        for (const std::string& name : names) {
            // The user's own copy hides the computer's.
            if (hidden.count(name)) continue;
            const std::string path = dir + "/" + name;
            std::vector<ParsedElement> parsed;
            if (!readFile(path, data) || !ParseElements(data.data(), data.size(), false, parsed) ||
                parsed.size() != 1) {
                skipped.push_back(path);
                continue;
            }
            DWORD error = 0;
            const ParsedElement& e = parsed.front();
            if (e.id == kCertElementId) {
                CertCtx* cert = DecodeCertificate(e.der, e.derSize, error);
                if (!cert) {
                    skipped.push_back(path);
                    continue;
                }
                const Sha1& h = cert->state.thumbprint();
                if (HexUpper(h.data(), h.size()) != name) {
                    delete cert;
                    skipped.push_back(path);
                    continue;
                }
                cert->state.props = e.props;
                cert->state.filePath = path;
                Attach(store, cert, fromMachine);
            } else {
                CrlCtx* crl = DecodeCrl(e.der, e.derSize, error);
                if (!crl) {
                    skipped.push_back(path);
                    continue;
                }
                const Sha1& h = crl->state.thumbprint();
                if (HexUpper(h.data(), h.size()) != name) {
                    delete crl;
                    skipped.push_back(path);
                    continue;
                }
                crl->state.props = e.props;
                crl->state.filePath = path;
                Attach(store, crl, fromMachine);
            }
        }
    }
    // Reported outside the folder's lock: the sink writes the developer log.
    for (const std::string& path : skipped)
        ReportPlatformDiagnostic("certificate store: " + path + ": not a valid element, left out");
}

HCERTSTORE failNull(DWORD code) {
    SetLastError(code);
    return nullptr;
}

}  // namespace

std::string ElementFilePath(const std::string& dir, const Sha1& thumbprint) {
    return dir + "/" + HexUpper(thumbprint.data(), thumbprint.size());
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
    const bool exists = access(state.filePath.c_str(), F_OK) == 0;
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
    std::string temp = store->dir + "/.tmp-XXXXXX";
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
    if (!err && rename(temp.c_str(), state.filePath.c_str()) != 0) err = errno;
    if (err) {
        unlink(temp.c_str());
        SetLastError(Win32FromErrno(err));
        return false;
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
    if (unlink(state.filePath.c_str()) != 0 && errno != ENOENT) {
        SetLastError(Win32FromErrno(errno));
        return false;
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
        std::set<std::string> own;
        for (const CertCtx* c : store->certs) own.insert(c->state.sortKey.substr(1));
        for (const CrlCtx* c : store->crls) own.insert(c->state.sortKey.substr(1));
        loadFolder(store, store->machineDir, true, own);
    }
    AddRef(store);
    return store;
}

}  // namespace VskCert
