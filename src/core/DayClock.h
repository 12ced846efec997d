#pragma once

#include "core/Instant.h"

#include <cstdint>
#include <string>
#include <utility>

namespace tallyglass {

// How moments fall into days and hours: UTC days, or the days of the local
// time zone, where a day on which the clocks change has 23 or 25 hours. Every
// moment falls into exactly one day either way.
class DayClock {
public:
    static DayClock utc();
    // The process's zone ($TZ, else the system's).
    static DayClock local();
    // A named zone ("Asia/Kolkata", as ZoneNames::isKnown accepts it). The C
    // library is the only zone database this toolchain has, and it knows one
    // zone at a time: this makes `name` the process's zone from now on, as a
    // command that reports in one zone wants.
    static DayClock zone(const std::string& name);

    bool isLocal() const { return local_; }
    // "UTC", "local" (the process's zone as found) or the zone's name.
    std::string zoneName() const;
    // Midnight at the start of the day that holds t.
    Instant startOfDay(Instant t) const;
    // Midnight at the start of the next day (dayStart: a startOfDay()).
    Instant nextDay(Instant dayStart) const;
    // The day `n` days after (n < 0: before) the one that holds t, at its start.
    Instant addDays(Instant t, long long n) const;
    // The wall-clock hour of t, 0...23.
    int hourOfDay(Instant t) const;
    // "2026-12-06": the date of the day that holds t.
    std::string dayKey(Instant t) const;
    // "2026-12-06 14:32": the wall-clock time of t.
    std::string minute(Instant t) const;
    // The start of a calendar date's day.
    Instant dateStart(int year, unsigned month, unsigned day) const;
    // The local zone's offset from UTC at t (daylight-saving time moves it).
    static std::chrono::seconds offsetAt(Instant t);

private:
    explicit DayClock(bool local, std::string zone = {})
        : local_(local)
        , zone_(std::move(zone))
    {
    }
    bool local_;
    std::string zone_; // empty: UTC, or the zone the process found
};

// The day and wall-clock hour of many moments close together in time. The
// local zone's answer is kept for the hour it holds, since asking the C
// library costs about a microsecond and a year of history has a million
// messages.
class DayLocator {
public:
    explicit DayLocator(DayClock clock)
        : clock_(clock)
    {
    }

    struct Place {
        std::int64_t day = 0; // the calendar date, as days since 1970-01-01
        int hour = 0;         // wall-clock hour, 0...23
    };
    Place operator()(Instant t);
    // The start of a day numbered as Place::day numbers it.
    Instant dayStart(std::int64_t day) const;

private:
    DayClock clock_;
    Instant from_ = Instant::max(); // the moments [from_, to_) share `known_`
    Instant to_ = Instant::min();
    Place known_;
};

} // namespace tallyglass
