#include <vsk/platform/kernel.h>

#include <locale.h>
#include <cerrno>
#include <clocale>
#include <cstring>

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;
thread_local int t_crtErrno = 0;

// Room for the longest C library error text; longer texts are cut.
constexpr size_t CrtErrorTextChars = 256;

// The C locale as an object of its own: the texts stay English even after a caller (Qt, for one)
// has switched the process locale.
locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

}  // namespace

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD code) {
    t_lastError = code;
}

DWORD Win32FromErrno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EWOULDBLOCK:
            return ERROR_SHARING_VIOLATION;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EMFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ETIMEDOUT:
            return ERROR_TIMEOUT;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EPIPE:
            return ERROR_BROKEN_PIPE;
        case ENOTSUP:
            return ERROR_NOT_SUPPORTED;
        default:
            return ERROR_GEN_FAILURE;
    }
}

int& CrtErrno() {
    return t_crtErrno;
}

const WCHAR* CrtErrorText(int err) {
    thread_local WCHAR text[CrtErrorTextChars];
    const char* narrow = cLocale() ? strerror_l(err, cLocale()) : nullptr;
    if (!narrow) narrow = "Unknown error";
    size_t i = 0;
    for (; narrow[i] && i + 1 < CrtErrorTextChars; ++i) text[i] = static_cast<unsigned char>(narrow[i]);
    text[i] = 0;
    return text;
}
