#include "server/HTTPRequestParser.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace tallyglass {

namespace HTTPRequestParser {

// A failure shows the request, not its bytes.
void PrintTo(const Request& request, std::ostream* os)
{
    *os << request.method << ' ' << request.path << " {";
    for (const auto& [name, value] : request.headers)
        *os << testing::PrintToString(name) << ": " << testing::PrintToString(value) << ", ";
    *os << "} " << testing::PrintToString(request.body);
}

} // namespace HTTPRequestParser

namespace {

using HTTPRequestParser::isComplete;
using HTTPRequestParser::parse;
using HTTPRequestParser::Request;

TEST(HTTPRequestParser, tellsWhenABufferIsCompleteAndWhatRequestItHolds)
{
    const std::string declares10 = "POST /event HTTP/1.1\r\nContent-Length: 10\r\n\r\n";
    const std::map<std::string, std::string> length10 = {{"content-length", "10"}};
    const std::tuple<std::string, bool, std::optional<Request>> cases[] = { // the buffer, whether it is complete, its request
        // Without the header terminator nothing parses; a bare LF pair does not end the block.
        {"", false, std::nullopt},
        {"GET /health HTTP/1.1\r\n", false, std::nullopt},
        {"GET /health HTTP/1.1\r\n\r", false, std::nullopt},
        {"GET / HTTP/1.1\n\n", false, std::nullopt},
        {"GET /health HTTP/1.1\r\n\r\n", true, Request{"GET", "/health", {}, ""}},
        // A declared body completes the request and bytes beyond it are dropped; a peer that stopped
        // early gets the body that arrived.
        {declares10 + "abcdefghi", false, Request{"POST", "/event", length10, "abcdefghi"}},
        {declares10 + "abcdefghij", true, Request{"POST", "/event", length10, "abcdefghij"}},
        {declares10 + "abcdefghijkl", true, Request{"POST", "/event", length10, "abcdefghij"}},
        {"POST /event HTTP/1.1\r\nHost: localhost\r\n\r\n{\"a\":1}", true, Request{"POST", "/event", {{"host", "localhost"}}, "{\"a\":1}"}},
        // The first Content-Length line decides while the map keeps the last; a name with white space
        // before the colon is stored under the lower-cased name, but declares no length.
        {"POST /event HTTP/1.1\r\nContent-Length: 2\r\ncontent-length: 5\r\n\r\nabcdef", true,
         Request{"POST", "/event", {{"content-length", "5"}}, "ab"}},
        {"POST /event HTTP/1.1\r\nContent-Length : 2\r\n\r\nabcdef", true, Request{"POST", "/event", {{"content-length", "2"}}, "abcdef"}},
        {"POST /event HTTP/1.1\r\nContent-Length: -1\r\n\r\nxyz", true, std::nullopt},
        // A header block that is not UTF-8 is complete, so that it gets refused; the body is not decoded.
        {"GET /health HTTP/1.1\r\nX-Bad: \xFF\xFE\r\n\r\n", true, std::nullopt},
        {std::string("POST /event HTTP/1.1\r\n\r\n\xFF\x00\xFE", 27), true, Request{"POST", "/event", {}, std::string("\xFF\x00\xFE", 3)}},
        // The request line splits at spaces only.
        {"POST  /event\r\n\r\n", true, Request{"POST", "/event", {}, ""}},
        {"  GET   /health   HTTP/1.1  \r\n\r\n", true, Request{"GET", "/health", {}, ""}},
        {"get /Health?x=1 HTTP/9.9 extra\r\n\r\n", true, Request{"get", "/Health?x=1", {}, ""}},
        {"POST\r\n\r\n", true, std::nullopt},
        {"POST\t/event\r\n\r\n", true, std::nullopt},
        {"\r\n\r\n", true, std::nullopt},
        // Header lines are trimmed and folded, the last repeat wins, and a bare LF does not end a line.
        {"POST /event HTTP/1.1\r\nHost: localhost:45832\r\nX-Thing: first\r\nx-THING:  a: b  \r\nno colon here\r\n"
         ": empty name\r\n\tX-Tab\t:\tv\t\r\n\r\n",
         true, Request{"POST", "/event", {{"host", "localhost:45832"}, {"x-thing", "a: b"}, {"", "empty name"}, {"x-tab", "v"}}, ""}},
        {"POST /event HTTP/1.1\r\nA: 1\nB: 2\r\n\r\n", true, Request{"POST", "/event", {{"a", "1\nB: 2"}}, ""}},
    };
    for (const auto& [buffer, complete, request] : cases) {
        SCOPED_TRACE(buffer);
        EXPECT_EQ(isComplete(buffer), complete);
        EXPECT_EQ(parse(buffer), request);
    }
}

TEST(HTTPRequestParser, readsContentLengthStrictly)
{
    const std::pair<const char*, std::optional<std::int64_t>> cases[] = { // the line, the length it declares
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
    for (const auto& [line, length] : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(HTTPRequestParser::contentLength(std::string("POST /event HTTP/1.1\r\n") + line), length);
    }
}

} // namespace
} // namespace tallyglass
