#pragma once

#include "storage/MessageWriter.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace tallyglass {

// The history import, as the overlay's view model and the command line run it.
class ScanRunning {
public:
    using Progress = std::function<void(std::int64_t done, std::int64_t total)>;
    virtual ~ScanRunning() = default;
    // Returns the number of transcript files found; throws when a batch write fails.
    virtual std::int64_t scanAll(const Progress& progress) = 0;
    // Asks a running scan to stop after the file in hand (for shutdown).
    virtual void requestStop() {}
};

// Imports every transcript below the roots: files ending in ".jsonl" outside
// "tool-results" folders, hidden entries skipped, each file once even when
// roots overlap or are linked. Subagent transcripts (below "<session
// UUID>/subagents/") are attributed to that session. Records are stored in
// batches of at least `batchSize`, whole files at a time, one transaction each.
//
// With `modifiedSince`, only files modified at or after that time are read:
// the catch-up after a start, which finds what sessions wrote while the
// application was not running.
class ScanService final : public ScanRunning {
public:
    using TimePoint = std::chrono::system_clock::time_point;

    struct Statistics {
        std::int64_t files = 0;
        std::int64_t bytes = 0;
        std::int64_t messagesRead = 0;
        std::int64_t messagesWritten = 0; // handed to the writer in batches that succeeded
        std::int64_t unreadable = 0;      // files that could not be read
    };

    ScanService(std::shared_ptr<MessageWriter> writer, std::vector<std::filesystem::path> roots, std::int64_t batchSize,
                std::optional<TimePoint> modifiedSince = std::nullopt);

    std::int64_t scanAll(const Progress& progress) override;

    void requestStop() override { stopRequested_ = true; }
    // Whether the last scan ended on such a request before its last file.
    bool stoppedEarly() const { return stoppedEarly_; }
    Statistics statistics() const;

    // The transcript files below the roots, in a stable order.
    std::vector<std::filesystem::path> collectJsonlFiles() const;

    // The session UUID of a subagent transcript's path, when it has one.
    static std::optional<std::string> subagentSession(std::string_view path);

private:
    const std::shared_ptr<MessageWriter> writer_;
    const std::vector<std::filesystem::path> roots_;
    const std::int64_t batchSize_;
    const std::optional<TimePoint> modifiedSince_;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> stoppedEarly_{false};
    std::atomic<std::int64_t> files_{0};
    std::atomic<std::int64_t> bytes_{0};
    std::atomic<std::int64_t> messagesRead_{0};
    std::atomic<std::int64_t> messagesWritten_{0};
    std::atomic<std::int64_t> unreadable_{0};
};

} // namespace tallyglass
