#include "storage/WriteDatabase.h"

#include "core/Log.h"
#include "core/SerialQueue.h"
#include "pricing/ModelPricingCatalog.h"
#include "pricing/PriceList.h"
#include "storage/SqliteStatement.h"
#include "storage/WriteDatabaseSupport.h"

#include <sqlite3.h>

#include <algorithm>
#include <map>

// Storing messages: each priced as it is stored, a repeated one merged into
// the row already there, and the sessions they belong to summed again.
namespace tallyglass {

namespace {

constexpr const char* insertMessageSql =
    "INSERT OR IGNORE INTO messages ( messageId, sessionId, timestamp, role, model, inputTokens, outputTokens, "
    "cacheCreationInputTokens, cacheReadInputTokens, isSubagent, cost, cacheCreation1hInputTokens, pricedWith ) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

constexpr const char* selectStoredMessageSql =
    "SELECT model, inputTokens, outputTokens, cacheCreationInputTokens, cacheReadInputTokens, "
    "cacheCreation1hInputTokens FROM messages WHERE messageId = ?";

constexpr const char* updateMergedMessageSql =
    "UPDATE messages SET inputTokens = ?, outputTokens = ?, cacheCreationInputTokens = ?, cacheReadInputTokens = ?, "
    "cacheCreation1hInputTokens = ?, cost = ?, pricedWith = ? WHERE messageId = ?";

// TOTAL sums in floating point and never fails; the cap keeps the cast inside 64 bits.
#define TOTALS_OF_SESSION \
    "CAST(MIN(TOTAL(inputTokens), 9.0e18) AS INTEGER), CAST(MIN(TOTAL(outputTokens), 9.0e18) AS INTEGER)"

constexpr const char* activeSessionSql =
    "INSERT INTO sessions ( sessionId, timestamp, totalInputTokens, totalOutputTokens, isActive ) "
    "SELECT ?, ?, " TOTALS_OF_SESSION ", 1 FROM messages WHERE sessionId = ? "
    "ON CONFLICT(sessionId) DO UPDATE SET totalInputTokens = excluded.totalInputTokens, "
    "totalOutputTokens = excluded.totalOutputTokens, "
    "isActive = CASE WHEN sessions.endedAt IS NULL THEN 1 ELSE sessions.isActive END";

constexpr const char* inactiveSessionSql =
    "INSERT INTO sessions ( sessionId, timestamp, totalInputTokens, totalOutputTokens, isActive ) "
    "SELECT ?, ?, " TOTALS_OF_SESSION ", 0 FROM messages WHERE sessionId = ? "
    "ON CONFLICT(sessionId) DO UPDATE SET totalInputTokens = excluded.totalInputTokens, "
    "totalOutputTokens = excluded.totalOutputTokens";

// Result codes that concern the one row being written: that message is
// skipped. Anything else (busy, I/O, a full disk, an unexpected error) fails
// the batch, which the caller retries; skipping there would lose the message
// for good, since the transcript's cursor moves on.
bool isRowFailure(int rc)
{
    switch (rc & 0xFF) {
    case SQLITE_CONSTRAINT: case SQLITE_TOOBIG: case SQLITE_MISMATCH: case SQLITE_RANGE:
        return true;
    default:
        return false;
    }
}

} // namespace

void WriteDatabase::insertMessages(const std::vector<MessageInsert>& messages)
{
    queue_->sync([&] { runWithRetry([&] { insertMessagesImpl(messages, activeSessionSql); }); });
}

void WriteDatabase::insertBackfillMessages(const std::vector<MessageInsert>& messages)
{
    queue_->sync([&] { runWithRetry([&] { insertMessagesImpl(messages, inactiveSessionSql); }); });
}

void WriteDatabase::insertMessagesImpl(const std::vector<MessageInsert>& messages, const char* sessionSql)
{
    // One list for the whole batch, so each row's cost and the version it records agree.
    const auto prices = ModelPricingCatalog::current();
    WriteDatabaseSupport::inTransaction(handle_, [this](const char* sql) { exec(sql); }, [&] {
        SqliteStatement insert = prepare(insertMessageSql);
        SqliteStatement selectStored;
        SqliteStatement updateMerged;
        // Earliest timestamp per session among the messages stored; equal texts keep the first.
        std::map<std::string, std::string> earliest;
        for (const MessageInsert& original : messages) {
            const MessageInsert m = WriteDatabaseSupport::boundedCounts(original);
            try {
                insert.resetAndClear();
                insert.bindText(1, m.messageId);
                insert.bindText(2, m.sessionId);
                insert.bindText(3, m.timestamp);
                insert.bindText(4, m.role);
                insert.bindOptionalText(5, m.model);
                insert.bindInt64(6, m.inputTokens);
                insert.bindInt64(7, m.outputTokens);
                insert.bindInt64(8, m.cacheCreationInputTokens);
                insert.bindInt64(9, m.cacheReadInputTokens);
                insert.bindInt64(10, m.isSubagent ? 1 : 0);
                insert.bindDouble(11, prices->cost(m.model, m.inputTokens, m.outputTokens, m.cacheCreationInputTokens,
                                                   m.cacheReadInputTokens, m.cacheCreation1hInputTokens));
                insert.bindInt64(12, m.cacheCreation1hInputTokens);
                insert.bindInt64(13, prices->version());
                if (const int rc = insert.step(); rc != SQLITE_DONE)
                    failStep(rc);
                if (sqlite3_changes(handle_) == 0) {
                    if (!selectStored) {
                        selectStored = prepare(selectStoredMessageSql);
                        updateMerged = prepare(updateMergedMessageSql);
                    }
                    mergeStoredMessage(selectStored, updateMerged, m, *prices);
                }
            } catch (const WriteError& error) {
                if (!isRowFailure(error.code()))
                    throw;
                Log::line("message " + m.messageId + " could not be stored and was skipped: " + error.what());
                continue;
            }
            const auto [it, inserted] = earliest.try_emplace(m.sessionId, m.timestamp);
            if (!inserted && m.timestamp < it->second)
                it->second = m.timestamp;
        }

        SqliteStatement session = prepare(sessionSql);
        for (const auto& [sessionId, timestamp] : earliest) {
            session.resetAndClear();
            session.bindText(1, sessionId);
            session.bindText(2, timestamp);
            session.bindText(3, sessionId);
            if (const int rc = session.step(); rc != SQLITE_DONE)
                failStep(rc);
        }
    });
}

// Claude Code writes one line per content block of a response, all with the
// same message id, and in some versions the early lines carry a streaming
// snapshot of the usage. Keeping the larger of each count (and pricing those)
// stores the final figures whatever order the lines arrive in; the rest of the
// row stays as first stored.
void WriteDatabase::mergeStoredMessage(SqliteStatement& select, SqliteStatement& update, const MessageInsert& m,
                                       const PriceList& prices)
{
    select.resetAndClear();
    select.bindText(1, m.messageId);
    const int rc = select.step();
    if (rc == SQLITE_DONE)
        return; // ignored for another reason than an existing row: nothing to merge
    if (rc != SQLITE_ROW)
        failStep(rc);
    const std::optional<std::string> model = select.text(0) ? std::optional<std::string>(*select.text(0)) : std::nullopt;
    const std::int64_t stored[5] = {select.int64(1), select.int64(2), select.int64(3), select.int64(4), select.int64(5)};
    const std::int64_t incoming[5] = {m.inputTokens, m.outputTokens, m.cacheCreationInputTokens, m.cacheReadInputTokens,
                                      m.cacheCreation1hInputTokens};
    std::int64_t merged[5];
    bool grew = false;
    for (int i = 0; i < 5; ++i) {
        merged[i] = std::max(stored[i], incoming[i]);
        grew = grew || merged[i] != stored[i];
    }
    if (!grew)
        return;
    update.resetAndClear();
    for (int i = 0; i < 5; ++i)
        update.bindInt64(i + 1, merged[i]);
    update.bindDouble(6, prices.cost(model, merged[0], merged[1], merged[2], merged[3], merged[4]));
    update.bindInt64(7, prices.version());
    update.bindText(8, m.messageId);
    if (const int step = update.step(); step != SQLITE_DONE)
        failStep(step);
}

} // namespace tallyglass
