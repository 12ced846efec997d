#include "app/CoreServices.h"

#include "app/AppPaths.h"
#include "hook/HookInstaller.h"
#include "hook/HookScriptBuilder.h"
#include "server/LocalServer.h"
#include "server/ServerConstants.h"
#include "support/HttpClient.h"
#include "support/QtTestApp.h"

#include <QSettings>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace tallyglass {
namespace {

HookInstaller installerFor(std::uint16_t port)
{
    return HookInstaller(AppPaths::claudeSettings(), AppPaths::hookScript(), port, HookScriptBuilder::currentVersion);
}

// The hook script posts only to the port written into it. Whenever the server
// comes up, on the port it remembered or on another, an installed hook whose
// script names another port is rewritten for the server's; and the port it
// comes up on is one the next start (and `hook install`) takes as remembered.
TEST(CoreServices, anInstalledHookFollowsThePortTheServerComesUpOn)
{
    test::qtApp();
    struct Case {
        const char* name;
        std::uint16_t remembered;
        std::uint16_t scriptPort;
        bool rememberedTaken;
    };
    const Case cases[] = {
        {"the remembered port, a script for another", 45838, 45834, false},
        {"the last port of the range taken", 45841, 45841, true},
    };
    for (const auto& [name, remembered, scriptPort, rememberedTaken] : cases) {
        SCOPED_TRACE(name);
        QSettings("tallyglass", "tallyglass").clear();
        ServerConstants::rememberPort(remembered);
        installerFor(scriptPort).install();
        std::optional<test::PortHolder> holder;
        if (rememberedTaken)
            holder.emplace(remembered);

        CoreServices core;
        core.startServer();
        ASSERT_TRUE(test::waitUntil([&] { return core.server()->boundPort() != 0; }));
        const std::uint16_t bound = core.server()->boundPort();
        EXPECT_TRUE(test::waitUntil([&] { return installerFor(bound).isScriptCurrent(); }));
        EXPECT_EQ(core.installer().port(), bound);
        EXPECT_TRUE(core.installer().isInstalled());
        EXPECT_EQ(ServerConstants::resolvedPort(), bound);
        core.stop();
    }
}

} // namespace
} // namespace tallyglass
