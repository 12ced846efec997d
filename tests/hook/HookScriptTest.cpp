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
#include <csignal>
#include <cstdlib>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tallyglass {
namespace {

using namespace std::chrono_literals;

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

    test::ProcessResult run(std::vector<std::string> arguments, const std::string& input,
                            const std::map<std::string, std::string>& environment = {})
    {
        arguments.insert(arguments.begin(), script.string());
        return test::runProcess(arguments, input, environment);
    }

    std::uint16_t port = 0;
    std::filesystem::path script;
    std::shared_ptr<test::RecordingHandler> handler = std::make_shared<test::RecordingHandler>();
    const std::string payload = "{\"hook_event_name\":\"Stop\",\"text\":\"quotes \\\" and unicode \xC3\xA9, no newline\"}";
};

// A listener in a child process, as the given user, that answers every
// request with a hook decision and reports through a pipe what it was sent.
// It throws when it cannot listen.
class ChildListener {
public:
    ChildListener(std::uint16_t port, uid_t uid)
    {
        int report[2];
        if (::pipe(report) != 0)
            throw std::runtime_error("pipe");
        child_ = ::fork();
        if (child_ == 0) {
            ::close(report[0]);
            if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)
                ::_exit(2);
            const int fd = test::listenOnLoopback(port);
            if (fd < 0)
                ::_exit(3);
            ::write(report[1], "r", 1);
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
        report_ = report[0];
        char byte = 0;
        if (::read(report_, &byte, 1) != 1) // the child's first byte says it listens
            throw std::runtime_error("the listener did not start");
    }
    ~ChildListener()
    {
        ::kill(child_, SIGKILL);
        ::waitpid(child_, nullptr, 0);
        ::close(report_);
    }
    // What it was sent within the time: the child reports each request in one write.
    std::string received(std::chrono::milliseconds wait)
    {
        char buffer[4096];
        pollfd p{report_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0)
            return "";
        const ssize_t n = ::read(report_, buffer, sizeof buffer);
        return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }

private:
    pid_t child_ = -1;
    int report_ = -1;
};

// Straight to a listener of the user's own, whatever proxy Claude Code's
// environment names (nothing listens there, so a post sent through it is
// lost), and never to another user's (only root can listen as one); the
// answer never reaches Claude Code, which would take it as a decision.
TEST_F(HookScriptTest, postsStraightToAListenerOfItsOwnUserOnlyAndNeverPrintsTheAnswer)
{
    const std::string proxy = "http://127.0.0.1:" + std::to_string(test::findFreePorts(1));
    const std::map<std::string, std::string> environment = {
        {"http_proxy", proxy}, {"HTTP_PROXY", proxy}, {"ALL_PROXY", proxy}, {"all_proxy", proxy}};
    for (const uid_t uid : {::geteuid(), uid_t{65534}}) {
        const bool own = uid == ::geteuid();
        if (!own && ::geteuid() != 0)
            continue;
        SCOPED_TRACE(own ? "the user's own" : "another user's");
        ChildListener listener(port, uid);
        const auto posted = [&] { return listener.received(own ? 2000ms : 1500ms).find(payload) != std::string::npos; };
        const auto plain = run({}, payload, environment);
        EXPECT_EQ(plain.out, ""); // the listener's "block" decision
        EXPECT_EQ(plain.exitCode, 0);
        if (own) {
            EXPECT_TRUE(posted());
        }
        EXPECT_EQ(run({"--", "cat"}, payload, environment).out, payload); // the user's own status line still shows
        EXPECT_EQ(posted(), own);
    }
}

// Plain mode prints nothing; tee mode prints the input; chaining gives the
// command the input and returns its output and status. Every way the input is
// posted once, byte for byte.
TEST_F(HookScriptTest, everyModePostsTheInputAndChainingPassesItThrough)
{
    LocalServer server(port, 1, handler);
    server.start();
    ASSERT_TRUE(test::waitUntil([&] { return server.boundPort() != 0; }));
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = { // arguments, exit code, output
        {{}, 0, ""},
        {{"--"}, 0, ""}, // nothing to chain: plain mode
        {{"--", "cat"}, 0, payload},
        {{"--tee"}, 0, payload},
        {{"ignored", "--", "false"}, 1, ""},
        {{"--", "sh", "-c", "cat; exit 7"}, 7, payload},
    };
    for (const auto& [arguments, exitCode, out] : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const auto result = run(arguments, payload);
        EXPECT_EQ(result.exitCode, exitCode);
        EXPECT_EQ(result.out, out);
    }
    ASSERT_TRUE(test::waitUntil([&] { return handler->received().size() == std::size(cases); }));
    EXPECT_EQ(handler->received(), std::vector<std::string>(std::size(cases), payload));
}

TEST_F(HookScriptTest, neverWaitsForAServerThatIsDownOrNeverAnswers)
{
    const auto down = run({}, payload);
    EXPECT_EQ(down.exitCode, 0);
    EXPECT_EQ(down.out, "");
    EXPECT_LT(down.elapsed, 1000ms);
    // Accepts connections (the kernel's backlog) but never reads or answers, as
    // a stopped application does: Claude Code waits for a hook, and it must not
    // wait for that (it took 3 s an event).
    test::PortHolder blackHole(port, test::PortHolder::Family::both);
    const auto chained = run({"--", "cat"}, payload);
    EXPECT_EQ(chained.exitCode, 0);
    EXPECT_EQ(chained.out, payload);
    EXPECT_LT(chained.elapsed, 700ms); // the background post may take up to its 1 s limit
    const auto event = run({}, payload);
    EXPECT_EQ(event.exitCode, 0);
    EXPECT_EQ(event.out, "");
    EXPECT_LT(event.elapsed, 1500ms) << "bounded near 0.3 s, whatever the load on the machine running this";
}

// The status line shows as soon as the user's command is done: the post runs
// on in the background holding neither of the pipes Claude Code reads. Here
// it cannot end before the output has: a curl of the test's own takes the
// post and waits to be let go.
TEST_F(HookScriptTest, theStatusLineEndsWhileItsPostIsStillUnderWay)
{
    test::PortHolder listener(port); // a listener of this user: the script posts
    const auto bin = test::freshDirectory();
    const auto posted = bin / "posted";
    const auto release = bin / "release";
    // Let go at the end of each case; the time limit only ends it should the test fail before.
    std::ofstream(bin / "curl") << "#!/bin/sh\ncat > '" << posted.string() << ".part'\nmv '" << posted.string() << ".part' '"
                                << posted.string() << "'\ntimeout 60 cat '" << release.string() << "' >/dev/null\n";
    ::chmod((bin / "curl").c_str(), 0755);
    const std::map<std::string, std::string> environment = {{"PATH", bin.string() + ":" + std::getenv("PATH")}};
    const std::tuple<std::string, std::string, std::string> cases[] = { // status line, input, output
        {script.string() + " --tee | eval 'cat; echo done'", payload + "\n\n", payload + "\n\ndone\n"},
        {script.string() + " -- cat", payload, payload}, // as settings of earlier versions have it
    };
    for (const auto& [statusLine, input, out] : cases) {
        SCOPED_TRACE(statusLine);
        ASSERT_EQ(::mkfifo(release.c_str(), 0600), 0);
        const auto shown = test::runProcessThroughPipes({"sh", "-c", statusLine}, input, environment, 10s);
        EXPECT_EQ(shown.exitCode, 0); // -1: the pipes stayed open
        EXPECT_EQ(shown.out, out);
        EXPECT_EQ(shown.err, "");
        ASSERT_TRUE(test::waitUntil([&] { return std::filesystem::exists(posted); }));
        EXPECT_EQ(test::fileText(posted), input);
        std::ofstream(release) << "go\n"; // opens once the curl waits on it
        std::filesystem::remove(posted);
        std::filesystem::remove(release);
    }
}

} // namespace
} // namespace tallyglass
