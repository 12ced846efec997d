// Reads arbitrary bytes as one transcript line both ways, whole with the
// in-memory parser and in pieces with the scanner, and checks that they agree
// on the line's classification, on every field of a message and on the
// working folder the line names.

#include "capture/TranscriptParser.h"
#include "core/Bounds.h"
#include "core/IsoTime.h"
#include "core/JsonPayload.h"
#include "core/JsonScanner.h"

#include <simdjson.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tallyglass;
    if (size == 0)
        return 0;
    // The first byte chooses the piece size, so splits at every position are tried.
    const std::size_t piece = 1 + data[0] % 17;
    const std::string_view line(reinterpret_cast<const char*>(data) + 1, size - 1);
    // A fixed "now", so that both readers' time checks are compared, and alike on every run.
    static const Instant latest = Bounds::latestMessageTime(*IsoTime::parse("2026-12-07T12:00:00Z"));

    TranscriptParser::LineScanner scanner;
    for (std::size_t at = 0; at < line.size(); at += piece)
        scanner.feed(line.substr(at, piece));
    MessageInsert streamed;
    std::optional<std::string> cwd;
    const auto kind = scanner.finish(streamed, latest, &cwd);
    const auto expected = TranscriptParser::classify(line, latest);
    if (kind != expected.kind || (expected.insert && !(streamed == *expected.insert)))
        std::abort();
    if (cwd != TranscriptParser::parseLines({line}, latest).cwd)
        std::abort();

    // Validity alone, for any JSON value, against the in-memory parser.
    static simdjson::dom::parser parser;
    JsonScanner any({}, 0);
    for (std::size_t at = 0; at < line.size(); at += piece)
        any.feed(line.substr(at, piece));
    simdjson::dom::element root;
    std::string text(line);
    const auto error = parser.parse(text).get(root);
    std::string rewritten;
    const bool longIntegers = error == simdjson::NUMBER_ERROR && JsonPayload::rewriteLongIntegers(line, rewritten);
    const bool accepted = !error || (longIntegers && !parser.parse(rewritten).get(root));
    if (any.finish() != accepted)
        std::abort();
    return 0;
}
