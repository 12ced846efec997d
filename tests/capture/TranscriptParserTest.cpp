#include "capture/TranscriptParser.h"

#include "core/Bounds.h"
#include "core/IsoTime.h"
#include "support/TestData.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace tallyglass {
namespace {

using TranscriptParser::Kind;

// Lines are read as at noon on 2026-12-07: a message may be dated up to a day later.
const Instant latest = Bounds::latestMessageTime(*IsoTime::parse("2026-12-07T12:00:00Z"));

TranscriptParser::Classification classify(std::string_view line)
{
    return TranscriptParser::classify(line, latest);
}

// An assistant line with every field the parser reads; `usage` is spliced in.
std::string assistantLine(const std::string& usage, const std::string& extraMessageFields = R"("role":"assistant","model":"claude-sonnet-4-6",)",
                          const std::string& timestamp = "2025-01-15T10:30:00.123Z")
{
    return R"({"type":"assistant","sessionId":"sess-1","timestamp":")" + timestamp + R"(","message":{"id":"msg_1",)"
        + extraMessageFields + R"("usage":)" + usage + "}}";
}

TEST(TranscriptParser, aRecordedTranscriptGivesItsMessagesAndCountsEverySkip)
{
    const auto outcome = TranscriptParser::parseText(PaddedText(test::readData("transcripts/mixed.jsonl")), latest);
    EXPECT_EQ(outcome.malformed, 1);
    EXPECT_EQ(outcome.nonAssistant, 2);
    EXPECT_EQ(outcome.missingField, 1);
    EXPECT_EQ(outcome.cwd, "/home/dev/proj"); // on the second line, the first that names one
    const std::string session = "3f2a8c1e-0b7d-4e5f-9a6b-1c2d3e4f5a6b";
    // Whole records: input, output, cache written, cache read, subagent, the one-hour share of the cache written.
    // The last: an empty usage object is a message of zero tokens; a missing role is "assistant".
    const std::vector<MessageInsert> expected = {
        {"msg_01A", session, "2025-01-15T10:30:00.123Z", "assistant", "claude-sonnet-4-6", 1000, 500, 2000, 10000, false, 0, {}, false, {}},
        {"msg_01B", session, "2025-01-15T10:30:05Z", "assistant", "claude-opus-4-6", 3, 88, 1200, 15000, false, 1000, {}, false, {}},
        {"msg_01D", session, "2025-01-15T10:31:00Z", "assistant", "claude-haiku-4-5-20251001", 0, 0, 0, 0, false, 0, {}, false, {}},
    };
    EXPECT_EQ(outcome.inserts, expected);
}

TEST(TranscriptParser, linesAreClassifiedByTheFirstRuleThatApplies)
{
    const std::pair<std::string, Kind> cases[] = {
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
        {assistantLine("{}", "", ""), Kind::missingField},
        {"  " + assistantLine("{}") + " \t", Kind::ok},
    };
    for (const auto& [line, kind] : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(classify(line).kind, kind);
    }
}

// No message was written before 2000, nor more than a day after now (noon on
// 2026-12-07 here): such a time is a damaged line's, whatever its offset or
// fraction, and the line is counted apart. Both readers agree.
TEST(TranscriptParser, aTimeBefore2000OrMoreThanADayAheadIsImpossible)
{
    const std::pair<const char*, Kind> cases[] = {
        {"1999-12-31T23:59:59Z", Kind::impossibleTime},
        {"1999-12-31T23:59:59.999999Z", Kind::impossibleTime},
        {"2000-01-01T00:00:00Z", Kind::ok},
        {"2000-01-01T00:00:00.000Z", Kind::ok},
        {"2000-01-01T00:00:00+14:00", Kind::impossibleTime}, // 1999-12-31T10:00:00Z
        {"2000-01-01T13:59:59.9+14:00", Kind::impossibleTime},
        {"2000-01-01T14:00:00+14:00", Kind::ok},
        {"1999-12-31T10:00:00-14:00", Kind::ok},
        {"1999-12-31T09:59:59-1400", Kind::impossibleTime},
        {"2026-12-08T12:00:00Z", Kind::ok}, // a day from now, exactly
        {"2026-12-08T12:00:00.000Z", Kind::ok},
        {"2026-12-08T12:00:01Z", Kind::impossibleTime},
        {"2026-12-08T12:00:00.000001Z", Kind::impossibleTime},
        {"2026-12-09T02:00:00+14:00", Kind::ok},
        {"2026-12-09T02:00:01+14:00", Kind::impossibleTime},
        {"2026-12-08T00:00:00.5-12:00", Kind::impossibleTime},
        {"0001-01-01T00:00:00Z", Kind::impossibleTime},
        {"9999-12-31T23:59:59Z", Kind::impossibleTime},
    };
    for (const auto& [time, kind] : cases) {
        SCOPED_TRACE(time);
        const std::string line = assistantLine("{}", "", time);
        EXPECT_EQ(classify(line).kind, kind);
        TranscriptParser::LineScanner scanner; // as lines too long to be parsed in memory are read
        scanner.feed(line);
        MessageInsert insert;
        EXPECT_EQ(scanner.finish(insert, latest), kind);
        const auto outcome = TranscriptParser::parseText(PaddedText(line + "\n" + line), latest);
        EXPECT_EQ(outcome.impossibleTime, kind == Kind::impossibleTime ? 2 : 0);
        EXPECT_EQ(outcome.inserts.size(), kind == Kind::ok ? 2u : 0u);
    }
}

TEST(TranscriptParser, aLineCutShortIsNeverAMessage)
{
    // Claude Code may be mid-write when we read: every proper prefix of a
    // message line must be refused, however many fields it already holds.
    const std::string line = assistantLine(R"({"input_tokens":10,"output_tokens":20})");
    ASSERT_EQ(classify(line).kind, Kind::ok);
    for (std::size_t length = 0; length < line.size(); ++length)
        ASSERT_NE(classify(line.substr(0, length)).kind, Kind::ok) << "prefix of " << length << " bytes";
}

TEST(TranscriptParser, roleAndModelFallBackWhenMissingOrOfTheWrongType)
{
    // The message's fields, and the role and model read from them.
    const std::tuple<std::string, std::string, std::optional<std::string>> cases[] = {
        {R"("role":"","model":"",)", "", std::nullopt},
        {R"("role":7,"model":7,)", "assistant", std::nullopt},
        {R"("role":null,"model":null,)", "assistant", std::nullopt},
        {"", "assistant", std::nullopt},
    };
    for (const auto& [messageFields, role, model] : cases) {
        SCOPED_TRACE(messageFields);
        const auto result = classify(assistantLine("{}", messageFields));
        ASSERT_EQ(result.kind, Kind::ok);
        EXPECT_EQ(result.insert->role, role);
        EXPECT_EQ(result.insert->model, model);
    }
}

TEST(TranscriptParser, tokenCountsAreIntegersTruncatedAndClampedToSixtyFourBits)
{
    const std::pair<std::string, std::int64_t> cases[] = {
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
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value);
        const auto result = classify(assistantLine(R"({"note":"-99999999999999999999 in a string stays text","output_tokens":)" + value + "}"));
        ASSERT_EQ(result.kind, Kind::ok);
        EXPECT_EQ(result.insert->outputTokens, expected);
    }
    // A number out of a double's range is not a number at all.
    EXPECT_EQ(classify(assistantLine(R"({"output_tokens":1e400})")).kind, Kind::malformed);
}

TEST(TranscriptParser, theOneHourCacheShareIsReadAndKeptWithinTheCacheWrites)
{
    const std::pair<std::string, std::int64_t> cases[] = { // usage, the one-hour share read from it
        {R"({"cache_creation_input_tokens":300})", 0},
        {R"({"cache_creation_input_tokens":300,"cache_creation":{"ephemeral_1h_input_tokens":120}})", 120},
        {R"({"cache_creation_input_tokens":300,"cache_creation":{"ephemeral_1h_input_tokens":900}})", 300},
        {R"({"cache_creation_input_tokens":300,"cache_creation":{"ephemeral_1h_input_tokens":-5}})", 0},
        {R"({"cache_creation_input_tokens":-300,"cache_creation":{"ephemeral_1h_input_tokens":50}})", 0},
        {R"({"cache_creation_input_tokens":300,"cache_creation":"lots"})", 0},
    };
    for (const auto& [usage, oneHour] : cases) {
        SCOPED_TRACE(usage);
        const auto result = classify(assistantLine(usage));
        ASSERT_EQ(result.kind, Kind::ok);
        EXPECT_EQ(result.insert->cacheCreation1hInputTokens, oneHour);
    }
}

// CR LF ends a line like LF; blank lines are skipped uncounted; duplicates all
// come out; a last line without its line feed is read; strings keep every character.
TEST(TranscriptParser, lineEndsBlankLinesAndDuplicatesAreReadAsWritten)
{
    const std::string crlf = test::readData("transcripts/crlf.jsonl"); // a user line and a message, each ending in CR LF
    ASSERT_NE(crlf.find("\r\n"), std::string::npos);
    const std::string line = assistantLine(R"({"output_tokens":1})");
    const std::string last = R"({"type":"assistant","sessionId":"s\"q\u00e9\ud83d\ude00","timestamp":"2025-01-15T10:30:00Z",)"
                             R"("message":{"id":"m\n1","usage":{}}})";
    const auto outcome = TranscriptParser::parseText(PaddedText("\n\n   \n" + line + "\n\t\xC2\xA0\n" + line + "\n" + crlf + last), latest);
    EXPECT_EQ(outcome.malformed + outcome.missingField, 0);
    EXPECT_EQ(outcome.nonAssistant, 1);
    ASSERT_EQ(outcome.inserts.size(), 4u);
    EXPECT_EQ(outcome.inserts[0], outcome.inserts[1]);
    EXPECT_EQ(outcome.inserts[2].outputTokens, 7);
    EXPECT_EQ(outcome.inserts[3].sessionId, "s\"q\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(outcome.inserts[3].messageId, "m\n1");
}

// A session's project is the first working folder its transcript names: the
// first usable "cwd" of a whole JSON line, at the top level, kept as decoded,
// control characters and all. Both readers agree, whatever the lines' kinds.
TEST(TranscriptParser, theFirstWorkingFolderNamedIsReportedAsWrittenByBothReaders)
{
    const std::string user = R"({"type":"user","sessionId":"s","cwd":)";
    const std::string longest(TranscriptParser::maxFieldBytes - 1, 'a');
    struct Case {
        std::vector<std::string> lines;
        std::optional<std::string> cwd;
    };
    const Case cases[] = {
        {{R"({"type":"summary","summary":"x"})", user + R"("/home/ada/my.site"})", user + R"("/home/ada/other"})"},
         "/home/ada/my.site"},
        {{R"({"type":"assistant","cwd":"/srv/a-b/c.d-e","sessionId":"s","timestamp":"2025-01-15T10:30:00Z","message":{"id":"m","usage":{}}})"},
         "/srv/a-b/c.d-e"},
        {{user + R"("/home/ada/caf\u00e9 \"q\"\u0001\t")" + "}"}, "/home/ada/caf\xC3\xA9 \"q\"\x01\t"},
        {{user + R"("/first","cwd":"/second"})"}, "/first"},
        {{user + "\"/" + longest + "\"}"}, "/" + longest},
        {{user + "\"/" + longest + "a\"}", user + R"("/after"})"}, "/after"}, // over the bound: passed over
        {{user + R"(""})", user + R"(7})", user + R"(null})", user + R"("/cut")", user + R"("/x"})"}, "/x"},
        {{R"({"message":{"cwd":"/nested"}})", R"([{"cwd":"/in-an-array"}])", R"("cwd")"}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const auto& [lines, expected] : cases) {
        std::string text;
        for (const std::string& line : lines)
            text += line + "\n";
        SCOPED_TRACE(text);
        EXPECT_EQ(TranscriptParser::parseText(PaddedText(text), latest).cwd, expected);
        EXPECT_EQ(TranscriptParser::parseLines({lines.begin(), lines.end()}, latest).cwd, expected);
        std::optional<std::string> streamed; // as lines too long to be parsed in memory are read
        TranscriptParser::LineScanner scanner;
        for (const std::string& line : lines) {
            scanner.reset();
            scanner.feed(line);
            MessageInsert insert;
            scanner.finish(insert, latest, &streamed);
        }
        EXPECT_EQ(streamed, expected);
    }
}

// Once the working folder is known, lines that cannot name the type
// "assistant" are passed over unparsed; a message is still found wherever the
// word falls in the line and however its letters are escaped.
TEST(TranscriptParser, aMessageIsFoundWhereverAndHoweverItsTypeIsWritten)
{
    const std::string folder = R"({"type":"user","sessionId":"s","cwd":"/home/ada/shop"})" "\n";
    const std::string spellings[] = {
        R"("type":"assistant")", R"("type":"\u0061ssistant")", R"("type":"assis\u0074ant")",
        R"("\u0074ype":"assistant")", R"("type":"\u0061\u0073\u0073\u0069\u0073\u0074\u0061\u006e\u0074")",
    };
    for (const std::string& type : spellings) {
        for (std::size_t pad = 0; pad < 40; ++pad) {
            const std::string line = R"({"x":")" + std::string(pad, ' ') + R"(",)" + type
                + R"(,"sessionId":"s","timestamp":"2025-01-15T10:30:00Z","message":{"id":"m","usage":{"output_tokens":3}}})";
            SCOPED_TRACE(line);
            const auto outcome = TranscriptParser::parseText(PaddedText(folder + line + "\n"), latest);
            ASSERT_EQ(outcome.inserts.size(), 1u);
            EXPECT_EQ(outcome.inserts[0], *classify(line).insert);
        }
    }
    const auto others = TranscriptParser::parseText(
        PaddedText(folder + R"({"type":"user","message":"assistants help"})" "\n" R"({"type":"user","cut)" "\n"
                   + std::string(100, 'x') + "\n"),
        latest);
    EXPECT_TRUE(others.inserts.empty());
    EXPECT_EQ(others.malformed + others.nonAssistant, 4) << "every line counted, parsed or not";
}

} // namespace
} // namespace tallyglass
