#include "calendar.h"

#include <vsk/platform/kernel.h>
#include <vsk/platform/kernelTesting.h>

#include <atomic>
#include <cstring>
#include <ctime>

using namespace vsk::kernel;

namespace {

constexpr uint64_t TicksPerMillisecond = 10'000;
constexpr uint64_t TicksPerSecond = 10'000'000;
constexpr uint64_t TicksPerDay = 86'400 * TicksPerSecond;
// 1970-01-01 in FILETIME ticks.
constexpr uint64_t UnixEpochTicks = 116'444'736'000'000'000;
// FILETIME values from 2^63 on are refused, as the platform does.
constexpr uint64_t FirstInvalidTicks = uint64_t(1) << 63;
constexpr int64_t DaysTo1970 = 134'774;
constexpr WORD FirstYear = 1601;
constexpr WORD LastYear = 30827;

constexpr uint64_t NoOverride = ~uint64_t(0);
std::atomic<uint64_t> g_clockOverride{NoOverride};

bool fail() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}

uint64_t nowTicks() {
    const uint64_t fixed = g_clockOverride.load();
    if (fixed != NoOverride) return fixed;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return UnixEpochTicks + static_cast<uint64_t>(now.tv_sec) * TicksPerSecond +
           static_cast<uint64_t>(now.tv_nsec) / 100;
}

// For ticks below 2^63.
SYSTEMTIME systemTimeOf(uint64_t ticks) {
    const int64_t days = static_cast<int64_t>(ticks / TicksPerDay) - DaysTo1970;
    const uint64_t inDay = ticks % TicksPerDay;
    const CivilDate date = CivilFromDays(days);
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(date.year);
    st.wMonth = static_cast<WORD>(date.month);
    st.wDay = static_cast<WORD>(date.day);
    st.wDayOfWeek = static_cast<WORD>(DayOfWeek(days));
    st.wHour = static_cast<WORD>(inDay / (3600 * TicksPerSecond));
    st.wMinute = static_cast<WORD>(inDay / (60 * TicksPerSecond) % 60);
    st.wSecond = static_cast<WORD>(inDay / TicksPerSecond % 60);
    st.wMilliseconds = static_cast<WORD>(inDay / TicksPerMillisecond % 1000);
    return st;
}

bool isValid(const SYSTEMTIME& st) {
    return st.wYear >= FirstYear && st.wYear <= LastYear && st.wMonth >= 1 && st.wMonth <= 12 &&
           st.wDay >= 1 && st.wDay <= DaysInMonth(st.wYear, st.wMonth) && st.wHour < 24 && st.wMinute < 60 &&
           st.wSecond < 60 && st.wMilliseconds < 1000;
}

uint64_t ticksOf(const SYSTEMTIME& st) {
    const uint64_t days = static_cast<uint64_t>(DaysFromCivil(st.wYear, st.wMonth, st.wDay) + DaysTo1970);
    const uint64_t seconds = (days * 24 + st.wHour) * 3600 + st.wMinute * 60u + st.wSecond;
    return seconds * TicksPerSecond + st.wMilliseconds * TicksPerMillisecond;
}

// The same instant in the process's time zone, and that zone's offset from UTC at that instant.
bool localOf(uint64_t ticks, SYSTEMTIME& local, int64_t& offsetSeconds) {
    const int64_t sinceEpoch = static_cast<int64_t>(ticks) - static_cast<int64_t>(UnixEpochTicks);
    const time_t seconds = static_cast<time_t>(FloorDiv(sinceEpoch, TicksPerSecond));
    tm parts{};
    if (!localtime_r(&seconds, &parts)) return false;
    local.wYear = static_cast<WORD>(parts.tm_year + 1900);
    local.wMonth = static_cast<WORD>(parts.tm_mon + 1);
    local.wDay = static_cast<WORD>(parts.tm_mday);
    local.wDayOfWeek = static_cast<WORD>(parts.tm_wday);
    local.wHour = static_cast<WORD>(parts.tm_hour);
    local.wMinute = static_cast<WORD>(parts.tm_min);
    local.wSecond = static_cast<WORD>(parts.tm_sec);
    local.wMilliseconds = static_cast<WORD>(ticks % TicksPerSecond / TicksPerMillisecond);
    offsetSeconds = parts.tm_gmtoff;
    return true;
}

}  // namespace

void GetSystemTime(SYSTEMTIME* time) {
    const uint64_t ticks = nowTicks();
    *time = ticks < FirstInvalidTicks ? systemTimeOf(ticks) : SYSTEMTIME{};
}

void GetLocalTime(SYSTEMTIME* time) {
    int64_t offset;
    const uint64_t ticks = nowTicks();
    if (ticks >= FirstInvalidTicks || !localOf(ticks, *time, offset)) *time = SYSTEMTIME{};
}

void GetSystemTimeAsFileTime(FILETIME* time) {
    *time = U64ToFileTime(nowTicks());
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* time, FILETIME* out) {
    if (!time || !out || !isValid(*time)) return fail();
    *out = U64ToFileTime(ticksOf(*time));
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* time, SYSTEMTIME* out) {
    if (!time || !out || FileTimeToU64(*time) >= FirstInvalidTicks) return fail();
    *out = systemTimeOf(FileTimeToU64(*time));
    return TRUE;
}

// The offset of the zone at the instant itself, not today's, so summer and winter times come out
// right for any date.
BOOL FileTimeToLocalFileTime(const FILETIME* time, FILETIME* out) {
    if (!time || !out || FileTimeToU64(*time) >= FirstInvalidTicks) return fail();
    const uint64_t ticks = FileTimeToU64(*time);
    SYSTEMTIME local;
    int64_t offset;
    if (!localOf(ticks, local, offset)) return fail();
    const int64_t shifted = static_cast<int64_t>(ticks) + offset * static_cast<int64_t>(TicksPerSecond);
    if (shifted < 0 || static_cast<uint64_t>(shifted) >= FirstInvalidTicks) return fail();
    *out = U64ToFileTime(static_cast<uint64_t>(shifted));
    return TRUE;
}

// Only the process's own zone is known (a null zone).
BOOL SystemTimeToTzSpecificLocalTime(const void* zone, const SYSTEMTIME* utc, SYSTEMTIME* local) {
    if (zone || !utc || !local || !isValid(*utc)) return fail();
    int64_t offset;
    SYSTEMTIME result;
    if (!localOf(ticksOf(*utc), result, offset)) return fail();
    *local = result;
    return TRUE;
}

void SetClockOverride(const FILETIME* utc) {
    g_clockOverride.store(utc ? FileTimeToU64(*utc) : NoOverride);
}
