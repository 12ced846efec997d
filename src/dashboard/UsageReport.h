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

// The model rows with cost and the number formats the report window shares
// with the terminal.

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

// Per display name, largest input + output first, with cost and whether any of
// its identifiers has a price; a stand-in ("Other", "Synthetic") row of nothing is left out.
std::vector<ModelRow> modelRows(const MessageList& messages);

// Token counts for people: plain below 1,000, then "12.3k", "4.5M".
std::string shortTokens(std::int64_t tokens);
// "$0.42", "$123", "$1.2k".
std::string dollars(double amount);

} // namespace tallyglass::UsageReport
