#include "capture/ProjectFolder.h"

#include <gtest/gtest.h>

#include <map>

namespace tallyglass {
namespace {

// The folder names Claude Code writes are read back by asking which folders
// exist, since '-' may stand for '/', '.', '_', ' ' or itself.
TEST(ProjectFolder, namesAreReadBackAgainstTheFoldersThatExist)
{
    const std::map<std::string, std::vector<std::string>> tree{
        {"/", {"home", "srv"}},
        {"/home", {"ada"}},
        {"/home/ada", {"my-app", "my", ".config", "notes 2026", "snake_case"}},
        {"/home/ada/my", {"app-server"}},
        {"/home/ada/.config", {"tool"}},
    };
    const ProjectFolder::ListFolders list = [&](const std::string& path) {
        const auto found = tree.find(path);
        return found == tree.end() ? std::vector<std::string>{} : found->second;
    };
    const std::pair<const char*, const char*> cases[] = {
        {"-home-ada-my-app", "/home/ada/my-app"},
        {"-home-ada-my-app-server", "/home/ada/my/app-server"}, // "my-app" leads nowhere further: back to "my"
        {"-home-ada--config-tool", "/home/ada/.config/tool"},
        {"-home-ada-notes-2026", "/home/ada/notes 2026"},
        {"-home-ada-snake-case", "/home/ada/snake_case"},
        {"-home-ada-gone-project", "/home/ada/gone/project"}, // no longer there: the plain reading
        {"relative", "relative"},
    };
    for (const auto& [name, path] : cases)
        EXPECT_EQ(ProjectFolder::decode(name, list), path) << name;
}

TEST(ProjectFolder, theFolderIsTheFirstOneBelowARoot)
{
    const std::vector<std::filesystem::path> roots{"/h/.claude/projects", "/h/.config/claude/projects"};
    EXPECT_EQ(ProjectFolder::folderOf("/h/.claude/projects/-h-app/s.jsonl", roots), "-h-app");
    EXPECT_EQ(ProjectFolder::folderOf("/h/.config/claude/projects/-h-app/s/subagents/a.jsonl", roots), "-h-app");
    EXPECT_EQ(ProjectFolder::folderOf("/h/.claude/projects/s.jsonl", roots), std::nullopt);
    EXPECT_EQ(ProjectFolder::folderOf("/elsewhere/x/s.jsonl", roots), std::nullopt);
}

} // namespace
} // namespace tallyglass
