#pragma once

#include <chrono>
#include <cstdint>

namespace tallyglass {

// A point in time, UTC, with microsecond resolution. Microseconds keep the full
// range of four-digit years inside 64 bits (nanoseconds would overflow in 2262),
// and transcripts never carry more than microsecond precision that we care about.
using Instant = std::chrono::sys_time<std::chrono::microseconds>;

// The system's wall clock: the default of every clock a test may replace.
inline Instant wallClockNow()
{
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

inline Instant instantFromUnixSeconds(double seconds)
{
    return Instant{std::chrono::microseconds{static_cast<std::int64_t>(seconds * 1'000'000.0)}};
}

inline Instant instantFromUnixMillis(std::int64_t millis)
{
    return Instant{std::chrono::milliseconds{millis}};
}

// Seconds from a to b (b - a) as a float, the unit in which window arithmetic is done.
inline double secondsBetween(Instant a, Instant b)
{
    return static_cast<double>((b - a).count()) / 1'000'000.0;
}

inline double unixSeconds(Instant t)
{
    return static_cast<double>(t.time_since_epoch().count()) / 1'000'000.0;
}

} // namespace tallyglass
