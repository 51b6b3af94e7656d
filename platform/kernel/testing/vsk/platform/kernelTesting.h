// Test seams of the kernel: failures and a clock on demand. Only tests reach this header (target
// vsk_platform_kernel_testing); it is not installed.
#pragma once

#include <vsk/platform/kernel.h>

// The next `allocFailures` HeapAlloc/HeapReAlloc calls fail (return null, ERROR_NOT_ENOUGH_MEMORY),
// and the next `freeFailures` HeapFree calls fail with ERROR_INVALID_PARAMETER without freeing.
// Thread-local, so parallel tests do not disturb each other.
void HeapFailNext(int allocFailures, int freeFailures = 0);

// A fixed clock. A non-null value makes GetSystemTime, GetLocalTime and GetSystemTimeAsFileTime
// report that UTC time (local time = the same instant in the process's zone).
void SetClockOverride(const FILETIME* utc);

// Failures of the COM and WMI stand-ins: the next `times` calls of `call` on this thread fail with
// `hr` (times < 0: every call until cleared; 0 clears). A failing CoInitializeEx fails in both
// models, so two failures make both of a caller's attempts fail.
enum class ComCall {
    Initialize,
    CreateInstance,
    ProxyBlanket,
    ConnectServer,
    ExecQuery,
    Next,
    Get,
    GetNames
};
void ComFailNext(ComCall call, HRESULT hr, int times = 1);
void ComClearFailures();

// The folder under which the WMI stand-in reads /etc/os-release, /proc and /sys on this thread, so
// a test can give it files of its own; null or empty: the real root. What it takes from uname, the
// environment and the clock is not redirected.
void SetWmiSourceRoot(const char* root);
