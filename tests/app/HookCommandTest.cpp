#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace tallyglass {
namespace {

namespace fs = std::filesystem;

class HookCommandTest : public ::testing::Test {
protected:
    fs::path home = test::freshDirectory();

    test::ProcessResult tallyglass(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), TALLYGLASS_EXECUTABLE);
        return test::runProcess(arguments, "", {{"HOME", home.string()}, {"XDG_CONFIG_HOME", (home / ".config").string()}});
    }
};

TEST_F(HookCommandTest, installStatusAndUninstallSayWhatHappened)
{
    auto status = tallyglass({"hook", "status"});
    EXPECT_EQ(status.out, "not installed\n");
    EXPECT_EQ(status.exitCode, 1);
    const auto nothing = tallyglass({"hook", "uninstall"});
    EXPECT_EQ(nothing.out, "the hook is not installed; nothing to remove\n");
    EXPECT_EQ(nothing.exitCode, 0);
    EXPECT_FALSE(fs::exists(home / ".claude" / "settings.json")); // nothing written either

    const auto install = tallyglass({"hook", "install"});
    EXPECT_EQ(install.out, "hook installed for port 45832\n");
    EXPECT_EQ(install.exitCode, 0);
    EXPECT_TRUE(fs::exists(home / ".config" / "tallyglass" / "app-hook"));
    EXPECT_TRUE(fs::exists(home / ".claude" / "settings.json"));

    status = tallyglass({"hook", "status"});
    EXPECT_EQ(status.out, "installed\n");
    EXPECT_EQ(status.exitCode, 0);

    const auto uninstall = tallyglass({"hook", "uninstall"});
    EXPECT_EQ(uninstall.out, "hook removed\n");
    EXPECT_EQ(uninstall.exitCode, 0);
    EXPECT_FALSE(fs::exists(home / ".config" / "tallyglass" / "app-hook"));
}

TEST_F(HookCommandTest, theRememberedPortIsTheOneInstalled)
{
    fs::create_directories(home / ".config" / "tallyglass");
    std::ofstream(home / ".config" / "tallyglass" / "tallyglass.conf") << "[General]\ntallyglass.server.port=45835\n";
    EXPECT_EQ(tallyglass({"hook", "install"}).out, "hook installed for port 45835\n");
}

TEST_F(HookCommandTest, theSettingsFollowClaudeConfigDir)
{
    const auto elsewhere = home / "claude-elsewhere";
    const auto result = test::runProcess({TALLYGLASS_EXECUTABLE, "hook", "install"}, "",
                                         {{"HOME", home.string()}, {"CLAUDE_CONFIG_DIR", elsewhere.string()}});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(fs::exists(elsewhere / "settings.json"));
    EXPECT_FALSE(fs::exists(home / ".claude" / "settings.json"));
}

TEST_F(HookCommandTest, failuresGoToStandardErrorWithExitOneAndMisuseWithTwo)
{
    fs::create_directories(home / ".claude");
    std::ofstream(home / ".claude" / "settings.json") << "{ not json";
    const auto refused = tallyglass({"hook", "install"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("settings.json is not valid JSON"), std::string::npos) << refused.err;
    fs::remove(home / ".config" / "tallyglass" / "app-hook"); // left by the refused install
    const auto unreadable = tallyglass({"hook", "uninstall"}); // not "nothing to remove": the file is the problem
    EXPECT_EQ(unreadable.exitCode, 1);
    EXPECT_NE(unreadable.err.find("settings.json is not valid JSON"), std::string::npos) << unreadable.err;

    for (const std::vector<std::string>& misuse : {std::vector<std::string>{"hook"}, {"hook", "reinstall"}, {"frobnicate"}, {"--nope"}}) {
        const auto result = tallyglass(misuse);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_NE(result.err.find("--help')"), std::string::npos) << result.err; // where to read more
    }
}

} // namespace
} // namespace tallyglass
