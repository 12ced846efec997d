#include "app/BlocksCommand.h"
#include "core/CommandLine.h"
#include "app/DesktopLoader.h"
#include "app/HeadlessApp.h"
#include "app/HeadlessOptions.h"
#include "app/HookCommand.h"
#include "app/ExportCommand.h"
#include "app/ImportCommand.h"
#include "app/LimitsCommand.h"
#include "app/PricesCommand.h"
#include "app/ReportCommand.h"
#include "app/ProcessStart.h"
#include "app/Version.h"
#include "core/Printable.h"

#include <QCoreApplication>
#include <QLockFile>

#include <csignal>
#include <cstdlib>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view usage =
    "Usage: tallyglass [command] [options]\n"
    "\n"
    "Shows how many tokens Claude Code uses and what they cost, on this machine only.\n"
    "\n"
    "Commands:\n"
    "  (none)          the desktop application: the overlay, tray item and windows\n"
    "  --headless      the server, capture and history import without windows (SSH);\n"
    "                  --machine NAME names this machine's usage for the run;\n"
    "                  --otlp-endpoint URL sends this machine's usage to a collector;\n"
    "                  --otlp-listen ADDR:PORT also takes other machines'\n"
    "                  OpenTelemetry exports there, each holding the token of\n"
    "                  ~/.config/tallyglass/otlp-token\n"
    "  import          import the transcript history now, with progress and a summary\n"
    "  report          totals, models, days, sessions and limits; tables by day,\n"
    "                  month, session, project or model; JSON for scripts\n"
    "  blocks          the five-hour blocks of use, the active one's burn rate and\n"
    "                  where it is heading\n"
    "  limits          the five-hour windows of the last days, their peaks and the\n"
    "                  limits reached; the seven-day peaks\n"
    "  export          the stored figures as CSV or JSON, per message, session, day\n"
    "                  or model\n"
    "  prices          the prices in use (yours from ~/.config/tallyglass/prices.json\n"
    "                  marked) and the models seen without a price\n"
    "  hook install    register the hook with Claude Code\n"
    "  hook uninstall  remove the hook and restore Claude Code's own status line\n"
    "  hook status     say whether the hook is installed (exit 0 if so, 1 if not)\n"
    "\n"
    "Options:\n"
    "  -h, --help      show this help; after a command, that command's help\n"
    "  --version       print the version\n"
    "\n"
    "Examples:\n"
    "  tallyglass report --days 30 --by day\n"
    "  tallyglass report --help\n";

int usageError(const std::string& what)
{
    std::fprintf(stderr, "tallyglass: %s\n(see 'tallyglass --help')\n", tallyglass::Printable::escaped(what).c_str());
    return 2;
}

bool asksForHelp(const std::vector<std::string>& arguments)
{
    for (const std::string& argument : arguments) {
        if (argument == "--")
            return false;
        if (argument == "-h" || argument == "--help")
            return true;
    }
    return false;
}

int runHeadless(int argc, char** argv, tallyglass::HeadlessOptions options)
{
    QCoreApplication app(argc, argv);
    std::unique_ptr<QLockFile> instance;
    if (const int refused = tallyglass::ProcessStart::soleInstance(instance))
        return refused;
    tallyglass::HeadlessApp headless(std::move(options));
    return headless.run(app);
}

} // namespace

int main(int argc, char** argv)
{
    // A reader that goes away (`tallyglass export | head`) is a write that fails with
    // EPIPE, which the commands take as the end of their output, not a killed process.
    ::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const std::string command = arguments.empty() ? "" : arguments[0];
    const std::vector<std::string> rest(arguments.empty() ? arguments.end() : arguments.begin() + 1, arguments.end());

    if (command == "--version" && rest.empty()) {
        std::printf("tallyglass %s\n", tallyglass::appVersion);
        return 0;
    }
    // The commands answer their own help; anywhere else it is the program's.
    const bool ownsHelp = command == "--headless" || command == "hook" || command == "import" || command == "report" || command == "blocks" || command == "limits"
        || command == "export" || command == "prices";
    if (!ownsHelp && asksForHelp(arguments)) {
        std::fwrite(usage.data(), 1, usage.size(), stdout);
        return 0;
    }
    // A mistake in its options is said before anything is opened.
    tallyglass::HeadlessOptions headlessOptions;
    if (command == "--headless") {
        try {
            headlessOptions = tallyglass::HeadlessOptions::parse(rest);
        } catch (const tallyglass::CommandLine::UsageError& error) {
            return usageError(error.what());
        }
        if (headlessOptions.help) {
            std::fputs(tallyglass::HeadlessOptions::helpText().c_str(), stdout);
            return 0;
        }
    }
    // The desktop's own start does this in its module, where its prices are held.
    if (command.empty())
        return tallyglass::DesktopLoader::run(argc, argv);
    if (tallyglass::ProcessStart::usesConfigFolder(command) && !asksForHelp(arguments))
        if (const int refused = tallyglass::ProcessStart::prepareConfigFolder(command))
            return refused;
    if (command == "hook")
        return tallyglass::HookCommand::run(rest);
    if (command == "import")
        return tallyglass::ImportCommand::run(rest);
    if (command == "report")
        return tallyglass::ReportCommand::run(rest);
    if (command == "blocks")
        return tallyglass::BlocksCommand::run(rest);
    if (command == "limits")
        return tallyglass::LimitsCommand::run(rest);
    if (command == "export")
        return tallyglass::ExportCommand::run(rest);
    if (command == "prices")
        return tallyglass::PricesCommand::run(rest);
    if (command == "--headless")
        return runHeadless(argc, argv, std::move(headlessOptions));
    if (command == "--version")
        return usageError(command + " takes no arguments, not '" + rest.front() + "'");
    const std::string near =
        tallyglass::CommandLine::nearest(command, {"import", "report", "blocks", "limits", "export", "prices", "hook", "--headless", "--version", "--help"});
    return usageError("unknown command '" + command + "'" + (near.empty() ? std::string() : "; did you mean '" + near + "'?"));
}
