#include "capture/TranscriptParser.h"
#include "core/Bounds.h"
#include "core/IsoTime.h"
#include "core/JsonPayload.h"
#include "core/JsonScanner.h"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <random>
#include <string>
#include <vector>

namespace tallyglass {
namespace {

// Documents close to what transcripts and hook payloads hold, to be mutated.
const std::vector<std::string> seeds = {
    R"({"type":"assistant","sessionId":"s-1","timestamp":"2025-01-15T10:30:00.123Z","message":{"id":"msg_1","role":"assistant","model":"claude-sonnet-4-6","usage":{"input_tokens":12,"output_tokens":3.0,"cache_creation_input_tokens":1e3,"cache_read_input_tokens":-0,"cache_creation":{"ephemeral_1h_input_tokens":true}}}})",
    R"({"type":"assistant","message":{"id":"m\u00e9\ud83d\ude00","usage":{"input_tokens":18446744073709551615},"model":"x","model":"y"},"sessionId":"s\"q","timestamp":"2025-01-15T10:30:00Z","message":5,"cwd":7,"cwd":"/y"})",
    R"({"type":"user","cwd":"/srv/a-b/c.d\u00e9\u0001","message":{"content":[{"type":"text","text":"a\\b\/c\n\t\u0000"},null,false,[1,2.5e-3,-7E+2]]}})",
    R"({"hook_event_name":"Stop","session_id":"abc","transcript_path":"/tmp/t.jsonl","rate_limits":{"five_hour":{"used_percentage":42.5,"resets_at":1735689600}}})",
    R"([{"a":{"b":{"c":[[[]]]}}},"\u20ac",123456789012345678901234567890,0.000000000000000000001])",
    R"({"type":"assistant","sessionId":"s","timestamp":"2025-01-15T10:30:00Z","message":{"id":"m","usage":{"input_tokens":1234567890123456789,"output_tokens":99999999999999999999999}}})",
    R"({"type":"assistant","sessionId":"é","timestamp":"2025-01-15T10:30:00+01:00","message":{"id":"\uD800\uE000","usage":{}}})",
};

// Lines are read as on the day the seeds were written, so that mutated times
// fall on both sides of what is possible.
const Instant latest = Bounds::latestMessageTime(*IsoTime::parse("2025-01-15T00:00:00Z"));

const std::string alphabet = "{}[]\":,\\ u0123456789eE.-+truefalsn\t\r\x01\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xED\xA0\x80\xFF";

std::string mutate(std::string doc, std::mt19937& random)
{
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < edits && !doc.empty(); ++i) {
        const std::size_t at = random() % doc.size();
        switch (random() % 4) {
        case 0: doc.insert(at, 1, alphabet[random() % alphabet.size()]); break;
        case 1: doc.erase(at, 1 + random() % 3); break;
        case 2: doc[at] = alphabet[random() % alphabet.size()]; break;
        default: doc.insert(at, doc.substr(random() % doc.size(), random() % 12)); break;
        }
    }
    return doc;
}

// Feeds a document in pieces of random sizes, as a reader of a long line does.
template <typename Feed>
void feedInPieces(std::string_view doc, std::mt19937& random, Feed&& feed)
{
    std::size_t at = 0;
    while (at < doc.size()) {
        const std::size_t n = std::min<std::size_t>(doc.size() - at, 1 + random() % 9);
        feed(doc.substr(at, n));
        at += n;
    }
}

bool domAccepts(const std::string& doc)
{
    static simdjson::dom::parser parser;
    return parser.parse(doc).error() == simdjson::SUCCESS;
}

// The scanner must accept exactly the documents the in-memory parser accepts,
// and classify every transcript line (and read its working folder) as it
// does, whatever the pieces.
TEST(JsonScanner, agreesWithTheInMemoryParserOnGeneratedDocuments)
{
    std::mt19937 random(20261206);
    JsonScanner scanner({{"type"}}, 64);
    TranscriptParser::LineScanner lines;
    int valid = 0;
    for (int round = 0; round < 40'000; ++round) {
        std::string doc = seeds[random() % seeds.size()];
        if (round % 10 != 0)
            doc = mutate(doc, random);
        SCOPED_TRACE(doc);

        scanner.reset();
        feedInPieces(doc, random, [&](std::string_view piece) { scanner.feed(piece); });
        bool accepted = domAccepts(doc);
        // Integers beyond 64 bits are valid JSON that the in-memory parser refuses: both readers take them as floats.
        std::string rewritten;
        if (!accepted && JsonPayload::rewriteLongIntegers(doc, rewritten))
            accepted = domAccepts(rewritten);
        ASSERT_EQ(scanner.finish(), accepted);
        valid += accepted;

        lines.reset();
        feedInPieces(doc, random, [&](std::string_view piece) { lines.feed(piece); });
        MessageInsert streamed;
        std::optional<std::string> cwd;
        const auto kind = lines.finish(streamed, latest, &cwd);
        const auto expected = TranscriptParser::classify(doc, latest);
        ASSERT_EQ(kind, expected.kind);
        if (expected.insert) {
            ASSERT_EQ(streamed, *expected.insert);
        }
        ASSERT_EQ(cwd, TranscriptParser::parseLines({doc}, latest).cwd);
    }
    EXPECT_GT(valid, 4'000); // the mutations leave enough documents whole to compare values
}

TEST(JsonScanner, nestingIsRefusedBeyondTheSameDepthAsTheInMemoryParser)
{
    for (const std::size_t depth : {JsonScanner::maxDepth - 1, JsonScanner::maxDepth, JsonScanner::maxDepth + 1}) {
        const std::string doc = std::string(depth, '[') + std::string(depth, ']');
        JsonScanner scanner({}, 0);
        scanner.feed(doc);
        EXPECT_EQ(scanner.finish(), domAccepts(doc)) << depth;
    }
}

} // namespace
} // namespace tallyglass
