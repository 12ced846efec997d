#pragma once

#include "storage/DBError.h"
#include "storage/LimitReading.h"
#include "storage/UsageDatabase.h"

#include <filesystem>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <mutex>

struct sqlite3;

namespace tallyglass {

// Reads app.db through a fresh connection per call, opened without the create
// flag, so a missing file fails instead of appearing. WAL lets it read while
// the writer writes; it never writes.
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

    // `now`: empty for the system's clock.
    explicit DatabaseClient(std::filesystem::path path, WallClock now = {});

    std::optional<UsageLimits> fetchUsageLimits() override;
    bool hasAnyMessages() override;
    std::vector<MessageRow> fetchMessagesInWindow(Instant from, Instant to) override;
    std::int64_t fetchActiveSessionCount() override;
    std::vector<DashboardMessage> fetchAllMessages() override;
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
    // An importer's mark (MessageWriter::stateValue); nothing in a file that has none.
    std::optional<std::string> fetchStateValue(const std::string& key);
    // SQLite's data_version on a connection kept for it, with the file's inode:
    // a file replaced by a fresh one is a change too.
    std::optional<std::int64_t> changeToken() override;

    DatabaseClient(const DatabaseClient&) = delete;
    DatabaseClient& operator=(const DatabaseClient&) = delete;
    ~DatabaseClient() override;

private:
    template <typename R>
    R withReadOnly(const std::function<R(sqlite3*)>& body);
    Instant latestMessageTime() const;

    const std::filesystem::path path_;
    const WallClock now_;
    std::mutex probeMutex_;
    sqlite3* probe_ = nullptr; // opened on the first changeToken()
    std::uint64_t probeInode_ = 0;
};

} // namespace tallyglass
