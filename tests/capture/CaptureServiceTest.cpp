#include "capture/CaptureService.h"

#include "capture/TranscriptMarks.h"
#include "capture/TranscriptParser.h"
#include "core/IsoTime.h"
#include "events/HookPayload.h"
#include "storage/WriteDatabase.h"
#include "support/FakeMessageWriter.h"
#include "support/ManualClock.h"
#include "support/QtTestApp.h"
#include "support/SqlProbe.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sys/stat.h>

namespace tallyglass {
namespace {

using namespace std::chrono_literals;
using test::FakeMessageWriter;

std::string assistantLine(const std::string& id, const std::string& session, std::int64_t output = 10,
                          const std::string& content = "", const std::string& timestamp = "2025-01-15T10:30:00Z")
{
    return R"({"type":"assistant","sessionId":")" + session + R"(","timestamp":")" + timestamp + R"(","message":{"id":")" + id
        + R"(","role":"assistant","model":"claude-opus-4-6","content":")" + content
        + R"(","usage":{"input_tokens":1,"output_tokens":)" + std::to_string(output) + "}}}\n";
}

const std::string userLine = R"({"type":"user","sessionId":"s","message":{"role":"user","content":"hi"}})" "\n";

void append(const std::filesystem::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary | std::ios::app) << text;
}

std::string event(const std::string& name, const std::filesystem::path& transcript, const std::string& session = "S",
                  const std::string& agent = "", const std::string& cwd = "")
{
    std::string body = R"({"hook_event_name":")" + name + R"(","session_id":")" + session + R"(","transcript_path":")"
        + transcript.string() + "\"";
    if (!agent.empty())
        body += R"(,"agent_transcript_path":")" + agent + "\"";
    if (!cwd.empty())
        body += R"(,"cwd":")" + cwd + "\"";
    return body + "}";
}

// Reads at once and never again: each event leads to exactly one read, and a
// read that could not store waits (for storingWorks(), not for the clock).
CaptureService::Options immediate()
{
    CaptureService::Options options;
    options.timing = {0ms, 1ms, {}, 1h, 1h, 1h};
    return options;
}

class CaptureServiceTest : public ::testing::Test {
protected:
    std::filesystem::path dir = test::freshDirectory();
    std::filesystem::path transcript = dir / "session.jsonl";
    std::shared_ptr<FakeMessageWriter> writer = std::make_shared<FakeMessageWriter>();
    CaptureService service{writer, immediate()};

    void handle(const std::string& body)
    {
        service.handle(body);
        ASSERT_TRUE(service.waitUntilIdle(10s));
    }

    std::vector<MessageInsert> allInserted()
    {
        std::vector<MessageInsert> all;
        for (const auto& call : writer->insertCalls)
            all.insert(all.end(), call.begin(), call.end());
        return all;
    }
};

TEST_F(CaptureServiceTest, eventsWithoutASessionIdOrWithOversizedFieldsAreLoggedAndSkipped)
{
    append(transcript, assistantLine("m1", "S"));
    const std::string longText(HookPayload::maxTextBytes + 1, 'x');
    testing::internal::CaptureStderr();
    handle(R"({"hook_event_name":"SessionEnd"})");
    handle(R"({"hook_event_name":"SessionStart","session_id":""})");
    handle(event("Stop", transcript, longText));
    handle(event("Stop", dir / longText));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[tallyglass] SessionEnd missing session_id \xE2\x80\x94 skipping\n"
              "[tallyglass] SessionStart missing session_id \xE2\x80\x94 skipping\n"
              "[tallyglass] an event with a session id or path over 4096 bytes \xE2\x80\x94 skipping\n"
              "[tallyglass] an event with a session id or path over 4096 bytes \xE2\x80\x94 skipping\n");
    EXPECT_TRUE(writer->order.empty());
}

// SessionStart only marks the session; any other event (whatever its name, a
// missing one or one of another type) reads the transcript; SessionEnd reads
// it once more before marking the session ended.
TEST_F(CaptureServiceTest, eventsStoreTheTranscriptsAssistantMessagesAndMarkTheSessionsStartAndEnd)
{
    append(transcript, assistantLine("m1", "A") + userLine + assistantLine("m2", "B"));
    handle(event("SessionStart", transcript));
    EXPECT_EQ(writer->order, std::vector<std::string>{"start S"});
    handle(event("Stop", transcript));
    append(transcript, assistantLine("m3", "A"));
    handle(R"({"transcript_path":")" + transcript.string() + R"(","hook_event_name":5})");
    append(transcript, assistantLine("m4", "S"));
    handle(event("SessionEnd", transcript));
    ASSERT_EQ(writer->order, (std::vector<std::string>{"start S", "insert m1,m2", "insert m3", "insert m4", "end S"}));
    const auto& stored = writer->insertCalls[0];
    EXPECT_EQ(stored[0].sessionId, "A");
    EXPECT_EQ(stored[1].sessionId, "B");
    EXPECT_FALSE(stored[0].isSubagent || stored[1].isSubagent);
}

// Live capture holds messages' times to the clock it is given (here a day in
// 2031): one more than a day ahead, or before 2000, is never stored.
TEST_F(CaptureServiceTest, aMessageWithAnImpossibleTimeIsNeverStored)
{
    CaptureService::Options options = immediate();
    options.now = [] { return *IsoTime::parse("2031-05-01T12:00:00Z"); };
    CaptureService dated(writer, options);
    append(transcript, assistantLine("early", "S", 1, "", "1999-12-31T23:59:59Z")
                           + assistantLine("first", "S", 1, "", "2000-01-01T00:00:00Z")
                           + assistantLine("ahead", "S", 1, "", "2031-05-02T12:00:01Z")
                           + assistantLine("last", "S", 1, "", "2031-05-03T02:00:00+14:00"));
    dated.handle(event("Stop", transcript));
    ASSERT_TRUE(dated.waitUntilIdle(10s));
    EXPECT_EQ(writer->order, std::vector<std::string>{"insert first,last"});
}

// The folder a session's events name first is its project, stored with the
// session's messages (a project alone makes no session), once.
TEST_F(CaptureServiceTest, theEventsFolderBecomesTheSessionsProjectOnceItsMessagesAreStored)
{
    handle(event("Stop", transcript, "A", "", "/home/ada/shop")); // nothing to read yet
    EXPECT_TRUE(writer->projects.empty());
    append(transcript, assistantLine("m1", "A"));
    handle(event("Stop", transcript, "A"));
    EXPECT_EQ(writer->projects, (std::map<std::string, std::string>{{"A", "/home/ada/shop"}}));
    writer->projects.clear();
    append(transcript, assistantLine("m2", "A"));
    handle(event("Stop", transcript, "A", "", "/home/ada/shop"));
    EXPECT_TRUE(writer->projects.empty());
    // A cd in the session: it stays where it started, as its transcripts' folder says.
    append(transcript, assistantLine("m3", "A"));
    handle(event("Stop", transcript, "A", "", "/home/ada/shop/web"));
    EXPECT_TRUE(writer->projects.empty());
}

TEST_F(CaptureServiceTest, aSubagentStopStoresBothTranscriptsTheAgentsUnderTheParentSession)
{
    const auto agent = dir / "agent-1.jsonl";
    append(transcript, assistantLine("main", "S"));
    append(agent, assistantLine("sub1", "agent-own-session") + assistantLine("sub2", "agent-own-session"));
    handle(event("SubagentStop", transcript, "S", agent.string()));
    const auto stored = allInserted();
    ASSERT_EQ(stored.size(), 3u);
    for (const MessageInsert& m : stored) {
        EXPECT_EQ(m.sessionId, "S");
        EXPECT_EQ(m.isSubagent, m.messageId != "main");
    }
    // Without an agent transcript it is like any other event.
    append(transcript, assistantLine("later", "S"));
    handle(event("SubagentStop", transcript, "S"));
    EXPECT_EQ(writer->insertCalls.back().size(), 1u);
}

TEST_F(CaptureServiceTest, pathsThatAreNotRegularFilesAreNeverRead)
{
    const auto fifo = dir / "fifo.jsonl";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    testing::internal::CaptureStderr();
    handle(event("Stop", fifo)); // would block forever if opened for a plain read
    handle(event("Stop", dir));  // a directory
    handle(event("Stop", dir / "missing.jsonl"));
    handle(event("Stop", "/dev/zero")); // a device that never ends
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(writer->insertCalls.empty());
}

// A write that fails leaves the transcript waiting, and says why, once; when
// storing works again it is stored, the problem is cleared, and the lines
// stored are not parsed again.
TEST_F(CaptureServiceTest, aFailedWriteWaitsUntilStoringWorksAgain)
{
    std::vector<std::optional<std::string>> told;
    std::mutex toldMutex;
    service.setStoreObserver([&](const std::optional<std::string>& problem) {
        std::lock_guard lock(toldMutex);
        told.push_back(problem);
    });
    append(transcript, assistantLine("m1", "S"));
    writer->failuresToCome = 2;
    testing::internal::CaptureStderr();
    service.handle(event("Stop", transcript));
    ASSERT_TRUE(test::waitUntil([&] { return service.waitingToStore() == 1; }));
    service.handle(event("PostToolUse", transcript)); // another event fails the same way
    // The failure counted is not yet the read taken in: until that read has
    // ended, its transcript is not waiting, and storingWorks() would pass it by.
    ASSERT_TRUE(test::waitUntil([&] { return writer->failuresToCome == 0; }));
    ASSERT_TRUE(service.timeMoved(10s)); // nothing is due or being read now
    ASSERT_EQ(service.waitingToStore(), 1u);
    const std::string problem = "stepFailed(\"database is locked\")";
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[tallyglass] storing messages fails, they wait and are tried again: " + problem + "\n");
    EXPECT_EQ(service.storeProblem(), problem);
    EXPECT_TRUE(writer->insertCalls.empty());

    service.storingWorks();
    ASSERT_TRUE(service.waitUntilIdle(10s));
    ASSERT_EQ(writer->insertCalls.size(), 1u);
    EXPECT_EQ(writer->insertCalls[0][0].messageId, "m1");
    EXPECT_EQ(service.storeProblem(), std::nullopt);
    EXPECT_EQ(told, (std::vector<std::optional<std::string>>{problem, std::nullopt}));
    handle(event("Stop", transcript));
    EXPECT_EQ(writer->insertCalls.size(), 1u);
}

TEST_F(CaptureServiceTest, aLineStillBeingWrittenWaitsAndAReplacedFileIsReadWhole)
{
    const std::string line = assistantLine("m1", "S");
    append(transcript, line.substr(0, 40));
    handle(event("Stop", transcript));
    EXPECT_TRUE(allInserted().empty());
    append(transcript, line.substr(40));
    handle(event("Stop", transcript));
    ASSERT_EQ(allInserted().size(), 1u);

    // Replaced by another file (a new inode) with the same first line: read from the start.
    const auto replacement = dir / "replacement.jsonl";
    append(replacement, line + assistantLine("m2", "S"));
    std::filesystem::rename(replacement, transcript);
    handle(event("Stop", transcript));
    ASSERT_EQ(writer->insertCalls.back().size(), 2u);

    // Shrunk in place: read from the start as well.
    std::filesystem::resize_file(transcript, 0);
    append(transcript, assistantLine("m3", "S"));
    handle(event("Stop", transcript));
    EXPECT_EQ(writer->insertCalls.back().back().messageId, "m3");
}

TEST_F(CaptureServiceTest, linesLongerThanAReadPieceAreReadInPiecesAndStored)
{
    CaptureService::Options options = immediate();
    options.pieceBytes = 2u << 20;
    CaptureService small(writer, options);
    const std::string big(5u << 20, 'x');
    append(transcript, assistantLine("long", "S", 400, big) + userLine + R"({"type":"user","content":")" + big + "\"}\n"
                           + assistantLine("after", "S"));
    small.handle(event("Stop", transcript));
    ASSERT_TRUE(small.waitUntilIdle(10s));
    const auto stored = allInserted();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].messageId, "long");
    EXPECT_EQ(stored[0].outputTokens, 400);
    EXPECT_EQ(stored[1].messageId, "after");
}

TEST_F(CaptureServiceTest, theStabilityWaitEndsEarlyForAQuietFileAndAtTheDeadlineForAGrowingOne)
{
    test::ManualClock clock;
    CaptureService::Options options;
    options.timing = {400ms, 50ms, {}};
    options.timing.now = clock.function();
    CaptureService patient(writer, options);
    // Moves the clock on 10 ms at a time, calling `step` before each, until a
    // write comes; how long that took.
    const auto untilStored = [&](const std::function<void()>& step) {
        const auto started = clock.now();
        const std::size_t before = writer->insertCalls.size();
        while (writer->insertCalls.size() == before && clock.now() - started < 10s) {
            step();
            clock.advance(10ms);
            EXPECT_TRUE(patient.timeMoved(10s));
        }
        return clock.now() - started;
    };

    append(transcript, assistantLine("m1", "S"));
    patient.handle(event("Stop", transcript));
    EXPECT_LT(untilStored([] {}), 300ms);

    int line = 0;
    patient.handle(event("Stop", transcript));
    EXPECT_GE(untilStored([&] { append(transcript, assistantLine("g" + std::to_string(line++), "S")); }), 380ms);
    ASSERT_TRUE(patient.waitUntilIdle(10s));
}

// Claude Code runs its hooks while it writes the transcript: the file may not
// exist yet, or get the turn's reply after the hook, and SessionEnd follows
// Stop at once. With the production schedule every reply is stored once.
TEST(CaptureServiceTiming, repliesWrittenAfterTheirHookAreStoredOnceWithExactCounts)
{
    const auto dir = test::freshDirectory();
    auto db = std::make_shared<WriteDatabase>(dir / "app.db");
    test::ManualClock clock;
    CaptureService::Options options; // the production schedule, on the test's clock
    options.timing.now = clock.function();
    CaptureService service(db, options);
    const auto transcriptOf = [&](const std::string& name) { return dir / (name + ".jsonl"); };
    // Moves the clock on to `at` from the start, 10 ms at a time, letting what falls due happen on the way.
    const auto moveTo = [&, started = clock.now()](std::chrono::milliseconds at) {
        while (clock.now() - started < at) {
            clock.advance(10ms);
            ASSERT_TRUE(service.timeMoved(10s));
        }
    };

    // The event comes before the file, which appears 300 ms later.
    service.handle(event("Stop", transcriptOf("late-file"), "late-file"));
    // The file exists, and gains the reply a second after Stop.
    append(transcriptOf("late-reply"), userLine);
    service.handle(event("Stop", transcriptOf("late-reply"), "late-reply"));
    // Stop, then SessionEnd within 30 ms, the reply written in between.
    append(transcriptOf("quick-end"), userLine);
    service.handle(event("Stop", transcriptOf("quick-end"), "quick-end"));
    moveTo(20ms);
    append(transcriptOf("quick-end"), assistantLine("r-quick-end", "quick-end", 777));
    service.handle(event("SessionEnd", transcriptOf("quick-end"), "quick-end"));

    moveTo(300ms);
    append(transcriptOf("late-file"), userLine + assistantLine("r-late-file", "late-file", 123));
    moveTo(1000ms);
    append(transcriptOf("late-reply"), assistantLine("r-late-reply", "late-reply", 456));
    moveTo(10s); // past the last follow-up read
    ASSERT_TRUE(service.waitUntilIdle(10s));

    test::SqlProbe probe(dir / "app.db");
    const std::string query = "SELECT group_concat(messageId || ':' || outputTokens, ' ') FROM "
                              "(SELECT * FROM messages ORDER BY messageId)";
    EXPECT_EQ(probe.value("SELECT COUNT(*) FROM messages"), "3");
    EXPECT_EQ(probe.value(query), "r-late-file:123 r-late-reply:456 r-quick-end:777");
    EXPECT_EQ(probe.value("SELECT isActive || (endedAt IS NOT NULL) FROM sessions WHERE sessionId = 'quick-end'"), "01");
    EXPECT_EQ(probe.value("SELECT COUNT(*) FROM sessions WHERE isActive = 1"), "2");
}

// Reading only what was appended must store exactly what reading the whole
// file on every event stores, whatever the appends, cuts and replacements.
TEST(CaptureServiceEquivalence, incrementalReadsStoreWhatWholeReadsStore)
{
    std::mt19937 random(1234);
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto roundDir = test::freshDirectory();
        const auto transcript = roundDir / "t.jsonl";
        auto incrementalDb = std::make_shared<WriteDatabase>(roundDir / "incremental.db");
        WriteDatabase wholeDb(roundDir / "whole.db");
        CaptureService service(incrementalDb, immediate());

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
            } else if (choice == 7) {
                // Rewritten in place, as long as before: the same file and the same start, other lines
                // after it (each rewrite's own, down to their last bytes, as real lines end in their own ids).
                std::ifstream in(transcript, std::ios::binary);
                const std::string old{std::istreambuf_iterator<char>(in), {}};
                const std::size_t kept = old.find('\n', TranscriptMarks::headBytes);
                if (kept == std::string::npos)
                    continue;
                std::string text = old.substr(0, kept + 1);
                while (text.size() < old.size())
                    text += assistantLine("w" + std::to_string(step) + "-" + std::to_string(text.size()), "S", 7000 + step);
                std::ofstream(transcript, std::ios::binary | std::ios::trunc) << text;
                pendingTail.clear();
            } else {
                // An event: the service reads what is new, the reference reads it all.
                service.handle(event("Stop", transcript));
                ASSERT_TRUE(service.waitUntilIdle(10s));
                std::ifstream in(transcript, std::ios::binary);
                const std::string whole{std::istreambuf_iterator<char>(in), {}};
                // No latest time: the reference keeps every message the service could.
                const auto inserts = TranscriptParser::parseText(PaddedText(whole), Instant::max()).inserts;
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
