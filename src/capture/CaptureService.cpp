#include "capture/CaptureService.h"

#include "capture/TranscriptReader.h"
#include "core/Log.h"
#include "server/HookPayload.h"

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

// Opens a regular file for reading. O_NONBLOCK keeps a FIFO from hanging the
// open; fstat then refuses anything that is not a regular file, including a
// path swapped for something else between a check and the open.
int openRegularFile(const std::string& path, struct stat& info)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
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

// Bytes [offset, offset + length) of the file, fewer when it is shorter.
std::string bytesAt(int fd, std::uint64_t offset, std::size_t length)
{
    std::string bytes(length, '\0');
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, bytes.data() + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return bytes;
}

std::string tailBefore(int fd, std::uint64_t offset)
{
    const std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(offset, TranscriptCursors::tailBytes));
    return bytesAt(fd, offset - length, length);
}

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

CaptureService::CaptureService(std::shared_ptr<MessageWriter> writer, Options options)
    : writer_(std::move(writer))
    , options_(std::move(options))
{
    queue_ = std::make_unique<TranscriptQueue>(options_.timing, options_.readerThreads, options_.maxTranscripts,
                                               [this](const TranscriptQueue::Request& request) { read(request); });
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
        readers_.push_back(std::make_unique<TranscriptReader>(options));
        mine = {this, readers_.back().get()};
    }
    return *mine.second;
}

void CaptureService::read(const TranscriptQueue::Request& request)
{
    struct stat info {};
    const int fd = openRegularFile(request.path, info);
    if (fd < 0)
        return; // not there (yet), or not a regular file
    FileCloser closer(fd);
    const TranscriptCursors::FileIdentity identity{static_cast<std::uint64_t>(info.st_dev),
                                                   static_cast<std::uint64_t>(info.st_ino)};
    const auto size = static_cast<std::uint64_t>(info.st_size);
    TranscriptReader& reader = readerForThisThread();

    std::uint64_t start = 0;
    std::string head;
    if (const auto resume = cursors_.resumePoint(request.path, identity, size)) {
        // Resume only where the file still starts, and still runs up to the cursor, as it did.
        if (bytesAt(fd, 0, resume->head.size()) == resume->head
            && tailBefore(fd, resume->offset) == resume->tail) {
            start = resume->offset;
            head = resume->head;
            if (start == size)
                return;
            if (resume->unterminatedUntil > start && !reader.hasLineFeed(fd, resume->unterminatedUntil, size)) {
                cursors_.noteUnterminated(request.path, identity, size);
                return;
            }
        }
    }
    if (start == 0)
        head = bytesAt(fd, 0, static_cast<std::size_t>(std::min<std::uint64_t>(size, TranscriptCursors::headBytes)));

    const auto sink = [&](std::vector<MessageInsert>& records, std::uint64_t endOffset) {
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
            Log::line(std::string("CaptureService write failed: ") + error.what());
            return false; // the cursor stays: the next read takes these lines again
        }
        storeProjects(records);
        cursors_.advance(request.path, identity, endOffset, head, tailBefore(fd, endOffset));
        return true;
    };
    const TranscriptReader::Result result = reader.read(fd, start, size, sink);
    if (result.stopped || result.error)
        return;
    cursors_.advance(request.path, identity, result.wholeLinesEnd, head, tailBefore(fd, result.wholeLinesEnd));
    if (result.end > result.wholeLinesEnd + TranscriptParser::maxInMemoryLineBytes)
        cursors_.noteUnterminated(request.path, identity, result.end);
}

} // namespace tallyglass
