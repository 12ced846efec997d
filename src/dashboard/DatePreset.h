#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace tallyglass {

// The report's date chips, in chip order.
enum class DatePreset { last1d, last7d, last30d, last90d, last180d, last365d };

inline constexpr std::array<DatePreset, 6> allDatePresets = {DatePreset::last1d,  DatePreset::last7d,
                                                             DatePreset::last30d, DatePreset::last90d,
                                                             DatePreset::last180d, DatePreset::last365d};

// "1d", "7d", ...
std::string_view chipLabel(DatePreset preset);
// Days covered, counting today: 1, 7, 30, 90, 180, 365.
int daysCovered(DatePreset preset);
// Days added to the start of today to find the window's first day: 0, -6, -29, ...
std::int64_t dayOffset(DatePreset preset);

} // namespace tallyglass
