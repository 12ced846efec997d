#include "dashboard/TerminalReport.h"

#include "core/UtcCalendar.h"
#include "dashboard/DashboardAggregator.h"
#include "dashboard/TextIndex.h"
#include "pricing/DisplayNameCache.h"
#include "pricing/ModelMapper.h"
#include "pricing/ModelPricingCatalog.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace tallyglass::TerminalReport {

void Figures::add(const DashboardMessage& m)
{
    input += m.inputTokens;
    output += m.outputTokens;
    cacheWritten += m.cacheCreationInputTokens;
    cacheRead += m.cacheReadInputTokens;
    ++messages;
    cost += m.cost;
}

namespace {

// Sums per model identifier (by index) for one row; turned into display-name rows at the end.
using PerIdentifier = std::unordered_map<std::size_t, Figures>;

std::vector<ModelRow> byDisplayName(const PerIdentifier& sums, const std::vector<std::string>& identifiers, DisplayNameCache& names)
{
    std::map<std::string, ModelRow> rows;
    for (const auto& [index, figures] : sums) {
        const std::string& identifier = identifiers[index];
        ModelRow& row = rows[names(identifier)];
        row.identifiers.push_back(identifier);
        row.priced = row.priced || ModelPricingCatalog::isPriced(identifier);
        row.figures.input += figures.input;
        row.figures.output += figures.output;
        row.figures.cacheWritten += figures.cacheWritten;
        row.figures.cacheRead += figures.cacheRead;
        row.figures.messages += figures.messages;
        row.figures.cost += figures.cost;
    }
    std::vector<ModelRow> out;
    for (auto& [name, row] : rows) {
        // Claude Code's own messages (an error, a cancelled turn) carry no usage: a row of
        // zeros would say nothing. Their messages still count in the totals.
        if (ModelMapper::isStandIn(name) && row.figures.tokens() == 0 && row.figures.cost == 0)
            continue;
        row.name = name;
        std::sort(row.identifiers.begin(), row.identifiers.end());
        out.push_back(std::move(row));
    }
    // Dearest first; models without a price cost nothing here, so they follow, largest first.
    std::stable_sort(out.begin(), out.end(), [](const ModelRow& a, const ModelRow& b) {
        if (a.priced != b.priced)
            return a.priced;
        if (a.figures.cost != b.figures.cost)
            return a.figures.cost > b.figures.cost;
        return a.figures.tokens() > b.figures.tokens();
    });
    return out;
}

// Rows keyed by text, with the sums per identifier kept beside them for the breakdown.
struct Grouped {
    std::vector<Row> rows;
    std::vector<PerIdentifier> perModel;
    std::unordered_map<std::string, std::size_t> indexOf;

    std::size_t at(const std::string& key)
    {
        const auto [found, added] = indexOf.try_emplace(key, rows.size());
        if (added) {
            rows.push_back(Row{key, {}, {}, {}, {}, 0, {}});
            perModel.emplace_back();
        }
        return found->second;
    }
    void add(std::size_t row, std::size_t model, const DashboardMessage& m, bool breakdown)
    {
        rows[row].figures.add(m);
        if (breakdown)
            perModel[row][model].add(m);
    }
    void finish(const std::vector<std::string>& identifiers, DisplayNameCache& names, bool breakdown)
    {
        if (!breakdown)
            return;
        for (std::size_t i = 0; i < rows.size(); ++i)
            rows[i].models = byDisplayName(perModel[i], identifiers, names);
    }
};

// Every day, week and month of the range, so that quiet days show as such.
struct CalendarRows {
    Grouped days;
    Grouped weeks;
    Grouped months;
    std::vector<std::size_t> weekOfDay;
    std::vector<std::size_t> monthOfDay;
    std::vector<Instant> dayStarts;

    explicit CalendarRows(const Options& options)
    {
        const DayClock& clock = options.clock;
        for (Instant day = options.from; day < options.to; day = clock.nextDay(day)) {
            const std::string key = clock.dayKey(day);
            days.at(key);
            dayStarts.push_back(day);
            weekOfDay.push_back(weeks.at(weekKey(key, options.weekStartsSunday)));
            monthOfDay.push_back(months.at(key.substr(0, 7)));
        }
    }

    // False for a message before the first day, which is not in the range.
    bool add(const DashboardMessage& m, std::size_t model, bool breakdown)
    {
        // The last day that starts at or before the message: days may have 23 or 25 hours.
        const auto after = std::upper_bound(dayStarts.begin(), dayStarts.end(), m.timestamp);
        if (after == dayStarts.begin())
            return false;
        const auto day = static_cast<std::size_t>(after - dayStarts.begin() - 1);
        days.add(day, model, m, breakdown);
        weeks.add(weekOfDay[day], model, m, breakdown);
        months.add(monthOfDay[day], model, m, breakdown);
        return true;
    }
};

// Highest cost first, then most tokens: the order of every table of costs.
void sortByCost(std::vector<Row>& rows)
{
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        return a.figures.cost != b.figures.cost ? a.figures.cost > b.figures.cost : a.figures.tokens() > b.figures.tokens();
    });
}

// A row per session, with its first and latest message, and a row per project
// folder that counts its sessions.
struct SessionRows {
    Grouped sessions;
    Grouped projects;
    std::unordered_map<std::string, std::int64_t> sessionsPerProject;
    TextIndex<AsIs> sessionIds;
    std::vector<std::size_t> sessionRowOf; // by session index
    std::vector<std::size_t> projectRowOf; // by session index

    // Returns the session's index, in order of first appearance.
    std::size_t add(const DashboardMessage& m, std::size_t model, const std::map<std::string, std::string>& projectOf, bool breakdown)
    {
        const std::size_t sessionIndex = sessionIds(m.sessionId);
        if (sessionRowOf.size() <= sessionIndex) {
            const std::string& id = sessionIds.keys()[sessionIndex];
            const std::size_t row = sessions.at(id);
            const auto project = projectOf.find(id);
            sessions.rows[row].project = project == projectOf.end() ? std::string() : project->second;
            sessions.rows[row].first = m.timestamp;
            sessions.rows[row].latest = m.timestamp;
            ++sessionsPerProject[sessions.rows[row].project];
            sessionRowOf.push_back(row);
            projectRowOf.push_back(projects.at(sessions.rows[row].project));
        }
        Row& session = sessions.rows[sessionRowOf[sessionIndex]];
        session.first = std::min(session.first, m.timestamp);
        session.latest = std::max(session.latest, m.timestamp);
        sessions.add(sessionRowOf[sessionIndex], model, m, breakdown);
        projects.add(projectRowOf[sessionIndex], model, m, breakdown);
        return sessionIndex;
    }

    // Sessions latest first; projects dearest first, with their session counts.
    void moveInto(Report& report)
    {
        report.sessions = std::move(sessions.rows);
        std::stable_sort(report.sessions.begin(), report.sessions.end(), [](const Row& a, const Row& b) {
            return a.latest != b.latest ? a.latest > b.latest : a.key < b.key;
        });
        report.projects = std::move(projects.rows);
        for (Row& project : report.projects)
            project.sessions = sessionsPerProject[project.key];
        sortByCost(report.projects);
    }
};

// A row per machine, counting the sessions spent on it.
struct MachineRows {
    Grouped machines;
    TextIndex<AsIs> names;
    std::vector<std::size_t> rowOf; // by name index
    std::unordered_set<std::uint64_t> seen; // machine row and session index
    std::vector<std::int64_t> sessions;     // by row
    std::uint64_t lastKey = ~std::uint64_t{0};

    void add(const DashboardMessage& m, std::size_t model, std::size_t session, bool breakdown)
    {
        const std::size_t name = names(m.machine);
        if (rowOf.size() <= name) {
            rowOf.push_back(machines.at(names.keys()[name]));
            sessions.push_back(0);
        }
        const std::size_t row = rowOf[name];
        // Messages in time order come a session at a time: the set is asked once per run of them.
        const std::uint64_t key = (static_cast<std::uint64_t>(row) << 32) | session;
        if (key != lastKey && seen.insert(key).second)
            ++sessions[row];
        lastKey = key;
        machines.add(row, model, m, breakdown);
    }

    void moveInto(Report& report)
    {
        for (std::size_t i = 0; i < machines.rows.size(); ++i)
            machines.rows[i].sessions = sessions[i];
        report.machines = std::move(machines.rows);
        sortByCost(report.machines);
    }
};

} // namespace

DashboardFilters filtersFor(const Options& options)
{
    DashboardFilters filters{options.from, options.to, {}, DatePreset::last7d, options.clock.isLocal()};
    if (options.machine)
        filters.machines.insert(*options.machine);
    return filters;
}

Report build(const std::vector<DashboardMessage>& messages, const std::map<std::string, std::string>& projects,
             std::optional<UsageLimits> limits, const Options& options)
{
    Report report;
    report.options = options;
    report.limits = std::move(limits);
    const bool breakdown = options.breakdown;

    std::vector<std::uint32_t> picks;
    const MessageList inRange
        = DashboardAggregator::select(messages, filtersFor(options), picks, DashboardAggregator::isSortedByTime(messages));
    report.totals = DashboardAggregator::totals(inRange);
    report.unpriced = DashboardAggregator::unpricedModels(inRange);

    CalendarRows calendar(options);
    SessionRows sessionRows;
    MachineRows machineRows;
    TextIndex<AsIs> identifiers;
    PerIdentifier models;
    for (const DashboardMessage& m : inRange) {
        const std::size_t model = identifiers(m.model);
        if (!calendar.add(m, model, breakdown))
            continue; // not in the range (select() keeps only those that are)
        models[model].add(m);
        machineRows.add(m, model, sessionRows.add(m, model, projects, breakdown), breakdown);
    }
    DisplayNameCache names;
    for (Grouped* grouped : {&calendar.days, &calendar.weeks, &calendar.months, &sessionRows.sessions, &sessionRows.projects,
                             &machineRows.machines})
        grouped->finish(identifiers.keys(), names, breakdown);
    report.models = byDisplayName(models, identifiers.keys(), names);

    report.days = std::move(calendar.days.rows);
    report.weeks = std::move(calendar.weeks.rows);
    report.months = std::move(calendar.months.rows);
    sessionRows.moveInto(report);
    machineRows.moveInto(report);
    if (!messages.empty()) {
        Instant latest = messages.front().timestamp;
        for (const DashboardMessage& m : messages)
            latest = std::max(latest, m.timestamp);
        report.dataUpTo = latest;
    }
    return report;
}

std::string weekKey(const std::string& dayKey, bool startsSunday)
{
    const std::int64_t day = UtcCalendar::daysFromCivil(std::stoll(dayKey.substr(0, 4)), static_cast<unsigned>(std::stoul(dayKey.substr(5, 2))),
                                                        static_cast<unsigned>(std::stoul(dayKey.substr(8, 2))));
    // 1970-01-01 was a Thursday: (day + 4) mod 7 counts from Sunday, (day + 3) mod 7 from Monday.
    const auto since = [day](std::int64_t shift) { return ((day + shift) % 7 + 7) % 7; };
    char text[32];
    if (startsSunday) {
        const auto sunday = UtcCalendar::civilFromDays(day - since(4));
        std::snprintf(text, sizeof text, "%04lld-%02u-%02u", static_cast<long long>(sunday.year), sunday.month, sunday.day);
        return text;
    }
    // An ISO week belongs to the year that holds its Thursday, and week 1 is the one with the year's first Thursday.
    const std::int64_t thursday = day - since(3) + 3;
    const std::int64_t year = UtcCalendar::civilFromDays(thursday).year;
    const std::int64_t week = (thursday - UtcCalendar::daysFromCivil(year, 1, 1)) / 7 + 1;
    std::snprintf(text, sizeof text, "%04lld-W%02lld", static_cast<long long>(year), static_cast<long long>(week));
    return text;
}

std::string homeShortened(const std::string& path, const std::string& home)
{
    if (home.empty() || home == "/" || !path.starts_with(home))
        return path;
    if (path.size() == home.size())
        return "~";
    return path[home.size()] == '/' ? "~" + path.substr(home.size()) : path;
}

} // namespace tallyglass::TerminalReport
