#include "server/TelemetryIntake.h"

#include "core/IsoTime.h"
#include "server/ChunkedBody.h"
#include "server/SentMessages.h"
#include "server/TelemetryLogs.h"
#include "support/TelemetryExport.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using test::apiRequest;
using test::logsExport;

const Instant now = *IsoTime::parse("2025-01-15T12:00:00Z");

TelemetryIntake::Result receive(const std::string& body, bool gzip = false)
{
    TelemetryIntake intake([] { return now; });
    return intake.receiveLogs(gzip ? test::gzipped(body) : body, gzip);
}

// What one api_request record becomes, whatever form its values take.
TEST(TelemetryIntakeTest, anApiRequestBecomesOneMessageOfItsSessionSequenceAndMachine)
{
    auto plain = apiRequest("s1", 7, 1200, 30);
    plain.attributes.push_back({"cache_creation_tokens", R"({"intValue":400})"});
    plain.attributes.push_back({"cache_creation_1h_tokens", R"({"stringValue":"100"})"});
    plain.attributes.push_back({"cache_read_tokens", R"({"doubleValue":5.0})"});
    const auto result = receive(logsExport({plain}));
    EXPECT_EQ(result.response, (RequestGate::Response{"200 OK", "{}"}));
    ASSERT_EQ(result.messages.size(), 1u);
    const MessageInsert& m = result.messages[0];
    EXPECT_EQ(m.messageId, TelemetryLogs::messageId("s1", "7"));
    EXPECT_EQ(m.sessionId, "s1");
    EXPECT_EQ(m.timestamp, "2025-01-15T10:00:00.000Z");
    EXPECT_EQ(m.model, "claude-sonnet-4-5");
    EXPECT_EQ(m.inputTokens, 1200);
    EXPECT_EQ(m.outputTokens, 30);
    EXPECT_EQ(m.cacheCreationInputTokens, 400); // the later attribute of a repeated key wins
    EXPECT_EQ(m.cacheCreation1hInputTokens, 100);
    EXPECT_EQ(m.cacheReadInputTokens, 5);
    EXPECT_EQ(m.machine, "box");
    EXPECT_TRUE(m.fromTelemetry);
}

TEST(TelemetryIntakeTest, timeAndMachineFallBackToTheRecordAndThenToUnknown)
{
    auto byNanos = apiRequest("s1", 1);
    byNanos.attributes.push_back({"event.timestamp", R"({"stringValue":"yesterday"})"});
    byNanos.timeUnixNano = "1736935200123456789";
    byNanos.attributes.push_back({"host.name", R"({"stringValue":"laptop"})"});
    const auto fromRecord = receive(logsExport({byNanos}, ""));
    ASSERT_EQ(fromRecord.messages.size(), 1u);
    EXPECT_EQ(fromRecord.messages[0].timestamp, "2025-01-15T10:00:00.123Z");
    EXPECT_EQ(fromRecord.messages[0].machine, "laptop");
    const auto nowhere = receive(logsExport({apiRequest("s1", 1)}, ""));
    ASSERT_EQ(nowhere.messages.size(), 1u);
    EXPECT_EQ(nowhere.messages[0].machine, "unknown");
}

// Records that cannot be messages are refused one by one; the rest are kept,
// and other events are neither refused nor kept.
TEST(TelemetryIntakeTest, refusedRecordsAreCountedInAPartialSuccess)
{
    auto noSequence = apiRequest("s1", 2);
    std::erase_if(noSequence.attributes, [](const auto& a) { return a.first == "event.sequence"; });
    auto negative = apiRequest("s1", 3);
    negative.attributes.push_back({"output_tokens", R"({"intValue":"-4"})"});
    auto future = apiRequest("s1", 4);
    future.attributes.push_back({"event.timestamp", R"({"stringValue":"2025-01-17T00:00:00Z"})"});
    test::LogRecord other{{{"event.name", R"({"stringValue":"user_prompt"})"}}, "", "claude_code.user_prompt"};
    const auto result = receive(logsExport({apiRequest("s1", 1), noSequence, negative, future, other}));
    EXPECT_EQ(result.response.status, "200 OK");
    EXPECT_EQ(result.response.body,
              R"({"partialSuccess":{"errorMessage":"an api_request record has no event.sequence","rejectedLogRecords":3}})");
    ASSERT_EQ(result.messages.size(), 1u);
    EXPECT_EQ(result.messages[0].messageId, TelemetryLogs::messageId("s1", "1"));
}

// What one instance sends another, read back: kept under the sender's machine
// and its own id, priced here (its cost_usd is not taken), and left out by
// the machine it came from, which counts it accepted.
TEST(TelemetryIntakeTest, anInstancesMessageIsKeptUnderItsMachineExceptByThatMachine)
{
    const SentMessages::Outgoing sent{.messageId = "msg_01", .sessionId = "s9", .timestamp = "2025-01-15T09:30:00.250Z",
                                      .model = "claude-opus-4-6", .inputTokens = 10, .outputTokens = 20, .cacheReadTokens = 30,
                                      .cacheCreationTokens = 40, .cacheCreation1hTokens = 5, .costUsd = 99.5, .subagent = true,
                                      .project = "/home/me/caf\xC3\xA9 \"q\"\x01\xFF"};
    SentMessages::Outgoing unnamed = sent;
    unnamed.messageId.clear();
    const SentMessages::Outgoing batch[] = {sent, unnamed};
    const std::string body = SentMessages::exportJson(batch, "laptop");

    const auto elsewhere = TelemetryIntake([] { return now; }, "desk").receiveLogs(body, false);
    EXPECT_EQ(elsewhere.response.body,
              R"({"partialSuccess":{"errorMessage":"a tallyglass.message record has no message.id","rejectedLogRecords":1}})");
    ASSERT_EQ(elsewhere.messages.size(), 1u);
    // A byte that is no UTF-8 arrives replaced.
    const MessageInsert expected{.messageId = TelemetryLogs::sentMessageId("laptop", "msg_01"), .sessionId = "s9",
                                 .timestamp = "2025-01-15T09:30:00.250Z", .role = "assistant", .model = "claude-opus-4-6",
                                 .inputTokens = 10, .outputTokens = 20, .cacheCreationInputTokens = 40,
                                 .cacheReadInputTokens = 30, .isSubagent = true, .cacheCreation1hInputTokens = 5,
                                 .machine = "laptop", .fromTelemetry = true,
                                 .project = "/home/me/caf\xC3\xA9 \"q\"\x01\xEF\xBF\xBD"};
    EXPECT_EQ(elsewhere.messages[0], expected);
    EXPECT_NE(TelemetryLogs::sentMessageId("a/b", "c"), TelemetryLogs::sentMessageId("a", "b/c"));

    const auto home = TelemetryIntake([] { return now; }, "laptop").receiveLogs(body, false);
    EXPECT_TRUE(home.messages.empty());
    EXPECT_EQ(home.response.status, "200 OK");
}

TEST(TelemetryIntakeTest, aBodyThatIsNoExportIsRefusedWhole)
{
    const std::string good = logsExport({apiRequest("s1", 1)});
    const std::pair<std::string, std::string> cases[] = {
        {good.substr(0, good.size() - 3), "400 Bad Request"},
        {"[]", "400 Bad Request"},
        {R"({"resourceLogs":{}})", "400 Bad Request"},
        {R"({"resourceLogs":[{"scopeLogs":[{"logRecords":[{"attributes":"x"}]}]}]})", "400 Bad Request"},
        {"{}", "200 OK"},
    };
    for (const auto& [body, status] : cases) {
        const auto result = receive(body);
        EXPECT_EQ(result.response.status, status) << body;
        EXPECT_TRUE(result.messages.empty()) << body;
        if (status != "200 OK") {
            EXPECT_NE(result.response.body.find("not an OTLP logs export"), std::string::npos);
        }
    }
}

TEST(TelemetryIntakeTest, gzipBodiesAreInflatedWithinTheBodyLimit)
{
    const auto packed = receive(logsExport({apiRequest("s1", 1), apiRequest("s1", 2)}), true);
    EXPECT_EQ(packed.response.status, "200 OK");
    EXPECT_EQ(packed.messages.size(), 2u);
    // A few hundred kilobytes that inflate past 64 MiB: refused as too large, not held in memory.
    const auto bomb = receive(std::string(RequestGate::maxBodyBytes + 1, ' '), true);
    EXPECT_EQ(bomb.response.status, "413 Payload Too Large");
    TelemetryIntake intake([] { return now; });
    EXPECT_EQ(intake.receiveLogs("not gzip", true).response.status, "400 Bad Request");
    const std::string cut = test::gzipped(logsExport({apiRequest("s1", 1)}));
    EXPECT_EQ(intake.receiveLogs(cut.substr(0, cut.size() - 4), true).response.status, "400 Bad Request");
}

TEST(TelemetryIntakeTest, chunkedBodiesEndAtTheLastChunkAndNowhereElse)
{
    using State = ChunkedBody::State;
    const std::tuple<std::string, State, std::string> cases[] = {
        {"5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\n\r\n", State::complete, "hello world"},
        {"0\r\n\r\n", State::complete, ""},
        {"5\r\nhello\r\n0\r\n", State::incomplete, ""},
        {"5\r\nhel", State::incomplete, ""},
        {"5\r\nhelloX\r\n0\r\n\r\n", State::malformed, ""},
        {"zz\r\nhello\r\n", State::malformed, ""},
        {"0\r\nTrailer: x\r\n\r\n", State::malformed, ""},
        {"fffffffffffffffffff\r\n", State::malformed, ""},
    };
    for (const auto& [body, state, payload] : cases) {
        EXPECT_EQ(ChunkedBody::scan(body), state) << body;
        if (state == State::complete)
            EXPECT_EQ(ChunkedBody::decode(body), payload);
        else
            EXPECT_FALSE(ChunkedBody::decode(body));
    }
}

} // namespace
} // namespace tallyglass
