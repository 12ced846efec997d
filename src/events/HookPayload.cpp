#include "events/HookPayload.h"

#include "core/IsoTime.h"
#include "core/JsonScanner.h"

namespace tallyglass::HookPayload {

namespace {

using Type = JsonValue::Type;

// Scans the whole body; false unless it is one JSON object.
bool scanObject(JsonScanner& scanner, std::string_view body)
{
    scanner.feed(body);
    return scanner.finish() && scanner.rootType() == Type::object;
}

std::optional<std::string> text(const JsonValue& value, bool& oversized)
{
    if (value.type != Type::string)
        return std::nullopt;
    if (value.truncated) {
        oversized = true;
        return std::nullopt;
    }
    return std::string(value.text);
}

std::optional<double> number(const JsonValue& value)
{
    switch (value.type) {
    case Type::floating: return value.floating;
    case Type::int64: return static_cast<double>(value.int64);
    case Type::uint64: return static_cast<double>(value.uint64);
    default: return std::nullopt;
    }
}

// Some versions of Claude Code send a reset time as seconds since 1970, later
// ones as ISO 8601 text; both come out as seconds. Text that is not a strict
// date-time (or too long to be one) is no reading, like a number of the wrong type.
std::optional<double> secondsOrTime(const JsonValue& value)
{
    if (value.type != Type::string)
        return number(value);
    if (value.truncated)
        return std::nullopt;
    const auto parsed = IsoTime::parse(value.text);
    if (!parsed)
        return std::nullopt;
    return static_cast<double>(parsed->time_since_epoch().count()) / 1e6;
}

// Longer than any date-time, fraction of nanoseconds and offset included.
constexpr std::size_t longestTime = 64;

} // namespace

Route route(std::string_view body)
{
    JsonScanner scanner({{"rate_limits"}, {"hook_event_name"}}, 0);
    if (!scanObject(scanner, body))
        return Route::none;
    if (scanner.value(0).type == Type::object)
        return Route::statusLine;
    if (scanner.value(1).type == Type::string)
        return Route::capture;
    return Route::none;
}

std::optional<Event> event(std::string_view body)
{
    JsonScanner scanner({{"hook_event_name"}, {"session_id"}, {"transcript_path"}, {"agent_transcript_path"}, {"cwd"}},
                        maxTextBytes);
    if (!scanObject(scanner, body))
        return std::nullopt;
    Event event;
    bool ignored = false;
    event.name = text(scanner.value(0), ignored);
    event.sessionId = text(scanner.value(1), event.oversized);
    event.transcriptPath = text(scanner.value(2), event.oversized);
    event.agentTranscriptPath = text(scanner.value(3), event.oversized);
    event.cwd = text(scanner.value(4), event.oversized);
    return event;
}

std::optional<Limits> limits(std::string_view body)
{
    JsonScanner scanner({{"rate_limits"},
                         {"rate_limits", "five_hour", "used_percentage"},
                         {"rate_limits", "five_hour", "resets_at"},
                         {"rate_limits", "seven_day", "used_percentage"},
                         {"rate_limits", "seven_day", "resets_at"}},
                        longestTime);
    if (!scanObject(scanner, body) || scanner.value(0).type != Type::object)
        return std::nullopt;
    return Limits{{number(scanner.value(1)), secondsOrTime(scanner.value(2))},
                  {number(scanner.value(3)), secondsOrTime(scanner.value(4))}};
}

} // namespace tallyglass::HookPayload
