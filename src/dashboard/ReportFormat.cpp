#include "dashboard/ReportFormat.h"

#include "dashboard/UsageReport.h"
#include "pricing/ModelMapper.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tallyglass::ReportFormat {

std::string fmt(std::int64_t count)
{
    return UsageReport::shortTokens(count);
}

std::string fmtUSD(double amount)
{
    return UsageReport::dollars(amount);
}

std::string sessionTokens(std::int64_t count)
{
    if (count <= 999)
        return std::to_string(count);
    char text[32];
    std::snprintf(text, sizeof text, "%.1fk", static_cast<double>(count) / 1000.0);
    return text;
}

std::string gaugeValue(std::optional<double> utilization)
{
    if (!utilization)
        return "\u2014";
    char text[32];
    std::snprintf(text, sizeof text, "%.0f%%", *utilization);
    return text;
}

double gaugeFill(std::optional<double> utilization)
{
    return utilization ? std::clamp(*utilization / 100.0, 0.0, 1.0) : 0.0;
}

double heatOpacity(std::int64_t tokens, std::int64_t maxTokens)
{
    return 0.1 + 0.9 * static_cast<double>(tokens) / static_cast<double>(std::max<std::int64_t>(maxTokens, 1));
}

std::string heatHelp(int hour, std::int64_t tokens)
{
    return std::to_string(hour) + ":00 \u2014 " + std::to_string(tokens) + " tokens";
}

std::vector<double> barLengths(const std::vector<ModelTokenRow>& rows, double width)
{
    std::int64_t maxTokens = 0;
    for (const auto& row : rows)
        maxTokens = std::max(maxTokens, row.inputTokens + row.outputTokens);
    std::vector<double> lengths;
    for (const auto& row : rows) {
        const double share = maxTokens > 0 ? static_cast<double>(row.inputTokens + row.outputTokens) / static_cast<double>(maxTokens) : 0;
        lengths.push_back(std::max(share * width, 2.0));
    }
    return lengths;
}

std::map<std::string, Rgba> colourMap(const std::vector<std::string>& displayNames)
{
    std::map<std::string, Rgba> colours;
    for (const auto& entry : ModelMapper::palette(ModelMapper::sortedKeys(displayNames)))
        colours[entry.displayName] = NamedColor::family(entry.baseName, entry.opacity);
    return colours;
}

std::string dayLabel(Instant dayStart, const DayClock& clock)
{
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::string key = clock.dayKey(dayStart); // "2025-01-05"
    const int month = std::stoi(key.substr(5, 2));
    const int day = std::stoi(key.substr(8, 2));
    return std::string(months[month - 1]) + " " + std::to_string(day) + ", " + key.substr(0, 4);
}

} // namespace tallyglass::ReportFormat
