#pragma once

#include <algorithm>
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

inline std::optional<double> utilization(std::optional<double> value)
{
    if (!value || !(*value >= 0 && *value <= maxUtilization))
        return std::nullopt;
    return value;
}

} // namespace tallyglass::Bounds
