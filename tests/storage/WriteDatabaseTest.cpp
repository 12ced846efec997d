#include "storage/WriteDatabase.h"

#include "storage/SqliteStatement.h"
#include "support/Instants.h"
#include "support/SqlProbe.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <functional>

namespace tallyglass {
namespace {

using test::SqlProbe;

constexpr auto at = &test::t;

MessageInsert message(std::string id, std::string session, std::string timestamp, std::int64_t input = 10,
                      std::int64_t output = 20, std::optional<std::string> model = "claude-sonnet-4-6",
                      std::int64_t cacheCreation = 0, std::int64_t cacheRead = 0)
{
    return {.messageId = std::move(id), .sessionId = std::move(session), .timestamp = std::move(timestamp),
            .role = "assistant", .model = std::move(model), .inputTokens = input, .outputTokens = output,
            .cacheCreationInputTokens = cacheCreation, .cacheReadInputTokens = cacheRead, .machine = {}, .project = {}};
}

class WriteDatabaseTest : public ::testing::Test {
protected:
    std::filesystem::path dir = test::freshDirectory();
    std::filesystem::path path = dir / "config" / "tallyglass" / "app.db";
    Instant now = at("2025-01-15T10:30:00Z");

    std::unique_ptr<WriteDatabase> open()
    {
        return std::make_unique<WriteDatabase>(path, WriteDatabase::Options{[this] { return now; }, std::chrono::seconds(30)});
    }
};

TEST_F(WriteDatabaseTest, openingCreatesTheDirectoryAndTheSchemaAndReopeningChangesNothing)
{
    open();
    ASSERT_TRUE(std::filesystem::exists(path));
    SqlProbe probe(path);
    const auto schema = probe.rows("SELECT type, name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%' ORDER BY name");
    EXPECT_EQ(schema, (std::vector<std::string>{"table|app_state", "index|idx_limit_readings_received_at", "index|idx_messages_sessionId",
                                                "index|idx_messages_timestamp",
                                                "index|idx_messages_zonedTimestamp", "table|limit_readings", "table|message_changes",
                                                "trigger|message_changes_kept", "trigger|message_deleted",
                                                "trigger|message_rewritten", "table|messages", "table|sent_marks",
                                                "table|sessions", "table|transcript_marks", "table|usage_limits"}));
    EXPECT_EQ(probe.value("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(probe.rows("SELECT name FROM pragma_table_info('messages')"),
              (std::vector<std::string>{"messageId", "sessionId", "timestamp", "role", "model", "inputTokens", "outputTokens",
                                        "cacheCreationInputTokens", "cacheReadInputTokens", "isSubagent", "cost",
                                        "cacheCreation1hInputTokens", "pricedWith", "machine", "fromTelemetry"}));
    const auto before = probe.rows("SELECT sql FROM sqlite_master ORDER BY name");
    open();
    EXPECT_EQ(probe.rows("SELECT sql FROM sqlite_master ORDER BY name"), before);
}

TEST_F(WriteDatabaseTest, errorsRenderAsTheirCaseAndTheQuotedSqliteText)
{
    EXPECT_EQ(WriteError(WriteError::Kind::executeFailed, "near \"x\": syntax error").description(),
              "executeFailed(\"near \\\"x\\\": syntax error\")");
}

TEST_F(WriteDatabaseTest, aBatchStoresPricedMessagesAndOneSessionRowPerSession)
{
    auto db = open();
    db->insertMessages({message("m1", "A", "2025-01-15T10:00:05Z", 1000, 500, "claude-sonnet-4-6", 2000, 10000),
                        message("m2", "A", "2025-01-15T10:00:01Z", 5, 6), message("m3", "B", "2025-01-15T11:00:00Z", 7, 8)});
    db->insertBackfillMessages({message("m4", "C", "2025-01-14T09:00:00Z", 1, 1, std::nullopt)});

    SqlProbe probe(path);
    EXPECT_EQ(probe.value("SELECT cost FROM messages WHERE messageId = 'm1'"), "0.021");
    EXPECT_EQ(probe.value("SELECT quote(model) || '|' || cost FROM messages WHERE messageId = 'm4'"), "NULL|0.0");
    EXPECT_EQ(probe.rows("SELECT sessionId, timestamp, totalInputTokens, totalOutputTokens, isActive, quote(endedAt) FROM sessions ORDER BY sessionId"),
              (std::vector<std::string>{"A|2025-01-15T10:00:01Z|1005|506|1|NULL", "B|2025-01-15T11:00:00Z|7|8|1|NULL",
                                        "C|2025-01-14T09:00:00Z|1|1|0|NULL"}));

    // A later batch recomputes totals from everything stored, keeps the first timestamp,
    // and the history import leaves an active session active.
    db->insertBackfillMessages({message("m5", "A", "2025-01-01T00:00:00Z", 100, 100)});
    EXPECT_EQ(probe.value("SELECT timestamp || '|' || totalInputTokens || '|' || isActive FROM sessions WHERE sessionId = 'A'"),
              "2025-01-15T10:00:01Z|1105|1");
}

TEST_F(WriteDatabaseTest, sessionMarksTheStaleSessionCleanupAndLiveMessagesReactivateOnlySessionsThatHaveNotEnded)
{
    auto db = open();
    db->setSessionActive("s", true);
    SqlProbe probe(path);
    EXPECT_EQ(probe.value("SELECT timestamp || '|' || totalInputTokens || '|' || isActive || '|' || quote(endedAt) FROM sessions"),
              "2025-01-15T10:30:00Z|0|1|NULL");
    now = at("2025-01-15T12:00:00Z");
    db->setSessionActive("s", false);
    EXPECT_EQ(probe.value("SELECT timestamp || '|' || isActive || '|' || endedAt FROM sessions"), "2025-01-15T10:30:00Z|0|2025-01-15T12:00:00Z");
    db->setSessionActive("s", true);
    EXPECT_EQ(probe.value("SELECT isActive || '|' || quote(endedAt) FROM sessions"), "1|NULL");

    now = at("2025-01-14T09:00:00Z");
    db->setSessionActive("old", true);   // first recorded 25 hours before the cleanup
    now = at("2025-01-14T11:00:00Z");
    db->setSessionActive("young", true); // 23 hours before
    db->setSessionActive("ended", false);
    now = at("2025-01-15T10:00:00Z");
    db->cleanupStaleActiveSessions(86'400);
    EXPECT_EQ(probe.rows("SELECT sessionId, isActive FROM sessions ORDER BY sessionId"),
              (std::vector<std::string>{"ended|0", "old|0", "s|1", "young|1"}));

    // The cleanup marked "old" inactive without ending it: a live message makes it active again, not "ended".
    db->insertMessages({message("m1", "ended", "2025-01-15T10:31:00Z"), message("m2", "old", "2025-01-15T10:31:00Z")});
    EXPECT_EQ(probe.rows("SELECT sessionId, isActive, quote(endedAt) FROM sessions WHERE sessionId IN ('ended', 'old') ORDER BY sessionId"),
              (std::vector<std::string>{"ended|0|'2025-01-14T11:00:00Z'", "old|1|NULL"}));
}

TEST_F(WriteDatabaseTest, rateLimitsKeepOneRowWithTheLatestPayloadWhole)
{
    auto db = open();
    db->upsertRateLimits({42.0, "2025-01-01T00:00:00Z"}, {7.5, "2025-01-07T00:00:00Z"}, at("2025-01-01T00:00:00Z"));
    db->upsertRateLimits({43.5, "2025-01-01T05:00:00Z"}, {}, at("2025-01-01T01:02:03.900Z"));
    SqlProbe probe(path);
    EXPECT_EQ(probe.rows("SELECT id, five_hour_utilization, five_hour_resets_at, quote(seven_day_utilization), "
                         "quote(seven_day_resets_at), fetched_at, last_fetch_at, last_fetch_status FROM usage_limits"),
              (std::vector<std::string>{"1|43.5|2025-01-01T05:00:00Z|NULL|NULL|2025-01-01T01:02:03Z|2025-01-01T01:02:03Z|ok"}));
}

TEST_F(WriteDatabaseTest, aRepeatedMessageKeepsTheLargerOfEachCountAndIsRepriced)
{
    // A streaming snapshot first, the final usage later, then the snapshot again.
    const auto snapshot = message("msg", "S", "2025-01-15T10:00:00Z", 3, 1, "claude-sonnet-4-6", 1000, 5000);
    // A count may also be lower in the later line (here the cache reads): it never goes down.
    auto final = message("msg", "other-session", "2025-01-15T10:00:09Z", 3, 800, "claude-opus-4-6", 1000, 4000);
    final.cacheCreation1hInputTokens = 600;
    final.isSubagent = true;
    final.role = "other";

    const auto stored = [this](const std::vector<std::vector<MessageInsert>>& batches) {
        std::filesystem::remove_all(path.parent_path());
        auto db = open();
        for (const auto& batch : batches)
            db->insertMessages(batch);
        SqlProbe probe(path);
        return probe.rows("SELECT messageId, sessionId, timestamp, role, model, inputTokens, outputTokens, "
                          "cacheCreationInputTokens, cacheReadInputTokens, cacheCreation1hInputTokens, isSubagent, cost FROM messages");
    };
    // Sonnet prices: 3*3 + 800*15 + 400*3.75 + 600*6 + 5000*0.3 = 18,609 per million.
    const std::vector<std::string> expected = {
        "msg|S|2025-01-15T10:00:00Z|assistant|claude-sonnet-4-6|3|800|1000|5000|600|0|0.018609"};
    EXPECT_EQ(stored({{snapshot}, {final}, {snapshot}}), expected);
    EXPECT_EQ(stored({{snapshot, final, snapshot}}), expected);
    // The same lines in the other order store the other line's identity, but the same counts.
    const auto reversed = stored({{final, snapshot}});
    ASSERT_EQ(reversed.size(), 1u);
    EXPECT_NE(reversed[0].find("|3|800|1000|5000|600|"), std::string::npos) << reversed[0];
    // And the session totals follow the merged counts.
    SqlProbe probe(path);
    EXPECT_EQ(probe.value("SELECT totalOutputTokens FROM sessions WHERE sessionId = 'other-session'"), "800");
}

TEST_F(WriteDatabaseTest, anIdenticalRepeatChangesNothing)
{
    auto db = open();
    db->insertMessages({message("m", "S", "2025-01-15T10:00:00Z", 5, 5)});
    SqlProbe probe(path);
    probe.exec("UPDATE messages SET cost = 123.0"); // a stored cost is left alone when nothing grew
    db->insertMessages({message("m", "S", "2025-01-15T10:00:00Z", 5, 5)});
    EXPECT_EQ(probe.value("SELECT cost FROM messages"), "123.0");
}

TEST_F(WriteDatabaseTest, anyTextIsStoredAsGivenAndAbsurdCountsAreHeldToWhatARequestCanCarry)
{
    auto db = open();
    const std::string huge(1 << 20, 'x');
    auto m = message("id'); DROP TABLE messages; --", "s\"e\\s\xF0\x9F\x98\x80", "2025-01-15T10:00:00Z", -5, INT64_MAX, huge,
                     INT64_MAX, INT64_MIN);
    m.cacheCreation1hInputTokens = INT64_MAX;
    // A file from before counts were bounded may already hold a count at the top of the range. It is
    // written once the pricing pass of the open is over, which would otherwise hold it to the bound
    // first (and log that) whenever it ran after this insert.
    db->waitForRepricing();
    SqlProbe(path).exec("INSERT INTO messages (messageId, sessionId, timestamp, role, outputTokens) "
                        "VALUES ('old', 's\"e\\s\xF0\x9F\x98\x80', '2025-01-15T09:00:00Z', 'assistant', 9223372036854775807)");
    testing::internal::CaptureStderr();
    db->insertMessages({m});
    db->insertMessages({message("next", m.sessionId, "2025-01-15T11:00:00Z", 0, INT64_MAX)});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[tallyglass] token counts outside 0\u20261000000000000 were held to that range (first in message "
                  + m.messageId + ")\n");
    SqlProbe probe(path);
    EXPECT_EQ(probe.value("SELECT COUNT(*) FROM messages WHERE messageId = 'id''); DROP TABLE messages; --'"), "1");
    EXPECT_EQ(probe.value("SELECT COUNT(DISTINCT sessionId) FROM messages"), "1");
    EXPECT_EQ(probe.value("SELECT length(model) FROM messages WHERE messageId LIKE 'id%'"), std::to_string(huge.size()));
    EXPECT_EQ(probe.value("SELECT inputTokens || '|' || outputTokens || '|' || cacheReadInputTokens || '|' || "
                          "cacheCreationInputTokens || '|' || cacheCreation1hInputTokens FROM messages WHERE messageId <> 'old' "
                          "AND messageId <> 'next'"),
              "0|1000000000000|0|1000000000000|1000000000000");
    // The session's totals are summed without overflowing, whatever the file held.
    EXPECT_EQ(probe.value("SELECT totalOutputTokens FROM sessions"), "9000000000000000000");
}

TEST_F(WriteDatabaseTest, aMessageThatCannotBeStoredIsSkippedAndTheRestOfItsBatchLands)
{
    auto db = open();
    SqlProbe(path).exec("CREATE TRIGGER refuse BEFORE INSERT ON messages WHEN NEW.messageId = 'boom' "
                        "BEGIN SELECT RAISE(ABORT, 'refused by test'); END;");
    testing::internal::CaptureStderr();
    db->insertMessages({message("a", "S", "2025-01-15T10:00:00Z"), message("boom", "S", "2025-01-15T10:00:01Z"),
                        message("c", "S", "2025-01-15T10:00:02Z")});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[tallyglass] message boom could not be stored and was skipped: stepFailed(\"refused by test\")\n");
    SqlProbe probe(path);
    EXPECT_EQ(probe.value("SELECT group_concat(messageId) FROM messages"), "a,c");
    EXPECT_EQ(probe.value("SELECT totalInputTokens FROM sessions WHERE sessionId = 'S'"), "20");
}

TEST_F(WriteDatabaseTest, aTransientLockIsRetriedOnceAndALastingOneReachesTheCaller)
{
    // Another connection holds the lock through the writer's first attempt (and SQLite's busy wait);
    // in the transient case it lets go while the writer pauses before its one retry.
    std::function<void()> duringThePause;
    int pauses = 0;
    WriteDatabase::Options options{[this] { return now; }, std::chrono::seconds(30)};
    options.retryPause = [&] {
        ++pauses;
        if (duringThePause)
            duringThePause();
    };
    WriteDatabase db(path, options);
    db.waitForRepricing(); // only the writes below meet the lock
    SqlProbe holder(path);
    holder.exec("BEGIN IMMEDIATE;");
    duringThePause = [&] { holder.exec("COMMIT;"); };
    EXPECT_NO_THROW(db.insertMessages({message("a", "S", "2025-01-15T10:00:00Z")}));
    EXPECT_EQ(pauses, 1);

    duringThePause = nullptr;
    holder.exec("BEGIN IMMEDIATE;");
    try {
        db.insertMessages({message("b", "S", "2025-01-15T10:00:00Z")});
        FAIL() << "the lock outlasted the retry";
    } catch (const WriteError& error) {
        EXPECT_EQ(error.description(), "stepFailed(\"database is locked\")");
        EXPECT_EQ(error.primaryCode(), SQLITE_BUSY); // what retries are decided by
    }
    EXPECT_EQ(pauses, 2);
    holder.exec("COMMIT;");
}

// Marks come back as stored, bytes and all, and a later mark of a path replaces the earlier.
// One session reaching us by transcript and by telemetry counts once, as the
// transcript has it, whichever arrives first; a telemetry batch sent twice stores once.
TEST_F(WriteDatabaseTest, aSessionsTranscriptWinsOverItsTelemetryInEitherOrder)
{
    const auto telemetry = [](std::string id, std::string session) {
        MessageInsert m = message(std::move(id), std::move(session), "2025-01-15T09:00:00.000Z", 1000, 1000);
        m.fromTelemetry = true;
        m.machine = "box";
        return m;
    };
    const std::vector<MessageInsert> exported{telemetry("otel:A#1", "A"), telemetry("otel:A#2", "A"),
                                              telemetry("otel:B#1", "B"), telemetry("otel:C#1", "C")};
    const std::vector<MessageInsert> transcripts{message("a1", "A", "2025-01-15T09:00:00Z"),
                                                 message("b1", "B", "2025-01-15T09:00:00Z")};
    for (const bool telemetryFirst : {true, false}) {
        SCOPED_TRACE(telemetryFirst ? "telemetry first" : "transcript first");
        std::filesystem::remove_all(path.parent_path());
        {
            WriteDatabase::Options options{[this] { return now; }, std::chrono::seconds(30)};
            options.machineName = "desk";
            WriteDatabase writer(path, options);
            if (telemetryFirst) {
                writer.insertBackfillMessages(exported);
                writer.insertBackfillMessages(exported);
            }
            writer.insertMessages(transcripts);
            if (!telemetryFirst) {
                writer.insertBackfillMessages(exported);
                writer.insertBackfillMessages(exported);
            }
        }
        SqlProbe probe(path);
        EXPECT_EQ(probe.rows("SELECT messageId, machine, fromTelemetry FROM messages ORDER BY messageId"),
                  (std::vector<std::string>{"a1|desk|0", "b1|desk|0", "otel:C#1|box|1"}));
        EXPECT_EQ(probe.rows("SELECT sessionId, totalInputTokens, machine FROM sessions ORDER BY sessionId"),
                  (std::vector<std::string>{"A|10|desk", "B|10|desk", "C|1000|box"}));
    }
}

TEST_F(WriteDatabaseTest, transcriptMarksRoundTripByteForByte)
{
    auto db = open();
    TranscriptMark first{"/p/a.jsonl", 2049, 18446744073709551615ull, 1 << 20, -5, 4096, std::string("{\0\xff", 3), "\n", 0};
    TranscriptMark other{"/p/b.jsonl", 1, 2, 3, 4, 0, "", "", 7};
    db->setTranscriptMarks({first, other});
    first.offset = 8192;
    db->setTranscriptMarks({first});
    auto marks = db->transcriptMarks();
    std::sort(marks.begin(), marks.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    EXPECT_EQ(marks, (std::vector<TranscriptMark>{first, other}));
}

// A value that cannot be bound never lets its statement run without it.
TEST(SqliteStatement, aFailedBindStopsTheStatementBeforeItRuns)
{
    SqlProbe probe(test::freshDirectory() / "bind.db");
    probe.exec("CREATE TABLE t (a, b);");
    SqliteStatement insert;
    ASSERT_EQ(SqliteStatement::prepare(probe.handle(), "INSERT INTO t VALUES (?1, ?2);", insert), SQLITE_OK);
    insert.bindText(1, "kept");
    insert.bindInt64(3, 7); // no such parameter
    EXPECT_EQ(insert.step(), SQLITE_RANGE);
    EXPECT_EQ(probe.value("SELECT COUNT(*) FROM t"), "0");
    insert.resetAndClear();
    insert.bindText(1, "a");
    insert.bindInt64(2, 1);
    EXPECT_EQ(insert.step(), SQLITE_DONE);
}

// The file at the path is the one written to: a deleted one is made again, one
// replaced by another (`mv` over it) is opened, and the owner is told either way.
TEST_F(WriteDatabaseTest, aDeletedOrReplacedFileIsTheOneWrittenToNext)
{
    auto db = open();
    int reopened = 0;
    db->setOnReopened([&] { ++reopened; });
    db->insertMessages({message("a", "S", "2025-01-15T10:00:00Z")});
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(path.string() + suffix);
    db->insertMessages({message("b", "S", "2025-01-15T10:00:00Z")});
    EXPECT_EQ(SqlProbe(path).rows("SELECT messageId FROM messages"), std::vector<std::string>{"b"});
    EXPECT_EQ(SqlProbe(path).value("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table'"), "8");
    EXPECT_EQ(reopened, 1);

    const auto other = path.parent_path() / "other.db";
    SqlProbe(other).exec("PRAGMA journal_mode = WAL; CREATE TABLE kept (x);");
    std::filesystem::rename(other, path);
    db->insertMessages({message("c", "S", "2025-01-15T10:00:00Z")});
    EXPECT_EQ(SqlProbe(path).rows("SELECT messageId FROM messages"), std::vector<std::string>{"c"});
    EXPECT_EQ(SqlProbe(path).value("SELECT COUNT(*) FROM kept"), "0");
    EXPECT_EQ(reopened, 2);
    db->insertMessages({message("d", "S", "2025-01-15T10:00:00Z")});
    EXPECT_EQ(reopened, 2) << "the same file again is not news";
}

TEST_F(WriteDatabaseTest, aFileThatIsNotADatabaseIsKeptAsideAndAFreshOneStarted)
{
    std::filesystem::create_directories(path.parent_path());
    const std::string garbage = "these bytes were once a database, perhaps; they are not one now\n";
    std::ofstream(path, std::ios::binary) << std::string(4096, 'z') << garbage;
    now = at("2026-12-06T10:15:00Z");

    testing::internal::CaptureStderr();
    auto db = open();
    const std::string log = testing::internal::GetCapturedStderr();

    const auto kept = path.parent_path() / "app.db.corrupt-20261206T101500Z";
    ASSERT_TRUE(std::filesystem::exists(kept));
    EXPECT_EQ(test::fileText(kept), std::string(4096, 'z') + garbage);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find("[tallyglass] "), std::string::npos);
    EXPECT_NE(log.find(kept.string()), std::string::npos);

    db->insertMessages({message("a", "S", "2025-01-15T10:00:00Z")});
    SqlProbe probe(path);
    EXPECT_EQ(probe.value("SELECT COUNT(*) FROM messages"), "1");
}

TEST_F(WriteDatabaseTest, aDirectoryThatCannotBeCreatedFailsConstruction)
{
    std::filesystem::create_directories(dir / "config");
    std::ofstream(dir / "config" / "tallyglass") << "a file where the directory should be";
    EXPECT_THROW(open(), std::filesystem::filesystem_error);
}

} // namespace
} // namespace tallyglass
