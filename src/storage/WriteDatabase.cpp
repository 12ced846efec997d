#include "storage/WriteDatabase.h"

#include "core/Bounds.h"
#include "core/IsoTime.h"
#include "core/Log.h"
#include "core/SerialQueue.h"
#include "pricing/ModelPricingCatalog.h"
#include "pricing/PriceList.h"
#include "storage/SqliteStatement.h"
#include "storage/WriteDatabaseSupport.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <thread>

#include <sys/stat.h>

namespace tallyglass {

namespace {

constexpr const char* creationScript =
    "CREATE TABLE IF NOT EXISTS usage_limits ("
    " id INTEGER NOT NULL PRIMARY KEY CHECK (id = 1),"
    " five_hour_utilization REAL,"
    " five_hour_resets_at TEXT,"
    " seven_day_utilization REAL,"
    " seven_day_resets_at TEXT,"
    " extra_usage_enabled INTEGER,"
    " extra_usage_monthly_limit REAL,"
    " extra_usage_used_credits REAL,"
    " extra_usage_utilization REAL,"
    " fetched_at TEXT NOT NULL,"
    " last_fetch_at TEXT,"
    " last_fetch_status TEXT"
    ");"
    "CREATE TABLE IF NOT EXISTS messages ("
    " messageId TEXT NOT NULL PRIMARY KEY,"
    " sessionId TEXT NOT NULL,"
    " timestamp TEXT NOT NULL,"
    " role TEXT NOT NULL,"
    " model TEXT,"
    " inputTokens INTEGER NOT NULL DEFAULT 0,"
    " outputTokens INTEGER NOT NULL DEFAULT 0,"
    " cacheCreationInputTokens INTEGER NOT NULL DEFAULT 0,"
    " cacheReadInputTokens INTEGER NOT NULL DEFAULT 0,"
    " isSubagent INTEGER NOT NULL DEFAULT 0,"
    " cost REAL NOT NULL DEFAULT 0,"
    " cacheCreation1hInputTokens INTEGER NOT NULL DEFAULT 0,"
    " pricedWith INTEGER NOT NULL DEFAULT 0"
    ");"
    "CREATE INDEX IF NOT EXISTS idx_messages_sessionId ON messages(sessionId);"
    "CREATE INDEX IF NOT EXISTS idx_messages_timestamp ON messages(timestamp);"
    "CREATE TABLE IF NOT EXISTS sessions ("
    " sessionId TEXT NOT NULL PRIMARY KEY,"
    " timestamp TEXT NOT NULL,"
    " totalInputTokens INTEGER NOT NULL DEFAULT 0,"
    " totalOutputTokens INTEGER NOT NULL DEFAULT 0,"
    " isActive INTEGER NOT NULL DEFAULT 0,"
    " endedAt TEXT,"
    " project TEXT"
    ");";

constexpr const char* sessionsInfo = "PRAGMA table_info(sessions);";

constexpr const char* limitReadingsScript =
    "CREATE TABLE IF NOT EXISTS limit_readings ("
    " id INTEGER PRIMARY KEY,"
    " received_at TEXT NOT NULL,"
    " five_hour_utilization REAL,"
    " five_hour_resets_at TEXT,"
    " seven_day_utilization REAL,"
    " seven_day_resets_at TEXT"
    ");"
    "CREATE INDEX IF NOT EXISTS idx_limit_readings_received_at ON limit_readings(received_at);";

// The importers' marks about this file's history (MessageWriter::stateValue).
constexpr const char* stateScript =
    "CREATE TABLE IF NOT EXISTS app_state ("
    " key TEXT NOT NULL PRIMARY KEY,"
    " value TEXT NOT NULL"
    ");";

// How far each transcript was read (TranscriptMark); kept in a table of its own.
constexpr const char* marksScript =
    "CREATE TABLE IF NOT EXISTS transcript_marks ("
    " path TEXT NOT NULL PRIMARY KEY,"
    " device INTEGER NOT NULL,"
    " inode INTEGER NOT NULL,"
    " size INTEGER NOT NULL,"
    " modifiedNs INTEGER NOT NULL,"
    " offset INTEGER NOT NULL,"
    " head BLOB NOT NULL,"
    " tail BLOB NOT NULL,"
    " unterminatedUntil INTEGER NOT NULL DEFAULT 0"
    ");";

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

constexpr const char* upsertRateLimitsSql =
    "INSERT INTO usage_limits ( id, five_hour_utilization, five_hour_resets_at, seven_day_utilization, "
    "seven_day_resets_at, fetched_at, last_fetch_at, last_fetch_status ) VALUES (1, ?, ?, ?, ?, ?, ?, 'ok') "
    "ON CONFLICT(id) DO UPDATE SET five_hour_utilization = excluded.five_hour_utilization, "
    "five_hour_resets_at = excluded.five_hour_resets_at, seven_day_utilization = excluded.seven_day_utilization, "
    "seven_day_resets_at = excluded.seven_day_resets_at, fetched_at = excluded.fetched_at, "
    "last_fetch_at = excluded.last_fetch_at, last_fetch_status = 'ok'";

Instant systemNow()
{
    return std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
}

std::string connectionMessage(sqlite3* db)
{
    return db ? sqlite3_errmsg(db) : sqlite3_errstr(SQLITE_NOMEM);
}

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

bool fileExists(const std::filesystem::path& path)
{
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

// Which file a path names now (device and inode); nothing when none.
std::optional<std::pair<std::uint64_t, std::uint64_t>> fileIdentity(const std::filesystem::path& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return std::nullopt;
    return std::make_pair(static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino));
}

} // namespace

WriteDatabase::WriteDatabase(std::filesystem::path path)
    : WriteDatabase(std::move(path), Options{})
{
}

WriteDatabase::WriteDatabase(std::filesystem::path path, Options options)
    : path_(std::move(path))
    , options_(std::move(options))
{
    if (!options_.clock)
        options_.clock = systemNow;
    std::filesystem::create_directories(path_.parent_path());
    try {
        openAndPrepare();
    } catch (...) {
        closeHandle();
        throw;
    }
    queue_ = std::make_unique<SerialQueue>("tallyglass.db.write");
    queue_->async([this, pass = ++repricingPass_] { repriceStep(pass, 0, 0, false); });
    // Between writes too, a file replaced is noticed within an interval.
    queue_->startTimer(options_.checkpointInterval, [this] {
        try {
            followTheFile();
        } catch (const std::exception& error) {
            Log::line("reopening " + path_.string() + " failed (tried again at the next write): " + error.what());
        }
        if (handle_)
            sqlite3_exec(handle_, "PRAGMA wal_checkpoint(PASSIVE);", nullptr, nullptr, nullptr);
    });
}

WriteDatabase::~WriteDatabase()
{
    stopping_ = true; // a repricing still under way ends after its step; the next open goes on with it
    // The queue ends first: it finishes the write in progress, and no tick can
    // reach the connection after this. It stays reachable while it ends, for
    // the repricing step that queues its successor as it finishes.
    queue_->finish();
    queue_.reset();
    closeHandle();
}

void WriteDatabase::closeHandle()
{
    lastReading_.reset(); // a file opened again may hold another history
    if (handle_) {
        if (sqlite3_close_v2(handle_) != SQLITE_OK)
            Log::line("closing " + path_.string() + " failed: " + sqlite3_errmsg(handle_));
        handle_ = nullptr;
    }
}

void WriteDatabase::exec(const char* sql)
{
    char* error = nullptr;
    const int rc = sqlite3_exec(handle_, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        std::string message = error ? error : sqlite3_errstr(rc);
        sqlite3_free(error);
        throw WriteError(WriteError::Kind::executeFailed, std::move(message), sqlite3_extended_errcode(handle_));
    }
}

SqliteStatement WriteDatabase::prepare(const char* sql)
{
    SqliteStatement statement;
    const int rc = SqliteStatement::prepare(handle_, sql, statement);
    if (rc != SQLITE_OK)
        throw WriteError(WriteError::Kind::prepareFailed, connectionMessage(handle_), rc);
    return statement;
}

void WriteDatabase::failStep(int rc)
{
    // A failed bind is said by its own code's words: the connection may hold an older message.
    const bool fromConnection = handle_ && (sqlite3_errcode(handle_) & 0xFF) == (rc & 0xFF);
    if (fromConnection)
        rc = sqlite3_extended_errcode(handle_);
    throw WriteError(WriteError::Kind::stepFailed, fromConnection ? connectionMessage(handle_) : sqlite3_errstr(rc), rc);
}

void WriteDatabase::openAndPrepare()
{
    const bool existed = fileExists(path_);
    try {
        openAndPrepareOnce();
        openedFile_ = fileIdentity(path_);
    } catch (const WriteError& error) {
        if (!existed || (error.primaryCode() != SQLITE_NOTADB && error.primaryCode() != SQLITE_CORRUPT))
            throw;
        closeHandle();
        keepDamagedFileAside();
        openAndPrepareOnce();
        openedFile_ = fileIdentity(path_);
    }
}

void WriteDatabase::openAndPrepareOnce()
{
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK || !db) {
        std::string message = connectionMessage(db);
        const int code = db ? sqlite3_extended_errcode(db) : rc;
        if (db)
            sqlite3_close_v2(db);
        throw WriteError(WriteError::Kind::cannotOpen, std::move(message), code);
    }
    handle_ = db;
    exec("PRAGMA journal_mode = WAL;");
    exec("PRAGMA busy_timeout = 100;");
    exec(("PRAGMA cache_size = -" + std::to_string(options_.cacheSizeKiB) + ";").c_str());
    if (options_.synchronousNormal)
        exec("PRAGMA synchronous = NORMAL;");
    exec(("PRAGMA wal_autocheckpoint = " + std::to_string(options_.walAutocheckpointPages) + ";").c_str());
    exec(creationScript);
    migrate(WriteDatabaseSupport::messagesInfo, "isSubagent", "ALTER TABLE messages ADD COLUMN isSubagent INTEGER NOT NULL DEFAULT 0;", false);
    migrate(sessionsInfo, "isActive", "ALTER TABLE sessions ADD COLUMN isActive INTEGER NOT NULL DEFAULT 0;", false);
    migrate(sessionsInfo, "endedAt", "ALTER TABLE sessions ADD COLUMN endedAt TEXT;", false);
    migrate(WriteDatabaseSupport::messagesInfo, "cost", "ALTER TABLE messages ADD COLUMN cost REAL NOT NULL DEFAULT 0;", true);
    migrate(WriteDatabaseSupport::messagesInfo, "cacheCreation1hInputTokens",
            "ALTER TABLE messages ADD COLUMN cacheCreation1hInputTokens INTEGER NOT NULL DEFAULT 0;", false);
    // Every stored message is priced again, off the caller's thread, once the writer runs (repriceStep).
    migrate(WriteDatabaseSupport::messagesInfo, "pricedWith", "ALTER TABLE messages ADD COLUMN pricedWith INTEGER NOT NULL DEFAULT 0;", false);
    // Filled from the transcripts' folders by the next import or catch-up (HistoryImport).
    migrate(sessionsInfo, "project", "ALTER TABLE sessions ADD COLUMN project TEXT;", false);
    // The history of rate-limit readings: a table of its own, so that files of
    // any version still open in the readers of any other.
    exec(limitReadingsScript);
    exec(stateScript);
    exec(marksScript);
}

void WriteDatabase::keepDamagedFileAside()
{
    const std::string stamp = IsoTime::formatSeconds(options_.clock());
    std::string compact; // 20261206T101500Z: no separators that some tools dislike in names
    for (const char c : stamp) {
        if (c != '-' && c != ':')
            compact += c;
    }
    const std::filesystem::path kept = path_.string() + ".corrupt-" + compact;
    // The -wal and -shm files follow under matching names, so the kept pair can still be opened.
    for (const char* suffix : {"", "-wal", "-shm"}) {
        const std::filesystem::path from = path_.string() + suffix;
        if (fileExists(from))
            std::filesystem::rename(from, kept.string() + suffix);
    }
    Log::line(path_.string() + " is not a usable database; kept it as " + kept.string() + " and started a fresh one");
}

// A file deleted, or replaced by another (`mv` over it, a backup put back),
// is not the one to write into: the path's file is opened, and whoever keeps
// things in it hears of the change.
void WriteDatabase::followTheFile()
{
    if (handle_ && openedFile_ && fileIdentity(path_) == openedFile_)
        return;
    const bool replaced = handle_ != nullptr;
    // What the old file's log holds goes into the old file, and the log is
    // emptied: left behind under the path's name, it would be replayed into
    // whatever file is there now.
    if (handle_)
        sqlite3_wal_checkpoint_v2(handle_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    closeHandle();
    openAndPrepare();
    if (replaced && onReopened_)
        onReopened_();
}

void WriteDatabase::runWithRetry(const std::function<void()>& body)
{
    followTheFile();
    try {
        body();
        return;
    } catch (const WriteError& error) {
        // Decided by SQLite's code, whatever failed: a statement, BEGIN or COMMIT.
        switch (error.primaryCode()) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            if (options_.retryPause)
                options_.retryPause();
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            break;
        case SQLITE_IOERR:
            followTheFile();
            break;
        default:
            throw;
        }
    }
    body();
}

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

std::string WriteDatabase::nowText() const
{
    return IsoTime::formatSeconds(options_.clock());
}

std::int64_t WriteDatabase::messageCount()
{
    return queue_->sync([&] {
        std::int64_t count = 0;
        runWithRetry([&] {
            SqliteStatement statement = prepare("SELECT COUNT(*) FROM messages;");
            if (const int rc = statement.step(); rc != SQLITE_ROW)
                failStep(rc);
            count = statement.int64(0);
        });
        return count;
    });
}

void WriteDatabase::upsertRateLimits(const RateLimitWindow& five, const RateLimitWindow& seven, Instant at)
{
    queue_->sync([&] {
        runWithRetry([&] {
            std::optional<LimitValues> kept;
            const auto write = [&] {
                SqliteStatement statement = prepare(upsertRateLimitsSql);
                const std::string atText = IsoTime::formatSeconds(at);
                statement.bindOptionalDouble(1, five.utilization);
                statement.bindOptionalText(2, five.resetsAt);
                statement.bindOptionalDouble(3, seven.utilization);
                statement.bindOptionalText(4, seven.resetsAt);
                statement.bindText(5, atText);
                statement.bindText(6, atText);
                if (const int rc = statement.step(); rc != SQLITE_DONE)
                    failStep(rc);
                kept = keepLimitReading(five, seven, at);
            };
            try {
                WriteDatabaseSupport::inTransaction(handle_, [this](const char* sql) { exec(sql); }, write);
            } catch (...) {
                lastReading_.reset(); // whatever the file holds now, it is looked up again
                throw;
            }
            if (kept)
                lastReading_ = std::move(kept); // remembered once it is there for good
        });
    });
}

} // namespace tallyglass
