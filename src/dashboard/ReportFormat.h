#pragma once

#include "core/DayClock.h"
#include "core/Instant.h"
#include "dashboard/DashboardRecords.h"
#include "ui/Palette.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tallyglass::ReportFormat {

// The report window's numbers and the few computations inside its panels.

// Token counts: 999, 1.0k, 1000.0k, 1.0M.
std::string fmt(std::int64_t count);
// Dollars: $0.46, $123, $1.5k.
std::string fmtUSD(double amount);
// A session's output: plain to 999, then "%.1fk" with no M step (2500.0k).
std::string sessionTokens(std::int64_t count);

// A gauge: "62%", or "—" without a reading; the bar's share, 0...1.
std::string gaugeValue(std::optional<double> utilization);
double gaugeFill(std::optional<double> utilization);

// A heat-map cell's strength: faint when empty, full for the busiest hour.
double heatOpacity(std::int64_t tokens, std::int64_t maxTokens);
// "14:00 — 1234 tokens".
std::string heatHelp(int hour, std::int64_t tokens);

// The model split's bar lengths in `width`: each row's input + output against
// the largest, never shorter than 2.
std::vector<double> barLengths(const std::vector<ModelTokenRow>& rows, double width);

// Display name to colour, in presentation order of the model families.
std::map<std::string, Rgba> colourMap(const std::vector<std::string>& displayNames);

// The clock's day that holds dayStart as "Jan 5, 2025", whatever the locale.
std::string dayLabel(Instant dayStart, const DayClock& clock);

} // namespace tallyglass::ReportFormat
