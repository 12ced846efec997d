#include "storage/WriteDatabase.h"

#include "core/IsoTime.h"
#include "core/SerialQueue.h"
#include "storage/SqliteStatement.h"
#include "storage/WriteDatabaseSupport.h"

// The writer's edits of session rows: active or ended, and their project.
namespace tallyglass {

namespace {

constexpr const char* setSessionActiveSql =
    "INSERT INTO sessions (sessionId, timestamp, isActive, endedAt) VALUES (?, ?, ?, ?) "
    "ON CONFLICT(sessionId) DO UPDATE SET isActive = excluded.isActive, endedAt = excluded.endedAt";

constexpr const char* cleanupSql = "UPDATE sessions SET isActive = 0 WHERE isActive = 1 AND timestamp < ?";

// Rows not stored yet are left alone: a project makes no session.
constexpr const char* setProjectSql = "UPDATE sessions SET project = ?2 WHERE sessionId = ?1 AND project IS NOT ?2";
constexpr const char* setUnknownProjectSql = "UPDATE sessions SET project = ?2 WHERE sessionId = ?1 AND project IS NULL";

} // namespace

void WriteDatabase::setSessionActive(const std::string& sessionId, bool active)
{
    queue_->sync([&] {
        runWithRetry([&] {
            SqliteStatement statement = prepare(setSessionActiveSql);
            const std::string now = nowText();
            statement.bindText(1, sessionId);
            statement.bindText(2, now);
            statement.bindInt64(3, active ? 1 : 0);
            if (active)
                statement.bindNull(4);
            else
                statement.bindText(4, now);
            if (const int rc = statement.step(); rc != SQLITE_DONE)
                failStep(rc);
        });
    });
}

void WriteDatabase::cleanupStaleActiveSessions(double olderThanSeconds)
{
    queue_->sync([&] {
        runWithRetry([&] {
            const Instant cutoff = options_.clock() - std::chrono::microseconds(static_cast<std::int64_t>(olderThanSeconds * 1e6));
            SqliteStatement statement = prepare(cleanupSql);
            statement.bindText(1, IsoTime::formatSeconds(cutoff));
            if (const int rc = statement.step(); rc != SQLITE_DONE)
                failStep(rc);
        });
    });
}

void WriteDatabase::setSessionProjects(const std::vector<std::pair<std::string, std::string>>& projects, bool onlyUnknown)
{
    if (projects.empty())
        return;
    queue_->sync([&] {
        runWithRetry([&] {
            WriteDatabaseSupport::inTransaction(handle_, [this](const char* sql) { exec(sql); }, [&] {
                SqliteStatement statement = prepare(onlyUnknown ? setUnknownProjectSql : setProjectSql);
                for (const auto& [sessionId, project] : projects) {
                    statement.resetAndClear();
                    statement.bindText(1, sessionId);
                    statement.bindText(2, project);
                    if (const int rc = statement.step(); rc != SQLITE_DONE)
                        failStep(rc);
                }
            });
        });
    });
}

} // namespace tallyglass
