#include "hook/HookScriptBuilder.h"
#include "server/LocalServer.h"

#include "support/HttpClient.h"
#include "support/Process.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"

#include "support/RecordingHandler.h"

#include <gtest/gtest.h>

#include <fstream>
#include <mutex>
#include <sys/stat.h>

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
        std::ofstream(script) << HookScriptBuilder::render(port, 3);
        ::chmod(script.c_str(), 0755);
    }

    std::unique_ptr<LocalServer> startServer()
    {
        auto server = std::make_unique<LocalServer>(port, 1, handler);
        server->start();
        test::waitUntil([&] { return server->boundPort() != 0; });
        return server;
    }

    test::ProcessResult run(std::vector<std::string> arguments, const std::string& input)
    {
        arguments.insert(arguments.begin(), script.string());
        return test::runProcess(arguments, input);
    }

    std::uint16_t port = 0;
    std::filesystem::path script;
    std::shared_ptr<RecordingHandler> handler = std::make_shared<RecordingHandler>();
    const std::string payload = "{\"hook_event_name\":\"Stop\",\"text\":\"quotes \\\" and unicode \xC3\xA9, no newline\"}";
};

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
