#include "core/DayClock.h"

#include "core/IsoTime.h"
#include "core/UtcCalendar.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace tallyglass {

namespace {

std::time_t seconds(Instant t)
{
    return static_cast<std::time_t>(std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count());
}

Instant fromSeconds(std::time_t s)
{
    return Instant{std::chrono::seconds(s)};
}

std::tm localParts(Instant t)
{
    const std::time_t s = seconds(t);
    std::tm parts{};
    ::localtime_r(&s, &parts);
    return parts;
}

// Local midnight of a calendar date. On the rare day that skips midnight (the
// clocks jump from 23:59 to 01:00), mktime gives the first moment that exists;
// where midnight comes twice (the clocks go back from 01:00 to 00:00), mktime
// may give either, and the first is the day's start.
Instant localMidnight(int year, int month, int day)
{
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day; // mktime carries an out-of-range day into the next month
    parts.tm_isdst = -1;
    const std::time_t found = std::mktime(&parts);
    const std::time_t hourBefore = found - 3600;
    std::tm earlier{};
    ::localtime_r(&hourBefore, &earlier);
    if (earlier.tm_year == parts.tm_year && earlier.tm_mon == parts.tm_mon && earlier.tm_mday == parts.tm_mday && earlier.tm_hour == 0
        && earlier.tm_min == 0)
        return fromSeconds(hourBefore);
    return fromSeconds(found);
}

} // namespace

DayClock DayClock::utc()
{
    return DayClock(false);
}

DayClock DayClock::local()
{
    ::tzset();
    return DayClock(true);
}

DayClock DayClock::zone(const std::string& name)
{
    ::setenv("TZ", name.c_str(), 1);
    ::tzset();
    return DayClock(true, name);
}

std::string DayClock::zoneName() const
{
    return !local_ ? "UTC" : zone_.empty() ? "local" : zone_;
}

Instant DayClock::startOfDay(Instant t) const
{
    if (!local_)
        return UtcCalendar::startOfDay(t);
    const std::tm parts = localParts(t);
    return localMidnight(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday);
}

Instant DayClock::nextDay(Instant dayStart) const
{
    if (!local_)
        return UtcCalendar::addDays(UtcCalendar::startOfDay(dayStart), 1);
    const std::tm parts = localParts(dayStart);
    return localMidnight(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday + 1);
}

Instant DayClock::addDays(Instant t, long long n) const
{
    if (!local_)
        return UtcCalendar::addDays(UtcCalendar::startOfDay(t), n);
    const std::tm parts = localParts(t);
    return localMidnight(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday + static_cast<int>(n));
}

int DayClock::hourOfDay(Instant t) const
{
    return local_ ? localParts(t).tm_hour : UtcCalendar::hourOfDay(t);
}

std::string DayClock::dayKey(Instant t) const
{
    int year = 0;
    unsigned month = 0;
    unsigned day = 0;
    if (local_) {
        const std::tm parts = localParts(t);
        year = parts.tm_year + 1900;
        month = static_cast<unsigned>(parts.tm_mon + 1);
        day = static_cast<unsigned>(parts.tm_mday);
    } else {
        const auto date = UtcCalendar::civilFromDays(UtcCalendar::dayNumber(t));
        year = static_cast<int>(date.year);
        month = date.month;
        day = date.day;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", year, month, day);
    return text;
}

std::string DayClock::minute(Instant t) const
{
    if (!local_) {
        const std::string text = IsoTime::formatSeconds(t);
        return text.substr(0, 10) + " " + text.substr(11, 5);
    }
    const std::tm parts = localParts(t);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                  parts.tm_min);
    return text;
}

Instant DayClock::dateStart(int year, unsigned month, unsigned day) const
{
    if (!local_)
        return Instant(std::chrono::hours(24) * UtcCalendar::daysFromCivil(year, month, day));
    return localMidnight(year, static_cast<int>(month), static_cast<int>(day));
}

std::chrono::seconds DayClock::offsetAt(Instant t)
{
    return std::chrono::seconds(localParts(t).tm_gmtoff);
}

DayLocator::Place DayLocator::operator()(Instant t)
{
    if (!clock_.isLocal())
        return {UtcCalendar::dayNumber(t), UtcCalendar::hourOfDay(t)};
    if (t >= from_ && t < to_)
        return known_;
    const std::time_t s = seconds(t);
    std::tm parts{};
    ::localtime_r(&s, &parts);
    known_ = {UtcCalendar::daysFromCivil(parts.tm_year + 1900, static_cast<unsigned>(parts.tm_mon + 1), static_cast<unsigned>(parts.tm_mday)),
              parts.tm_hour};
    // The wall-clock hour is a whole UTC hour long unless the offset changes
    // within it (some zones move their clocks by half an hour); then only
    // this second is kept.
    const std::time_t hourStart = s - parts.tm_min * 60 - parts.tm_sec;
    std::tm first{};
    std::tm last{};
    const std::time_t hourLast = hourStart + 3599;
    ::localtime_r(&hourStart, &first);
    ::localtime_r(&hourLast, &last);
    const bool steady = first.tm_gmtoff == parts.tm_gmtoff && last.tm_gmtoff == parts.tm_gmtoff;
    from_ = fromSeconds(steady ? hourStart : s);
    to_ = fromSeconds(steady ? hourStart + 3600 : s + 1);
    return known_;
}

Instant DayLocator::dayStart(std::int64_t day) const
{
    const auto date = UtcCalendar::civilFromDays(day);
    return clock_.dateStart(static_cast<int>(date.year), date.month, date.day);
}

} // namespace tallyglass
