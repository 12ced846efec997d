#pragma once

#include "core/Instant.h"
#include "dashboard/DashboardRecords.h"
#include "dashboard/MessageList.h"
#include "storage/DashboardMessage.h"
#include "storage/UsageLimits.h"

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tallyglass::UsageReport {

// What the full report shows, for a terminal: the last N days (counting today,
// never before the first day with data, up to the end of the last), totals
// with cost, the models, output per UTC day, the latest sessions and the
// stored rate-limit utilisation.

struct ModelRow {
    std::string displayName;
    std::int64_t input = 0;
    std::int64_t output = 0;
    std::int64_t cacheWritten = 0;
    std::int64_t cacheRead = 0;
    double cost = 0;
    bool priced = true; // false when none of its messages could be priced: its cost shows "—"
    bool operator==(const ModelRow&) const = default;
};

struct DayRow {
    Instant day;
    std::int64_t output = 0;
    bool operator==(const DayRow&) const = default;
};

struct Report {
    int days = 7;
    Instant from;
    Instant to;
    Totals totals;
    std::vector<ModelRow> models;      // largest input + output first
    std::vector<DayRow> outputPerDay;  // every day of the span, ascending
    std::vector<SessionRow> sessions;  // the ten most recently active
    std::optional<UsageLimits> limits;
    std::vector<UnpricedModel> unpriced; // identifiers whose messages cost nothing here for want of a price
};

// Per display name, largest input + output first, with cost and whether any of
// its identifiers has a price; an "Other" row of nothing is left out.
std::vector<ModelRow> modelRows(const MessageList& messages);

// Nothing when there are no messages at all.
std::optional<Report> build(const std::vector<DashboardMessage>& messages, std::optional<UsageLimits> limits, int days,
                            Instant now);

std::string renderText(const Report& report);
std::string renderJson(const Report& report);

// Token counts for people: plain below 1,000, then "12.3k", "4.5M".
std::string shortTokens(std::int64_t tokens);
// "$0.42", "$123", "$1.2k".
std::string dollars(double amount);

} // namespace tallyglass::UsageReport
