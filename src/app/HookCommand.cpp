#include "app/HookCommand.h"

#include "app/AppPaths.h"
#include "hook/HookInstaller.h"
#include "hook/HookScriptBuilder.h"
#include "server/ServerConstants.h"

#include <cstdio>

namespace tallyglass::HookCommand {

int run(const std::vector<std::string>& arguments)
{
    if (arguments.size() != 1 || (arguments[0] != "install" && arguments[0] != "uninstall" && arguments[0] != "status")) {
        std::fprintf(stderr, "usage: tallyglass hook install|uninstall|status\n");
        return 2;
    }
    const std::uint16_t port = ServerConstants::resolvedPort();
    HookInstaller installer(AppPaths::claudeSettings(), AppPaths::hookScript(), port, HookScriptBuilder::currentVersion);
    const std::string& action = arguments[0];
    if (action == "status") {
        const bool installed = installer.isInstalled();
        std::printf("%s\n", installed ? "installed" : "not installed");
        return installed ? 0 : 1;
    }
    try {
        if (action == "install") {
            installer.install();
            std::printf("hook installed for port %u\n", static_cast<unsigned>(port));
        } else {
            installer.uninstall();
            std::printf("hook removed\n");
        }
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tallyglass: %s\n", error.what());
        return 1;
    }
}

} // namespace tallyglass::HookCommand
