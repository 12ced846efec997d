#pragma once

#include "core/Instant.h"

#include <optional>

namespace tallyglass {

// One status-line reading of the rate limits, as it arrived: utilisation in
// percent and the reset time of each window. A window is known by its reset time.
struct LimitReading {
    Instant at;
    std::optional<double> fiveHour;
    std::optional<Instant> fiveHourResetsAt;
    std::optional<double> sevenDay;
    std::optional<Instant> sevenDayResetsAt;

    // The same values (the arrival time aside): repeating a reading stores nothing.
    bool sameValues(const LimitReading& other) const
    {
        return fiveHour == other.fiveHour && fiveHourResetsAt == other.fiveHourResetsAt && sevenDay == other.sevenDay
            && sevenDayResetsAt == other.sevenDayResetsAt;
    }
    bool operator==(const LimitReading&) const = default;
};

} // namespace tallyglass
