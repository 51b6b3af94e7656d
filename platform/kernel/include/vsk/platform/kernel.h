// The kernel part of the platform layer: last error, system texts, the process heap, locks,
// thread ids, code pages, case folding, random numbers and time. Implemented on Linux; no Qt,
// no OpenSSL.
#pragma once

#include <vsk/platform/types.h>

#include <pthread.h>
#include <atomic>

// ---- Last error ----------------------------------------------------------------------------------

DWORD GetLastError();
void SetLastError(DWORD code);

// Maps an errno value to the Win32 code the callers expect (ENOENT -> 2, EACCES -> 5, ...).
DWORD Win32FromErrno(int err);

// The C run-time's error number as the library reads it. Only our own stand-ins of C run-time calls
// (rand_s and the like) set it; glibc's errno is never read here, since it keeps stray values after
// successful calls.
int& CrtErrno();
// The text of a C run-time error number (English, as the C locale gives it), UTF-16, NUL-terminated
// in a thread-local buffer.
const WCHAR* CrtErrorText(int err);

// ---- System texts ----------------------------------------------------------------------------------

// Flags as on Windows: FORMAT_MESSAGE_ALLOCATE_BUFFER makes *buffer (passed as LPWSTR cast of
// LPWSTR*) a LocalAlloc'ed text; FORMAT_MESSAGE_FROM_SYSTEM reads our table of Russian texts;
// FORMAT_MESSAGE_FROM_HMODULE with a module handle reads that module's table (the WinHTTP section,
// once the HTTP stand-in is bound). Returns the number of characters, 0 with ERROR_MR_MID_NOT_FOUND
// (317) when no text exists. A non-zero max-width mask gives one line: no trailing line break.
// Texts come only from the tables (FORMAT_MESSAGE_FROM_STRING fails with ERROR_INVALID_PARAMETER), and a
// text with inserts (%1) needs FORMAT_MESSAGE_IGNORE_INSERTS.
DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, void* arguments);
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalFree(HLOCAL mem);
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;

// The module handle that FormatMessageW accepts as the WinHTTP message table. Null until the HTTP
// stand-in registers itself (SetWinHttpMessageModule).
HMODULE WinHttpMessageModule();
void SetWinHttpMessageModule(HMODULE module);

// ---- Process heap and global memory ------------------------------------------------------------------

HANDLE GetProcessHeap();
// Blocks carry a size header, so HeapSize returns exactly the size that was asked for.
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID mem, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID mem);
SIZE_T HeapSize(HANDLE heap, DWORD flags, LPCVOID mem);
constexpr DWORD HEAP_ZERO_MEMORY = 0x00000008;

HGLOBAL GlobalAlloc(UINT flags, SIZE_T bytes);
// Null on success, the handle itself on failure (as on Windows).
HGLOBAL GlobalFree(HGLOBAL mem);
constexpr UINT GMEM_FIXED = 0x0000;
constexpr UINT GMEM_ZEROINIT = 0x0040;
constexpr UINT LMEM_FIXED = 0x0000;
constexpr UINT LMEM_ZEROINIT = 0x0040;

// ---- Locks and ids ------------------------------------------------------------------------------------

struct CRITICAL_SECTION {
    pthread_mutex_t mutex;
};
void InitializeCriticalSection(CRITICAL_SECTION* cs);
void DeleteCriticalSection(CRITICAL_SECTION* cs);
void EnterCriticalSection(CRITICAL_SECTION* cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs);

// Never 0.
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();

// ---- Code pages ---------------------------------------------------------------------------------------

// The conversions take no flags; any other value fails with this code.
constexpr DWORD ERROR_INVALID_FLAGS = 1004;

// Code pages 1251, 866, 1252, 65001 and CP_ACP (= 1251). The platform's rules: a null buffer or a
// size of 0 asks for the size; a length of -1 means NUL-terminated and the count then includes the
// NUL; otherwise no NUL is counted or written. Unmappable characters become '?'; invalid UTF-8 becomes
// U+FFFD; an unknown code page fails with ERROR_INVALID_PARAMETER, a small buffer with
// ERROR_INSUFFICIENT_BUFFER. Returns 0 on failure.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR buffer, int size);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR buffer, int size,
                        LPCSTR defaultChar, BOOL* usedDefaultChar);
// The statistical test of the platform: does the buffer look like UTF-16 text? `result` may hold the
// tests asked for on input and receives the tests that passed.
BOOL IsTextUnicode(const void* buffer, int bytes, int* result);

// ---- Character and string helpers on UTF-16 ----------------------------------------------------------

// Case folding by Unicode tables without any process locale (Cyrillic and Ё/ё included). Surrogates
// are left alone.
WCHAR towupper16(WCHAR ch);
WCHAR towlower16(WCHAR ch);
// 8-bit case folding in code page 1251.
char toupper1251(char ch);
char tolower1251(char ch);

size_t wcslen16(const WCHAR* s);
// The C run-time's comparisons: they stop at a NUL.
int wcsncmp16(const WCHAR* a, const WCHAR* b, size_t n);
int wcsnicmp16(const WCHAR* a, const WCHAR* b, size_t n);
int strnicmp1251(const char* a, const char* b, size_t n);
const WCHAR* wcsstr16(const WCHAR* haystack, const WCHAR* needle);
// In place over `size` characters (the text ends at its NUL); return 0, or EINVAL when the buffer
// holds no NUL within `size`.
int wcslwr_s16(WCHAR* s, size_t size);
int wcsupr_s16(WCHAR* s, size_t size);

// ---- Random numbers ------------------------------------------------------------------------------------

// 0 on success; otherwise an errno value, also stored in CrtErrno() and as the last error.
int rand_s(unsigned int* value);

// ---- Time ------------------------------------------------------------------------------------------------

void GetSystemTime(SYSTEMTIME* time);
void GetLocalTime(SYSTEMTIME* time);
void GetSystemTimeAsFileTime(FILETIME* time);
// Validation as on Windows: months 1-12, days within the month, hours < 24, minutes and seconds < 60,
// milliseconds < 1000, years 1601-30827; FALSE with ERROR_INVALID_PARAMETER otherwise.
BOOL SystemTimeToFileTime(const SYSTEMTIME* time, FILETIME* out);
// FALSE with ERROR_INVALID_PARAMETER for values of 2^63 and more.
BOOL FileTimeToSystemTime(const FILETIME* time, SYSTEMTIME* out);
BOOL FileTimeToLocalFileTime(const FILETIME* time, FILETIME* out);
BOOL SystemTimeToTzSpecificLocalTime(const void* zone, const SYSTEMTIME* utc, SYSTEMTIME* local);

inline uint64_t FileTimeToU64(const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}
inline FILETIME U64ToFileTime(uint64_t v) {
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}
