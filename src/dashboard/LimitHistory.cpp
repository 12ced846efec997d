#include "dashboard/LimitHistory.h"

#include <algorithm>

namespace tallyglass::LimitHistory {

namespace {

std::vector<WindowPeak> windows(const std::vector<LimitReading>& readings, Instant from, Instant to, bool fiveHour)
{
    const auto length = fiveHour ? std::chrono::hours(5) : std::chrono::hours(24 * 7);
    std::vector<std::pair<Instant, double>> points;
    for (const LimitReading& r : readings) {
        const auto& resets = fiveHour ? r.fiveHourResetsAt : r.sevenDayResetsAt;
        const auto& used = fiveHour ? r.fiveHour : r.sevenDay;
        if (resets && used)
            points.emplace_back(*resets, *used);
    }
    std::sort(points.begin(), points.end());
    std::vector<WindowPeak> out;
    for (const auto& [resets, used] : points) {
        if (out.empty() || resets - out.back().resetsAt >= std::chrono::hours(1)) {
            out.push_back({resets - length, resets, used, false});
        } else {
            out.back().peak = std::max(out.back().peak, used);
            out.back().resetsAt = std::max(out.back().resetsAt, resets);
        }
    }
    std::vector<WindowPeak> inRange;
    for (WindowPeak& w : out) {
        w.start = w.resetsAt - length;
        w.reached = w.peak >= 100;
        if (w.resetsAt > from && w.start < to)
            inRange.push_back(w);
    }
    return inRange;
}

} // namespace

std::vector<WindowPeak> fiveHourWindows(const std::vector<LimitReading>& readings, Instant from, Instant to)
{
    return windows(readings, from, to, true);
}

std::vector<WindowPeak> sevenDayWindows(const std::vector<LimitReading>& readings, Instant from, Instant to)
{
    return windows(readings, from, to, false);
}

} // namespace tallyglass::LimitHistory
