#include "capture/HistoryImport.h"

#include "storage/WriteDatabase.h"
#include "support/SqlProbe.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

// What a catch-up or an interrupted import leaves stored must equal what one
// whole import of the same transcripts stores: the same rows, counts, costs,
// sessions and projects.
namespace tallyglass {
namespace {

namespace fs = std::filesystem;

const std::string session = "0f4e3c1a-9b7d-4f2e-8a6c-5d1b2e3f4a5b";

// A response written as Claude Code writes one: two lines with one id, the second with the final usage.
std::string responses(const std::string& prefix, int count, const std::string& inSession = session)
{
    std::string text;
    for (int i = 0; i < count; ++i) {
        const std::string id = prefix + std::to_string(i);
        for (int part = 1; part <= 2; ++part)
            text += R"({"type":"assistant","sessionId":")" + inSession + R"(","timestamp":"2025-01-15T10:)"
                + std::to_string(10 + i % 50) + R"(:00Z","message":{"id":")" + id
                + R"(","model":"claude-sonnet-4-6","usage":{"input_tokens":)" + std::to_string(part * 10 + i)
                + R"(,"output_tokens":)" + std::to_string(part * 100) + "}}}\n";
    }
    return text;
}

std::string folderLine(const std::string& inSession, const std::string& cwd)
{
    return R"({"type":"user","sessionId":")" + inSession + R"(","cwd":")" + cwd + R"(","message":{"content":"go"}})" "\n";
}

void write(const fs::path& path, const std::string& text, std::ios::openmode mode = std::ios::trunc)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::out | mode) << text;
}

std::vector<std::string> storedRows(const fs::path& database)
{
    test::SqlProbe probe(database);
    std::vector<std::string> rows = probe.rows(
        "SELECT messageId, sessionId, timestamp, model, inputTokens, outputTokens, cacheCreationInputTokens, "
        "cacheReadInputTokens, cost, isSubagent FROM messages ORDER BY messageId");
    for (std::string& row : probe.rows("SELECT sessionId, timestamp, totalInputTokens, totalOutputTokens, project "
                                       "FROM sessions ORDER BY sessionId"))
        rows.push_back(std::move(row));
    return rows;
}

// A first import leaves the index of message times out until its end.
bool timesIndexed(const fs::path& database)
{
    return !test::SqlProbe(database).rows("SELECT name FROM sqlite_master WHERE name = 'idx_messages_timestamp'").empty();
}

std::vector<std::string> wholeImport(const std::vector<fs::path>& roots, const fs::path& database)
{
    HistoryImport(std::make_shared<WriteDatabase>(database), roots).scanAll({});
    return storedRows(database);
}

// Passes writes on until `writesLeft` is spent, then drops every one: the
// process was killed there, and its database holds what came before.
class KilledWriter final : public MessageWriter {
public:
    KilledWriter(std::shared_ptr<WriteDatabase> db, int writesLeft)
        : db_(std::move(db))
        , writesLeft_(writesLeft)
    {
    }
    void insertMessages(const std::vector<MessageInsert>& m) override { alive() ? db_->insertMessages(m) : void(); }
    void insertBackfillMessages(const std::vector<MessageInsert>& m) override
    {
        alive() ? db_->insertBackfillMessages(m) : void();
    }
    void upsertRateLimits(const RateLimitWindow&, const RateLimitWindow&, Instant) override {}
    void setSessionActive(const std::string&, bool) override {}
    void setSessionProjects(const std::vector<std::pair<std::string, std::string>>& p, bool onlyUnknown) override
    {
        alive() ? db_->setSessionProjects(p, onlyUnknown) : void();
    }
    std::optional<std::string> stateValue(const std::string& key) override { return db_->stateValue(key); }
    void setStateValue(const std::string& key, const std::string& value) override
    {
        alive() ? db_->setStateValue(key, value) : void();
    }
    void setTranscriptMarks(const std::vector<TranscriptMark>& marks) override
    {
        alive() ? db_->setTranscriptMarks(marks) : void();
    }
    std::vector<TranscriptMark> transcriptMarks() override { return db_->transcriptMarks(); }
    void setBulkLoad(bool loading) override { alive() ? db_->setBulkLoad(loading) : void(); }

    bool killed() const { return writesLeft_ < 0; }

private:
    bool alive() { return --writesLeft_ >= 0; }

    std::shared_ptr<WriteDatabase> db_;
    int writesLeft_;
};

class ImportResumeTest : public ::testing::Test {
protected:
    fs::path dir = test::freshDirectory();
    fs::path root = dir / "projects";
    fs::path own = root / "-home-ada-shop" / (session + ".jsonl");

    void writeHistory()
    {
        write(own, folderLine(session, "/home/ada/shop") + responses("a", 30));
        // Written an hour ago, so that a rewrite within the same tick of the clock still changes its time.
        fs::last_write_time(own, fs::file_time_type::clock::now() - std::chrono::hours(1));
        write(root / "-home-ada-shop" / session / "subagents" / "agent-1.jsonl", responses("sub", 5));
        write(root / "-home-ada-web" / "other.jsonl", folderLine("other", "/home/ada/web") + responses("o", 12, "other"));
    }
};

// The catch-up reads only what a transcript gained when its start and the
// bytes before its mark are as they were, the whole file otherwise; either
// way it stores what a whole import of the transcripts stores. Messages of a
// file cut back stay stored, so the whole import it is held to also reads the
// transcripts as they were.
TEST_F(ImportResumeTest, aCatchUpStoresWhatAWholeImportStores)
{
    struct Case {
        const char* change;
        std::function<void()> apply;
        std::int64_t bytesRead; // -1: the whole changed file
    };
    const std::string appended = responses("late", 2) + responses("a", 1).substr(responses("a", 1).find('\n') + 1);
    const Case cases[] = {
        {"lines appended, one a repeat of a stored response", [&] { write(own, appended, std::ios::app); },
         static_cast<std::int64_t>(appended.size())},
        {"rewritten from its start", [&] { write(own, folderLine(session, "/home/ada/shop") + responses("b", 3)); }, -1},
        {"cut back", [&] { fs::resize_file(own, fs::file_size(own) / 2); }, -1},
        {"cut back and grown past its old size",
         [&] {
             fs::resize_file(own, fs::file_size(own) / 2);
             write(own, "\n" + responses("c", 40), std::ios::app);
         },
         -1},
        {"a new file", [&] { write(root / "-home-ada-web" / "new.jsonl", responses("n", 3, "new")); }, 0},
        // Other ids of the same length: only the time tells, and the head.
        {"rewritten with the same size", [&] { write(own, folderLine(session, "/home/ada/shop") + responses("b", 30)); }, -1},
        {"deleted, its messages kept", [&] { fs::remove(own); }, 0},
    };
    for (const auto& [change, apply, bytesRead] : cases) {
        SCOPED_TRACE(change);
        fs::remove_all(dir);
        writeHistory();
        const fs::path database = dir / "app.db";
        wholeImport({root}, database);
        fs::copy(root, dir / "before", fs::copy_options::recursive);
        apply();
        HistoryImport catchUp(std::make_shared<WriteDatabase>(database), {root});
        catchUp.scanAll({});
        ASSERT_TRUE(catchUp.wasCatchUp());
        const std::int64_t expectedBytes = bytesRead >= 0 ? bytesRead : static_cast<std::int64_t>(fs::file_size(own));
        if (bytesRead != 0) {
            EXPECT_EQ(catchUp.statistics().bytes, expectedBytes);
        }
        EXPECT_EQ(storedRows(database), wholeImport({dir / "before", root}, dir / "fresh.db"));
    }
}

// A first import killed at any write leaves a database the next start
// completes: the history is marked imported only by its last write, so the
// next run imports again whatever was cut off, and stores each message once;
// the index of message times it left out is there again.
TEST_F(ImportResumeTest, aFirstImportKilledAtAnyWriteIsCompletedExactlyByTheNextStart)
{
    writeHistory();
    const std::vector<std::string> whole = wholeImport({root}, dir / "whole.db");
    EXPECT_TRUE(timesIndexed(dir / "whole.db"));
    for (int writes = 0;; ++writes) {
        SCOPED_TRACE(writes);
        const fs::path database = dir / ("killed-" + std::to_string(writes) + ".db");
        auto killed = std::make_shared<KilledWriter>(std::make_shared<WriteDatabase>(database), writes);
        HistoryImport(killed, {root}, nullptr, 2).scanAll({});
        if (!killed->killed())
            break; // every write went through
        EXPECT_FALSE(std::make_shared<WriteDatabase>(database)->stateValue(HistoryImport::importedKey))
            << "marked imported before the end";
        HistoryImport next(std::make_shared<WriteDatabase>(database), {root});
        next.scanAll({});
        EXPECT_FALSE(next.wasCatchUp());
        EXPECT_EQ(storedRows(database), whole);
        EXPECT_TRUE(timesIndexed(database));
        EXPECT_TRUE(std::make_shared<WriteDatabase>(database)->stateValue(HistoryImport::importedKey));
    }
}

} // namespace
} // namespace tallyglass
