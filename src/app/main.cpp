#include "app/ActivationChannel.h"
#include "app/AppPaths.h"
#include "app/BlocksCommand.h"
#include "core/CommandLine.h"
#include "app/CommandSupport.h"
#include "app/DesktopApp.h"
#include "app/HeadlessApp.h"
#include "app/HeadlessOptions.h"
#include "app/HookCommand.h"
#include "app/ExportCommand.h"
#include "app/ImportCommand.h"
#include "app/LimitsCommand.h"
#include "app/PricesCommand.h"
#include "app/ReportCommand.h"
#include "app/SingleInstance.h"
#include "app/Version.h"
#include "core/Printable.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QIcon>
#include <QLibraryInfo>

#include <xcb/xcb.h>

#include <chrono>
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

// Where the desktop application can open its windows. Under Wayland a plain
// client can neither place itself nor stay above others, so the overlay runs
// through XWayland when there is one. False (and one line said) without any display.
// Without its platform plugin Qt would abort rather than say what is missing.
bool waylandPluginInstalled()
{
    const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms");
    return !platforms.entryList({"libqwayland*"}, QDir::Files).isEmpty();
}

bool x11Reachable()
{
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        return false;
    int screen = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screen);
    const bool reachable = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return reachable;
}

bool waylandReachable()
{
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return wayland && *wayland && waylandPluginInstalled();
}

// Chooses the platform so that Qt never aborts for want of a display. The
// overlay needs X11 to keep its place and stay on top, so XWayland is preferred
// over native Wayland; a platform the user named is kept when it can work.
bool prepareDisplay()
{
    const char* chosen = std::getenv("QT_QPA_PLATFORM");
    if (chosen && *chosen) {
        for (const QString& entry : QString::fromLocal8Bit(chosen).split(';', Qt::SkipEmptyParts)) {
            const QString name = entry.section(':', 0, 0).trimmed();
            if ((name == "xcb" && x11Reachable()) || (name == "wayland" && waylandReachable())
                || (name != "xcb" && !name.startsWith("wayland")))
                return true; // offscreen, minimal, vnc and the like need no display
        }
    } else if (x11Reachable()) {
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        return true;
    } else if (waylandReachable()) {
        std::fprintf(stderr, "[tallyglass] no X11 display (XWayland) found: the overlay cannot keep its place or stay on top\n");
        ::setenv("QT_QPA_PLATFORM", "wayland", 1);
        return true;
    }
    std::fprintf(stderr, "[tallyglass] no display to open windows on; on a machine without a desktop run `tallyglass --headless`\n");
    return false;
}

// The exit status when another Tallyglass runs: the service is not started again for it.
constexpr int alreadyRunning = 3;

// The long-running processes: one per user, with the settings' names set. 0
// with the lock held; else the exit status, said: another one runs (3), or the
// lock could not be taken at all (1), which is no sign of another process.
int soleInstance(std::unique_ptr<QLockFile>& lock)
{
    try {
        lock = tallyglass::SingleInstance::acquire(tallyglass::AppPaths::configDirectory() / "running.lock");
    } catch (const std::runtime_error& error) {
        return tallyglass::CommandSupport::fail("", tallyglass::Printable::escaped(error.what()), 1);
    }
    QCoreApplication::setOrganizationName("tallyglass");
    QCoreApplication::setApplicationName("tallyglass");
    return lock ? 0 : alreadyRunning;
}

// Started again while the desktop application runs: the user wants to see it,
// so its Full Report comes forward and this start has done its work. A
// headless process, or one too old to listen, cannot show anything: then
// this start ends as "already running".
int showRunningReport()
{
    using tallyglass::ActivationChannel;
    if (!ActivationChannel::requestShowReport(ActivationChannel::defaultPath(), std::chrono::seconds(5)))
        return alreadyRunning;
    std::fprintf(stderr, "[tallyglass] the running one brings its Full Report forward\n");
    return 0;
}

// Whether the command runs something that keeps its files in the
// configuration folder: every command and both long-running processes, not
// --version, the help or a mistake in the command's name.
bool usesConfigFolder(const std::string& command)
{
    for (const char* name : {"hook", "import", "report", "blocks", "limits", "export", "prices", ""})
        if (command == name)
            return true;
    return command == "--headless";
}

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

int runDesktop(int argc, char** argv)
{
    if (!prepareDisplay())
        return 1;
    QApplication app(argc, argv);
    std::unique_ptr<QLockFile> instance;
    if (const int refused = soleInstance(instance))
        return refused == alreadyRunning ? showRunningReport() : refused;
    QGuiApplication::setDesktopFileName("tallyglass");
    QGuiApplication::setApplicationDisplayName("Tallyglass"); // what window managers show for an untitled window
    QGuiApplication::setWindowIcon(QIcon(":/tallyglass.svg"));
    tallyglass::DesktopApp desktop;
    return desktop.run(app);
}

int runHeadless(int argc, char** argv, tallyglass::HeadlessOptions options)
{
    QCoreApplication app(argc, argv);
    std::unique_ptr<QLockFile> instance;
    if (const int refused = soleInstance(instance))
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
    // A folder that cannot be used fails now, in one sentence, rather than later as
    // a database that cannot be opened, an empty list or "already running".
    if (usesConfigFolder(command) && !asksForHelp(arguments)) {
        const bool reads = command == "report" || command == "blocks" || command == "export" || command == "limits"
            || command == "prices";
        using tallyglass::AppPaths::ConfigAccess;
        if (const auto problem = tallyglass::AppPaths::configProblem(reads ? ConfigAccess::readOnly : ConfigAccess::readWrite))
            return tallyglass::CommandSupport::fail("", tallyglass::Printable::escaped(*problem), 1);
        // Whatever prices or shows costs takes the user's prices from its start;
        // the long-running processes follow the file's changes from then on.
        if (command != "hook")
            tallyglass::CommandSupport::usePriceFile();
    }
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
    if (command.empty())
        return runDesktop(argc, argv);
    if (command == "--headless")
        return runHeadless(argc, argv, std::move(headlessOptions));
    if (command == "--version")
        return usageError(command + " takes no arguments, not '" + rest.front() + "'");
    const std::string near =
        tallyglass::CommandLine::nearest(command, {"import", "report", "blocks", "limits", "export", "prices", "hook", "--headless", "--version", "--help"});
    return usageError("unknown command '" + command + "'" + (near.empty() ? std::string() : "; did you mean '" + near + "'?"));
}
