#include "app/CommandTestHome.h"

namespace tallyglass {
namespace {

namespace fs = std::filesystem;

using HookCommandTest = test::CommandTestHome;

TEST_F(HookCommandTest, installStatusAndUninstallSayWhatHappened)
{
    const auto says = [&](const char* command, const char* out, int exitCode) {
        const auto result = tallyglass({"hook", command});
        EXPECT_EQ(result.out, out);
        EXPECT_EQ(result.exitCode, exitCode) << out;
    };
    says("status", "not installed\n", 1);
    says("uninstall", "the hook is not installed; nothing to remove\n", 0);
    EXPECT_FALSE(fs::exists(home / ".claude" / "settings.json")); // nothing written either

    says("install", "hook installed for port 45832\n", 0);
    EXPECT_TRUE(fs::exists(home / ".config" / "tallyglass" / "app-hook"));

    says("status", "installed\n", 0);
    says("uninstall", "hook removed\n", 0);
    EXPECT_FALSE(fs::exists(home / ".config" / "tallyglass" / "app-hook"));
}

// The port the application remembers, and the settings where CLAUDE_CONFIG_DIR says.
TEST_F(HookCommandTest, theRememberedPortAndClaudeConfigDirAreFollowed)
{
    fs::create_directories(home / ".config" / "tallyglass");
    std::ofstream(home / ".config" / "tallyglass" / "tallyglass.conf") << "[General]\ntallyglass.server.port=45835\n";
    environment["CLAUDE_CONFIG_DIR"] = (home / "claude-elsewhere").string();
    EXPECT_EQ(tallyglass({"hook", "install"}).out, "hook installed for port 45835\n");
    EXPECT_TRUE(fs::exists(home / "claude-elsewhere" / "settings.json"));
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

    for (const std::vector<std::string>& misuse : {std::vector<std::string>{"hook"}, {"hook", "reinstall"}, {"frobnicate"}, {"--nope"},
                                                   {"--headless", "--otlp-listen", "localhost:4318"}, {"--headless", "now"}}) {
        const auto result = tallyglass(misuse);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_NE(result.err.find("--help')"), std::string::npos) << result.err; // where to read more
    }
}

} // namespace
} // namespace tallyglass
