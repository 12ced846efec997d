#pragma once

#include "core/Instant.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>

namespace tallyglass::Bounds {

// What a stored figure may be. A count beyond these comes from a damaged or
// hostile line, never from a real request; holding every count to them keeps
// every sum of a history far inside 64 bits.
inline constexpr std::int64_t maxTokensPerMessage = 1'000'000'000'000;
// A utilisation is a percentage, a little over 100 when a limit is overrun.
inline constexpr double maxUtilization = 1000;

inline std::int64_t tokens(std::int64_t count)
{
    return std::clamp<std::int64_t>(count, 0, maxTokensPerMessage);
}

// When a message can have been written: not before 2000, and not more than a
// day after now, which allows for a clock a little ahead but not a year typed
// wrong. A time outside is a damaged or hostile line's, and kept it would
// stretch every table of days to its year: one message of year 1 made a
// report of 739,957 days.
inline constexpr Instant earliestMessageTime{std::chrono::seconds{946'684'800}}; // 2000-01-01T00:00:00Z

inline Instant latestMessageTime(Instant now)
{
    return now + std::chrono::hours(24);
}

// `latest`: latestMessageTime() of the caller's now, which it decides once.
inline bool isPossibleMessageTime(Instant t, Instant latest)
{
    return t >= earliestMessageTime && t <= latest;
}

inline std::optional<double> utilization(std::optional<double> value)
{
    if (!value || !(*value >= 0 && *value <= maxUtilization))
        return std::nullopt;
    return value;
}

} // namespace tallyglass::Bounds
