#include "dashboard/DashboardRecords.h"

#include <charconv>

namespace tallyglass {

std::string HeatmapCell::id() const
{
    char buffer[64];
    const double seconds = unixSeconds(day);
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds);
    std::string text(buffer, result.ptr);
    // A whole number is written with a point and a zero, as a float's description is.
    if (text.find_first_of(".en") == std::string::npos)
        text += ".0";
    return text + '-' + std::to_string(hour);
}

std::string unpricedNote(const std::vector<UnpricedModel>& unpriced)
{
    if (unpriced.empty())
        return {};
    std::int64_t messages = 0;
    for (const UnpricedModel& u : unpriced)
        messages += u.messages;
    return std::to_string(unpriced.size()) + (unpriced.size() == 1 ? " model" : " models") + " not priced: "
        + groupedCount(messages) + (messages == 1 ? " message" : " messages");
}

} // namespace tallyglass
