#include "capture/TranscriptReader.h"

#include "core/Bounds.h"
#include "core/MappedRange.h"
#include "core/Utf8.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace tallyglass {

namespace {

using TranscriptParser::Kind;

// Reads shorter than this go into the buffer: mapping a window costs more than copying a few pages.
constexpr std::uint64_t mapAtLeast = 256u << 10;

// Reads up to `size` bytes at `offset`; the count read, or -1 with errno set.
ssize_t readAt(int fd, char* into, std::size_t size, std::uint64_t offset)
{
    while (true) {
        const ssize_t n = ::pread(fd, into, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

bool isBlank(std::string_view line)
{
    return line.empty() || (line.front() != '{' && Utf8::isBlank(line));
}

} // namespace

TranscriptReader::TranscriptReader()
    : TranscriptReader(Options{})
{
}

TranscriptReader::TranscriptReader(Options options)
    : options_(options)
{
    // A piece must hold any line the in-memory parser takes, with room to spare.
    options_.pieceBytes = std::max(options_.pieceBytes, 2 * TranscriptParser::maxInMemoryLineBytes);
    options_.batchRecords = std::max<std::size_t>(options_.batchRecords, 1);
}

void TranscriptReader::finishLongLine(TranscriptParser::Outcome& outcome, Instant latest)
{
    MessageInsert insert;
    const Kind kind = longLine_.finish(insert, latest, &outcome.cwd);
    TranscriptParser::count(kind, std::move(insert), outcome);
    longLine_.reset();
}

// What one read has in hand: the piece in the buffer, where the line it is on
// starts, and what was classified and not yet handed on.
struct TranscriptReader::Pass {
    Pass(const Sink& handOn, std::uint64_t offset, std::uint64_t readLimit, Instant latestTime)
        : sink(handOn)
        , limit(readLimit)
        , latest(latestTime)
        , bufferStart(offset)
        , atEnd(offset >= readLimit)
    {
        result.wholeLinesEnd = offset;
        result.end = offset;
    }

    // Hands on the records so far, as covering the lines before `end`; false when the sink says stop.
    bool flush(std::uint64_t end)
    {
        std::vector<MessageInsert>& records = outcome.inserts;
        if (records.empty())
            return true;
        const bool goOn = sink(records, end);
        records.clear();
        result.stopped = !goOn;
        return goOn;
    }

    Result done()
    {
        result.malformed = outcome.malformed;
        result.nonAssistant = outcome.nonAssistant;
        result.missingField = outcome.missingField;
        result.impossibleTime = outcome.impossibleTime;
        result.cwd = std::move(outcome.cwd);
        return std::move(result);
    }

    const Sink& sink;
    const std::uint64_t limit;
    const Instant latest;
    Result result;
    TranscriptParser::Outcome outcome;
    // The bytes in hand: the reader's buffer, or a window of the file mapped.
    const char* data = nullptr;
    std::size_t capacity = 0;
    std::optional<MappedRange> mapping;
    bool windowReady = false; // the mapping is the next window, not yet taken
    bool lost = false;        // a window before this one lost bytes to a truncation
    std::uint64_t bufferStart; // file offset of data[0]
    std::size_t filled = 0;
    std::size_t lineStart = 0;
    std::size_t searchFrom = 0;
    bool streaming = false; // the line in hand began before buffer[0]: its start went to longLine_
    bool atEnd;
};

TranscriptReader::Result TranscriptReader::read(int fd, std::uint64_t offset, std::uint64_t limit, const Sink& sink,
                                                bool includeUnterminated)
{
    if (buffer_.size() != options_.pieceBytes)
        buffer_ = PaddedText(options_.pieceBytes);
    Pass pass(sink, offset, limit, Bounds::latestMessageTime(options_.now ? options_.now() : wallClockNow()));
    pass.data = buffer_.data();
    pass.capacity = buffer_.size();
    // Large reads go through a mapping of the file, window by window: no copy of every byte.
    if (options_.mapBytes > 0 && limit - offset >= mapAtLeast) {
        const std::size_t window = std::max(options_.mapBytes, options_.pieceBytes);
        pass.mapping = MappedRange::map(fd, offset, static_cast<std::size_t>(std::min<std::uint64_t>(window, limit - offset)));
        if (pass.mapping) {
            pass.capacity = window;
            pass.windowReady = true;
        }
    }
    // The working folder is the first line's to give; past it, lines that
    // cannot be messages are passed over unparsed from the first (the folder
    // stays unknown: an empty one stands for it while reading).
    const bool fromStart = offset == 0;
    if (!fromStart)
        pass.outcome.cwd.emplace();
    const auto finished = [&] {
        Result result = pass.done();
        if (!fromStart)
            result.cwd.reset();
        return result;
    };
    while (true) {
        if (!pass.atEnd && pass.filled < pass.capacity && !(pass.mapping ? mapPiece(fd, pass) : readPiece(fd, pass)))
            break;
        if (!takeWholeLines(pass))
            return finished();
        if (pass.atEnd)
            break;
        pass.searchFrom = pass.filled;
        if (pass.filled == pass.capacity)
            makeRoom(pass);
    }
    if (pass.mapping && (pass.lost || pass.mapping->lostBytes())) {
        shortened(fd, pass);
        return finished();
    }
    if (!pass.flush(pass.result.wholeLinesEnd) || pass.result.error)
        return finished();
    if (includeUnterminated && (pass.streaming || pass.filled > pass.lineStart)) {
        takeUnterminatedLine(pass);
        pass.flush(pass.result.wholeLinesEnd);
    }
    return finished();
}

// Fills the buffer further from the file; false when reading failed.
bool TranscriptReader::readPiece(int fd, Pass& pass)
{
    const std::uint64_t position = pass.bufferStart + pass.filled;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size() - pass.filled, pass.limit - position));
    const ssize_t n = readAt(fd, buffer_.data() + pass.filled, want, position);
    if (n < 0) {
        pass.result.error = std::strerror(errno);
        return false;
    }
    pass.filled += static_cast<std::size_t>(n);
    pass.atEnd = n == 0 || pass.bufferStart + pass.filled >= pass.limit;
    pass.result.end = pass.bufferStart + pass.filled;
    return true;
}

// Maps the next window of the file, from where the line in hand starts
// (`filled` of its bytes are in hand already); false when mapping failed.
bool TranscriptReader::mapPiece(int fd, Pass& pass)
{
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(pass.capacity, pass.limit - pass.bufferStart));
    if (!pass.windowReady) {
        pass.lost = pass.lost || pass.mapping->lostBytes();
        pass.mapping.emplace(); // the window before goes first: no more than one is held
        auto next = MappedRange::map(fd, pass.bufferStart, want);
        if (!next) {
            pass.result.error = std::strerror(errno);
            return false;
        }
        pass.mapping = std::move(next);
    }
    pass.windowReady = false;
    pass.data = pass.mapping->data();
    pass.filled = want;
    pass.atEnd = pass.bufferStart + want >= pass.limit;
    pass.result.end = pass.bufferStart + want;
    return true;
}

// The file lost bytes while its window was mapped: they read as zeros, so
// nothing past its size now is trusted. What came before stands; the last
// line is left for the next read.
void TranscriptReader::shortened(int fd, Pass& pass)
{
    struct stat info {};
    const std::uint64_t size = ::fstat(fd, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    pass.result.end = std::min(pass.result.end, size);
    pass.result.wholeLinesEnd = std::min(pass.result.wholeLinesEnd, size);
    pass.flush(pass.result.wholeLinesEnd);
}

// Classifies every line the buffer holds whole, handing the records on in
// batches; false when the sink said stop.
bool TranscriptReader::takeWholeLines(Pass& pass)
{
    const char* const buffer = pass.data;
    while (const void* found = std::memchr(buffer + pass.searchFrom, '\n', pass.filled - pass.searchFrom)) {
        const auto feed = static_cast<std::size_t>(static_cast<const char*>(found) - buffer);
        if (pass.streaming) {
            longLine_.feed({buffer + pass.lineStart, feed - pass.lineStart});
            finishLongLine(pass.outcome, pass.latest);
            pass.streaming = false;
        } else {
            // The bytes after the line, up to the buffer's padding, are readable.
            TranscriptParser::parsePaddedLineInto(buffer + pass.lineStart, feed - pass.lineStart, pass.outcome, pass.latest);
        }
        pass.lineStart = pass.searchFrom = feed + 1;
        pass.result.wholeLinesEnd = pass.bufferStart + pass.lineStart;
        if (pass.outcome.inserts.size() >= options_.batchRecords && !pass.flush(pass.result.wholeLinesEnd))
            return false;
    }
    return true;
}

// The buffer is full and its last line goes on beyond it: a line too long for
// the in-memory parser goes on to the piecewise one, any other moves to the front.
void TranscriptReader::makeRoom(Pass& pass)
{
    const char* const buffer = pass.data;
    const std::size_t partial = pass.filled - pass.lineStart;
    if (pass.streaming || partial > TranscriptParser::maxInMemoryLineBytes) {
        if (!pass.streaming) {
            longLine_.reset();
            pass.streaming = true;
        }
        longLine_.feed({buffer + pass.lineStart, partial});
        pass.bufferStart += pass.filled;
        pass.filled = pass.lineStart = pass.searchFrom = 0;
    } else if (pass.mapping) {
        // The next window begins with the line in hand.
        pass.bufferStart += pass.lineStart;
        pass.filled = pass.lineStart = 0;
        pass.searchFrom = partial;
    } else {
        std::memmove(buffer_.data(), buffer + pass.lineStart, partial);
        pass.bufferStart += pass.lineStart;
        pass.filled = pass.searchFrom = partial;
        pass.lineStart = 0;
    }
}

void TranscriptReader::takeUnterminatedLine(Pass& pass)
{
    char* buffer = buffer_.data();
    if (pass.mapping && !pass.streaming) {
        // Parsed from the reader's own buffer, zeros after it: a window is read-only.
        const std::size_t size = pass.filled - pass.lineStart;
        if (size > buffer_.size()) {
            longLine_.reset();
            longLine_.feed({pass.data + pass.lineStart, size});
            finishLongLine(pass.outcome, pass.latest);
            return;
        }
        std::memcpy(buffer, pass.data + pass.lineStart, size);
        pass.data = buffer;
        pass.filled = size;
        pass.lineStart = 0;
    }
    if (pass.streaming) {
        longLine_.feed({pass.data + pass.lineStart, pass.filled - pass.lineStart});
        finishLongLine(pass.outcome, pass.latest);
    } else if (!isBlank({buffer + pass.lineStart, pass.filled - pass.lineStart})) {
        // Zero the bytes after the line: the file may have shrunk under us.
        std::memset(buffer + pass.filled, 0, std::min(buffer_.size() - pass.filled, PaddedText::padding));
        TranscriptParser::parsePaddedRangeInto(buffer + pass.lineStart, pass.filled - pass.lineStart, pass.outcome, pass.latest);
    }
}

bool TranscriptReader::hasLineFeed(int fd, std::uint64_t from, std::uint64_t to)
{
    if (buffer_.size() != options_.pieceBytes)
        buffer_ = PaddedText(options_.pieceBytes);
    while (from < to) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), to - from));
        const ssize_t n = readAt(fd, buffer_.data(), want, from);
        if (n <= 0)
            return n < 0; // an error: let a full read find out what it is
        if (std::memchr(buffer_.data(), '\n', static_cast<std::size_t>(n)))
            return true;
        from += static_cast<std::uint64_t>(n);
    }
    return false;
}

} // namespace tallyglass
