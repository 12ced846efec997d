#include "server/HTTPRequestParser.h"

#include <gtest/gtest.h>

#include <string>

namespace tallyglass {
namespace {

using HTTPRequestParser::isComplete;
using HTTPRequestParser::parse;

TEST(HTTPRequestParser, aBufferWithoutHeaderTerminatorIsIncompleteAndDoesNotParse)
{
    for (const std::string buffer : {"", "GET /health HTTP/1.1\r\n", "GET /health HTTP/1.1\r\n\r", "GET / HTTP/1.1\n\n"}) {
        SCOPED_TRACE(buffer);
        EXPECT_FALSE(isComplete(buffer));
        EXPECT_FALSE(parse(buffer).has_value());
    }
}

TEST(HTTPRequestParser, aHealthProbeParsesWithNoHeadersAndNoBody)
{
    const std::string buffer = "GET /health HTTP/1.1\r\n\r\n";
    EXPECT_TRUE(isComplete(buffer));
    const auto request = parse(buffer);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->method, "GET");
    EXPECT_EQ(request->path, "/health");
    EXPECT_TRUE(request->headers.empty());
    EXPECT_EQ(request->body, "");
}

TEST(HTTPRequestParser, aDeclaredBodyCompletesTheRequestAndBytesBeyondItAreDropped)
{
    const std::string head = "POST /event HTTP/1.1\r\nContent-Length: 10\r\n\r\n";
    EXPECT_FALSE(isComplete(head + "abcd"));
    EXPECT_FALSE(isComplete(head + "abcdefghi"));
    EXPECT_TRUE(isComplete(head + "abcdefghij"));
    EXPECT_TRUE(isComplete(head + "abcdefghijkl"));
    EXPECT_EQ(parse(head + "abcdefghijkl")->body, "abcdefghij");
    // A peer that stopped early: the body is what arrived.
    EXPECT_EQ(parse(head + "abcd")->body, "abcd");
}

TEST(HTTPRequestParser, withoutContentLengthTheBodyIsEverythingAfterTheHeaders)
{
    const std::string buffer = "POST /event HTTP/1.1\r\nHost: localhost\r\n\r\n{\"a\":1}";
    EXPECT_TRUE(isComplete(buffer));
    EXPECT_EQ(parse(buffer)->body, "{\"a\":1}");
}

TEST(HTTPRequestParser, readsContentLengthStrictly)
{
    struct Case {
        const char* line;
        std::optional<std::int64_t> length;
    };
    const Case cases[] = {
        {"Content-Length: 12", 12},
        {"content-length:12", 12},
        {"CONTENT-LENGTH: \t 12 \t", 12},
        {"Content-Length: +12", 12},
        {"Content-Length: 007", 7},
        {"Content-Length: -1", -1},
        {"Content-Length: 9223372036854775807", INT64_MAX},
        {"Content-Length: -9223372036854775808", INT64_MIN},
        {"Content-Length: 9223372036854775808", std::nullopt},   // out of range
        {"Content-Length: abc", std::nullopt},
        {"Content-Length: ", std::nullopt},
        {"Content-Length: 12a", std::nullopt},
        {"Content-Length: 1 2", std::nullopt},
        {"Content-Length: +-1", std::nullopt},
        {"Content-Length: +", std::nullopt},
        {"Content-Length : 12", std::nullopt},                  // white space before the colon
        {" Content-Length: 12", std::nullopt},                  // nor at the start of the line
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(HTTPRequestParser::contentLength(std::string("POST /event HTTP/1.1\r\n") + c.line), c.length);
    }
}

TEST(HTTPRequestParser, theFirstContentLengthLineDecidesWhileTheMapKeepsTheLast)
{
    const std::string buffer = "POST /event HTTP/1.1\r\nContent-Length: 2\r\ncontent-length: 5\r\n\r\nabcdef";
    const auto request = parse(buffer);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->body, "ab");
    EXPECT_EQ(request->headers.at("content-length"), "5");

    // Stored under the lower-cased name, but not a declared length.
    const auto spaced = parse("POST /event HTTP/1.1\r\nContent-Length : 2\r\n\r\nabcdef");
    ASSERT_TRUE(spaced);
    EXPECT_EQ(spaced->body, "abcdef");
    EXPECT_EQ(spaced->headers.at("content-length"), "2");
}

TEST(HTTPRequestParser, aNegativeContentLengthIsCompleteAtOnceButDoesNotParse)
{
    const std::string buffer = "POST /event HTTP/1.1\r\nContent-Length: -1\r\n\r\nxyz";
    EXPECT_TRUE(isComplete(buffer));
    EXPECT_FALSE(parse(buffer).has_value());
}

TEST(HTTPRequestParser, headerBytesThatAreNotUtf8AreCompleteButRefused)
{
    const std::string buffer = "GET /health HTTP/1.1\r\nX-Bad: \xFF\xFE\r\n\r\n";
    EXPECT_TRUE(isComplete(buffer));
    EXPECT_FALSE(parse(buffer).has_value());
    // The body is not decoded: any bytes go through.
    const auto binaryBody = parse(std::string("POST /event HTTP/1.1\r\n\r\n\xFF\x00\xFE", 27));
    ASSERT_TRUE(binaryBody);
    EXPECT_EQ(binaryBody->body, std::string("\xFF\x00\xFE", 3));
}

TEST(HTTPRequestParser, theRequestLineSplitsAtSpacesOnly)
{
    struct Case {
        const char* line;
        std::optional<std::pair<std::string, std::string>> methodAndPath;
    };
    const Case cases[] = {
        {"POST  /event", std::pair<std::string, std::string>{"POST", "/event"}},
        {"  GET   /health   HTTP/1.1  ", std::pair<std::string, std::string>{"GET", "/health"}},
        {"get /Health?x=1 HTTP/9.9 extra", std::pair<std::string, std::string>{"get", "/Health?x=1"}},
        {"POST", std::nullopt},
        {"POST\t/event", std::nullopt},  // a tab does not separate
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const auto request = parse(std::string(c.line) + "\r\n\r\n");
        ASSERT_EQ(request.has_value(), c.methodAndPath.has_value());
        if (request) {
            EXPECT_EQ(request->method, c.methodAndPath->first);
            EXPECT_EQ(request->path, c.methodAndPath->second);
        }
    }
}

TEST(HTTPRequestParser, headerLinesAreTrimmedFoldedAndTheLastRepeatWins)
{
    const std::string buffer = "POST /event HTTP/1.1\r\n"
                               "Host: localhost:45832\r\n"
                               "X-Thing: first\r\n"
                               "x-THING:  a: b  \r\n"
                               "no colon here\r\n"
                               ": empty name\r\n"
                               "\tX-Tab\t:\tv\t\r\n"
                               "\r\n";
    const auto request = parse(buffer);
    ASSERT_TRUE(request);
    const std::map<std::string, std::string> expected = {
        {"host", "localhost:45832"}, {"x-thing", "a: b"}, {"", "empty name"}, {"x-tab", "v"}};
    EXPECT_EQ(request->headers, expected);
}

TEST(HTTPRequestParser, aBareLineFeedDoesNotEndAHeaderLine)
{
    const auto request = parse("POST /event HTTP/1.1\r\nA: 1\nB: 2\r\n\r\n");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->headers.at("a"), "1\nB: 2");
    EXPECT_FALSE(request->headers.contains("b"));
}

} // namespace
} // namespace tallyglass
