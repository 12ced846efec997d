#include "app/HookCommand.h"
#include "app/Version.h"

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
    "  hook install     register the hook with Claude Code (for the port the server starts from)\n"
    "  hook uninstall   remove the hook and restore Claude Code's own status line\n"
    "  hook status      say whether the hook is installed (exit 0 if so, 1 if not)\n"
    "\n"
    "Options:\n"
    "  --version        print the version and exit\n"
    "  --help           print this help and exit\n";

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
    if (arguments.size() == 1 && arguments[0] == "--version") {
        std::printf("tallyglass %s\n", tallyglass::appVersion);
        return 0;
    }
    if (arguments.size() == 1 && arguments[0] == "--help") {
        std::fwrite(usage.data(), 1, usage.size(), stdout);
        return 0;
    }
    if (!arguments.empty() && arguments[0] == "hook")
        return tallyglass::HookCommand::run({arguments.begin() + 1, arguments.end()});
    if (!arguments.empty())
        return usageError("unknown command or option '" + arguments[0] + "'");
    std::fprintf(stderr, "[tallyglass] the desktop interface is not built yet; see --help\n");
    return 1;
}
