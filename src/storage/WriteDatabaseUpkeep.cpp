#include "storage/WriteDatabase.h"

#include "core/Bounds.h"
#include "core/Log.h"
#include "core/SerialQueue.h"
#include "pricing/ModelPricingCatalog.h"
#include "pricing/PriceList.h"
#include "storage/PriceCheck.h"
#include "storage/SqliteStatement.h"
#include "storage/WriteDatabaseSupport.h"

#include <algorithm>
#include <atomic>
#include <string_view>
#include <unistd.h>

// The writer's upkeep of older files: the columns later versions added, and
// the prices of stored messages brought up to the current price list.
namespace tallyglass {

using WriteDatabaseSupport::boundedCounts;
using WriteDatabaseSupport::inTransaction;
using WriteDatabaseSupport::messagesInfo;

namespace {

// Messages priced with another list than the one in use, a range of rowids at
// a time. Another, not only an older one: the user's own entries make a
// version of their own, and taking them away goes back to the built-in one.
constexpr const char* stalePricesSql =
    "SELECT rowid, model, inputTokens, outputTokens, cacheCreationInputTokens, cacheReadInputTokens, "
    "cacheCreation1hInputTokens, messageId FROM messages WHERE rowid > ?1 AND rowid <= ?2 AND pricedWith <> ?3";
constexpr const char* repriceSql =
    "UPDATE messages SET inputTokens = ?, outputTokens = ?, cacheCreationInputTokens = ?, cacheReadInputTokens = ?, "
    "cacheCreation1hInputTokens = ?, cost = ?, pricedWith = ? WHERE rowid = ?";
constexpr std::int64_t repriceRowsPerStep = 20'000;
constexpr const char* keepPriceMarkSql =
    "INSERT INTO app_state (key, value) VALUES (?1, ?2) "
    "ON CONFLICT(key) DO UPDATE SET value = excluded.value WHERE value <> excluded.value;";
constexpr const char* recountSessionsSql =
    "UPDATE sessions SET "
    "totalInputTokens = (SELECT CAST(MIN(TOTAL(inputTokens), 9.0e18) AS INTEGER) FROM messages "
    "WHERE messages.sessionId = sessions.sessionId), "
    "totalOutputTokens = (SELECT CAST(MIN(TOTAL(outputTokens), 9.0e18) AS INTEGER) FROM messages "
    "WHERE messages.sessionId = sessions.sessionId);";

} // namespace

std::string WriteDatabaseSupport::hostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "unknown";
    return name;
}

MessageInsert WriteDatabaseSupport::boundedCounts(const MessageInsert& m)
{
    MessageInsert b = m;
    b.inputTokens = Bounds::tokens(m.inputTokens);
    b.outputTokens = Bounds::tokens(m.outputTokens);
    b.cacheCreationInputTokens = Bounds::tokens(m.cacheCreationInputTokens);
    b.cacheReadInputTokens = Bounds::tokens(m.cacheReadInputTokens);
    b.cacheCreation1hInputTokens = std::clamp<std::int64_t>(m.cacheCreation1hInputTokens, 0, b.cacheCreationInputTokens);
    static std::atomic<bool> noted{false};
    if (!(b == m) && !noted.exchange(true))
        Log::line("token counts outside 0\u20261000000000000 were held to that range (first in message " + m.messageId + ")");
    return b;
}

bool WriteDatabase::hasColumn(const char* tableInfoSql, const char* column)
{
    SqliteStatement info = prepare(tableInfoSql);
    int rc;
    while ((rc = info.step()) == SQLITE_ROW) {
        const auto name = info.text(1);
        if (name && *name == column)
            return true;
    }
    if (rc != SQLITE_DONE)
        failStep(rc);
    return false;
}

void WriteDatabase::migrate(const char* tableInfoSql, const char* column, const char* alterSql, bool backfillCost)
{
    if (hasColumn(tableInfoSql, column))
        return;
    exec(alterSql);
    if (backfillCost)
        backfillMessageCost();
}

// Messages and sessions gained the machine they were spent on. Every row
// stored before came from this machine's transcripts, and none from telemetry.
void WriteDatabase::migrateMachines()
{
    const bool messages = !hasColumn(messagesInfo, "machine");
    const bool sessions = !hasColumn("PRAGMA table_info(sessions);", "machine");
    if (!hasColumn(messagesInfo, "fromTelemetry"))
        exec("ALTER TABLE messages ADD COLUMN fromTelemetry INTEGER NOT NULL DEFAULT 0;");
    if (!messages && !sessions)
        return;
    inTransaction(handle_, [this](const char* sql) { exec(sql); }, [&] {
        for (const char* table : {"messages", "sessions"}) {
            if (std::string_view(table) == "messages" ? !messages : !sessions)
                continue;
            exec(("ALTER TABLE " + std::string(table) + " ADD COLUMN machine TEXT NOT NULL DEFAULT '';").c_str());
            SqliteStatement name = prepare(("UPDATE " + std::string(table) + " SET machine = ?;").c_str());
            name.bindText(1, options_.machineName);
            if (const int rc = name.step(); rc != SQLITE_DONE)
                failStep(rc);
        }
    });
}

void WriteDatabase::backfillMessageCost()
{
    // Files that predate the cost column also predate the one-hour column; read it when it is there.
    const bool hasOneHour = hasColumn(messagesInfo, "cacheCreation1hInputTokens");
    SqliteStatement select = prepare(hasOneHour
        ? "SELECT messageId, model, inputTokens, outputTokens, cacheCreationInputTokens, cacheReadInputTokens, "
          "cacheCreation1hInputTokens FROM messages;"
        : "SELECT messageId, model, inputTokens, outputTokens, cacheCreationInputTokens, cacheReadInputTokens "
          "FROM messages;");
    struct Pending {
        std::string id;
        double cost;
    };
    std::vector<Pending> pending;
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
        const auto id = select.text(0);
        if (!id)
            continue;
        const auto model = select.text(1);
        const double cost = ModelPricingCatalog::cost(model, select.int64(2), select.int64(3), select.int64(4),
                                                      select.int64(5), hasOneHour ? select.int64(6) : 0);
        if (cost > 0)
            pending.push_back({std::string(*id), cost});
    }
    if (rc != SQLITE_DONE)
        failStep(rc);
    if (pending.empty())
        return;

    inTransaction(handle_, [this](const char* sql) { exec(sql); }, [&] {
        SqliteStatement update = prepare("UPDATE messages SET cost = ? WHERE messageId = ?;");
        for (const Pending& p : pending) {
            update.resetAndClear();
            update.bindDouble(1, p.cost);
            update.bindText(2, p.id);
            if (const int step = update.step(); step != SQLITE_DONE)
                failStep(step);
        }
    });
}

struct WriteDatabase::StaleRow {
    std::int64_t rowid;
    MessageInsert m;
};

// The messages among rowids (afterRowid, until] priced with another list.
std::vector<WriteDatabase::StaleRow> WriteDatabase::staleRows(const PriceList& prices, std::int64_t afterRowid, std::int64_t until)
{
    std::vector<StaleRow> stale;
    SqliteStatement select = prepare(stalePricesSql);
    select.bindInt64(1, afterRowid);
    select.bindInt64(2, until);
    select.bindInt64(3, prices.version());
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
        StaleRow row{select.int64(0), {}};
        if (const auto model = select.text(1))
            row.m.model = std::string(*model);
        row.m.inputTokens = select.int64(2);
        row.m.outputTokens = select.int64(3);
        row.m.cacheCreationInputTokens = select.int64(4);
        row.m.cacheReadInputTokens = select.int64(5);
        row.m.cacheCreation1hInputTokens = select.int64(6);
        row.m.messageId = select.text(7).value_or("");
        stale.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE)
        failStep(rc);
    return stale;
}

// Stores each row's counts, held to their bounds, with their cost by the list
// given, in one transaction. True when a count had to be held.
bool WriteDatabase::repriceRows(const PriceList& prices, const std::vector<StaleRow>& stale)
{
    bool clamped = false;
    inTransaction(handle_, [this](const char* sql) { exec(sql); }, [&] {
        SqliteStatement update = prepare(repriceSql);
        for (const StaleRow& row : stale) {
            const MessageInsert m = boundedCounts(row.m);
            clamped = clamped || !(m == row.m);
            update.resetAndClear();
            update.bindInt64(1, m.inputTokens);
            update.bindInt64(2, m.outputTokens);
            update.bindInt64(3, m.cacheCreationInputTokens);
            update.bindInt64(4, m.cacheReadInputTokens);
            update.bindInt64(5, m.cacheCreation1hInputTokens);
            update.bindDouble(6, prices.cost(m.model, m.inputTokens, m.outputTokens, m.cacheCreationInputTokens,
                                             m.cacheReadInputTokens, m.cacheCreation1hInputTokens));
            update.bindInt64(7, prices.version());
            update.bindInt64(8, row.rowid);
            if (const int step = update.step(); step != SQLITE_DONE)
                failStep(step);
        }
    });
    return clamped;
}

void WriteDatabase::keepPriceMark(const std::string& mark)
{
    SqliteStatement keep = prepare(keepPriceMarkSql);
    keep.bindText(1, PriceCheck::key);
    keep.bindText(2, mark);
    if (const int rc = keep.step(); rc != SQLITE_DONE)
        failStep(rc);
}

// Whether the mark a pass left says every message is priced with `version`;
// if so the mark is brought up to now in the same transaction, so that the
// next look starts from here. Otherwise a pass begins, and its start is kept.
bool WriteDatabase::nothingToPriceAgain(std::int64_t version)
{
    bool nothing = false;
    inTransaction(handle_, [this](const char* sql) { exec(sql); }, [&] {
        nothing = PriceCheck::allPricedWith(handle_, version).value_or(false);
        const auto now = PriceCheck::now(handle_, version);
        if (nothing && now)
            keepPriceMark(PriceCheck::text(*now));
        passStartMark_ = now ? std::optional(PriceCheck::text(*now)) : std::nullopt;
    });
    return nothing;
}

void WriteDatabase::notePricesOnClosing()
{
    const auto prices = ModelPricingCatalog::current();
    if (!handle_ || !prices->repricesStored() || repricedPass_ != repricingPass_)
        return; // a pass under way goes on at the next opening
    try {
        // A few rows past the mark cost a later look next to nothing: only a
        // history stored since (an import) or changes near the number kept are worth a write.
        const auto now = PriceCheck::now(handle_, prices->version());
        std::optional<PriceCheck::Mark> mark;
        {
            SqliteStatement stored = prepare("SELECT value FROM app_state WHERE key = ?1;");
            stored.bindText(1, PriceCheck::key);
            if (stored.step() == SQLITE_ROW && stored.text(0))
                mark = PriceCheck::parse(*stored.text(0));
        }
        if (now && mark && now->rowid - mark->rowid < 10'000 && now->seq - mark->seq < 1'000)
            return;
        nothingToPriceAgain(prices->version()); // not retried, nor a file replaced meanwhile followed: a look, no more
    } catch (const std::exception& error) {
        Log::line(std::string("looking at the prices stored failed: ") + error.what());
    }
}

void WriteDatabase::priceAgain()
{
    const int pass = ++repricingPass_;
    queue_->async([this, pass] { repriceStep(pass, 0, 0, false); });
}

// Prices again, in steps of a range of rowids each its own transaction, every
// message priced with another list (or by a build that did not record it),
// holding its counts to their bounds on the way. Each step queues the next, so
// writes of capture and import go on in between. The list in use is taken
// again at each step: one that changed meanwhile has queued a pass of its
// own, which goes over every row again. A list standing in for a price file
// that could not be read changes nothing stored.
void WriteDatabase::repriceStep(int pass, std::int64_t afterRowid, std::int64_t repricedSoFar, bool clampedSoFar)
{
    if (stopping_ || pass != repricingPass_)
        return;
    const auto prices = ModelPricingCatalog::current();
    if (!prices->repricesStored()) {
        repricedPass_ = pass;
        return;
    }
    std::int64_t repriced = repricedSoFar;
    bool clamped = clampedSoFar;
    bool more = false;
    bool none = false;
    try {
        runWithRetry([&] {
            // A pass that finds every message priced with the list in use ends at once.
            if (afterRowid == 0 && nothingToPriceAgain(prices->version())) {
                none = true;
                return;
            }
            SqliteStatement last = prepare("SELECT COALESCE(MAX(rowid), 0) FROM messages;");
            if (const int rc = last.step(); rc != SQLITE_ROW)
                failStep(rc);
            const std::int64_t maxRowid = last.int64(0);
            const std::int64_t until = afterRowid + repriceRowsPerStep;
            const std::vector<StaleRow> stale = staleRows(*prices, afterRowid, until);
            if (!stale.empty())
                clamped = repriceRows(*prices, stale) || clamped;
            repriced += static_cast<std::int64_t>(stale.size());
            more = until < maxRowid;
            afterRowid = until;
        });
    } catch (const std::exception& error) {
        Log::line(std::string("pricing stored messages again failed: ") + error.what());
        repricedPass_ = pass;
        return;
    }
    if (none) {
        repricedPass_ = pass;
        return;
    }
    if (more) {
        queue_->async([this, pass, afterRowid, repriced, clamped] { repriceStep(pass, afterRowid, repriced, clamped); });
        return;
    }
    // Every message was priced with this list as the pass went: what changes
    // from its start on is what the next look reads.
    const auto start = passStartMark_ ? PriceCheck::parse(*passStartMark_) : std::nullopt;
    if (start && start->version == prices->version()) {
        try {
            runWithRetry([&] { keepPriceMark(*passStartMark_); });
        } catch (const std::exception& error) {
            Log::line(std::string("keeping what was priced failed: ") + error.what());
        }
    }
    passStartMark_.reset();
    if (clamped) {
        // Counts held to their bounds change the sums of their sessions.
        try {
            runWithRetry([&] { exec(recountSessionsSql); });
        } catch (const std::exception& error) {
            Log::line(std::string("summing sessions again failed: ") + error.what());
        }
    }
    if (repriced > 0)
        Log::line("priced " + std::to_string(repriced) + " stored messages again with the price list in use");
    repricedPass_ = pass;
}

void WriteDatabase::setBulkLoad(bool loading)
{
    queue_->sync([&] {
        runWithRetry([&] {
            if (!loading) {
                exec("CREATE INDEX IF NOT EXISTS idx_messages_timestamp ON messages(timestamp);");
                return;
            }
            // Only an empty table: building the index again over a history would cost more than it saves.
            SqliteStatement any = prepare("SELECT 1 FROM messages LIMIT 1;");
            const int rc = any.step();
            if (rc != SQLITE_ROW && rc != SQLITE_DONE)
                failStep(rc);
            if (rc == SQLITE_DONE)
                exec("DROP INDEX IF EXISTS idx_messages_timestamp;");
        });
    });
}

void WriteDatabase::waitForRepricing()
{
    while (repricedPass_ != repricingPass_ && !stopping_)
        queue_->sync([] {});
}

} // namespace tallyglass
