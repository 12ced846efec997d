#include "server/RequestGate.h"

#include "server/HTTPRequestParser.h"

namespace tallyglass::RequestGate {

namespace {

const Response badRequest{"400 Bad Request", "bad request"};
const Response forbidden{"403 Forbidden", "forbidden"};
const Response notFound{"404 Not Found", "not found"};
const Response headersTooLarge{"431 Request Header Fields Too Large", "request header fields too large"};
const Response payloadTooLarge{"413 Payload Too Large", "payload too large"};

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

} // namespace

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

Decision decide(std::string_view buffer)
{
    if (auto over = checkLimits(buffer))
        return {*over, false, {}};
    auto request = HTTPRequestParser::parse(buffer);
    if (!request)
        return {badRequest, false, {}};
    if (request->headers.contains("origin"))
        return {forbidden, false, {}};
    if (const auto host = request->headers.find("host"); host != request->headers.end() && !isLoopbackHost(host->second))
        return {forbidden, false, {}};
    if (request->method == "GET" && request->path == "/health")
        return {{"200 OK", "ok"}, false, {}};
    if (request->method != "POST" || request->path != "/event")
        return {notFound, false, {}};
    return {{"200 OK", ""}, true, std::move(request->body)};
}

std::string render(const Response& response)
{
    std::string text = "HTTP/1.1 " + response.status + "\r\nContent-Length: " + std::to_string(response.body.size())
        + "\r\nConnection: close\r\n\r\n";
    text += response.body;
    return text;
}

} // namespace tallyglass::RequestGate
