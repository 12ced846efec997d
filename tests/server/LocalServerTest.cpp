#include "server/LocalServer.h"

#include "server/ServerConstants.h"
#include "support/HttpClient.h"
#include "support/Process.h"
#include "support/QtTestApp.h"

#include <QSettings>
#include <QThread>

#include "support/RecordingHandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <unistd.h>
#include <thread>

namespace tallyglass {
namespace {

using test::HttpClient;
using test::PortHolder;

using test::RecordingHandler;

const std::string okEmpty = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const std::string okHealth = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
const std::string badRequest = "HTTP/1.1 400 Bad Request\r\nContent-Length: 11\r\nConnection: close\r\n\r\nbad request";
const std::string notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot found";
const std::string forbidden = "HTTP/1.1 403 Forbidden\r\nContent-Length: 9\r\nConnection: close\r\n\r\nforbidden";

class LocalServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::qtApp();
        QSettings("tallyglass", "tallyglass").clear();
        port = test::findFreePorts(3);
    }

    std::unique_ptr<LocalServer> startServer(LocalServer::Options options = {}, std::uint16_t range = 3)
    {
        if (options.backoffBase == std::chrono::milliseconds(2000))
            options.backoffBase = std::chrono::milliseconds(20);
        auto server = std::make_unique<LocalServer>(port, range, handler, options);
        server->setOnPortChange([this](std::uint16_t p) {
            portChanges.push_back(p);
            portChangeOnMainThread = QThread::currentThread() == QCoreApplication::instance()->thread();
        });
        server->start();
        return server;
    }

    bool listening(LocalServer& server) { return test::waitUntil([&] { return server.boundPort() != 0; }); }

    std::uint16_t port = 0;
    std::shared_ptr<RecordingHandler> handler = std::make_shared<RecordingHandler>();
    std::vector<std::uint16_t> portChanges;
    bool portChangeOnMainThread = false;
};

TEST_F(LocalServerTest, answersEachRequestOnceAndClosesTheConnection)
{
    auto server = startServer();
    ASSERT_TRUE(listening(*server));
    EXPECT_EQ(server->boundPort(), port);

    struct Case {
        std::string request;
        std::string answer;
    };
    const Case cases[] = {
        {"GET /health HTTP/1.1\r\nHost: localhost\r\n\r\n", okHealth},
        {test::postEvent(R"({"hook_event_name":"Stop"})"), okEmpty},
        {test::postEvent("not json at all"), okEmpty},
        {"GET /event HTTP/1.1\r\n\r\n", notFound},
        {"POST /health HTTP/1.1\r\nContent-Length: 0\r\n\r\n", notFound},
        {"HEAD /health HTTP/1.1\r\n\r\n", notFound},
        {"POST /events HTTP/1.1\r\nContent-Length: 0\r\n\r\n", notFound},
        {"GARBAGE\r\n\r\n", badRequest},
        {"GET /health HTTP/1.1\r\nHost: evil.example\r\n\r\n", forbidden},
        {"POST /event HTTP/1.1\r\nOrigin: https://evil.example\r\nContent-Length: 2\r\n\r\n{}", forbidden},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ(HttpClient::exchange(port, c.request), c.answer);
    }
    ASSERT_TRUE(server->waitForHandlers(std::chrono::seconds(5)));
    // Handlers run side by side: the order in which they start is not the order of the requests.
    auto received = handler->received();
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, (std::vector<std::string>{"not json at all", R"({"hook_event_name":"Stop"})"}));
    // Reachable on the IPv6 loopback too, where the machine has it.
    try {
        HttpClient v6(port, true);
        v6.send("GET /health HTTP/1.1\r\nHost: [::1]\r\n\r\n");
        EXPECT_EQ(v6.readAll(), okHealth);
    } catch (const std::runtime_error&) {
    }
}

TEST_F(LocalServerTest, aRequestInSmallPiecesIsAnsweredOnceItIsComplete)
{
    auto server = startServer();
    ASSERT_TRUE(listening(*server));
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
    auto server = startServer();
    ASSERT_TRUE(listening(*server));
    HttpClient client(port);
    client.send("POST /event HTTP/1.1\r\nHost: localhost\r\nContent-Length: 100\r\n\r\n{\"a\":1}");
    client.finishSending();
    EXPECT_EQ(client.readAll(), okEmpty);
    ASSERT_TRUE(test::waitUntil([&] { return handler->count() == 1; }));
    EXPECT_EQ(handler->received()[0], "{\"a\":1}");

    HttpClient silent(port);
    silent.finishSending();
    EXPECT_EQ(silent.readAll(), badRequest);
}

TEST_F(LocalServerTest, aPeerExpectingContinueIsToldToSendItsBodyAndRefusalsComeBeforeIt)
{
    auto server = startServer();
    ASSERT_TRUE(listening(*server));
    const std::string body(3 << 20, ' ');
    const std::string head = "POST /event HTTP/1.1\r\nHost: localhost\r\nContent-Length: " + std::to_string(body.size() + 2)
        + "\r\nExpect: 100-continue\r\n\r\n";
    HttpClient client(port);
    client.send(head);
    EXPECT_EQ(client.readSome(25), "HTTP/1.1 100 Continue\r\n\r\n");
    client.send("{}" + body);
    EXPECT_EQ(client.readAll(), okEmpty);

    HttpClient refused(port);
    refused.send("POST /elsewhere HTTP/1.1\r\nContent-Length: 10\r\nExpect: 100-continue\r\n\r\n");
    EXPECT_EQ(refused.readAll(), notFound);
}

// Another user of the machine may reach the loopback port too: neither what
// they post nor their connections count.
TEST_F(LocalServerTest, connectionsOfAnotherUserAreClosedUnanswered)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    auto server = startServer();
    ASSERT_TRUE(listening(*server));
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

TEST_F(LocalServerTest, oversizedAndStalledRequestsAreCutOff)
{
    LocalServer::Options options;
    options.requestTimeout = std::chrono::milliseconds(300);
    auto server = startServer(options);
    ASSERT_TRUE(listening(*server));

    HttpClient headers(port);
    headers.send("GET /health HTTP/1.1\r\nX-Filler: " + std::string(70 * 1024, 'a'));
    EXPECT_EQ(headers.readAll(), "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 31\r\nConnection: close\r\n\r\n"
                                 "request header fields too large");

    HttpClient body(port);
    body.send("POST /event HTTP/1.1\r\nContent-Length: 999999999\r\n\r\n{");
    EXPECT_EQ(body.readAll(), "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 17\r\nConnection: close\r\n\r\npayload too large");

    HttpClient stalled(port);
    stalled.send("GET /health HTTP/1.1\r\n");
    EXPECT_TRUE(stalled.closedByServer(std::chrono::seconds(3)));
    EXPECT_EQ(handler->count(), 0u);
}

TEST_F(LocalServerTest, connectionsBeyondTheLimitAreClosedAtOnceAndOthersStillServed)
{
    LocalServer::Options options;
    options.maxConnections = 4;
    auto server = startServer(options);
    ASSERT_TRUE(listening(*server));
    std::vector<std::unique_ptr<HttpClient>> idle;
    for (int i = 0; i < 4; ++i) {
        idle.push_back(std::make_unique<HttpClient>(port));
        idle.back()->send("GET /hea");
    }
    ASSERT_TRUE(test::waitUntil([&] { return server->openConnections() == 4; }));
    HttpClient extra(port);
    EXPECT_TRUE(extra.closedByServer(std::chrono::seconds(2)));
    idle.clear();
    ASSERT_TRUE(test::waitUntil([&] { return server->openConnections() == 0; }));
    EXPECT_EQ(HttpClient::exchange(port, "GET /health HTTP/1.1\r\n\r\n"), okHealth);
}

TEST_F(LocalServerTest, requestsBeingReceivedShareOneMemoryBudget)
{
    LocalServer::Options options;
    options.maxBufferedBytes = 100 * 1024;
    auto server = startServer(options);
    ASSERT_TRUE(listening(*server));
    HttpClient first(port);
    first.send("POST /event HTTP/1.1\r\nContent-Length: 90000\r\n\r\n" + std::string(40'000, 'a'));
    ASSERT_TRUE(test::waitUntil([&] { return server->openConnections() == 1; }));
    test::waitUntil([] { return false; }, std::chrono::milliseconds(50));
    HttpClient second(port);
    second.send("POST /event HTTP/1.1\r\nContent-Length: 90000\r\n\r\n" + std::string(70'000, 'b'));
    EXPECT_TRUE(second.closedByServer(std::chrono::seconds(3))); // 40 + 70 KB: over the shared budget, dropped
    // The first still completes (its bytes alone fit), and so does anything small.
    first.send(std::string(50'000, 'a'));
    EXPECT_EQ(first.readAll().substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(HttpClient::exchange(port, "GET /health HTTP/1.1\r\n\r\n"), okHealth);
}

TEST_F(LocalServerTest, eventsBeyondTheHandlerBudgetAreDroppedAndLogged)
{
    // A handler that waits until released, so events pile up behind it.
    struct Blocking final : HookHandler {
        std::atomic<bool> release{false};
        std::atomic<int> handled{0};
        void handle(const std::string&) override
        {
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            ++handled;
        }
    };
    auto blocking = std::make_shared<Blocking>();
    LocalServer::Options options;
    options.maxPendingBodyBytes = 1000;
    LocalServer server(port, 1, blocking, options);
    server.start();
    ASSERT_TRUE(listening(server));
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(HttpClient::exchange(port, test::postEvent(std::string(400, 'x'))), okEmpty);
    blocking->release = true;
    ASSERT_TRUE(server.waitForHandlers(std::chrono::seconds(5)));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[tallyglass] too many events waiting to be handled; dropped one\n");
    EXPECT_EQ(blocking->handled.load(), 2);
}

TEST_F(LocalServerTest, aBusyPortMovesTheServerOnRemembersTheNewPortAndTellsTheMainThread)
{
    PortHolder busy(port);
    testing::internal::CaptureStdout();
    auto server = startServer();
    ASSERT_TRUE(listening(*server));
    ASSERT_TRUE(test::waitUntil([&] { return !portChanges.empty(); }));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(server->boundPort(), port + 1);
    EXPECT_EQ(portChanges, std::vector<std::uint16_t>{static_cast<std::uint16_t>(port + 1)});
    EXPECT_TRUE(portChangeOnMainThread);
    EXPECT_EQ(QSettings("tallyglass", "tallyglass").value(ServerConstants::portKey).toInt(), port + 1);
    EXPECT_EQ(out, "[tallyglass] server listening on :" + std::to_string(port + 1) + "\n");
}

TEST_F(LocalServerTest, aPortCountsAsBusyWhenEitherLoopbackAddressIsTaken)
{
    for (const auto family : {PortHolder::Family::v4, PortHolder::Family::v6}) {
        SCOPED_TRACE(family == PortHolder::Family::v4 ? "127.0.0.1 taken" : "::1 taken");
        std::unique_ptr<PortHolder> holder;
        try {
            holder = std::make_unique<PortHolder>(port, family);
        } catch (const std::runtime_error&) {
            continue; // no IPv6 loopback on this machine
        }
        auto server = startServer();
        ASSERT_TRUE(listening(*server));
        EXPECT_EQ(server->boundPort(), port + 1);
    }
}

TEST_F(LocalServerTest, onTheStartPortNothingIsRememberedOrAnnounced)
{
    auto server = startServer();
    ASSERT_TRUE(listening(*server));
    test::waitUntil([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_TRUE(portChanges.empty());
    EXPECT_FALSE(QSettings("tallyglass", "tallyglass").contains(ServerConstants::portKey));
}

TEST_F(LocalServerTest, withEveryPortBusyItBacksOffThreeTimesThenGivesUp)
{
    PortHolder a(port), b(static_cast<std::uint16_t>(port + 1)), c(static_cast<std::uint16_t>(port + 2));
    testing::internal::CaptureStdout();
    auto server = startServer();
    std::string out;
    test::waitUntil([&] { return false; }, std::chrono::milliseconds(600)); // 20 + 40 + 80 ms of back-off
    out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[tallyglass] all ports busy \xE2\x80\x94 backoff 0.02s (cycle 1)\n"
                   "[tallyglass] all ports busy \xE2\x80\x94 backoff 0.04s (cycle 2)\n"
                   "[tallyglass] all ports busy \xE2\x80\x94 backoff 0.08s (cycle 3)\n"
                   "[tallyglass] all ports busy after 3 cycles \xE2\x80\x94 giving up\n");
    EXPECT_EQ(server->boundPort(), 0);
}

TEST_F(LocalServerTest, aPortFreedDuringBackOffIsTakenFromTheStartAgain)
{
    LocalServer::Options options;
    options.backoffBase = std::chrono::milliseconds(300);
    auto holder = std::make_unique<PortHolder>(port);
    PortHolder b(static_cast<std::uint16_t>(port + 1)), c(static_cast<std::uint16_t>(port + 2));
    testing::internal::CaptureStdout();
    auto server = startServer(options);
    test::waitUntil([&] { return false; }, std::chrono::milliseconds(100));
    holder.reset();
    ASSERT_TRUE(listening(*server));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(server->boundPort(), port);
    EXPECT_EQ(out, "[tallyglass] all ports busy \xE2\x80\x94 backoff 0.3s (cycle 1)\n"
                   "[tallyglass] server listening on :" + std::to_string(port) + "\n");
}

TEST_F(LocalServerTest, stopDuringBackOffPreventsAnyRestartOrGiveUpLine)
{
    PortHolder a(port), b(static_cast<std::uint16_t>(port + 1)), c(static_cast<std::uint16_t>(port + 2));
    LocalServer::Options options;
    options.backoffBase = std::chrono::milliseconds(100);
    testing::internal::CaptureStdout();
    auto server = startServer(options);
    test::waitUntil([&] { return false; }, std::chrono::milliseconds(50));
    server->stop();
    test::waitUntil([&] { return false; }, std::chrono::milliseconds(800));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[tallyglass] all ports busy \xE2\x80\x94 backoff 0.1s (cycle 1)\n");
}

TEST(ServerConstants, resolvedPortIsTheRememberedOneOnlyWithinTheRange)
{
    test::qtApp();
    QSettings settings("tallyglass", "tallyglass");
    const std::pair<QVariant, int> cases[] = {{QVariant(), 45832}, {45841, 45841}, {45833, 45833}, {0, 45832},
                                              {45831, 45832},      {45842, 45832}, {"x", 45832}};
    for (const auto& [stored, expected] : cases) {
        if (stored.isValid())
            settings.setValue(ServerConstants::portKey, stored);
        else
            settings.remove(ServerConstants::portKey);
        settings.sync();
        EXPECT_EQ(ServerConstants::resolvedPort(), expected) << stored.toString().toStdString();
    }
}

} // namespace
} // namespace tallyglass
