#include "app/ReportCommand.h"

#include "app/AppPaths.h"
#include "app/CommandSupport.h"
#include "dashboard/ReportArguments.h"
#include "app/SingleInstance.h"
#include "app/Version.h"
#include "capture/HistoryImport.h"
#include "core/Printable.h"
#include "core/UtcCalendar.h"
#include "pricing/ModelPricingCatalog.h"
#include "pricing/PriceList.h"
#include "dashboard/TextTable.h"
#include "storage/DatabaseClient.h"
#include "storage/WriteDatabase.h"


#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tallyglass::ReportCommand {

namespace {

using CommandSupport::databaseProblem;
using CommandSupport::fail;

// Opens the database for writing only when there is something to write: with
// nothing changed the report reads and never writes.
class WriterOnDemand final : public MessageWriter {
public:
    void insertMessages(const std::vector<MessageInsert>& messages) override { writer().insertMessages(messages); }
    void insertBackfillMessages(const std::vector<MessageInsert>& messages) override { writer().insertBackfillMessages(messages); }
    void upsertRateLimits(const RateLimitWindow& five, const RateLimitWindow& seven, Instant at) override
    {
        writer().upsertRateLimits(five, seven, at);
    }
    void setSessionActive(const std::string& sessionId, bool active) override { writer().setSessionActive(sessionId, active); }
    void setSessionProjects(const std::vector<std::pair<std::string, std::string>>& projects, bool onlyUnknown) override
    {
        if (!projects.empty())
            writer().setSessionProjects(projects, onlyUnknown);
    }
    // Asked before anything is written: a read, until there is something to write.
    std::optional<std::string> stateValue(const std::string& key) override
    {
        if (writer_)
            return writer_->stateValue(key);
        DatabaseClient* client = reader();
        return client ? client->fetchStateValue(key) : std::nullopt;
    }
    void setTranscriptMarks(const std::vector<TranscriptMark>& marks) override
    {
        if (!marks.empty())
            writer().setTranscriptMarks(marks);
    }
    // Read, not written: with nothing changed no writer is ever opened. A
    // file older than the marks has none, and every transcript is read
    // whole once, as the writer that then opens would have it.
    std::vector<TranscriptMark> transcriptMarks() override
    {
        if (writer_)
            return writer_->transcriptMarks();
        DatabaseClient* client = reader();
        return client ? client->fetchTranscriptMarks() : std::vector<TranscriptMark>{};
    }
    // With no database and nothing stored there is nothing to remember: a report alone makes no file.
    void setStateValue(const std::string& key, const std::string& value) override
    {
        std::error_code ignored;
        if (writer_ || std::filesystem::exists(AppPaths::database(), ignored))
            writer().setStateValue(key, value);
    }

    // Stored messages priced with another list than the one in use (the
    // user's price file changed since) are priced again before anything is
    // shown: the figures are the stored costs.
    void priceStoredAgain()
    {
        const auto prices = ModelPricingCatalog::current();
        if (!prices->repricesStored())
            return;
        if (writer_) {
            writer_->waitForRepricing();
            return;
        }
        if (DatabaseClient* client = reader(); client && client->hasMessagesPricedOtherThan(prices->version()))
            writer().waitForRepricing();
    }

private:
    // Every read before the writer opens goes through one connection: opening
    // one per read parsed the schema and set up the shared memory each time.
    // Nothing when there is no file yet.
    DatabaseClient* reader()
    {
        if (!reader_) {
            std::error_code ignored;
            if (!std::filesystem::exists(AppPaths::database(), ignored))
                return nullptr;
            reader_ = std::make_unique<DatabaseClient>(AppPaths::database(), DatabaseClient::WallClock{},
                                                       ReadConnection::Keeping::kept);
        }
        return reader_.get();
    }

    WriteDatabase& writer()
    {
        if (!writer_)
            writer_ = CommandSupport::openWriter();
        return *writer_;
    }
    std::shared_ptr<WriteDatabase> writer_;
    std::unique_ptr<DatabaseClient> reader_;
};

Instant nowInstant()
{
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

// Brings in what Claude Code wrote since the last import. Nothing when done,
// else why it could not be (the stored figures can still be shown).
std::optional<std::string> update()
{
    const auto writer = std::make_shared<WriterOnDemand>();
    HistoryImport import(writer, AppPaths::transcriptRoots());
    try {
        // A database without the mark (new, emptied or replaced) is given the whole history again.
        if (!writer->stateValue(HistoryImport::importedKey))
            std::fprintf(stderr, "Importing Claude Code's transcript history first; later reports read only what changed.\n");
        import.scanAll({});
        writer->priceStoredAgain();
    } catch (const std::exception& error) {
        return databaseProblem(error, AppPaths::database());
    }
    if (const auto skipped = import.statistics().unreadable; skipped > 0)
        fail("report",
             std::to_string(skipped) + (skipped == 1 ? " transcript file or folder" : " transcript files or folders")
                 + " could not be read (named above) and are not in the figures",
             0);
    return std::nullopt;
}

// --all: the days begin with the first that has data.
void startAtFirstDay(TerminalReport::Options& options, const std::vector<DashboardMessage>& messages)
{
    if (messages.empty())
        return;
    Instant first = messages.front().timestamp;
    for (const DashboardMessage& m : messages)
        first = std::min(first, m.timestamp);
    options.from = std::min(options.from, options.clock.startOfDay(first));
}

} // namespace

// A running app captures as things happen; otherwise the transcripts are read first.
Freshness bringUpToDate()
{
    if (SingleInstance::isHeld(AppPaths::configDirectory() / "running.lock"))
        return {true, std::nullopt};
    auto problem = update();
    return {!problem, std::move(problem)};
}

int run(const std::vector<std::string>& arguments)
{
    const Instant now = nowInstant();
    ReportArguments::Request request;
    try {
        request = ReportArguments::parse(arguments, now);
    } catch (const CommandLine::UsageError& error) {
        return fail("report", Printable::escaped(error.what()) + "\n(see 'tallyglass report --help')", 2);
    }
    if (request.help) {
        std::fputs(ReportArguments::help().c_str(), stdout);
        return 0;
    }

    const Freshness freshness = request.update ? bringUpToDate() : Freshness{};
    const std::optional<std::string>& notUpdated = freshness.problem;

    const auto path = AppPaths::database();
    std::vector<DashboardMessage> messages;
    std::map<std::string, std::string> projects;
    std::optional<UsageLimits> limits;
    std::optional<Instant> newest;
    std::int64_t impossibleTimes = 0;
    std::vector<std::string> machines;
    bool hasAny = false;
    std::error_code ignored;
    const bool stored = std::filesystem::exists(path, ignored);
    if (!stored && notUpdated)
        return fail("report", *notUpdated, 1);
    if (notUpdated)
        fail("report", "could not bring in the latest transcripts: " + *notUpdated + "; showing what was stored before", 0);
    if (!stored && !request.update)
        return fail("report", databaseProblem(DBError(DBError::Kind::dbMissing), path), 1);
    if (stored) {
        try {
            // One connection for every read: each open parses the schema again.
            DatabaseClient client(path, [now] { return now; }, ReadConnection::Keeping::kept);
            // --all needs the first day with data; any other range reads only its own days.
            messages = request.fromFirstData ? client.fetchMessagesAround(std::nullopt, request.options.to)
                                             : client.fetchMessagesAround(request.options.from, request.options.to);
            limits = client.fetchUsageLimits();
            projects = client.fetchSessionProjects();
            hasAny = !messages.empty() || client.hasAnyMessages();
            newest = client.fetchLatestMessageTime();
            impossibleTimes = client.fetchImpossibleTimeCount();
            if (request.options.machine)
                machines = client.fetchMachines();
        } catch (const std::exception& error) {
            return fail("report", databaseProblem(error, path), 1);
        }
    }
    if (request.options.machine)
        if (const auto unknown = ReportArguments::unknownMachine(*request.options.machine, machines))
            return fail("report", Printable::escaped(*unknown) + "\n(see 'tallyglass report --help')", 2);
    const std::string home = AppPaths::home().string();
    for (auto& [session, project] : projects)
        project = TerminalReport::homeShortened(project, home);

    if (request.fromFirstData)
        startAtFirstDay(request.options, messages);
    TerminalReport::Report report = TerminalReport::build(messages, projects, limits, request.options);
    // How current the figures are is the newest message stored, whatever the days
    // shown: not when the transcripts were last read, which says nothing of them.
    report.dataUpTo = newest;
    report.impossibleTimes = impossibleTimes;

    // A full disk is a failure too, not a report shown.
    const auto print = [](const std::string& text) { return CommandSupport::output("report", "report", text); };
    if (request.json)
        return print(TerminalReport::renderJson(report, appVersion));
    const std::size_t width = CommandSupport::terminalWidth();
    if (messages.empty() && !hasAny)
        return print(TextTable::wrap("No usage recorded yet. Install the hook ('tallyglass hook install') so that "
                                     "Claude Code reports its sessions, or check that its transcripts are in "
                                     "~/.claude/projects ('tallyglass import' reads them).",
                                     width == 0 ? 80 : width));
    return print(TerminalReport::renderText(report, width, now, CommandSupport::zoneOffset()));
}

} // namespace tallyglass::ReportCommand
