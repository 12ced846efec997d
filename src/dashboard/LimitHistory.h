#pragma once

#include "storage/LimitReading.h"

#include <vector>

namespace tallyglass::LimitHistory {

// The windows the stored readings describe, each with its peak utilisation.
struct WindowPeak {
    Instant start;    // the reset time less the window's length
    Instant resetsAt;
    double peak = 0;  // percent
    bool reached = false; // the peak got to 100%
    bool operator==(const WindowPeak&) const = default;
};

// Five-hour (or seven-day) windows whose span meets [from, to), in time order.
// Readings of one window may give its reset time a little differently; they
// count as one window.
std::vector<WindowPeak> fiveHourWindows(const std::vector<LimitReading>& readings, Instant from, Instant to);
std::vector<WindowPeak> sevenDayWindows(const std::vector<LimitReading>& readings, Instant from, Instant to);

} // namespace tallyglass::LimitHistory
