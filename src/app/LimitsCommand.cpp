#include "app/LimitsCommand.h"

#include "app/AppPaths.h"
#include "capture/LimitPace.h"
#include "core/CommandLine.h"
#include "dashboard/ReportArguments.h"
#include "app/CommandSupport.h"
#include "core/DayClock.h"
#include "core/IsoTime.h"
#include "core/Printable.h"
#include "core/UtcCalendar.h"
#include "dashboard/LimitHistory.h"
#include "dashboard/TerminalReport.h"
#include "dashboard/TextTable.h"
#include "storage/DatabaseClient.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace tallyglass::LimitsCommand {

namespace {

const char* const help =
    "Usage: tallyglass limits [--days N] [--zone ZONE] [--json]\n"
    "\n"
    "The five-hour windows of the last N days (default 7, today included): when each\n"
    "began and reset, its peak utilisation and whether the limit was reached; then\n"
    "the seven-day windows and their peaks, and where each current window is\n"
    "heading at the pace of its readings so far. Times are local unless --zone\n"
    "names another zone. The readings come from Claude Code's status line while\n"
    "Tallyglass runs.\n"
    "\n"
    "Options:\n"
    "  --days N         the last N days (1-36500)\n"
    "  --zone ZONE      days and times in this time zone (Asia/Kolkata)\n"
    "  --json           the same as JSON, for scripts\n"
    "  -h, --help       show this help\n";

std::string percent(double value)
{
    return std::to_string(static_cast<long long>(std::floor(value))) + "%";
}

// The zone's wall-clock time, with the offset of that moment (daylight-saving time moves it).
std::string local(Instant t)
{
    return DayClock::local().minute(t);
}

// Whose days and times: the zone --zone names (made the process's), else the local one.
DayClock chosenClock(const CommandLine::Parsed& parsed)
{
    return parsed.has("--zone") ? ReportArguments::zoneClock(parsed) : DayClock::local();
}

// What the options ask for; throws CommandLine::UsageError.
struct Choices {
    std::int64_t days = 7;
    bool json = false;
    DayClock clock = DayClock::utc();
};

Choices choose(const CommandLine::Parsed& parsed)
{
    Choices chosen;
    if (!parsed.words.empty())
        throw CommandLine::UsageError("unexpected '" + parsed.words.front() + "'; limits takes only options");
    if (parsed.has("--days")) {
        const std::string& text = parsed.value("--days");
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), chosen.days);
        if (error != std::errc{} || end != text.data() + text.size() || chosen.days < 1 || chosen.days > 36'500)
            throw CommandLine::UsageError("--days takes a whole number from 1 to 36500, not '" + text + "'");
    }
    chosen.json = parsed.has("--json");
    chosen.clock = chosenClock(parsed);
    return chosen;
}

// Figures of the pace to a tenth of a point (a hundredth for the slow climb of a seven-day window).
// Dividing by the scale (not multiplying by its inverse) gives the double nearest the decimal, as JSON writes it.
double rounded(double value, double scale)
{
    return std::round(value * scale) / scale;
}

nlohmann::ordered_json paceJson(const std::optional<LimitPace::Projection>& pace)
{
    if (!pace)
        return nullptr;
    return {{"utilization", pace->utilization},
            {"resetsAt", IsoTime::formatSeconds(pace->resetsAt)},
            {"perHour", rounded(pace->perHour, 100)},
            {"projectedAtReset", rounded(pace->projectedAtReset, 10)},
            {"reachesLimitAt", pace->reachesLimitAt ? nlohmann::ordered_json(IsoTime::formatSeconds(*pace->reachesLimitAt)) : nullptr}};
}

std::string paceLine(const std::optional<LimitPace::Projection>& pace, LimitPace::Kind kind)
{
    return pace ? LimitPace::summary(*pace, kind, DayClock::offsetAt) + "\n" : "";
}

// What the command shows, whichever form.
struct Limits {
    Instant from;
    Instant to;
    std::vector<LimitHistory::WindowPeak> fiveHour;
    std::vector<LimitHistory::WindowPeak> sevenDay;
    std::optional<LimitPace::Projection> fiveHourPace;
    std::optional<LimitPace::Projection> sevenDayPace;

    std::size_t reached() const
    {
        return static_cast<std::size_t>(std::count_if(fiveHour.begin(), fiveHour.end(), [](const auto& w) { return w.reached; }));
    }
};

std::string renderJson(const Limits& limits)
{
    nlohmann::ordered_json out;
    out["version"] = 1;
    out["from"] = IsoTime::formatSeconds(limits.from);
    out["to"] = IsoTime::formatSeconds(limits.to);
    const auto list = [](const std::vector<LimitHistory::WindowPeak>& windows) {
        auto array = nlohmann::ordered_json::array();
        for (const auto& w : windows)
            array.push_back({{"start", IsoTime::formatSeconds(w.start)}, {"resetsAt", IsoTime::formatSeconds(w.resetsAt)},
                             {"peak", w.peak}, {"reached", w.reached}});
        return array;
    };
    out["fiveHour"] = list(limits.fiveHour);
    out["fiveHourReached"] = limits.reached();
    out["sevenDay"] = list(limits.sevenDay);
    out["pace"] = {{"fiveHour", paceJson(limits.fiveHourPace)}, {"sevenDay", paceJson(limits.sevenDayPace)}};
    return out.dump(2) + "\n";
}

std::string renderText(const Limits& limits)
{
    if (limits.fiveHour.empty() && limits.sevenDay.empty())
        return "No readings in these days. They come with Claude Code's status line while the app or\n"
               "'tallyglass --headless' runs, for plans with usage limits.\n";
    std::string text;
    if (!limits.fiveHour.empty()) {
        TextTable five({{"Five-hour window"}, {"Resets"}, {"Peak", true}, {"Limit"}});
        for (const auto& w : limits.fiveHour)
            five.add({local(w.start), local(w.resetsAt), percent(w.peak), w.reached ? "reached" : ""});
        text += five.render(CommandSupport::terminalWidth()) + "Limit reached in " + std::to_string(limits.reached()) + " of "
            + std::to_string(limits.fiveHour.size()) + (limits.fiveHour.size() == 1 ? " window\n" : " windows\n")
            + paceLine(limits.fiveHourPace, LimitPace::Kind::fiveHour);
    }
    if (!limits.sevenDay.empty()) {
        TextTable seven({{"Seven-day window"}, {"Resets"}, {"Peak", true}});
        for (const auto& w : limits.sevenDay)
            seven.add({local(w.start), local(w.resetsAt), percent(w.peak)});
        text += (limits.fiveHour.empty() ? "" : "\n") + seven.render(CommandSupport::terminalWidth())
            + paceLine(limits.sevenDayPace, LimitPace::Kind::sevenDay);
    }
    return text;
}

} // namespace

// A full disk is a failure, not a list shown.
int written(const std::string& text)
{
    return CommandSupport::output("limits", "list", text);
}

int run(const std::vector<std::string>& arguments)
{
    using CommandSupport::fail;
    Choices chosen;
    try {
        const auto parsed = CommandLine::parse(arguments, {{"--days", "N"}, {"--zone", "ZONE"}, {"--json", ""}});
        if (parsed.help) {
            std::fputs(help, stdout);
            return 0;
        }
        chosen = choose(parsed);
    } catch (const CommandLine::UsageError& error) {
        return fail("limits", Printable::escaped(error.what()) + "\n(see 'tallyglass limits --help')", 2);
    }

    // Local days, as the times are shown: the day ends at local midnight.
    const Instant now = std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
    // Days of 23 or 25 hours where the clocks change: counted as the zone counts them.
    const Instant to = chosen.clock.addDays(now, 1);
    const Instant from = chosen.clock.addDays(now, 1 - chosen.days);
    std::vector<LimitReading> readings;
    std::optional<UsageLimits> latest;
    const auto path = AppPaths::database();
    std::error_code ignored;
    if (std::filesystem::exists(path, ignored)) {
        try {
            // A seven-day window that meets the range began up to a week before it.
            DatabaseClient database(path);
            readings = database.fetchLimitReadings(UtcCalendar::addDays(from, -7), UtcCalendar::addDays(to, 7));
            latest = database.fetchUsageLimits();
        } catch (const std::exception& error) {
            return fail("limits", CommandSupport::databaseProblem(error, path), 1);
        }
    }
    Limits limits{from, to, LimitHistory::fiveHourWindows(readings, from, to), LimitHistory::sevenDayWindows(readings, from, to),
                  LimitPace::current(readings, latest, LimitPace::Kind::fiveHour, now),
                  LimitPace::current(readings, latest, LimitPace::Kind::sevenDay, now)};
    if (chosen.json)
        return written(renderJson(limits));
    const std::string zone = chosen.clock.zoneName() == "local" ? "local time" : chosen.clock.zoneName();
    return written("Rate limits, last " + std::to_string(chosen.days) + (chosen.days == 1 ? " day" : " days") + " (" + zone + ")\n\n"
                   + renderText(limits));
}

} // namespace tallyglass::LimitsCommand
