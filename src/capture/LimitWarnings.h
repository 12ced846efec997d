#pragma once

#include "capture/LimitPace.h"
#include "storage/LimitReading.h"

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyglass {

// Decides which warnings the rate-limit readings call for. Each threshold
// warns once per window (a window is known by its reset time), for the
// highest one a reading crosses; the ones below it are spent with it. A window
// whose reset time has passed never warns. When a five-hour window in which a
// warning was shown resets, that is said once too. Readings older than the
// last one, and readings of an earlier window, change nothing. A window whose
// pace would reach 100% at least 30 minutes before its reset is warned of once,
// from 50% used. The state is kept across restarts by the caller (serialise /
// parse); the readings the pace is taken from are kept here (remember()).
class LimitWarnings {
public:
    struct Window {
        std::optional<Instant> resetsAt;
        std::vector<int> spent; // thresholds already warned for in this window
        bool warned = false;
        bool resetSaid = false;
        bool paceSaid = false;
        bool operator==(const Window&) const = default;
    };
    struct State {
        Window fiveHour;
        Window sevenDay;
        std::optional<Instant> lastReadingAt;
        bool operator==(const State&) const = default;

        std::string serialise() const;
        // A state that cannot be read is a fresh one.
        static State parse(std::string_view text);
    };

    // Local time minus UTC at a moment: the reset times in the texts are local.
    using ZoneOffset = std::function<std::chrono::seconds(Instant)>;

    LimitWarnings(std::vector<int> thresholds, State state, ZoneOffset zoneOffset);

    // The texts to show for a new reading, in order.
    std::vector<std::string> onReading(const LimitReading& reading, Instant now);
    // The texts due at `now` without a reading: a warned five-hour window that
    // reset (not one that reset long before, as after a restart: that is old news).
    std::vector<std::string> onTick(Instant now);
    // When onTick() next has something to say, if ever.
    std::optional<Instant> nextTick() const;

    // Stored readings, so that a restart in the middle of a window keeps its pace; nothing is said.
    void remember(const std::vector<LimitReading>& readings);

    const State& state() const { return state_; }
    void setThresholds(std::vector<int> thresholds) { thresholds_ = std::move(thresholds); }
    void setPaceEnabled(bool enabled) { paceEnabled_ = enabled; }

private:
    std::vector<std::string> check(Window& window, const std::optional<double>& used, const std::optional<Instant>& resetsAt,
                                   Instant now, bool fiveHour);
    // The readings of the window the state knows, for its pace.
    struct Track {
        std::optional<Instant> resetsAt;
        std::vector<LimitPace::Point> points;
    };
    void track(const Window& window, Track& track, const std::optional<double>& used, const std::optional<Instant>& resetsAt,
               Instant at);
    std::vector<std::string> pace(Window& window, const Track& track, const std::optional<double>& used,
                                  const std::optional<Instant>& resetsAt, Instant now, bool fiveHour);

    std::vector<int> thresholds_;
    bool paceEnabled_ = true;
    Track fiveHourTrack_;
    Track sevenDayTrack_;
    State state_;
    ZoneOffset zoneOffset_;
};

} // namespace tallyglass
