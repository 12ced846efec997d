#include "capture/LimitPace.h"

#include "core/IsoTime.h"
#include "core/UtcCalendar.h"

#include <algorithm>
#include <cmath>

namespace tallyglass::LimitPace {

namespace {

// Reset times of one window may differ by a little between readings; two windows
// of the same kind are hours apart.
bool sameWindow(Instant a, Instant b)
{
    return a - b < std::chrono::hours(1) && b - a < std::chrono::hours(1);
}

double hoursBetween(Instant a, Instant b)
{
    return secondsBetween(a, b) / 3600.0;
}

const std::optional<double>& usedOf(const LimitReading& r, Kind kind)
{
    return kind == Kind::fiveHour ? r.fiveHour : r.sevenDay;
}

const std::optional<Instant>& resetOf(const LimitReading& r, Kind kind)
{
    return kind == Kind::fiveHour ? r.fiveHourResetsAt : r.sevenDayResetsAt;
}

std::string wholePercent(double value)
{
    return std::to_string(static_cast<long long>(std::floor(std::max(value, 0.0)))) + "%";
}

} // namespace

std::optional<Projection> fromPoints(std::vector<Point> points, Instant resetsAt)
{
    std::stable_sort(points.begin(), points.end(), [](const Point& a, const Point& b) { return a.at < b.at; });
    if (points.size() < 2 || points.back().at - points.front().at < minimumSpan)
        return std::nullopt;
    // Hours from the first reading keep the sums small, so a year of them loses no precision.
    const Instant origin = points.front().at;
    double meanX = 0;
    double meanY = 0;
    for (const Point& p : points) {
        meanX += hoursBetween(origin, p.at);
        meanY += p.utilization;
    }
    const auto n = static_cast<double>(points.size());
    meanX /= n;
    meanY /= n;
    double covariance = 0;
    double variance = 0;
    for (const Point& p : points) {
        const double dx = hoursBetween(origin, p.at) - meanX;
        covariance += dx * (p.utilization - meanY);
        variance += dx * dx;
    }
    Projection out;
    const Point& last = points.back();
    out.utilization = last.utilization;
    out.resetsAt = resetsAt;
    out.perHour = variance > 0 ? covariance / variance : 0;
    const double hoursLeft = std::max(0.0, hoursBetween(last.at, resetsAt));
    out.projectedAtReset = std::clamp(last.utilization + out.perHour * hoursLeft, 0.0, 1000.0);
    if (last.utilization < 100 && out.perHour > 0) {
        const double hoursToLimit = (100 - last.utilization) / out.perHour;
        if (hoursToLimit < hoursLeft)
            out.reachesLimitAt = last.at + std::chrono::microseconds(static_cast<std::int64_t>(hoursToLimit * 3'600'000'000.0));
    }
    return out;
}

std::optional<Projection> current(const std::vector<LimitReading>& readings, const std::optional<UsageLimits>& latest, Kind kind,
                                  Instant now)
{
    std::optional<LimitReading> held;
    if (latest && latest->fetchedAt)
        held = LimitReading{*latest->fetchedAt, latest->fiveHourUtilization, latest->fiveHourResetsAt, latest->sevenDayUtilization,
                            latest->sevenDayResetsAt};
    // The window is the one the reading that arrived last names.
    const LimitReading* newest = nullptr;
    for (const LimitReading& r : readings)
        if (usedOf(r, kind) && resetOf(r, kind) && (!newest || r.at >= newest->at))
            newest = &r;
    if (held && usedOf(*held, kind) && resetOf(*held, kind) && (!newest || held->at >= newest->at))
        newest = &*held;
    if (!newest || *resetOf(*newest, kind) <= now)
        return std::nullopt;
    const Instant resetsAt = *resetOf(*newest, kind);
    std::vector<Point> points;
    for (const LimitReading& r : readings)
        if (usedOf(r, kind) && resetOf(r, kind) && sameWindow(*resetOf(r, kind), resetsAt))
            points.push_back({r.at, *usedOf(r, kind)});
    // The row is rewritten at every redraw of the status line, the readings only when a value changes:
    // the row says until when the last value held, so a pause in use slows the pace as it should.
    if (held && &*held == newest && (points.empty() || held->at > points.back().at))
        points.push_back({held->at, *usedOf(*held, kind)});
    return fromPoints(std::move(points), resetsAt);
}

std::string duration(std::chrono::seconds span)
{
    const long long minutes = std::max<long long>(0, span.count() / 60);
    const long long days = minutes / (24 * 60);
    const long long hours = minutes / 60 % 24;
    const long long rest = minutes % 60;
    std::string out;
    const auto add = [&out](long long value, const char* unit) {
        out += (out.empty() ? "" : " ") + std::to_string(value) + unit;
    };
    if (days > 0)
        add(days, days == 1 ? " day" : " days");
    if (hours > 0)
        add(hours, " hr");
    // Beside days, minutes are noise.
    if (days == 0 && (rest > 0 || out.empty()))
        add(rest, " min");
    return out;
}

std::string clockText(Instant t, Kind kind, const ZoneOffset& zoneOffset)
{
    const Instant local = t + (zoneOffset ? zoneOffset(t) : std::chrono::seconds(0));
    const std::string clock = IsoTime::formatSeconds(local).substr(11, 5);
    if (kind == Kind::fiveHour)
        return clock;
    static constexpr const char* weekdays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"}; // 1970-01-01 was a Thursday
    const std::int64_t day = UtcCalendar::dayNumber(local);
    return std::string(weekdays[((day % 7) + 7) % 7]) + " " + clock;
}

std::string briefSummary(const Projection& projection, const std::function<std::string(Instant)>& clock)
{
    if (!projection.reachesLimitAt)
        return "At this pace: " + wholePercent(projection.projectedAtReset) + " at the reset";
    return "At this pace: 100% at " + clock(*projection.reachesLimitAt);
}

std::string summary(const Projection& projection, Kind kind, const ZoneOffset& zoneOffset)
{
    const std::string brief = briefSummary(projection, [&](Instant t) { return clockText(t, kind, zoneOffset); });
    if (!projection.reachesLimitAt)
        return brief;
    const auto margin = std::chrono::duration_cast<std::chrono::seconds>(projection.resetsAt - *projection.reachesLimitAt);
    return brief + ", " + duration(margin) + " before the reset";
}

} // namespace tallyglass::LimitPace
