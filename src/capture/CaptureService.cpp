#include "capture/CaptureService.h"

#include "capture/TranscriptParser.h"
#include "core/JsonPayload.h"
#include "core/Log.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tallyglass {

namespace {

struct HookEvent {
    std::optional<std::string> name;
    std::optional<std::string> sessionId;
    std::optional<std::string> transcriptPath;
    std::optional<std::string> agentTranscriptPath;
};

std::optional<std::string> stringField(simdjson::dom::object& object, const char* key)
{
    std::string_view value;
    if (object[key].get_string().get(value))
        return std::nullopt;
    return std::string(value);
}

bool present(const std::optional<std::string>& text)
{
    return text && !text->empty();
}

// The size the file system reports for a path, 0 when it cannot say.
std::uint64_t fileSize(const std::string& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return 0;
    return static_cast<std::uint64_t>(info.st_size);
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

bool readAt(int fd, std::uint64_t offset, PaddedText& into)
{
    std::size_t done = 0;
    while (done < into.size()) {
        const ssize_t n = ::pread(fd, into.data() + done, into.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break; // the file shrank under us: take what is there
        done += static_cast<std::size_t>(n);
    }
    into.truncate(done);
    return true;
}

} // namespace

CaptureService::CaptureService(std::shared_ptr<MessageWriter> writer, std::int64_t fileStabilityTimeoutMs,
                               std::int64_t fileStabilityIntervalMs)
    : writer_(std::move(writer))
    , fileStabilityTimeoutMs_(fileStabilityTimeoutMs)
    , fileStabilityIntervalMs_(fileStabilityIntervalMs)
{
}

void CaptureService::handle(const std::string& body)
{
    HookEvent event;
    {
        simdjson::dom::object payload;
        if (!JsonPayload::parseObject(body, payload))
            return;
        // Copied out now: parsing transcripts reuses this thread's parser.
        event = {stringField(payload, "hook_event_name"), stringField(payload, "session_id"),
                 stringField(payload, "transcript_path"), stringField(payload, "agent_transcript_path")};
    }

    if (event.name == "SessionStart" || event.name == "SessionEnd") {
        if (!present(event.sessionId)) {
            Log::line(*event.name + " missing session_id \u2014 skipping");
            return;
        }
        try {
            writer_->setSessionActive(*event.sessionId, event.name == "SessionStart");
        } catch (const std::exception& error) {
            Log::line("setSessionActive(" + *event.name + ") failed: " + error.what());
        }
        return;
    }

    std::vector<MessageInsert> records;
    std::vector<Cursor> cursors;
    const auto take = [&](Parsed parsed) {
        records.insert(records.end(), std::make_move_iterator(parsed.inserts.begin()),
                       std::make_move_iterator(parsed.inserts.end()));
        if (parsed.cursor)
            cursors.push_back(std::move(*parsed.cursor));
    };
    if (present(event.transcriptPath))
        take(parseTranscript(*event.transcriptPath, std::nullopt, false));
    if (event.name == "SubagentStop" && present(event.agentTranscriptPath) && present(event.sessionId))
        take(parseTranscript(*event.agentTranscriptPath, event.sessionId, true));

    if (!records.empty()) {
        try {
            writer_->insertMessages(records);
        } catch (const std::exception& error) {
            Log::line(std::string("CaptureService write failed: ") + error.what());
            return; // cursors stay: the next event of the session reads these lines again
        }
    }
    for (Cursor& cursor : cursors)
        cursors_.advance(cursor.path, cursor.identity, cursor.offset, std::move(cursor.head), std::move(cursor.tail));
}

CaptureService::Parsed CaptureService::parseTranscript(const std::string& path,
                                                       const std::optional<std::string>& sessionIdOverride, bool isSubagent)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return {};
    waitForFileStable(path);

    const int fd = openRegularFile(path, info);
    if (fd < 0)
        return {};
    const TranscriptCursors::FileIdentity identity{static_cast<std::uint64_t>(info.st_dev),
                                                   static_cast<std::uint64_t>(info.st_ino)};
    const auto size = static_cast<std::uint64_t>(info.st_size);
    std::uint64_t start = 0;
    std::string head;
    if (const auto resume = cursors_.resumePoint(path, identity, size)) {
        // Resume only where the file still starts, and still runs up to the cursor, as it did.
        PaddedText first(resume->head.size());
        PaddedText before(resume->tail.size());
        if (readAt(fd, 0, first) && first.view() == resume->head
            && readAt(fd, resume->offset - resume->tail.size(), before) && before.view() == resume->tail) {
            start = resume->offset;
            head = resume->head;
        }
    }
    PaddedText text(static_cast<std::size_t>(size - start));
    const bool ok = readAt(fd, start, text);
    ::close(fd);
    if (!ok)
        return {};

    // A last line without its line feed may still be being written: it is
    // parsed (a whole one is stored), but the cursor stays before it.
    const std::string_view view = text.view();
    const std::size_t lastFeed = view.rfind('\n');
    const std::uint64_t wholeLines = lastFeed == std::string_view::npos ? 0 : lastFeed + 1;

    Parsed parsed;
    parsed.inserts = TranscriptParser::parseText(text).inserts;
    if (sessionIdOverride || isSubagent) {
        for (MessageInsert& m : parsed.inserts) {
            if (sessionIdOverride)
                m.sessionId = *sessionIdOverride;
            m.isSubagent = isSubagent;
        }
    }
    // The new cursor's checks come from this read. A short step after a resume
    // (under 64 bytes of whole lines) keeps the old cursor: the next event reads
    // those bytes again, which stores nothing twice.
    const auto whole = static_cast<std::size_t>(wholeLines);
    if (start == 0)
        head.assign(view.substr(0, std::min(whole, TranscriptCursors::headBytes)));
    if (whole >= TranscriptCursors::tailBytes || start == 0) {
        const std::size_t tailLength = std::min(whole, TranscriptCursors::tailBytes);
        parsed.cursor = Cursor{path, identity, start + wholeLines, std::move(head), std::string(view.substr(whole - tailLength, tailLength))};
    }
    return parsed;
}

void CaptureService::waitForFileStable(const std::string& path) const
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(fileStabilityTimeoutMs_);
    std::uint64_t last = fileSize(path);
    while (true) {
        std::this_thread::sleep_for(std::chrono::milliseconds(fileStabilityIntervalMs_));
        if (Clock::now() >= deadline)
            return;
        const std::uint64_t current = fileSize(path);
        if (current != 0 && current == last)
            return;
        last = current;
    }
}

} // namespace tallyglass
