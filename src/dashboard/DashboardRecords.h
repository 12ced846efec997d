#pragma once

#include "core/GroupedCount.h"
#include "core/Instant.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tallyglass {

// The results the full report draws. Plain values with field-by-field equality;
// the list-shown ones carry a stable identity.

struct Totals {
    std::int64_t input = 0;
    std::int64_t output = 0;
    std::int64_t cacheCreated = 0;
    std::int64_t cacheRead = 0;
    std::int64_t messageCount = 0;
    std::int64_t sessionCount = 0;
    double costUSD = 0;

    bool operator==(const Totals&) const = default;
};

// Output tokens of one UTC day by display name.
struct DayBucket {
    Instant dayStart;
    std::map<std::string, std::int64_t> perModel;

    Instant id() const { return dayStart; }
    bool operator==(const DayBucket&) const = default;
};

// Input + output tokens of one UTC hour.
struct HeatmapCell {
    Instant day;
    int hour = 0;
    std::int64_t tokens = 0;

    // Seconds of `day` since 1970 in shortest round-trip form ("1736899200.0"), "-", hour.
    std::string id() const;
    bool operator==(const HeatmapCell&) const = default;
};

struct ModelTokenRow {
    std::string displayName;
    std::int64_t inputTokens = 0;
    std::int64_t outputTokens = 0;

    const std::string& id() const { return displayName; }
    bool operator==(const ModelTokenRow&) const = default;
};

struct SessionRow {
    std::string sessionId;
    Instant latestTimestamp;
    std::int64_t messageCount = 0;
    std::int64_t outputTokens = 0;

    const std::string& id() const { return sessionId; }
    bool operator==(const SessionRow&) const = default;
};

// A model identifier the price list does not know, and how many of its
// messages (with any tokens) therefore cost nothing in the figures shown.
struct UnpricedModel {
    std::string model; // the identifier as stored; empty when none was
    std::int64_t messages = 0;

    bool operator==(const UnpricedModel&) const = default;
};

// "2 models not priced: 1,234 messages"; empty when every model is priced.
std::string unpricedNote(const std::vector<UnpricedModel>& unpriced);


} // namespace tallyglass
