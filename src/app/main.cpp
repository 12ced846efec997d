#include "app/HeadlessApp.h"
#include "app/HookCommand.h"
#include "app/ImportCommand.h"
#include "app/ReportCommand.h"
#include "app/Version.h"

#include <QCoreApplication>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view usage =
    "Usage: tallyglass [command]\n"
    "\n"
    "Shows how many tokens Claude Code uses and what they cost.\n"
    "\n"
    "Commands:\n"
    "  --headless              run the server, capture and history import without windows\n"
    "  import                  import the transcript history now, with progress and a summary\n"
    "  report [--days N] [--json]\n"
    "                          totals, models, output per day, sessions and usage limits of the\n"
    "                          last N days (default 7), as a table or as JSON\n"
    "  hook install            register the hook with Claude Code (for the port the server starts from)\n"
    "  hook uninstall          remove the hook and restore Claude Code's own status line\n"
    "  hook status             say whether the hook is installed (exit 0 if so, 1 if not)\n"
    "\n"
    "Options:\n"
    "  --version               print the version and exit\n"
    "  --help                  print this help and exit\n";

int usageError(const std::string& what)
{
    std::fprintf(stderr, "tallyglass: %s\n\n", what.c_str());
    std::fwrite(usage.data(), 1, usage.size(), stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const std::string command = arguments.empty() ? "" : arguments[0];
    const std::vector<std::string> rest(arguments.empty() ? arguments.end() : arguments.begin() + 1, arguments.end());

    if (command == "--version" && rest.empty()) {
        std::printf("tallyglass %s\n", tallyglass::appVersion);
        return 0;
    }
    if (command == "--help" && rest.empty()) {
        std::fwrite(usage.data(), 1, usage.size(), stdout);
        return 0;
    }
    if (command == "hook")
        return tallyglass::HookCommand::run(rest);
    if (command == "import")
        return tallyglass::ImportCommand::run(rest);
    if (command == "report")
        return tallyglass::ReportCommand::run(rest);
    if (command.empty())
        std::fprintf(stderr, "[tallyglass] the desktop interface is not built yet; running without windows\n");
    if ((command == "--headless" || command.empty()) && rest.empty()) {
        QCoreApplication app(argc, argv);
        QCoreApplication::setOrganizationName("tallyglass");
        QCoreApplication::setApplicationName("tallyglass");
        tallyglass::HeadlessApp headless;
        return headless.run(app);
    }
    return usageError("unknown command or option '" + command + "'");
}
