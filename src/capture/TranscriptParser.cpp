#include "capture/TranscriptParser.h"

#include "core/IsoTime.h"
#include "core/JsonPayload.h"
#include "core/Utf8.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace tallyglass::TranscriptParser {

static_assert(PaddedText::padding >= simdjson::SIMDJSON_PADDING);

namespace {

using simdjson::dom::element;
using simdjson::dom::object;

std::int64_t clampToInt64(double value)
{
    // 2^63 is exactly representable as a double; anything at or above it is out of range.
    constexpr double limit = 9223372036854775808.0;
    if (value >= limit)
        return std::numeric_limits<std::int64_t>::max();
    if (value < -limit)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value); // truncates toward zero
}

std::int64_t toInt(simdjson::simdjson_result<element> field)
{
    element value;
    if (field.get(value))
        return 0;
    switch (value.type()) {
    case simdjson::dom::element_type::INT64:
        return value.get_int64().value_unsafe();
    case simdjson::dom::element_type::UINT64: {
        const std::uint64_t u = value.get_uint64().value_unsafe();
        return u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
            ? std::numeric_limits<std::int64_t>::max()
            : static_cast<std::int64_t>(u);
    }
    case simdjson::dom::element_type::DOUBLE: {
        const double d = value.get_double().value_unsafe();
        return std::isfinite(d) ? clampToInt64(d) : 0;
    }
    case simdjson::dom::element_type::BOOL:
        // JSON booleans are numbers to the platform reader this format was
        // first consumed with; true counts 1.
        return value.get_bool().value_unsafe() ? 1 : 0;
    default:
        return 0;
    }
}

bool nonEmptyString(simdjson::simdjson_result<element> field, std::string_view& out)
{
    return !field.get_string().get(out) && !out.empty();
}

Kind classifyPadded(const char* data, std::size_t size, MessageInsert& insert)
{
    object line;
    if (!JsonPayload::parsePaddedObject(data, size, line))
        return Kind::malformed;

    std::string_view type;
    if (line["type"].get_string().get(type) || type != "assistant")
        return Kind::nonAssistant;

    object message;
    if (line["message"].get_object().get(message))
        return Kind::missingField;
    std::string_view messageId;
    if (!nonEmptyString(message["id"], messageId))
        return Kind::missingField;
    object usage;
    if (message["usage"].get_object().get(usage))
        return Kind::missingField;
    std::string_view sessionId;
    if (!nonEmptyString(line["sessionId"], sessionId))
        return Kind::missingField;
    std::string_view timestamp;
    if (!nonEmptyString(line["timestamp"], timestamp) || !IsoTime::parse(timestamp))
        return Kind::missingField;

    insert.messageId.assign(messageId);
    insert.sessionId.assign(sessionId);
    insert.timestamp.assign(timestamp);
    std::string_view role;
    if (!message["role"].get_string().get(role))
        insert.role.assign(role);
    else
        insert.role.assign("assistant");
    std::string_view model;
    if (nonEmptyString(message["model"], model))
        insert.model.emplace(model);
    else
        insert.model.reset();
    insert.inputTokens = toInt(usage["input_tokens"]);
    insert.outputTokens = toInt(usage["output_tokens"]);
    insert.cacheCreationInputTokens = toInt(usage["cache_creation_input_tokens"]);
    insert.cacheReadInputTokens = toInt(usage["cache_read_input_tokens"]);
    insert.isSubagent = false;

    std::int64_t oneHour = 0;
    object breakdown;
    if (!usage["cache_creation"].get_object().get(breakdown))
        oneHour = toInt(breakdown["ephemeral_1h_input_tokens"]);
    const std::int64_t ceiling = std::max<std::int64_t>(insert.cacheCreationInputTokens, 0);
    insert.cacheCreation1hInputTokens = std::clamp<std::int64_t>(oneHour, 0, ceiling);
    return Kind::ok;
}

void count(Kind kind, Outcome& outcome)
{
    switch (kind) {
    case Kind::malformed: ++outcome.malformed; break;
    case Kind::nonAssistant: ++outcome.nonAssistant; break;
    case Kind::missingField: ++outcome.missingField; break;
    case Kind::ok: break;
    }
}

bool isBlankLine(std::string_view line)
{
    // Nearly every line starts with '{'; only look closer at the others.
    return line.empty() || (line.front() != '{' && Utf8::isBlank(line));
}

} // namespace

Classification classify(std::string_view line)
{
    const PaddedText padded(line);
    MessageInsert insert;
    const Kind kind = classifyPadded(padded.data(), padded.size(), insert);
    Classification result{kind, std::nullopt};
    if (kind == Kind::ok)
        result.insert = std::move(insert);
    return result;
}

Outcome parseLines(const std::vector<std::string_view>& lines)
{
    Outcome outcome;
    for (const std::string_view line : lines) {
        if (isBlankLine(line))
            continue;
        Classification c = classify(line);
        if (c.kind == Kind::ok)
            outcome.inserts.push_back(std::move(*c.insert));
        else
            count(c.kind, outcome);
    }
    return outcome;
}

void parseTextInto(const PaddedText& text, Outcome& outcome)
{
    parsePaddedRangeInto(text.data(), text.size(), outcome);
}

void parsePaddedRangeInto(const char* data, std::size_t size, Outcome& outcome)
{
    const char* cursor = data;
    const char* const end = cursor + size;
    MessageInsert insert;
    while (cursor < end) {
        const void* found = std::memchr(cursor, '\n', static_cast<std::size_t>(end - cursor));
        const char* lineEnd = found ? static_cast<const char*>(found) : end;
        const char* next = found ? lineEnd + 1 : end;
        if (lineEnd > cursor && lineEnd[-1] == '\r')
            --lineEnd;
        const std::string_view line(cursor, static_cast<std::size_t>(lineEnd - cursor));
        cursor = next;
        if (isBlankLine(line))
            continue;
        // Everything after the line, up to the buffer's padding, is readable.
        const Kind kind = classifyPadded(line.data(), line.size(), insert);
        if (kind == Kind::ok)
            outcome.inserts.push_back(insert);
        else
            count(kind, outcome);
    }
}

Outcome parseText(const PaddedText& text)
{
    Outcome outcome;
    parseTextInto(text, outcome);
    return outcome;
}

} // namespace tallyglass::TranscriptParser
