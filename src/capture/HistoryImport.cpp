#include "capture/HistoryImport.h"

#include "capture/CatchUp.h"
#include "capture/ProjectFolder.h"
#include "capture/TranscriptReader.h"
#include "core/IsoTime.h"
#include "core/Log.h"

#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

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

namespace {

// The working folder that a transcript's head names, if any.
std::optional<std::string> firstCwdOf(const std::filesystem::path& file, TranscriptReader& reader)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat info {};
    std::optional<std::string> cwd;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        cwd = reader.firstCwd(fd, static_cast<std::uint64_t>(info.st_size));
    ::close(fd);
    return cwd;
}

// A session's transcripts: its own, and its subagents' (in the order listed).
struct SessionFiles {
    std::optional<std::filesystem::path> own;
    std::vector<std::filesystem::path> subagents;
};

} // namespace

// Sessions stored by older versions have a project decoded from their folder's
// name, which may be wrong, or none. Each is given the folder its transcripts
// name first, the session's own before its subagents', reading only the head
// of each file as far as that line; what the names say is the last resort.
// A whole import has done this already, and later catch-ups do it for what
// they read, so this walks the files only once.
void HistoryImport::fillProjectsOnce()
{
    if (writer_->stateValue(projectsFilledKey))
        return;
    ScanService lister(writer_, roots_, batchSize_);
    std::map<std::string, SessionFiles> sessions;
    for (const std::filesystem::path& file : lister.collectJsonlFiles()) {
        if (const auto parent = ScanService::subagentSession(file.string()))
            sessions[*parent].subagents.push_back(file);
        else
            sessions[file.stem().string()].own = file;
    }
    TranscriptReader reader;
    std::map<std::string, std::string> projectOfFolder;
    std::vector<std::pair<std::string, std::string>> read;    // replace what is stored
    std::vector<std::pair<std::string, std::string>> decoded; // fill in only what is unknown
    for (const auto& [session, files] : sessions) {
        std::optional<std::string> cwd = files.own ? firstCwdOf(*files.own, reader) : std::nullopt;
        for (std::size_t i = 0; !cwd && i < files.subagents.size(); ++i)
            cwd = firstCwdOf(files.subagents[i], reader);
        if (cwd) {
            read.emplace_back(session, std::move(*cwd));
            continue;
        }
        const auto folder = ProjectFolder::folderOf(files.own ? *files.own : files.subagents.front(), roots_);
        if (!folder)
            continue;
        auto known = projectOfFolder.find(*folder);
        if (known == projectOfFolder.end())
            known = projectOfFolder.emplace(*folder, ProjectFolder::decode(*folder)).first;
        decoded.emplace_back(session, known->second);
    }
    try {
        writer_->setSessionProjects(decoded, true);
        writer_->setSessionProjects(read, false);
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
