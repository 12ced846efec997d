#include "server/RequestGate.h"

#include "server/ChunkedBody.h"
#include "server/HTTPRequestParser.h"

#include <utility>
#include <vector>

namespace tallyglass::RequestGate {

namespace {

const Response badRequest{"400 Bad Request", "bad request"};
const Response forbidden{"403 Forbidden", "forbidden"};
const Response notFound{"404 Not Found", "not found"};
const Response headersTooLarge{"431 Request Header Fields Too Large", "request header fields too large"};
const Response payloadTooLarge{"413 Payload Too Large", "payload too large"};
const Response protobufRefused{"415 Unsupported Media Type",
                               "{\"message\":\"Only OTLP/HTTP with JSON bodies is read here: set "
                               "OTEL_EXPORTER_OTLP_PROTOCOL=http/json.\"}"};
const Response encodingRefused{"415 Unsupported Media Type",
                               "{\"message\":\"Only gzip or no Content-Encoding is read here.\"}"};
const Response metricsIgnored{"200 OK", "{}"};
const Response unauthorized{"401 Unauthorized", "unauthorized", 0, true};

bool isTelemetryPath(std::string_view path)
{
    return path == logsPath || path == metricsPath;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// The lines of a header block after the request line, each without its CRLF.
std::vector<std::string_view> headerLines(std::string_view header)
{
    std::vector<std::string_view> lines;
    for (std::size_t start = header.find("\r\n"); start != std::string_view::npos;) {
        start += 2;
        const std::size_t end = header.find("\r\n", start);
        lines.push_back(header.substr(start, end == std::string_view::npos ? end : end - start));
        start = end;
    }
    return lines;
}

// The header lines (request line excluded) as lower-cased name and trimmed
// value; nothing when the block is ambiguous: a bare LF, a name that is
// empty or ends in white space, a repeated Host or Content-Length, any
// Transfer-Encoding, or a Content-Length that is not plain digits. Peers that
// disagree on where a request ends are how requests get smuggled past checks.
// "Transfer-Encoding: chunked" alone, without a Content-Length, is the one
// exception: telemetry exporters send it, and its end is unambiguous.
std::optional<std::vector<std::pair<std::string, std::string_view>>> strictHeaders(std::string_view header)
{
    for (std::size_t at = header.find('\n'); at != std::string_view::npos; at = header.find('\n', at + 1)) {
        if (at == 0 || header[at - 1] != '\r')
            return std::nullopt;
    }
    std::vector<std::pair<std::string, std::string_view>> fields;
    bool host = false;
    bool length = false;
    bool chunked = false;
    for (const std::string_view line : headerLines(header)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view name = line.substr(0, colon);
        if (name.empty() || name.back() == ' ' || name.back() == '\t')
            return std::nullopt;
        std::string key = HTTPRequestParser::asciiLowered(name);
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (key == "transfer-encoding" && (std::exchange(chunked, true) || HTTPRequestParser::asciiLowered(value) != "chunked"))
            return std::nullopt;
        if (key == "host" && std::exchange(host, true))
            return std::nullopt;
        if (key == "content-length") {
            if (std::exchange(length, true) || value.empty() || value.size() > 18
                || value.find_first_not_of("0123456789") != std::string_view::npos)
                return std::nullopt;
        }
        fields.emplace_back(std::move(key), value);
    }
    if (chunked && length)
        return std::nullopt;
    return fields;
}

} // namespace

const Response busy{"503 Service Unavailable", "service unavailable", 1};

bool isLoopbackHost(std::string_view host)
{
    // Split "name[:port]"; a bracketed IPv6 name holds colons of its own.
    std::string_view name = host;
    std::string_view rest;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string_view::npos)
            return false;
        name = host.substr(0, close + 1);
        rest = host.substr(close + 1);
    } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        rest = host.substr(colon);
    }
    if (!rest.empty()) {
        const std::string_view port = rest.substr(1);
        if (rest.front() != ':' || port.empty() || port.size() > 5)
            return false;
        for (const char c : port) {
            if (c < '0' || c > '9')
                return false;
        }
    }
    return equalsIgnoringAsciiCase(name, "localhost") || name == "127.0.0.1" || name == "[::1]";
}

std::optional<Response> checkLimits(std::string_view buffer)
{
    const std::size_t end = buffer.find("\r\n\r\n");
    if (end == std::string_view::npos)
        return buffer.size() > maxHeaderBytes + 3 ? std::optional(headersTooLarge) : std::nullopt;
    if (end > maxHeaderBytes)
        return headersTooLarge;
    const std::size_t bodyBytes = buffer.size() - end - 4;
    const auto declared = HTTPRequestParser::contentLength(buffer.substr(0, end));
    if ((declared && *declared > static_cast<std::int64_t>(maxBodyBytes)) || bodyBytes > maxBodyBytes)
        return payloadTooLarge;
    return std::nullopt;
}

namespace {

// An exporter set to protobuf is told, in its own log, what to set instead.
std::optional<Response> screenTelemetry(const std::map<std::string, std::string>& headers)
{
    const auto type = headers.find("content-type");
    if (type != headers.end()) {
        const std::string mediaType = HTTPRequestParser::asciiLowered(trimmed(std::string_view(type->second).substr(0, type->second.find(';'))));
        if (mediaType != "application/json")
            return protobufRefused;
    }
    const auto encoding = headers.find("content-encoding");
    if (encoding != headers.end() && !encoding->second.empty()) {
        const std::string coding = HTTPRequestParser::asciiLowered(encoding->second);
        if (coding != "gzip" && coding != "identity")
            return encodingRefused;
    }
    return std::nullopt;
}

// The token of "Bearer <token>", the scheme in any case; empty for anything
// else. OTEL_EXPORTER_OTLP_HEADERS is documented as percent-encoded, yet some
// exporters (Claude Code's among them) send "Bearer%20<token>" as written, so
// that form counts too: a token never holds a "%".
std::string_view bearerToken(std::string_view value)
{
    constexpr std::string_view scheme = "bearer";
    if (value.size() <= scheme.size() || !equalsIgnoringAsciiCase(value.substr(0, scheme.size()), scheme))
        return {};
    std::string_view rest = value.substr(scheme.size());
    if (rest.starts_with("%20"))
        return trimmed(rest.substr(3));
    return rest.front() == ' ' || rest.front() == '\t' ? trimmed(rest) : std::string_view{};
}

// Exactly one Authorization field, "Bearer" (in any case) and the token. Read
// from the raw lines, so that a block too malformed to parse still gets the
// 401 that tells nothing rather than a 400 that tells it was read.
bool carriesToken(std::string_view header, std::string_view token)
{
    int fields = 0;
    bool matched = false;
    for (const std::string_view line : headerLines(header)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || !equalsIgnoringAsciiCase(trimmed(line.substr(0, colon)), "authorization"))
            continue;
        ++fields;
        matched = tokenMatches(token, bearerToken(trimmed(line.substr(colon + 1))));
    }
    return fields == 1 && matched;
}

// The rules of the listener for other machines, before any other: nothing
// past the header limit is said without the token.
std::optional<Response> screenOuter(std::string_view buffer, OuterAccess outer)
{
    const std::size_t end = buffer.find("\r\n\r\n");
    if (end == std::string_view::npos)
        return buffer.size() > maxHeaderBytes + 3 ? std::optional(headersTooLarge) : std::nullopt;
    if (end > maxHeaderBytes)
        return headersTooLarge;
    if (!carriesToken(buffer.substr(0, end), outer.token))
        return unauthorized;
    return std::nullopt;
}

std::optional<Response> screenWith(std::string_view buffer, const OuterAccess* outer)
{
    if (outer) {
        if (auto refused = screenOuter(buffer, *outer))
            return refused;
    }
    if (auto over = checkLimits(buffer))
        return over;
    const std::size_t end = buffer.find("\r\n\r\n");
    if (end == std::string_view::npos)
        return std::nullopt;
    // The header block alone: a body of tens of megabytes is not copied to be looked at.
    const auto request = HTTPRequestParser::parse(buffer.substr(0, end + 4));
    if (!request || !strictHeaders(buffer.substr(0, end)))
        return badRequest;
    if (outer) {
        const bool post = request->method == "POST";
        if (post && request->path == "/event")
            return unauthorized;
        if (!post || !isTelemetryPath(request->path))
            return notFound;
        return screenTelemetry(request->headers);
    }
    if (request->headers.contains("origin"))
        return forbidden;
    if (const auto host = request->headers.find("host"); host != request->headers.end() && !isLoopbackHost(host->second))
        return forbidden;
    if (request->method == "GET" && request->path == "/health")
        return std::nullopt;
    const bool telemetry = request->method == "POST" && isTelemetryPath(request->path);
    if (request->method != "POST" || (request->path != "/event" && !telemetry))
        return notFound;
    if (!telemetry && request->headers.contains("transfer-encoding"))
        return badRequest;
    if (telemetry)
        return screenTelemetry(request->headers);
    return std::nullopt;
}

} // namespace

std::optional<Response> screen(std::string_view buffer)
{
    return screenWith(buffer, nullptr);
}

std::optional<Response> screen(std::string_view buffer, OuterAccess outer)
{
    return screenWith(buffer, &outer);
}

bool expectsContinue(std::string_view buffer)
{
    const std::size_t end = buffer.find("\r\n\r\n");
    if (end == std::string_view::npos)
        return false;
    const auto fields = strictHeaders(buffer.substr(0, end));
    if (!fields)
        return false;
    for (const auto& [name, value] : *fields) {
        if (name == "expect" && HTTPRequestParser::asciiLowered(value) == "100-continue")
            return true;
    }
    return false;
}

Decision decide(std::string_view buffer)
{
    std::string copy(buffer);
    return decideTaking(std::move(copy));
}

namespace {

// A request its screen let through: what to answer, and the body without its coding.
Decision decideScreened(std::string&& buffer)
{
    const std::size_t end = buffer.find("\r\n\r\n");
    if (end == std::string::npos)
        return {badRequest, false, {}};
    if (buffer.compare(0, 4, "GET ") == 0)
        return {{"200 OK", "ok"}, false, {}};
    const std::string_view header = std::string_view(buffer).substr(0, end);
    const auto request = HTTPRequestParser::parse(buffer.substr(0, end + 4));
    Decision decision{{"200 OK", ""}, true, {}};
    if (request && isTelemetryPath(request->path)) {
        if (request->path == metricsPath)
            return {metricsIgnored, false, {}};
        decision.route = false;
        decision.telemetry = true;
        const auto encoding = request->headers.find("content-encoding");
        decision.gzip = encoding != request->headers.end() && HTTPRequestParser::asciiLowered(encoding->second) == "gzip";
    }
    if (ChunkedBody::declared(header)) {
        auto decoded = ChunkedBody::decode(std::string_view(buffer).substr(end + 4));
        if (!decoded)
            return {badRequest, false, {}};
        decision.body = std::move(*decoded);
        return decision;
    }
    // The body stays where it arrived: a large one is never copied.
    const auto declared = HTTPRequestParser::contentLength(header);
    buffer.erase(0, end + 4);
    if (declared && static_cast<std::uint64_t>(*declared) < buffer.size())
        buffer.resize(static_cast<std::size_t>(*declared));
    decision.body = std::move(buffer);
    return decision;
}

} // namespace

Decision decideTaking(std::string&& buffer)
{
    if (auto refused = screen(buffer))
        return {*refused, false, {}};
    return decideScreened(std::move(buffer));
}

Decision decideTaking(std::string&& buffer, OuterAccess outer)
{
    if (auto refused = screen(buffer, outer))
        return {*refused, false, {}};
    return decideScreened(std::move(buffer));
}

std::string render(const Response& response)
{
    std::string text = "HTTP/1.1 " + response.status + "\r\n";
    if (response.retryAfterSeconds > 0)
        text += "Retry-After: " + std::to_string(response.retryAfterSeconds) + "\r\n";
    if (response.bearerChallenge)
        text += "WWW-Authenticate: Bearer\r\n";
    text += "Content-Length: " + std::to_string(response.body.size()) + "\r\nConnection: close\r\n\r\n";
    text += response.body;
    return text;
}

bool tokenMatches(std::string_view expected, std::string_view offered)
{
    // Every byte of the expected token is looked at whatever the offer holds,
    // so the answer's timing tells a guesser nothing of how much was right.
    unsigned difference = expected.size() != offered.size() ? 1U : 0U;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const unsigned char theirs = i < offered.size() ? static_cast<unsigned char>(offered[i]) : 0;
        difference |= static_cast<unsigned>(static_cast<unsigned char>(expected[i]) ^ theirs);
    }
    return !expected.empty() && difference == 0;
}

} // namespace tallyglass::RequestGate
