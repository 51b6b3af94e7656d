// Starting another program: CreateProcessW on posix_spawn.
#pragma once

#include <vsk/platform/security.h>
#include <vsk/platform/types.h>

constexpr DWORD NORMAL_PRIORITY_CLASS = 0x20;

struct STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

// Starts a program. The program is `application` when given (the command line then gives only the
// arguments after its first word), else the command line's first word: a quoted text, or, unquoted,
// the whole command line when it names an existing file (a path with blanks needs no quotes), else
// the text up to the first blank. The remaining words, separated by blanks, are the arguments.
// `environment` null: the current environment (a block of its own is not supported:
// ERROR_INVALID_PARAMETER); `folder` null: the current folder. The new program gets the standard
// input, output and error of this process and no other descriptor, whatever `inheritHandles` says;
// the security attributes, creation flags and start-up record are accepted and not used.
// This platform keeps no process objects: both handles of `information` are null and the thread
// identifier 0; the process identifier is the new process's. The process is waited for in the
// background when it ends, so it leaves no zombie. Failures: ERROR_FILE_NOT_FOUND (no such program),
// ERROR_ACCESS_DENIED (not executable), ERROR_BAD_EXE_FORMAT, ERROR_INVALID_PARAMETER (no program).
BOOL CreateProcessW(LPCWSTR application, LPWSTR commandLine, SECURITY_ATTRIBUTES* processAttributes,
                    SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCWSTR folder, STARTUPINFOW* startupInfo,
                    PROCESS_INFORMATION* information);
