#pragma once

#include "core/Instant.h"
#include "core/SharedText.h"

#include <cstdint>

namespace tallyglass {

// One stored assistant message as the full report sees it. `model` is the raw
// identifier, empty (never absent) when none was stored. Both texts are shared
// between the messages that carry the same one.
struct DashboardMessage {
    Instant timestamp;
    SharedText sessionId;
    SharedText model;
    std::int64_t inputTokens = 0;
    std::int64_t outputTokens = 0;
    std::int64_t cacheCreationInputTokens = 0;
    std::int64_t cacheReadInputTokens = 0;
    bool isSubagent = false;
    double cost = 0;
    // The machine it was spent on, as stored; empty in a file no writer of
    // this version has opened yet.
    SharedText machine{};

    bool operator==(const DashboardMessage&) const = default;
};

} // namespace tallyglass
