#include "overlay/ChartValues.h"

#include "pricing/ModelMapper.h"

#include <cmath>
#include <algorithm>
#include <map>

namespace tallyglass::ChartValues {

namespace {

bool hasAnchor(const UsageState& state)
{
    return state.kind != UsageState::Kind::empty;
}

std::optional<double> shownUtilization(const UsageState& state)
{
    if (state.kind != UsageState::Kind::full || !state.utilization || !std::isfinite(*state.utilization))
        return std::nullopt;
    return state.utilization;
}

std::vector<ModelTotal> totalsOf(const std::vector<Bucketize::BarSegment>& segments, std::optional<std::int64_t> bucket)
{
    std::map<std::string, ModelTotal> byName;
    for (const auto& s : segments) {
        if (bucket && s.bucket != *bucket)
            continue;
        ModelTotal& total = byName[s.model];
        total.name = s.model;
        total.input += s.inputTokens;
        total.output += s.outputTokens;
    }
    std::vector<std::string> names;
    for (const auto& entry : byName)
        names.push_back(entry.first);
    std::vector<ModelTotal> totals;
    for (const std::string& name : ModelMapper::sortedKeys(std::move(names)))
        totals.push_back(byName[name]);
    return totals;
}

} // namespace

std::optional<Instant> currentAnchor(const UsageState& state)
{
    if (!hasAnchor(state))
        return std::nullopt;
    return state.anchor;
}

std::vector<Bucketize::BarSegment> barSegments(const UsageState& state)
{
    if (!hasAnchor(state))
        return {};
    return Bucketize::bucketize(state.rows, state.anchor);
}

std::vector<SeriesPoint> cumulativeSeries(const UsageState& state)
{
    if (!hasAnchor(state))
        return {};
    std::vector<SeriesPoint> series;
    std::int64_t sum = 0;
    const auto totals = Bucketize::lineTotals(state.rows, state.anchor);
    for (std::size_t i = 0; i < totals.size(); ++i) {
        sum += totals[i];
        series.push_back({static_cast<std::int64_t>(i), static_cast<double>(sum) / 1000.0});
    }
    return series;
}

std::optional<std::vector<SeriesPoint>> cumulativePercentSeries(const UsageState& state)
{
    const auto utilization = shownUtilization(state);
    if (!utilization)
        return std::nullopt;
    auto series = cumulativeSeries(state);
    if (series.empty())
        return series;
    const double last = series.back().value;
    for (SeriesPoint& point : series)
        point.value = last <= 0 ? 0 : point.value / last * *utilization;
    return series;
}

std::vector<std::string> chartDomain(const std::vector<Bucketize::BarSegment>& segments)
{
    std::vector<std::string> names;
    for (const auto& s : segments) {
        if (std::find(names.begin(), names.end(), s.model) == names.end())
            names.push_back(s.model);
    }
    return ModelMapper::sortedKeys(std::move(names));
}

std::set<std::int64_t> nonEmptyBuckets(const std::vector<Bucketize::BarSegment>& segments)
{
    std::set<std::int64_t> buckets;
    for (const auto& s : segments)
        buckets.insert(s.bucket);
    return buckets;
}

std::vector<ModelTotal> modelTotals(const std::vector<Bucketize::BarSegment>& segments)
{
    return totalsOf(segments, std::nullopt);
}

std::vector<ModelTotal> bucketStats(const std::vector<Bucketize::BarSegment>& segments, std::int64_t bucket)
{
    return totalsOf(segments, bucket);
}

std::string sessionPercentText(const UsageState& state)
{
    const auto utilization = shownUtilization(state);
    if (!utilization)
        return "\u2014";
    return std::to_string(static_cast<long long>(std::trunc(*utilization))) + "%";
}

PercentColor sessionPercentColor(const UsageState& state)
{
    const auto utilization = shownUtilization(state);
    if (!utilization)
        return PercentColor::neutral;
    if (*utilization >= 80)
        return PercentColor::red;
    if (*utilization >= 50)
        return PercentColor::yellow;
    return PercentColor::green;
}

std::string resetCountdownText(const UsageState& state, Instant now)
{
    if (state.kind != UsageState::Kind::full)
        return "\u2014";
    const double remaining = secondsBetween(now, state.anchor);
    if (remaining <= 0)
        return "0hr 0m";
    const auto seconds = static_cast<std::int64_t>(remaining);
    return std::to_string(seconds / 3600) + "hr " + std::to_string((seconds % 3600) / 60) + "m";
}

bool shouldPromptTrigger(const UsageState& state, Instant now)
{
    return state.kind == UsageState::Kind::full && state.anchor < now;
}

std::string formatTokens(std::int64_t tokens)
{
    if (tokens < 1000)
        return std::to_string(tokens);
    return std::to_string(tokens / 1000) + "k";
}

} // namespace tallyglass::ChartValues
