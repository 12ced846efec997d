#pragma once

#include <optional>
#include <string>

namespace tallyglass {

// One rate-limit window as the status line reported it.
struct RateLimitWindow {
    std::optional<double> utilization;     // percent, as received
    std::optional<std::string> resetsAt;   // ISO 8601, whole seconds, "Z"

    bool operator==(const RateLimitWindow&) const = default;
};

} // namespace tallyglass
