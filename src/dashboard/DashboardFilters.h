#pragma once

#include "core/DayClock.h"
#include "core/Instant.h"
#include "dashboard/DatePreset.h"

#include <set>
#include <string>

namespace tallyglass {

// The report's filter state. `from` and `to` always come from a preset applied
// to the data; the preset is kept so the chip stays selected and can be
// re-applied after a reload.
struct DashboardFilters {
    Instant from = Instant::min();     // inclusive
    Instant to = Instant::max();       // exclusive
    std::set<std::string, std::less<>> models; // raw identifiers; empty means all
    DatePreset preset = DatePreset::last7d;
    bool localDays = false; // days and hours of the local zone; UTC's otherwise
    std::set<std::string, std::less<>> machines{}; // as stored; empty means all

    DayClock clock() const { return localDays ? DayClock::local() : DayClock::utc(); }

    bool operator==(const DashboardFilters&) const = default;
};

} // namespace tallyglass
