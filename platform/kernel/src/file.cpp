#include "kernelObjects.h"

#include <vsk/platform/file.h>
#include <vsk/platform/kernel.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

using namespace vsk::kernel;

namespace {

constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t EpochDifference = 11644473600LL;

struct FileObject : KernelObject {
    FileObject(int f, bool r, bool w) : KernelObject(ObjectKind::File), fd(f), canRead(r), canWrite(w) {}
    ~FileObject() override { close(fd); }
    const int fd;
    const bool canRead;
    const bool canWrite;
};

std::shared_ptr<FileObject> fileOf(HANDLE handle) {
    auto file = Lookup<FileObject>(handle, ObjectKind::File);
    if (!file) SetLastError(ERROR_INVALID_HANDLE);
    return file;
}

BOOL fail(DWORD code) {
    SetLastError(code);
    return FALSE;
}

FILETIME toFileTime(const struct timespec& t) {
    const int64_t ticks = (static_cast<int64_t>(t.tv_sec) + EpochDifference) * 10000000LL + t.tv_nsec / 100;
    return U64ToFileTime(ticks < 0 ? 0 : static_cast<uint64_t>(ticks));
}

std::string parentOf(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : p.substr(0, slash);
}

void syncPath(const std::string& path, bool folder) {
    const int fd = open(path.c_str(), (folder ? O_DIRECTORY : 0) | O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Copies a regular file into a new file beside the target, for moves across file systems. Returns
// the temporary name, or empty with errno set.
std::string copyBeside(const std::string& from, const std::string& to) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return {};
    struct stat st;
    if (fstat(in, &st) != 0) {
        const int err = errno;
        close(in);
        errno = err;
        return {};
    }
    if (!S_ISREG(st.st_mode)) {  // folders and special files are not copied
        close(in);
        errno = EACCES;
        return {};
    }
    std::string temp = to + ".moveXXXXXX";
    const int out = mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
        const int err = errno;
        close(in);
        errno = err;
        return {};
    }
    char buffer[65536];
    bool ok = true;
    for (;;) {
        ssize_t n = read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; ok && done < n;) {
            ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0)
                ok = false;
            else
                done += w;
        }
        if (!ok) break;
    }
    int err = errno;
    if (ok && (fchmod(out, st.st_mode & 07777) != 0 || fsync(out) != 0)) ok = false, err = errno;
    close(in);
    if (close(out) != 0 && ok) ok = false, err = errno;
    if (!ok) {
        unlink(temp.c_str());
        errno = err;
        return {};
    }
    return temp;
}

}  // namespace

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
    if (!path || !*path) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const std::string name = PathToUtf8(path);
    const bool read = access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA);
    const bool writeData = access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA);
    const bool write = writeData || (access & FILE_APPEND_DATA);
    const bool truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;

    int flags = O_CLOEXEC;
    if (read && write)
        flags |= O_RDWR;
    else if (write)
        flags |= O_WRONLY;
    else if (!read && disposition == OPEN_EXISTING)
        flags |= O_PATH;  // attributes only: no read permission needed
    else
        flags |= O_RDONLY;
    if (write && !writeData) flags |= O_APPEND;
    switch (disposition) {
        case CREATE_NEW:
            flags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
        case OPEN_ALWAYS:
            flags |= O_CREAT;
            break;
        case OPEN_EXISTING:
            break;
        case TRUNCATE_EXISTING:
            if (!write) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return INVALID_HANDLE_VALUE;
            }
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    // Without write access no lock is taken, so the file may be emptied by open itself; a writer
    // empties it only after its lock is granted, never under another writer's feet.
    if (truncate && !write) flags |= O_TRUNC;

    const int fd = open(name.c_str(), flags, FileModeFromSecurity(security, 0666, false));
    if (fd < 0) {
        SetLastError(PathError(name, errno));
        return INVALID_HANDLE_VALUE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (write) {
        // flock belongs to the open file description, so a second open in this process is refused
        // as well as one in another process.
        const int op = (shareMode & FILE_SHARE_WRITE) ? LOCK_SH : LOCK_EX;
        if (flock(fd, op | LOCK_NB) != 0) {
            const int err = errno;
            close(fd);
            SetLastError(err == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : Win32FromErrno(err));
            return INVALID_HANDLE_VALUE;
        }
        if (truncate && ftruncate(fd, 0) != 0) {
            const int err = errno;
            close(fd);
            SetLastError(Win32FromErrno(err));
            return INVALID_HANDLE_VALUE;
        }
    }
    return InsertHandle(std::make_shared<FileObject>(fd, read, write), access);
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped) {
    if (read) *read = 0;
    auto file = fileOf(handle);
    if (!file) return FALSE;
    if (!file->canRead) return fail(ERROR_ACCESS_DENIED);
    if (count && !buffer) return fail(ERROR_INVALID_PARAMETER);
    off_t offset =
        overlapped
            ? static_cast<off_t>((static_cast<uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset)
            : 0;
    DWORD done = 0;
    while (done < count) {
        ssize_t n = overlapped
                        ? pread(file->fd, static_cast<char*>(buffer) + done, count - done, offset + done)
                        : ::read(file->fd, static_cast<char*>(buffer) + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (read) *read = done;
            return fail(Win32FromErrno(errno));
        }
        if (n == 0) break;
        done += static_cast<DWORD>(n);
    }
    if (read) *read = done;
    return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD count, DWORD* written, OVERLAPPED* overlapped) {
    if (written) *written = 0;
    auto file = fileOf(handle);
    if (!file) return FALSE;
    if (!file->canWrite) return fail(ERROR_ACCESS_DENIED);
    if (count && !buffer) return fail(ERROR_INVALID_PARAMETER);
    off_t offset =
        overlapped
            ? static_cast<off_t>((static_cast<uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset)
            : 0;
    DWORD done = 0;
    while (done < count) {
        const char* from = static_cast<const char*>(buffer) + done;
        ssize_t n = overlapped ? pwrite(file->fd, from, count - done, offset + done)
                               : ::write(file->fd, from, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (written) *written = done;
            return fail(Win32FromErrno(errno));
        }
        done += static_cast<DWORD>(n);
    }
    if (written) *written = done;
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE handle, LARGE_INTEGER* size) {
    auto file = fileOf(handle);
    if (!file) return FALSE;
    if (!size) return fail(ERROR_INVALID_PARAMETER);
    struct stat st;
    if (fstat(file->fd, &st) != 0) return fail(Win32FromErrno(errno));
    size->QuadPart = st.st_size;
    return TRUE;
}

DWORD GetFileSize(HANDLE handle, DWORD* high) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle, &size)) return INVALID_FILE_SIZE;
    if (high) *high = static_cast<DWORD>(static_cast<uint64_t>(size.QuadPart) >> 32);
    if (size.LowPart == INVALID_FILE_SIZE) SetLastError(NO_ERROR);
    return size.LowPart;
}

BOOL SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD method) {
    auto file = fileOf(handle);
    if (!file) return FALSE;
    int whence = method == FILE_BEGIN     ? SEEK_SET
                 : method == FILE_CURRENT ? SEEK_CUR
                 : method == FILE_END     ? SEEK_END
                                          : -1;
    if (whence < 0) return fail(ERROR_INVALID_PARAMETER);
    const off_t position = lseek(file->fd, static_cast<off_t>(distance.QuadPart), whence);
    if (position < 0) return fail(errno == EINVAL ? ERROR_NEGATIVE_SEEK : Win32FromErrno(errno));
    if (newPosition) newPosition->QuadPart = position;
    return TRUE;
}

DWORD SetFilePointer(HANDLE handle, LONG distance, LONG* distanceHigh, DWORD method) {
    LARGE_INTEGER move;
    if (distanceHigh) {
        move.LowPart = static_cast<DWORD>(distance);
        move.HighPart = *distanceHigh;
    } else {
        move.QuadPart = distance;
    }
    LARGE_INTEGER before{};
    if (!distanceHigh && !SetFilePointerEx(handle, before, &before, FILE_CURRENT))
        return INVALID_SET_FILE_POINTER;
    LARGE_INTEGER position;
    if (!SetFilePointerEx(handle, move, &position, method)) return INVALID_SET_FILE_POINTER;
    if (distanceHigh) {
        *distanceHigh = position.HighPart;
    } else if (position.HighPart != 0) {
        // The new position does not fit the 32 bits the caller can see: the move is undone.
        SetFilePointerEx(handle, before, nullptr, FILE_BEGIN);
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (position.LowPart == INVALID_SET_FILE_POINTER) SetLastError(NO_ERROR);
    return position.LowPart;
}

BOOL GetFileTime(HANDLE handle, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite) {
    auto file = fileOf(handle);
    if (!file) return FALSE;
    struct statx stx;
    if (statx(file->fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0)
        return fail(Win32FromErrno(errno));
    auto ts = [](const struct statx_timestamp& t) {
        return timespec{t.tv_sec, static_cast<long>(t.tv_nsec)};
    };
    if (creation) *creation = toFileTime(ts((stx.stx_mask & STATX_BTIME) ? stx.stx_btime : stx.stx_ctime));
    if (lastAccess) *lastAccess = toFileTime(ts(stx.stx_atime));
    if (lastWrite) *lastWrite = toFileTime(ts(stx.stx_mtime));
    return TRUE;
}

BOOL SetFileTime(HANDLE handle, const FILETIME*, const FILETIME* lastAccess, const FILETIME* lastWrite) {
    auto file = fileOf(handle);
    if (!file) return FALSE;
    if (!file->canWrite) return fail(ERROR_ACCESS_DENIED);
    auto ts = [](const FILETIME* t) {
        if (!t || (t->dwLowDateTime == 0xFFFFFFFF && t->dwHighDateTime == 0xFFFFFFFF))
            return timespec{0, UTIME_OMIT};
        const int64_t ticks = static_cast<int64_t>(FileTimeToU64(*t));
        const int64_t seconds = ticks / 10000000LL - EpochDifference;
        return timespec{static_cast<time_t>(seconds), static_cast<long>((ticks % 10000000LL) * 100)};
    };
    const timespec times[2] = {ts(lastAccess), ts(lastWrite)};
    if (futimens(file->fd, times) != 0) return fail(Win32FromErrno(errno));
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR path) {
    if (!path || !*path) return fail(ERROR_PATH_NOT_FOUND);
    const std::string name = PathToUtf8(path);
    if (unlink(name.c_str()) != 0) return fail(PathError(name, errno));
    return TRUE;
}

BOOL MoveFileExW(LPCWSTR fromPath, LPCWSTR toPath, DWORD flags) {
    if (!fromPath || !*fromPath || !toPath || !*toPath) return fail(ERROR_PATH_NOT_FOUND);
    const std::string from = PathToUtf8(fromPath);
    const std::string to = PathToUtf8(toPath);
    const bool replace = flags & MOVEFILE_REPLACE_EXISTING;
    struct stat st;
    if (lstat(from.c_str(), &st) != 0) return fail(PathError(from, errno));

    int result = replace ? rename(from.c_str(), to.c_str())
                         : renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
    if (result != 0 && !replace && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without the no-replace rename: a hard link refuses an existing target too.
        result = link(from.c_str(), to.c_str());
        if (result == 0) unlink(from.c_str());
    }
    if (result != 0 && errno == EXDEV) {
        if (!(flags & MOVEFILE_COPY_ALLOWED)) return fail(ERROR_NOT_SAME_DEVICE);
        const std::string temp = copyBeside(from, to);
        if (temp.empty()) return fail(PathError(to, errno));
        result = replace ? rename(temp.c_str(), to.c_str()) : link(temp.c_str(), to.c_str());
        const int err = errno;
        if (!replace || result != 0) unlink(temp.c_str());
        if (result == 0) unlink(from.c_str());
        errno = err;
    }
    if (result != 0) {
        const int err = errno;
        return fail(err == EEXIST   ? ERROR_ALREADY_EXISTS
                    : err == EISDIR ? ERROR_ACCESS_DENIED
                                    : PathError(to, err));
    }
    if (flags & MOVEFILE_WRITE_THROUGH) {
        syncPath(to, S_ISDIR(st.st_mode));
        syncPath(parentOf(to), true);
    }
    return TRUE;
}

DWORD GetFileAttributesW(LPCWSTR path) {
    if (!path || !*path) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    const std::string name = PathToUtf8(path);
    struct stat st;
    if (stat(name.c_str(), &st) != 0) {
        SetLastError(PathError(name, errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
    if (faccessat(AT_FDCWD, name.c_str(), W_OK, AT_EACCESS) != 0 && (errno == EACCES || errno == EROFS))
        return FILE_ATTRIBUTE_READONLY;
    return FILE_ATTRIBUTE_NORMAL;
}

BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes) {
    if (!path || !*path) return fail(ERROR_PATH_NOT_FOUND);
    const std::string name = PathToUtf8(path);
    struct stat st;
    if (stat(name.c_str(), &st) != 0) return fail(PathError(name, errno));
    if (S_ISDIR(st.st_mode)) return TRUE;
    mode_t mode = st.st_mode & 07777;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        mode &= ~0222u;
    else if (!(mode & 0200))
        mode |= 0200;
    if (mode != (st.st_mode & 07777) && chmod(name.c_str(), mode) != 0) return fail(Win32FromErrno(errno));
    return TRUE;
}

DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* filePart) {
    if (filePart) *filePart = nullptr;
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    const std::string full = AbsolutePath(PathToUtf8(path));
    if (full.empty()) {
        SetLastError(Win32FromErrno(errno));
        return 0;
    }
    const std::u16string wide = ToUtf16(full);
    const DWORD result = CopyOutSized(wide, buffer, size);
    if (result < size && filePart && wide.back() != u'/') *filePart = buffer + wide.rfind(u'/') + 1;
    return result;
}

BOOL CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES* security) {
    if (!path || !*path) return fail(ERROR_PATH_NOT_FOUND);
    const std::string name = PathToUtf8(path);
    if (mkdir(name.c_str(), FileModeFromSecurity(security, 0777, true)) != 0) {
        const int err = errno;
        return fail(err == EEXIST   ? ERROR_ALREADY_EXISTS
                    : err == ENOENT ? ERROR_PATH_NOT_FOUND
                                    : PathError(name, err));
    }
    return TRUE;
}

DWORD GetTempPathW(DWORD size, LPWSTR buffer) {
    const char* tmp = getenv("TMPDIR");
    std::string folder = tmp && *tmp ? tmp : "/tmp";
    if (folder.back() != '/') folder += '/';
    return CopyOutSized(ToUtf16(folder), buffer, size);
}

UINT GetTempFileNameW(LPCWSTR folder, LPCWSTR prefix, UINT unique, LPWSTR buffer) {
    if (!folder || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string base = PathToUtf8(folder);
    if (!base.empty() && base.back() != '/') base += '/';
    std::u16string pre;
    for (size_t i = 0; prefix && prefix[i] && i < 3; ++i) pre += prefix[i];
    base += ToUtf8(pre);
    auto nameFor = [&](unsigned number) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%X", number & 0xFFFF);
        return base + digits + ".tmp";
    };
    auto copyOut = [&](const std::string& name) {
        const std::u16string wide = ToUtf16(name);
        if (wide.size() >= MAX_PATH) return false;
        wide.copy(buffer, wide.size());
        buffer[wide.size()] = 0;
        return true;
    };
    if (unique) {
        if (!copyOut(nameFor(unique))) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        return unique & 0xFFFF;
    }
    uint16_t start = 0;
    if (getrandom(&start, sizeof start, 0) != sizeof start) start = static_cast<uint16_t>(getpid());
    for (unsigned i = 0; i < 0xFFFF; ++i) {
        const unsigned number = (start + i) % 0xFFFF + 1;
        const std::string name = nameFor(number);
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) {
            SetLastError(PathError(name, errno));
            return 0;
        }
        close(fd);
        if (!copyOut(name)) {
            unlink(name.c_str());
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        return number;
    }
    SetLastError(ERROR_FILE_EXISTS);
    return 0;
}
