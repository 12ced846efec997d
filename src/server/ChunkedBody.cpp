#include "server/ChunkedBody.h"
#include "server/HTTPRequestParser.h"

#include <cstdint>

namespace tallyglass::ChunkedBody {

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = HTTPRequestParser::asciiLower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Walks the chunks, handing each chunk's data to `take`. Sizes are held to
// what fits in 60 bits, so no sum below can wrap.
template <typename Take>
State walk(std::string_view body, Take&& take)
{
    std::size_t at = 0;
    while (true) {
        const std::size_t lineEnd = body.find("\r\n", at);
        if (lineEnd == std::string_view::npos)
            return body.size() - at > 1024 ? State::malformed : State::incomplete;
        std::uint64_t size = 0;
        std::size_t digits = 0;
        for (std::size_t i = at; i < lineEnd && hexDigit(body[i]) >= 0; ++i, ++digits) {
            if (size >> 56)
                return State::malformed;
            size = size * 16 + static_cast<std::uint64_t>(hexDigit(body[i]));
        }
        if (digits == 0 || (at + digits < lineEnd && body[at + digits] != ';'))
            return State::malformed;
        at = lineEnd + 2;
        if (size == 0) {
            if (body.size() - at < 2)
                return body.substr(at) == std::string_view("\r").substr(0, body.size() - at) ? State::incomplete
                                                                                            : State::malformed;
            return body.substr(at) == "\r\n" ? State::complete : State::malformed;
        }
        if (body.size() - at < size + 2)
            return State::incomplete;
        take(body.substr(at, static_cast<std::size_t>(size)));
        at += static_cast<std::size_t>(size);
        if (body.substr(at, 2) != "\r\n")
            return State::malformed;
        at += 2;
    }
}

} // namespace

bool declared(std::string_view header)
{
    std::size_t start = 0;
    while (start < header.size()) {
        std::size_t end = header.find("\r\n", start);
        if (end == std::string_view::npos)
            end = header.size();
        const std::string_view line = header.substr(start, end - start);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && HTTPRequestParser::asciiLowered(line.substr(0, colon)) == "transfer-encoding") {
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
                value.remove_prefix(1);
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
                value.remove_suffix(1);
            return HTTPRequestParser::asciiLowered(value) == "chunked";
        }
        start = end + 2;
    }
    return false;
}

State scan(std::string_view body)
{
    return walk(body, [](std::string_view) {});
}

std::optional<std::string> decode(std::string_view body)
{
    std::string out;
    if (walk(body, [&out](std::string_view data) { out.append(data); }) != State::complete)
        return std::nullopt;
    return out;
}

} // namespace tallyglass::ChunkedBody
