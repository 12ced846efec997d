#include "server/LocalServer.h"
#include "server/RequestGate.h"

#include "support/HttpClient.h"
#include "support/QtTestApp.h"
#include "support/RecordingHandler.h"

#include <gtest/gtest.h>

#include <memory>

namespace tallyglass {
namespace {

using namespace std::chrono_literals;
using test::HttpClient;

const std::string tooLarge =
    "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 17\r\nConnection: close\r\n\r\npayload too large";
const std::string busy = "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 19\r\nConnection: "
                         "close\r\n\r\nservice unavailable";
const std::string okEmpty = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

std::string declaring(std::size_t length)
{
    return "POST /event HTTP/1.1\r\nHost: localhost\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

const std::string undeclared = "POST /event HTTP/1.1\r\nHost: localhost\r\n\r\n";

class RequestBudgetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::qtApp();
        port = test::findFreePorts(1);
    }

    void serve(LocalServer::Options options)
    {
        server = std::make_unique<LocalServer>(port, 1, handler, options);
        server->start();
        ASSERT_TRUE(test::waitUntil([&] { return server->boundPort() != 0; }));
    }

    std::uint16_t port = 0;
    std::shared_ptr<test::RecordingHandler> handler = std::make_shared<test::RecordingHandler>();
    std::unique_ptr<LocalServer> server;
};

// A declared body over the limit is refused on its length alone, before any
// of it is sent (and a peer asking to continue is not told to). A request
// without a length has no body beyond what came with its header block, so it
// cannot grow past the limit here; the gate's own tests bound it anyway.
TEST_F(RequestBudgetTest, aBodyDeclaredOverTheLimitIsRefusedBeforeItIsSent)
{
    ASSERT_NO_FATAL_FAILURE(serve({}));
    const std::pair<const char*, std::string> cases[] = {
        {"one byte over", declaring(RequestGate::maxBodyBytes + 1)},
        {"asking to continue", "POST /event HTTP/1.1\r\nContent-Length: 99999999\r\nExpect: 100-continue\r\n\r\n"},
    };
    for (const auto& [name, request] : cases) {
        SCOPED_TRACE(name);
        HttpClient client(port);
        client.send(request);
        EXPECT_EQ(client.readAll(), tooLarge);
    }
    ASSERT_TRUE(server->waitForHandlers(5s));
    EXPECT_EQ(handler->count(), 0u);
}

// Every connection together holds no more than the budget. A declared body
// takes its room whole as soon as its header block is in; a request that finds
// no room is told to come back, while what fits is still served.
TEST_F(RequestBudgetTest, bodiesBeingReceivedShareOneBudget)
{
    ASSERT_NO_FATAL_FAILURE(serve({.maxBufferedBytes = 200'000}));
    HttpClient first(port);
    first.send(declaring(150'000) + "{");
    ASSERT_TRUE(test::waitUntil([&] { return server->bufferedBytes() > 150'000; }));

    EXPECT_EQ(HttpClient::exchange(port, declaring(100'000)), busy); // told before it sends its body
    HttpClient arriving(port); // bytes that arrive with no room left for them
    arriving.send(undeclared + std::string(60'000, 'x'));
    EXPECT_EQ(arriving.readAll(), busy);
    EXPECT_EQ(HttpClient::exchange(port, test::postEvent(R"({"small":1})")), okEmpty);

    first.send(std::string(149'999, ' '));
    EXPECT_EQ(first.readAll(), okEmpty);
    ASSERT_TRUE(test::waitUntil([&] { return handler->count() == 2; }));
}

// However a request ends, the room it held is given back: afterwards a body
// as large as the budget allows is taken again.
TEST_F(RequestBudgetTest, theRoomARequestHeldIsGivenBackHoweverItEnds)
{
    ASSERT_NO_FATAL_FAILURE(serve({.bodyTimeout = 300ms, .maxBufferedBytes = 200'000}));
    const std::string fullSize = declaring(190'000) + std::string(190'000, ' ');
    enum class End { answered, peerStops, cutOff };
    struct Case {
        const char* name;
        std::string sent;
        End end;
    };
    const Case cases[] = {
        {"answered and handed on", fullSize, End::answered},
        {"refused for its length", declaring(RequestGate::maxBodyBytes + 1), End::answered},
        {"refused for want of room", undeclared + std::string(210'000, 'x'), End::answered},
        {"the peer stops sending halfway", declaring(190'000) + std::string(90'000, ' '), End::peerStops},
        {"cut off by its deadline", declaring(190'000) + std::string(90'000, ' '), End::cutOff},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        {
            HttpClient client(port);
            client.send(c.sent);
            if (c.end == End::peerStops)
                client.finishSending();
            if (c.end == End::cutOff)
                EXPECT_EQ(client.readAll(), ""); // closed unanswered
            else
                EXPECT_NE(client.readAll(), "");
        }
        EXPECT_TRUE(test::waitUntil([&] { return server->bufferedBytes() == 0; }));
        EXPECT_EQ(HttpClient::exchange(port, fullSize), okEmpty);
    }
}

// A peer slow to deliver its request is closed unanswered when its header
// block, its body after it, or the whole request is not in by its deadline: a
// fixed time that bytes trickling in do not renew. The other deadlines are
// long, so the one that closes the connection is the one each case is about.
TEST_F(RequestBudgetTest, aRequestTricklingInPastItsDeadlineIsClosedUnanswered)
{
    struct Case {
        const char* name;
        LocalServer::Options options;
        std::string opening;
    };
    const Case cases[] = {
        {"the header block", {.headTimeout = 50ms, .bodyTimeout = 60s, .requestTimeout = 60s},
         "POST /event HTTP/1.1\r\nHost: localhost\r\nX-Padding: "},
        {"the body", {.headTimeout = 60s, .bodyTimeout = 50ms, .requestTimeout = 60s},
         "POST /event HTTP/1.1\r\nHost: localhost\r\nContent-Length: 100000\r\n\r\n{\"a\":\""},
        {"the whole request", {.headTimeout = 60s, .bodyTimeout = 60s, .requestTimeout = 50ms},
         "POST /event HTTP/1.1\r\nHost: localhost\r\nContent-Length: 100000\r\n\r\n{\"a\":\""},
    };
    for (const auto& [name, options, opening] : cases) {
        SCOPED_TRACE(name);
        server.reset();
        port = test::findFreePorts(1);
        ASSERT_NO_FATAL_FAILURE(serve(options));
        HttpClient client(port);
        client.send(opening);
        bool closed = false;
        // A byte every 10 ms at most; well before any other deadline could end it.
        for (int i = 0; i < 500 && !closed; ++i) {
            client.send("a");
            closed = client.closedByServer(10ms);
        }
        EXPECT_TRUE(closed);
        EXPECT_TRUE(test::waitUntil([&] { return server->openConnections() == 0; }));
        ASSERT_TRUE(server->waitForHandlers(5s));
        EXPECT_EQ(handler->count(), 0u);
    }
}

} // namespace
} // namespace tallyglass
