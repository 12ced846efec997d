#include "server/LocalServer.h"

#include "server/ListenAddress.h"
#include "server/TelemetryIntake.h"
#include "storage/Preferences.h"
#include "support/HttpClient.h"
#include "support/QtTestApp.h"
#include "support/RecordingHandler.h"
#include "support/TelemetryExport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

namespace tallyglass {
namespace {

using test::apiRequest;
using test::HttpClient;
using test::logsExport;

std::string post(const std::string& path, const std::string& headers, const std::string& body)
{
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:45832\r\n" + headers
        + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string chunked(const std::string& headers, const std::string& body)
{
    const std::size_t half = body.size() / 2;
    auto hex = [](std::size_t n) {
        char text[20];
        std::snprintf(text, sizeof text, "%zx", n);
        return std::string(text);
    };
    return "POST /v1/logs HTTP/1.1\r\nHost: localhost\r\n" + headers + "Transfer-Encoding: chunked\r\n\r\n" + hex(half)
        + "\r\n" + body.substr(0, half) + "\r\n" + hex(body.size() - half) + "\r\n" + body.substr(half) + "\r\n0\r\n\r\n";
}

// A server on a free port whose telemetry lands in `stored`, by id.
class TelemetryRouteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Preferences::shared().resetForTests();
        server.setTelemetry(std::make_shared<TelemetryIntake>(), [this](const std::vector<MessageInsert>& messages) {
            const std::lock_guard guard(lock);
            for (const auto& m : messages)
                stored.push_back(m.messageId);
        });
        server.start();
        ASSERT_TRUE(test::waitUntil([&] { return server.boundPort() != 0; }));
    }
    std::vector<std::string> storedIds()
    {
        EXPECT_TRUE(server.waitForHandlers(std::chrono::seconds(5)));
        const std::lock_guard guard(lock);
        std::vector<std::string> ids = stored;
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    QCoreApplication& app = test::qtApp(); // before the server
    const std::string json = "Content-Type: application/json\r\n";
    std::mutex lock;
    std::vector<std::string> stored;
    std::shared_ptr<test::RecordingHandler> hooks = std::make_shared<test::RecordingHandler>();
    LocalServer server{test::findFreePorts(1), 1, hooks};
};

// Every answer an exporter can get, and only the exports answered 200 reach the store.
TEST_F(TelemetryRouteTest, exportsAreAnsweredAsOtlpExpectsAndOnlyAcceptedOnesStored)
{
    const std::string one = logsExport({apiRequest("plain", 1)});
    const std::pair<std::string, std::string> cases[] = {
        {post("/v1/logs", json, one), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}"},
        {post("/v1/logs", json + "Content-Encoding: gzip\r\n", test::gzipped(logsExport({apiRequest("packed", 1)}))),
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}"},
        {chunked(json + "Content-Encoding: gzip\r\n", test::gzipped(logsExport({apiRequest("chunked", 1)}))),
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}"},
        {post("/v1/metrics", "Content-Type: application/json\r\n", R"({"resourceMetrics":[]})"),
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}"},
        {post("/v1/logs", json, one.substr(0, 40)), "400 Bad Request"},
        {post("/v1/logs", "Content-Type: application/x-protobuf\r\n", "\x0a\x02"),
         "415 Unsupported Media Type"},
        {post("/v1/logs", json + "Origin: https://example.com\r\n", one), "403 Forbidden"},
        // Chunked coding is for the exporters' routes only, and never together with a length.
        {"POST /event HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n", "400 Bad Request"},
        {"POST /v1/logs HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "400 Bad Request"},
    };
    for (const auto& [request, answer] : cases) {
        SCOPED_TRACE(request.substr(0, 120));
        const std::string got = HttpClient::exchange(server.boundPort(), request);
        if (answer.starts_with("HTTP/"))
            EXPECT_EQ(got, answer);
        else
            EXPECT_TRUE(got.starts_with("HTTP/1.1 " + answer)) << got;
    }
    const std::string refused = HttpClient::exchange(server.boundPort(),
                                                     post("/v1/logs", "Content-Type: application/protobuf\r\n", "x"));
    EXPECT_NE(refused.find("OTEL_EXPORTER_OTLP_PROTOCOL=http/json"), std::string::npos) << refused;
    EXPECT_EQ(storedIds(), (std::vector<std::string>{"otel:chunked#1", "otel:packed#1", "otel:plain#1"}));
}

// Beyond the loopback: only an export holding the token is answered and
// stored, never a hook event; the loopback keeps its own rules meanwhile, and
// an address that cannot be had is refused without harm to the rest.
TEST_F(TelemetryRouteTest, theListenerForOtherMachinesStoresOnlyExportsHoldingTheToken)
{
    const std::uint16_t outerPort = test::findFreePorts(1);
    const std::string token(64, 'a');
    ASSERT_TRUE(server.listenOuter(ListenAddress::parse("127.0.0.1:" + std::to_string(outerPort)), token));
    const std::string bearer = "Authorization: Bearer " + token + "\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {post("/v1/logs", json, logsExport({apiRequest("none", 1)})), "401 Unauthorized"},
        {post("/v1/logs", json + "Authorization: Bearer " + std::string(64, 'b') + "\r\n", logsExport({apiRequest("wrong", 1)})),
         "401 Unauthorized"},
        {post("/event", bearer, R"({"hook_event_name":"Stop","session_id":"s"})"), "401 Unauthorized"},
        {post("/v1/logs", json + bearer, logsExport({apiRequest("plain", 1)})), "200 OK"},
        {post("/v1/logs", json + bearer + "Content-Encoding: gzip\r\n", test::gzipped(logsExport({apiRequest("packed", 1)}))),
         "200 OK"},
    };
    for (const auto& [request, answer] : cases) {
        SCOPED_TRACE(request.substr(0, 160));
        const std::string got = HttpClient::exchange(outerPort, request);
        EXPECT_TRUE(got.starts_with("HTTP/1.1 " + answer)) << got;
    }
    // The token lifts none of the loopback's rules.
    const std::string fromPage = post("/v1/logs", json + bearer + "Origin: https://example.com\r\n", logsExport({apiRequest("page", 1)}));
    EXPECT_TRUE(HttpClient::exchange(server.boundPort(), fromPage).starts_with("HTTP/1.1 403"));
    const std::uint16_t taken = test::findFreePorts(1);
    const test::PortHolder holder(taken, test::PortHolder::Family::v4);
    EXPECT_FALSE(server.listenOuter(ListenAddress::parse("127.0.0.1:" + std::to_string(taken)), token));
    EXPECT_TRUE(HttpClient::exchange(server.boundPort(), "GET /health HTTP/1.1\r\n\r\n").ends_with("ok"));
    EXPECT_EQ(storedIds(), (std::vector<std::string>{"otel:packed#1", "otel:plain#1"}));
    EXPECT_EQ(hooks->count(), 0U);
}

} // namespace
} // namespace tallyglass
