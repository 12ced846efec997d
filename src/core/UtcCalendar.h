#pragma once

#include "core/Instant.h"

#include <cstdint>

namespace tallyglass::UtcCalendar {

// Gregorian calendar arithmetic in UTC. None of it consults the process time zone.

struct CivilDate {
    std::int64_t year;
    unsigned month; // 1...12
    unsigned day;   // 1...31
    bool operator==(const CivilDate&) const = default;
};

std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day);
CivilDate civilFromDays(std::int64_t days);
bool isValidDate(std::int64_t year, unsigned month, unsigned day);

// Midnight UTC at the start of the day that holds t.
Instant startOfDay(Instant t);
// The UTC hour of t, 0...23.
int hourOfDay(Instant t);
// t moved by n calendar days (a UTC day always has 86,400 seconds).
Instant addDays(Instant t, std::int64_t n);
// Whole days since 1970-01-01, rounded toward the past.
std::int64_t dayNumber(Instant t);

} // namespace tallyglass::UtcCalendar
