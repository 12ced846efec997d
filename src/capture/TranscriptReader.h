#pragma once

#include "capture/TranscriptParser.h"
#include "core/Instant.h"
#include "core/MessageInsert.h"
#include "core/PaddedText.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallyglass {

// Reads a transcript file from an offset in pieces of bounded size and hands
// on the records of its whole lines in batches, each with the offset just past
// the last line it covers, so a caller can store them and move its cursor.
// Memory stays bounded whatever the file holds: lines longer than the
// in-memory parser takes are classified piece by piece, and a file without a
// single line feed is never held whole.
class TranscriptReader {
public:
    struct Options {
        std::size_t pieceBytes = 4u << 20;
        // Reads of 256 KiB or more go through windows of the file mapped,
        // this large (at least a piece); 0: every read into the buffer.
        std::size_t mapBytes = 16u << 20;
        std::size_t batchRecords = 500;
        // The now that messages' times are held to, asked once per read; empty: the system's.
        std::function<Instant()> now{};
    };

    struct Result {
        std::uint64_t wholeLinesEnd = 0; // just past the last line feed read
        std::uint64_t end = 0;           // where reading stopped
        std::int64_t malformed = 0;
        std::int64_t nonAssistant = 0;
        std::int64_t missingField = 0;
        std::int64_t impossibleTime = 0;
        std::optional<std::string> error; // reading failed (the system's words)
        bool stopped = false;             // the sink asked to stop
        std::optional<std::string> cwd;   // the working folder of the first line that names one, read from the start
    };

    // Called with the records of the lines before `endOffset`; false stops the
    // read there. The records may be moved from.
    using Sink = std::function<bool(std::vector<MessageInsert>& records, std::uint64_t endOffset)>;

    TranscriptReader();
    explicit TranscriptReader(Options options);

    // Reads bytes [offset, limit) of `fd`. A last line without its line feed is
    // classified too when `includeUnterminated` (its records come last, with
    // endOffset equal to wholeLinesEnd: a cursor must not move past a line
    // that may still be being written).
    Result read(int fd, std::uint64_t offset, std::uint64_t limit, const Sink& sink, bool includeUnterminated = true);


    // Whether bytes [from, to) of `fd` hold a line feed; reads in pieces.
    bool hasLineFeed(int fd, std::uint64_t from, std::uint64_t to);

private:
    struct Pass;

    bool readPiece(int fd, Pass& pass);
    bool mapPiece(int fd, Pass& pass);
    void shortened(int fd, Pass& pass);
    bool takeWholeLines(Pass& pass);
    void makeRoom(Pass& pass);
    void takeUnterminatedLine(Pass& pass);
    void finishLongLine(TranscriptParser::Outcome& outcome, Instant latest);

    Options options_;
    PaddedText buffer_;
    TranscriptParser::LineScanner longLine_;
};

} // namespace tallyglass
