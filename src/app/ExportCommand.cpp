#include "app/ExportCommand.h"

#include "app/AppPaths.h"
#include "core/CommandLine.h"
#include "app/CommandSupport.h"
#include "dashboard/ReportArguments.h"
#include "app/ReportCommand.h"
#include "core/Printable.h"
#include "core/UtcCalendar.h"
#include "dashboard/DashboardRecords.h"
#include "dashboard/ExportTable.h"
#include "storage/DatabaseClient.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace tallyglass::ExportCommand {

namespace {

const char* const about =
    "Usage: tallyglass export [options]\n"
    "\n"
    "The stored figures on standard output, for spreadsheets and scripts: one row per\n"
    "message (the default), session, day, week, month, project, model or machine,\n"
    "over whole days. The figures are the report's for the same days, and like the\n"
    "report it first reads the transcripts that changed. Times are UTC (ISO 8601),\n"
    "costs US dollars.\n"
    "\n";

const char* const choices =
    "\n"
    "What to write:\n"
    "  --by WHAT        one row per message, session, day, week, month, project,\n"
    "                   model or machine\n"
    "  --week-start DAY the first day of a week: monday (ISO weeks, the default)\n"
    "                   or sunday\n"
    "  --format FORMAT  csv (RFC 4180, the default) or json (one array)\n"
    "  --machine NAME   only the usage stored under this machine\n"
    "  --no-update      write what is stored, without reading transcripts first\n"
    "  -h, --help       show this help\n"
    "\n"
    "Example:\n"
    "  tallyglass export --since 2026-11-01 --until 2026-11-30 --by day > nov.csv\n";

ExportTable::Rows rows(const std::string& text)
{
    using R = ExportTable::Rows;
    const std::pair<const char*, R> known[] = {{"message", R::message}, {"session", R::session}, {"day", R::day},
                                               {"week", R::week},       {"month", R::month},     {"project", R::project},
                                               {"model", R::model},     {"machine", R::machine}};
    std::vector<std::string> names;
    for (const auto& [name, value] : known) {
        if (text == name)
            return value;
        names.emplace_back(name);
    }
    const std::string near = CommandLine::nearest(text, names);
    throw CommandLine::UsageError("--by takes message, session, day, week, month, project, model or machine, not '" + text + "'"
                                  + (near.empty() ? std::string() : "; did you mean '" + near + "'?"));
}

// What the options ask for; throws CommandLine::UsageError.
struct Choices {
    ReportArguments::Days days;
    ExportTable::Rows by = ExportTable::Rows::message;
    bool json = false;
    bool update = true;
    bool weekStartsSunday = false;
    std::optional<std::string> machine;
};

Choices choose(const CommandLine::Parsed& parsed, Instant now)
{
    Choices chosen;
    if (!parsed.words.empty())
        throw CommandLine::UsageError("unexpected '" + parsed.words.front() + "'; export takes only options");
    chosen.days = ReportArguments::days(parsed, now);
    if (parsed.has("--by"))
        chosen.by = rows(parsed.value("--by"));
    chosen.update = !parsed.has("--no-update");
    chosen.machine = ReportArguments::machine(parsed);
    if (parsed.has("--week-start"))
        chosen.weekStartsSunday = ReportArguments::weekStartsSunday(parsed.value("--week-start"));
    if (parsed.has("--format")) {
        const std::string& format = parsed.value("--format");
        if (format != "csv" && format != "json")
            throw CommandLine::UsageError("--format takes csv or json, not '" + format + "'");
        chosen.json = format == "json";
    }
    return chosen;
}

// Reads the transcripts that changed, unless told not to. The exit status when
// there is nothing to write from; a failure with a database to write from is
// only said.
std::optional<int> bringUpToDate(bool update, const std::filesystem::path& path)
{
    using CommandSupport::fail;
    std::optional<std::string> notUpdated;
    if (update)
        notUpdated = ReportCommand::bringUpToDate().problem;
    std::error_code missing;
    if (!std::filesystem::exists(path, missing)) {
        if (notUpdated)
            return fail("export", *notUpdated, 1);
        if (!update)
            return fail("export", CommandSupport::databaseProblem(DBError(DBError::Kind::dbMissing), path), 1);
    } else if (notUpdated) {
        fail("export", "could not bring in the latest transcripts: " + *notUpdated + "; writing what was stored before", 0);
    }
    return std::nullopt;
}

struct Stored {
    std::vector<DashboardMessage> messages;
    std::map<std::string, std::string> projects;
    std::int64_t impossibleTimes = 0;
    std::vector<std::string> machines; // read only when one is asked for
};

// Nothing stored when there is no database; throws what the database says.
Stored readStored(const std::filesystem::path& path, Instant now, const Choices& chosen)
{
    Stored stored;
    std::error_code ignored;
    if (!std::filesystem::exists(path, ignored))
        return stored;
    const ReportArguments::Days& days = chosen.days;
    DatabaseClient client(path, [now] { return now; }, ReadConnection::Keeping::kept);
    if (chosen.machine)
        stored.machines = client.fetchMachines();
    stored.messages = days.fromFirstData ? client.fetchMessagesAround(std::nullopt, days.to) : client.fetchMessagesAround(days.from, days.to);
    stored.projects = client.fetchSessionProjects();
    stored.impossibleTimes = client.fetchImpossibleTimeCount();
    return stored;
}

} // namespace

int run(const std::vector<std::string>& arguments)
{
    using CommandSupport::fail;
    const Instant now = std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
    Choices chosen;
    try {
        const auto parsed = CommandLine::parse(arguments, {{"--days", "N"},
                                                           {"--since", "DATE"},
                                                           {"--until", "DATE"},
                                                           {"--all", ""},
                                                           {"--by", "WHAT"},
                                                           {"--format", "FORMAT"},
                                                           {"--local", ""},
                                                           {"--zone", "ZONE"},
                                                           {"--week-start", "DAY"},
                                                           {"--machine", "NAME"},
                                                           {"--no-update", ""}});
        if (parsed.help) {
            std::fputs((std::string(about) + ReportArguments::daysHelp + choices).c_str(), stdout);
            return 0;
        }
        chosen = choose(parsed, now);
    } catch (const CommandLine::UsageError& error) {
        return fail("export", Printable::escaped(error.what()) + "\n(see 'tallyglass export --help')", 2);
    }

    const auto path = AppPaths::database();
    if (const auto status = bringUpToDate(chosen.update, path))
        return *status;
    Stored stored;
    try {
        stored = readStored(path, now, chosen);
    } catch (const std::exception& error) {
        return fail("export", CommandSupport::databaseProblem(error, path), 1);
    }
    if (chosen.machine)
        if (const auto unknown = ReportArguments::unknownMachine(*chosen.machine, stored.machines))
            return fail("export", Printable::escaped(*unknown) + "\n(see 'tallyglass export --help')", 2);
    // Said beside the rows, never among them: a script reads the rows.
    if (stored.impossibleTimes > 0)
        fail("export",
             groupedCount(stored.impossibleTimes) + (stored.impossibleTimes == 1 ? " stored message is" : " stored messages are")
                 + " left out: dated before 2000 or more than a day from now",
             0);
    ReportArguments::Days& days = chosen.days;
    if (days.fromFirstData && !stored.messages.empty()) {
        Instant first = stored.messages.front().timestamp;
        for (const DashboardMessage& m : stored.messages)
            first = std::min(first, m.timestamp);
        days.from = std::min(days.from, days.clock.startOfDay(first));
    }
    const ExportTable::Table table = ExportTable::build(
        chosen.by, stored.messages, stored.projects,
        {days.from, days.to, days.title, {}, false, 10, days.clock, chosen.weekStartsSunday, chosen.machine});
    return CommandSupport::output("export", "export", chosen.json ? ExportTable::json(table) : ExportTable::csv(table));
}

} // namespace tallyglass::ExportCommand
