#include "dashboard/TerminalReport.h"


#include "core/IsoTime.h"
#include "core/Printable.h"
#include "core/UtcCalendar.h"
#include "dashboard/TextTable.h"
#include "dashboard/UsageReport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tallyglass::TerminalReport {

namespace {

using Shrink = TextTable::Shrink;

std::string day(Instant t)
{
    return IsoTime::formatSeconds(t).substr(0, 10);
}

std::string minute(Instant t)
{
    return DayClock::utc().minute(t);
}

// Whose days the tables count in.
std::string zoneName(const Report& r)
{
    return r.options.clock.zoneName();
}

std::string percent(double value)
{
    return std::to_string(static_cast<long long>(std::trunc(value))) + "%";
}

std::string plural(std::int64_t count, const char* one, const char* many)
{
    return groupedCount(count) + " " + (count == 1 ? one : many);
}

// Models the names list does not know are all "Other": their identifiers say more.
std::string modelLabel(const ModelRow& model)
{
    if (model.name != "Other" || model.identifiers.empty())
        return model.name;
    std::string label;
    for (const std::string& identifier : model.identifiers)
        label += (label.empty() ? "" : ", ") + (identifier.empty() ? std::string("(no model)") : identifier);
    return label;
}

std::string costCell(const ModelRow& model)
{
    return model.priced ? money(model.figures.cost) : "\u2014";
}

// A column of figures that a narrow terminal may go without: `drop` says how
// soon (1 first). Cost, the report's point, always stays.
TextTable::Column figureColumn(const char* header, int drop)
{
    return {header, true, Shrink::never, 8, 0, drop};
}

// The figures columns shared by every grouping: the cache columns go first, then messages and input.
std::vector<TextTable::Column> figureColumns(bool caches)
{
    std::vector<TextTable::Column> columns{figureColumn("Messages", 3), figureColumn("Input", 4),
                                           figureColumn("Output", 5)};
    if (caches) {
        columns.push_back(figureColumn("Cache write", 1));
        columns.push_back(figureColumn("Cache read", 2));
    }
    columns.push_back({"Cost", true});
    return columns;
}

std::vector<std::string> figureCells(const Figures& f, bool caches, const std::string& cost)
{
    std::vector<std::string> cells{groupedCount(f.messages), UsageReport::shortTokens(f.input), UsageReport::shortTokens(f.output)};
    if (caches) {
        cells.push_back(UsageReport::shortTokens(f.cacheWritten));
        cells.push_back(UsageReport::shortTokens(f.cacheRead));
    }
    cells.push_back(cost);
    return cells;
}

void addBreakdown(TextTable& table, const std::vector<ModelRow>& models, std::size_t leading, bool caches)
{
    for (const ModelRow& model : models) {
        std::vector<std::string> cells(leading);
        cells[0] = "  \u00b7 " + modelLabel(model);
        for (std::string& cell : figureCells(model.figures, caches, costCell(model)))
            cells.push_back(std::move(cell));
        table.add(std::move(cells));
    }
}

// Over a month, quiet days are left out of the tables (JSON keeps them): a year
// would otherwise be a screenful of zeros.
bool quietRowsLeftOut(const Report& r)
{
    return r.days.size() > 31;
}

// The tables whose rows count their sessions.
bool countsSessions(const Report& r)
{
    return r.options.by == Grouping::project || r.options.by == Grouping::machine;
}

void addTotal(TextTable& table, const Report& r, std::size_t leading, bool caches)
{
    table.rule();
    Figures all{r.totals.input, r.totals.output, r.totals.cacheCreated, r.totals.cacheRead, r.totals.messageCount, r.totals.costUSD};
    std::vector<std::string> cells(leading);
    cells[0] = "Total";
    if (countsSessions(r))
        cells[1] = groupedCount(r.totals.sessionCount);
    for (std::string& cell : figureCells(all, caches, money(all.cost)))
        cells.push_back(std::move(cell));
    table.add(std::move(cells));
}

std::string groupedTable(const Report& r, std::size_t width)
{
    const bool breakdown = r.options.breakdown;
    std::vector<TextTable::Column> columns;
    std::size_t leading = 1;
    bool caches = true;
    const std::vector<Row>* rows = nullptr;
    switch (r.options.by) {
    // The first column also holds the models of the breakdown: those names give way, never a date.
    case Grouping::day: columns = {{"Day (" + zoneName(r) + ")", false, Shrink::keepStart, 10}}; rows = &r.days; break;
    case Grouping::week: columns = {{"Week (" + zoneName(r) + ")", false, Shrink::keepStart, 10}}; rows = &r.weeks; break;
    case Grouping::month: columns = {{"Month (" + zoneName(r) + ")", false, Shrink::keepStart, 11}}; rows = &r.months; break;
    case Grouping::session:
        columns = {{"Session", false, Shrink::keepStart, 9, 0}, {"Project", false, Shrink::keepEnd, 12, 1}, {"Latest (" + zoneName(r) + ")"}};
        leading = 3;
        caches = false;
        rows = &r.sessions;
        break;
    case Grouping::project:
    case Grouping::machine:
        columns = {{r.options.by == Grouping::project ? "Project" : "Machine", false, Shrink::keepEnd, 12}, {"Sessions", true}};
        leading = 2;
        caches = false;
        rows = r.options.by == Grouping::project ? &r.projects : &r.machines;
        break;
    case Grouping::model: columns = {{"Model", false, Shrink::keepStart, 12}}; break;
    case Grouping::none: return {};
    }
    for (TextTable::Column& column : figureColumns(caches))
        columns.push_back(std::move(column));
    TextTable table(std::move(columns));
    if (r.options.by == Grouping::model) {
        for (const ModelRow& model : r.models)
            table.add([&] {
                std::vector<std::string> cells{modelLabel(model)};
                for (std::string& cell : figureCells(model.figures, caches, costCell(model)))
                    cells.push_back(std::move(cell));
                return cells;
            }());
    } else {
        std::size_t shown = 0;
        const bool skipQuiet = quietRowsLeftOut(r) && (r.options.by == Grouping::day || r.options.by == Grouping::month);
        for (const Row& row : *rows) {
            if (r.options.by == Grouping::session && shown++ == r.options.sessionRows)
                break;
            if (skipQuiet && row.figures.messages == 0)
                continue;
            std::vector<std::string> cells{row.key};
            if (r.options.by == Grouping::session) {
                cells.push_back(row.project.empty() ? "(unknown)" : row.project);
                cells.push_back(r.options.clock.minute(row.latest));
            } else if (countsSessions(r)) {
                cells[0] = row.key.empty() ? "(unknown)" : row.key;
                cells.push_back(groupedCount(row.sessions));
            }
            for (std::string& cell : figureCells(row.figures, caches, money(row.figures.cost)))
                cells.push_back(std::move(cell));
            table.add(std::move(cells));
            if (breakdown)
                addBreakdown(table, row.models, leading, caches);
        }
    }
    addTotal(table, r, leading, caches);
    std::string out = table.render(width);
    if (quietRowsLeftOut(r) && (r.options.by == Grouping::day || r.options.by == Grouping::month))
        out += std::string(r.options.by == Grouping::day ? "Days" : "Months") + " without usage are left out.\n";
    if (r.options.by == Grouping::session && r.sessions.size() > r.options.sessionRows)
        out += "(" + groupedCount(static_cast<std::int64_t>(r.sessions.size() - r.options.sessionRows))
               + " more; --sessions N shows more, --json all)\n";
    return out;
}

std::string labelled(const char* label, const std::string& value)
{
    std::string text = label;
    text.resize(16, ' ');
    return text + value + "\n";
}

std::string totalsSection(const Report& r, std::size_t width)
{
    std::string out = labelled("Cost", money(r.totals.costUSD));
    out += labelled("Messages", groupedCount(r.totals.messageCount) + " in " + plural(r.totals.sessionCount, "session", "sessions"));
    out += labelled("Input", groupedCount(r.totals.input));
    out += labelled("Output", groupedCount(r.totals.output));
    out += labelled("Cache written", groupedCount(r.totals.cacheCreated));
    out += labelled("Cache read", groupedCount(r.totals.cacheRead));
    if (!r.unpriced.empty())
        out += TextTable::wrap(unpricedNote(r.unpriced) + " (their cost is not in the figures)", width);
    return out;
}

std::string modelsSection(const Report& r, std::size_t width)
{
    if (r.models.empty())
        return {};
    TextTable models({{"Model", false, Shrink::keepStart, 12}, {"Input", true}, {"Output", true},
                      figureColumn("Cache write", 1), figureColumn("Cache read", 2), {"Cost", true}});
    for (const ModelRow& m : r.models)
        models.add({modelLabel(m), UsageReport::shortTokens(m.figures.input), UsageReport::shortTokens(m.figures.output),
                    UsageReport::shortTokens(m.figures.cacheWritten), UsageReport::shortTokens(m.figures.cacheRead), costCell(m)});
    return "\n" + models.render(width);
}

// Each day's output and cost, with a bar as long as its share of the busiest day's output.
std::string daysSection(const Report& r, std::size_t width)
{
    if (r.totals.messageCount <= 0)
        return {};
    std::string out = "\nPer day (" + zoneName(r) + ")" + (quietRowsLeftOut(r) ? ", days without usage left out" : "") + "\n";
    std::int64_t most = 1;
    for (const Row& d : r.days)
        most = std::max(most, d.figures.output);
    TextTable days({{"Day"}, {"Output", true}, {"Cost", true}, {""}}, 2);
    const std::size_t bar = width == 0 ? 30 : std::clamp<std::size_t>(width > 48 ? width - 48 : 0, 0, 30);
    for (const Row& d : r.days) {
        if (quietRowsLeftOut(r) && d.figures.messages == 0)
            continue;
        const auto cells = static_cast<std::size_t>(
            std::lround(static_cast<double>(bar) * static_cast<double>(std::max<std::int64_t>(d.figures.output, 0)) / static_cast<double>(most)));
        std::string blocks;
        for (std::size_t i = 0; i < cells; ++i)
            blocks += "\u2588";
        days.add({d.key, UsageReport::shortTokens(d.figures.output), money(d.figures.cost), blocks});
    }
    return out + days.render(width);
}

std::string sessionsSection(const Report& r, std::size_t width)
{
    if (r.sessions.empty())
        return {};
    TextTable sessions({{"Session", false, Shrink::keepStart, 9, 0}, {"Project", false, Shrink::keepEnd, 12, 1}, {"Latest (" + zoneName(r) + ")"},
                        figureColumn("Messages", 1), figureColumn("Output", 2), {"Cost", true}},
                       2);
    for (std::size_t i = 0; i < r.sessions.size() && i < r.options.sessionRows; ++i) {
        const Row& s = r.sessions[i];
        sessions.add({s.key, s.project.empty() ? "(unknown)" : s.project, r.options.clock.minute(s.latest), groupedCount(s.figures.messages),
                      UsageReport::shortTokens(s.figures.output), money(s.figures.cost)});
    }
    std::string out = "\nRecent sessions\n" + sessions.render(width);
    if (r.sessions.size() > r.options.sessionRows)
        out += "  (" + groupedCount(static_cast<std::int64_t>(r.sessions.size() - r.options.sessionRows))
               + " more; --by session lists them)\n";
    return out;
}

std::string limitWindow(const char* name, const std::optional<double>& used, const std::optional<Instant>& resets)
{
    std::string text = std::string("  ") + name;
    text.resize(20, ' ');
    text += used ? percent(*used) : std::string("unknown");
    if (resets)
        text += "  (resets " + minute(*resets) + " UTC)";
    return text + "\n";
}

std::string limitsSection(const Report& r, std::size_t width)
{
    std::string out = "\nUsage limits\n";
    if (!r.limits)
        return out + TextTable::wrap("  no rate-limit data yet (it comes with Claude Code's status line)", width, 2);
    out += limitWindow("Five-hour window", r.limits->fiveHourUtilization, r.limits->fiveHourResetsAt);
    out += limitWindow("Seven-day window", r.limits->sevenDayUtilization, r.limits->sevenDayResetsAt);
    if (r.limits->fetchedAt)
        out += "  as of " + minute(*r.limits->fetchedAt) + " UTC\n";
    return out;
}

// Only where usage came from more than one machine: one machine's row would repeat the totals.
std::string machinesSection(const Report& r, std::size_t width)
{
    if (r.machines.size() < 2)
        return {};
    TextTable machines({{"Machine", false, Shrink::keepEnd, 12}, {"Sessions", true}, figureColumn("Messages", 1), {"Output", true},
                        {"Cost", true}},
                       2);
    for (const Row& m : r.machines)
        machines.add({m.key.empty() ? "(unknown)" : m.key, groupedCount(m.sessions), groupedCount(m.figures.messages),
                      UsageReport::shortTokens(m.figures.output), money(m.figures.cost)});
    return "\nPer machine\n" + machines.render(width);
}

std::string summary(const Report& r, std::size_t width)
{
    return totalsSection(r, width) + modelsSection(r, width) + machinesSection(r, width) + daysSection(r, width)
        + sessionsSection(r, width) + limitsSection(r, width);
}

} // namespace

std::string money(double amount)
{
    const bool negative = amount < 0;
    const auto cents = static_cast<std::int64_t>(std::llround(std::fabs(amount) * 100));
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%02lld", static_cast<long long>(cents % 100));
    return std::string(negative && cents > 0 ? "-$" : "$") + groupedCount(cents / 100) + fraction;
}

std::string whenLocal(Instant t, Instant now, std::chrono::seconds zoneOffset)
{
    const Instant localT = t + zoneOffset;
    const std::int64_t days = UtcCalendar::dayNumber(now + zoneOffset) - UtcCalendar::dayNumber(localT);
    const std::string clock = IsoTime::formatSeconds(localT).substr(11, 5);
    if (days == 0)
        return clock + " today";
    if (days == 1)
        return clock + " yesterday";
    return day(localT) + " " + clock;
}

std::string renderText(const Report& r, std::size_t width, Instant now, std::chrono::seconds zoneOffset)
{
    const std::string title = "Claude Code usage"
        + (r.options.machine ? " on " + Printable::escaped(*r.options.machine) : std::string()) + ", " + r.options.title;
    const DayClock& clock = r.options.clock;
    const Instant lastDay = clock.startOfDay(r.options.to - std::chrono::microseconds(1));
    const std::string span = clock.dayKey(r.options.from) + (lastDay > r.options.from ? " to " + clock.dayKey(lastDay) : std::string());
    const std::string zone = clock.zoneName() == "local" ? "local time" : clock.zoneName();
    const std::string days = span == r.options.title ? "(" + zone + ")" : "(" + span + ", " + zone + ")";
    // Too long for the terminal, the days go on a line of their own rather than break apart.
    std::string out = width == 0 || TextTable::length(title + " " + days) <= width
        ? title + " " + days + "\n"
        : TextTable::wrap(title, width) + TextTable::wrap(days, width);
    out += r.dataUpTo ? "Data up to " + whenLocal(*r.dataUpTo, now, zoneOffset) + "\n" : "No data stored yet\n";
    if (r.impossibleTimes > 0)
        out += TextTable::wrap(plural(r.impossibleTimes, "stored message is", "stored messages are")
                                   + " left out: dated before 2000 or more than a day from now",
                               width);
    out += "\n";
    if (r.options.by == Grouping::none)
        return out + summary(r, width);
    out += groupedTable(r, width);
    if (!r.unpriced.empty())
        out += TextTable::wrap(unpricedNote(r.unpriced) + " (their cost is not in the figures)", width);
    return out;
}

} // namespace tallyglass::TerminalReport
