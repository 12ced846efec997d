#pragma once

#include "core/Instant.h"

#include <optional>

namespace tallyglass {

// The stored rate-limit row, as the gauges read it.
struct UsageLimits {
    std::optional<double> fiveHourUtilization;
    std::optional<Instant> fiveHourResetsAt;
    std::optional<double> sevenDayUtilization;
    std::optional<Instant> sevenDayResetsAt;
    std::optional<Instant> fetchedAt;

    bool operator==(const UsageLimits&) const = default;
};

} // namespace tallyglass
