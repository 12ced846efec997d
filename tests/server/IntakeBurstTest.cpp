#include "capture/CaptureService.h"
#include "capture/StatusLineService.h"
#include "server/HookRouter.h"
#include "server/LocalServer.h"
#include "storage/WriteDatabase.h"

#include "support/HttpClient.h"
#include "support/QtTestApp.h"
#include "support/SqlProbe.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

namespace tallyglass {
namespace {

// Wraps the router. Each event's handling takes its time, as a handler
// waiting on a file or the database would: it holds on until the event's
// client has its answer. An answer that waited for its handler would never
// come; the handler gives up after a while and notes the event.
struct AnswerFirstHandler final : HookHandler {
    explicit AnswerFirstHandler(std::shared_ptr<HookHandler> router)
        : inner(std::move(router))
    {
    }
    void handle(const std::string& body) override
    {
        const int seq = std::stoi(body.substr(body.find("\"seq\":") + 6));
        {
            std::unique_lock lock(mutex);
            if (!answeredChanged.wait_for(lock, std::chrono::seconds(20), [&] { return answered.count(seq) != 0; }))
                handledBeforeAnswered.insert(seq);
        }
        inner->handle(body);
        std::lock_guard lock(mutex);
        ++finished;
    }
    void noteAnswered(int seq)
    {
        std::lock_guard lock(mutex);
        answered.insert(seq);
        answeredChanged.notify_all();
    }
    const std::shared_ptr<HookHandler> inner;
    std::mutex mutex;
    std::condition_variable answeredChanged;
    std::set<int> answered;
    std::set<int> handledBeforeAnswered;
    int finished = 0;
};

TEST(IntakeBurst, twoHundredEventsOverTwentySessionsStoreEveryMessageOnceAndAreAnsweredFirst)
{
    test::qtApp();
    const auto dir = test::freshDirectory();
    auto writer = std::make_shared<WriteDatabase>(dir / "app.db");
    CaptureService::Options options;
    options.timing.followUps = {std::chrono::milliseconds(50)}; // production settling, one short follow-up
    auto capture = std::make_shared<CaptureService>(writer, options);
    auto timed = std::make_shared<AnswerFirstHandler>(std::make_shared<HookRouter>(capture, std::make_shared<StatusLineService>(writer)));
    const std::uint16_t port = test::findFreePorts(1);
    LocalServer server(port, 1, timed);
    server.start();
    ASSERT_TRUE(test::waitUntil([&] { return server.boundPort() != 0; }));

    constexpr int sessions = 20;
    constexpr int events = 200;
    constexpr int linesPerEvent = 3;
    std::vector<std::mutex> fileLocks(sessions);

    std::vector<std::thread> clients;
    for (int worker = 0; worker < 10; ++worker) {
        clients.emplace_back([&, worker] {
            for (int seq = worker; seq < events; seq += 10) {
                const int session = seq % sessions;
                const auto transcript = dir / ("session-" + std::to_string(session) + ".jsonl");
                {
                    std::lock_guard lock(fileLocks[static_cast<std::size_t>(session)]);
                    std::ofstream out(transcript, std::ios::app);
                    for (int line = 0; line < linesPerEvent; ++line)
                        out << R"({"type":"assistant","sessionId":"s)" << session
                            << R"(","timestamp":"2025-01-15T10:30:00Z","message":{"id":"msg-)" << seq << "-" << line
                            << R"(","model":"claude-sonnet-4-6","usage":{"input_tokens":1,"output_tokens":2}}})" << "\n";
                }
                const std::string body = R"({"hook_event_name":"PostToolUse","session_id":"s)" + std::to_string(session)
                    + R"(","transcript_path":")" + transcript.string() + R"(","seq":)" + std::to_string(seq) + "}";
                const std::string answer = test::HttpClient::exchange(port, test::postEvent(body));
                timed->noteAnswered(seq);
                EXPECT_EQ(answer, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            }
        });
    }
    for (auto& client : clients)
        client.join();
    ASSERT_TRUE(server.waitForHandlers(std::chrono::seconds(60)));
    ASSERT_TRUE(capture->waitUntilIdle(std::chrono::seconds(60)));

    ASSERT_EQ(timed->finished, events);
    for (const int seq : timed->handledBeforeAnswered)
        ADD_FAILURE() << "event " << seq << " was not answered while its handler held on";

    test::SqlProbe probe(dir / "app.db");
    EXPECT_EQ(probe.value("SELECT COUNT(*) FROM messages"), std::to_string(events * linesPerEvent));
    EXPECT_EQ(probe.value("SELECT COUNT(DISTINCT messageId) FROM messages WHERE messageId LIKE 'msg-%'"),
              std::to_string(events * linesPerEvent));
    EXPECT_EQ(probe.value("SELECT COUNT(*) FROM sessions WHERE isActive = 1"), std::to_string(sessions));
}

} // namespace
} // namespace tallyglass
