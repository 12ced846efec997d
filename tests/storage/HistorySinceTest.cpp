#include "dashboard/HeldHistory.h"
#include "storage/DatabaseClient.h"
#include "storage/WriteDatabase.h"

#include "core/IsoTime.h"
#include "support/SqlProbe.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>

namespace tallyglass {
namespace {

MessageInsert message(const std::string& id, const std::string& session, const std::string& timestamp,
                      std::int64_t output = 2, bool telemetry = false)
{
    return {id, session, timestamp, "assistant", "claude-opus-4-6", 1, output, 3, 4, false, 0, {}, telemetry, {}};
}

struct Step {
    const char* what;
    std::function<void(WriteDatabase&, const std::filesystem::path&)> write;
    bool readSince; // brought forward from the changes, not read whole
    bool addedAtTheEnd;
};

// Whatever was written after a whole read, the history brought forward from
// it equals a whole read made afterwards, message for message and row for
// row; a change the rows cannot carry makes the next read a whole one.
TEST(HistorySinceTest, theHistoryBroughtForwardEqualsAWholeReadAfterEveryKindOfWrite)
{
    const Step steps[] = {
        {"nothing written", [](WriteDatabase&, const auto&) {}, true, true},
        {"a newer message", [](WriteDatabase& w, const auto&) { w.insertMessages({message("new", "A", "2026-12-07T11:00:00Z")}); },
         true, true},
        {"a message dated among those held",
         [](WriteDatabase& w, const auto&) { w.insertMessages({message("late", "A", "2026-12-01T10:30:00Z")}); }, true, false},
        {"a repeat with a larger count merged into its row",
         [](WriteDatabase& w, const auto&) { w.insertMessages({message("m2", "A", "2026-12-02T10:00:00Z", 900)}); }, true, false},
        {"telemetry giving way to the session's transcript",
         [](WriteDatabase& w, const auto&) { w.insertMessages({message("t-transcript", "T", "2026-12-06T10:00:00Z")}); }, true,
         false},
        {"a row rewritten by hand", [](WriteDatabase&, const auto& path) { test::SqlProbe(path).exec("UPDATE messages SET cost = 7 WHERE messageId = 'm1'"); },
         true, false},
        {"more rewrites than the writer keeps a record of",
         [](WriteDatabase&, const auto& path) {
             test::SqlProbe probe(path);
             probe.exec("BEGIN");
             for (int i = 0; i < 5200; ++i)
                 probe.exec("UPDATE messages SET cost = " + std::to_string(i % 3) + " WHERE messageId = 'm" + std::to_string(1 + i % 3) + "'");
             probe.exec("COMMIT");
         },
         false, false},
        {"a message dated after tomorrow, left out until its time",
         [](WriteDatabase& w, const auto&) { w.insertMessages({message("ahead", "A", "2026-12-09T12:00:00Z")}); }, true, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const auto path = test::freshDirectory() / "app.db";
        WriteDatabase writer(path);
        writer.insertMessages({message("m1", "A", "2026-12-01T10:00:00Z"), message("m2", "A", "2026-12-02T10:00:00Z"),
                               message("m3", "B", "2026-12-03T10:00:00Z"), message("t1", "T", "2026-12-05T10:00:00Z", 5, true)});
        DatabaseClient client(path, [] { return *IsoTime::parse("2026-12-07T12:00:00Z"); });
        const HeldHistory held(client.fetchHistory());
        ASSERT_TRUE(held.mark().exact);

        step.write(writer, path);
        const auto changes = client.fetchHistorySince(held.mark());
        EXPECT_EQ(changes.has_value(), step.readSince);
        const HeldHistory forward = changes ? held.broughtForward(*changes) : HeldHistory(client.fetchHistory());
        EXPECT_EQ(changes && forward.extends(held), step.addedAtTheEnd);
        const StoredHistory whole = client.fetchHistory();
        EXPECT_EQ(std::vector(forward.messages().begin(), forward.messages().end()), whole.messages);
        EXPECT_EQ(std::vector(forward.rows().begin(), forward.rows().end()), whole.rows);
        EXPECT_EQ(forward.mark(), whole.mark);
        // What the held copy saw is as it was, whatever was added after it.
        EXPECT_EQ(held.size(), 4u);
        EXPECT_EQ(held.messages()[3].outputTokens, 5);
    }
}

// Without a record of rewrites (a file no writer of this version has opened),
// or once the file is another, only a whole read can be trusted.
TEST(HistorySinceTest, aFileThatCannotTellWhatChangedIsReadWhole)
{
    const auto path = test::freshDirectory() / "app.db";
    WriteDatabase(path).insertMessages({message("m1", "A", "2026-12-01T10:00:00Z")});
    DatabaseClient client(path, [] { return *IsoTime::parse("2026-12-07T12:00:00Z"); });
    const HistoryMark mark = client.fetchHistory().mark;
    ASSERT_TRUE(mark.exact);
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(path.string() + suffix);
    WriteDatabase(path).insertMessages({message("m1", "A", "2026-12-01T10:00:00Z")});
    EXPECT_FALSE(client.fetchHistorySince(mark)) << "another file";

    test::SqlProbe(path).exec("DROP TRIGGER message_rewritten; DROP TRIGGER message_deleted; DROP TABLE message_changes;");
    EXPECT_FALSE(client.fetchHistory().mark.exact) << "no record of rewrites";
}

} // namespace
} // namespace tallyglass
