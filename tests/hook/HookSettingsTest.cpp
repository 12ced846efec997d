#include "hook/HookSettings.h"
#include "hook/SettingsJson.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>

namespace tallyglass {
namespace {

using json = nlohmann::json;
using HookSettings::installed;
using HookSettings::pruneAllOwned;

const std::string owned = "~/.config/tallyglass/app-hook";

json ownedMatcher()
{
    return {{"matcher", ""}, {"hooks", json::array({{{"type", "command"}, {"command", owned}}})}};
}

TEST(HookSettings, ownedCommandsInTheirFourSpellings)
{
    const std::pair<const char*, bool> cases[] = {
        {"~/.config/tallyglass/app-hook", true},
        {"  ~/.config/tallyglass/app-hook -- ccline", true},
        {"$HOME/.config/tallyglass/app-hook", true},
        {"${HOME}/.config/tallyglass/app-hook", true},
        {"/home/dev/.config/tallyglass/app-hook", true},
        {"\t/root/.config/tallyglass/other-script\t", true},
        {".config/tallyglass/app-hook", false},
        {"bash ~/.config/tallyglass/app-hook", false},
        {"~/.config/tallyglassy/app-hook", false},
        {"/home/dev/.config/claude/app-hook", false},
        {"", false},
        {"   ", false},
    };
    for (const auto& [command, expected] : cases)
        EXPECT_EQ(HookSettings::isOwnedCommand(command), expected) << command;
}

TEST(HookSettings, installingIntoNothingAddsSixEventsAndTheStatusLine)
{
    const json result = installed(json::object(), "app-hook");
    json expected = {{"statusLine", {{"type", "command"}, {"command", owned}}}, {"hooks", json::object()}};
    for (const char* event : {"Stop", "TaskCompleted", "SubagentStop", "PostToolUse", "SessionStart", "SessionEnd"})
        expected["hooks"][event] = json::array({ownedMatcher()});
    EXPECT_EQ(result, expected);
}

// The user's command goes to eval in one single-quoted word, each ' written
// '\'' (the shell runs the command in HookInstallerTest); uninstalling gives
// it back byte for byte, spaces, newlines and our own separators included.
TEST(HookSettings, theUsersStatusLineIsQuotedBehindOursAndRestoredByteForByte)
{
    const std::pair<std::string, std::string> cases[] = { // the user's command, the installed one
        {"ccline --theme dark -- extra", owned + " --tee | eval 'ccline --theme dark -- extra'"},
        {R"(input=$(cat); echo "[$input]")", owned + R"( --tee | eval 'input=$(cat); echo "[$input]"')"},
        {"echo 'a b' it's", owned + R"( --tee | eval 'echo '\''a b'\'' it'\''s')"},
        {"'", owned + R"( --tee | eval ''\''')"},
        {"  cat  # shown as it came\n", owned + " --tee | eval '  cat  # shown as it came\n'"},
        {"x --tee | eval 'y' -- z", owned + R"( --tee | eval 'x --tee | eval '\''y'\'' -- z')"},
    };
    for (const auto& [command, chained] : cases) {
        SCOPED_TRACE(command);
        const json user = {{"statusLine", {{"type", "command"}, {"command", command}, {"padding", 2}}}};
        const json withUs = installed(user, "app-hook");
        EXPECT_EQ(withUs["statusLine"], (json{{"type", "command"}, {"command", chained}, {"padding", 2}}));
        EXPECT_EQ(pruneAllOwned(withUs), user);
        EXPECT_EQ(installed(withUs, "app-hook"), withUs);
        EXPECT_FALSE(HookSettings::hasOldChainedStatusLine(withUs));
    }
}

// Earlier versions wrote "<ours> -- <command>", which the shell split at the
// command's first ";" or "|": such a line is recognised, restored trimmed as
// those versions restored it, and rewritten by the next install.
TEST(HookSettings, aStatusLineChainedByAnEarlierVersionIsRestoredAsBeforeAndUpgraded)
{
    const std::pair<std::string, std::optional<std::string>> cases[] = { // the command, what uninstalling leaves
        {owned + " -- ccline --compact", "ccline --compact"},
        {owned + " --   input=$(cat); echo \"$input\" | wc -c \t", "input=$(cat); echo \"$input\" | wc -c"},
        {"${HOME}/.config/tallyglass/app-hook -- a -- b", "a -- b"},
        {owned + " -- echo x --tee | eval 'y'", "echo x --tee | eval 'y'"},
        {owned + " -- echo 'quoted'", "echo 'quoted'"},
        {owned + " -- ", std::nullopt},
        {owned, std::nullopt},
    };
    for (const auto& [command, restored] : cases) {
        SCOPED_TRACE(command);
        const json old = {{"model", "opus"}, {"statusLine", {{"type", "command"}, {"command", command}}}};
        EXPECT_EQ(HookSettings::hasOldChainedStatusLine(old), restored.has_value());
        json expected = {{"model", "opus"}};
        if (restored)
            expected["statusLine"] = {{"type", "command"}, {"command", *restored}};
        EXPECT_EQ(pruneAllOwned(old), expected);
        const json upgraded = installed(old, "app-hook");
        EXPECT_EQ(upgraded, installed(expected, "app-hook"));
        EXPECT_FALSE(HookSettings::hasOldChainedStatusLine(upgraded));
    }
    EXPECT_FALSE(HookSettings::hasOldChainedStatusLine(json{{"statusLine", {{"command", "ccline -- x"}}}}));
    EXPECT_FALSE(HookSettings::hasOldChainedStatusLine(json::object()));
}

TEST(HookSettings, theUsersHooksAreKeptAroundOurs)
{
    const json userHook = {{"type", "command"}, {"command", "notify-send done"}};
    json user = {{"hooks", {{"Stop", json::array({{{"matcher", ""}, {"hooks", json::array({userHook, {{"type", "command"}, {"command", owned}}})}}})},
                            {"PreToolUse", json::array({{{"matcher", "Bash"}, {"hooks", json::array({userHook})}}})}}}};
    const json withUs = installed(user, "app-hook");
    ASSERT_EQ(withUs["hooks"]["Stop"].size(), 2u);
    EXPECT_EQ(withUs["hooks"]["Stop"][0]["hooks"], json::array({userHook})); // the mixed matcher keeps the user's hook only
    EXPECT_EQ(withUs["hooks"]["Stop"][1], ownedMatcher());
    EXPECT_EQ(withUs["hooks"]["PreToolUse"], user["hooks"]["PreToolUse"]);
    EXPECT_FALSE(HookSettings::hasOwnedCapture(pruneAllOwned(withUs)));
    EXPECT_TRUE(HookSettings::hasOwnedStatusLine(json{{"statusLine", {{"command", "$HOME/.config/tallyglass/app-hook"}}}}));
}

// Random settings of the shapes people have: their own hooks and matchers,
// status lines with and without " -- ", installs of ours of this version and
// earlier ones, other keys.
json randomSettings(std::mt19937& random)
{
    const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const char* const commands[] = {"notify-send done", "jq . >> ~/log.json", "ccline -- more", "python3 hook.py",
                                    owned.c_str(), "/home/u/.config/tallyglass/app-hook", "${HOME}/.config/tallyglass/app-hook"};
    const char* const events[] = {"Stop", "PreToolUse", "PostToolUse", "Notification", "SessionStart", "UserPromptSubmit"};
    json settings = json::object();
    if (pick(3)) {
        json& hooks = settings["hooks"] = json::object();
        for (int e = pick(4); e > 0; --e) {
            json& matchers = hooks[events[pick(6)]] = json::array();
            for (int m = 1 + pick(3); m > 0; --m) {
                json& matcher = matchers.emplace_back(json{{"matcher", pick(2) ? "" : "Bash|Edit"}, {"hooks", json::array()}});
                for (int h = 1 + pick(3); h > 0; --h) {
                    json& hook = matcher["hooks"].emplace_back(json{{"type", "command"}, {"command", commands[pick(7)]}});
                    if (!pick(4))
                        hook["timeout"] = pick(60);
                }
            }
        }
    }
    switch (pick(5)) {
    case 0: break;
    case 4: settings["statusLine"] = {{"type", "command"}, {"command", owned + R"( --tee | eval 'echo '\''a -- b'\''')"}}; break;
    case 1: settings["statusLine"] = {{"type", "command"}, {"command", pick(2) ? "ccline" : "bash -c 'echo -- hi'"}, {"padding", pick(3)}}; break;
    case 2: settings["statusLine"] = {{"type", "command"}, {"command", owned + " -- ccline --compact"}}; break;
    case 3: settings["statusLine"] = {{"type", "command"}, {"command", owned}}; break;
    }
    if (pick(2))
        settings["model"] = "opus";
    if (pick(2))
        settings["env"] = {{"BIG", 9223372036854775807LL}, {"F", 1.5e-7}, {"EMPTY", json::object()}, {"LIST", json::array()}};
    if (pick(2))
        settings["permissions"] = {{"allow", json::array({"Bash(ls:*)", "Read(/etc/*)"})}};
    return settings;
}

void collectKeys(const json& value, const std::string& prefix, std::set<std::string>& out)
{
    if (!value.is_object())
        return;
    for (const auto& [key, child] : value.items()) {
        out.insert(prefix + "/" + key);
        collectKeys(child, prefix + "/" + key, out);
    }
}

TEST(HookSettings, propertyInstallThenUninstallIsPruningAndInstallIsIdempotent)
{
    std::mt19937 random(77);
    for (int i = 0; i < 3000; ++i) {
        const json x = randomSettings(random);
        SCOPED_TRACE(x.dump());
        const json once = installed(x, "app-hook");
        ASSERT_EQ(pruneAllOwned(once), pruneAllOwned(x));
        ASSERT_EQ(installed(once, "app-hook"), once);
        ASSERT_TRUE(HookSettings::hasOwnedCapture(once) && HookSettings::hasOwnedStatusLine(once));
        ASSERT_FALSE(HookSettings::hasOldChainedStatusLine(once));

        // No key of the user's is lost by installing: everything pruning keeps is still there.
        std::set<std::string> userKeys, keysAfter;
        collectKeys(pruneAllOwned(x), "", userKeys);
        collectKeys(once, "", keysAfter);
        for (const std::string& key : userKeys)
            ASSERT_TRUE(keysAfter.contains(key)) << key;
        // And what survives a round trip through the text we write is the same value.
        ASSERT_EQ(json::parse(SettingsJson::serialise(once)), once);
    }
}

} // namespace
} // namespace tallyglass
