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
class DatabaseClient final : public UsageDatabase {
public:
    explicit DatabaseClient(std::filesystem::path path);

    std::optional<UsageLimits> fetchUsageLimits() override;
    bool hasAnyMessages() override;
    std::vector<MessageRow> fetchMessagesInWindow(Instant from, Instant to) override;
    std::int64_t fetchActiveSessionCount() override;
    std::vector<DashboardMessage> fetchAllMessages() override;
    // The messages of [from, to) and some either side (open ends: all), in time order.
    std::vector<DashboardMessage> fetchMessagesAround(std::optional<Instant> from, std::optional<Instant> to);
    // The rate-limit readings received in [from, to), in the order they came.
    std::vector<LimitReading> fetchLimitReadings(Instant from, Instant to) override;
    // When the newest stored message was written; nothing when none is stored.
    std::optional<Instant> fetchLatestMessageTime();
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

    const std::filesystem::path path_;
    std::mutex probeMutex_;
    sqlite3* probe_ = nullptr; // opened on the first changeToken()
    std::uint64_t probeInode_ = 0;
};

} // namespace tallyglass
