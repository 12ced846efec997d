#include "storage/WriteDatabase.h"

#include "core/IsoTime.h"
#include "core/SerialQueue.h"
#include "storage/SqliteStatement.h"
#include "storage/WriteDatabaseSupport.h"

#include <array>

// The writer's edits of session rows (active or ended, their project) and its
// history of rate-limit readings; the importers' marks kept with the data.
namespace tallyglass {

namespace {

constexpr const char* setSessionActiveSql =
    "INSERT INTO sessions (sessionId, timestamp, isActive, endedAt) VALUES (?, ?, ?, ?) "
    "ON CONFLICT(sessionId) DO UPDATE SET isActive = excluded.isActive, endedAt = excluded.endedAt";

constexpr const char* cleanupSql = "UPDATE sessions SET isActive = 0 WHERE isActive = 1 AND timestamp < ?";

// Rows not stored yet are left alone: a project makes no session.
constexpr const char* setProjectSql = "UPDATE sessions SET project = ?2 WHERE sessionId = ?1 AND project IS NOT ?2";
constexpr const char* setUnknownProjectSql = "UPDATE sessions SET project = ?2 WHERE sessionId = ?1 AND project IS NULL";

constexpr const char* selectStateSql = "SELECT value FROM app_state WHERE key = ?";
constexpr const char* upsertStateSql =
    "INSERT INTO app_state (key, value) VALUES (?1, ?2) ON CONFLICT(key) DO UPDATE SET value = excluded.value";

constexpr const char* lastReadingSql =
    "SELECT five_hour_utilization, five_hour_resets_at, seven_day_utilization, seven_day_resets_at "
    "FROM limit_readings ORDER BY id DESC LIMIT 1";
constexpr const char* insertReadingSql =
    "INSERT INTO limit_readings (received_at, five_hour_utilization, five_hour_resets_at, seven_day_utilization, "
    "seven_day_resets_at) VALUES (?, ?, ?, ?, ?)";

} // namespace

// A reading that repeats the last one stores nothing: the status line is drawn
// again and again with the same values. The last one is remembered, so that
// repeating costs no query either.
std::optional<WriteDatabase::LimitValues> WriteDatabase::keepLimitReading(const RateLimitWindow& five, const RateLimitWindow& seven,
                                                                          Instant at)
{
    using Values = LimitValues;
    const auto number = [](const std::optional<double>& value) {
        return value ? std::optional<std::string>(std::to_string(*value)) : std::nullopt;
    };
    const Values values{number(five.utilization), five.resetsAt, number(seven.utilization), seven.resetsAt};
    if (!lastReading_) {
        SqliteStatement last = prepare(lastReadingSql);
        if (const int rc = last.step(); rc == SQLITE_ROW) {
            const auto stored = [&](int column) {
                return last.isNull(column) ? std::nullopt : std::optional<std::string>(std::to_string(last.real(column)));
            };
            const auto text = [&](int column) {
                const auto value = last.text(column);
                return value ? std::optional<std::string>(std::string(*value)) : std::nullopt;
            };
            lastReading_ = Values{stored(0), text(1), stored(2), text(3)};
        } else if (rc != SQLITE_DONE) {
            failStep(rc);
        }
    }
    if (lastReading_ && *lastReading_ == values)
        return std::nullopt;
    SqliteStatement insert = prepare(insertReadingSql);
    insert.bindText(1, IsoTime::formatSeconds(at));
    insert.bindOptionalDouble(2, five.utilization);
    insert.bindOptionalText(3, five.resetsAt);
    insert.bindOptionalDouble(4, seven.utilization);
    insert.bindOptionalText(5, seven.resetsAt);
    if (const int rc = insert.step(); rc != SQLITE_DONE)
        failStep(rc);
    return values;
}

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

std::optional<std::string> WriteDatabase::stateValue(const std::string& key)
{
    return queue_->sync([&] {
        std::optional<std::string> value;
        runWithRetry([&] {
            SqliteStatement select = prepare(selectStateSql);
            select.bindText(1, key);
            const int rc = select.step();
            if (rc == SQLITE_ROW && select.text(0))
                value = std::string(*select.text(0));
            else if (rc != SQLITE_ROW && rc != SQLITE_DONE)
                failStep(rc);
        });
        return value;
    });
}

void WriteDatabase::setStateValue(const std::string& key, const std::string& value)
{
    queue_->sync([&] {
        runWithRetry([&] {
            SqliteStatement upsert = prepare(upsertStateSql);
            upsert.bindText(1, key);
            upsert.bindText(2, value);
            if (const int rc = upsert.step(); rc != SQLITE_DONE)
                failStep(rc);
        });
    });
}

} // namespace tallyglass
