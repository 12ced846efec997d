#pragma once

#include "core/Instant.h"

#include <optional>
#include <string>
#include <string_view>

namespace tallyglass::IsoTime {

// Strict internet date-time: YYYY-MM-DD "T" hh:mm:ss, an optional fraction of one or
// more digits, then "Z" or an offset (+hh:mm, -hh:mm, +hhmm, -hhmm). Field ranges are
// checked (no 13th month, no 30 February, no leap seconds). Nothing before or after.
std::optional<Instant> parse(std::string_view text);

// "2025-01-15T10:30:00Z": whole seconds (the fraction is cut, not rounded).
std::string formatSeconds(Instant t);

// "2025-01-15T10:30:00.250Z": three fraction digits (cut, not rounded).
std::string formatMillis(Instant t);

} // namespace tallyglass::IsoTime
