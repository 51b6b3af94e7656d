#include <vsk/platform/kernel.h>
#include <vsk/platform/kernelTesting.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace {

constexpr uint64_t UnixEpoch = 116444736000000000ull;
constexpr uint64_t TicksPerSecond = 10000000ull;

SYSTEMTIME st(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0) {
    return SYSTEMTIME{y, mo, 0, d, h, mi, s, ms};
}

bool sameFields(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
           a.wMinute == b.wMinute && a.wSecond == b.wSecond && a.wMilliseconds == b.wMilliseconds;
}

// Puts the process into a fixed zone for one test and restores the clock and the zone afterwards.
class ZoneTest : public ::testing::Test {
protected:
    void useZone(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }
    void TearDown() override {
        SetClockOverride(nullptr);
        if (m_saved)
            setenv("TZ", m_saved->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> m_saved =
        std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
};

}  // namespace

TEST(Time, SystemTimeRowsConvertOrAreRefused) {
    const struct {
        SYSTEMTIME time;
        std::optional<uint64_t> ticks;
        WORD dayOfWeek;
    } rows[] = {
        {st(1601, 1, 1), 0, 1},
        {st(1970, 1, 1), UnixEpoch, 4},
        {st(2024, 2, 29, 12, 30, 15, 250), UnixEpoch + (1709209815ull * 1000 + 250) * 10000, 4},
        {st(30827, 12, 31, 23, 59, 59, 999), 9223149887999990000ull, 5},
        {st(1600, 12, 31, 23, 59, 59), std::nullopt, 0},
        {st(30828, 1, 1), std::nullopt, 0},
        {st(2023, 2, 29), std::nullopt, 0},
        {st(2024, 4, 31), std::nullopt, 0},
        {st(2024, 0, 1), std::nullopt, 0},
        {st(2024, 13, 1), std::nullopt, 0},
        {st(2024, 1, 0), std::nullopt, 0},
        {st(2024, 1, 1, 24), std::nullopt, 0},
        {st(2024, 1, 1, 0, 60), std::nullopt, 0},
        {st(2024, 1, 1, 0, 0, 60), std::nullopt, 0},
        {st(2024, 1, 1, 0, 0, 0, 1000), std::nullopt, 0},
    };
    for (const auto& row : rows) {
        FILETIME ft{};
        SetLastError(0);
        const BOOL ok = SystemTimeToFileTime(&row.time, &ft);
        const std::string name = std::to_string(row.time.wYear) + "-" + std::to_string(row.time.wMonth) +
                                 "-" + std::to_string(row.time.wDay) + " " + std::to_string(row.time.wHour);
        if (!row.ticks) {
            EXPECT_FALSE(ok) << name;
            EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << name;
            continue;
        }
        ASSERT_TRUE(ok) << name;
        EXPECT_EQ(FileTimeToU64(ft), *row.ticks) << name;
        SYSTEMTIME back{};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &back)) << name;
        EXPECT_TRUE(sameFields(back, row.time)) << name;
        EXPECT_EQ(back.wDayOfWeek, row.dayOfWeek) << name;
    }
}

TEST(Time, FileTimesFromTwoToTheSixtyThreeAreRefused) {
    SYSTEMTIME out{};
    FILETIME last = U64ToFileTime((1ull << 63) - 1);
    EXPECT_TRUE(FileTimeToSystemTime(&last, &out));
    EXPECT_EQ(out.wYear, 30828);
    for (uint64_t ticks : {1ull << 63, ~0ull}) {
        FILETIME ft = U64ToFileTime(ticks);
        SetLastError(0);
        EXPECT_FALSE(FileTimeToSystemTime(&ft, &out));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_FALSE(FileTimeToLocalFileTime(&ft, &ft));
    }
}

TEST_F(ZoneTest, ClockOverrideAndLocalTime) {
    useZone("MSK-3");
    const FILETIME fixed =
        U64ToFileTime(UnixEpoch + 1709209815ull * TicksPerSecond + 2500000);  // 2024-02-29 12:30:15.250 UTC
    SetClockOverride(&fixed);

    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    EXPECT_EQ(FileTimeToU64(now), FileTimeToU64(fixed));
    SYSTEMTIME utc{}, local{};
    GetSystemTime(&utc);
    EXPECT_TRUE(sameFields(utc, st(2024, 2, 29, 12, 30, 15, 250)));
    GetLocalTime(&local);
    EXPECT_TRUE(sameFields(local, st(2024, 2, 29, 15, 30, 15, 250)));
    EXPECT_EQ(local.wDayOfWeek, 4);

    SYSTEMTIME converted{};
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &utc, &converted));
    EXPECT_TRUE(sameFields(converted, local));
    SYSTEMTIME invalid = st(2024, 2, 30);
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(nullptr, &invalid, &converted));

    SetClockOverride(nullptr);
    GetSystemTimeAsFileTime(&now);
    const uint64_t real = UnixEpoch + static_cast<uint64_t>(std::time(nullptr)) * TicksPerSecond;
    EXPECT_LT(FileTimeToU64(now) > real ? FileTimeToU64(now) - real : real - FileTimeToU64(now),
              5 * TicksPerSecond);
}

TEST_F(ZoneTest, LocalFileTimeUsesTheOffsetOfThatInstant) {
    useZone("CET-1CEST,M3.5.0,M10.5.0/3");
    const struct {
        SYSTEMTIME utc;
        SYSTEMTIME local;
    } rows[] = {
        {st(2024, 1, 15, 12), st(2024, 1, 15, 13)},
        {st(2024, 7, 15, 12), st(2024, 7, 15, 14)},
        {st(2024, 12, 31, 23, 30), st(2025, 1, 1, 0, 30)},
    };
    for (const auto& row : rows) {
        FILETIME utc{}, local{};
        ASSERT_TRUE(SystemTimeToFileTime(&row.utc, &utc));
        ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
        SYSTEMTIME fields{};
        ASSERT_TRUE(FileTimeToSystemTime(&local, &fields));
        EXPECT_TRUE(sameFields(fields, row.local)) << row.utc.wMonth;
    }
}
