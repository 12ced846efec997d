#include "server/HTTPRequestParser.h"

#include "core/Utf8.h"
#include "server/ChunkedBody.h"

#include <charconv>
#include <vector>

namespace tallyglass::HTTPRequestParser {

namespace {

constexpr std::string_view separator = "\r\n\r\n";
constexpr std::string_view lengthPrefix = "content-length:";

struct Split {
    std::string_view header;
    std::string_view body;
};

std::optional<Split> split(std::string_view buffer)
{
    const std::size_t at = buffer.find(separator);
    if (at == std::string_view::npos)
        return std::nullopt;
    return Split{buffer.substr(0, at), buffer.substr(at + separator.size())};
}

std::string_view trimSpaceAndTab(std::string_view s)
{
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    while (!s.empty() && isBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

bool startsWithIgnoringAsciiCase(std::string_view s, std::string_view lowerPrefix)
{
    if (s.size() < lowerPrefix.size())
        return false;
    for (std::size_t i = 0; i < lowerPrefix.size(); ++i) {
        if (asciiLower(s[i]) != lowerPrefix[i])
            return false;
    }
    return true;
}

std::vector<std::string_view> splitLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (true) {
        const std::size_t at = text.find("\r\n", start);
        if (at == std::string_view::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, at - start));
        start = at + 2;
    }
}

} // namespace

std::optional<std::int64_t> contentLength(std::string_view headerText)
{
    std::size_t start = 0;
    while (start <= headerText.size()) {
        std::size_t end = headerText.find("\r\n", start);
        if (end == std::string_view::npos)
            end = headerText.size();
        const std::string_view line = headerText.substr(start, end - start);
        if (startsWithIgnoringAsciiCase(line, lengthPrefix)) {
            std::string_view value = trimSpaceAndTab(line.substr(lengthPrefix.size()));
            if (value.empty())
                return std::nullopt;
            bool negative = false;
            if (value.front() == '+' || value.front() == '-') {
                negative = value.front() == '-';
                value.remove_prefix(1);
            }
            if (value.empty() || value.front() < '0' || value.front() > '9')
                return std::nullopt;
            // Read the magnitude as unsigned so that -9223372036854775808 is in range.
            std::uint64_t magnitude = 0;
            const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), magnitude);
            if (ec != std::errc{} || ptr != value.data() + value.size())
                return std::nullopt;
            constexpr std::uint64_t maxPositive = static_cast<std::uint64_t>(INT64_MAX);
            if (negative) {
                if (magnitude > maxPositive + 1)
                    return std::nullopt;
                return magnitude == maxPositive + 1 ? INT64_MIN : -static_cast<std::int64_t>(magnitude);
            }
            if (magnitude > maxPositive)
                return std::nullopt;
            return static_cast<std::int64_t>(magnitude);
        }
        start = end + 2;
    }
    return std::nullopt;
}

bool isComplete(std::string_view buffer)
{
    const auto parts = split(buffer);
    if (!parts)
        return false;
    if (!Utf8::isValid(parts->header))
        return true;
    // Only a body ending as the last chunk does is walked: walking a body of
    // millions of tiny chunks at every read would hold the server's thread.
    if (ChunkedBody::declared(parts->header))
        return parts->body.ends_with("\r\n\r\n") && ChunkedBody::scan(parts->body) != ChunkedBody::State::incomplete;
    const auto declared = contentLength(parts->header);
    if (!declared)
        return true;
    return static_cast<std::int64_t>(parts->body.size()) >= *declared;
}

std::optional<Request> parse(std::string_view buffer)
{
    const auto parts = split(buffer);
    if (!parts || !Utf8::isValid(parts->header))
        return std::nullopt;

    const std::vector<std::string_view> lines = splitLines(parts->header);

    std::vector<std::string_view> tokens;
    std::string_view requestLine = lines.front();
    while (!requestLine.empty()) {
        const std::size_t space = requestLine.find(' ');
        const std::string_view piece = requestLine.substr(0, space);
        if (!piece.empty())
            tokens.push_back(piece);
        if (space == std::string_view::npos)
            break;
        requestLine.remove_prefix(space + 1);
    }
    if (tokens.size() < 2)
        return std::nullopt;

    Request request;
    request.method = std::string(tokens[0]);
    request.path = std::string(tokens[1]);

    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        std::string name(trimSpaceAndTab(line.substr(0, colon)));
        for (char& c : name)
            c = asciiLower(c);
        request.headers.insert_or_assign(std::move(name), std::string(trimSpaceAndTab(line.substr(colon + 1))));
    }

    std::size_t length = parts->body.size();
    if (const auto declared = contentLength(parts->header)) {
        // A negative length cannot describe any body; we reject the request
        // rather than guess at what the peer meant.
        if (*declared < 0)
            return std::nullopt;
        if (static_cast<std::uint64_t>(*declared) < length)
            length = static_cast<std::size_t>(*declared);
    }
    request.body = std::string(parts->body.substr(0, length));
    return request;
}

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string asciiLowered(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = asciiLower(c);
    return out;
}

} // namespace tallyglass::HTTPRequestParser
