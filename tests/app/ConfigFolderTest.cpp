#include "app/CommandTestHome.h"

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass {
namespace {

namespace fs = std::filesystem;

// A configuration folder that cannot be used, made in a home; `made` returns the
// sentence that must name it.
struct BadFolder {
    const char* name;
    std::function<std::string(const fs::path& home)> made;
    bool commandsToo = true; // false: only the long-running processes keep a file there (the lock)
    bool asRootToo = true; // false: root reads and writes anywhere, so there is nothing to refuse
};

const BadFolder badFolders[] = {
    { "aFileInItsPlace",
        [](const fs::path& home) {
            fs::create_directories(home / ".config");
            std::ofstream(home / ".config/tallyglass") << "a file where the folder should be";
            return "cannot use " + (home / ".config/tallyglass").string() + ": it is a file, not a folder";
        } },
    { "aFileInPlaceOfItsParent",
        [](const fs::path& home) {
            std::ofstream(home / ".config") << "a file where the folder should be";
            return "cannot use " + (home / ".config/tallyglass").string() + ": " + (home / ".config").string()
                + " is a file, not a folder";
        } },
    { "aFolderWithoutPermissions",
        [](const fs::path& home) {
            fs::create_directories(home / ".config/tallyglass");
            fs::permissions(home / ".config/tallyglass", fs::perms::none);
            return "cannot use " + (home / ".config/tallyglass").string()
                + ": you may not read and write in it (Permission denied)";
        },
        true, false },
    { "aFolderInPlaceOfTheLock",
        [](const fs::path& home) {
            fs::create_directories(home / ".config/tallyglass/running.lock");
            return "cannot take the lock " + (home / ".config/tallyglass/running.lock").string() + ": it is not a file";
        },
        false },
};

void PrintTo(const BadFolder& bad, std::ostream* out)
{
    *out << bad.name;
}

class ConfigFolderTest : public test::CommandTestHome, public ::testing::WithParamInterface<BadFolder> {
protected:
    void TearDown() override
    {
        std::error_code ignored; // the folder without permissions, so that it can be removed
        fs::permissions(configFolder, fs::perms::owner_all, ignored);
    }
};

// Every command and both long-running starts end with status 1 and one sentence
// naming the path; 3 stays for another Tallyglass running.
TEST_P(ConfigFolderTest, endsEveryCommandAndStartInOneSentence)
{
    const BadFolder& bad = GetParam();
    if (!bad.asRootToo && ::geteuid() == 0)
        GTEST_SKIP() << "root may read and write any folder";
    const std::string sentence = bad.made(home);
    const fs::path runtime = test::freshDirectory(); // where Qt wants one, so that it has nothing to say
    environment["XDG_RUNTIME_DIR"] = runtime.string();
    environment["QT_QPA_PLATFORM"] = "offscreen";
    std::vector<std::vector<std::string>> starts { { "--headless" }, {} }; // the desktop application last
    if (bad.commandsToo)
        starts.insert(starts.begin(), { { "report" }, { "export" }, { "limits" }, { "import" }, { "hook", "status" } });
    for (const auto& arguments : starts) {
        SCOPED_TRACE(arguments.empty() ? "(desktop)" : arguments.front());
        // A start that went on by mistake would run until stopped: a bound, not a wait.
        const auto result = tallyglass(arguments, std::chrono::seconds(20));
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.err, "tallyglass: " + sentence + "\n");
    }
}

INSTANTIATE_TEST_SUITE_P(BadFolders, ConfigFolderTest, ::testing::ValuesIn(badFolders),
    [](const ::testing::TestParamInfo<BadFolder>& named) { return std::string(named.param.name); });

} // namespace
} // namespace tallyglass
