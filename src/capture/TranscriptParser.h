#pragma once

#include "core/Instant.h"
#include "core/MessageInsert.h"
#include "core/PaddedText.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyglass::TranscriptParser {

// Turns Claude Code transcript lines (JSON lines) into message records. Every
// line ends in exactly one classification; nothing here fails or throws.
//
// A line is JSON only if it parses whole: a line cut short while Claude Code is
// still writing it is malformed, never a message with the fields read so far.
// Token counts outside the 64-bit range are clamped to it. Identifiers longer
// than maxFieldBytes make a line missingField: no real one comes close, and a
// bound keeps one hostile line from growing the database without limit.
//
// Claude Code also writes the session's working folder ("cwd") on most lines,
// whatever their type. The readers of whole transcripts report the first one
// they meet, since a session's first is the folder it started in: its project.
// Only a JSON line's non-empty string within maxFieldBytes counts; it is kept
// as decoded, byte for byte.
//
// A message whose time is impossible (Bounds::isPossibleMessageTime: before
// 2000, or after `latest`) is refused like a malformed line, and counted on
// its own so that an import can say how many it left out. `latest` comes
// from the caller, who decides what "now" is: the parser reads no clock.

enum class Kind { ok, malformed, nonAssistant, missingField, impossibleTime };

inline constexpr std::size_t maxFieldBytes = 4096;
// Longer lines are read by LineScanner, in pieces, with bounded memory: the
// in-memory parser needs about thirteen times a document's size.
inline constexpr std::size_t maxInMemoryLineBytes = 1u << 20;

struct Classification {
    Kind kind = Kind::malformed;
    std::optional<MessageInsert> insert; // set only for Kind::ok

    bool operator==(const Classification&) const = default;
};

struct Outcome {
    std::vector<MessageInsert> inserts;
    std::int64_t malformed = 0;
    std::int64_t nonAssistant = 0;
    std::int64_t missingField = 0;
    std::int64_t impossibleTime = 0;
    // The first line's working folder; once it is known, later lines are not asked.
    std::optional<std::string> cwd;

    bool operator==(const Outcome&) const = default;
};

Classification classify(std::string_view line, Instant latest);

// Classifies each line in order; lines holding only white space are skipped uncounted.
// As parseText, a line that cannot be a message is not parsed once the working folder is known.
Outcome parseLines(const std::vector<std::string_view>& lines, Instant latest);

// A whole transcript: split at LF (a CR before the LF is dropped, so files with
// CR LF line ends parse), empty pieces skipped, then as parseLines. Lines are
// parsed in place inside the padded buffer. Once the working folder is known,
// a line whose bytes cannot name the type "assistant" is counted nonAssistant
// unparsed, even a malformed one: neither is a message.
Outcome parseText(const PaddedText& text, Instant latest);
void parseTextInto(const PaddedText& text, Outcome& outcome, Instant latest);
// The same for bytes [data, data + size) followed by at least PaddedText::padding
// readable bytes (a slice of a larger padded buffer).
void parsePaddedRangeInto(const char* data, std::size_t size, Outcome& outcome, Instant latest);
// The same for one line, without its line feed.
void parsePaddedLineInto(const char* data, std::size_t size, Outcome& outcome, Instant latest);

// Adds one classified line to an outcome.
void count(Kind kind, MessageInsert&& insert, Outcome& outcome);

// Classifies one line of any length fed in pieces, keeping only the fields it
// needs; it agrees with classify() on every line.
class LineScanner {
public:
    LineScanner();
    ~LineScanner();
    LineScanner(const LineScanner&) = delete;
    LineScanner& operator=(const LineScanner&) = delete;

    void reset();
    void feed(std::string_view bytes);
    // With `cwd` given and still empty, also sets it to the line's working folder, if it names one.
    Kind finish(MessageInsert& insert, Instant latest, std::optional<std::string>* cwd = nullptr);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace tallyglass::TranscriptParser
