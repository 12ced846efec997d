#include "core/UtcCalendar.h"

namespace tallyglass::UtcCalendar {

namespace {

constexpr std::int64_t microsPerDay = 86'400LL * 1'000'000LL;
constexpr std::int64_t microsPerHour = 3'600LL * 1'000'000LL;

std::int64_t floorDiv(std::int64_t a, std::int64_t b)
{
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

} // namespace

// Howard Hinnant's days_from_civil / civil_from_days: exact for the proleptic
// Gregorian calendar, no tables, no time zone.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = floorDiv(year, 400);
    const auto yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

CivilDate civilFromDays(std::int64_t days)
{
    days += 719468;
    const std::int64_t era = floorDiv(days, 146097);
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

bool isValidDate(std::int64_t year, unsigned month, unsigned day)
{
    if (month < 1 || month > 12 || day < 1)
        return false;
    static constexpr unsigned lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const unsigned length = (month == 2 && leap) ? 29 : lengths[month - 1];
    return day <= length;
}

std::int64_t dayNumber(Instant t)
{
    return floorDiv(t.time_since_epoch().count(), microsPerDay);
}

Instant startOfDay(Instant t)
{
    return Instant{std::chrono::microseconds{dayNumber(t) * microsPerDay}};
}

int hourOfDay(Instant t)
{
    const std::int64_t intoDay = t.time_since_epoch().count() - dayNumber(t) * microsPerDay;
    return static_cast<int>(intoDay / microsPerHour);
}

Instant addDays(Instant t, std::int64_t n)
{
    return t + std::chrono::microseconds{n * microsPerDay};
}

} // namespace tallyglass::UtcCalendar
