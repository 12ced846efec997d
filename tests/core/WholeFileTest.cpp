#include "core/WholeFile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass {
namespace {

namespace fs = std::filesystem;

unsigned modeOf(const fs::path& path)
{
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

// Everything in the folder but the names given: a temporary file left behind.
std::vector<std::string> othersIn(const fs::path& folder, const std::vector<std::string>& expected)
{
    std::vector<std::string> others;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (std::find(expected.begin(), expected.end(), name) == expected.end())
            others.push_back(name);
    }
    return others;
}

// The new content lands whole, with the mode asked for, else the replaced
// file's, and no temporary file stays.
TEST(WholeFile, replacesTheContentWholeWithTheModeAskedForOrTheOneItHad)
{
    struct Case {
        const char* name;
        std::optional<unsigned> before; // the existing file's mode; none: no file
        std::optional<unsigned> asked;
        unsigned after;
    };
    const Case cases[] = {
        {"new, private", std::nullopt, 0600u, 0600u},
        {"new, executable", std::nullopt, 0755u, 0755u},
        {"replaced, kept private", 0600u, std::nullopt, 0600u},
        {"replaced, kept group-readable", 0640u, std::nullopt, 0640u},
        {"replaced, made executable", 0600u, 0755u, 0755u},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = test::freshDirectory();
        const fs::path file = folder / "settings.json";
        if (c.before) {
            std::ofstream(file) << "the old content, longer than the new one";
            ::chmod(file.c_str(), *c.before);
        }
        WholeFile::write(file, "{}\n", c.asked);
        EXPECT_EQ(test::fileText(file), "{}\n");
        EXPECT_EQ(modeOf(file), c.after);
        EXPECT_TRUE(othersIn(folder, {"settings.json"}).empty());
    }
}

// A write that cannot happen says so, names the file, leaves what was there
// as it was and leaves no temporary file behind.
TEST(WholeFile, aWriteThatFailsLeavesTheFolderAsItWas)
{
    const fs::path folder = test::freshDirectory();
    std::ofstream(folder / "locked.txt") << "kept";
    ::chmod((folder / "locked.txt").c_str(), 0444);
    fs::create_directories(folder / "a folder" / "inside");
    fs::create_directories(folder / "closed");
    struct Case {
        fs::path target;
        const char* said;
    };
    std::vector<Case> cases = {
        {folder / "missing" / "x.csv", "cannot write"}, // no folder to hold it
        {folder / "a folder", "cannot replace"},        // a folder by that name: written, then not renamed
    };
    if (::geteuid() != 0) { // permissions do not bind root
        cases.push_back({folder / "locked.txt", "cannot write"});       // made read-only by its owner
        cases.push_back({folder / "closed" / "x.csv", "cannot write"}); // a folder that may not be written
    }
    ::chmod((folder / "closed").c_str(), 0555);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target.string());
        try {
            WholeFile::write(c.target, "new");
            ADD_FAILURE() << "written";
        } catch (const WholeFile::Error& error) {
            EXPECT_EQ(std::string(error.what()).rfind(std::string(c.said) + " " + c.target.string() + ": ", 0), 0u) << error.what();
            EXPECT_FALSE(error.reason().empty());
        }
    }
    EXPECT_EQ(test::fileText(folder / "locked.txt"), "kept");
    EXPECT_TRUE(fs::is_directory(folder / "a folder" / "inside"));
    EXPECT_TRUE(othersIn(folder, {"locked.txt", "a folder", "closed"}).empty());
    EXPECT_FALSE(fs::exists(folder / "missing"));
    ::chmod((folder / "closed").c_str(), 0755);
    EXPECT_TRUE(fs::is_empty(folder / "closed"));
}

// A linked file is written where the link ends; the link stays a link.
TEST(WholeFile, aLinkIsFollowedToTheFileItNames)
{
    const fs::path folder = test::freshDirectory();
    fs::create_directories(folder / "dotfiles");
    std::ofstream(folder / "dotfiles" / "real.json") << "old";
    fs::create_symlink("dotfiles/real.json", folder / "hop");
    fs::create_symlink("hop", folder / "link.json");
    WholeFile::write(folder / "link.json", "new");
    EXPECT_TRUE(fs::is_symlink(folder / "link.json"));
    EXPECT_EQ(test::fileText(folder / "dotfiles" / "real.json"), "new");
    EXPECT_EQ(WholeFile::finalTarget(folder / "link.json"), folder / "dotfiles" / "real.json");
    EXPECT_TRUE(othersIn(folder / "dotfiles", {"real.json"}).empty());
}

} // namespace
} // namespace tallyglass
