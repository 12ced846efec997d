#include "storage/WriteDatabase.h"

#include "core/SerialQueue.h"
#include "storage/SqliteStatement.h"
#include "storage/TranscriptMarkRows.h"
#include "storage/WriteDatabaseSupport.h"

// The writer's record of how far each transcript was read, and how far the
// messages were sent to each endpoint.
namespace tallyglass {

namespace {

constexpr const char* upsertMarkSql =
    "INSERT INTO transcript_marks (path, device, inode, size, modifiedNs, offset, head, tail, unterminatedUntil) "
    "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9) ON CONFLICT(path) DO UPDATE SET device = excluded.device, "
    "inode = excluded.inode, size = excluded.size, modifiedNs = excluded.modifiedNs, offset = excluded.offset, "
    "head = excluded.head, tail = excluded.tail, unterminatedUntil = excluded.unterminatedUntil";

// SQLite keeps signed 64-bit integers; the unsigned values round-trip through them bit for bit.
std::int64_t stored(std::uint64_t value)
{
    return static_cast<std::int64_t>(value);
}

constexpr const char* selectSentSql = "SELECT lastRowid FROM sent_marks WHERE endpoint = ?";
constexpr const char* upsertSentSql =
    "INSERT INTO sent_marks (endpoint, lastRowid) VALUES (?1, ?2) "
    "ON CONFLICT(endpoint) DO UPDATE SET lastRowid = excluded.lastRowid";

} // namespace

std::int64_t WriteDatabase::sentMark(const std::string& endpoint)
{
    return queue_->sync([&] {
        std::int64_t mark = 0;
        runWithRetry([&] {
            SqliteStatement select = prepare(selectSentSql);
            select.bindText(1, endpoint);
            const int rc = select.step();
            if (rc == SQLITE_ROW)
                mark = select.int64(0);
            else if (rc != SQLITE_DONE)
                failStep(rc);
        });
        return mark;
    });
}

void WriteDatabase::setSentMark(const std::string& endpoint, std::int64_t rowid)
{
    queue_->sync([&] {
        runWithRetry([&] {
            SqliteStatement upsert = prepare(upsertSentSql);
            upsert.bindText(1, endpoint);
            upsert.bindInt64(2, rowid);
            if (const int rc = upsert.step(); rc != SQLITE_DONE)
                failStep(rc);
        });
    });
}

void WriteDatabase::setTranscriptMarks(const std::vector<TranscriptMark>& marks)
{
    if (marks.empty())
        return;
    queue_->sync([&] {
        runWithRetry([&] {
            WriteDatabaseSupport::inTransaction(handle_, [this](const char* sql) { exec(sql); }, [&] {
                SqliteStatement upsert = prepare(upsertMarkSql);
                for (const TranscriptMark& mark : marks) {
                    upsert.resetAndClear();
                    upsert.bindText(1, mark.path);
                    upsert.bindInt64(2, stored(mark.device));
                    upsert.bindInt64(3, stored(mark.inode));
                    upsert.bindInt64(4, stored(mark.size));
                    upsert.bindInt64(5, mark.modifiedNs);
                    upsert.bindInt64(6, stored(mark.offset));
                    upsert.bindBlob(7, mark.head);
                    upsert.bindBlob(8, mark.tail);
                    upsert.bindInt64(9, stored(mark.unterminatedUntil));
                    if (const int rc = upsert.step(); rc != SQLITE_DONE)
                        failStep(rc);
                }
            });
        });
    });
}

std::vector<TranscriptMark> WriteDatabase::transcriptMarks()
{
    return queue_->sync([&] {
        std::vector<TranscriptMark> marks;
        runWithRetry([&] {
            marks.clear();
            SqliteStatement select = prepare(TranscriptMarkRows::selectSql);
            int rc;
            while ((rc = select.step()) == SQLITE_ROW) {
                marks.push_back(TranscriptMarkRows::markOf(select));
            }
            if (rc != SQLITE_DONE)
                failStep(rc);
        });
        return marks;
    });
}

} // namespace tallyglass
