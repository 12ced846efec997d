#include "capture/CaptureService.h"

#include "capture/TranscriptParser.h"
#include "storage/WriteDatabase.h"
#include "support/FakeMessageWriter.h"
#include "support/SqlProbe.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sys/stat.h>

namespace tallyglass {
namespace {

using test::FakeMessageWriter;

std::string assistantLine(const std::string& id, const std::string& session, std::int64_t output = 10)
{
    return R"({"type":"assistant","sessionId":")" + session + R"(","timestamp":"2025-01-15T10:30:00Z","message":{"id":")" + id
        + R"(","role":"assistant","model":"claude-opus-4-6","usage":{"input_tokens":1,"output_tokens":)" + std::to_string(output)
        + "}}}\n";
}

const std::string userLine = R"({"type":"user","sessionId":"s","message":{"role":"user","content":"hi"}})" "\n";

void append(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

std::string event(const std::string& name, const std::filesystem::path& transcript, const std::string& session = "S",
                  const std::string& agent = "")
{
    std::string body = R"({"hook_event_name":")" + name + R"(","session_id":")" + session + R"(","transcript_path":")"
        + transcript.string() + "\"";
    if (!agent.empty())
        body += R"(,"agent_transcript_path":")" + agent + "\"";
    return body + "}";
}

class CaptureServiceTest : public ::testing::Test {
protected:
    std::filesystem::path dir = test::freshDirectory();
    std::filesystem::path transcript = dir / "session.jsonl";
    std::shared_ptr<FakeMessageWriter> writer = std::make_shared<FakeMessageWriter>();
    CaptureService service{writer, 0, 1};

    std::vector<MessageInsert> allInserted()
    {
        std::vector<MessageInsert> all;
        for (const auto& call : writer->insertCalls)
            all.insert(all.end(), call.begin(), call.end());
        return all;
    }
};

TEST_F(CaptureServiceTest, sessionStartAndEndMarkTheSessionAndReadNoFile)
{
    append(transcript, assistantLine("m1", "S"));
    service.handle(event("SessionStart", transcript, "S"));
    service.handle(event("SessionEnd", transcript, "S"));
    EXPECT_EQ(writer->sessionCalls, (std::vector<std::pair<std::string, bool>>{{"S", true}, {"S", false}}));
    EXPECT_TRUE(writer->insertCalls.empty());
}

TEST_F(CaptureServiceTest, aStartOrEndWithoutSessionIdIsLoggedAndSkipped)
{
    testing::internal::CaptureStderr();
    service.handle(R"({"hook_event_name":"SessionEnd"})");
    service.handle(R"({"hook_event_name":"SessionStart","session_id":""})");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[tallyglass] SessionEnd missing session_id \xE2\x80\x94 skipping\n"
              "[tallyglass] SessionStart missing session_id \xE2\x80\x94 skipping\n");
    EXPECT_TRUE(writer->sessionCalls.empty());
}

TEST_F(CaptureServiceTest, anyOtherEventStoresTheTranscriptsAssistantMessagesInOneWrite)
{
    append(transcript, assistantLine("m1", "A") + userLine + assistantLine("m2", "B"));
    service.handle(event("Stop", transcript));
    ASSERT_EQ(writer->insertCalls.size(), 1u);
    const auto& stored = writer->insertCalls[0];
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].sessionId, "A");
    EXPECT_EQ(stored[1].sessionId, "B");
    EXPECT_FALSE(stored[0].isSubagent || stored[1].isSubagent);
    // Any name, a missing name or one of another type: the transcript is read.
    append(transcript, assistantLine("m3", "A"));
    service.handle(R"({"transcript_path":")" + transcript.string() + R"(","hook_event_name":5})");
    EXPECT_EQ(writer->insertCalls.size(), 2u);
}

TEST_F(CaptureServiceTest, aSubagentStopStoresBothTranscriptsTheAgentsUnderTheParentSession)
{
    const auto agent = dir / "agent-1.jsonl";
    append(transcript, assistantLine("main", "S"));
    append(agent, assistantLine("sub1", "agent-own-session") + assistantLine("sub2", "agent-own-session"));
    service.handle(event("SubagentStop", transcript, "S", agent.string()));
    ASSERT_EQ(writer->insertCalls.size(), 1u);
    const auto& stored = writer->insertCalls[0];
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0].messageId, "main");
    EXPECT_FALSE(stored[0].isSubagent);
    for (int i = 1; i < 3; ++i) {
        EXPECT_EQ(stored[static_cast<std::size_t>(i)].sessionId, "S");
        EXPECT_TRUE(stored[static_cast<std::size_t>(i)].isSubagent);
    }
    // Without an agent transcript it is like any other event.
    append(transcript, assistantLine("later", "S"));
    service.handle(event("SubagentStop", transcript, "S"));
    EXPECT_EQ(writer->insertCalls.back().size(), 1u);
}

TEST_F(CaptureServiceTest, pathsThatAreNotRegularFilesAreNeverRead)
{
    const auto fifo = dir / "fifo.jsonl";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    testing::internal::CaptureStderr();
    service.handle(event("Stop", fifo));                 // would block forever if opened for a plain read
    service.handle(event("Stop", dir));                  // a directory
    service.handle(event("Stop", dir / "missing.jsonl"));
    service.handle(event("Stop", "/dev/zero"));          // a device that never ends
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(writer->insertCalls.empty());
}

TEST_F(CaptureServiceTest, aFailedWriteIsRetriedWithTheNextEventOfTheSession)
{
    append(transcript, assistantLine("m1", "S"));
    writer->failuresToCome = 1;
    testing::internal::CaptureStderr();
    service.handle(event("Stop", transcript));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[tallyglass] CaptureService write failed: stepFailed(\"database is locked\")\n");
    EXPECT_TRUE(writer->insertCalls.empty());

    service.handle(event("PostToolUse", transcript));
    ASSERT_EQ(writer->insertCalls.size(), 1u);
    EXPECT_EQ(writer->insertCalls[0][0].messageId, "m1");
    // And once stored, the same lines are not parsed again.
    service.handle(event("Stop", transcript));
    EXPECT_EQ(writer->insertCalls.size(), 1u);
}

TEST_F(CaptureServiceTest, aLineStillBeingWrittenWaitsAndAReplacedFileIsReadWhole)
{
    const std::string line = assistantLine("m1", "S");
    append(transcript, line.substr(0, 40));
    service.handle(event("Stop", transcript));
    EXPECT_TRUE(allInserted().empty());
    append(transcript, line.substr(40));
    service.handle(event("Stop", transcript));
    ASSERT_EQ(allInserted().size(), 1u);

    // Replaced by another file (a new inode) with the same first line: read from the start.
    const auto replacement = dir / "replacement.jsonl";
    append(replacement, line + assistantLine("m2", "S"));
    std::filesystem::rename(replacement, transcript);
    service.handle(event("Stop", transcript));
    ASSERT_EQ(writer->insertCalls.back().size(), 2u);

    // Shrunk in place: read from the start as well.
    std::filesystem::resize_file(transcript, 0);
    append(transcript, assistantLine("m3", "S"));
    service.handle(event("Stop", transcript));
    EXPECT_EQ(writer->insertCalls.back().back().messageId, "m3");
}

TEST_F(CaptureServiceTest, theStabilityWaitEndsEarlyForAQuietFileAndAtTheDeadlineForAGrowingOne)
{
    CaptureService patient(writer, 400, 50);
    append(transcript, assistantLine("m1", "S"));
    auto started = std::chrono::steady_clock::now();
    patient.handle(event("Stop", transcript));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));

    std::atomic<bool> growing{true};
    std::thread writerThread([&] {
        for (int i = 0; growing; ++i) {
            append(transcript, assistantLine("g" + std::to_string(i), "S"));
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    });
    started = std::chrono::steady_clock::now();
    patient.handle(event("Stop", transcript));
    const auto waited = std::chrono::steady_clock::now() - started;
    growing = false;
    writerThread.join();
    EXPECT_GE(waited, std::chrono::milliseconds(380));
}

// Reading only what was appended must store exactly what reading the whole
// file on every event stores, whatever the appends, cuts and replacements.
TEST(CaptureServiceEquivalence, incrementalReadsStoreWhatWholeReadsStore)
{
    const auto dir = test::freshDirectory();
    std::mt19937 random(1234);
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto roundDir = dir / std::to_string(round);
        std::filesystem::create_directories(roundDir);
        const auto transcript = roundDir / "t.jsonl";
        auto incrementalDb = std::make_shared<WriteDatabase>(roundDir / "incremental.db");
        WriteDatabase wholeDb(roundDir / "whole.db");
        CaptureService service(incrementalDb, 0, 1);

        std::string pendingTail; // part of a line not yet written
        for (int step = 0; step < 60; ++step) {
            const int choice = static_cast<int>(random() % 10);
            if (choice < 6) {
                // Append lines, sometimes a repeat of an id with more output, sometimes cut mid-line.
                std::string text = pendingTail;
                pendingTail.clear();
                const int lines = 1 + static_cast<int>(random() % 4);
                for (int i = 0; i < lines; ++i) {
                    const auto id = "m" + std::to_string(random() % 40);
                    text += random() % 5 == 0 ? userLine : assistantLine(id, "S", static_cast<std::int64_t>(random() % 1000));
                }
                if (random() % 3 == 0) {
                    const std::size_t cut = random() % text.size();
                    pendingTail = text.substr(cut);
                    text.resize(cut);
                }
                append(transcript, text);
            } else if (choice == 6) {
                // Replaced by a new file holding some of the old lines and new ones.
                const auto fresh = roundDir / "fresh.jsonl";
                std::ofstream(fresh, std::ios::binary) << assistantLine("r" + std::to_string(step), "S", 5);
                std::filesystem::rename(fresh, transcript);
                pendingTail.clear();
            } else {
                // An event: the service reads what is new, the reference reads it all.
                service.handle(event("Stop", transcript));
                std::ifstream in(transcript, std::ios::binary);
                const std::string whole{std::istreambuf_iterator<char>(in), {}};
                const auto inserts = TranscriptParser::parseText(PaddedText(whole)).inserts;
                if (!inserts.empty())
                    wholeDb.insertMessages(inserts);
            }
        }
        const auto dump = [](const std::filesystem::path& path) {
            return test::SqlProbe(path).rows("SELECT * FROM messages ORDER BY messageId");
        };
        EXPECT_EQ(dump(roundDir / "incremental.db"), dump(roundDir / "whole.db"));
    }
}

} // namespace
} // namespace tallyglass
