#pragma once

#include "storage/DBError.h"
#include "storage/UsageDatabase.h"

#include <filesystem>
#include <functional>

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

private:
    template <typename R>
    R withReadOnly(const std::function<R(sqlite3*)>& body);

    const std::filesystem::path path_;
};

} // namespace tallyglass
