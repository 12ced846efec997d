#pragma once

#include "core/Instant.h"
#include "storage/DashboardMessage.h"
#include "storage/LimitReading.h"
#include "storage/MessageRow.h"
#include "storage/StoredHistory.h"
#include "storage/UsageLimits.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tallyglass {

// What the overlay and the report read. Every call may throw (DBError for the
// file-backed client).
class UsageDatabase {
public:
    virtual ~UsageDatabase() = default;

    virtual std::optional<UsageLimits> fetchUsageLimits() = 0;
    virtual bool hasAnyMessages() = 0;
    // Assistant messages with from <= timestamp < to, oldest first.
    virtual std::vector<MessageRow> fetchMessagesInWindow(Instant from, Instant to) = 0;
    virtual std::int64_t fetchActiveSessionCount() = 0;
    // Every assistant message ever stored, oldest first (the file-backed client
    // leaves out those whose time cannot be).
    virtual std::vector<DashboardMessage> fetchAllMessages() = 0;
    // The same with each message's row and where the copy stands; a database
    // without rows gives the messages alone, and a mark that is not exact.
    virtual StoredHistory fetchHistory() { return {fetchAllMessages(), {}, {}}; }
    // What was stored or rewritten since `mark`, or nothing when only a whole
    // read can tell (the mark is not exact, the file was replaced, or too many
    // older rows were rewritten to be worth reading one by one).
    virtual std::optional<HistoryChanges> fetchHistorySince(const HistoryMark&) { return std::nullopt; }
    // A value that differs whenever anything stored has changed since it was
    // last asked, so a reader can skip reading again; nothing when the
    // database cannot tell, and then every read must be a full one.
    virtual std::optional<std::int64_t> changeToken() { return std::nullopt; }
    // The rate-limit readings received in [from, to), in the order they came; none by default.
    virtual std::vector<LimitReading> fetchLimitReadings(Instant, Instant) { return {}; }
};

} // namespace tallyglass
