#include "server/TelemetryLogs.h"

#include "core/IsoTime.h"
#include "server/SentMessages.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>
#include <map>

namespace tallyglass::TelemetryLogs {

namespace {

using nlohmann::json;

constexpr std::string_view apiRequest = "api_request";
constexpr std::int64_t maxCount = 1'000'000'000'000; // the bound every stored count is held to

struct Shape {}; // thrown when the body is not an export

const json& member(const json& object, const char* name)
{
    static const json absent;
    if (!object.is_object())
        throw Shape{};
    const auto it = object.find(name);
    return it == object.end() ? absent : *it;
}

const json& arrayMember(const json& object, const char* name)
{
    static const json empty = json::array();
    const json& value = member(object, name);
    if (value.is_null())
        return empty;
    if (!value.is_array())
        throw Shape{};
    return value;
}

// An AnyValue as text: strings as they are, numbers as JSON writes them.
std::optional<std::string> text(const json& anyValue)
{
    if (!anyValue.is_object())
        return std::nullopt;
    for (const char* key : {"stringValue", "intValue", "doubleValue"}) {
        const auto it = anyValue.find(key);
        if (it == anyValue.end())
            continue;
        if (it->is_string())
            return it->get<std::string>();
        if (it->is_number_integer() || it->is_number_unsigned())
            return it->dump();
    }
    return std::nullopt;
}

// A count in whatever form the exporter chose: intValue as a JSON number or
// string (64-bit integers are strings in OTLP JSON), doubleValue, or a string.
std::optional<std::int64_t> count(const json& anyValue)
{
    if (!anyValue.is_object())
        return std::nullopt;
    for (const char* key : {"intValue", "doubleValue", "stringValue"}) {
        const auto it = anyValue.find(key);
        if (it == anyValue.end())
            continue;
        double value = -1;
        if (it->is_number())
            value = it->get<double>();
        else if (it->is_string()) {
            const std::string s = it->get<std::string>();
            const char* end = s.data() + s.size();
            const auto [ptr, ec] = std::from_chars(s.data(), end, value);
            if (ec != std::errc{} || ptr != end)
                return std::nullopt;
        } else
            return std::nullopt;
        if (!std::isfinite(value) || value < 0 || value != std::floor(value))
            return std::nullopt;
        return static_cast<std::int64_t>(std::min(value, static_cast<double>(maxCount)));
    }
    return std::nullopt;
}

std::map<std::string, const json*> attributes(const json& owner)
{
    std::map<std::string, const json*> out;
    for (const json& attribute : arrayMember(owner, "attributes")) {
        const json& key = member(attribute, "key");
        if (key.is_string())
            out[key.get<std::string>()] = &member(attribute, "value");
    }
    return out;
}

std::optional<std::string> textOf(const std::map<std::string, const json*>& attrs, const char* key)
{
    const auto it = attrs.find(key);
    return it == attrs.end() ? std::nullopt : text(*it->second);
}

// The event's own time, else (absent or no date-time) the record's.
std::optional<Instant> timeOf(const std::map<std::string, const json*>& attrs, const json& record)
{
    if (const auto stamp = textOf(attrs, "event.timestamp")) {
        if (const auto at = IsoTime::parse(*stamp))
            return at;
    }
    const json& nanos = member(record, "timeUnixNano");
    std::uint64_t value = 0;
    if (nanos.is_number_unsigned() || nanos.is_number_integer())
        value = nanos.get<std::uint64_t>();
    else if (nanos.is_string()) {
        const std::string s = nanos.get<std::string>();
        const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
        if (ec != std::errc{} || ptr != s.data() + s.size())
            return std::nullopt;
    } else
        return std::nullopt;
    if (value == 0)
        return std::nullopt; // OTLP's "unknown"
    return Instant{std::chrono::microseconds{static_cast<std::int64_t>(value / 1000)}};
}

enum class Kind { claudeRequest, sentMessage, other };

Kind kindOf(const std::map<std::string, const json*>& attrs, const json& record)
{
    const auto name = textOf(attrs, "event.name");
    const auto body = text(member(record, "body"));
    if (name ? *name == apiRequest : body && *body == "claude_code.api_request")
        return Kind::claudeRequest;
    if ((name ? *name : body.value_or("")) == SentMessages::recordName)
        return Kind::sentMessage;
    return Kind::other;
}

// The five counts of either kind, under Claude Code's names; a problem's text when one is no count.
std::string readCounts(const std::map<std::string, const json*>& attrs, const char* kind, MessageInsert& out)
{
    std::int64_t counts[5] = {0, 0, 0, 0, 0};
    const char* names[5] = {"input_tokens", "output_tokens", "cache_creation_tokens", "cache_read_tokens",
                            "cache_creation_1h_tokens"};
    for (int i = 0; i < 5; ++i) {
        const auto it = attrs.find(names[i]);
        if (it == attrs.end())
            continue;
        const auto value = count(*it->second);
        if (!value)
            return std::string("an ") + kind + " record's " + names[i] + " is not a count";
        counts[i] = *value;
    }
    out.inputTokens = counts[0];
    out.outputTokens = counts[1];
    out.cacheCreationInputTokens = counts[2];
    out.cacheReadInputTokens = counts[3];
    out.cacheCreation1hInputTokens = std::min(counts[4], counts[2]);
    return {};
}

bool possible(const std::optional<Instant>& at, Instant now)
{
    static const Instant earliest = *IsoTime::parse("2000-01-01T00:00:00Z");
    return at && *at >= earliest && *at <= now + std::chrono::hours(24);
}

// One api_request record as a message, or why it cannot be one.
std::string readRequest(const std::map<std::string, const json*>& attrs, const json& record, const std::string& host,
                        Instant now, MessageInsert& out)
{
    const auto session = textOf(attrs, "session.id");
    if (!session || session->empty() || session->size() > 4096)
        return "an api_request record has no session.id";
    const auto sequence = textOf(attrs, "event.sequence");
    if (!sequence || sequence->empty() || sequence->size() > 64)
        return "an api_request record has no event.sequence";
    const auto at = timeOf(attrs, record);
    if (!possible(at, now))
        return "an api_request record has no possible time";
    if (std::string problem = readCounts(attrs, "api_request", out); !problem.empty())
        return problem;
    out.messageId = messageId(*session, *sequence);
    out.sessionId = *session;
    out.timestamp = IsoTime::formatMillis(*at);
    out.role = "assistant";
    out.model = textOf(attrs, "model");
    const auto recordHost = textOf(attrs, "host.name");
    out.machine = !host.empty() ? host : (recordHost && !recordHost->empty() ? *recordHost : "unknown");
    out.fromTelemetry = true;
    return {};
}

// One message another instance sent, or why it cannot be one. Its cost_usd
// is not taken: every stored message is priced by this machine's list, and
// priced again whenever that list changes.
std::string readSent(const std::map<std::string, const json*>& attrs, const json& record, const std::string& host,
                     Instant now, MessageInsert& out)
{
    const auto id = textOf(attrs, "message.id");
    if (!id || id->empty() || id->size() > 4096)
        return "a tallyglass.message record has no message.id";
    const auto session = textOf(attrs, "session.id");
    if (!session || session->empty() || session->size() > 4096)
        return "a tallyglass.message record has no session.id";
    const auto recordHost = textOf(attrs, "host.name");
    const std::string machine = !host.empty() ? host : recordHost.value_or("");
    if (machine.empty() || machine.size() > 255)
        return "a tallyglass.message record has no host.name";
    const auto at = timeOf(attrs, record);
    if (!possible(at, now))
        return "a tallyglass.message record has no possible time";
    if (std::string problem = readCounts(attrs, "tallyglass.message", out); !problem.empty())
        return problem;
    out.messageId = sentMessageId(machine, *id);
    out.sessionId = *session;
    out.timestamp = IsoTime::formatMillis(*at);
    out.role = "assistant";
    out.model = textOf(attrs, "model");
    out.machine = machine;
    out.fromTelemetry = true;
    if (const auto it = attrs.find("subagent"); it != attrs.end() && it->second->is_object()) {
        const auto flag = it->second->find("boolValue");
        out.isSubagent = flag != it->second->end() && flag->is_boolean() && flag->get<bool>();
    }
    if (const auto project = textOf(attrs, "project"); project && project->size() <= 4096)
        out.project = *project;
    return {};
}

void readScope(const json& scope, const std::string& host, Instant now, std::string_view ownMachine, Batch& batch)
{
    for (const json& record : arrayMember(scope, "logRecords")) {
        const auto attrs = attributes(record);
        const Kind kind = kindOf(attrs, record);
        if (kind == Kind::other) {
            ++batch.otherEvents;
            continue;
        }
        MessageInsert message;
        std::string problem = kind == Kind::claudeRequest ? readRequest(attrs, record, host, now, message)
                                                       : readSent(attrs, record, host, now, message);
        if (!problem.empty()) {
            if (batch.refused++ == 0)
                batch.firstProblem = std::move(problem);
            continue;
        }
        if (kind == Kind::sentMessage && !ownMachine.empty() && message.machine == ownMachine) {
            ++batch.ownMachine;
            continue;
        }
        batch.messages.push_back(std::move(message));
    }
}

} // namespace

std::string messageId(std::string_view sessionId, std::string_view sequence)
{
    std::string id = "otel:";
    id += sessionId;
    id += '#';
    id += sequence;
    return id;
}

std::string sentMessageId(std::string_view machine, std::string_view id)
{
    // The machine's length first: no pair of a machine and an id reads as another.
    std::string out = "tallyglass:" + std::to_string(machine.size()) + ":";
    out += machine;
    out += '/';
    out += id;
    return out;
}

std::optional<Batch> read(std::string_view body, Instant now, std::string_view ownMachine)
{
    const json root = json::parse(body, nullptr, false);
    if (root.is_discarded() || !root.is_object())
        return std::nullopt;
    Batch batch;
    try {
        for (const json& resourceLogs : arrayMember(root, "resourceLogs")) {
            const json& resource = member(resourceLogs, "resource");
            std::string host;
            if (!resource.is_null()) {
                if (const auto name = textOf(attributes(resource), "host.name"))
                    host = *name;
            }
            for (const json& scope : arrayMember(resourceLogs, "scopeLogs"))
                readScope(scope, host, now, ownMachine, batch);
        }
    } catch (const Shape&) {
        return std::nullopt;
    }
    return batch;
}

} // namespace tallyglass::TelemetryLogs
