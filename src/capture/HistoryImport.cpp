#include "capture/HistoryImport.h"

#include "core/IsoTime.h"

namespace tallyglass {

HistoryImport::HistoryImport(std::shared_ptr<MessageWriter> writer, std::vector<std::filesystem::path> roots,
                             std::shared_ptr<TranscriptMarks> marks, std::int64_t batchSize, ScanService::WallClock now)
    : writer_(std::move(writer))
    , roots_(std::move(roots))
    , marks_(marks ? std::move(marks) : std::make_shared<TranscriptMarks>())
    , batchSize_(batchSize)
    , now_(std::move(now))
{
}

std::int64_t HistoryImport::scanAll(const Progress& progress)
{
    const bool firstDone = writer_->stateValue(importedKey).has_value();
    // A database without its history is filled from every file's start,
    // whatever marks it may hold; afterwards only what files gained is read.
    const bool changes = firstDone && !everything_;
    auto scan = std::make_shared<ScanService>(writer_, roots_, batchSize_,
                                              changes ? ScanService::Mode::changes : ScanService::Mode::whole, marks_, now_);
    {
        std::lock_guard lock(mutex_);
        current_ = scan;
        wasCatchUp_ = firstDone;
        if (stopRequested_)
            scan->requestStop();
    }
    std::int64_t found = 0;
    // A first import stores rows faster without the index of their times, built once at the end.
    if (!firstDone)
        writer_->setBulkLoad(true);
    const auto buildIndex = [&] {
        if (!firstDone)
            writer_->setBulkLoad(false);
    };
    try {
        found = scan->scanAll(progress);
    } catch (...) {
        try {
            buildIndex();
        } catch (...) {
            // The file's next opening builds it; the scan's own failure is the one to tell.
        }
        // Not run whole again: the catch-up reads whole every file that has no mark yet.
        if (!firstDone && scan->statistics().messagesWritten > 0)
            recordWholeImport(*writer_);
        throw;
    }
    buildIndex();
    if (!firstDone && !scan->stoppedEarly())
        recordWholeImport(*writer_);
    return found;
}

void HistoryImport::recordWholeImport(MessageWriter& writer)
{
    if (writer.stateValue(importedKey))
        return;
    const Instant now = std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
    writer.setStateValue(importedKey, IsoTime::formatSeconds(now));
}

void HistoryImport::requestStop()
{
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    if (current_)
        current_->requestStop();
}

bool HistoryImport::wasCatchUp() const
{
    std::lock_guard lock(mutex_);
    return wasCatchUp_;
}

bool HistoryImport::stoppedEarly() const
{
    std::lock_guard lock(mutex_);
    return current_ && current_->stoppedEarly();
}

std::vector<ScanService::Problem> HistoryImport::problems() const
{
    std::lock_guard lock(mutex_);
    return current_ ? current_->problems() : std::vector<ScanService::Problem>{};
}

ScanStatistics HistoryImport::statistics() const
{
    std::lock_guard lock(mutex_);
    return current_ ? current_->statistics() : ScanService::Statistics{};
}

} // namespace tallyglass
