#pragma once

#include "storage/LimitReading.h"
#include "storage/UsageLimits.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallyglass::LimitPace {

// Where a rate-limit window is heading: the utilisation gained per hour (the
// least-squares slope of the window's readings against their arrival times),
// what that comes to at the reset, and when it reaches 100% if that comes
// first. The readings of a window are those that give its reset time; one
// that arrived after a reset names the next window's, so it never counts
// towards the old one's pace.

enum class Kind { fiveHour, sevenDay };

struct Point {
    Instant at;
    double utilization = 0; // percent
};

struct Projection {
    double utilization = 0; // the latest reading's, percent
    Instant resetsAt;
    double perHour = 0;          // percentage points an hour; negative when the readings fall
    double projectedAtReset = 0; // percent, held to 0...1000 like every utilisation
    std::optional<Instant> reachesLimitAt; // when 100% comes, if before the reset
    bool operator==(const Projection&) const = default;
};

// Fewer readings, or readings closer together, say nothing of a pace.
inline constexpr std::chrono::minutes minimumSpan{5};

// The projection from one window's readings, or none without enough of them.
std::optional<Projection> fromPoints(std::vector<Point> points, Instant resetsAt);

// The pace of the window of `kind` that holds `now`: the window the latest
// reading names, while its reset is still to come. `latest` is the stored
// current row: its values held until its fetchedAt, which the readings (kept
// only when a value changes) do not show.
std::optional<Projection> current(const std::vector<LimitReading>& readings, const std::optional<UsageLimits>& latest, Kind kind,
                                  Instant now);

// Local time minus UTC at a moment.
using ZoneOffset = std::function<std::chrono::seconds(Instant)>;

// "1 hr 20 min", "45 min", "3 days 2 hr": whole minutes, rounded down.
std::string duration(std::chrono::seconds span);
// "15:40" for the five-hour window, "Thu 15:40" for the seven-day one, in local time.
std::string clockText(Instant t, Kind kind, const ZoneOffset& zoneOffset);
// "At this pace: 100% at 15:40" or "At this pace: 74% at the reset", the time as `clock` writes it.
std::string briefSummary(const Projection& projection, const std::function<std::string(Instant)>& clock);
// "At this pace: 100% at 15:40, 1 hr 20 min before the reset" or "At this pace: 74% at the reset".
std::string summary(const Projection& projection, Kind kind, const ZoneOffset& zoneOffset);

} // namespace tallyglass::LimitPace
