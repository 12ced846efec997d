#include "core/IsoTime.h"
#include "pricing/ModelPricingCatalog.h"
#include "storage/DatabaseClient.h"
#include "storage/WriteDatabase.h"

#include "support/SqlProbe.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <thread>

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

// Every row of an older file was read from this machine's transcripts.
TEST(WriteDatabaseMigration, theFirstSchemaGainsEveryColumnItsCostsOnceAndThisMachine)
{
    const auto path = test::freshDirectory() / "app.db";
    SqlProbe(path).exec(firstSchema);
    WriteDatabase::Options options;
    options.machineName = "desk";
    WriteDatabase(path, options).waitForRepricing();
    {
        SqlProbe probe(path);
        EXPECT_EQ(probe.rows("SELECT messageId, cost, isSubagent, cacheCreation1hInputTokens, pricedWith, machine, "
                             "fromTelemetry FROM messages ORDER BY timestamp"),
                  (std::vector<std::string>{"known|0.021|0|0|2|desk|0", "dated|15.0|0|0|2|desk|0", "unknown|0.0|0|0|2|desk|0",
                                            "null|0.0|0|0|2|desk|0", "empty|0.0|0|0|2|desk|0"}));
        EXPECT_EQ(probe.value("SELECT isActive || '|' || quote(endedAt) || '|' || machine FROM sessions"), "0|NULL|desk");
        // Prove the pricing never runs again: a changed cost must survive the next open.
        probe.exec("UPDATE messages SET cost = 7.0 WHERE messageId = 'known'");
    }
    const auto migrated = dump(path);
    WriteDatabase(path).waitForRepricing();
    EXPECT_EQ(dump(path), migrated);
}

// An older file has no projects: readers of it see none, its first writer adds
// the column, and a project is stored only for a session that exists, and
// kept from a guess when asked to.
TEST(WriteDatabaseMigration, sessionsOfAnOlderFileGainTheirProjects)
{
    const auto path = test::freshDirectory() / "app.db";
    SqlProbe(path).exec(firstSchema);
    EXPECT_TRUE(DatabaseClient(path).fetchSessionProjects().empty());
    WriteDatabase writer(path);
    writer.setSessionProjects({{"S", "/home/ada/shop"}, {"never-stored", "/elsewhere"}}, true);
    writer.setSessionProjects({{"S", "/guessed/from/folder"}}, true);
    EXPECT_EQ(DatabaseClient(path).fetchSessionProjects(), (std::map<std::string, std::string>{{"S", "/home/ada/shop"}}));
    writer.setSessionProjects({{"S", "/home/ada/shop/web"}}, false);
    EXPECT_EQ(SqlProbe(path).value("SELECT COUNT(*) || '|' || project FROM sessions"), "1|/home/ada/shop/web");
}

// An older file gains the history of rate-limit readings as a table of its own
// (readers of it before then see none); a reading that repeats the last one,
// as a status line drawn again does, stores nothing, across a reopening too.
TEST(WriteDatabaseMigration, theLimitHistoryKeepsEachChangedReadingOnce)
{
    const auto path = test::freshDirectory() / "app.db";
    SqlProbe(path).exec(firstSchema);
    const Instant t0 = *IsoTime::parse("2026-12-06T10:00:00Z");
    EXPECT_TRUE(DatabaseClient(path).fetchLimitReadings(t0, t0 + std::chrono::hours(1)).empty());
    const RateLimitWindow five{40.0, "2026-12-06T14:00:00Z"};
    const RateLimitWindow seven{10.0, std::nullopt};
    {
        WriteDatabase writer(path);
        for (int i = 0; i < 3; ++i)
            writer.upsertRateLimits(five, seven, t0 + std::chrono::seconds(i));
        writer.upsertRateLimits({41.0, five.resetsAt}, seven, t0 + std::chrono::seconds(10));
    }
    WriteDatabase reopened(path);
    reopened.upsertRateLimits({41.0, five.resetsAt}, seven, t0 + std::chrono::seconds(20));
    const auto readings = DatabaseClient(path).fetchLimitReadings(t0, t0 + std::chrono::hours(1));
    ASSERT_EQ(readings.size(), 2u);
    EXPECT_EQ(readings[0], (LimitReading{t0, 40.0, IsoTime::parse("2026-12-06T14:00:00Z"), 10.0, std::nullopt}));
    EXPECT_EQ(readings[1].at, t0 + std::chrono::seconds(10));
    EXPECT_EQ(SqlProbe(path).value("SELECT fetched_at FROM usage_limits"), "2026-12-06T10:00:20Z"); // the latest row still moves
}

// Closing the writer while it prices a long history again (an import that
// ends quickly, a quit in the first second) ends the pass cleanly; the next
// open finishes it.
TEST(WriteDatabaseMigration, closingDuringThePricingPassEndsItCleanlyAndTheNextOpenFinishesIt)
{
    const auto path = test::freshDirectory() / "app.db";
    WriteDatabase(path).waitForRepricing(); // today's schema
    SqlProbe(path).exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 70000) "
                        "INSERT INTO messages (messageId, sessionId, timestamp, role, model, inputTokens, outputTokens, "
                        "cacheCreationInputTokens, cacheReadInputTokens, pricedWith) "
                        "SELECT 'm' || i, 'S', '2025-01-15T10:00:00Z', 'assistant', 'claude-opus-4-6', 1000, 500, 0, 0, 0 FROM n;");
    for (int i = 0; i < 8; ++i) {
        WriteDatabase db(path);
        std::this_thread::sleep_for(std::chrono::milliseconds(2 * i)); // closes somewhere in the middle of a step
    }
    WriteDatabase(path).waitForRepricing();
    SqlProbe probe(path);
    EXPECT_EQ(probe.value("SELECT COUNT(*) || '|' || MIN(pricedWith) || '|' || COUNT(DISTINCT cost) FROM messages"),
              "70000|" + std::to_string(ModelPricingCatalog::version) + "|1");
    EXPECT_DOUBLE_EQ(std::stod(probe.value("SELECT cost FROM messages LIMIT 1")),
                     ModelPricingCatalog::cost("claude-opus-4-6", 1000, 500, 0, 0, 0));
}

// The last release stored Sonnet 4 and the Claude 3 models at $0 and did not
// record which price list it used: every message is priced once more, and
// nothing is lost or counted twice.
TEST(WriteDatabaseMigration, aFileOfTheLastReleaseIsPricedAgainOnceWithEveryCountKept)
{
    const auto path = test::freshDirectory() / "app.db";
    SqlProbe(path).exec(std::string(firstSchema)
                        + "ALTER TABLE messages ADD COLUMN isSubagent INTEGER NOT NULL DEFAULT 0;"
                          "ALTER TABLE sessions ADD COLUMN isActive INTEGER NOT NULL DEFAULT 0;"
                          "ALTER TABLE sessions ADD COLUMN endedAt TEXT;"
                          "ALTER TABLE messages ADD COLUMN cost REAL NOT NULL DEFAULT 0;"
                          "ALTER TABLE messages ADD COLUMN cacheCreation1hInputTokens INTEGER NOT NULL DEFAULT 0;"
                          "INSERT INTO messages VALUES ('sonnet4', 'T', '2025-06-01T10:00:00Z', 'assistant', "
                          "'claude-sonnet-4-20250514', 1000, 500, 2000, 10000, 0, 0.0, 0);"
                          "INSERT INTO messages VALUES ('haiku35', 'T', '2025-06-01T10:00:01Z', 'assistant', "
                          "'claude-3-5-haiku-20241022', 1000000, 0, 0, 0, 1, 0.0, 0);"
                          "INSERT INTO messages VALUES ('huge', 'T', '2025-06-01T10:00:02Z', 'assistant', "
                          "'claude-opus-4-6', 9223372036854775807, 0, 0, 0, 0, 0.0, 0);"
                          "INSERT INTO sessions VALUES ('T', '2025-06-01T10:00:00Z', 9223372036854775807, 500, 0, NULL);"
                          "UPDATE messages SET cost = 5.0 WHERE messageId = 'known';");
    const std::string counts = "SELECT COUNT(*) || '|' || SUM(inputTokens) || '|' || SUM(outputTokens) || '|' || "
                               "SUM(cacheCreationInputTokens) || '|' || SUM(cacheReadInputTokens) FROM messages "
                               "WHERE messageId <> 'huge'";
    const std::string before = SqlProbe(path).value(counts);
    {
        WriteDatabase db(path);
        db.waitForRepricing();
        // What the writer stores meanwhile is priced with the current list and stays so.
        db.insertMessages({});
    }
    SqlProbe probe(path);
    EXPECT_EQ(probe.value(counts), before);
    EXPECT_EQ(probe.rows("SELECT messageId || '|' || cost FROM messages ORDER BY messageId"),
              (std::vector<std::string>{"dated|15.0", "empty|0.0", "haiku35|0.8", "huge|5000000.0", "known|0.021",
                                        "null|0.0", "sonnet4|0.021", "unknown|0.0"}));
    EXPECT_EQ(probe.value("SELECT inputTokens FROM messages WHERE messageId = 'huge'"), "1000000000000");
    EXPECT_EQ(probe.value("SELECT totalInputTokens FROM sessions WHERE sessionId = 'T'"), "1000001001000"); // 10^12 + 1,000 + 1,000,000
    EXPECT_EQ(probe.value("SELECT COUNT(*) FROM messages WHERE pricedWith <> 2"), "0");
}

} // namespace
} // namespace tallyglass
