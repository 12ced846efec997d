#include "capture/TranscriptParser.h"

#include "support/TestData.h"

#include <gtest/gtest.h>

#include <string>

namespace tallyglass {
namespace {

using TranscriptParser::classify;
using TranscriptParser::Kind;

// An assistant line with every field the parser reads; `usage` is spliced in.
std::string assistantLine(const std::string& usage, const std::string& extraMessageFields = R"("role":"assistant","model":"claude-sonnet-4-6",)",
                          const std::string& timestamp = "2025-01-15T10:30:00.123Z")
{
    return R"({"type":"assistant","sessionId":"sess-1","timestamp":")" + timestamp + R"(","message":{"id":"msg_1",)"
        + extraMessageFields + R"("usage":)" + usage + "}}";
}

// Every field of a record, to compare whole records at once.
std::string fields(const MessageInsert& m)
{
    return m.messageId + "|" + m.sessionId + "|" + m.timestamp + "|" + m.role + "|" + m.model.value_or("(none)") + "|"
        + std::to_string(m.inputTokens) + "|" + std::to_string(m.outputTokens) + "|" + std::to_string(m.cacheCreationInputTokens)
        + "|" + std::to_string(m.cacheReadInputTokens) + "|" + std::to_string(m.cacheCreation1hInputTokens) + "|"
        + (m.isSubagent ? "sub" : "main");
}

TEST(TranscriptParser, aRecordedTranscriptGivesItsMessagesAndCountsEverySkip)
{
    const auto outcome = TranscriptParser::parseText(PaddedText(test::readData("transcripts/mixed.jsonl")));
    EXPECT_EQ(outcome.malformed, 1);
    EXPECT_EQ(outcome.nonAssistant, 2);
    EXPECT_EQ(outcome.missingField, 1);
    std::vector<std::string> stored;
    for (const MessageInsert& m : outcome.inserts)
        stored.push_back(fields(m));
    const std::string session = "3f2a8c1e-0b7d-4e5f-9a6b-1c2d3e4f5a6b";
    // The last: an empty usage object is a message of zero tokens; a missing role is "assistant".
    EXPECT_EQ(stored, (std::vector<std::string>{
                          "msg_01A|" + session + "|2025-01-15T10:30:00.123Z|assistant|claude-sonnet-4-6|1000|500|2000|10000|0|main",
                          "msg_01B|" + session + "|2025-01-15T10:30:05Z|assistant|claude-opus-4-6|3|88|1200|15000|1000|main",
                          "msg_01D|" + session + "|2025-01-15T10:31:00Z|assistant|claude-haiku-4-5-20251001|0|0|0|0|0|main"}));
}

TEST(TranscriptParser, linesAreClassifiedByTheFirstRuleThatApplies)
{
    struct Case {
        std::string line;
        Kind kind;
    };
    const Case cases[] = {
        {"plain words", Kind::malformed},
        {"42", Kind::malformed},
        {R"("assistant")", Kind::malformed},
        {R"([{"type":"assistant"}])", Kind::malformed},
        {R"({"type":"assistant"} {})", Kind::malformed},
        {"{\"type\":\"assistant\",\"x\":\"\xFF\"}", Kind::malformed}, // not UTF-8
        {"{}", Kind::nonAssistant},
        {R"({"type":"user"})", Kind::nonAssistant},
        {R"({"type":"Assistant"})", Kind::nonAssistant},
        {R"({"type":1})", Kind::nonAssistant},
        {R"({"type":"assistant"})", Kind::missingField},
        {R"({"type":"assistant","message":"text","sessionId":"s","timestamp":"2025-01-15T10:30:00Z"})", Kind::missingField},
        {R"({"type":"assistant","sessionId":"s","timestamp":"2025-01-15T10:30:00Z","message":{"id":"","usage":{}}})", Kind::missingField},
        {R"({"type":"assistant","sessionId":"s","timestamp":"2025-01-15T10:30:00Z","message":{"id":5,"usage":{}}})", Kind::missingField},
        {R"({"type":"assistant","sessionId":"s","timestamp":"2025-01-15T10:30:00Z","message":{"id":"m","usage":[]}})", Kind::missingField},
        {R"({"type":"assistant","sessionId":"","timestamp":"2025-01-15T10:30:00Z","message":{"id":"m","usage":{}}})", Kind::missingField},
        {R"({"type":"assistant","timestamp":"2025-01-15T10:30:00Z","message":{"id":"m","usage":{}}})", Kind::missingField},
        {assistantLine("{}", "", "2025-01-15 10:30:00"), Kind::missingField},
        {assistantLine("{}", "", "yesterday"), Kind::missingField},
        {assistantLine("{}", "", ""), Kind::missingField},
        {assistantLine("{}", "", "2025-01-15T10:30:00Z"), Kind::ok},
        {assistantLine("{}", "", "2025-01-15T10:30:00.123Z"), Kind::ok},
        {"  " + assistantLine("{}") + " \t", Kind::ok},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(classify(c.line).kind, c.kind);
    }
}

TEST(TranscriptParser, aLineCutShortIsNeverAMessage)
{
    // Claude Code may be mid-write when we read: every proper prefix of a
    // message line must be refused, however many fields it already holds.
    const std::string line = assistantLine(R"({"input_tokens":10,"output_tokens":20})");
    ASSERT_EQ(classify(line).kind, Kind::ok);
    for (std::size_t length = 0; length < line.size(); ++length) {
        const auto c = classify(line.substr(0, length));
        ASSERT_NE(c.kind, Kind::ok) << "prefix of " << length << " bytes";
        ASSERT_FALSE(c.insert.has_value());
    }
}

TEST(TranscriptParser, roleAndModelFallBackWhenMissingOrOfTheWrongType)
{
    struct Case {
        std::string messageFields;
        std::string role;
        std::optional<std::string> model;
    };
    const Case cases[] = {
        {R"("role":"assistant","model":"claude-opus-4-6",)", "assistant", "claude-opus-4-6"},
        {R"("role":"","model":"",)", "", std::nullopt},
        {R"("role":7,"model":7,)", "assistant", std::nullopt},
        {R"("role":null,"model":null,)", "assistant", std::nullopt},
        {"", "assistant", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.messageFields);
        const auto result = classify(assistantLine("{}", c.messageFields));
        ASSERT_EQ(result.kind, Kind::ok);
        EXPECT_EQ(result.insert->role, c.role);
        EXPECT_EQ(result.insert->model, c.model);
    }
}

TEST(TranscriptParser, tokenCountsAreIntegersTruncatedAndClampedToSixtyFourBits)
{
    struct Case {
        std::string value;
        std::int64_t expected;
    };
    const Case cases[] = {
        {"12", 12},
        {"12.0", 12},
        {"1234.9", 1234},
        {"-3.7", -3},
        {"-5", -5},
        {"1e3", 1000},
        {R"("12")", 0},
        {"null", 0},
        {"[1]", 0},
        {"{}", 0},
        {"true", 1},
        {"false", 0},
        {"9223372036854775807", INT64_MAX},
        {"18446744073709551615", INT64_MAX},
        {"100000000000000000000", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"-9223372036854775809", INT64_MIN},
        {"1e20", INT64_MAX},
        {"-1e20", INT64_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const auto result = classify(assistantLine(R"({"note":"-99999999999999999999 in a string stays text","output_tokens":)" + c.value + "}"));
        ASSERT_EQ(result.kind, Kind::ok);
        EXPECT_EQ(result.insert->outputTokens, c.expected);
    }
    // A number out of a double's range is not a number at all.
    EXPECT_EQ(classify(assistantLine(R"({"output_tokens":1e400})")).kind, Kind::malformed);
}

TEST(TranscriptParser, theOneHourCacheShareIsReadAndKeptWithinTheCacheWrites)
{
    struct Case {
        std::string usage;
        std::int64_t oneHour;
    };
    const Case cases[] = {
        {R"({"cache_creation_input_tokens":300})", 0},
        {R"({"cache_creation_input_tokens":300,"cache_creation":{"ephemeral_1h_input_tokens":120}})", 120},
        {R"({"cache_creation_input_tokens":300,"cache_creation":{"ephemeral_1h_input_tokens":900}})", 300},
        {R"({"cache_creation_input_tokens":300,"cache_creation":{"ephemeral_1h_input_tokens":-5}})", 0},
        {R"({"cache_creation_input_tokens":-300,"cache_creation":{"ephemeral_1h_input_tokens":50}})", 0},
        {R"({"cache_creation_input_tokens":300,"cache_creation":"lots"})", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.usage);
        const auto result = classify(assistantLine(c.usage));
        ASSERT_EQ(result.kind, Kind::ok);
        EXPECT_EQ(result.insert->cacheCreation1hInputTokens, c.oneHour);
    }
}

// CR LF ends a line like LF; blank lines are skipped uncounted; duplicates all
// come out; a last line without its line feed is read; strings keep every character.
TEST(TranscriptParser, lineEndsBlankLinesAndDuplicatesAreReadAsWritten)
{
    const std::string crlf = test::readData("transcripts/crlf.jsonl");
    ASSERT_NE(crlf.find("\r\n"), std::string::npos);
    const auto fromCrlf = TranscriptParser::parseText(PaddedText(crlf));
    EXPECT_EQ(fromCrlf.nonAssistant, 1);
    EXPECT_EQ(fromCrlf.malformed, 0);
    ASSERT_EQ(fromCrlf.inserts.size(), 1u);
    EXPECT_EQ(fromCrlf.inserts[0].outputTokens, 7);

    const std::string line = assistantLine(R"({"output_tokens":1})");
    const std::string last = R"({"type":"assistant","sessionId":"s\"q\u00e9\ud83d\ude00","timestamp":"2025-01-15T10:30:00Z",)"
                             R"("message":{"id":"m\n1","usage":{}}})";
    const auto outcome = TranscriptParser::parseText(PaddedText("\n\n   \n" + line + "\n\t\xC2\xA0\n" + line + "\n" + last));
    EXPECT_EQ(outcome.malformed + outcome.nonAssistant + outcome.missingField, 0);
    ASSERT_EQ(outcome.inserts.size(), 3u);
    EXPECT_EQ(outcome.inserts[0], outcome.inserts[1]);
    EXPECT_EQ(outcome.inserts[2].sessionId, "s\"q\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(outcome.inserts[2].messageId, "m\n1");
}

} // namespace
} // namespace tallyglass
