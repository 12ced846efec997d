#include "server/SentMessages.h"

#include "core/IsoTime.h"
#include "core/Utf8.h"

#include <cmath>
#include <cstdio>

namespace tallyglass::SentMessages {

namespace {

// A JSON string literal of `text`, written by hand: a batch has fifteen
// thousand of them, and a document tree for each would cost more than the rest.
void quoted(std::string& out, std::string_view text)
{
    out += '"';
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto c = static_cast<unsigned char>(text[pos]);
        if (c >= 0x80) {
            const std::size_t start = pos;
            char32_t ignored = 0;
            if (Utf8::decode(text, pos, ignored))
                out.append(text.substr(start, pos - start));
            else {
                out += "\xEF\xBF\xBD";
                ++pos;
            }
            continue;
        }
        ++pos;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else
            out += static_cast<char>(c);
    }
    out += '"';
}

void key(std::string& out, const char* name, bool first = false)
{
    out += first ? "{\"key\":\"" : ",{\"key\":\"";
    out += name;
    out += "\",\"value\":{";
}

void text(std::string& out, const char* name, std::string_view value, bool first = false)
{
    key(out, name, first);
    out += "\"stringValue\":";
    quoted(out, value);
    out += "}}";
}

// 64-bit integers are strings in OTLP's JSON.
void integer(std::string& out, const char* name, std::int64_t value)
{
    key(out, name);
    out += "\"intValue\":\"";
    out += std::to_string(value);
    out += "\"}}";
}

void record(std::string& out, const Outgoing& m)
{
    out += '{';
    if (const auto at = IsoTime::parse(m.timestamp)) {
        out += "\"timeUnixNano\":\"";
        out += std::to_string(at->time_since_epoch().count() * 1000);
        out += "\",";
    }
    out += "\"body\":{\"stringValue\":\"";
    out += recordName;
    out += "\"},\"attributes\":[";
    text(out, "event.name", recordName, true);
    text(out, "event.timestamp", m.timestamp);
    text(out, "message.id", m.messageId);
    text(out, "session.id", m.sessionId);
    if (m.model)
        text(out, "model", *m.model);
    integer(out, "input_tokens", m.inputTokens);
    integer(out, "output_tokens", m.outputTokens);
    integer(out, "cache_read_tokens", m.cacheReadTokens);
    integer(out, "cache_creation_tokens", m.cacheCreationTokens);
    integer(out, "cache_creation_1h_tokens", m.cacheCreation1hTokens);
    key(out, "cost_usd");
    char cost[40];
    std::snprintf(cost, sizeof cost, "\"doubleValue\":%.17g}}", std::isfinite(m.costUsd) ? m.costUsd : 0.0);
    out += cost;
    if (m.project)
        text(out, "project", *m.project);
    key(out, "subagent");
    out += m.subagent ? "\"boolValue\":true}}" : "\"boolValue\":false}}";
    out += "]}";
}

} // namespace

std::string exportJson(std::span<const Outgoing> messages, std::string_view machine)
{
    std::string out;
    out.reserve(64 + messages.size() * 900);
    out += "{\"resourceLogs\":[{\"resource\":{\"attributes\":[";
    text(out, "host.name", machine, true);
    text(out, "service.name", "tallyglass");
    out += "]},\"scopeLogs\":[{\"scope\":{\"name\":\"tallyglass\"},\"logRecords\":[";
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (i)
            out += ',';
        record(out, messages[i]);
    }
    out += "]}]}]}";
    return out;
}

} // namespace tallyglass::SentMessages
