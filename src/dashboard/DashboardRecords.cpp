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

std::string groupedCount(std::int64_t count)
{
    const bool negative = count < 0;
    std::string digits = std::to_string(count);
    if (negative)
        digits.erase(0, 1);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out.push_back(',');
        out.push_back(digits[i]);
    }
    return negative ? "-" + out : out;
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
