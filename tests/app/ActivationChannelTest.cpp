#include "app/ActivationChannel.h"

#include "app/AppPaths.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tallyglass {
namespace {

using namespace std::chrono_literals;

// The second start's side runs on a thread of its own, as in its own process:
// it blocks, and the listening side needs this thread's event loop to answer.
bool requestFromElsewhere(const std::filesystem::path& path)
{
    auto answer = std::async(std::launch::async, [path] { return ActivationChannel::requestShowReport(path, 5s); });
    EXPECT_TRUE(test::waitUntil([&] { return answer.wait_for(0s) == std::future_status::ready; }));
    return answer.get();
}

mode_t permissions(const std::filesystem::path& path)
{
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 0777;
}

// A socket file whose process ended without removing it.
void leaveStaleSocket(const std::filesystem::path& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

// Each request is acted on and answered, through a socket only its owner can
// reach, which a second start never takes from the running process.
TEST(ActivationChannel, aRequestIsActedOnAndAnsweredThroughTheRunningProcesssOwnSocket)
{
    test::qtApp();
    const auto path = test::freshDirectory() / "tallyglass.socket";
    std::vector<std::string> shown;
    ActivationChannel first(path, [&] { shown.push_back("first"); });
    ASSERT_TRUE(first.isListening());
    EXPECT_EQ(permissions(path) & 0077, 0u);
    ActivationChannel second(path, [&] { shown.push_back("second"); });
    EXPECT_FALSE(second.isListening());
    EXPECT_TRUE(requestFromElsewhere(path));
    EXPECT_TRUE(requestFromElsewhere(path));
    EXPECT_EQ(shown, (std::vector<std::string>{"first", "first"}));
}

TEST(ActivationChannel, withNobodyListeningTheRequestFailsAndALeftSocketIsReplaced)
{
    test::qtApp();
    const auto folder = test::freshDirectory();
    EXPECT_FALSE(requestFromElsewhere(folder / "nothing.socket"));
    const auto stale = folder / "stale.socket";
    leaveStaleSocket(stale);
    EXPECT_FALSE(requestFromElsewhere(stale));
    int shown = 0;
    ActivationChannel channel(stale, [&] { ++shown; });
    ASSERT_TRUE(channel.isListening());
    EXPECT_TRUE(requestFromElsewhere(stale));
    EXPECT_EQ(shown, 1);
}

// The user's runtime folder is private by definition; without one, the
// socket goes in a folder of the configuration that only its owner may enter.
TEST(ActivationChannel, theSocketLivesInTheRuntimeFolderElseInAPrivateFolderOfTheConfiguration)
{
    test::qtApp();
    const std::string runtime = std::getenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(ActivationChannel::defaultPath(), std::filesystem::path(runtime) / "tallyglass.socket");
    ::unsetenv("XDG_RUNTIME_DIR");
    const auto fallback = ActivationChannel::defaultPath();
    {
        ActivationChannel channel(fallback, [] {});
        EXPECT_TRUE(channel.isListening());
    }
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    EXPECT_EQ(fallback, AppPaths::configDirectory() / "run" / "tallyglass.socket");
    EXPECT_EQ(permissions(fallback.parent_path()), 0700u);
}

} // namespace
} // namespace tallyglass
