#include "server/LocalServer.h"

#include "server/ServerConstants.h"
#include "storage/Preferences.h"
#include "support/HttpClient.h"
#include "support/OutputCapture.h"
#include "support/Process.h"
#include "support/QtTestApp.h"
#include "support/RecordingHandler.h"

#include <QThread>

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <unistd.h>
#include <thread>

namespace tallyglass {
namespace {

using test::HttpClient;
using test::PortHolder;
using test::RecordingHandler;

const std::string okEmpty = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const std::string okHealth = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
const std::string notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot found";
const std::string forbidden = "HTTP/1.1 403 Forbidden\r\nContent-Length: 9\r\nConnection: close\r\n\r\nforbidden";

class LocalServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::qtApp();
        Preferences::shared().resetForTests();
        port = test::findFreePorts(3);
    }

    // On the three ports from `port`, with the back-off shortened unless the test chose one.
    void start(LocalServer::Options options = {}, std::shared_ptr<HookHandler> router = nullptr)
    {
        if (options.backoffBase == std::chrono::milliseconds(2000))
            options.backoffBase = std::chrono::milliseconds(20);
        if (!router)
            router = handler;
        server = std::make_unique<LocalServer>(port, 3, router, options);
        server->setOnPortChange([this](std::uint16_t p) {
            portChanges.push_back(p);
            portChangeOnMainThread = QThread::currentThread() == QCoreApplication::instance()->thread();
        });
        server->start();
    }

    // Under ASSERT_NO_FATAL_FAILURE: the test goes on only once the server listens.
    void serve(LocalServer::Options options = {}, std::shared_ptr<HookHandler> router = nullptr)
    {
        start(options, std::move(router));
        ASSERT_TRUE(test::waitUntil([&] { return server->boundPort() != 0; }));
    }

    std::uint16_t port = 0;
    std::shared_ptr<RecordingHandler> handler = std::make_shared<RecordingHandler>();
    std::vector<std::uint16_t> portChanges;
    bool portChangeOnMainThread = false;
    std::unique_ptr<LocalServer> server; // last, so that it stops before what its callbacks touch
};

TEST_F(LocalServerTest, answersEachRequestOnceAndClosesTheConnection)
{
    ASSERT_NO_FATAL_FAILURE(serve());
    // The request, and the whole answer to it.
    const std::pair<std::string, std::string> cases[] = {
        {"GET /health HTTP/1.1\r\nHost: localhost\r\n\r\n", okHealth},
        {test::postEvent(R"({"hook_event_name":"Stop"})"), okEmpty},
        // Every kind of refusal takes the same way out (the gate's own tests have them all); a refused body is not routed.
        {"POST /event HTTP/1.1\r\nOrigin: https://evil.example\r\nContent-Length: 2\r\n\r\n{}", forbidden},
        // Refused as soon as the headers are in, not after waiting for a body the peer holds back.
        {"POST /elsewhere HTTP/1.1\r\nContent-Length: 10\r\nExpect: 100-continue\r\n\r\n", notFound},
        // Limits are checked while the bytes arrive: this never completes (a body: RequestBudgetTest).
        {"GET /health HTTP/1.1\r\nX-Filler: " + std::string(70 * 1024, 'a'),
         "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 31\r\nConnection: close\r\n\r\nrequest header fields too large"},
    };
    for (const auto& [request, answer] : cases) {
        SCOPED_TRACE(request.substr(0, 100));
        EXPECT_EQ(HttpClient::exchange(port, request), answer);
    }
    ASSERT_TRUE(server->waitForHandlers(std::chrono::seconds(5)));
    EXPECT_EQ(handler->received(), std::vector<std::string>{R"({"hook_event_name":"Stop"})"});
    // Reachable on the IPv6 loopback too (the ports were found free on both, so the machine has it).
    HttpClient v6(port, true);
    v6.send("GET /health HTTP/1.1\r\nHost: [::1]\r\n\r\n");
    EXPECT_EQ(v6.readAll(), okHealth);
}

TEST_F(LocalServerTest, aRequestInSmallPiecesIsAnsweredOnceItIsComplete)
{
    ASSERT_NO_FATAL_FAILURE(serve());
    HttpClient client(port);
    const std::string request = test::postEvent(R"({"hook_event_name":"Stop","n":1})");
    for (const char c : request) {
        EXPECT_FALSE(client.closedByServer(std::chrono::milliseconds(0)));
        client.send(std::string(1, c));
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    EXPECT_EQ(client.readAll(), okEmpty);
    ASSERT_TRUE(test::waitUntil([&] { return handler->count() == 1; }));
    EXPECT_EQ(handler->received()[0], R"({"hook_event_name":"Stop","n":1})");
}

TEST_F(LocalServerTest, aPeerThatHalfClosesEarlyIsAnsweredWithWhatArrived)
{
    ASSERT_NO_FATAL_FAILURE(serve());
    HttpClient client(port);
    client.send("POST /event HTTP/1.1\r\nHost: localhost\r\nContent-Length: 100\r\n\r\n{\"a\":1}");
    client.finishSending();
    EXPECT_EQ(client.readAll(), okEmpty);
    ASSERT_TRUE(test::waitUntil([&] { return handler->count() == 1; }));
    EXPECT_EQ(handler->received()[0], "{\"a\":1}");

    HttpClient silent(port);
    silent.finishSending();
    EXPECT_EQ(silent.readAll(), "HTTP/1.1 400 Bad Request\r\nContent-Length: 11\r\nConnection: close\r\n\r\nbad request");
}

TEST_F(LocalServerTest, aPeerExpectingContinueIsToldToSendItsBody)
{
    ASSERT_NO_FATAL_FAILURE(serve());
    const std::string body(3 << 20, ' ');
    HttpClient client(port);
    client.send("POST /event HTTP/1.1\r\nHost: localhost\r\nContent-Length: " + std::to_string(body.size() + 2)
                + "\r\nExpect: 100-continue\r\n\r\n");
    EXPECT_EQ(client.readSome(25), "HTTP/1.1 100 Continue\r\n\r\n");
    client.send("{}" + body);
    EXPECT_EQ(client.readAll(), okEmpty);
}

// Another user of the machine may reach the loopback port too: neither what
// they post nor their connections count.
TEST_F(LocalServerTest, connectionsOfAnotherUserAreClosedUnanswered)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    ASSERT_NO_FATAL_FAILURE(serve());
    testing::internal::CaptureStderr();
    const auto asNobody = test::runProcess({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "curl", "-s",
                                            "-o", "/dev/null", "-w", "%{http_code}", "--data-binary", R"({"hook_event_name":"Stop"})",
                                            "http://127.0.0.1:" + std::to_string(port) + "/event"});
    EXPECT_EQ(asNobody.out, "000") << asNobody.err;
    EXPECT_NE(asNobody.exitCode, 0);
    const auto asUs = test::runProcess({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}",
                                        "http://127.0.0.1:" + std::to_string(port) + "/health"});
    EXPECT_EQ(asUs.out, "200");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[tallyglass] refused a connection from another user (uid 65534)\n");
    ASSERT_TRUE(server->waitForHandlers(std::chrono::seconds(5)));
    EXPECT_EQ(handler->count(), 0);
}

// Connections are bounded across all peers: at the limit the oldest
// connection that has not delivered its request gives way, and the newcomer is
// served. (The bytes they receive are bounded too: RequestBudgetTest.)
TEST_F(LocalServerTest, connectionsBeyondTheirLimitGiveWayOldestFirst)
{
    ASSERT_NO_FATAL_FAILURE(serve({.maxConnections = 4, .evictionGrace = std::chrono::milliseconds(0)}));
    std::vector<std::unique_ptr<HttpClient>> idle;
    for (int i = 0; i < 4; ++i) {
        idle.push_back(std::make_unique<HttpClient>(port));
        idle.back()->send("GET /hea");
        ASSERT_TRUE(test::waitUntil([&] { return server->openConnections() == i + 1; })); // arrived in this order
    }
    EXPECT_EQ(HttpClient::exchange(port, "GET /health HTTP/1.1\r\n\r\n"), okHealth);
    EXPECT_TRUE(idle[0]->closedByServer(std::chrono::seconds(5)));
    for (std::size_t i = 1; i < idle.size(); ++i)
        EXPECT_FALSE(idle[i]->closedByServer(std::chrono::milliseconds(0))) << i;
}

TEST_F(LocalServerTest, eventsBeyondTheHandlerBudgetAreDroppedAndLogged)
{
    // A handler that waits until released, so events pile up behind it.
    struct Blocking final : HookHandler {
        std::mutex release;
        std::atomic<int> handled{0};
        void handle(const std::string&) override
        {
            const std::lock_guard lock(release);
            ++handled;
        }
    };
    auto blocking = std::make_shared<Blocking>();
    std::unique_lock held(blocking->release);
    ASSERT_NO_FATAL_FAILURE(serve({.maxPendingBodyBytes = 1000}, blocking));
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(HttpClient::exchange(port, test::postEvent(std::string(400, 'x'))), okEmpty);
    held.unlock();
    ASSERT_TRUE(server->waitForHandlers(std::chrono::seconds(5)));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[tallyglass] too many events waiting to be handled; dropped one\n");
    EXPECT_EQ(blocking->handled.load(), 2);
}

TEST_F(LocalServerTest, aPortTakenOnEitherLoopbackAddressMovesTheServerOnWhichRemembersAndAnnouncesIt)
{
    const std::pair<const char*, std::optional<PortHolder::Family>> cases[] = {{"all free", std::nullopt},
                                                                             {"127.0.0.1 taken", PortHolder::Family::v4},
                                                                             {"::1 taken", PortHolder::Family::v6},
                                                                             {"both taken", PortHolder::Family::both}};
    for (const auto& [name, taken] : cases) {
        SCOPED_TRACE(name);
        server.reset();
        Preferences::shared().resetForTests();
        portChanges.clear();
        portChangeOnMainThread = false;
        std::optional<PortHolder> holder;
        if (taken)
            holder.emplace(port, *taken);
        const std::uint16_t expected = taken ? port + 1 : port;
        const std::string listening = "[tallyglass] server listening on :" + std::to_string(expected) + "\n";
        test::OutputCapture output;
        ASSERT_NO_FATAL_FAILURE(serve());
        ASSERT_TRUE(output.waitFor(listening));
        // An announcement is queued to the main thread before the line is printed.
        QCoreApplication::sendPostedEvents();
        EXPECT_EQ(output.text(), listening);
        EXPECT_EQ(server->boundPort(), expected);
        EXPECT_EQ(portChanges, taken ? std::vector<std::uint16_t>{expected} : std::vector<std::uint16_t>{});
        EXPECT_EQ(portChangeOnMainThread, taken.has_value());
        EXPECT_EQ(Preferences::shared().rememberedPort().value_or(0), taken ? expected : 0);
    }
}

TEST_F(LocalServerTest, withEveryPortBusyItBacksOffThreeTimesThenGivesUp)
{
    PortHolder a(port), b(static_cast<std::uint16_t>(port + 1)), c(static_cast<std::uint16_t>(port + 2));
    test::OutputCapture output;
    start();
    ASSERT_TRUE(output.waitFor("giving up\n"));
    EXPECT_EQ(output.text(), "[tallyglass] all ports busy \xE2\x80\x94 backoff 0.02s (cycle 1)\n"
                                                       "[tallyglass] all ports busy \xE2\x80\x94 backoff 0.04s (cycle 2)\n"
                                                       "[tallyglass] all ports busy \xE2\x80\x94 backoff 0.08s (cycle 3)\n"
                                                       "[tallyglass] all ports busy after 3 cycles \xE2\x80\x94 giving up\n");
    EXPECT_EQ(server->boundPort(), 0);
}

TEST_F(LocalServerTest, aPortFreedDuringBackOffIsTakenFromTheStartAgain)
{
    auto holder = std::make_unique<PortHolder>(port);
    PortHolder b(static_cast<std::uint16_t>(port + 1)), c(static_cast<std::uint16_t>(port + 2));
    test::OutputCapture output;
    // Long enough a back-off for the port to be freed inside it, however busy the machine.
    start({.backoffBase = std::chrono::milliseconds(1500)});
    ASSERT_TRUE(output.waitFor("(cycle 1)\n"));
    holder.reset();
    ASSERT_TRUE(output.waitFor("listening"));
    EXPECT_EQ(output.text(), "[tallyglass] all ports busy \xE2\x80\x94 backoff 1.5s (cycle 1)\n"
                             "[tallyglass] server listening on :" + std::to_string(port) + "\n");
    EXPECT_EQ(server->boundPort(), port);
}

// The next start accepts a remembered port only within the range, so the
// search wraps round inside it instead of walking on past its end.
TEST_F(LocalServerTest, thePortSearchWrapsRoundWithinItsRangeAndNeverLeavesIt)
{
    const std::uint16_t first = test::findFreePorts(4); // the range is the first three; the fourth lies just past it
    struct Case {
        const char* name;
        int start;
        std::vector<int> taken;
        std::optional<int> bound; // as offsets from the range's first port
    };
    const Case cases[] = {
        {"the start port free", 1, {}, 1},
        {"the rest of the range taken", 1, {1, 2}, 0},
        {"the last port taken", 2, {2}, 0},
        {"only the one before the start free", 2, {2, 0}, 1},
        {"every port taken", 1, {0, 1, 2}, std::nullopt},
    };
    for (const auto& [name, start, taken, bound] : cases) {
        SCOPED_TRACE(name);
        Preferences::shared().resetForTests();
        std::vector<std::unique_ptr<PortHolder>> holders;
        for (const int offset : taken)
            holders.push_back(std::make_unique<PortHolder>(static_cast<std::uint16_t>(first + offset)));
        std::atomic<bool> backedOff{false};
        testing::internal::CaptureStdout();
        LocalServer searching({first, 3}, static_cast<std::uint16_t>(first + start), handler,
                           {.scheduleRetry = [&](auto, auto) { backedOff = true; }});
        searching.start();
        ASSERT_TRUE(test::waitUntil([&] { return searching.boundPort() != 0 || backedOff; }));
        testing::internal::GetCapturedStdout();
        if (!bound) {
            EXPECT_TRUE(backedOff);
            EXPECT_EQ(searching.boundPort(), 0);
            EXPECT_NO_THROW(PortHolder(static_cast<std::uint16_t>(first + 3))) << "the server listens past the range";
            continue;
        }
        EXPECT_EQ(searching.boundPort(), first + *bound);
        const int remembered = Preferences::shared().rememberedPort().value_or(0);
        EXPECT_EQ(remembered, *bound == start ? 0 : first + *bound);
    }
}

// A retry after a back-off, or of the next port, never undoes stop(): only
// start() listens again. (The back-off's own timer ends in the same check.)
TEST_F(LocalServerTest, aRetryPendingWhenTheServerStopsDoesNotListen)
{
    for (const bool stopFirst : {true, false}) {
        SCOPED_TRACE(stopFirst ? "stopped before the retry" : "still running at the retry");
        server.reset();
        std::mutex lock;
        std::function<void()> pending;
        auto a = std::make_unique<PortHolder>(port);
        auto b = std::make_unique<PortHolder>(static_cast<std::uint16_t>(port + 1));
        auto c = std::make_unique<PortHolder>(static_cast<std::uint16_t>(port + 2));
        testing::internal::CaptureStdout();
        start({.scheduleRetry = [&](auto, std::function<void()> retry) {
            const std::lock_guard hold(lock);
            pending = std::move(retry);
        }});
        ASSERT_TRUE(test::waitUntil([&] {
            const std::lock_guard hold(lock);
            return pending != nullptr;
        }));
        if (stopFirst)
            server->stop();
        a.reset();
        b.reset();
        c.reset();
        pending();
        EXPECT_EQ(server->isListening(), !stopFirst); // answered once the server's thread has dealt with the retry
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(server->boundPort(), stopFirst ? 0 : port);
        EXPECT_EQ(out.find("listening") == std::string::npos, stopFirst) << out;
    }
}

TEST(ServerConstants, resolvedPortIsTheRememberedOneOnlyWithinTheRange)
{
    test::qtApp();
    const std::pair<const char*, int> cases[] = {{nullptr, 45832}, {"45841", 45841}, {"45833", 45833}, {"0", 45832},
                                                 {"45831", 45832}, {"45842", 45832}, {"x", 45832}};
    for (const auto& [stored, expected] : cases) {
        if (stored)
            Preferences::shared().storeTextForTests(Preferences::Key::serverPort, stored);
        else
            Preferences::shared().resetForTests();
        EXPECT_EQ(ServerConstants::resolvedPort(), expected) << (stored ? stored : "<none>");
    }
}

} // namespace
} // namespace tallyglass
