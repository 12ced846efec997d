#include "app/BlocksCommand.h"

#include "app/AppPaths.h"
#include "app/CommandSupport.h"
#include "app/ReportCommand.h"
#include "core/CommandLine.h"
#include "core/Printable.h"
#include "dashboard/BlockReport.h"
#include "dashboard/ReportArguments.h"
#include "dashboard/UsageBlocks.h"
#include "storage/DatabaseClient.h"

#include <cstdio>

namespace tallyglass::BlocksCommand {

namespace {

using CommandSupport::fail;

const char* const about = "Usage: tallyglass blocks [options]\n"
                          "\n"
                          "The five-hour blocks of use: a block starts at its first message, rounded down\n"
                          "to the whole hour (UTC), and lasts five hours; a message more than five hours\n"
                          "after the block's start or after the message before it starts the next one.\n"
                          "Each block with its messages, tokens and cost; the active one with its burn\n"
                          "rate and where it is heading by its end. Like the report it first reads the\n"
                          "transcripts that changed, unless the app is running or --no-update is given.\n"
                          "\n";

const char* const choices = "\n"
                            "What to show:\n"
                            "  --json           every block as JSON, for scripts\n"
                            "  --machine NAME   only the usage stored under this machine\n"
                            "  --no-update      show what is stored, without reading transcripts first\n"
                            "  -h, --help       show this help\n"
                            "\n"
                            "Example:\n"
                            "  tallyglass blocks --days 2 --zone Europe/Berlin\n";

struct Request {
    ReportArguments::Days days;
    bool json = false;
    bool update = true;
    std::optional<std::string> machine;
};

// Nothing when the help was asked for and shown.
std::optional<Request> parse(const std::vector<std::string>& arguments, Instant now)
{
    const auto parsed = CommandLine::parse(arguments,
        { { "--days", "N" }, { "--since", "DATE" }, { "--until", "DATE" }, { "--all", "" }, { "--local", "" },
            { "--zone", "ZONE" }, { "--json", "" }, { "--machine", "NAME" }, { "--no-update", "" } });
    if (parsed.help) {
        std::fputs((std::string(about) + ReportArguments::daysHelp + choices).c_str(), stdout);
        return std::nullopt;
    }
    if (!parsed.words.empty())
        throw CommandLine::UsageError("unexpected '" + parsed.words.front() + "'; blocks takes only options");
    return Request { ReportArguments::days(parsed, now), parsed.has("--json"), !parsed.has("--no-update"),
        ReportArguments::machine(parsed) };
}

} // namespace

int run(const std::vector<std::string>& arguments)
{
    const Instant now = wallClockNow();
    std::optional<Request> request;
    try {
        request = parse(arguments, now);
    } catch (const CommandLine::UsageError& error) {
        return fail("blocks", Printable::escaped(error.what()) + "\n(see 'tallyglass blocks --help')", 2);
    }
    if (!request)
        return 0;

    const std::optional<std::string> notUpdated
        = request->update ? ReportCommand::bringUpToDate().problem : std::nullopt;
    const auto path = AppPaths::database();
    std::error_code ignored;
    const bool stored = std::filesystem::exists(path, ignored);
    if (!stored && notUpdated)
        return fail("blocks", *notUpdated, 1);
    if (!stored && !request->update)
        return fail("blocks", CommandSupport::databaseProblem(DBError(DBError::Kind::dbMissing), path), 1);
    if (notUpdated)
        fail("blocks", "could not bring in the latest transcripts: " + *notUpdated + "; showing what was stored before",
            0);
    std::vector<DashboardMessage> messages;
    std::vector<std::string> machines;
    if (stored) {
        try {
            DatabaseClient client(path, [now] { return now; }, ReadConnection::Keeping::kept);
            const ReportArguments::Days& days = request->days;
            messages
                = client.fetchMessagesAround(days.fromFirstData ? std::nullopt : std::optional(days.from), days.to);
            if (request->machine)
                machines = client.fetchMachines();
        } catch (const std::exception& error) {
            return fail("blocks", CommandSupport::databaseProblem(error, path), 1);
        }
    }
    const std::optional<std::string>& machine = request->machine;
    if (machine)
        if (const auto unknown = ReportArguments::unknownMachine(*machine, machines))
            return fail("blocks", Printable::escaped(*unknown) + "\n(see 'tallyglass blocks --help')", 2);
    // The read client gives some messages either side of the days; only the days' own count.
    const ReportArguments::Days& days = request->days;
    std::erase_if(messages, [&](const DashboardMessage& m) {
        return m.timestamp >= days.to || (!days.fromFirstData && m.timestamp < days.from)
            || (machine && m.machine.view() != *machine);
    });
    const std::vector<UsageBlocks::Block> blocks = UsageBlocks::group(messages, now);
    const std::string text = request->json
        ? BlockReport::renderJson(blocks)
        : BlockReport::renderText(blocks, request->days.title + (machine ? ", on " + Printable::escaped(*machine) : std::string()),
            request->days.clock, CommandSupport::terminalWidth());
    return CommandSupport::output("blocks", "blocks", text);
}

} // namespace tallyglass::BlocksCommand
