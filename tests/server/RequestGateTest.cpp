#include "server/RequestGate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tallyglass {
namespace {

using RequestGate::decide;

TEST(RequestGate, answersTheFourProtocolResponsesByteForByte)
{
    struct Case {
        std::string request;
        std::string answer;
        bool routed;
    };
    const Case cases[] = {
        {"GET /health HTTP/1.1\r\nHost: localhost:45832\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok", false},
        {"POST /event HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", true},
        {"POST /event HTTP/1.1\r\n\r\nnot json", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", true},
        {"", "HTTP/1.1 400 Bad Request\r\nContent-Length: 11\r\nConnection: close\r\n\r\nbad request", false},
        {"GET\r\n\r\n", "HTTP/1.1 400 Bad Request\r\nContent-Length: 11\r\nConnection: close\r\n\r\nbad request", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        const auto decision = decide(c.request);
        EXPECT_EQ(RequestGate::render(decision.response), c.answer);
        EXPECT_EQ(decision.route, c.routed);
    }
    EXPECT_EQ(decide("POST /event HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}xyz").body, "{}");
}

TEST(RequestGate, onlyGetHealthAndPostEventAreServedExactly)
{
    for (const char* line : {"GET /event", "POST /health", "HEAD /health", "POST /events", "post /event", "POST /event/",
                             "POST /event?x=1", "GET /Health", "DELETE /event"}) {
        SCOPED_TRACE(line);
        const auto decision = decide(std::string(line) + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(decision.response, (RequestGate::Response{"404 Not Found", "not found"}));
        EXPECT_FALSE(decision.route);
    }
}

TEST(RequestGate, refusesWhatAWebPageCouldSend)
{
    // Curl always names the host, but nothing a browser sends lacks one.
    const std::vector<std::string> allowedHosts = {"", "localhost", "localhost:45832", "LocalHost:45833", "127.0.0.1:45832",
                                                   "127.0.0.1", "[::1]:45832", "[::1]"};
    const std::vector<std::string> refusedHeaders = {
        "Host: evil.example:45832\r\n", "Host: localhost.evil.example\r\n", "Host: 127.0.0.2\r\n", "Host: localhost:\r\n",
        "Host: localhost:80x\r\n", "Host: localhost:123456\r\n", "Host: [::1]x\r\n", "Host: [::2]:45832\r\n", "Host: \r\n",
        "Host: localhost\r\nOrigin: http://evil.example\r\n", "Host: localhost\r\nOrigin: null\r\n",
        "Origin: http://localhost:45832\r\n"};
    for (const char* line : {"POST /event", "GET /health"}) {
        const auto decideWith = [&](const std::string& headers) {
            return decide(std::string(line) + " HTTP/1.1\r\n" + headers + "Content-Length: 2\r\n\r\n{}");
        };
        for (const std::string& host : allowedHosts) {
            SCOPED_TRACE(std::string(line) + ", host " + host);
            EXPECT_EQ(decideWith(host.empty() ? "" : "Host: " + host + "\r\n").response.status, "200 OK");
        }
        for (const std::string& headers : refusedHeaders) {
            SCOPED_TRACE(std::string(line) + ", " + headers);
            const auto decision = decideWith(headers);
            EXPECT_EQ(decision.response, (RequestGate::Response{"403 Forbidden", "forbidden"}));
            EXPECT_FALSE(decision.route);
        }
    }
}

// Two readers that disagree on where a request ends are how one gets
// smuggled past the checks: every ambiguity is refused.
TEST(RequestGate, refusesAmbiguousHeaderBlocks)
{
    for (const char* headers :
         {"Host: localhost\r\nHost: localhost\r\n", "Content-Length: 2\r\ncontent-length: 2\r\n",
          "Transfer-Encoding: chunked\r\n", "Transfer-Encoding: identity\r\n", "X: a\nHost: evil\r\n",
          "Content-Length: +2\r\n", "Content-Length: 2 2\r\n", "Content-Length: 0x2\r\n", "Content-Length:\r\n",
          "Content-Length: -1\r\n", "Content-Length : 2\r\n", ": empty name\r\n"}) {
        SCOPED_TRACE(headers);
        const std::string request = std::string("POST /event HTTP/1.1\r\n") + headers + "\r\n{}";
        EXPECT_EQ(decide(request).response.status, "400 Bad Request");
        EXPECT_EQ(RequestGate::screen(request)->status, "400 Bad Request");
    }
    // A bare LF in the request line counts too; plain, single headers pass.
    EXPECT_EQ(decide("POST /event HTTP/1.1\nHost: localhost\r\n\r\n{}").response.status, "400 Bad Request");
    EXPECT_TRUE(decide("POST /event HTTP/1.1\r\nHost: localhost\r\nContent-Length: 2\r\nExpect: 100-continue\r\n\r\n{}").route);
}

TEST(RequestGate, aPeerThatExpectsToBeToldToContinueIsToldOnlyWhenTheHeadersPass)
{
    const std::string head = "POST /event HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3000000\r\n";
    EXPECT_TRUE(RequestGate::expectsContinue(head + "Expect: 100-Continue\r\n\r\n"));
    EXPECT_FALSE(RequestGate::screen(head + "Expect: 100-continue\r\n\r\n").has_value());
    EXPECT_FALSE(RequestGate::expectsContinue(head + "\r\n"));
    EXPECT_FALSE(RequestGate::expectsContinue(head + "Expect: 100-continue\r\n")); // headers not finished
}

TEST(RequestGate, limitsOnHeadersAndBody)
{
    const std::string bigHeader = "GET /health HTTP/1.1\r\nX: " + std::string(RequestGate::maxHeaderBytes, 'a');
    EXPECT_EQ(RequestGate::checkLimits(bigHeader)->status, "431 Request Header Fields Too Large");
    EXPECT_EQ(RequestGate::checkLimits(bigHeader + "\r\n\r\n")->status, "431 Request Header Fields Too Large");
    EXPECT_FALSE(RequestGate::checkLimits("GET /health HTTP/1.1\r\nX: " + std::string(60'000, 'a')).has_value());

    // A declared length is judged before any of the body arrives.
    const auto declaring = [](std::size_t length) {
        return "POST /event HTTP/1.1\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
    };
    EXPECT_EQ(RequestGate::checkLimits(declaring(RequestGate::maxBodyBytes + 1))->status, "413 Payload Too Large");
    EXPECT_EQ(decide(declaring(RequestGate::maxBodyBytes + 1)).response.status, "413 Payload Too Large");
    EXPECT_FALSE(RequestGate::checkLimits(declaring(RequestGate::maxBodyBytes)).has_value());

    // Without a declared length the body is whatever arrives: it too is bounded.
    const std::string undeclared = "POST /event HTTP/1.1\r\n\r\n" + std::string(RequestGate::maxBodyBytes + 1, 'x');
    EXPECT_EQ(RequestGate::checkLimits(undeclared)->status, "413 Payload Too Large");
}

// Beyond the loopback the token is the only key: without it every request,
// whatever it asks, gets the same 401 (even one too large), and with it only
// the exporters' routes are served, never hook events.
TEST(RequestGate, theListenerForOtherMachinesServesExportersHoldingTheTokenOnly)
{
    const std::string token(64, 'f');
    const RequestGate::OuterAccess outer{token};
    const auto request = [](const std::string& line, const std::string& headers, std::size_t length = 2) {
        return line + " HTTP/1.1\r\nHost: 10.0.0.5:4318\r\nContent-Type: application/json\r\n" + headers
            + "Content-Length: " + std::to_string(length) + "\r\n\r\n{}";
    };
    const std::string bearer = "Authorization: Bearer " + token + "\r\n";
    struct Case {
        std::string request;
        std::string status;
        bool telemetry = false;
    };
    const Case cases[] = {
        {request("POST /v1/logs", ""), "401 Unauthorized"},
        {request("POST /v1/logs", "Authorization: Bearer " + std::string(64, 'e') + "\r\n"), "401 Unauthorized"},
        {request("POST /v1/logs", "Authorization: Bearer " + token.substr(1) + "\r\n"), "401 Unauthorized"},
        {request("POST /v1/logs", "Authorization: Basic " + token + "\r\n"), "401 Unauthorized"},
        {request("POST /v1/logs", "Authorization: " + token + "\r\n"), "401 Unauthorized"},
        {request("POST /v1/logs", bearer + bearer), "401 Unauthorized"},
        {request("POST /v1/logs", "", RequestGate::maxBodyBytes + 1), "401 Unauthorized"},
        {request("GET /health", ""), "401 Unauthorized"},
        {request("POST /event", ""), "401 Unauthorized"},
        {request("POST /event", bearer), "401 Unauthorized"},
        {request("GET /health", bearer), "404 Not Found"},
        {request("POST /v1/traces", bearer), "404 Not Found"},
        {request("POST /v1/logs", bearer, RequestGate::maxBodyBytes + 1), "413 Payload Too Large"},
        {request("POST /v1/logs", bearer + "Origin: https://ci.example\r\n"), "200 OK", true},
        {request("POST /v1/logs", "authorization:   bearer " + token + "  \r\n"), "200 OK", true},
        // As Claude Code sends OTEL_EXPORTER_OTLP_HEADERS=Authorization=Bearer%20<token>, undecoded.
        {request("POST /v1/logs", "Authorization: Bearer%20" + token + "\r\n"), "200 OK", true},
        {request("POST /v1/logs", "Authorization: Bearer%20%20" + token + "\r\n"), "401 Unauthorized"},
        {request("POST /v1/logs", "Authorization: Bearer" + token + "\r\n"), "401 Unauthorized"},
        {request("POST /v1/metrics", bearer), "200 OK"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        auto decision = RequestGate::decideTaking(std::string(c.request), outer);
        EXPECT_EQ(decision.response.status, c.status);
        EXPECT_EQ(decision.response.bearerChallenge, c.status.starts_with("401"));
        EXPECT_EQ(decision.telemetry, c.telemetry);
        EXPECT_FALSE(decision.route);
    }
    EXPECT_EQ(RequestGate::decideTaking(request("POST /v1/logs", "Authorization: Bearer \r\n"), {""}).response.status,
              "401 Unauthorized");
    EXPECT_TRUE(RequestGate::render(RequestGate::decideTaking(request("POST /v1/logs", ""), outer).response)
                    .find("\r\nWWW-Authenticate: Bearer\r\n") != std::string::npos);
}

} // namespace
} // namespace tallyglass
