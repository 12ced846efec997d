#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tallyglass {

// One stored message as it leaves this machine.
struct OutgoingMessage {
    std::int64_t rowid = 0; // where it lies in the file: what is sent goes in this order
    std::string messageId;
    std::string sessionId;
    std::string timestamp;
    std::optional<std::string> model;
    std::int64_t inputTokens = 0;
    std::int64_t outputTokens = 0;
    std::int64_t cacheReadTokens = 0;
    std::int64_t cacheCreationTokens = 0;
    std::int64_t cacheCreation1hTokens = 0;
    double costUsd = 0;
    bool subagent = false;
    std::optional<std::string> project;
};

} // namespace tallyglass
