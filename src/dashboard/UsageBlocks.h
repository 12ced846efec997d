#pragma once

#include "core/Instant.h"
#include "dashboard/MessageList.h"
#include "dashboard/TerminalReport.h"

#include <optional>
#include <vector>

namespace tallyglass::UsageBlocks {

// Five-hour blocks of use, as people who watch their usage limits count them:
// a block starts at its first message's time rounded down to the whole UTC
// hour and lasts five hours; a message more than five hours after the block's
// start, or more than five hours after the message before it, starts the next
// one. Exactly five hours still belongs to the block, so a block's figures
// never depend on where a message lands within a second of its end.

constexpr auto length = std::chrono::hours(5);

struct BurnRate {
    double tokensPerMinute = 0;
    double costPerHour = 0;
    bool operator==(const BurnRate&) const = default;
};

// What the block will have come to at its end if use goes on at its burn rate.
struct Projection {
    std::int64_t tokens = 0;
    double cost = 0;
    bool operator==(const Projection&) const = default;
};

struct Block {
    Instant start;
    Instant end; // start + five hours
    Instant firstActivity;
    Instant lastActivity;
    bool active = false; // now is inside it and its last message is less than five hours old
    TerminalReport::Figures figures;
    bool priced = false; // some message has a price: otherwise its cost is unknown, not zero
    std::optional<BurnRate> burnRate; // the active block only
    std::optional<Projection> projection; // the active block only
    bool operator==(const Block&) const = default;
};

// The blocks of `messages` (any order), oldest first, seen at `now`.
std::vector<Block> group(MessageList messages, Instant now);

// The block active at `now`, if any, as `group` finds it. Blocks never
// overlap, so in a history in time order (`sorted`) only the last block to
// start by now can be going on: its start is found from the messages' times
// alone, from the last pause of over five hours that ended five hours or more
// before now, and only its own messages are added up.
std::optional<Block> active(std::span<const DashboardMessage> messages, Instant now, bool sorted);

} // namespace tallyglass::UsageBlocks
