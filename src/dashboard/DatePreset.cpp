#include "dashboard/DatePreset.h"

namespace tallyglass {

std::string_view chipLabel(DatePreset preset)
{
    switch (preset) {
    case DatePreset::last1d: return "1d";
    case DatePreset::last7d: return "7d";
    case DatePreset::last30d: return "30d";
    case DatePreset::last90d: return "90d";
    case DatePreset::last180d: return "180d";
    case DatePreset::last365d: return "365d";
    }
    return "7d";
}

int daysCovered(DatePreset preset)
{
    switch (preset) {
    case DatePreset::last1d: return 1;
    case DatePreset::last7d: return 7;
    case DatePreset::last30d: return 30;
    case DatePreset::last90d: return 90;
    case DatePreset::last180d: return 180;
    case DatePreset::last365d: return 365;
    }
    return 7;
}

std::int64_t dayOffset(DatePreset preset)
{
    return 1 - daysCovered(preset);
}

} // namespace tallyglass
