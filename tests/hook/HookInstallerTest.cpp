#include "hook/HookInstaller.h"

#include "hook/HookScriptBuilder.h"
#include "hook/HookSettings.h"
#include "hook/SettingsJson.h"
#include "support/HttpClient.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sys/stat.h>

namespace tallyglass {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

struct stat statOf(const fs::path& path)
{
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info;
}

std::vector<std::string> leftovers(const fs::path& dir)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().find(".tmp-") != std::string::npos)
            found.push_back(entry.path().filename().string());
    return found;
}

class HookInstallerTest : public ::testing::Test {
protected:
    fs::path home = test::freshDirectory();
    fs::path settings = home / ".claude" / "settings.json";
    fs::path script = home / ".config" / "tallyglass" / "app-hook";
    HookInstaller installer{settings, script, 45832, 3};

    void writeSettings(const std::string& text)
    {
        fs::create_directories(settings.parent_path());
        std::ofstream(settings, std::ios::binary) << text;
    }
};

TEST_F(HookInstallerTest, installingCreatesTheSettingsAndAnExecutableScriptAndAgainChangesNothing)
{
    const mode_t umask = ::umask(027);
    installer.install();
    ::umask(umask);
    EXPECT_EQ(test::fileText(settings), SettingsJson::serialise(HookSettings::installed(json::object(), "app-hook")));
    EXPECT_EQ(statOf(settings).st_mode & 07777, 0640u); // a new file as the umask makes it
    EXPECT_EQ(test::fileText(script), HookScriptBuilder::render(45832, 3));
    EXPECT_EQ(statOf(script).st_mode & 07777, 0755u);
    EXPECT_TRUE(leftovers(script.parent_path()).empty());

    const std::string first = test::fileText(settings);
    const ino_t inode = statOf(script).st_ino;
    installer.install();
    EXPECT_EQ(test::fileText(settings), first);
    EXPECT_EQ(statOf(script).st_ino, inode); // an up-to-date script is not rewritten

    HookInstaller moved(settings, script, 45833, 3);
    moved.install();
    EXPECT_NE(test::fileText(script).find("PORT=45833\n"), std::string::npos);
    EXPECT_EQ(statOf(script).st_mode & 07777, 0755u);
}

TEST_F(HookInstallerTest, unusableSettingsAreRefusedAndLeftByteForByte)
{
    const std::pair<std::string, std::string> cases[] = { // the settings, what the refusal says of them
        {"{\"model\": \"opus\",\n  \"hooks\": {\n    oops\n}", "line 3, column 5"},
        {"[1, 2, 3]", "does not hold a JSON object"},
        {"\"just text\"", "does not hold a JSON object"},
        {"", "is not valid JSON"},
        {"{\"a\":1} trailing", "is not valid JSON"},
    };
    for (const auto& [text, expectInMessage] : cases) {
        SCOPED_TRACE(text);
        writeSettings(text);
        for (const bool installing : {true, false}) {
            try {
                installing ? installer.install() : installer.uninstall();
                ADD_FAILURE() << "expected a refusal";
            } catch (const InstallError& error) {
                const std::string message = error.what();
                EXPECT_NE(message.find(settings.string()), std::string::npos) << message;
                EXPECT_NE(message.find(expectInMessage), std::string::npos) << message;
            }
            EXPECT_EQ(test::fileText(settings), text);
        }
        EXPECT_FALSE(installer.isInstalled());
    }
    // A settings path that cannot be read as a file at all.
    fs::remove(settings);
    fs::create_directories(settings);
    EXPECT_THROW(installer.install(), InstallError);
    EXPECT_TRUE(fs::is_directory(settings));
}

TEST_F(HookInstallerTest, aLinkedSettingsFileStaysALinkAndKeepsItsPermissions)
{
    const fs::path dotfiles = home / "dotfiles" / "claude-settings.json";
    fs::create_directories(dotfiles.parent_path());
    std::ofstream(dotfiles) << R"({"model":"sonnet"})";
    ::chmod(dotfiles.c_str(), 0600);
    fs::create_directories(settings.parent_path());
    fs::create_symlink("../dotfiles/claude-settings.json", settings);

    installer.install();
    EXPECT_TRUE(fs::is_symlink(settings));
    EXPECT_EQ(fs::read_symlink(settings), "../dotfiles/claude-settings.json");
    EXPECT_EQ(json::parse(test::fileText(dotfiles))["model"], "sonnet");
    EXPECT_TRUE(HookSettings::hasOwnedCapture(json::parse(test::fileText(dotfiles))));
    EXPECT_EQ(statOf(dotfiles).st_mode & 07777, 0600u);
    EXPECT_TRUE(leftovers(dotfiles.parent_path()).empty());

    installer.uninstall();
    EXPECT_TRUE(fs::is_symlink(settings));
    EXPECT_EQ(json::parse(test::fileText(dotfiles)), json::parse(R"({"model":"sonnet"})"));
    EXPECT_EQ(statOf(dotfiles).st_mode & 07777, 0600u);
}

// Uninstalling gives back the user's own status line and hooks, which install
// wrapped and joined, and every other value as it was; the script goes.
TEST_F(HookInstallerTest, everyValueOfTheUsersSettingsSurvivesARoundTrip)
{
    const std::string user = R"({
      "big": 9223372036854775807, "negative": -9223372036854775808, "unsigned": 18446744073709551615,
      "float": 0.1, "tiny": 1.5e-300, "whole": 2.0, "unicode": "Gr\u00fc\u00dfe \ud83d\ude00 \u2014 caf\u00e9",
      "slash": "a/b\\c", "empty": {}, "list": [], "nested": {"deep": [1, {"x": null}, true]},
      "unknownToUs": {"anything": ["goes"]}, "statusLine": {"type": "command", "command": "ccline"},
      "hooks": {"Stop": [{"matcher": "", "hooks": [{"type": "command", "command": "notify-send done"}]}]}
    })";
    writeSettings(user);
    installer.install();
    installer.uninstall();
    EXPECT_EQ(json::parse(test::fileText(settings)), json::parse(user));
    EXPECT_EQ(json::parse(test::fileText(settings))["whole"].dump(), "2.0");
    EXPECT_FALSE(fs::exists(script));
}

// Where a number's value would be written otherwise than it stands, or not at
// all (1e400 is beyond a double), its text is kept through install and uninstall.
TEST_F(HookInstallerTest, numbersKeepTheTextTheyWereWrittenWith)
{
    const std::string numbers[] = {"123456789012345678901234567890", "1.0", "1e400", "0.1000000000000000055511", "-0"};
    writeSettings(R"({"huge": )" + numbers[0] + R"(, "one": )" + numbers[1] + R"(, "over": [)" + numbers[2]
                  + R"(], "precise": )" + numbers[3] + R"(, "zero": {"negative": )" + numbers[4] + "}}");
    installer.install();
    const auto writtenAsItWas = [&](const std::string& number) {
        const std::string text = test::fileText(settings);
        const std::size_t at = text.find(" " + number);
        return at != std::string::npos && std::string_view(",\n").find(text[at + 1 + number.size()]) != std::string_view::npos;
    };
    for (const std::string& number : numbers)
        EXPECT_TRUE(writtenAsItWas(number)) << number;
    installer.uninstall();
    for (const std::string& number : numbers)
        EXPECT_TRUE(writtenAsItWas(number)) << number;
}

// Claude Code runs the status line's command text through a shell, the status
// JSON on standard input and ~ at the user's home. Whatever the syntax of the
// user's command, it shows the same behind ours, on both streams and with its
// exit status, in dash and bash alike (nothing listens on the port, so the post
// gives up quietly); uninstalling gives the command back as it was.
TEST_F(HookInstallerTest, theUsersStatusLineShowsTheSameBehindOursAndComesBackAsItWas)
{
    const std::string status = R"({"model":{"display_name":"Opus 4.1"},"cost":{"total_cost_usd":0.42}})";
    const std::string payload = status + "\n\n";
    struct Case {
        std::string command;
        std::string out;
        std::string err = "";
        int exitCode = 0;
        std::string input = "";
        // As under a parent that ignores SIGPIPE: writing to a closed pipe is then an error with a message.
        bool pipeSignalIgnored = false;
    };
    const Case cases[] = {
        {"echo one; cat", "one\n" + payload},
        {"test -t 0 && echo terminal || cat && echo done", payload + "done\n"},
        {R"(tr -d '{}"' | cut -d: -f3 | cut -d, -f1)", "Opus 4.1\n\n"},
        {R"sh(input=$(cat); echo "[$(echo "$input" | sed 's/.*"display_name":"\([^"]*\)".*/\1/')]")sh", "[Opus 4.1]\n"},
        {R"(echo "status error" >&2; cat)", payload, "status error\n"},
        {R"(if grep -q '"display_name":"Opus'; then printf 'opus\n'; else printf 'other\n'; fi)", "opus\n"},
        {"wc -c # counts what came in", std::to_string(payload.size()) + "\n"},
        {R"(printf '%s|%s\n' 'it'"'"'s' "it's")", "it's|it's\n"},
        {"read -r first\nprintf '%s\\n' \"${#first}\"\ncat | wc -l\n", std::to_string(status.size()) + "\n1\n"},
        {"cat >/dev/null; echo bye; exit 3", "bye\n", "", 3},
        // Input larger than a pipe holds, which the command never reads.
        {"echo static", "static\n", "", 0, payload + std::string(200'000, ' ')},
        {"echo static", "static\n", "", 0, payload + std::string(200'000, ' '), true},
    };
    HookInstaller ours(settings, script, test::findFreePorts(1), HookScriptBuilder::currentVersion);
    const std::map<std::string, std::string> environment = {{"HOME", home.string()}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const json user = {{"statusLine", {{"type", "command"}, {"command", c.command}, {"padding", 1}}}};
        writeSettings(user.dump());
        ours.install();
        const std::string chained = json::parse(test::fileText(settings))["statusLine"]["command"];
        for (const std::string& command : {c.command, chained}) {
            for (const char* shell : {"sh", "bash"}) {
                SCOPED_TRACE(std::string(shell) + " -c " + command);
                const std::string text = (c.pipeSignalIgnored ? "trap '' PIPE; " : "") + command;
                const auto shown = test::runProcess({shell, "-c", text}, c.input.empty() ? payload : c.input, environment);
                EXPECT_EQ(shown.out, c.out);
                EXPECT_EQ(shown.err, c.err);
                EXPECT_EQ(shown.exitCode, c.exitCode);
            }
        }
        ours.uninstall();
        EXPECT_EQ(json::parse(test::fileText(settings)), user);
    }
}

} // namespace
} // namespace tallyglass
