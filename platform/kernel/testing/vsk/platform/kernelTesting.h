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
