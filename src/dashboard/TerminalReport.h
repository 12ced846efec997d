#pragma once

#include "core/DayClock.h"
#include "core/Instant.h"
#include "dashboard/DashboardFilters.h"
#include "dashboard/DashboardRecords.h"
#include "storage/DashboardMessage.h"
#include "storage/UsageLimits.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tallyglass::TerminalReport {

// The report for a terminal and for scripts: whole days [from, to) (UTC's or the local zone's), their
// totals with cost, and the same figures by day, month, session, project,
// model and machine, each row with the models under it when asked.

enum class Grouping { none, day, week, month, session, project, model, machine };

struct Options {
    Instant from;                   // the first day's midnight, by `clock`
    Instant to;                     // midnight after the last day; never before `from`
    std::string title;              // "last 7 days", "2026-11-01 to 2026-11-30", "all time"
    Grouping by = Grouping::none;   // none: the summary (totals, models, days, sessions, limits)
    bool breakdown = false;         // models under each row
    std::size_t sessionRows = 10;   // the summary's session table; JSON always has them all
    DayClock clock = DayClock::utc(); // whose days and times: UTC's or the local zone's
    bool weekStartsSunday = false;    // weeks from Sunday; else ISO weeks, from Monday
    std::optional<std::string> machine{}; // only the messages stored under this machine; all without
};

struct Figures {
    std::int64_t input = 0;
    std::int64_t output = 0;
    std::int64_t cacheWritten = 0;
    std::int64_t cacheRead = 0;
    std::int64_t messages = 0;
    double cost = 0;

    void add(const DashboardMessage& m);
    std::int64_t tokens() const { return input + output + cacheWritten + cacheRead; }
    bool operator==(const Figures&) const = default;
};

// One display name, with the identifiers behind it.
struct ModelRow {
    std::string name;
    std::vector<std::string> identifiers; // sorted
    Figures figures;
    bool priced = false; // some identifier has a price: otherwise its cost is unknown, not zero
    bool operator==(const ModelRow&) const = default;
};

struct Row {
    std::string key;     // "2026-12-06", "2026-12", a session id, a project path, a display name
    Figures figures;
    std::string project; // sessions: their project, empty when unknown
    Instant first{};     // sessions: first and latest message
    Instant latest{};
    std::int64_t sessions = 0;    // projects and machines: how many sessions
    std::vector<ModelRow> models; // with Options::breakdown
    bool operator==(const Row&) const = default;
};

struct Report {
    Options options;
    Totals totals;
    std::vector<ModelRow> models;   // highest cost first, unpriced ones last by tokens; no stand-in of nothing
    std::vector<Row> days;          // every day of the range, ascending
    std::vector<Row> weeks;         // every week the range touches, ascending: "2026-W49", or the Sunday's date
    std::vector<Row> months;        // every month the range touches, ascending
    std::vector<Row> sessions;      // every session of the range, most recently active first
    std::vector<Row> projects;      // highest cost first
    std::vector<Row> machines;      // highest cost first, by the name stored
    std::vector<UnpricedModel> unpriced;
    std::optional<UsageLimits> limits;
    std::optional<Instant> dataUpTo; // how current the stored data is
    std::int64_t impossibleTimes = 0; // stored messages left out of every figure for a time that cannot be
};

// The messages the options choose: their days, and their machine when one is named.
DashboardFilters filtersFor(const Options& options);

// `messages` in any order; `projects` maps a session id to its project.
Report build(const std::vector<DashboardMessage>& messages, const std::map<std::string, std::string>& projects,
             std::optional<UsageLimits> limits, const Options& options);

// The table for people, fitted to `width` columns (0: no limit, as when piped).
// `now` and `zoneOffset` (local time minus UTC) say how current the data is in the user's words.
std::string renderText(const Report& report, std::size_t width, Instant now, std::chrono::seconds zoneOffset);
// Every figure for scripts; its shape is documented in the README.
std::string renderJson(const Report& report, const std::string& version);

// A cost rounded to whole micro-dollars, as every JSON of ours writes it: sums of
// many prices carry binary noise (226.1240385500001) that no one paid.
double microDollars(double dollars);
// "$1,234.56": always cents, thousands grouped.
std::string money(double amount);
// "14:32 today", "09:05 yesterday", "2026-11-30 18:00": local wall-clock time of `t` seen at `now`.
std::string whenLocal(Instant t, Instant now, std::chrono::seconds zoneOffset);
// The week that holds a day ("2026-12-06"): its ISO week ("2026-W49") when
// weeks start on Monday, else the date of its Sunday ("2026-12-06").
std::string weekKey(const std::string& dayKey, bool startsSunday);
// A home directory shortened to "~", as people write paths.
std::string homeShortened(const std::string& path, const std::string& home);

} // namespace tallyglass::TerminalReport
