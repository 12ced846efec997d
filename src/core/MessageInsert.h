#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tallyglass {

// One assistant message, ready to be priced and stored. The timestamp is kept
// exactly as the transcript wrote it, because the database compares timestamps
// as text and must see what Claude Code wrote.
struct MessageInsert {
    std::string messageId;
    std::string sessionId;
    std::string timestamp;
    std::string role;
    std::optional<std::string> model;
    std::int64_t inputTokens = 0;
    std::int64_t outputTokens = 0;
    std::int64_t cacheCreationInputTokens = 0;
    std::int64_t cacheReadInputTokens = 0;
    bool isSubagent = false;
    // The share of cacheCreationInputTokens written with the one-hour lifetime
    // (0...cacheCreationInputTokens), priced at its own, higher rate.
    std::int64_t cacheCreation1hInputTokens = 0;
    // The machine the message was spent on; empty for this one (the writer's name for it).
    std::string machine;
    // Reported by a telemetry exporter rather than read from a transcript:
    // such a message counts only while no transcript of its session is stored.
    bool fromTelemetry = false;
    // The folder the session worked in, when the message came with one (from
    // another instance); stored for a session whose project is not known yet.
    std::string project;

    bool operator==(const MessageInsert&) const = default;
};

} // namespace tallyglass
