#include "capture/LimitWarnings.h"

#include "core/IsoTime.h"
#include "core/UtcCalendar.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

namespace tallyglass {

namespace {

using json = nlohmann::json;

std::string percent(double used)
{
    return std::to_string(static_cast<long long>(std::floor(std::max(used, 0.0)))) + "%";
}

// Reset times of one window may differ by a little between readings; two windows
// of the same kind are hours apart.
bool sameWindow(Instant a, Instant b)
{
    return a - b < std::chrono::hours(1) && b - a < std::chrono::hours(1);
}

json windowJson(const LimitWarnings::Window& w)
{
    return {{"resetsAt", w.resetsAt ? json(IsoTime::formatSeconds(*w.resetsAt)) : json(nullptr)},
            {"spent", w.spent},
            {"warned", w.warned},
            {"resetSaid", w.resetSaid},
            {"paceSaid", w.paceSaid}};
}

LimitWarnings::Window windowFrom(const json& j)
{
    LimitWarnings::Window w;
    if (j.contains("resetsAt") && j["resetsAt"].is_string())
        w.resetsAt = IsoTime::parse(j["resetsAt"].get<std::string>());
    if (j.contains("spent") && j["spent"].is_array())
        for (const json& t : j["spent"])
            if (t.is_number_integer())
                w.spent.push_back(t.get<int>());
    w.warned = j.contains("warned") && j["warned"].is_boolean() && j["warned"].get<bool>();
    w.resetSaid = j.contains("resetSaid") && j["resetSaid"].is_boolean() && j["resetSaid"].get<bool>();
    w.paceSaid = j.contains("paceSaid") && j["paceSaid"].is_boolean() && j["paceSaid"].get<bool>();
    return w;
}

} // namespace

std::string LimitWarnings::State::serialise() const
{
    json out = {{"fiveHour", windowJson(fiveHour)}, {"sevenDay", windowJson(sevenDay)}};
    out["lastReadingAt"] = lastReadingAt ? json(IsoTime::formatSeconds(*lastReadingAt)) : json(nullptr);
    return out.dump();
}

LimitWarnings::State LimitWarnings::State::parse(std::string_view text)
{
    State state;
    const json j = json::parse(text, nullptr, false);
    if (!j.is_object())
        return state;
    if (j.contains("fiveHour") && j["fiveHour"].is_object())
        state.fiveHour = windowFrom(j["fiveHour"]);
    if (j.contains("sevenDay") && j["sevenDay"].is_object())
        state.sevenDay = windowFrom(j["sevenDay"]);
    if (j.contains("lastReadingAt") && j["lastReadingAt"].is_string())
        state.lastReadingAt = IsoTime::parse(j["lastReadingAt"].get<std::string>());
    return state;
}

LimitWarnings::LimitWarnings(std::vector<int> thresholds, State state, ZoneOffset zoneOffset)
    : thresholds_(std::move(thresholds))
    , state_(std::move(state))
    , zoneOffset_(zoneOffset)
{
}

std::vector<std::string> LimitWarnings::check(Window& window, const std::optional<double>& used,
                                              const std::optional<Instant>& resetsAt, Instant now, bool fiveHour)
{
    std::vector<std::string> out;
    if (!resetsAt)
        return out; // a window that cannot be told apart from the next
    if (window.resetsAt && *resetsAt < *window.resetsAt && !sameWindow(*resetsAt, *window.resetsAt))
        return out; // a reading of a window already gone
    if (!window.resetsAt || !sameWindow(*window.resetsAt, *resetsAt)) {
        if (fiveHour && window.warned && !window.resetSaid)
            out.push_back("5-hour window reset \u2014 " + percent(used.value_or(0)) + " used");
        window = Window{resetsAt, {}, false, false, false};
    }
    if (!used || *resetsAt <= now)
        return out;
    std::vector<int> crossed;
    for (const int threshold : thresholds_)
        if (*used >= threshold && std::find(window.spent.begin(), window.spent.end(), threshold) == window.spent.end())
            crossed.push_back(threshold);
    if (crossed.empty())
        return out;
    window.spent.insert(window.spent.end(), crossed.begin(), crossed.end());
    std::sort(window.spent.begin(), window.spent.end());
    window.warned = true;
    const Instant local = *resetsAt + (zoneOffset_ ? zoneOffset_(*resetsAt) : std::chrono::seconds(0));
    const std::string clock = IsoTime::formatSeconds(local).substr(11, 5);
    if (fiveHour) {
        out.push_back("5-hour limit at " + percent(*used) + " \u2014 resets at " + clock);
    } else {
        static constexpr const char* weekdays[] = {"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"}; // 1970-01-01 was a Thursday
        const std::int64_t day = UtcCalendar::dayNumber(local);
        out.push_back("7-day limit at " + percent(*used) + " \u2014 resets " + weekdays[((day % 7) + 7) % 7] + " " + clock);
    }
    return out;
}

void LimitWarnings::track(const Window& window, Track& track, const std::optional<double>& used,
                          const std::optional<Instant>& resetsAt, Instant at)
{
    if (!window.resetsAt)
        return;
    if (!track.resetsAt || !sameWindow(*track.resetsAt, *window.resetsAt))
        track = Track{window.resetsAt, {}};
    if (used && resetsAt && sameWindow(*resetsAt, *window.resetsAt))
        track.points.push_back({at, *used});
}

std::vector<std::string> LimitWarnings::pace(Window& window, const Track& track, const std::optional<double>& used,
                                             const std::optional<Instant>& resetsAt, Instant now, bool fiveHour)
{
    static constexpr auto margin = std::chrono::minutes(30);
    // Only a reading with a value of this window is news of its pace.
    if (!paceEnabled_ || window.paceSaid || !used || !resetsAt || !window.resetsAt || !sameWindow(*resetsAt, *window.resetsAt)
        || *resetsAt <= now || track.points.empty() || track.points.back().utilization < 50)
        return {};
    const auto projection = LimitPace::fromPoints(track.points, *resetsAt);
    if (!projection || !projection->reachesLimitAt || *resetsAt - *projection->reachesLimitAt < margin)
        return {};
    window.paceSaid = true;
    const auto kind = fiveHour ? LimitPace::Kind::fiveHour : LimitPace::Kind::sevenDay;
    const auto early = std::chrono::duration_cast<std::chrono::seconds>(*resetsAt - *projection->reachesLimitAt);
    return {std::string(fiveHour ? "5-hour" : "7-day") + " limit: at this pace 100% at "
            + LimitPace::clockText(*projection->reachesLimitAt, kind, zoneOffset_) + ", " + LimitPace::duration(early)
            + " before it resets"};
}

std::vector<std::string> LimitWarnings::onReading(const LimitReading& reading, Instant now)
{
    if (state_.lastReadingAt && reading.at < *state_.lastReadingAt)
        return {};
    state_.lastReadingAt = reading.at;
    std::vector<std::string> out = check(state_.fiveHour, reading.fiveHour, reading.fiveHourResetsAt, now, true);
    track(state_.fiveHour, fiveHourTrack_, reading.fiveHour, reading.fiveHourResetsAt, reading.at);
    for (std::string& text : pace(state_.fiveHour, fiveHourTrack_, reading.fiveHour, reading.fiveHourResetsAt, now, true))
        out.push_back(std::move(text));
    for (std::string& text : check(state_.sevenDay, reading.sevenDay, reading.sevenDayResetsAt, now, false))
        out.push_back(std::move(text));
    track(state_.sevenDay, sevenDayTrack_, reading.sevenDay, reading.sevenDayResetsAt, reading.at);
    for (std::string& text : pace(state_.sevenDay, sevenDayTrack_, reading.sevenDay, reading.sevenDayResetsAt, now, false))
        out.push_back(std::move(text));
    return out;
}

void LimitWarnings::remember(const std::vector<LimitReading>& readings)
{
    for (const LimitReading& r : readings) {
        if (state_.lastReadingAt && r.at > *state_.lastReadingAt)
            continue; // what the state has not seen is said when it comes
        track(state_.fiveHour, fiveHourTrack_, r.fiveHour, r.fiveHourResetsAt, r.at);
        track(state_.sevenDay, sevenDayTrack_, r.sevenDay, r.sevenDayResetsAt, r.at);
    }
}

std::vector<std::string> LimitWarnings::onTick(Instant now)
{
    Window& window = state_.fiveHour;
    if (!window.warned || window.resetSaid || !window.resetsAt || *window.resetsAt > now)
        return {};
    window.resetSaid = true;
    if (now - *window.resetsAt > std::chrono::minutes(10))
        return {};
    return {"5-hour window reset \u2014 0% used"};
}

std::optional<Instant> LimitWarnings::nextTick() const
{
    const Window& window = state_.fiveHour;
    if (!window.warned || window.resetSaid)
        return std::nullopt;
    return window.resetsAt;
}

} // namespace tallyglass
