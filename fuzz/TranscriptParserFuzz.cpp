// Feeds arbitrary bytes to the transcript parser, as a whole file and line by
// line, and checks that both ways agree and every message is well-formed.

#include "capture/TranscriptParser.h"
#include "core/Bounds.h"
#include "core/IsoTime.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tallyglass;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // A fixed "now": what a line is never depends on when the fuzzer runs.
    static const Instant latest = Bounds::latestMessageTime(*IsoTime::parse("2026-12-07T12:00:00Z"));
    const auto whole = TranscriptParser::parseText(PaddedText(text), latest);

    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!line.empty())
            lines.push_back(line);
        start = end + 1;
    }
    const auto byLine = TranscriptParser::parseLines(lines, latest);
    if (!(whole == byLine))
        std::abort();

    for (const MessageInsert& m : whole.inserts) {
        const auto at = IsoTime::parse(m.timestamp);
        if (m.messageId.empty() || m.sessionId.empty() || m.isSubagent)
            std::abort();
        if (!at || !Bounds::isPossibleMessageTime(*at, latest))
            std::abort();
        if (m.model && m.model->empty())
            std::abort();
        if (m.cacheCreation1hInputTokens < 0 || m.cacheCreation1hInputTokens > std::max<std::int64_t>(m.cacheCreationInputTokens, 0))
            std::abort();
    }
    return 0;
}
