#include "capture/CaptureService.h"

#include "capture/TranscriptFile.h"
#include "capture/TranscriptReader.h"
#include "core/Log.h"
#include "events/HookPayload.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tallyglass {

namespace {

bool present(const std::optional<std::string>& text)
{
    return text && !text->empty();
}

class FileCloser {
public:
    explicit FileCloser(int fd)
        : fd_(fd)
    {
    }
    ~FileCloser() { ::close(fd_); }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;

private:
    int fd_;
};

CaptureService::Options optionsWithStability(std::int64_t timeoutMs, std::int64_t intervalMs)
{
    CaptureService::Options options;
    options.timing.stabilityTimeout = std::chrono::milliseconds(timeoutMs);
    options.timing.stabilityInterval = std::chrono::milliseconds(intervalMs);
    return options;
}

} // namespace

CaptureService::CaptureService(std::shared_ptr<MessageWriter> writer, std::int64_t fileStabilityTimeoutMs,
                               std::int64_t fileStabilityIntervalMs)
    : CaptureService(std::move(writer), optionsWithStability(fileStabilityTimeoutMs, fileStabilityIntervalMs))
{
}

CaptureService::CaptureService(std::shared_ptr<MessageWriter> writer, Options options, std::shared_ptr<TranscriptMarks> marks)
    : writer_(std::move(writer))
    , options_(std::move(options))
    , marks_(std::move(marks))
{
    queue_ = std::make_unique<TranscriptQueue>(options_.timing, options_.readerThreads, options_.maxTranscripts,
                                               [this](const TranscriptQueue::Request& request) { return read(request); });
}

CaptureService::~CaptureService()
{
    stop();
}

void CaptureService::stop()
{
    queue_->stop();
}

bool CaptureService::waitUntilIdle(std::chrono::milliseconds timeout)
{
    return queue_->waitUntilIdle(timeout);
}

void CaptureService::markSession(const std::string& eventName, const std::string& sessionId, bool active)
{
    try {
        writer_->setSessionActive(sessionId, active);
    } catch (const std::exception& error) {
        Log::line("setSessionActive(" + eventName + ") failed: " + error.what());
    }
}

void CaptureService::handle(const std::string& body)
{
    const auto event = HookPayload::event(body);
    if (!event)
        return;
    if (event->oversized) {
        Log::line("an event with a session id or path over " + std::to_string(HookPayload::maxTextBytes)
                  + " bytes \u2014 skipping");
        return;
    }
    const std::string name = event->name.value_or("");
    if (present(event->sessionId) && present(event->cwd))
        noteProject(*event->sessionId, *event->cwd);
    const bool start = event->name == "SessionStart";
    const bool end = event->name == "SessionEnd";

    if (start || end) {
        if (!present(event->sessionId)) {
            Log::line(name + " missing session_id \u2014 skipping");
            return;
        }
        if (start) {
            markSession(name, *event->sessionId, true);
            return;
        }
        // The session's last lines may not have been read yet: it is marked
        // ended only after its transcript was read once more.
        auto markEnded = [this, name, session = *event->sessionId] { markSession(name, session, false); };
        if (!present(event->transcriptPath) || !queue_->submit({*event->transcriptPath, std::nullopt, false}, markEnded))
            markEnded();
        return;
    }

    bool dropped = false;
    if (present(event->transcriptPath))
        dropped = !queue_->submit({*event->transcriptPath, std::nullopt, false});
    if (name == "SubagentStop" && present(event->agentTranscriptPath) && present(event->sessionId))
        dropped = !queue_->submit({*event->agentTranscriptPath, event->sessionId, true}) || dropped;
    if (dropped && !droppedLogged_.exchange(true))
        Log::line("too many transcripts waiting to be read; events are dropped until some are done");
}

// The folder a session started in, as its first event says: the transcript's
// first line names it too, which is what imports store, so live capture and
// imports agree whatever the session cds to. An earlier folder is kept.
void CaptureService::noteProject(const std::string& sessionId, const std::string& cwd)
{
    std::lock_guard lock(projectsMutex_);
    if (projectsStored_.count(sessionId) || projectsToStore_.count(sessionId))
        return;
    if (projectsToStore_.size() >= options_.maxTranscripts)
        projectsToStore_.clear(); // bounded: the next import or catch-up fills what is lost
    projectsToStore_.emplace(sessionId, cwd);
}

void CaptureService::storeProjects(const std::vector<MessageInsert>& stored)
{
    std::vector<std::pair<std::string, std::string>> projects;
    {
        std::lock_guard lock(projectsMutex_);
        for (const MessageInsert& m : stored) {
            const auto found = projectsToStore_.find(m.sessionId);
            if (found != projectsToStore_.end() && (projects.empty() || projects.back().first != m.sessionId))
                projects.emplace_back(found->first, found->second);
        }
    }
    if (projects.empty())
        return;
    try {
        writer_->setSessionProjects(projects, true);
    } catch (const std::exception& error) {
        Log::line(std::string("storing a session's project failed: ") + error.what());
        return; // still waiting: the next stored messages try again
    }
    std::lock_guard lock(projectsMutex_);
    for (const auto& [session, project] : projects) {
        projectsToStore_.erase(session);
        if (projectsStored_.size() >= options_.maxTranscripts)
            projectsStored_.clear();
        projectsStored_.emplace(session, project);
    }
}

TranscriptReader& CaptureService::readerForThisThread()
{
    // One reader (and its buffer) per queue thread, kept for the service's life.
    thread_local std::pair<const CaptureService*, TranscriptReader*> mine{nullptr, nullptr};
    if (mine.first != this) {
        std::lock_guard lock(readersMutex_);
        TranscriptReader::Options options;
        options.pieceBytes = options_.pieceBytes;
        options.batchRecords = options_.batchRecords;
        options.now = options_.now;
        readers_.push_back(std::make_unique<TranscriptReader>(options));
        mine = {this, readers_.back().get()};
    }
    return *mine.second;
}

// Reads what the transcript gained since its mark and stores it; false when
// storing failed (the mark stays, and the queue tries again).
bool CaptureService::read(const TranscriptQueue::Request& request)
{
    struct stat info {};
    const int fd = TranscriptFile::openRegular(request.path, info);
    if (fd < 0)
        return true; // not there (yet), or not a regular file: nothing to store
    FileCloser closer(fd);
    const TranscriptMarks::FileState state = TranscriptFile::stateOf(info);
    TranscriptReader& reader = readerForThisThread();
    marks_->ensureLoaded([this] { return writer_->transcriptMarks(); });
    const TranscriptFile::Start start = TranscriptFile::startOf(fd, state, marks_->find(request.path), reader);
    if (start.nothingNew) {
        if (const auto mark = marks_->noteUnterminated(request.path, state, state.size))
            keepMark(*mark);
        return true;
    }

    bool stored = true;
    const auto sink = [&](std::vector<MessageInsert>& records, std::uint64_t endOffset) {
        if (!store(records, request)) {
            stored = false;
            return false; // the mark stays: the next read takes these lines again
        }
        keepMark(marks_->advance(request.path, state, endOffset, start.head, TranscriptFile::tailBefore(fd, endOffset)));
        return true;
    };
    const TranscriptReader::Result result = reader.read(fd, start.offset, state.size, sink);
    if (result.stopped || result.error) // a failed store stops the read: its lines wait for the next
        return stored;
    TranscriptMark mark = marks_->advance(request.path, state, result.wholeLinesEnd, start.head,
                                          TranscriptFile::tailBefore(fd, result.wholeLinesEnd));
    if (result.end > result.wholeLinesEnd + TranscriptParser::maxInMemoryLineBytes)
        mark = marks_->noteUnterminated(request.path, state, result.end).value_or(mark);
    keepMark(mark);
    return true;
}

bool CaptureService::store(std::vector<MessageInsert>& records, const TranscriptQueue::Request& request)
{
    if (request.sessionIdOverride || request.isSubagent) {
        for (MessageInsert& m : records) {
            if (request.sessionIdOverride)
                m.sessionId = *request.sessionIdOverride;
            m.isSubagent = request.isSubagent;
        }
    }
    try {
        writer_->insertMessages(records);
    } catch (const std::exception& error) {
        noteStoreOutcome(std::string(error.what()));
        return false;
    }
    noteStoreOutcome(std::nullopt);
    storeProjects(records);
    return true;
}

// A mark that cannot be kept only lags: those lines are read again, and stored once.
void CaptureService::keepMark(const TranscriptMark& mark)
{
    try {
        writer_->setTranscriptMarks({mark});
    } catch (const std::exception& error) {
        Log::line("keeping how far " + mark.path + " was read failed (it is read again): " + error.what());
    }
}

void CaptureService::noteStoreOutcome(const std::optional<std::string>& problem)
{
    {
        std::lock_guard lock(storeMutex_);
        if (problem == storeProblem_)
            return;
        if (problem)
            Log::line("storing messages fails, they wait and are tried again: " + *problem);
        else
            Log::line("storing messages works again");
        storeProblem_ = problem;
    }
    if (storeObserver_)
        storeObserver_(problem);
}

std::optional<std::string> CaptureService::storeProblem() const
{
    std::lock_guard lock(storeMutex_);
    return storeProblem_;
}

void CaptureService::storingWorks()
{
    if (storeProblem())
        queue_->retryNow();
}

} // namespace tallyglass
