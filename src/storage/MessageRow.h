#pragma once

#include "core/Instant.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tallyglass {

// One assistant message inside the overlay's five-hour window.
struct MessageRow {
    Instant timestamp;
    std::optional<std::string> model;
    std::int64_t inputTokens = 0;
    std::int64_t outputTokens = 0;

    bool operator==(const MessageRow&) const = default;
};

} // namespace tallyglass
