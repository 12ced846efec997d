#include "dashboard/UsageReport.h"

#include "dashboard/TextIndex.h"

#include "dashboard/DashboardAggregator.h"
#include "pricing/DisplayNameCache.h"
#include "pricing/ModelMapper.h"
#include "pricing/ModelPricingCatalog.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace tallyglass::UsageReport {

namespace {

std::string withDecimals(double value, int decimals, const char* prefix, const char* suffix)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s%.*f%s", prefix, decimals, value, suffix);
    return buffer;
}

} // namespace

std::string shortTokens(std::int64_t tokens)
{
    const auto magnitude = std::abs(static_cast<double>(tokens));
    if (magnitude < 1'000)
        return std::to_string(tokens);
    if (magnitude < 1'000'000)
        return withDecimals(static_cast<double>(tokens) / 1'000, 1, "", "k");
    return withDecimals(static_cast<double>(tokens) / 1'000'000, 1, "", "M");
}

std::string dollars(double amount)
{
    if (amount >= 1'000)
        return withDecimals(amount / 1'000, 1, "$", "k");
    if (amount >= 100)
        return withDecimals(amount, 0, "$", "");
    return withDecimals(amount, 2, "$", "");
}

std::vector<ModelRow> modelRows(const MessageList& messages)
{
    // Summed per identifier first (by the text's address), then per display name.
    TextIndex<AsIs> identifiers;
    std::vector<ModelRow> sums;
    for (const DashboardMessage& m : messages) {
        const std::size_t index = identifiers(m.model);
        if (sums.size() <= index)
            sums.resize(index + 1, ModelRow{{}, 0, 0, 0, 0, 0, false});
        ModelRow& row = sums[index];
        row.input += m.inputTokens;
        row.output += m.outputTokens;
        row.cacheWritten += m.cacheCreationInputTokens;
        row.cacheRead += m.cacheReadInputTokens;
        row.cost += m.cost;
    }
    DisplayNameCache names;
    std::map<std::string, ModelRow> models;
    for (std::size_t i = 0; i < sums.size(); ++i) {
        const std::string& identifier = identifiers.keys()[i];
        ModelRow& row = models.try_emplace(names(identifier), ModelRow{{}, 0, 0, 0, 0, 0, false}).first->second;
        row.priced = row.priced || ModelPricingCatalog::isPriced(identifier);
        row.input += sums[i].input;
        row.output += sums[i].output;
        row.cacheWritten += sums[i].cacheWritten;
        row.cacheRead += sums[i].cacheRead;
        row.cost += sums[i].cost;
    }
    std::vector<ModelRow> rows;
    for (auto& [name, row] : models) {
        row.displayName = name;
        if (ModelMapper::isStandIn(name) && row.input + row.output == 0 && row.cost == 0)
            continue;
        rows.push_back(row);
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const ModelRow& a, const ModelRow& b) { return a.input + a.output > b.input + b.output; });
    return rows;
}

} // namespace tallyglass::UsageReport
