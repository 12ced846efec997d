#pragma once

#include "core/Instant.h"
#include "storage/MessageRow.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tallyglass::Bucketize {

// The five-hour window ending at `anchor`, cut into 30 ten-minute bar slots
// (stacked by model) and 60 five-minute line slots. A row counts when
// window start < timestamp < anchor; slot 29 (or 59) holds the newest minutes.

inline constexpr double windowSeconds = 18'000;
inline constexpr double barSlotSeconds = 600;
inline constexpr int barSlots = 30;
inline constexpr double lineSlotSeconds = 300;
inline constexpr int lineSlots = 60;

struct BarSegment {
    std::int64_t bucket = 0; // 0 oldest ... 29 newest
    std::string model;       // display name
    std::int64_t inputTokens = 0;
    std::int64_t outputTokens = 0;

    // Stable identity for list views: bucket, TAB, model.
    std::string id() const { return std::to_string(bucket) + '\t' + model; }
    bool operator==(const BarSegment&) const = default;
};

// One segment per (slot, display name) with rows, ordered by slot, then by the
// display names' presentation order.
std::vector<BarSegment> bucketize(const std::vector<MessageRow>& rows, Instant anchor);

// Exactly 60 sums of input + output tokens, models ignored.
std::vector<std::int64_t> lineTotals(const std::vector<MessageRow>& rows, Instant anchor);

// The line slot that `now` falls in: -1 before the window, 59 at or after the anchor.
std::int64_t lineLastFilledBucket(Instant now, Instant anchor);

} // namespace tallyglass::Bucketize
