#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

namespace tallyglass::bench {

// Writes realistic Claude Code transcripts: assistant responses split over two
// or three lines that share one message id (one line per content block), user
// lines carrying tool results of 1-60 KB, summary and system lines, and now and
// then a malformed line. Identifiers are random, as real ones are.
class TranscriptGenerator {
public:
    explicit TranscriptGenerator(std::uint64_t seed);

    // Appends whole lines to `out` until it holds at least `bytes` more bytes.
    void appendSession(std::string& out, std::size_t bytes);

    // Moves the clock of the lines to come on: the user away for a while.
    void pause(std::int64_t millis) { clockMillis_ += millis; }

    // Counters of what was written so far.
    std::int64_t assistantLines() const { return assistantLines_; }
    std::int64_t distinctMessages() const { return distinctMessages_; }

    std::string randomId(std::string_view prefix, std::size_t length);
    std::string uuid();

private:
    void appendAssistantResponse(std::string& out);
    void appendUserToolResult(std::string& out);
    void appendUserPrompt(std::string& out);
    std::string timestamp();

    std::mt19937_64 random_;
    std::string sessionId_;
    std::int64_t clockMillis_ = 1'760'000'000'000;
    std::int64_t assistantLines_ = 0;
    std::int64_t distinctMessages_ = 0;
};

} // namespace tallyglass::bench
