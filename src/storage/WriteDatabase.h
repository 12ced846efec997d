#pragma once

#include "core/Instant.h"
#include "storage/MessageWriter.h"
#include "storage/WriteError.h"

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

struct sqlite3;

namespace tallyglass {

class PriceList;
class SerialQueue;
class SqliteStatement;

// The only writer of app.db. Creates the file, its directory and its schema,
// brings older files up to date, and runs every write on one serial worker
// thread ("tallyglass.db.write"); callers block until their write is done.
// Each write retries once on a transient lock or a disk I/O error, and a file
// deleted underneath is recreated on the next write. A file that is not a
// database at all is kept aside under a ".corrupt-<time>" name and replaced by
// a fresh one, so a damaged file never leaves the application without storage.
class WriteDatabase final : public MessageWriter {
public:
    using Clock = std::function<Instant()>;

    struct Options {
        Clock clock;                                          // default: the system clock
        std::chrono::milliseconds checkpointInterval{30'000};
        // Page cache of the writer's connection, KiB. Message ids are random,
        // so a history import touches random pages of the primary-key index; a
        // cache that holds the index keeps those touches off the disk.
        int cacheSizeKiB = 65'536;
        // In WAL mode, NORMAL skips the fsync on each commit (the WAL is synced
        // at checkpoints). A power cut may lose the last commits, never the
        // file; every message can be read again from its transcript.
        bool synchronousNormal = true;
        // WAL pages before a commit checkpoints on its own. Random keys rewrite
        // the same index pages over and over; a longer WAL lets those rewrites
        // reach the database file once per checkpoint instead of once per batch.
        int walAutocheckpointPages = 16'384;
        // Waits out a lock another connection holds before the one retry of a
        // write (default: 50 ms on top of SQLite's own busy wait). A test ends
        // the lock here instead, so that it ends while the writer waits.
        std::function<void()> retryPause{};
        // The name given to messages spent on this machine (read from its
        // transcripts); default: the host name.
        std::string machineName{};
    };

    // Throws WriteError, or std::filesystem::filesystem_error when the
    // directory cannot be created.
    explicit WriteDatabase(std::filesystem::path path);
    WriteDatabase(std::filesystem::path path, Options options);
    ~WriteDatabase() override;
    WriteDatabase(const WriteDatabase&) = delete;
    WriteDatabase& operator=(const WriteDatabase&) = delete;

    void insertMessages(const std::vector<MessageInsert>& messages) override;
    void insertBackfillMessages(const std::vector<MessageInsert>& messages) override;
    void upsertRateLimits(const RateLimitWindow& five, const RateLimitWindow& seven, Instant at) override;
    void setSessionActive(const std::string& sessionId, bool active) override;
    void setSessionProjects(const std::vector<std::pair<std::string, std::string>>& projects, bool onlyUnknown) override;
    std::optional<std::string> stateValue(const std::string& key) override;
    void setStateValue(const std::string& key, const std::string& value) override;
    void setTranscriptMarks(const std::vector<TranscriptMark>& marks) override;
    std::vector<TranscriptMark> transcriptMarks() override;
    void setBulkLoad(bool loading) override;

    // Clears the active mark of sessions first recorded more than `olderThanSeconds` ago.
    void cleanupStaleActiveSessions(double olderThanSeconds);

    // How many messages are stored (for the import's summary).
    std::int64_t messageCount();

    // Prices again, in the background, every stored message priced with
    // another list than the one in use (ModelPricingCatalog::current), as
    // after opening; a pass under way gives way to this one. Returns at once.
    void priceAgain();
    // Blocks until the messages priced with another price list, which are
    // priced again in the background after opening and after priceAgain(), all are.
    void waitForRepricing();

    const std::filesystem::path& path() const { return path_; }
    // The name this machine's messages are stored under (Options::machineName).
    const std::string& machineName() const { return options_.machineName; }

    // How far the messages were sent to an endpoint: the rowid of the last one
    // it accepted (0: none yet). Rows are only ever added after it: the ones
    // deleted (a session's telemetry giving way) are never sent, so no row
    // that was sent is ever the last and a new one takes a higher rowid.
    std::int64_t sentMark(const std::string& endpoint);
    void setSentMark(const std::string& endpoint, std::int64_t rowid);

    // Called on the writer's thread after every write of messages, such as a
    // sender waits for; it must not wait for the writer. Any thread may set it.
    void setOnMessagesStored(std::function<void()> callback);

    // Called, on the writer's thread, after the file at the path was found
    // deleted or replaced and the one there now was opened instead. Set before
    // the first write; it must not wait for the writer.
    void setOnReopened(std::function<void()> callback) { onReopened_ = std::move(callback); }

private:
    void openAndPrepare();
    void openAndPrepareOnce();
    void closeHandle();
    void keepDamagedFileAside();
    void followTheFile();
    void runWithRetry(const std::function<void()>& body);

    void exec(const char* sql);
    SqliteStatement prepare(const char* sql);
    [[noreturn]] void failStep(int rc);

    bool hasColumn(const char* tableInfoSql, const char* column);
    void migrate(const char* tableInfoSql, const char* column, const char* alterSql, bool backfillCost);
    void backfillMessageCost();
    void migrateMachines();
    struct StaleRow;
    void repriceStep(int pass, std::int64_t afterRowid, std::int64_t repricedSoFar, bool clampedSoFar);
    std::vector<StaleRow> staleRows(const PriceList& prices, std::int64_t afterRowid, std::int64_t until);
    bool repriceRows(const PriceList& prices, const std::vector<StaleRow>& stale);
    bool nothingToPriceAgain(std::int64_t version);
    void keepPriceMark(const std::string& mark);
    void notePricesOnClosing();

    void insertMessagesImpl(const std::vector<MessageInsert>& messages, const char* sessionSql);
    struct SourceRule;
    void insertOneMessage(SqliteStatement& insert, SqliteStatement& selectStored, SqliteStatement& updateMerged,
                          const MessageInsert& m, const PriceList& prices);
    using LimitValues = std::array<std::optional<std::string>, 4>;
    // Stores the reading unless it repeats the last; the values stored, if any.
    std::optional<LimitValues> keepLimitReading(const RateLimitWindow& five, const RateLimitWindow& seven, Instant at);
    void mergeStoredMessage(SqliteStatement& select, SqliteStatement& update, const MessageInsert& m,
                            const PriceList& prices);
    std::string nowText() const;

    const std::filesystem::path path_;
    sqlite3* handle_ = nullptr;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> openedFile_; // device and inode of the open file
    std::function<void()> onReopened_;
    std::function<void()> onStored_; // on the writer's thread only
    // The values of the last stored rate-limit reading (as text), once looked up.
    std::optional<LimitValues> lastReading_;
    Options options_;
    std::atomic<bool> stopping_{false};
    // The pass of repricing last begun and the last one finished; steps of a
    // pass that another began after stop where they are.
    std::atomic<int> repricingPass_{0};
    std::atomic<int> repricedPass_{0};
    // The PriceCheck mark of the file as the pass under way began (writer's thread only).
    std::optional<std::string> passStartMark_;
    std::unique_ptr<SerialQueue> queue_;
};

} // namespace tallyglass
