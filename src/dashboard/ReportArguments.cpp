#include "dashboard/ReportArguments.h"

#include "core/UtcCalendar.h"
#include "core/ZoneNames.h"

#include <algorithm>
#include <charconv>

namespace tallyglass::ReportArguments {

const char* const daysHelp =
    "Days (default: the last 7, today included):\n"
    "  --days N         the last N days (1-36500); with --until, the N days up to it\n"
    "  --since DATE     from this day on (YYYY-MM-DD or YYYYMMDD)\n"
    "  --until DATE     up to and including this day (default: today)\n"
    "  --all            every day since the first with data\n"
    "  --local          days and times in the local zone instead of UTC\n"
    "  --zone ZONE      days and times in this time zone (Asia/Kolkata)\n";

namespace {

const char* const about =
    "Usage: tallyglass report [options]\n"
    "\n"
    "Tokens and cost of Claude Code over whole days (UTC unless --local or --zone):\n"
    "totals, models, days, recent sessions and usage limits, or one table with --by.\n"
    "Before reporting it reads the transcripts that changed since the last import,\n"
    "unless the app is running (it captures as things happen) or --no-update is\n"
    "given.\n"
    "\n";

const char* const choices =
    "\n"
    "What to show:\n"
    "  --by WHAT        one table: day, week, month, session, project, model or\n"
    "                   machine\n"
    "  --week-start DAY the first day of a week: monday (ISO weeks, the default)\n"
    "                   or sunday\n"
    "  --breakdown      the models under each row of the table\n"
    "  --sessions N     session rows to show (default 10; --json lists every one)\n"
    "  --json           every figure as JSON, for scripts\n"
    "  --machine NAME   only the usage stored under this machine\n"
    "  --no-update      report what is stored, without reading transcripts first\n"
    "  -h, --help       show this help\n"
    "\n"
    "Examples:\n"
    "  tallyglass report --days 30 --by day\n"
    "  tallyglass report --since 2026-11-01 --until 2026-11-30 --by project\n"
    "  tallyglass report --days 30 --by day --breakdown\n"
    "  tallyglass report --all --by month --json\n"
    "  tallyglass report --days 30 --by machine\n";

using CommandLine::UsageError;

std::int64_t wholeNumber(const std::string& option, const std::string& text, std::int64_t low, std::int64_t high)
{
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < low || value > high)
        throw UsageError(option + " takes a whole number from " + std::to_string(low) + " to " + std::to_string(high) + ", not '"
                         + text + "'");
    return value;
}

Instant day(const std::string& option, const std::string& text, const DayClock& clock)
{
    const auto digits = [&](std::size_t at, std::size_t count) {
        unsigned value = 0;
        for (std::size_t i = at; i < at + count; ++i) {
            if (text[i] < '0' || text[i] > '9')
                return -1;
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
        }
        return static_cast<int>(value);
    };
    const bool dashed = text.size() == 10 && text[4] == '-' && text[7] == '-';
    if (dashed || text.size() == 8) {
        const int year = digits(0, 4);
        const int month = digits(dashed ? 5 : 4, 2);
        const int dayOfMonth = digits(dashed ? 8 : 6, 2);
        if (year >= 1970 && year <= 9998 && month > 0 && dayOfMonth > 0
            && UtcCalendar::isValidDate(year, static_cast<unsigned>(month), static_cast<unsigned>(dayOfMonth)))
            return clock.dateStart(year, static_cast<unsigned>(month), static_cast<unsigned>(dayOfMonth));
    }
    throw UsageError(option + " takes a day as YYYY-MM-DD or YYYYMMDD, such as 2026-11-30, not '" + text + "'");
}

TerminalReport::Grouping grouping(const std::string& text)
{
    using G = TerminalReport::Grouping;
    const std::pair<const char*, G> known[] = {{"day", G::day},         {"week", G::week},       {"month", G::month},
                                               {"session", G::session}, {"project", G::project}, {"model", G::model},
                                               {"machine", G::machine}};
    for (const auto& [name, value] : known)
        if (text == name)
            return value;
    std::vector<std::string> names;
    for (const auto& [name, value] : known)
        names.emplace_back(name);
    const std::string near = CommandLine::nearest(text, names);
    throw UsageError("--by takes day, week, month, session, project, model or machine, not '" + text + "'"
                     + (near.empty() ? std::string() : "; did you mean '" + near + "'?"));
}

} // namespace

std::optional<std::string> machine(const CommandLine::Parsed& parsed)
{
    if (!parsed.has("--machine"))
        return std::nullopt;
    const std::string& given = parsed.value("--machine");
    const auto first = given.find_first_not_of(" \t");
    if (first == std::string::npos)
        throw UsageError("--machine takes the name of a machine, as --by machine lists them");
    return given.substr(first, given.find_last_not_of(" \t") - first + 1);
}

std::optional<std::string> unknownMachine(const std::string& name, const std::vector<std::string>& known)
{
    // With nothing stored at all, the usual "nothing yet" says more than a list of no names.
    if (known.empty() || std::find(known.begin(), known.end(), name) != known.end())
        return std::nullopt;
    const std::string near = CommandLine::nearest(name, known);
    std::string names;
    for (const std::string& machineName : known)
        names += (names.empty() ? "'" : ", '") + machineName + "'";
    return "no usage is stored under the machine '" + name + "'"
           + (near.empty() ? std::string(".") : "; did you mean '" + near + "'?") + " The machines stored: " + names;
}

bool weekStartsSunday(const std::string& text)
{
    if (text == "monday" || text == "sunday")
        return text == "sunday";
    const std::string near = CommandLine::nearest(text, {"monday", "sunday"});
    throw UsageError("--week-start takes monday or sunday, not '" + text + "'"
                     + (near.empty() ? std::string() : "; did you mean '" + near + "'?"));
}

DayClock zoneClock(const CommandLine::Parsed& parsed)
{
    if (parsed.has("--local") && parsed.has("--zone"))
        throw UsageError("--local and --zone both choose the time zone; use one of them");
    if (parsed.has("--zone")) {
        const std::string& name = parsed.value("--zone");
        if (const auto problem = ZoneNames::problem(name))
            throw UsageError(*problem);
        return DayClock::zone(name);
    }
    return parsed.has("--local") ? DayClock::local() : DayClock::utc();
}

Days days(const CommandLine::Parsed& parsed, Instant now)
{
    for (const auto& [a, b] : {std::pair{"--days", "--since"}, std::pair{"--days", "--all"}, std::pair{"--since", "--all"}})
        if (parsed.has(a) && parsed.has(b))
            throw UsageError(std::string(a) + " and " + b + " both choose the first day; use one of them");
    Days chosen;
    chosen.clock = zoneClock(parsed);
    const DayClock& clock = chosen.clock;
    const auto dayText = [&](Instant t) { return clock.dayKey(t); };
    const Instant today = clock.startOfDay(now);
    const Instant last = parsed.has("--until") ? day("--until", parsed.value("--until"), clock) : today;
    chosen.to = clock.nextDay(last);
    if (parsed.has("--since")) {
        chosen.from = day("--since", parsed.value("--since"), clock);
        if (chosen.from > last)
            throw UsageError("--since " + dayText(chosen.from) + " is after " + (parsed.has("--until") ? "--until " : "today, ")
                             + dayText(last));
        chosen.title = chosen.from == last ? dayText(last) : dayText(chosen.from) + " to " + dayText(last);
    } else if (parsed.has("--all")) {
        chosen.fromFirstData = true;
        chosen.from = last;
        chosen.title = "all time";
    } else {
        const std::int64_t count = parsed.has("--days") ? wholeNumber("--days", parsed.value("--days"), 1, 36'500) : 7;
        chosen.from = clock.addDays(last, 1 - count);
        chosen.title = parsed.has("--until") ? std::to_string(count) + (count == 1 ? " day" : " days") + " to " + dayText(last)
                                             : "last " + std::to_string(count) + (count == 1 ? " day" : " days");
    }
    return chosen;
}

std::string help()
{
    return std::string(about) + daysHelp + choices;
}

Request parse(const std::vector<std::string>& arguments, Instant now)
{
    const auto parsed = CommandLine::parse(arguments, {{"--days", "N"},
                                                       {"--since", "DATE"},
                                                       {"--until", "DATE"},
                                                       {"--all", ""},
                                                       {"--by", "WHAT"},
                                                       {"--breakdown", ""},
                                                       {"--sessions", "N"},
                                                       {"--json", ""},
                                                       {"--local", ""},
                                                       {"--zone", "ZONE"},
                                                       {"--week-start", "DAY"},
                                                       {"--machine", "NAME"},
                                                       {"--no-update", ""}});
    Request request;
    if (parsed.help) {
        request.help = true;
        return request;
    }
    if (!parsed.words.empty())
        throw UsageError("unexpected '" + parsed.words.front() + "'; the report takes only options");
    const Days chosen = days(parsed, now);
    TerminalReport::Options& options = request.options;
    options.from = chosen.from;
    options.to = chosen.to;
    options.title = chosen.title;
    options.clock = chosen.clock;
    request.fromFirstData = chosen.fromFirstData;
    if (parsed.has("--by"))
        options.by = grouping(parsed.value("--by"));
    if (parsed.has("--week-start"))
        options.weekStartsSunday = weekStartsSunday(parsed.value("--week-start"));
    options.breakdown = parsed.has("--breakdown");
    if (options.breakdown && options.by == TerminalReport::Grouping::none)
        throw UsageError("--breakdown lists the models under each row of a table; add --by day, week, month, session, project or machine");
    if (parsed.has("--sessions"))
        options.sessionRows = static_cast<std::size_t>(wholeNumber("--sessions", parsed.value("--sessions"), 1, 1'000'000));
    else if (options.by == TerminalReport::Grouping::session)
        options.sessionRows = 1'000'000; // the table of sessions lists them all unless told
    options.machine = machine(parsed);
    request.json = parsed.has("--json");
    request.update = !parsed.has("--no-update");
    return request;
}

} // namespace tallyglass::ReportArguments
