// Kernel object handles: closing them and the pseudo handles of the current process and thread.
// Files, mutexes, threads and access tokens are all closed with CloseHandle.
#pragma once

#include <vsk/platform/types.h>

// Standard access rights of every kind of object.
constexpr DWORD DELETE = 0x00010000;
constexpr DWORD STANDARD_RIGHTS_REQUIRED = 0x000F0000;
constexpr DWORD SYNCHRONIZE = 0x00100000;

// FALSE with ERROR_INVALID_HANDLE for a value that names no open object (event sources are closed
// with DeregisterEventSource). The pseudo handles need no closing and give TRUE.
BOOL CloseHandle(HANDLE handle);

// Pseudo handles as on the platform: -1 for the process (equal to INVALID_HANDLE_VALUE, so callers
// must not test it as a failure) and -2 for the thread.
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();
