#pragma once

#include "capture/TranscriptMarks.h"
#include "capture/TranscriptQueue.h"
#include "events/HookHandler.h"
#include "storage/MessageWriter.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace tallyglass {

class TranscriptReader;

// Turns Claude Code's hook events into stored messages. SessionStart marks a
// session active; SessionEnd reads the session's transcript once more and then
// marks it ended; every other event reads the session's transcript (and, for
// SubagentStop, the subagent's own, attributed to the parent session) and
// stores its assistant messages.
//
// handle() only hands the transcript to a TranscriptQueue and returns: the
// queue waits for the file to settle, reads it, and reads it again a little
// later, because Claude Code may write a turn's last lines (or create the file)
// after its hook has run. Only what was appended since the last successful
// write is parsed: a mark per transcript (shared with the imports and kept in
// the database) moves on after each write. A write that fails keeps its
// transcript waiting and is tried again until it lands, and whoever shows the
// application's state is told while storing fails, and when it works again.
// Paths are read only when they name a regular file, in pieces of bounded size.
class CaptureService final : public HookHandler {
public:
    struct Options {
        TranscriptQueue::Timing timing;
        int readerThreads = 4;            // a long first read of one transcript does not hold up the others
        std::size_t pieceBytes = 4u << 20; // per reader: with the parser, the memory reading may take
        std::size_t batchRecords = 500;    // records stored (and the cursor moved) together
        std::size_t maxTranscripts = 4096; // transcripts waiting at once; events beyond are dropped
        // The now that messages' times are held to (see TranscriptParser); empty: the system's.
        std::function<Instant()> now{};
    };

    // Told when storing starts failing (with the reason) and when it works
    // again (nothing), on a reader thread.
    using StoreObserver = std::function<void(const std::optional<std::string>& problem)>;

    CaptureService(std::shared_ptr<MessageWriter> writer, std::int64_t fileStabilityTimeoutMs,
                   std::int64_t fileStabilityIntervalMs);
    CaptureService(std::shared_ptr<MessageWriter> writer, Options options,
                   std::shared_ptr<TranscriptMarks> marks = std::make_shared<TranscriptMarks>());
    ~CaptureService() override;

    void handle(const std::string& body) override;

    // Blocks until no transcript waits to be read or is being read, follow-up
    // reads included; false when the time ran out first.
    bool waitUntilIdle(std::chrono::milliseconds timeout);

    // With a clock of a test's own (Options::timing.now): the time moved; see TranscriptQueue::timeMoved.
    bool timeMoved(std::chrono::milliseconds timeout) { return queue_->timeMoved(timeout); }

    // For shutdown: reads in progress finish, nothing more is read (the
    // catch-up at the next start reads what is left), and sessions that ended
    // meanwhile are marked ended.
    void stop();

    // Set before the first event.
    void setStoreObserver(StoreObserver observer) { storeObserver_ = std::move(observer); }
    // Why storing fails now; nothing while it works.
    std::optional<std::string> storeProblem() const;
    // Another write got through: what waits to be stored is tried now.
    void storingWorks();
    std::size_t waitingToStore() const { return queue_->retrying(); }

private:
    void markSession(const std::string& eventName, const std::string& sessionId, bool active);
    bool read(const TranscriptQueue::Request& request);
    bool store(std::vector<MessageInsert>& records, const TranscriptQueue::Request& request);
    void keepMark(const TranscriptMark& mark);
    void noteStoreOutcome(const std::optional<std::string>& problem);
    TranscriptReader& readerForThisThread();
    void noteProject(const std::string& sessionId, const std::string& cwd);
    void storeProjects(const std::vector<MessageInsert>& stored);

    const std::shared_ptr<MessageWriter> writer_;
    const Options options_;
    const std::shared_ptr<TranscriptMarks> marks_;
    StoreObserver storeObserver_;
    mutable std::mutex storeMutex_;
    std::optional<std::string> storeProblem_;
    std::mutex readersMutex_;
    std::vector<std::unique_ptr<TranscriptReader>> readers_;
    std::atomic<bool> droppedLogged_{false};
    // A session's project is the folder its events name; stored once its row exists.
    std::mutex projectsMutex_;
    std::unordered_map<std::string, std::string> projectsToStore_;
    std::unordered_map<std::string, std::string> projectsStored_; // sessions whose project is stored
    std::unique_ptr<TranscriptQueue> queue_; // last: its threads stop before the rest goes
};

} // namespace tallyglass
