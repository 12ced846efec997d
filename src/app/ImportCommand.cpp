#include "app/ImportCommand.h"

#include "app/AppPaths.h"
#include "core/CommandLine.h"
#include "app/CommandSupport.h"
#include "app/SingleInstance.h"
#include "capture/HistoryImport.h"
#include "capture/ScanService.h"
#include "core/Printable.h"
#include "dashboard/DashboardRecords.h"
#include "storage/WriteDatabase.h"

#include <chrono>
#include <cstdio>
#include <optional>
#include <unistd.h>

namespace tallyglass::ImportCommand {

const char* const help =
    "Usage: tallyglass import\n"
    "\n"
    "Reads every Claude Code transcript ($CLAUDE_CONFIG_DIR/projects,\n"
    "~/.claude/projects and ~/.config/claude/projects) and stores its messages with\n"
    "their cost. Messages already stored are not counted twice, so it can be run at\n"
    "any time. Files or folders that cannot be read are named at the end, and the\n"
    "exit status is then 1.\n"
    "\n"
    "Options:\n"
    "  -h, --help       show this help\n";

namespace {

using CommandSupport::fail;

// The exit status when the arguments end the command here: its help, or a mistake.
std::optional<int> answerArguments(const std::vector<std::string>& arguments)
{
    try {
        const auto parsed = CommandLine::parse(arguments, {});
        if (parsed.help) {
            std::fputs(help, stdout);
            return 0;
        }
        if (!parsed.words.empty())
            throw CommandLine::UsageError("unexpected '" + parsed.words.front() + "'; import takes no arguments");
    } catch (const CommandLine::UsageError& error) {
        return fail("import", Printable::escaped(error.what()) + "\n(see 'tallyglass import --help')", 2);
    }
    return std::nullopt;
}

// On a terminal one line redrawn in place; into a file or a pipe, a line a second at most.
ScanService::Progress progressLine(bool terminal, std::chrono::steady_clock::time_point started)
{
    return [terminal, lastLine = started](std::int64_t done, std::int64_t total) mutable {
        const auto now = std::chrono::steady_clock::now();
        const int percent = total == 0 ? 100 : static_cast<int>(100 * done / total);
        if (terminal) {
            std::printf("\r%3d%%  %lld of %lld files", percent, static_cast<long long>(done), static_cast<long long>(total));
            if (done == total)
                std::printf("\n");
            std::fflush(stdout);
        } else if (done == total || now - lastLine >= std::chrono::seconds(1)) {
            lastLine = now;
            std::printf("%d%%  %lld of %lld files\n", percent, static_cast<long long>(done), static_cast<long long>(total));
            std::fflush(stdout);
        }
    };
}

std::string counted(std::int64_t n, const char* one, const char* many)
{
    return groupedCount(n) + (n == 1 ? one : many);
}

void printSummary(const ScanStatistics& stats, std::int64_t stored, double seconds)
{
    const double megabytes = static_cast<double>(stats.bytes) / 1e6;
    // Lines, not messages: a response is written as several lines, and most lines hold no usage at all.
    std::printf("Imported %s (%.1f MB): %s read, %s stored%s, %.2f s, %.0f MB/s\n",
                counted(stats.files - (stats.unreadable - stats.unreadableFolders), " file", " files").c_str(), megabytes,
                counted(stats.linesRead, " line", " lines").c_str(), counted(stored, " message", " messages").c_str(),
                stored == 0 && stats.messagesRead > 0 ? " (all were stored before)" : "", seconds,
                seconds > 0 ? megabytes / seconds : 0.0);
    if (stats.impossibleTimes > 0)
        std::printf("%s left out: %s before 2000 or more than a day from now.\n",
                    counted(stats.impossibleTimes, " line", " lines").c_str(),
                    stats.impossibleTimes == 1 ? "its message's time is" : "their messages' times are");
}

// The exit status: 1 when a file or folder could not be read, each named.
int reportUnreadable(const HistoryImport& scan, const ScanStatistics& stats)
{
    if (stats.unreadable == 0)
        return 0;
    const auto problems = scan.problems();
    std::printf("%lld %s could not be read and %s left out:\n", static_cast<long long>(stats.unreadable),
                stats.unreadable == 1 ? "file or folder" : "files or folders", stats.unreadable == 1 ? "is" : "are");
    // The names are the disk's: a file name can hold anything but '/' and NUL.
    for (const ScanService::Problem& problem : problems)
        std::printf("  %s: %s\n", Printable::escaped(problem.path.string()).c_str(), Printable::escaped(problem.reason).c_str());
    if (stats.unreadable > static_cast<std::int64_t>(problems.size()))
        std::printf("  and %lld more (each is in the log above)\n", static_cast<long long>(stats.unreadable) - static_cast<long long>(problems.size()));
    return 1;
}

} // namespace

int run(const std::vector<std::string>& arguments)
{
    if (const auto status = answerArguments(arguments))
        return *status;
    // A second writer beside the running one would make both wait on each
    // other's transactions, and the running one's writes fail; it imports by itself.
    if (SingleInstance::isHeld(AppPaths::configDirectory() / "running.lock"))
        return fail("import",
                    "Tallyglass is running (the desktop app or 'tallyglass --headless') and stores what Claude Code "
                    "writes by itself; to read every transcript again, choose Refresh in the card's menu, or stop it "
                    "and run 'tallyglass import'",
                    1);
    std::shared_ptr<WriteDatabase> writer;
    try {
        writer = CommandSupport::openWriter();
    } catch (const std::exception& error) {
        return fail("import", CommandSupport::databaseProblem(error, AppPaths::database()), 1);
    }
    const auto roots = AppPaths::transcriptRoots();
    if (roots.empty())
        std::printf("No transcript folders found (looked for $CLAUDE_CONFIG_DIR/projects, ~/.claude/projects and "
                    "~/.config/claude/projects).\n");

    const bool terminal = ::isatty(STDOUT_FILENO) != 0;
    const auto started = std::chrono::steady_clock::now();
    HistoryImport scan(writer, roots);
    scan.readEverything();
    std::int64_t storedBefore = 0;
    try {
        storedBefore = writer->messageCount();
        scan.scanAll(progressLine(terminal, started));
    } catch (const std::exception& error) {
        if (terminal)
            std::printf("\n");
        return fail("import", "stopped: " + CommandSupport::databaseProblem(error, AppPaths::database())
                                  + "; what was stored before stays, and running it again goes on where it stopped",
                    1);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const auto stats = scan.statistics();
    printSummary(stats, writer->messageCount() - storedBefore, seconds);

    try {
        writer->waitForRepricing(); // what was stored before, priced with the list in use as the new messages are
        HistoryImport::recordWholeImport(*writer); // the next start reads only what changes from now on
    } catch (const std::exception& error) {
        return fail("import", "the messages are stored, but not that the import is done (the next start reads every "
                              "transcript again): " + CommandSupport::databaseProblem(error, AppPaths::database()),
                    1);
    }
    return reportUnreadable(scan, stats);
}

} // namespace tallyglass::ImportCommand
