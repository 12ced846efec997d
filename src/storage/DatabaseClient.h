#pragma once

#include "core/TranscriptMark.h"
#include "storage/DBError.h"
#include "storage/LimitReading.h"
#include "storage/ReadConnection.h"
#include "storage/UsageDatabase.h"
#include "storage/OutgoingMessage.h"

#include <filesystem>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

struct sqlite3;

namespace tallyglass {

// Reads app.db through read-only connections (ReadConnection), a fresh one
// per call or one kept between calls, as its owner chooses. WAL lets it read
// while the writer writes; it never writes.
//
// Messages whose time cannot be (Bounds::isPossibleMessageTime, for the
// clock's now at each call) are left out of every read: files written before
// transcripts' times were checked may hold a year 1 or 9999, which would
// stretch every table of days across millennia. They stay in the file and
// are counted by fetchImpossibleTimeCount(); one that is only early for now
// is shown once its time has come.
class DatabaseClient final : public UsageDatabase {
public:
    using WallClock = std::function<Instant()>;

    // `now`: empty for the system's clock. `keeping`: kept for a reader that
    // reads a little often, per read for one that reads much seldom.
    explicit DatabaseClient(std::filesystem::path path, WallClock now = {},
                            ReadConnection::Keeping keeping = ReadConnection::Keeping::perRead);

    std::optional<UsageLimits> fetchUsageLimits() override;
    bool hasAnyMessages() override;
    std::vector<MessageRow> fetchMessagesInWindow(Instant from, Instant to) override;
    std::int64_t fetchActiveSessionCount() override;
    std::vector<DashboardMessage> fetchAllMessages() override;
    StoredHistory fetchHistory() override;
    std::optional<HistoryChanges> fetchHistorySince(const HistoryMark& mark) override;
    // The messages of [from, to) and some either side (open ends: as far as possible times go), in time order.
    std::vector<DashboardMessage> fetchMessagesAround(std::optional<Instant> from, std::optional<Instant> to);
    // The rate-limit readings received in [from, to), in the order they came.
    std::vector<LimitReading> fetchLimitReadings(Instant from, Instant to) override;
    // When the newest stored message was written; nothing when none is stored.
    std::optional<Instant> fetchLatestMessageTime();
    // The assistant messages left out of every read for an impossible time.
    std::int64_t fetchImpossibleTimeCount();
    // Session id to project folder, for the sessions whose project is known.
    std::map<std::string, std::string> fetchSessionProjects();
    // Each model identifier stored with the number of its messages that have
    // tokens (Claude Code's own messages of none name no model that is used);
    // an empty identifier for messages that named none.
    std::vector<std::pair<std::string, std::int64_t>> fetchModelCounts();
    // The machines messages are stored under, sorted; none in a file that
    // records no machine yet.
    std::vector<std::string> fetchMachines();
    // Whether any message was priced with another price list (PriceList::version).
    bool hasMessagesPricedOtherThan(std::int64_t version);
    // Up to `limit` of this machine's messages (none that came by telemetry or
    // from another instance) stored after the row `afterRowid`, in rowid order,
    // each with its session's project when known; times are not checked, the
    // receiver refuses what it cannot store.
    std::vector<OutgoingMessage> fetchMessagesToSend(std::int64_t afterRowid, int limit);
    // An importer's mark (MessageWriter::stateValue); nothing in a file that has none.
    std::optional<std::string> fetchStateValue(const std::string& key);
    // How far each transcript was read (MessageWriter::transcriptMarks); none in a file that keeps none.
    std::vector<TranscriptMark> fetchTranscriptMarks();
    // SQLite's data_version on the kept connection, with the file's inode:
    // a file replaced by a fresh one is a change too.
    std::optional<std::int64_t> changeToken() override;

    DatabaseClient(const DatabaseClient&) = delete;
    DatabaseClient& operator=(const DatabaseClient&) = delete;
    ~DatabaseClient() override = default;

private:
    template <typename R>
    R withReadOnly(const std::function<R(sqlite3*)>& body);
    Instant latestMessageTime() const;

    const WallClock now_;
    ReadConnection connection_;
};

} // namespace tallyglass
