#include "capture/CaptureService.h"
#include "capture/StatusLineService.h"
#include "server/HookRouter.h"
#include "server/LocalServer.h"
#include "storage/WriteDatabase.h"

#include "support/HttpClient.h"
#include "support/QtTestApp.h"
#include "support/RecordingHandler.h"
#include "support/SqlProbe.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace tallyglass {
namespace {

using Clock = std::chrono::steady_clock;

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

// Connections opened all at once, as many hook processes would open them, each
// sending its whole request as soon as it is connected.
class Burst {
public:
    Burst(std::uint16_t port, int count)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            fds_.push_back(fd);
        }
    }
    ~Burst()
    {
        for (const int fd : fds_)
            ::close(fd);
    }

    // Whether every connection was taken by the kernel within the time, accepted by the server or not.
    bool connected(std::chrono::milliseconds timeout)
    {
        return forEachReady(POLLOUT, timeout, [](int fd) {
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
            return error == 0;
        });
    }

    void send(const std::function<std::string(int)>& request)
    {
        for (std::size_t i = 0; i < fds_.size(); ++i) {
            const std::string bytes = request(static_cast<int>(i));
            ASSERT_EQ(::send(fds_[i], bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
        }
    }

    // Every connection's whole answer, read until the server closes it.
    std::vector<std::string> answers(std::chrono::milliseconds timeout)
    {
        std::vector<std::string> read(fds_.size());
        std::map<int, std::size_t> index;
        for (std::size_t i = 0; i < fds_.size(); ++i)
            index[fds_[i]] = i;
        forEachReady(POLLIN, timeout, [&](int fd) {
            char buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                read[index[fd]].append(buffer, static_cast<std::size_t>(n));
            return n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
        });
        return read;
    }

private:
    // Polls until `done` has said true of every connection, or the time is up.
    bool forEachReady(short events, std::chrono::milliseconds timeout, const std::function<bool(int)>& done)
    {
        const auto deadline = Clock::now() + timeout;
        std::set<int> left(fds_.begin(), fds_.end());
        while (!left.empty() && Clock::now() < deadline) {
            std::vector<pollfd> watched;
            for (const int fd : left)
                watched.push_back({fd, events, 0});
            ::poll(watched.data(), watched.size(), 50);
            for (const auto& w : watched) {
                if (w.revents != 0 && done(w.fd))
                    left.erase(w.fd);
            }
        }
        return left.empty();
    }

    std::vector<int> fds_;
};

// Far more hook posts than the server takes connections, all at once, while
// every slot is held by a peer that has not sent its request: the burst waits
// in the kernel's queue instead of being turned away, and as slots come free
// every post is answered and reaches the handler.
TEST(IntakeBurst, postsBeyondTheConnectionLimitWaitTheirTurnAndEveryOneReachesTheHandler)
{
    test::qtApp();
    auto handler = std::make_shared<test::RecordingHandler>();
    const std::uint16_t port = test::findFreePorts(1);
    // No connection here is ever old enough to give way: only answers and hang-ups make room.
    LocalServer server(port, 1, handler, {.maxConnections = 8, .evictionGrace = std::chrono::hours(1)});
    server.start();
    ASSERT_TRUE(test::waitUntil([&] { return server.boundPort() != 0; }));
    std::vector<std::unique_ptr<test::HttpClient>> holders;
    for (int i = 0; i < 8; ++i)
        holders.push_back(std::make_unique<test::HttpClient>(port));
    ASSERT_TRUE(test::waitUntil([&] { return server.openConnections() == 8; }));

    constexpr int posts = 300;
    Burst burst(port, posts);
    ASSERT_TRUE(burst.connected(std::chrono::seconds(10)));
    const std::string pad(2000, 'x');
    ASSERT_NO_FATAL_FAILURE(burst.send([&](int seq) {
        const std::string body = R"({"hook_event_name":"PostToolUse","seq":)" + std::to_string(seq) + R"(,"pad":")";
        return test::postEvent(body + pad + "\"}");
    }));
    holders.clear();

    // The hook's curl gives up on a post after 3 seconds: a post that waits
    // for the kernel to retry a dropped handshake is lost to it.
    const auto answers = burst.answers(std::chrono::seconds(3));
    for (std::size_t i = 0; i < answers.size(); ++i)
        EXPECT_EQ(answers[i], "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n") << "post " << i;
    ASSERT_TRUE(server.waitForHandlers(std::chrono::seconds(10)));
    std::set<std::string> distinct;
    for (const auto& body : handler->received())
        distinct.insert(body);
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(posts));
}

} // namespace
} // namespace tallyglass
