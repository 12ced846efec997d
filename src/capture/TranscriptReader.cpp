#include "capture/TranscriptReader.h"

#include "core/Bounds.h"
#include "core/Utf8.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace tallyglass {

namespace {

using TranscriptParser::Kind;

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
    std::uint64_t bufferStart; // file offset of buffer[0]
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
        if (!pass.atEnd && pass.filled < buffer_.size() && !readPiece(fd, pass))
            break;
        if (!takeWholeLines(pass))
            return finished();
        if (pass.atEnd)
            break;
        pass.searchFrom = pass.filled;
        if (pass.filled == buffer_.size())
            makeRoom(pass);
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

// Classifies every line the buffer holds whole, handing the records on in
// batches; false when the sink said stop.
bool TranscriptReader::takeWholeLines(Pass& pass)
{
    char* const buffer = buffer_.data();
    while (const void* found = std::memchr(buffer + pass.searchFrom, '\n', pass.filled - pass.searchFrom)) {
        const auto feed = static_cast<std::size_t>(static_cast<const char*>(found) - buffer);
        if (pass.streaming) {
            longLine_.feed({buffer + pass.lineStart, feed - pass.lineStart});
            finishLongLine(pass.outcome, pass.latest);
            pass.streaming = false;
        } else {
            // The bytes after the line, up to the buffer's padding, are readable.
            TranscriptParser::parsePaddedRangeInto(buffer + pass.lineStart, feed - pass.lineStart, pass.outcome, pass.latest);
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
    char* const buffer = buffer_.data();
    const std::size_t partial = pass.filled - pass.lineStart;
    if (pass.streaming || partial > TranscriptParser::maxInMemoryLineBytes) {
        if (!pass.streaming) {
            longLine_.reset();
            pass.streaming = true;
        }
        longLine_.feed({buffer + pass.lineStart, partial});
        pass.bufferStart += pass.filled;
        pass.filled = pass.lineStart = pass.searchFrom = 0;
    } else {
        std::memmove(buffer, buffer + pass.lineStart, partial);
        pass.bufferStart += pass.lineStart;
        pass.filled = pass.searchFrom = partial;
        pass.lineStart = 0;
    }
}

void TranscriptReader::takeUnterminatedLine(Pass& pass)
{
    char* const buffer = buffer_.data();
    if (pass.streaming) {
        longLine_.feed({buffer + pass.lineStart, pass.filled - pass.lineStart});
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
