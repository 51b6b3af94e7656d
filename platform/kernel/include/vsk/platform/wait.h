// Waitable objects: mutexes (a named one excludes the user's other processes too), threads, and the
// waits on them with the platform's results.
#pragma once

#include <vsk/platform/handle.h>
#include <vsk/platform/security.h>
#include <vsk/platform/types.h>

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED = 0x00000080;
constexpr DWORD WAIT_ABANDONED_0 = 0x00000080;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

constexpr DWORD ERROR_NOT_OWNER = 288;
constexpr DWORD MUTEX_MODIFY_STATE = 0x0001;
constexpr DWORD MUTEX_ALL_ACCESS = 0x001F0001;

// Mutexes: recursive, owned by a thread; a thread that ends while owning one leaves it abandoned, and
// the next wait that acquires it returns WAIT_ABANDONED. A named mutex is one object for all handles of
// the process and is also held across the user's processes by flock on a lock file named after it
// ($XDG_RUNTIME_DIR, else the user's state folder, else /tmp/kestrovan-<uid>). Opening a name that
// neither this process nor any other has created (no lock file) gives ERROR_FILE_NOT_FOUND; lock
// files stay after their processes end, so a name once created stays openable. Only a handle with
// SYNCHRONIZE can be waited on (MUTEX_MODIFY_STATE alone fails with ERROR_ACCESS_DENIED).
HANDLE CreateMutexW(SECURITY_ATTRIBUTES* security, BOOL initialOwner, LPCWSTR name);
HANDLE OpenMutexW(DWORD access, BOOL inheritHandle, LPCWSTR name);
// FALSE with ERROR_NOT_OWNER when the calling thread does not own it.
BOOL ReleaseMutex(HANDLE mutex);

// Threads: the handle is signalled when the thread's function has returned. *threadId receives the id
// that GetCurrentThreadId gives inside the thread. CREATE_SUSPENDED is not supported.
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);
constexpr DWORD CREATE_SUSPENDED = 0x00000004;
constexpr DWORD THREAD_ALL_ACCESS = 0x001FFFFF;
constexpr DWORD STILL_ACTIVE = 259;
HANDLE CreateThread(SECURITY_ATTRIBUTES* security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, DWORD* threadId);
// STILL_ACTIVE while the thread runs, then its function's result.
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
// CPU times of the calling thread (GetCurrentThread(), or a handle of the calling thread), as
// durations in 100 ns units: kernel and user time. Creation and exit times are not kept (0).
// ERROR_NOT_SUPPORTED for another thread.
BOOL GetThreadTimes(HANDLE thread, FILETIME* creation, FILETIME* exit, FILETIME* kernel, FILETIME* user);

// WAIT_OBJECT_0 (+ index), WAIT_ABANDONED_0 (+ index), WAIT_TIMEOUT, or WAIT_FAILED with the last error
// (ERROR_INVALID_HANDLE for a handle that cannot be waited on, ERROR_ACCESS_DENIED without SYNCHRONIZE,
// ERROR_INVALID_PARAMETER for 0 or more than MAXIMUM_WAIT_OBJECTS handles or one object named twice).
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

void Sleep(DWORD milliseconds);
