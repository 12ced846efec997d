#pragma once

#include "capture/ScanService.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

namespace tallyglass {

// The history import as every start runs it: the whole history the first
// time, afterwards only the transcripts modified since the last complete run
// began (the catch-up). The marks that decide between them (the first import's
// and the catch-up watermark) are kept in the database itself, so a database
// that was deleted, emptied or replaced by another is filled whole again.
class HistoryImport final : public ScanRunning {
public:
    // When the whole history was first imported into this database.
    static constexpr const char* importedKey = "history.imported";
    // Sessions stored before projects were read from the transcripts' lines
    // are given theirs once. (Versions that decoded them from folder names
    // marked that under "sessions.projectsFilled"; their guesses are replaced.)
    static constexpr const char* projectsFilledKey = "sessions.projectsRead";

    using TimePoint = std::chrono::system_clock::time_point;

    HistoryImport(std::shared_ptr<MessageWriter> writer, std::vector<std::filesystem::path> roots, std::int64_t batchSize = 500);

    // Throws when a batch write fails. A first import that stored something is
    // marked done even then (it is not run again; the catch-up reads what
    // changes from then on); one that stored nothing, or was stopped, runs again.
    std::int64_t scanAll(const Progress& progress) override;
    void requestStop() override;

    // Marks a whole import begun at `startedAt` as done in the writer's
    // database: later runs are catch-ups from that time.
    static void recordWholeImport(MessageWriter& writer, TimePoint startedAt);

    // Of the last run.
    bool wasCatchUp() const;
    bool stoppedEarly() const;
    ScanService::Statistics statistics() const;

private:
    static void markImported(MessageWriter& writer);
    void fillProjectsOnce();

    const std::shared_ptr<MessageWriter> writer_;
    const std::vector<std::filesystem::path> roots_;
    const std::int64_t batchSize_;
    mutable std::mutex mutex_;
    std::shared_ptr<ScanService> current_;
    bool stopRequested_ = false;
    bool wasCatchUp_ = false;
};

} // namespace tallyglass
