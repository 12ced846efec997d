#include "capture/ScanService.h"

#include "capture/TranscriptParser.h"
#include "core/Log.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass {

namespace {

namespace fs = std::filesystem;

// Big files are read in pieces cut at line ends, so memory stays bounded
// whatever the size of one transcript.
constexpr std::size_t readPiece = 32u * 1024 * 1024;

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

// Parses a whole file, piece by piece, into `outcome`; returns the bytes read.
std::uint64_t parseFile(const fs::path& path, TranscriptParser::Outcome& outcome)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        throw FileError{std::strerror(errno)};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw FileError{"not a regular file"};
    }
    std::string carry; // a line begun at the end of the previous piece
    std::uint64_t total = 0;
    const std::size_t pieceSize = std::clamp<std::size_t>(static_cast<std::size_t>(info.st_size) + 1, 4096, readPiece);
    PaddedText piece(pieceSize);
    while (true) {
        std::memcpy(piece.data(), carry.data(), carry.size());
        std::size_t filled = carry.size();
        bool atEnd = false;
        while (filled < pieceSize) {
            const ssize_t n = ::read(fd, piece.data() + filled, pieceSize - filled);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                const int error = errno;
                ::close(fd);
                throw FileError{std::strerror(error)};
            }
            if (n == 0) {
                atEnd = true;
                break;
            }
            filled += static_cast<std::size_t>(n);
            total += static_cast<std::uint64_t>(n);
        }
        std::size_t usable = filled;
        carry.clear();
        if (!atEnd) {
            const std::string_view view(piece.data(), filled);
            const std::size_t lastFeed = view.rfind('\n');
            if (lastFeed != std::string_view::npos) {
                usable = lastFeed + 1;
                carry.assign(view.substr(usable));
            }
            // A single line longer than a piece is parsed as it is (and found malformed).
        }
        // Parsed in place: the rest of the piece and its padding follow the slice.
        TranscriptParser::parsePaddedRangeInto(piece.data(), usable, outcome);
        if (atEnd)
            break;
    }
    ::close(fd);
    return total;
}

} // namespace

ScanService::ScanService(std::shared_ptr<MessageWriter> writer, std::vector<fs::path> roots, std::int64_t batchSize)
    : writer_(std::move(writer))
    , roots_(std::move(roots))
    , batchSize_(batchSize)
{
}

ScanService::Statistics ScanService::statistics() const
{
    return {files_.load(), bytes_.load(), messagesRead_.load()};
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

std::vector<fs::path> ScanService::collectJsonlFiles() const
{
    std::vector<fs::path> files;
    std::set<std::pair<dev_t, ino_t>> seen; // the same file reached through two roots counts once
    for (const fs::path& root : roots_) {
        std::error_code error;
        fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error);
        if (error)
            continue;
        std::vector<fs::path> found;
        for (const fs::recursive_directory_iterator end; it != end; it.increment(error)) {
            if (error)
                break;
            const fs::path& path = it->path();
            if (path.filename().string().starts_with('.')) {
                if (it->is_directory(error))
                    it.disable_recursion_pending();
                continue;
            }
            const std::string text = path.string();
            if (!text.ends_with(".jsonl") || text.find("/tool-results/") != std::string::npos)
                continue;
            struct stat info {};
            if (::stat(path.c_str(), &info) == 0 && !seen.insert({info.st_dev, info.st_ino}).second)
                continue;
            found.push_back(path);
        }
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

std::int64_t ScanService::scanAll(const Progress& progress)
{
    const std::vector<fs::path> files = collectJsonlFiles();
    const auto total = static_cast<std::int64_t>(files.size());
    if (progress)
        progress(0, total);

    std::vector<MessageInsert> pending;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (stopRequested_) {
            stoppedEarly_ = true;
            break;
        }
        const fs::path& file = files[i];
        TranscriptParser::Outcome outcome;
        try {
            bytes_ += static_cast<std::int64_t>(parseFile(file, outcome));
        } catch (const FileError& error) {
            Log::line("scan: " + file.string() + ": " + error.message);
            outcome.inserts.clear();
        }
        messagesRead_ += static_cast<std::int64_t>(outcome.inserts.size());
        if (const auto session = subagentSession(file.string())) {
            for (MessageInsert& m : outcome.inserts) {
                m.sessionId = *session;
                m.isSubagent = true;
            }
        }
        pending.insert(pending.end(), std::make_move_iterator(outcome.inserts.begin()),
                       std::make_move_iterator(outcome.inserts.end()));
        if (static_cast<std::int64_t>(pending.size()) >= batchSize_) {
            writer_->insertBackfillMessages(pending); // a failure ends the scan with its error
            pending.clear();
        }
        ++files_;
        if (progress)
            progress(static_cast<std::int64_t>(i + 1), total);
    }
    if (!pending.empty())
        writer_->insertBackfillMessages(pending);
    return total;
}

} // namespace tallyglass
