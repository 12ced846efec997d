#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tallyglass::HookPayload {

// The few fields the services read from what Claude Code posts. Payloads are
// scanned, never parsed into a tree: a hook event may carry tens of megabytes
// of tool output, and a tree costs many times the text it comes from.

// A session id or path longer than this makes an event invalid: none real
// comes close, and each is stored or opened.
inline constexpr std::size_t maxTextBytes = 4096;

enum class Route { none, capture, statusLine };

// rate_limits an object: the status line; else hook_event_name a string: an event.
Route route(std::string_view body);

struct Event {
    std::optional<std::string> name;
    std::optional<std::string> sessionId;
    std::optional<std::string> transcriptPath;
    std::optional<std::string> agentTranscriptPath;
    std::optional<std::string> cwd;
    bool oversized = false; // a session id or path was longer than maxTextBytes
};

// Fields that are missing or not strings are absent; nothing when the body is
// not a JSON object.
std::optional<Event> event(std::string_view body);

struct LimitWindow {
    std::optional<double> usedPercentage;
    std::optional<double> resetsAt; // seconds since 1970, sent as such or as ISO 8601 text
};

struct Limits {
    LimitWindow fiveHour;
    LimitWindow sevenDay;
};

// The two windows (numbers, and reset times also as ISO 8601 text; anything
// else is absent); nothing when the
// body is not an object whose rate_limits is an object.
std::optional<Limits> limits(std::string_view body);

} // namespace tallyglass::HookPayload
