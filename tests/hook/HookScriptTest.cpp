#include "hook/HookScriptBuilder.h"
#include "server/LocalServer.h"

#include "support/HttpClient.h"
#include "support/Process.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"

#include "support/RecordingHandler.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <mutex>
#include <csignal>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tallyglass {
namespace {

using namespace std::chrono_literals;

using test::RecordingHandler;

// The script as the installer writes it, run with the real bash and curl the
// way Claude Code runs it: JSON on standard input.
class HookScriptTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::qtApp();
        port = test::findFreePorts(1);
        script = test::freshDirectory() / "app-hook";
        std::ofstream(script) << HookScriptBuilder::render(port, HookScriptBuilder::currentVersion);
        ::chmod(script.c_str(), 0755);
    }

    std::unique_ptr<LocalServer> startServer()
    {
        auto server = std::make_unique<LocalServer>(port, 1, handler);
        server->start();
        test::waitUntil([&] { return server->boundPort() != 0; });
        return server;
    }

    test::ProcessResult run(std::vector<std::string> arguments, const std::string& input,
                            const std::map<std::string, std::string>& environment = {})
    {
        arguments.insert(arguments.begin(), script.string());
        return test::runProcess(arguments, input, environment);
    }

    std::uint16_t port = 0;
    std::filesystem::path script;
    std::shared_ptr<RecordingHandler> handler = std::make_shared<RecordingHandler>();
    const std::string payload = "{\"hook_event_name\":\"Stop\",\"text\":\"quotes \\\" and unicode \xC3\xA9, no newline\"}";
};

// A listener in a child process, as the given user, that answers every
// request with a hook decision and reports through a pipe what it was sent.
class ChildListener {
public:
    ChildListener(std::uint16_t port, uid_t uid)
    {
        int report[2];
        int ready[2];
        if (::pipe(report) != 0 || ::pipe(ready) != 0)
            throw std::runtime_error("pipe");
        child_ = ::fork();
        if (child_ == 0) {
            ::close(report[0]);
            ::close(ready[0]);
            if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)
                ::_exit(2);
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            const int reuse = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0)
                ::_exit(3);
            ::write(ready[1], "r", 1);
            const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 22\r\nConnection: close\r\n\r\n{\"decision\":\"block\"}\n";
            while (true) {
                const int client = ::accept(fd, nullptr, nullptr);
                char buffer[4096];
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n > 0)
                    ::write(report[1], buffer, static_cast<std::size_t>(n));
                ::send(client, answer, sizeof answer - 1, MSG_NOSIGNAL);
                ::close(client);
            }
        }
        ::close(report[1]);
        ::close(ready[1]);
        report_ = report[0];
        char byte = 0;
        listening_ = ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
    }
    ~ChildListener()
    {
        ::kill(child_, SIGKILL);
        ::waitpid(child_, nullptr, 0);
        ::close(report_);
    }
    bool listening() const { return listening_; }
    // Whatever was sent to it within the time.
    std::string received(std::chrono::milliseconds wait)
    {
        std::string out;
        pollfd p{report_, POLLIN, 0};
        while (::poll(&p, 1, static_cast<int>(wait.count())) > 0) {
            char buffer[4096];
            const ssize_t n = ::read(report_, buffer, sizeof buffer);
            if (n <= 0)
                break;
            out.append(buffer, static_cast<std::size_t>(n));
            wait = 200ms;
        }
        return out;
    }

private:
    pid_t child_ = -1;
    int report_ = -1;
    bool listening_ = false;
};

TEST_F(HookScriptTest, postsOnlyToAListenerOfItsOwnUserAndNeverPrintsTheAnswer)
{
    {
        ChildListener ours(port, ::geteuid());
        ASSERT_TRUE(ours.listening());
        const auto plain = run({}, payload);
        EXPECT_EQ(plain.out, ""); // the listener's "block" decision never reaches Claude Code
        EXPECT_EQ(plain.exitCode, 0);
        EXPECT_NE(ours.received(2s).find(payload), std::string::npos);
    }
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to listen as another user";
    ChildListener stranger(port, 65534);
    ASSERT_TRUE(stranger.listening());
    const auto plain = run({}, payload);
    const auto chained = run({"--", "cat"}, payload);
    EXPECT_EQ(plain.out, "");
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(chained.out, payload); // the user's own status line still shows
    EXPECT_EQ(stranger.received(1500ms), "");
}

// Hooks run with Claude Code's environment: a proxy set there must not see
// (nor swallow) the events.
TEST_F(HookScriptTest, aProxyInTheEnvironmentIsNeverUsed)
{
    auto server = startServer();
    const std::uint16_t proxyPort = test::findFreePorts(1);
    ChildListener proxy(proxyPort, ::geteuid());
    ASSERT_TRUE(proxy.listening());
    const std::string address = "http://127.0.0.1:" + std::to_string(proxyPort);
    const std::map<std::string, std::string> environment = {
        {"http_proxy", address}, {"HTTP_PROXY", address}, {"ALL_PROXY", address}, {"all_proxy", address}};
    EXPECT_EQ(run({}, payload, environment).exitCode, 0);
    EXPECT_EQ(run({"--", "cat"}, payload, environment).out, payload);
    ASSERT_TRUE(test::waitUntil([&] { return handler->received().size() == 2; }));
    EXPECT_EQ(proxy.received(500ms), "");
}

TEST_F(HookScriptTest, plainModePostsTheInputByteForByte)
{
    auto server = startServer();
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{}, std::vector<std::string>{"--"}}) {
        const auto result = run(arguments, payload);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.out, "");
    }
    ASSERT_TRUE(test::waitUntil([&] { return handler->received().size() == 2; }));
    EXPECT_EQ(handler->received(), (std::vector<std::string>{payload, payload}));
}

TEST_F(HookScriptTest, plainModeGivesUpAtOnceWhenNothingListens)
{
    const auto result = run({}, payload);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_LT(result.elapsed, 1000ms);
}

TEST_F(HookScriptTest, chainingPassesTheInputThroughAndReturnsTheCommandsStatus)
{
    auto server = startServer();
    const auto cat = run({"--", "cat"}, payload);
    EXPECT_EQ(cat.exitCode, 0);
    EXPECT_EQ(cat.out, payload);
    const auto failing = run({"ignored", "--", "false"}, payload);
    EXPECT_EQ(failing.exitCode, 1);
    const auto withArguments = run({"--", "sh", "-c", "wc -c; exit 7"}, payload);
    EXPECT_EQ(withArguments.exitCode, 7);
    EXPECT_EQ(std::stoul(withArguments.out), payload.size());
    // Each run posted once, in the background.
    ASSERT_TRUE(test::waitUntil([&] { return handler->received().size() == 3; }));
    for (const auto& body : handler->received())
        EXPECT_EQ(body, payload);
}

TEST_F(HookScriptTest, chainingDoesNotWaitForAServerThatNeverAnswers)
{
    // Accepts connections (the kernel's backlog) but never reads or answers.
    test::PortHolder blackHole(port, test::PortHolder::Family::both);
    const auto result = run({"--", "cat"}, payload);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, payload);
    EXPECT_LT(result.elapsed, 700ms); // the background post may take up to its 1 s limit
}

} // namespace
} // namespace tallyglass
