#include "capture/HistoryImport.h"

#include "capture/CatchUp.h"
#include "capture/ProjectFolder.h"
#include "core/IsoTime.h"
#include "core/Log.h"

#include <map>

namespace tallyglass {

HistoryImport::HistoryImport(std::shared_ptr<MessageWriter> writer, std::vector<std::filesystem::path> roots, std::int64_t batchSize)
    : writer_(std::move(writer))
    , roots_(std::move(roots))
    , batchSize_(batchSize)
{
}

std::int64_t HistoryImport::scanAll(const Progress& progress)
{
    const bool firstDone = writer_->stateValue(importedKey).has_value();
    const auto since = firstDone ? CatchUp::modifiedSince(*writer_) : std::nullopt;
    const auto startedAt = std::chrono::system_clock::now();
    auto scan = std::make_shared<ScanService>(writer_, roots_, batchSize_, since);
    {
        std::lock_guard lock(mutex_);
        current_ = scan;
        wasCatchUp_ = firstDone;
        if (stopRequested_)
            scan->requestStop();
    }
    std::int64_t found = 0;
    try {
        found = scan->scanAll(progress);
    } catch (...) {
        // Not run whole again; without a watermark the catch-up still reads every file.
        if (!firstDone && scan->statistics().messagesWritten > 0)
            markImported(*writer_);
        throw;
    }
    if (!scan->stoppedEarly()) {
        if (firstDone) {
            CatchUp::storeWatermark(*writer_, startedAt);
            fillProjectsOnce();
        } else {
            recordWholeImport(*writer_, startedAt);
        }
    }
    return found;
}

void HistoryImport::markImported(MessageWriter& writer)
{
    if (writer.stateValue(importedKey))
        return;
    const Instant now = std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());
    writer.setStateValue(importedKey, IsoTime::formatSeconds(now));
}

void HistoryImport::recordWholeImport(MessageWriter& writer, TimePoint startedAt)
{
    CatchUp::storeWatermark(writer, startedAt);
    markImported(writer);
    // The whole history was just read, each session with its project: no second walk.
    writer.setStateValue(projectsFilledKey, "1");
}

// The transcripts' names say their sessions (a subagent's folder its parent's),
// and their folders the projects: no file is read. A first import has given
// every session its project already; this is for files stored by older versions.
void HistoryImport::fillProjectsOnce()
{
    if (writer_->stateValue(projectsFilledKey))
        return;
    ScanService lister(writer_, roots_, batchSize_);
    std::map<std::string, std::string> projectOfFolder;
    std::vector<std::pair<std::string, std::string>> projects;
    for (const std::filesystem::path& file : lister.collectJsonlFiles()) {
        const auto folder = ProjectFolder::folderOf(file, roots_);
        if (!folder)
            continue;
        std::string session = ScanService::subagentSession(file.string()).value_or(file.stem().string());
        auto known = projectOfFolder.find(*folder);
        if (known == projectOfFolder.end())
            known = projectOfFolder.emplace(*folder, ProjectFolder::decode(*folder)).first;
        projects.emplace_back(std::move(session), known->second);
    }
    try {
        writer_->setSessionProjects(projects, true);
    } catch (const std::exception& error) {
        Log::line(std::string("giving older sessions their projects failed (tried again next time): ") + error.what());
        return; // the import itself succeeded
    }
    writer_->setStateValue(projectsFilledKey, "1");
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

ScanService::Statistics HistoryImport::statistics() const
{
    std::lock_guard lock(mutex_);
    return current_ ? current_->statistics() : ScanService::Statistics{};
}

} // namespace tallyglass
