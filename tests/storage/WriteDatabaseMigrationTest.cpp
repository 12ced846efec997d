#include "storage/WriteDatabase.h"

#include "support/SqlProbe.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using test::SqlProbe;

// The tables as the first released version wrote them: no subagent flag, no
// active mark or end time, no cost, no one-hour cache writes.
constexpr const char* firstSchema =
    "CREATE TABLE usage_limits (id INTEGER NOT NULL PRIMARY KEY CHECK (id = 1), five_hour_utilization REAL,"
    " five_hour_resets_at TEXT, seven_day_utilization REAL, seven_day_resets_at TEXT, extra_usage_enabled INTEGER,"
    " extra_usage_monthly_limit REAL, extra_usage_used_credits REAL, extra_usage_utilization REAL,"
    " fetched_at TEXT NOT NULL, last_fetch_at TEXT, last_fetch_status TEXT);"
    "CREATE TABLE messages (messageId TEXT NOT NULL PRIMARY KEY, sessionId TEXT NOT NULL, timestamp TEXT NOT NULL,"
    " role TEXT NOT NULL, model TEXT, inputTokens INTEGER NOT NULL DEFAULT 0, outputTokens INTEGER NOT NULL DEFAULT 0,"
    " cacheCreationInputTokens INTEGER NOT NULL DEFAULT 0, cacheReadInputTokens INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE sessions (sessionId TEXT NOT NULL PRIMARY KEY, timestamp TEXT NOT NULL,"
    " totalInputTokens INTEGER NOT NULL DEFAULT 0, totalOutputTokens INTEGER NOT NULL DEFAULT 0);"
    "INSERT INTO messages VALUES ('known', 'S', '2025-01-15T10:00:00Z', 'assistant', 'claude-sonnet-4-6', 1000, 500, 2000, 10000);"
    "INSERT INTO messages VALUES ('dated', 'S', '2025-01-15T10:00:01Z', 'assistant', 'claude-opus-4-1-20250805', 1000000, 0, 0, 0);"
    "INSERT INTO messages VALUES ('unknown', 'S', '2025-01-15T10:00:02Z', 'assistant', 'gpt-4o', 1000, 1000, 0, 0);"
    "INSERT INTO messages VALUES ('null', 'S', '2025-01-15T10:00:03Z', 'assistant', NULL, 1000, 1000, 0, 0);"
    "INSERT INTO messages VALUES ('empty', 'S', '2025-01-15T10:00:04Z', 'assistant', '', 1000, 1000, 0, 0);"
    "INSERT INTO sessions VALUES ('S', '2025-01-15T10:00:00Z', 1003000, 2500);";

std::vector<std::string> dump(const std::filesystem::path& path)
{
    SqlProbe probe(path);
    auto rows = probe.rows("SELECT sql FROM sqlite_master ORDER BY name");
    for (const char* table : {"messages", "sessions", "usage_limits"}) {
        const auto content = probe.rows(std::string("SELECT * FROM ") + table + " ORDER BY 1");
        rows.insert(rows.end(), content.begin(), content.end());
    }
    return rows;
}

TEST(WriteDatabaseMigration, theFirstSchemaGainsEveryColumnAndItsCostsOnce)
{
    const auto path = test::freshDirectory() / "app.db";
    SqlProbe(path).exec(firstSchema);
    WriteDatabase(path).insertMessages({});
    {
        SqlProbe probe(path);
        EXPECT_EQ(probe.rows("SELECT messageId, cost, isSubagent, cacheCreation1hInputTokens FROM messages ORDER BY timestamp"),
                  (std::vector<std::string>{"known|0.021|0|0", "dated|15.0|0|0", "unknown|0.0|0|0", "null|0.0|0|0",
                                            "empty|0.0|0|0"}));
        EXPECT_EQ(probe.value("SELECT isActive || '|' || quote(endedAt) FROM sessions"), "0|NULL");
        // Prove the back-fill never runs again: a changed cost must survive the next open.
        probe.exec("UPDATE messages SET cost = 7.0 WHERE messageId = 'known'");
    }
    const auto migrated = dump(path);
    WriteDatabase reopened(path);
    EXPECT_EQ(dump(path), migrated);
}

TEST(WriteDatabaseMigration, aFileWithCostsButNoOneHourColumnGainsItWithoutRepricing)
{
    const auto path = test::freshDirectory() / "app.db";
    {
        SqlProbe probe(path);
        probe.exec(firstSchema);
        probe.exec("ALTER TABLE messages ADD COLUMN isSubagent INTEGER NOT NULL DEFAULT 0;"
                   "ALTER TABLE sessions ADD COLUMN isActive INTEGER NOT NULL DEFAULT 0;"
                   "ALTER TABLE sessions ADD COLUMN endedAt TEXT;"
                   "ALTER TABLE messages ADD COLUMN cost REAL NOT NULL DEFAULT 0;"
                   "UPDATE messages SET cost = 5.0;");
    }
    WriteDatabase db(path);
    SqlProbe probe(path);
    EXPECT_EQ(probe.rows("SELECT DISTINCT cost || '|' || cacheCreation1hInputTokens FROM messages"), std::vector<std::string>{"5.0|0"});
}

} // namespace
} // namespace tallyglass
