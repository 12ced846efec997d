#pragma once

#include "capture/ScanService.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

namespace tallyglass {

// The history import as every start runs it: the whole history the first
// time, afterwards only what transcripts gained since they were last read (the
// catch-up; see ScanService). Whether the whole history is in is kept in the
// database itself, so a database that was deleted, emptied or replaced by
// another is filled whole again.
class HistoryImport final : public ScanRunning {
public:
    // When the whole history was first imported into this database.
    static constexpr const char* importedKey = "history.imported";

    // `marks`: how far each transcript was read, shared with live capture.
    HistoryImport(std::shared_ptr<MessageWriter> writer, std::vector<std::filesystem::path> roots,
                  std::shared_ptr<TranscriptMarks> marks = nullptr, std::int64_t batchSize = 5000,
                  ScanService::WallClock now = {});

    // Throws when a batch write fails. A first import that stored something is
    // marked done even then (it is not run again; the catch-up reads what
    // changes from then on); one that stored nothing, or was stopped, runs again.
    std::int64_t scanAll(const Progress& progress) override;
    void requestStop() override;
    // Every run reads every transcript from its start, whatever the database
    // holds (`tallyglass import`: read it all again, store what is missing).
    void readEverything() { everything_ = true; }

    // Marks a whole import as done in the writer's database: later runs read
    // only what transcripts gained since.
    static void recordWholeImport(MessageWriter& writer);

    // Of the last run.
    bool wasCatchUp() const override;
    bool stoppedEarly() const override;
    ScanStatistics statistics() const override;
    std::vector<ScanService::Problem> problems() const;

private:
    const std::shared_ptr<MessageWriter> writer_;
    const std::vector<std::filesystem::path> roots_;
    const std::shared_ptr<TranscriptMarks> marks_;
    const std::int64_t batchSize_;
    const ScanService::WallClock now_;
    bool everything_ = false;
    mutable std::mutex mutex_;
    std::shared_ptr<ScanService> current_;
    bool stopRequested_ = false;
    bool wasCatchUp_ = false;
};

} // namespace tallyglass
