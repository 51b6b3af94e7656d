// Files and folders on the Linux file system with the platform's calls. Paths are UTF-16 texts in
// which "\" and "/" both separate folders; on disk "/" is the separator. Failures set the last error
// (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND when the folder is missing too, ERROR_ACCESS_DENIED,
// ERROR_SHARING_VIOLATION, ...) and success leaves it alone.
#pragma once

#include <vsk/platform/handle.h>
#include <vsk/platform/security.h>
#include <vsk/platform/types.h>

constexpr DWORD MAX_PATH = 260;

// Access rights.
constexpr DWORD FILE_READ_DATA = 0x0001;
constexpr DWORD FILE_WRITE_DATA = 0x0002;
constexpr DWORD FILE_APPEND_DATA = 0x0004;
constexpr DWORD FILE_READ_ATTRIBUTES = 0x0080;
constexpr DWORD FILE_WRITE_ATTRIBUTES = 0x0100;
constexpr DWORD GENERIC_ALL = 0x10000000;
constexpr DWORD GENERIC_EXECUTE = 0x20000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD GENERIC_READ = 0x80000000;

// Sharing. A handle that may write and does not share writing refuses every other writer, in this
// and in other processes (ERROR_SHARING_VIOLATION); readers are never refused.
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;

// Creation dispositions.
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

// Attributes.
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x0001;
constexpr DWORD FILE_ATTRIBUTE_HIDDEN = 0x0002;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x0010;
constexpr DWORD FILE_ATTRIBUTE_ARCHIVE = 0x0020;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x0080;
constexpr DWORD FILE_ATTRIBUTE_TEMPORARY = 0x0100;
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;

// Seek origins.
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

// MoveFileExW flags.
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
};

// Positioned reads and writes: the offset of the call, the handle's position left unchanged.
// Every transfer is synchronous.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};

// Opens or creates a file. Access: reading with GENERIC_READ, GENERIC_ALL or FILE_READ_DATA; writing
// with GENERIC_WRITE, GENERIC_ALL or FILE_WRITE_DATA; FILE_APPEND_DATA without FILE_WRITE_DATA writes
// at the end only; FILE_READ_ATTRIBUTES alone opens for GetFileSize and GetFileTime. A new file gets
// the mode that the security descriptor records (0666 less the umask without one). Folders cannot be
// opened (ERROR_ACCESS_DENIED); CREATE_NEW on an existing file gives ERROR_FILE_EXISTS.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                   DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile);
// The whole count unless the end of the file comes first; 0 bytes read at the end is success.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, DWORD* read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, DWORD* written, OVERLAPPED* overlapped);
// The low 32 bits (the high ones in *high when given); INVALID_FILE_SIZE on failure. A size whose low
// part is 0xFFFFFFFF sets the last error to 0, so callers can tell it from a failure.
DWORD GetFileSize(HANDLE file, DWORD* high);
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition, DWORD method);
// Creation (the file's birth time where the file system keeps one, else its change time), last
// access and last write times, UTC.
BOOL GetFileTime(HANDLE file, FILETIME* creation, FILETIME* lastAccess, FILETIME* lastWrite);
// Sets the last access and last write times (UTC) of a file opened for writing; a null time, or one
// of 0xFFFFFFFF in both halves, leaves that time as it is. The creation time cannot be set here and
// is ignored. ERROR_ACCESS_DENIED for a handle without write access.
BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess,
                 const FILETIME* lastWrite);

BOOL DeleteFileW(LPCWSTR path);
// Without MOVEFILE_REPLACE_EXISTING an existing target is refused with ERROR_ALREADY_EXISTS; with it
// the target is replaced atomically. MOVEFILE_COPY_ALLOWED moves across file systems by copying;
// MOVEFILE_WRITE_THROUGH returns only after the data and the folder entry are on disk.
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
// FILE_ATTRIBUTE_DIRECTORY for folders, FILE_ATTRIBUTE_READONLY for files the user cannot write,
// FILE_ATTRIBUTE_NORMAL otherwise; INVALID_FILE_ATTRIBUTES on failure.
DWORD GetFileAttributesW(LPCWSTR path);
// Only the read-only attribute has an effect (it clears or restores the write bits); the path must
// exist.
BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes);
// Lexical: the current folder is put before a relative path, "." and ".." are resolved and doubled
// separators collapsed; the disk is not consulted. Returns the length without NUL, or the size needed
// with NUL when the buffer is too small; 0 with ERROR_INVALID_NAME for an empty path. *filePart (when
// given) points at the last name in the buffer, or is null when the path ends in a separator.
DWORD GetFullPathNameW(LPCWSTR path, DWORD size, LPWSTR buffer, LPWSTR* filePart);
// ERROR_ALREADY_EXISTS when the path exists, ERROR_PATH_NOT_FOUND when its parent does not.
BOOL CreateDirectoryW(LPCWSTR path, SECURITY_ATTRIBUTES* security);
// $TMPDIR when set and not empty, else "/tmp", with a trailing "/". Returns the length without NUL,
// or the size needed with NUL when the buffer is too small.
DWORD GetTempPathW(DWORD size, LPWSTR buffer);
// With `unique` 0: creates a new empty file named folder + up to three characters of the prefix +
// four hexadecimal digits + ".tmp" and returns its number; otherwise only forms the name. The buffer
// holds MAX_PATH characters. 0 on failure.
UINT GetTempFileNameW(LPCWSTR folder, LPCWSTR prefix, UINT unique, LPWSTR buffer);
