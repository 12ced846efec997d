#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tallyglass::HTTPRequestParser {

// Just enough HTTP/1.1 for the hook sender and a health probe: a request line,
// header lines and a body sized by Content-Length (or everything after the
// header block), or by chunked coding (RequestGate says where that is allowed).
// One connection carries one request.
struct Request {
    std::string method;
    std::string path;
    // Names trimmed and lower-cased (ASCII), values trimmed; the last repeat wins.
    std::map<std::string, std::string> headers;
    std::string body; // raw bytes

    bool operator==(const Request&) const = default;
};

// True once the buffer holds a header block and, where a length is declared,
// the whole body. A header block that is not UTF-8 also counts as complete, so
// that the caller hands it to parse() and rejects it. A chunked body is
// complete once it ends with its last chunk (a malformed one is refused
// when the peer finishes or its time is up).
bool isComplete(std::string_view buffer);

// The request in the buffer, or nothing when it is malformed: no header
// terminator, a header block that is not UTF-8, a request line with fewer than
// two tokens, or a negative Content-Length.
std::optional<Request> parse(std::string_view buffer);

// The first Content-Length line of a header block, read as a signed decimal.
std::optional<std::int64_t> contentLength(std::string_view headerText);

// Header names and the tokens of their values compare without ASCII case.
char asciiLower(char c);
std::string asciiLowered(std::string_view text);

} // namespace tallyglass::HTTPRequestParser
