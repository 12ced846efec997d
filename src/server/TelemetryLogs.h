#pragma once

#include "core/Instant.h"
#include "core/MessageInsert.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyglass::TelemetryLogs {

// What an OTLP/HTTP JSON logs export holds for us: each api_request event of
// Claude Code as one message, and each message another instance sent
// (SentMessages::recordName). Only the model, the five token counts, the
// session, the time, the machine and (from an instance) the message id,
// project and subagent mark are taken; prompts, user and organisation ids
// never leave this function.
struct Batch {
    std::vector<MessageInsert> messages;
    int refused = 0;           // records of ours that could not be read
    std::string firstProblem;  // why the first of them was refused
    int otherEvents = 0;       // records of any other kind, not stored
    int ownMachine = 0;        // an instance's records of this very machine: accepted, not stored
};

// The messages' identity is the session id with the event's sequence number,
// so a batch sent twice stores once. A record's time must lie between
// 2000-01-01 and a day after `now`. Nothing when the body is not an export
// at all (not JSON, or the wrong shape): none of it may be stored then.
// An instance's messages are never stored by the machine they were spent on
// (`ownMachine`): it has them already, and two instances sending to each
// other must not count them twice.
std::optional<Batch> read(std::string_view json, Instant now, std::string_view ownMachine = {});

// The message id of a session's event, apart from any transcript's ids.
std::string messageId(std::string_view sessionId, std::string_view sequence);

// The id an instance's message is stored under: its own id on its machine, so
// that a batch sent twice merges into the same rows and no two machines' ids meet.
std::string sentMessageId(std::string_view machine, std::string_view messageId);

} // namespace tallyglass::TelemetryLogs
