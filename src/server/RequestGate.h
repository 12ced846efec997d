#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tallyglass::RequestGate {

// What the local server answers to the bytes one connection delivered, and
// whether the body goes on to the router. Besides the four answers of the hook
// protocol, it refuses what only a web page or a misbehaving peer would send:
// a request with an Origin header, or a Host other than this machine's own
// loopback names (a page in the user's browser, or DNS rebinding, can reach
// localhost), and requests over the size limits.

inline constexpr std::size_t maxHeaderBytes = 64 * 1024;
// A hook payload is a few kilobytes; the largest carry one tool's input or
// output, which seldom passes a few hundred kilobytes. Ten times that leaves
// room for the rare big one while a handful of them fill the budget every
// connection shares (LocalServer::Options), and an event refused for its size
// loses nothing lasting: the transcript is read again with the session's next
// event. An exporter's batch of logs, a few hundred records of about a
// kilobyte, fits as well, also once inflated.
inline constexpr std::size_t maxBodyBytes = 4 * 1024 * 1024;
// Where OTLP/HTTP exporters post; metrics are answered and not read.
inline constexpr std::string_view logsPath = "/v1/logs";
inline constexpr std::string_view metricsPath = "/v1/metrics";

struct Response {
    std::string status; // "200 OK"
    std::string body;
    int retryAfterSeconds = 0; // sent as Retry-After when positive
    bool bearerChallenge = false; // sent with "WWW-Authenticate: Bearer"
    bool operator==(const Response&) const = default;
};

// For a request within every limit that the server has no room for just
// now: the same request may well be taken a moment later.
extern const Response busy;

// The listener for other machines (a devcontainer's bridge, a team's
// Collector) serves exporters only. The loopback's rules cannot hold there:
// peers are on other machines, under other users, and name the host by its
// address. Instead every request must carry "Authorization: Bearer <token>";
// without it, whatever was asked, the answer is 401 and tells nothing of what
// is served. With it, /v1/logs and /v1/metrics are served as on the loopback
// (same limits, same media types); /event stays 401, since hook events name
// files on this machine and only its own user may post them; any other path
// is 404. An empty token matches nothing.
struct OuterAccess {
    std::string_view token;
};

struct Decision {
    Response response;
    bool route = false;     // hand `body` to the router once the response is written
    std::string body;       // without its chunked coding, if it had one
    bool telemetry = false; // an OTLP logs export: its answer depends on `body`
    bool gzip = false;      // `body` is gzip-compressed
};

// While a request is still arriving: an answer as soon as the bytes so far
// break a limit (431 for the header block, 413 for the body), else nothing.
std::optional<Response> checkLimits(std::string_view buffer);

// A request refused for its header block alone: over a limit, malformed or
// ambiguous (a repeated Host or Content-Length, a Transfer-Encoding other than
// chunked alone, or chunked anywhere but the telemetry paths, a bare
// LF, a Content-Length that is not plain digits), from a web page, or for a
// method and path we do not serve. Nothing when the body may follow; a peer
// that asked for "Expect: 100-continue" is then told to send it.
std::optional<Response> screen(std::string_view buffer);
std::optional<Response> screen(std::string_view buffer, OuterAccess outer);

// Whether the header block asks for "100 Continue" before the body.
bool expectsContinue(std::string_view buffer);

// For a complete request, or whatever arrived before the peer finished. The
// second form takes the body out of the buffer without copying it.
Decision decide(std::string_view buffer);
Decision decideTaking(std::string&& buffer);
Decision decideTaking(std::string&& buffer, OuterAccess outer);

// "HTTP/1.1 <status>\r\n[Retry-After: <s>\r\n][WWW-Authenticate: Bearer\r\n]Content-Length: <n>\r\nConnection: close\r\n\r\n<body>"
std::string render(const Response& response);

// localhost, 127.0.0.1 or [::1], optionally with ":<port>"; names compared without case.
bool isLoopbackHost(std::string_view host);

// Whether `offered` is `expected`, in a time that does not depend on where
// they first differ (only on their lengths). An empty `expected` matches nothing.
bool tokenMatches(std::string_view expected, std::string_view offered);

} // namespace tallyglass::RequestGate
