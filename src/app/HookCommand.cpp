#include "app/HookCommand.h"

#include "app/AppPaths.h"
#include "core/CommandLine.h"
#include "app/CommandSupport.h"
#include "core/Printable.h"
#include "hook/HookInstaller.h"
#include "hook/HookScriptBuilder.h"
#include "server/ServerConstants.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>

namespace tallyglass::HookCommand {

const char* const help =
    "Usage: tallyglass hook install|uninstall|status\n"
    "\n"
    "  install     register the hook in Claude Code's settings (its six events and,\n"
    "              in front of any status-line command, the status line) for the\n"
    "              port the server starts from; running it again changes nothing\n"
    "  uninstall   remove what install added and restore your own status line\n"
    "  status      say whether the hook is installed (exit 0 if so, 1 if not)\n"
    "\n"
    "Claude Code's settings are $CLAUDE_CONFIG_DIR/settings.json, else\n"
    "~/.claude/settings.json.\n";

int run(const std::vector<std::string>& arguments)
{
    using CommandSupport::fail;
    std::string action;
    try {
        const auto parsed = CommandLine::parse(arguments, {});
        if (parsed.help) {
            std::fputs(help, stdout);
            return 0;
        }
        const std::vector<std::string> actions{"install", "uninstall", "status"};
        if (parsed.words.size() != 1)
            throw CommandLine::UsageError(parsed.words.empty() ? "say what to do: install, uninstall or status"
                                                               : "one action at a time: install, uninstall or status");
        action = parsed.words.front();
        if (action != "install" && action != "uninstall" && action != "status") {
            const std::string near = CommandLine::nearest(action, actions);
            throw CommandLine::UsageError("unknown action '" + action + "'" + (near.empty() ? std::string() : "; did you mean '" + near + "'?"));
        }
    } catch (const CommandLine::UsageError& error) {
        return fail("hook", Printable::escaped(error.what()) + "\n(see 'tallyglass hook --help')", 2);
    }
    const std::uint16_t port = ServerConstants::resolvedPort();
    HookInstaller installer(AppPaths::claudeSettings(), AppPaths::hookScript(), port, HookScriptBuilder::currentVersion);
    if (action == "status") {
        const bool installed = installer.isInstalled();
        std::printf("%s\n", installed ? "installed" : "not installed");
        return installed ? 0 : 1;
    }
    try {
        if (action == "install") {
            installer.install();
            std::printf("hook installed for port %u\n", static_cast<unsigned>(port));
            return 0;
        }
        // Settings that cannot be read count as "not installed": uninstall then says why instead.
        std::error_code ignored;
        const bool scriptThere = std::filesystem::exists(AppPaths::hookScript(), ignored);
        std::ifstream settingsFile(AppPaths::claudeSettings());
        const bool settingsReadable = !std::filesystem::exists(AppPaths::claudeSettings(), ignored)
            || (settingsFile && nlohmann::json::accept(std::string(std::istreambuf_iterator<char>(settingsFile), {})));
        if (!installer.isInstalled() && !scriptThere && settingsReadable) {
            std::printf("the hook is not installed; nothing to remove\n");
            return 0;
        }
        installer.uninstall();
        std::printf("hook removed\n");
        return 0;
    } catch (const std::exception& error) {
        return fail("hook", Printable::escaped(error.what()), 1); // it may name the settings file
    }
}

} // namespace tallyglass::HookCommand
