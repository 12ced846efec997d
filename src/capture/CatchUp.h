#pragma once

#include <chrono>
#include <optional>

namespace tallyglass {
class MessageWriter;
}

namespace tallyglass::CatchUp {

// Sessions also run while the application is not running (or before its hook
// was installed). Each start therefore reads again every transcript modified
// since the last import or catch-up began; storing is idempotent, so reading
// a file twice costs time, never a wrong count. The mark is kept in the
// database it describes: a fresh file has none and is filled from scratch.

using TimePoint = std::chrono::system_clock::time_point;

inline constexpr const char* watermarkKey = "catchUp.watermark";

// Files modified this long before the watermark are read again too: file
// systems with coarse clocks, and small steps of the system clock.
inline constexpr std::chrono::seconds slack{60};

// When the last complete import or catch-up began, as stored.
std::optional<TimePoint> watermark(MessageWriter& writer);

// Remembers that everything modified before `startedAt` has been read; an
// earlier time than the one stored changes nothing.
void storeWatermark(MessageWriter& writer, TimePoint startedAt);

// Where the next catch-up starts: the watermark less the slack; nothing (read
// every file) when no watermark was stored yet.
std::optional<TimePoint> modifiedSince(MessageWriter& writer);

} // namespace tallyglass::CatchUp
