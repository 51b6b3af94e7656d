// Proleptic Gregorian calendar arithmetic shared by the FILETIME and DATE conversions.
#pragma once

#include <cstdint>

namespace vsk::kernel {

// Days from 1970-01-01 to the given date (negative before it).
constexpr int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

struct CivilDate {
    int64_t year;
    unsigned month;
    unsigned day;
};

constexpr CivilDate CivilFromDays(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned mp = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2), month, day};
}

// 0 = Sunday, as SYSTEMTIME counts; 1970-01-01 was a Thursday.
constexpr unsigned DayOfWeek(int64_t daysFrom1970) {
    const int64_t d = (daysFrom1970 + 4) % 7;
    return static_cast<unsigned>(d < 0 ? d + 7 : d);
}

constexpr bool IsLeapYear(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr unsigned DaysInMonth(int64_t year, unsigned month) {
    constexpr unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

constexpr int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

static_assert(DaysFromCivil(1970, 1, 1) == 0);
static_assert(DaysFromCivil(1601, 1, 1) == -134774);
static_assert(DaysFromCivil(1899, 12, 30) == -25569);
static_assert(DayOfWeek(DaysFromCivil(1601, 1, 1)) == 1);

}  // namespace vsk::kernel
