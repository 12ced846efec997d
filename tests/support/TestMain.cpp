// Entry point of every test executable. Each process gets a fresh, empty $HOME
// so that nothing a test does can touch the real ~/.claude or ~/.config.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv)
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tallyglass-test-home-XXXXXX").string();
    const char* home = ::mkdtemp(pattern.data());
    if (!home) {
        std::perror("mkdtemp");
        return 1;
    }
    ::setenv("HOME", home, 1);
    ::setenv("XDG_CONFIG_HOME", (std::string(home) + "/.config").c_str(), 1);
    ::unsetenv("CLAUDE_CONFIG_DIR");
    // The runtime folder holds the desktop application's socket: a test's
    // must never take the place of a running application's.
    ::setenv("XDG_RUNTIME_DIR", home, 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);

    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();

    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return result;
}
