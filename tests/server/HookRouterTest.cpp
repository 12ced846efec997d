#include "server/HookRouter.h"

#include "support/RecordingHandler.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace tallyglass {
namespace {

using test::RecordingHandler;

TEST(HookRouter, routesByContentAndPassesTheBodyUnchanged)
{
    struct Case {
        std::string body;
        std::size_t capture;
        std::size_t statusLine;
    };
    const Case cases[] = {
        {"", 0, 0},
        {"not json", 0, 0},
        {"[1,2]", 0, 0},
        {R"("hook_event_name")", 0, 0},
        {R"({"hook_event_name":"Stop"} trailing)", 0, 0},
        {"{}", 0, 0},
        {R"({"hook_event_name":"Stop","session_id":"s"})", 1, 0},
        {R"({"hook_event_name":"AnythingAtAll"})", 1, 0},
        {R"({"hook_event_name":7})", 0, 0},
        {R"({"rate_limits":{}})", 0, 1},
        {R"({"rate_limits":{},"hook_event_name":"Stop"})", 0, 1},
        {R"({"rate_limits":null,"hook_event_name":"Stop"})", 1, 0},
        {R"({"rate_limits":[1],"hook_event_name":"Stop"})", 1, 0},
        {R"({"rate_limits":5})", 0, 0},
        {R"(  {"hook_event_name":"Stop","n":100000000000000000000}  )", 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        auto capture = std::make_shared<RecordingHandler>();
        auto statusLine = std::make_shared<RecordingHandler>();
        HookRouter router(capture, statusLine);
        router.handle(c.body);
        EXPECT_EQ(capture->received(), std::vector<std::string>(c.capture, c.body));
        EXPECT_EQ(statusLine->received(), std::vector<std::string>(c.statusLine, c.body));
    }
}

TEST(HookRouter, isSafeToCallFromManyThreads)
{
    auto capture = std::make_shared<RecordingHandler>();
    auto statusLine = std::make_shared<RecordingHandler>();
    HookRouter router(capture, statusLine);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i)
                router.handle((i + t) % 2 ? R"({"hook_event_name":"Stop"})" : R"({"rate_limits":{"five_hour":{}}})");
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(capture->count() + statusLine->count(), 1600u);
    EXPECT_EQ(capture->count(), 800u);
}

} // namespace
} // namespace tallyglass
