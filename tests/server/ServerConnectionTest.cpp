#include "server/LocalServer.h"

#include "support/HttpClient.h"
#include "support/QtTestApp.h"
#include "support/RecordingHandler.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using namespace std::chrono_literals;

// A peer slow to deliver its request is closed unanswered when its header
// block, or its body after it, is not in by the deadline: a fixed time that
// bytes trickling in do not renew. The other deadlines are long, so the one
// that closes the connection is the one each case is about.
TEST(ServerConnection, aRequestTricklingInPastItsDeadlineIsClosedUnanswered)
{
    test::qtApp();
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
    };
    for (const auto& [name, options, opening] : cases) {
        SCOPED_TRACE(name);
        const std::uint16_t port = test::findFreePorts(1);
        auto handler = std::make_shared<test::RecordingHandler>();
        LocalServer server(port, 1, handler, options);
        server.start();
        ASSERT_TRUE(test::waitUntil([&] { return server.boundPort() != 0; }));

        test::HttpClient client(port);
        client.send(opening);
        bool closed = false;
        // A byte every 10 ms at most; well before any other deadline could end it.
        for (int i = 0; i < 500 && !closed; ++i) {
            client.send("a");
            closed = client.closedByServer(10ms);
        }
        EXPECT_TRUE(closed);
        EXPECT_TRUE(test::waitUntil([&] { return server.openConnections() == 0; }));
        ASSERT_TRUE(server.waitForHandlers(5s));
        EXPECT_EQ(handler->count(), 0u);
    }
}

} // namespace
} // namespace tallyglass
