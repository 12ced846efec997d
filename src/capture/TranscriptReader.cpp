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

TranscriptReader::Result TranscriptReader::read(int fd, std::uint64_t offset, std::uint64_t limit, const Sink& sink,
                                                bool includeUnterminated)
{
    if (buffer_.size() != options_.pieceBytes)
        buffer_ = PaddedText(options_.pieceBytes);
    char* const buffer = buffer_.data();
    const std::size_t capacity = buffer_.size();

    const Instant latest = Bounds::latestMessageTime(options_.now ? options_.now() : wallClockNow());
    Result result;
    result.wholeLinesEnd = offset;
    result.end = offset;
    TranscriptParser::Outcome outcome;
    std::vector<MessageInsert>& records = outcome.inserts; // handed on in batches
    const auto done = [&] {
        result.malformed = outcome.malformed;
        result.nonAssistant = outcome.nonAssistant;
        result.missingField = outcome.missingField;
        result.impossibleTime = outcome.impossibleTime;
        result.cwd = std::move(outcome.cwd);
        return std::move(result);
    };
    const auto flush = [&](std::uint64_t end) {
        if (records.empty())
            return true;
        const bool goOn = sink(records, end);
        records.clear();
        result.stopped = !goOn;
        return goOn;
    };

    std::uint64_t bufferStart = offset; // file offset of buffer[0]
    std::size_t filled = 0;
    std::size_t lineStart = 0;
    std::size_t searchFrom = 0;
    bool streaming = false; // the line in hand began before buffer[0]: its start went to longLine_
    bool atEnd = offset >= limit;
    while (true) {
        if (!atEnd && filled < capacity) {
            const std::uint64_t position = bufferStart + filled;
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(capacity - filled, limit - position));
            const ssize_t n = readAt(fd, buffer + filled, want, position);
            if (n < 0) {
                result.error = std::strerror(errno);
                break;
            }
            filled += static_cast<std::size_t>(n);
            atEnd = n == 0 || bufferStart + filled >= limit;
            result.end = bufferStart + filled;
        }
        while (const void* found = std::memchr(buffer + searchFrom, '\n', filled - searchFrom)) {
            const auto feed = static_cast<std::size_t>(static_cast<const char*>(found) - buffer);
            if (streaming) {
                longLine_.feed({buffer + lineStart, feed - lineStart});
                finishLongLine(outcome, latest);
                streaming = false;
            } else {
                // The bytes after the line, up to the buffer's padding, are readable.
                TranscriptParser::parsePaddedRangeInto(buffer + lineStart, feed - lineStart, outcome, latest);
            }
            lineStart = searchFrom = feed + 1;
            result.wholeLinesEnd = bufferStart + lineStart;
            if (records.size() >= options_.batchRecords && !flush(result.wholeLinesEnd))
                return done();
        }
        if (atEnd)
            break;
        searchFrom = filled;
        if (filled < capacity)
            continue;
        // The buffer is full and its last line goes on beyond it.
        const std::size_t partial = filled - lineStart;
        if (streaming || partial > TranscriptParser::maxInMemoryLineBytes) {
            if (!streaming) {
                longLine_.reset();
                streaming = true;
            }
            longLine_.feed({buffer + lineStart, partial});
            bufferStart += filled;
            filled = lineStart = searchFrom = 0;
        } else {
            std::memmove(buffer, buffer + lineStart, partial);
            bufferStart += lineStart;
            filled = searchFrom = partial;
            lineStart = 0;
        }
    }
    if (!flush(result.wholeLinesEnd) || result.error)
        return done();
    if (includeUnterminated && (streaming || filled > lineStart)) {
        if (streaming) {
            longLine_.feed({buffer + lineStart, filled - lineStart});
            finishLongLine(outcome, latest);
        } else if (!isBlank({buffer + lineStart, filled - lineStart})) {
            // Zero the bytes after the line: the file may have shrunk under us.
            std::memset(buffer + filled, 0, std::min(capacity - filled, PaddedText::padding));
            TranscriptParser::parsePaddedRangeInto(buffer + lineStart, filled - lineStart, outcome, latest);
        }
        flush(result.wholeLinesEnd);
    }
    return done();
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
