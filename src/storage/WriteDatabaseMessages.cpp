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
#include <set>
#include <string_view>
#include <unordered_map>

// Storing messages: each priced as it is stored, a repeated one merged into
// the row already there, and the sessions they belong to summed again.
namespace tallyglass {

namespace {

constexpr const char* insertMessageSql =
    "INSERT OR IGNORE INTO messages ( messageId, sessionId, timestamp, role, model, inputTokens, outputTokens, "
    "cacheCreationInputTokens, cacheReadInputTokens, isSubagent, cost, cacheCreation1hInputTokens, pricedWith, "
    "machine, fromTelemetry ) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

constexpr const char* sentProjectSql = "UPDATE sessions SET project = ?2 WHERE sessionId = ?1 AND project IS NULL";

constexpr const char* transcriptStoredSql =
    "SELECT 1 FROM messages WHERE sessionId = ? AND fromTelemetry = 0 LIMIT 1";

constexpr const char* dropTelemetrySql = "DELETE FROM messages WHERE sessionId = ? AND fromTelemetry = 1";

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
    "INSERT INTO sessions ( sessionId, timestamp, totalInputTokens, totalOutputTokens, isActive, machine ) "
    "SELECT ?1, ?2, " TOTALS_OF_SESSION ", 1, ?3 FROM messages WHERE sessionId = ?1 "
    "ON CONFLICT(sessionId) DO UPDATE SET totalInputTokens = excluded.totalInputTokens, "
    "totalOutputTokens = excluded.totalOutputTokens, machine = excluded.machine, "
    "isActive = CASE WHEN sessions.endedAt IS NULL THEN 1 ELSE sessions.isActive END";

constexpr const char* inactiveSessionSql =
    "INSERT INTO sessions ( sessionId, timestamp, totalInputTokens, totalOutputTokens, isActive, machine ) "
    "SELECT ?1, ?2, " TOTALS_OF_SESSION ", 0, ?3 FROM messages WHERE sessionId = ?1 "
    "ON CONFLICT(sessionId) DO UPDATE SET totalInputTokens = excluded.totalInputTokens, "
    "totalOutputTokens = excluded.totalOutputTokens, machine = excluded.machine";

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

// A response's lines repeat its id, each with the usage as far as it went.
// Stored one after another, the first makes the row and each later one raises
// its counts to the larger; here the later ones are folded into the first
// beforehand, to the same end, saving a lookup per line. Only where the
// outcome is sure to be the same: the same session, machine and source, and
// no earlier time (the session's first time is the least of its rows').
std::vector<MessageInsert> foldedRepeats(const std::vector<MessageInsert>& messages)
{
    std::vector<MessageInsert> folded;
    folded.reserve(messages.size());
    std::unordered_map<std::string_view, std::size_t> firstOf;
    firstOf.reserve(messages.size());
    for (const MessageInsert& original : messages) {
        MessageInsert m = WriteDatabaseSupport::boundedCounts(original);
        const auto found = firstOf.find(m.messageId);
        if (found != firstOf.end()) {
            MessageInsert& first = folded[found->second];
            if (first.sessionId == m.sessionId && first.machine == m.machine && first.fromTelemetry == m.fromTelemetry
                && first.timestamp <= m.timestamp) {
                first.inputTokens = std::max(first.inputTokens, m.inputTokens);
                first.outputTokens = std::max(first.outputTokens, m.outputTokens);
                first.cacheCreationInputTokens = std::max(first.cacheCreationInputTokens, m.cacheCreationInputTokens);
                first.cacheReadInputTokens = std::max(first.cacheReadInputTokens, m.cacheReadInputTokens);
                first.cacheCreation1hInputTokens = std::max(first.cacheCreation1hInputTokens, m.cacheCreation1hInputTokens);
                continue;
            }
        }
        folded.push_back(std::move(m));
        if (found == firstOf.end())
            firstOf.emplace(folded.back().messageId, folded.size() - 1);
    }
    return folded;
}

} // namespace

void WriteDatabase::insertMessages(const std::vector<MessageInsert>& messages)
{
    queue_->sync([&] {
        runWithRetry([&] { insertMessagesImpl(messages, activeSessionSql); });
        if (onStored_ && !messages.empty())
            onStored_();
    });
}

void WriteDatabase::insertBackfillMessages(const std::vector<MessageInsert>& messages)
{
    queue_->sync([&] {
        runWithRetry([&] { insertMessagesImpl(messages, inactiveSessionSql); });
        if (onStored_ && !messages.empty())
            onStored_();
    });
}

void WriteDatabase::setOnMessagesStored(std::function<void()> callback)
{
    queue_->sync([&] { onStored_ = std::move(callback); });
}

// One machine's session may reach us both by transcript and by telemetry;
// the transcript counts and the telemetry gives way, whichever came first.
// Only the writer changes the file, so asking and deleting here is exact.
struct WriteDatabase::SourceRule {
    SqliteStatement transcriptStored;
    SqliteStatement dropTelemetry;
    std::map<std::string, bool> hasTranscript; // per session, as far as this batch knows
    std::set<std::string> dropped;             // sessions whose telemetry this batch removed

    bool admits(const MessageInsert& m, WriteDatabase& db)
    {
        if (!m.fromTelemetry)
            return true;
        const auto [it, fresh] = hasTranscript.try_emplace(m.sessionId, false);
        if (fresh) {
            transcriptStored.resetAndClear();
            transcriptStored.bindText(1, m.sessionId);
            const int rc = transcriptStored.step();
            if (rc != SQLITE_ROW && rc != SQLITE_DONE)
                db.failStep(rc);
            it->second = rc == SQLITE_ROW;
        }
        return !it->second;
    }

    void stored(const MessageInsert& m, WriteDatabase& db)
    {
        if (m.fromTelemetry || !dropped.insert(m.sessionId).second)
            return;
        hasTranscript[m.sessionId] = true;
        dropTelemetry.resetAndClear();
        dropTelemetry.bindText(1, m.sessionId);
        if (const int rc = dropTelemetry.step(); rc != SQLITE_DONE)
            db.failStep(rc);
    }
};

void WriteDatabase::insertMessagesImpl(const std::vector<MessageInsert>& messages, const char* sessionSql)
{
    // One list for the whole batch, so each row's cost and the version it records agree.
    const auto prices = ModelPricingCatalog::current();
    WriteDatabaseSupport::inTransaction(handle_, [this](const char* sql) { exec(sql); }, [&] {
        SqliteStatement insert = prepare(insertMessageSql);
        SqliteStatement selectStored;
        SqliteStatement updateMerged;
        SourceRule rule{prepare(transcriptStoredSql), prepare(dropTelemetrySql), {}, {}};
        // Earliest timestamp and machine per session among the messages stored; equal texts keep the first.
        std::map<std::string, std::pair<std::string, std::string>> earliest;
        std::map<std::string, std::string> projects; // as another instance sent them
        for (MessageInsert& m : foldedRepeats(messages)) {
            if (m.machine.empty() || !m.fromTelemetry)
                m.machine = m.fromTelemetry ? "unknown" : options_.machineName;
            if (!rule.admits(m, *this))
                continue;
            try {
                insertOneMessage(insert, selectStored, updateMerged, m, *prices);
            } catch (const WriteError& error) {
                if (!isRowFailure(error.code()))
                    throw;
                Log::line("message " + m.messageId + " could not be stored and was skipped: " + error.what());
                continue;
            }
            rule.stored(m, *this);
            const auto [it, inserted] = earliest.try_emplace(m.sessionId, m.timestamp, m.machine);
            if (!inserted && m.timestamp < it->second.first)
                it->second.first = m.timestamp;
            if (!m.project.empty())
                projects.try_emplace(m.sessionId, m.project);
        }

        SqliteStatement session = prepare(sessionSql);
        for (const auto& [sessionId, first] : earliest) {
            session.resetAndClear();
            session.bindText(1, sessionId);
            session.bindText(2, first.first);
            session.bindText(3, first.second);
            if (const int rc = session.step(); rc != SQLITE_DONE)
                failStep(rc);
        }
        if (projects.empty())
            return;
        SqliteStatement project = prepare(sentProjectSql);
        for (const auto& [sessionId, folder] : projects) {
            project.resetAndClear();
            project.bindText(1, sessionId);
            project.bindText(2, folder);
            if (const int rc = project.step(); rc != SQLITE_DONE)
                failStep(rc);
        }
    });
}

// Stores one message, or merges it into the row of its id (preparing the
// statements for that the first time a batch needs them).
void WriteDatabase::insertOneMessage(SqliteStatement& insert, SqliteStatement& selectStored,
                                     SqliteStatement& updateMerged, const MessageInsert& m, const PriceList& prices)
{
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
    insert.bindDouble(11, prices.cost(m.model, m.inputTokens, m.outputTokens, m.cacheCreationInputTokens,
                                      m.cacheReadInputTokens, m.cacheCreation1hInputTokens));
    insert.bindInt64(12, m.cacheCreation1hInputTokens);
    insert.bindInt64(13, prices.version());
    insert.bindText(14, m.machine);
    insert.bindInt64(15, m.fromTelemetry ? 1 : 0);
    if (const int rc = insert.step(); rc != SQLITE_DONE)
        failStep(rc);
    if (sqlite3_changes(handle_) != 0)
        return;
    if (!selectStored) {
        selectStored = prepare(selectStoredMessageSql);
        updateMerged = prepare(updateMergedMessageSql);
    }
    mergeStoredMessage(selectStored, updateMerged, m, prices);
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
