#pragma once

#include "capture/TranscriptMarks.h"
#include "storage/MessageWriter.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <optional>
#include <string_view>
#include <vector>

namespace tallyglass {

// What an import read.
struct ScanStatistics {
    std::int64_t files = 0;
    std::int64_t bytes = 0;
    std::int64_t linesRead = 0;       // every transcript line, messages or not
    std::int64_t messagesRead = 0;    // the lines that hold a message's usage
    std::int64_t messagesWritten = 0; // handed to the writer in batches that succeeded
    std::int64_t unreadable = 0;      // files and folders that could not be read
    std::int64_t unreadableFolders = 0;
    std::int64_t impossibleTimes = 0; // lines left out for a message time that cannot be (counted in linesRead)
};

// The history import, as the import service and the command line run it.
class ScanRunning {
public:
    using Progress = std::function<void(std::int64_t done, std::int64_t total)>;
    virtual ~ScanRunning() = default;
    // Returns the number of transcript files found; throws when a batch write fails.
    virtual std::int64_t scanAll(const Progress& progress) = 0;
    // Asks a running scan to stop after the file in hand (for shutdown).
    virtual void requestStop() {}
    // Of the last run: whether it read only what transcripts gained, ended
    // early on a request, and what it read.
    virtual bool wasCatchUp() const { return false; }
    virtual bool stoppedEarly() const { return false; }
    virtual ScanStatistics statistics() const { return {}; }
};

// Imports every transcript below the roots: files ending in ".jsonl" outside
// "tool-results" folders, hidden entries skipped, each file once even when
// roots overlap or are linked. Subagent transcripts (below "<session
// UUID>/subagents/") are attributed to that session. Records are stored in
// batches of at least `batchSize`, whole files at a time, one transaction each.
// Each session is given the project its own transcript names first (the
// folder Claude Code worked in); only transcripts that name none fall back to
// what their folder's name stands for, and never replace a known project.
// Nothing unreadable is passed over in silence: it is
// logged, counted and kept as a problem, and the rest is still imported.
//
// How far each file was read is kept (TranscriptMarks, in the database, after
// its records). Mode::whole reads every file from its start, for a database
// that has no history yet; Mode::changes reads only what files gained since
// their marks, and nothing of a file as it was when last read: the catch-up,
// which finds what sessions wrote while nothing captured them, whatever the
// clock says.
class ScanService final : public ScanRunning {
public:
    using TimePoint = std::chrono::system_clock::time_point;

    using Statistics = ScanStatistics;

    // A file or folder that could not be read, and why.
    struct Problem {
        std::filesystem::path path;
        std::string reason;
        bool operator==(const Problem&) const = default;
    };

    enum class Mode { whole, changes };
    // The now that messages' times are held to (see TranscriptParser); empty: the system's.
    using WallClock = std::function<Instant()>;

    ScanService(std::shared_ptr<MessageWriter> writer, std::vector<std::filesystem::path> roots, std::int64_t batchSize,
                Mode mode = Mode::whole, std::shared_ptr<TranscriptMarks> marks = nullptr, WallClock now = {});

    std::int64_t scanAll(const Progress& progress) override;

    void requestStop() override { stopRequested_ = true; }
    // Whether the last scan ended on such a request before its last file.
    bool stoppedEarly() const override { return stoppedEarly_; }
    Statistics statistics() const override;
    // What could not be read by the last scan, in the order met (the first 100).
    std::vector<Problem> problems() const;

    // A transcript file found, and what stat said of it when found (nothing
    // when it is no regular file, or stat failed: opening it will say why).
    struct FoundFile {
        std::filesystem::path path;
        std::optional<TranscriptMarks::FileState> state;
        bool operator<(const FoundFile& other) const { return path < other.path; }
    };

    // The transcript files below the roots, in a stable order. Folders that
    // cannot be listed are counted and kept as problems.
    std::vector<FoundFile> collectJsonlFiles();

    // The session UUID of a subagent transcript's path, when it has one.
    static std::optional<std::string> subagentSession(std::string_view path);

private:
    const std::shared_ptr<MessageWriter> writer_;
    const std::vector<std::filesystem::path> roots_;
    const std::int64_t batchSize_;
    const Mode mode_;
    const std::shared_ptr<TranscriptMarks> marks_;
    const WallClock now_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> stoppedEarly_{false};
    std::atomic<std::int64_t> files_{0};
    std::atomic<std::int64_t> bytes_{0};
    std::atomic<std::int64_t> linesRead_{0};
    std::atomic<std::int64_t> messagesRead_{0};
    std::atomic<std::int64_t> messagesWritten_{0};
    std::atomic<std::int64_t> unreadable_{0};
    std::atomic<std::int64_t> unreadableFolders_{0};
    std::atomic<std::int64_t> impossibleTimes_{0};
    mutable std::mutex problemsMutex_;
    std::vector<Problem> problems_;

    void noteProblem(const std::filesystem::path& path, std::string reason, bool folder);
};

} // namespace tallyglass
