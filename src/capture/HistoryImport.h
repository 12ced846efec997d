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
// began (the catch-up). It keeps the two marks that decide between them: the
// first-import flag and the catch-up watermark.
class HistoryImport final : public ScanRunning {
public:
    static constexpr const char* firstScanDoneKey = "tallyglass_first_scan_done";
    // Sessions stored before projects were kept are given theirs once.
    static constexpr const char* projectsFilledKey = "tallyglass.projectsFilled";

    HistoryImport(std::shared_ptr<MessageWriter> writer, std::vector<std::filesystem::path> roots, std::int64_t batchSize = 500);

    // Throws when a batch write fails. A first import that stored something is
    // marked done even then (it is not run again; the catch-up reads what
    // changes from then on); one that stored nothing, or was stopped, runs again.
    std::int64_t scanAll(const Progress& progress) override;
    void requestStop() override;

    // Of the last run.
    bool wasCatchUp() const;
    bool stoppedEarly() const;
    ScanService::Statistics statistics() const;

private:
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
