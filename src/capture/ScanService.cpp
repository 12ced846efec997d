#include "capture/ScanService.h"

#include "capture/ProjectFolder.h"
#include "capture/TranscriptFile.h"
#include "capture/TranscriptFolders.h"
#include "capture/TranscriptReader.h"
#include "core/Log.h"
#include "core/ReadAhead.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <fcntl.h>
#include <set>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass {

namespace {

namespace fs = std::filesystem;

// Batches hold whole files, up to this many times the batch size.
constexpr std::int64_t maxPendingPerBatch = 10;

// Files are read this many at a time, each on a thread of its own, and taken
// in order; and no further ahead than this of the one being taken. Parsing is
// most of an import's work, and the writer mostly waits on it.
constexpr std::size_t readerThreads = 2;
constexpr std::size_t filesAhead = 8;

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isUuid(std::string_view s)
{
    if (s.size() != 36)
        return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !isHex(s[i]))
            return false;
    }
    return true;
}

struct FileError {
    std::string message;
};

// What reading one file brought: the reader's result, where it began, and
// what its mark needs.
struct FileRead {
    TranscriptReader::Result result;
    std::uint64_t start = 0;
    bool skipped = false; // unchanged since its mark: nothing read
    TranscriptMarks::FileState state;
    std::string head;
    std::string tail; // the bytes before result.wholeLinesEnd
};

// Reads a file from its mark (or whole), handing its records on in the
// reader's batches while `take` says go on. Throws FileError when the file
// cannot be read.
FileRead readFile(const fs::path& path, TranscriptReader& reader, TranscriptMarks* marks,
                  const std::function<bool(std::vector<MessageInsert>&)>& take)
{
    struct stat info {};
    const int fd = TranscriptFile::openRegular(path.string(), info);
    if (fd < 0)
        throw FileError{errno == EINVAL ? "not a regular file" : std::strerror(errno)};
    const std::unique_ptr<int, void (*)(int*)> closer(new int(fd), [](int* f) {
        ::close(*f);
        delete f;
    });
    FileRead read;
    read.state = TranscriptFile::stateOf(info);
    if (marks && marks->unchanged(path.string(), read.state)) {
        read.skipped = true;
        return read;
    }
    const TranscriptFile::Start start = marks ? TranscriptFile::startOf(fd, read.state, marks->find(path.string()), reader)
                                              : TranscriptFile::Start{0, TranscriptFile::headOf(fd, read.state.size), false};
    read.start = start.offset;
    read.head = std::move(start.head);
    if (start.nothingNew) {
        read.skipped = true;
        return read;
    }
    read.result = reader.read(fd, start.offset, read.state.size,
                              [&](std::vector<MessageInsert>& batch, std::uint64_t) { return take(batch); });
    if (read.result.error)
        throw FileError{*read.result.error};
    read.tail = TranscriptFile::tailBefore(fd, read.result.wholeLinesEnd);
    return read;
}

// What reading a file hands on: its records as the reader batches them, and
// last how the read ended.
struct FilePiece {
    std::vector<MessageInsert> records;
    std::optional<FileRead> done;
    std::optional<std::string> error; // the file could not be read
};

// Reads the file on a reader thread, handing its pieces on to be taken in order.
void readInto(const fs::path& path, TranscriptReader& reader, TranscriptMarks* marks,
              const ReadAhead<FilePiece>::Emit& emit)
{
    FilePiece last;
    try {
        last.done = readFile(path, reader, marks, [&](std::vector<MessageInsert>& batch) {
            FilePiece piece;
            piece.records.swap(batch);
            return emit(std::move(piece));
        });
    } catch (const FileError& error) {
        last.error = error.message;
    }
    emit(std::move(last));
}

// The projects of the sessions met since the last write, each from the best
// source found. A session's own transcript names the folder it started in
// and replaces whatever was stored (a guess, or a later folder). A folder
// named in another transcript (a subagent's, or one holding some of the
// session's lines) and a folder decoded from a name only fill in what is
// unknown; decoding is the last resort, for transcripts that name no folder.
class PendingProjects {
public:
    explicit PendingProjects(const std::vector<fs::path>& roots)
        : roots_(roots)
    {
    }

    void noteTranscript(const fs::path& file, bool subagent, const std::optional<std::string>& cwd,
                        const std::vector<std::string>& sessions)
    {
        if (cwd) {
            const std::string own = subagent ? std::string() : file.stem().string();
            for (const std::string& session : sessions)
                note(session, *cwd, session == own ? Source::ownTranscript : Source::otherTranscript);
            return;
        }
        const auto folder = ProjectFolder::folderOf(file, roots_);
        if (!folder || sessions.empty())
            return;
        auto known = projectOfFolder_.find(*folder);
        if (known == projectOfFolder_.end())
            known = projectOfFolder_.emplace(*folder, ProjectFolder::decode(*folder)).first;
        for (const std::string& session : sessions)
            note(session, known->second, Source::folderName);
    }

    bool empty() const { return projects_.empty(); }

    // What was noted, to be stored (see Noted), forgotten here.
    struct Noted {
        std::vector<std::pair<std::string, std::string>> replacing;
        std::vector<std::pair<std::string, std::string>> filling;

        void store(MessageWriter& writer) const
        {
            writer.setSessionProjects(filling, true);
            writer.setSessionProjects(replacing, false);
        }
    };
    Noted take()
    {
        Noted noted;
        for (auto& [session, found] : projects_)
            (found.first == Source::ownTranscript ? noted.replacing : noted.filling).emplace_back(session, std::move(found.second));
        projects_.clear();
        return noted;
    }

private:
    enum class Source { ownTranscript, otherTranscript, folderName }; // the best first

    void note(const std::string& session, const std::string& project, Source source)
    {
        const auto [at, added] = projects_.try_emplace(session, source, project);
        if (!added && source < at->second.first)
            at->second = {source, project};
    }

    const std::vector<fs::path>& roots_;
    std::map<std::string, std::string> projectOfFolder_; // decoded once per folder
    std::map<std::string, std::pair<Source, std::string>> projects_;
};

// A batch on its way to the database: records, the sessions' folders, and
// the files read whole whose records are all among them.
struct Batch {
    std::vector<MessageInsert> records;
    PendingProjects::Noted projects;
    std::vector<std::pair<std::string, FileRead>> read;

    // Stores the records, then the folders and the files' marks (a mark never
    // runs ahead of its records); how many records. A failure passes on its
    // error, and nothing after it is stored.
    std::int64_t store(MessageWriter& writer, TranscriptMarks& marks)
    {
        if (!records.empty())
            writer.insertBackfillMessages(records);
        projects.store(writer);
        std::vector<TranscriptMark> advanced;
        for (auto& [path, file] : read)
            advanced.push_back(marks.advance(path, file.state, file.result.wholeLinesEnd, std::move(file.head), std::move(file.tail)));
        writer.setTranscriptMarks(advanced);
        return static_cast<std::int64_t>(records.size());
    }
};

// What the scan read and has not handed on yet.
struct Unstored {
    explicit Unstored(const std::vector<fs::path>& roots)
        : projects(roots)
    {
    }

    bool empty() const { return pending.empty() && projects.empty() && read.empty(); }

    std::shared_ptr<Batch> take()
    {
        auto batch = std::make_shared<Batch>();
        batch->records.swap(pending);
        batch->projects = projects.take();
        batch->read.swap(read);
        return batch;
    }

    std::vector<MessageInsert> pending;
    std::vector<std::pair<std::string, FileRead>> read;
    PendingProjects projects;
};

// Stores batches on a thread of its own while the scan reads the next files:
// parsing keeps one core busy, the writer the other. One batch at a time, in
// order, so marks still follow their records; a batch's failure comes out of
// the next call (or of finish) and nothing queued after it is stored.
class BatchStore {
public:
    BatchStore(MessageWriter& writer, TranscriptMarks& marks, std::atomic<std::int64_t>& written)
        : writer_(writer)
        , marks_(marks)
        , written_(written)
    {
    }
    BatchStore(const BatchStore&) = delete;
    BatchStore& operator=(const BatchStore&) = delete;
    // A scan that ends on an error still waits for the batch in hand: it writes into the scan's counters.
    ~BatchStore()
    {
        if (inHand_.valid())
            inHand_.wait();
    }

    void store(std::shared_ptr<Batch> batch)
    {
        finish();
        inHand_ = std::async(std::launch::async, [this, batch = std::move(batch)] { return batch->store(writer_, marks_); });
    }

    void finish()
    {
        if (inHand_.valid())
            written_ += inHand_.get();
    }

private:
    MessageWriter& writer_;
    TranscriptMarks& marks_;
    std::atomic<std::int64_t>& written_;
    std::future<std::int64_t> inHand_;
};

// What taking one file's pieces added up to.
struct Taken {
    std::int64_t messages = 0;
    std::int64_t bytes = 0;
    std::int64_t lines = 0;
    std::int64_t impossibleTimes = 0;
    std::optional<std::string> error;
};

// Takes what was read of one file into the batch in the making, storing
// batches as they fill.
Taken takeFile(const fs::path& file, ReadAhead<FilePiece>& ahead, std::size_t index, Unstored& unstored,
               const std::function<void()>& write, std::int64_t batchSize)
{
    const auto session = ScanService::subagentSession(file.string());
    std::vector<std::string> sessions; // of this file's records, each once
    std::vector<MessageInsert>& pending = unstored.pending;
    Taken taken;
    while (auto piece = ahead.next(index)) {
        for (MessageInsert& m : piece->records) {
            if (session) {
                m.sessionId = *session;
                m.isSubagent = true;
            }
            if (std::find(sessions.rbegin(), sessions.rend(), m.sessionId) == sessions.rend())
                sessions.push_back(m.sessionId);
            pending.push_back(std::move(m));
        }
        taken.messages += static_cast<std::int64_t>(piece->records.size());
        // A very long transcript is not held whole: beyond this its records are stored as they come.
        if (static_cast<std::int64_t>(pending.size()) >= maxPendingPerBatch * batchSize)
            write();
        if (piece->error)
            taken.error = std::move(piece->error);
        if (!piece->done || piece->done->skipped)
            continue;
        FileRead& done = *piece->done;
        const TranscriptReader::Result& result = done.result;
        taken.bytes = static_cast<std::int64_t>(result.end - done.start);
        taken.lines = taken.messages + result.malformed + result.nonAssistant + result.missingField + result.impossibleTime;
        taken.impossibleTimes = result.impossibleTime;
        // The first folder named is the session's only when the file was read from its start.
        if (done.start == 0)
            unstored.projects.noteTranscript(file, session.has_value(), result.cwd, sessions);
        unstored.read.emplace_back(file.string(), std::move(done));
    }
    if (static_cast<std::int64_t>(pending.size()) >= batchSize)
        write();
    return taken;
}

} // namespace

ScanService::ScanService(std::shared_ptr<MessageWriter> writer, std::vector<fs::path> roots, std::int64_t batchSize,
                         Mode mode, std::shared_ptr<TranscriptMarks> marks, WallClock now)
    : writer_(std::move(writer))
    , roots_(std::move(roots))
    , batchSize_(batchSize)
    , mode_(mode)
    , marks_(marks ? std::move(marks) : std::make_shared<TranscriptMarks>())
    , now_(std::move(now))
{
}

ScanService::Statistics ScanService::statistics() const
{
    return {files_.load(),        bytes_.load(),       linesRead_.load(),
            messagesRead_.load(), messagesWritten_.load(), unreadable_.load(),
            unreadableFolders_.load(), impossibleTimes_.load()};
}

std::optional<std::string> ScanService::subagentSession(std::string_view path)
{
    // The first "/<UUID>/subagents/" in the path, UUID in either case.
    constexpr std::string_view marker = "/subagents/";
    std::size_t at = path.find(marker);
    while (at != std::string_view::npos) {
        if (at >= 37 && path[at - 37] == '/' && isUuid(path.substr(at - 36, 36)))
            return std::string(path.substr(at - 36, 36));
        at = path.find(marker, at + 1);
    }
    return std::nullopt;
}

void ScanService::noteProblem(const fs::path& path, std::string reason, bool folder)
{
    Log::line("scan: " + path.string() + ": " + reason);
    ++unreadable_;
    if (folder)
        ++unreadableFolders_;
    std::lock_guard lock(problemsMutex_);
    if (problems_.size() < 100)
        problems_.push_back({path, std::move(reason)});
}

std::vector<ScanService::Problem> ScanService::problems() const
{
    std::lock_guard lock(problemsMutex_);
    return problems_;
}

std::vector<ScanService::FoundFile> ScanService::collectJsonlFiles()
{
    std::vector<FoundFile> files;
    std::set<std::pair<dev_t, ino_t>> seen; // the same file reached through two roots counts once
    std::set<std::pair<dev_t, ino_t>> walked; // a folder reached from two roots is walked once
    for (const fs::path& root : roots_) {
        std::vector<FoundFile> found;
        std::vector<fs::path> folders{root};
        while (!folders.empty()) {
            const fs::path folder = std::move(folders.back());
            folders.pop_back();
            const int error = TranscriptFolders::list(folder, walked, folders, [&](fs::path path, const struct stat* info) {
                if (info && !seen.insert({info->st_dev, info->st_ino}).second)
                    return;
                found.push_back({std::move(path), info && S_ISREG(info->st_mode) ? std::optional(TranscriptFile::stateOf(*info))
                                                                                  : std::nullopt});
            });
            // A root that does not exist is simply not used, and a folder gone meanwhile held
            // nothing to read; anything else unreadable is said.
            if (error != 0 && error != ENOENT)
                noteProblem(folder, std::error_code(error, std::generic_category()).message(), true);
        }
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

std::int64_t ScanService::scanAll(const Progress& progress)
{
    {
        std::lock_guard lock(problemsMutex_);
        problems_.clear();
    }
    const std::vector<FoundFile> files = collectJsonlFiles();
    const auto total = static_cast<std::int64_t>(files.size());
    if (progress)
        progress(0, total);

    Unstored unstored(roots_);
    marks_->ensureLoaded([this] { return writer_->transcriptMarks(); });
    BatchStore store(*writer_, *marks_, messagesWritten_);
    const std::function<void()> write = [&] { store.store(unstored.take()); };
    TranscriptMarks* const marks = mode_ == Mode::changes ? marks_.get() : nullptr;
    std::vector<std::unique_ptr<TranscriptReader>> readers;
    TranscriptReader::Options readerOptions;
    readerOptions.now = now_;
    const std::size_t threads = std::min<std::size_t>(readerThreads, std::max(1u, std::thread::hardware_concurrency()));
    for (std::size_t i = 0; i < threads; ++i)
        readers.push_back(std::make_unique<TranscriptReader>(readerOptions));
    // A file whose size and time are those of its mark is passed over without
    // being opened; the readers get the others, in the same order.
    std::vector<const fs::path*> toRead;
    std::vector<std::ptrdiff_t> readAt(files.size(), -1);
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (marks && files[i].state && marks->unchanged(files[i].path.string(), *files[i].state))
            continue;
        readAt[i] = static_cast<std::ptrdiff_t>(toRead.size());
        toRead.push_back(&files[i].path);
    }
    ReadAhead<FilePiece> ahead(toRead.size(), threads, filesAhead, static_cast<std::size_t>(maxPendingPerBatch),
                               [&](std::size_t worker, std::size_t index, const ReadAhead<FilePiece>::Emit& emit) {
                                   readInto(*toRead[index], *readers[worker], marks, emit);
                               });
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (stopRequested_) {
            stoppedEarly_ = true;
            break;
        }
        if (readAt[i] < 0) { // just as it was when last read, by what stat said while the folders were walked
            ++files_;
            if (progress)
                progress(static_cast<std::int64_t>(i + 1), total);
            continue;
        }
        Taken taken = takeFile(files[i].path, ahead, static_cast<std::size_t>(readAt[i]), unstored, write, batchSize_);
        if (taken.error)
            noteProblem(files[i].path, std::move(*taken.error), false);
        bytes_ += taken.bytes;
        linesRead_ += taken.lines;
        impossibleTimes_ += taken.impossibleTimes;
        messagesRead_ += taken.messages;
        ++files_;
        if (progress)
            progress(static_cast<std::int64_t>(i + 1), total);
    }
    ahead.stop();
    if (!unstored.empty())
        write();
    store.finish();
    return total;
}

} // namespace tallyglass
