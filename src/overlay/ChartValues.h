#pragma once

#include "overlay/Bucketize.h"
#include "overlay/UsageState.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tallyglass::ChartValues {

// Everything the overlay chart derives from the usage state and the clock.
// Recomputed on every read: the rows are at most one five-hour window.

struct SeriesPoint {
    std::int64_t bucket = 0;
    double value = 0; // thousands of tokens, or percent
    bool operator==(const SeriesPoint&) const = default;
};

struct ModelTotal {
    std::string name;
    std::int64_t input = 0;
    std::int64_t output = 0;
    bool operator==(const ModelTotal&) const = default;
};

enum class PercentColor { red, yellow, green, neutral };

std::optional<Instant> currentAnchor(const UsageState& state);
std::vector<Bucketize::BarSegment> barSegments(const UsageState& state);
// 60 points, thousands of tokens, never decreasing; empty without an anchor.
std::vector<SeriesPoint> cumulativeSeries(const UsageState& state);
// The cumulative series scaled to end at the reported utilisation; only for a
// full window with a utilisation.
std::optional<std::vector<SeriesPoint>> cumulativePercentSeries(const UsageState& state);
// The display names of the bar segments in presentation order: legend and colour order.
std::vector<std::string> chartDomain(const std::vector<Bucketize::BarSegment>& segments);
std::set<std::int64_t> nonEmptyBuckets(const std::vector<Bucketize::BarSegment>& segments);
std::vector<ModelTotal> modelTotals(const std::vector<Bucketize::BarSegment>& segments);
std::vector<ModelTotal> bucketStats(const std::vector<Bucketize::BarSegment>& segments, std::int64_t bucket);

// "42%" (cut toward zero) for a full window with a utilisation, else "—".
std::string sessionPercentText(const UsageState& state);
PercentColor sessionPercentColor(const UsageState& state);
// "2hr 5m" until the reset of a full window, "0hr 0m" once it passed, else "—".
std::string resetCountdownText(const UsageState& state, Instant now);
// The known window has expired and nothing newer was reported.
bool shouldPromptTrigger(const UsageState& state, Instant now);
// 999 as "999", 1,999 as "1k", 25,400 as "25k".
std::string formatTokens(std::int64_t tokens);

} // namespace tallyglass::ChartValues
