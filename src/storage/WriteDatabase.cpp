#include "storage/WriteDatabase.h"

#include "core/Bounds.h"
#include "core/IsoTime.h"
#include "core/Log.h"
#include "core/SerialQueue.h"
#include "storage/SqliteStatement.h"
#include "storage/WriteDatabaseSupport.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
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
    " pricedWith INTEGER NOT NULL DEFAULT 0,"
    " machine TEXT NOT NULL DEFAULT '',"
    " fromTelemetry INTEGER NOT NULL DEFAULT 0"
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
    " project TEXT,"
    " machine TEXT NOT NULL DEFAULT ''"
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

// How far the messages were sent to each endpoint: the rowid of the last one
// the endpoint accepted. In the file itself, so that a file replaced or
// deleted sends its own history from the start.
constexpr const char* sentMarksScript =
    "CREATE TABLE IF NOT EXISTS sent_marks ("
    " endpoint TEXT NOT NULL PRIMARY KEY,"
    " lastRowid INTEGER NOT NULL"
    ");";

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
    if (options_.machineName.empty())
        options_.machineName = WriteDatabaseSupport::hostName();
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
    // What was stored since the last look at the prices is looked at once more
    // (a few rows, after a command's catch-up), so that a report that follows
    // reads from here rather than from every message an import stored.
    queue_->sync([this] { notePricesOnClosing(); });
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

// Every rewrite or deletion of a stored message, by its row, whichever write
// made it (a repeat with larger counts, pricing again, telemetry giving way to
// a transcript, a migration): readers holding the history read only the rows
// named since their last read, and new rows by their number. Triggers, so that
// no write path can forget it. The newest few thousand are kept; a reader
// further behind reads everything again, as it would for that many anyway.
// Needs app_state (stateScript) first.
constexpr const char* messageChangesScript =
    "CREATE TABLE IF NOT EXISTS message_changes (seq INTEGER PRIMARY KEY, messageRow INTEGER NOT NULL);"
    "CREATE TRIGGER IF NOT EXISTS message_rewritten AFTER UPDATE ON messages BEGIN "
    " INSERT INTO message_changes (messageRow) VALUES (old.rowid); END;"
    "CREATE TRIGGER IF NOT EXISTS message_deleted AFTER DELETE ON messages BEGIN "
    " INSERT INTO message_changes (messageRow) VALUES (old.rowid); END;"
    "CREATE TRIGGER IF NOT EXISTS message_changes_kept AFTER INSERT ON message_changes WHEN new.seq % 1024 = 0 BEGIN "
    " DELETE FROM message_changes WHERE seq <= new.seq - 4096; END;"
    // Which file the rows are numbered in: a fresh file in the place of another may get its inode, never this.
    "INSERT OR IGNORE INTO app_state (key, value) VALUES ('messages.file', lower(hex(randomblob(8))));";

void WriteDatabase::openAndPrepareOnce()
{
    sqlite3* db = nullptr;
    // Only the writer's thread uses the connection (before the queue, the constructor): SQLite's own locking
    // around every call would buy nothing.
    const int rc = sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
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
    // The few texts written with another offset than Z, which the newest moment must read whole (DatabaseClient).
    exec("CREATE INDEX IF NOT EXISTS idx_messages_zonedTimestamp ON messages(timestamp) WHERE substr(timestamp, -1) <> 'Z';");
    // Filled from the transcripts' folders by the next import or catch-up (HistoryImport).
    migrate(sessionsInfo, "project", "ALTER TABLE sessions ADD COLUMN project TEXT;", false);
    migrateMachines();
    // The history of rate-limit readings: a table of its own, so that files of
    // any version still open in the readers of any other.
    exec(limitReadingsScript);
    exec(stateScript);
    exec(marksScript);
    exec(messageChangesScript);
    exec(sentMarksScript);
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
