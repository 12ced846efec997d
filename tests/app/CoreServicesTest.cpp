#include "app/CoreServices.h"

#include "app/AppPaths.h"
#include "capture/ImportService.h"
#include "hook/HookInstaller.h"
#include "hook/HookScriptBuilder.h"
#include "server/LocalServer.h"
#include "server/ServerConstants.h"
#include "storage/Preferences.h"
#include "storage/WriteDatabase.h"
#include "support/HttpClient.h"
#include "support/QtTestApp.h"
#include "support/SqlProbe.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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
        Preferences::shared().resetForTests();
        ServerConstants::rememberPort(remembered);
        installerFor(scriptPort).install();
        std::optional<test::PortHolder> holder;
        if (rememberedTaken)
            holder.emplace(remembered);

        CoreServices core("here");
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

// A database moved over the running one (`mv`), or deleted under it, is
// noticed at the next write, opened, and given the whole history: nothing is
// lost until a restart, and nothing is written into the file that went.
TEST(CoreServices, aDatabaseReplacedOrDeletedUnderThemIsGivenTheHistory)
{
    test::qtApp();
    const auto transcripts = AppPaths::home() / ".claude" / "projects" / "-p";
    std::filesystem::create_directories(transcripts);
    std::ofstream(transcripts / "a.jsonl")
        << R"({"type":"assistant","sessionId":"s","timestamp":"2025-01-15T10:30:00Z","message":{"id":"m1","usage":{"output_tokens":1}}})"
           "\n";
    CoreServices core("desk-7"); // as --headless --machine desk-7 names it
    int imports = 0;
    QObject::connect(&core.imports(), &ImportService::finished, [&] { ++imports; });
    core.imports().run();
    ASSERT_TRUE(test::waitUntil([&] { return imports == 1; }));
    ASSERT_EQ(core.writer()->messageCount(), 1);
    EXPECT_EQ(test::SqlProbe(AppPaths::database()).value("SELECT machine FROM messages"), "desk-7");

    const auto database = AppPaths::database();
    const auto other = database.parent_path() / "restored.db";
    test::SqlProbe(other).exec("CREATE TABLE kept (x);");
    std::filesystem::rename(other, database);
    core.writer()->setStateValue("probe", "1"); // the next write, whatever it is
    ASSERT_TRUE(test::waitUntil([&] { return imports == 2; }));
    EXPECT_EQ(test::SqlProbe(database).value("SELECT COUNT(*) FROM messages"), "1");
    EXPECT_EQ(test::SqlProbe(database).value("SELECT COUNT(*) FROM kept"), "0");

    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(database.string() + suffix);
    core.writer()->setStateValue("probe", "2");
    ASSERT_TRUE(test::waitUntil([&] { return imports == 3; }));
    EXPECT_EQ(test::SqlProbe(database).value("SELECT COUNT(*) FROM messages"), "1");
    core.stop();
}

} // namespace
} // namespace tallyglass
