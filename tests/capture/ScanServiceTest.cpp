#include "capture/ScanService.h"

#include "capture/HistoryImport.h"
#include "capture/ProjectFolder.h"

#include "capture/TranscriptParser.h"
#include "core/IsoTime.h"
#include "storage/WriteDatabase.h"
#include "support/FakeMessageWriter.h"
#include "support/SqlProbe.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sys/stat.h>

namespace tallyglass {
namespace {

namespace fs = std::filesystem;
using test::FakeMessageWriter;

std::string assistantLines(const std::string& prefix, int count, const std::string& session = "own-session")
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += R"({"type":"assistant","sessionId":")" + session + R"(","timestamp":"2025-01-15T10:30:00Z","message":{"id":")"
            + prefix + std::to_string(i) + R"(","model":"claude-haiku-4-5","usage":{"input_tokens":1,"output_tokens":2}}})" "\n";
    return text;
}

// A user line naming the folder the session works in, as Claude Code writes one before its messages.
std::string userLine(const std::string& session, const std::string& cwd)
{
    return R"({"parentUuid":null,"cwd":")" + cwd + R"(","sessionId":")" + session
        + R"(","type":"user","message":{"role":"user","content":"go"}})" "\n";
}

void write(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

class ScanServiceTest : public ::testing::Test {
protected:
    fs::path root = test::freshDirectory() / "projects";
    std::shared_ptr<FakeMessageWriter> writer = std::make_shared<FakeMessageWriter>();
    std::vector<std::pair<std::int64_t, std::int64_t>> progress;

    std::int64_t scan(std::vector<fs::path> roots = {})
    {
        ScanService service(writer, roots.empty() ? std::vector<fs::path>{root} : roots, 500);
        return service.scanAll([this](std::int64_t done, std::int64_t total) { progress.emplace_back(done, total); });
    }
    std::vector<std::size_t> batchSizes() const
    {
        std::vector<std::size_t> sizes;
        for (const auto& call : writer->backfillCalls)
            sizes.push_back(call.size());
        return sizes;
    }
};

// Files ending in ".jsonl" outside hidden entries and "tool-results" folders,
// each once however the roots overlap or link to each other.
TEST_F(ScanServiceTest, onlyTranscriptsAreReadOnceEachWithProgressAfterEachFile)
{
    write(root / "p" / "a.jsonl", assistantLines("a", 2));
    write(root / "p" / "b.txt", assistantLines("b", 2));
    write(root / "p" / "tool-results" / "c.jsonl", assistantLines("c", 2));
    write(root / ".hidden" / "d.jsonl", assistantLines("d", 2));
    write(root / "p" / ".e.jsonl", assistantLines("e", 2));
    write(root / "p" / "f.JSONL", assistantLines("f", 2));
    const fs::path linked = root.parent_path() / "linked-projects";
    fs::create_directory_symlink(root, linked);
    EXPECT_EQ(scan({root, linked, root / "p"}), 1);
    EXPECT_EQ(progress, (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 1}, {1, 1}}));
    ASSERT_EQ(batchSizes(), std::vector<std::size_t>{2});
    EXPECT_EQ(writer->backfillCalls[0][0].messageId, "a0");
}

// Subagent transcripts belong to the session their folder names; each session
// is given the project its transcripts' folder stands for.
TEST_F(ScanServiceTest, subagentTranscriptsBelongToTheSessionNamedByTheirFolderAndSessionsGetTheirProject)
{
    const fs::path project = root / "-nowhere-my-app";
    write(project / "3f2a8c1e-0b7d-4e5f-9a6b-1c2d3e4f5a6b" / "subagents" / "agent-1.jsonl", assistantLines("s", 2));
    write(project / "3F2A8C1E-0B7D-4E5F-9A6B-1C2D3E4F5A6C" / "subagents" / "agent-2.jsonl", assistantLines("u", 1));
    write(project / "main.jsonl", assistantLines("m", 1));
    scan();
    ASSERT_EQ(writer->backfillCalls.size(), 1u);
    std::map<std::string, std::pair<std::string, bool>> byId;
    for (const auto& m : writer->backfillCalls[0])
        byId[m.messageId] = {m.sessionId, m.isSubagent};
    EXPECT_EQ(byId["s0"], std::make_pair(std::string("3f2a8c1e-0b7d-4e5f-9a6b-1c2d3e4f5a6b"), true));
    EXPECT_EQ(byId["u0"], std::make_pair(std::string("3F2A8C1E-0B7D-4E5F-9A6B-1C2D3E4F5A6C"), true));
    EXPECT_EQ(byId["m0"], std::make_pair(std::string("own-session"), false));
    EXPECT_EQ(writer->projects, (std::map<std::string, std::string>{{"3F2A8C1E-0B7D-4E5F-9A6B-1C2D3E4F5A6C", "/nowhere/my/app"},
                                                                    {"3f2a8c1e-0b7d-4e5f-9a6b-1c2d3e4f5a6b", "/nowhere/my/app"},
                                                                    {"own-session", "/nowhere/my/app"}}));

    EXPECT_EQ(ScanService::subagentSession("/x/not-a-uuid/subagents/a.jsonl"), std::nullopt);
    EXPECT_EQ(ScanService::subagentSession("/x/3f2a8c1e-0b7d-4e5f-9a6b-1c2d3e4f5a6bb/subagents/a.jsonl"), std::nullopt);
    EXPECT_EQ(ScanService::subagentSession("/x/3f2a8c1e-0b7d-4e5f-9a6b-1c2d3e4f5a6b/subagents"), std::nullopt);
}

TEST_F(ScanServiceTest, batchesHoldWholeFilesOfAtLeastFiveHundredRecordsButNeverAWholeHugeOne)
{
    write(root / "a.jsonl", assistantLines("a", 400));
    write(root / "b.jsonl", assistantLines("b", 400));
    write(root / "c.jsonl", assistantLines("c", 400));
    write(root / "d.jsonl", assistantLines("d", 12'000));
    scan();
    EXPECT_EQ(batchSizes(), (std::vector<std::size_t>{800, 5400, 5000, 2000})); // c and the start of d, then d on its own
}

// Whatever cannot be read is logged, counted and named, and the rest is still
// stored. (Tests may run as root, whom permissions do not stop: a pipe with a
// transcript's name and a root that is a file stand in for what cannot be read.)
TEST_F(ScanServiceTest, whatCannotBeReadIsNamedAndTheRestStored)
{
    write(root / "a.jsonl", assistantLines("a", 1));
    ASSERT_EQ(::mkfifo((root / "b.jsonl").c_str(), 0600), 0);
    write(root / "c.jsonl", assistantLines("c", 1));
    write(root.parent_path() / "not-a-folder", "x");
    fs::create_directory_symlink(root, root / "loop"); // linked folders are not followed: no loop, nothing twice
    ScanService service(writer, {root, root.parent_path() / "not-a-folder", root.parent_path() / "missing"}, 500);
    testing::internal::CaptureStderr();
    EXPECT_EQ(service.scanAll({}), 3);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("[tallyglass] scan: " + (root / "b.jsonl").string() + ": not a regular file\n"), std::string::npos) << log;
    EXPECT_EQ(batchSizes(), std::vector<std::size_t>{2});
    const auto problems = service.problems();
    ASSERT_EQ(problems.size(), 2u); // a root that does not exist is no problem
    EXPECT_EQ(problems[0].path, root.parent_path() / "not-a-folder");
    EXPECT_EQ(problems[1], (ScanService::Problem{root / "b.jsonl", "not a regular file"}));
    EXPECT_EQ(service.statistics().unreadableFolders, 1);
    EXPECT_EQ(service.statistics().unreadable, 2); // the import's summary counts files and folders from these
}

TEST_F(ScanServiceTest, aFailedBatchWriteEndsTheScanWithItsError)
{
    for (const char* name : {"a.jsonl", "b.jsonl", "c.jsonl"})
        write(root / name, assistantLines(name, 600));
    writer->failuresToCome = 1;
    EXPECT_THROW(scan(), WriteError);
    // The batch is stored while the next file is read; its failure ends the scan at the next batch.
    EXPECT_EQ(progress, (std::vector<std::pair<std::int64_t, std::int64_t>>{{0, 3}, {1, 3}}));
    EXPECT_TRUE(writer->backfillCalls.empty()) << "nothing stored after the failed batch";
}

TEST_F(ScanServiceTest, aTranscriptLargerThanOneReadPieceWithALineLongerThanOneParsesAsAWhole)
{
    // Read in 4 MiB pieces cut at line ends; the 9 MB line is read in pieces of its own.
    std::string text;
    int lines = 0;
    const auto line = [&](std::size_t pad) {
        return R"({"type":"assistant","sessionId":"s","timestamp":"2025-01-15T10:30:00Z","pad":")" + std::string(pad, 'x')
            + R"(","message":{"id":"m)" + std::to_string(lines++) + R"(","usage":{"output_tokens":1}}})" "\n";
    };
    while (text.size() < 6u << 20)
        text += line(4000);
    text += line(9'000'000);
    text += line(10);
    write(root / "big.jsonl", text);
    scan();
    ASSERT_EQ(batchSizes(), std::vector<std::size_t>{static_cast<std::size_t>(lines)});
    EXPECT_EQ(writer->backfillCalls[0].back().messageId, "m" + std::to_string(lines - 1));
}

// The bytes this process has read from files so far.
std::int64_t bytesReadSoFar()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    std::int64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    ADD_FAILURE() << "no rchar in /proc/self/io";
    return 0;
}

// The project is the folder a session's own transcript names first, exactly,
// even where a folder exists for another reading of the transcripts' folder
// name, and whatever folder its subagent (read first) or its later lines name.
// Only a transcript that names none has its folder's name decoded.
TEST_F(ScanServiceTest, aSessionsProjectIsTheFirstFolderItsOwnTranscriptNames)
{
    const std::string disk = (root.parent_path() / "disk").string(); // where the projects are
    struct Case {
        std::string session;
        std::optional<std::string> cwd; // the folder the transcript names, if it names one
        std::string existing;           // a folder that exists, the project or a decoy
        std::string project;
    };
    const Case cases[] = {
        {"3f2a8c1e-0b7d-4e5f-9a6b-1c2d3e4f5a6b", "/home/ada/my.site", "/home/ada/my/site", "/home/ada/my.site"},
        {"s-game", "/home/ada/game-engine", "/home/ada/game/engine", "/home/ada/game-engine"},
        {"s-srv", "/srv/a-b/c.d-e", "/srv/a/b/c/d-e", "/srv/a-b/c.d-e"},
        {"s-old", std::nullopt, "/home/ada/old-app", "/home/ada/old-app"},
    };
    for (const Case& c : cases) {
        fs::create_directories(disk + c.existing);
        const fs::path folder = root / ProjectFolder::normalised(disk + (c.cwd ? *c.cwd : c.project));
        std::string text = R"({"type":"summary","summary":"x"})" "\n";
        if (c.cwd)
            text += userLine(c.session, disk + *c.cwd);
        text += assistantLines(c.session, 2, c.session);
        if (c.cwd)
            text += userLine(c.session, disk + *c.cwd + "/docs"); // a later cd
        write(folder / (c.session + ".jsonl"), text);
        if (c.cwd)
            write(folder / c.session / "subagents" / "agent-1.jsonl",
                  userLine(c.session, disk + "/elsewhere") + assistantLines("sub-" + c.session, 1, c.session));
    }
    HistoryImport import(writer, {root});
    import.scanAll({});
    ASSERT_FALSE(import.wasCatchUp());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.session);
        EXPECT_EQ(writer->projects[c.session], disk + c.project);
    }
}

// A catch-up reads what each transcript gained since it was read, and nothing
// of one that is as it was, whatever the files' times say: a clock that was
// wrong once hides nothing. A file rewritten is read whole; the lines appended
// to a session's transcript do not change the folder its start named.
TEST_F(ScanServiceTest, aCatchUpReadsOnlyWhatTranscriptsGainedWhateverTheirTimes)
{
    const std::string session = "0f4e3c1a-9b7d-4f2e-8a6c-5d1b2e3f4a5b";
    const fs::path grown = root / "-home-ada-shop" / (session + ".jsonl");
    write(grown, userLine(session, "/home/ada/shop") + assistantLines("g", 2000, session));
    write(root / "-home-ada-shop" / "same.jsonl", assistantLines("s", 3, "same"));
    write(root / "-home-ada-shop" / "rewritten.jsonl", assistantLines("r", 2, "rewritten"));
    HistoryImport first(writer, {root});
    first.scanAll({});
    ASSERT_FALSE(first.wasCatchUp());
    writer->backfillCalls.clear();

    const auto past = fs::last_write_time(grown) - std::chrono::hours(48);
    std::ofstream(grown, std::ios::app) << userLine(session, "/home/ada/elsewhere") << assistantLines("late", 1, session);
    fs::last_write_time(grown, past); // a clock that was wrong when it was written
    write(root / "-home-ada-shop" / "rewritten.jsonl", assistantLines("R", 2, "rewritten"));
    write(root / "new.jsonl", assistantLines("new", 1));
    const std::int64_t readBefore = bytesReadSoFar();
    HistoryImport catchUp(writer, {root});
    catchUp.scanAll({});
    EXPECT_TRUE(catchUp.wasCatchUp());
    EXPECT_LT(bytesReadSoFar() - readBefore, 64 << 10) << "more than what was appended was read";
    std::vector<std::string> ids;
    for (const auto& call : writer->backfillCalls)
        for (const MessageInsert& m : call)
            ids.push_back(m.messageId);
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"R0", "R1", "late0", "new0"}));
    EXPECT_EQ(writer->projects[session], "/home/ada/shop");

    writer->backfillCalls.clear();
    HistoryImport(writer, {root}).scanAll({});
    EXPECT_TRUE(writer->backfillCalls.empty()) << "nothing changed, nothing read";
}

// The import and the catch-up hold messages' times to the clock they are
// given (here a day in 2031): none before 2000 and none more than a day
// ahead is stored, and every such line is counted apart, and as read.
TEST_F(ScanServiceTest, messagesWithImpossibleTimesAreCountedAndNeverStored)
{
    // The bounds at their edges; how each form of a time meets them is the parser's (TranscriptParserTest).
    const std::pair<const char*, bool> times[] = { // a message's time, and whether it is stored
        {"1999-12-31T23:59:59.999Z", false},
        {"2000-01-01T00:00:00Z", true},
        {"2031-05-02T12:00:00Z", true}, // a day after now
        {"2031-05-02T12:00:00.001Z", false},
    };
    std::string text = userLine("s", "/home/ada/shop");
    std::vector<std::string> stored;
    for (std::size_t i = 0; i < std::size(times); ++i) {
        const std::string id = "m" + std::to_string(i);
        text += R"({"type":"assistant","sessionId":"s","timestamp":")" + std::string(times[i].first)
            + R"(","message":{"id":")" + id + R"(","usage":{"output_tokens":1}}})" "\n";
        if (times[i].second)
            stored.push_back(id);
    }
    write(root / "a.jsonl", text);
    HistoryImport import(writer, {root}, nullptr, 500, [] { return *IsoTime::parse("2031-05-01T12:00:00Z"); });
    import.scanAll({});
    ASSERT_EQ(writer->backfillCalls.size(), 1u);
    std::vector<std::string> ids;
    for (const MessageInsert& m : writer->backfillCalls[0])
        ids.push_back(m.messageId);
    EXPECT_EQ(ids, stored);
    const auto statistics = import.statistics();
    EXPECT_EQ(statistics.impossibleTimes, static_cast<std::int64_t>(std::size(times) - stored.size()));
    EXPECT_EQ(statistics.linesRead, static_cast<std::int64_t>(std::size(times) + 1));
    EXPECT_EQ(statistics.messagesWritten, static_cast<std::int64_t>(stored.size()));
}

// An upgraded database, whose sessions carry projects guessed from folder
// names and which has no whole import yet, is given the folders the
// transcripts name by the whole import its first start runs.
TEST_F(ScanServiceTest, guessesStoredByEarlierVersionsAreReplacedByTheFirstWholeImport)
{
    const std::string session = "0f4e3c1a-9b7d-4f2e-8a6c-5d1b2e3f4a5b";
    write(root / "-home-ada-my-site" / (session + ".jsonl"), userLine(session, "/home/ada/my.site") + assistantLines("m", 1, session));
    writer->projects = {{session, "/home/ada/my/site"}};
    HistoryImport(writer, {root}).scanAll({});
    EXPECT_EQ(writer->projects[session], "/home/ada/my.site");
}

// Whether the whole history is in the database is known from the database
// alone: one deleted under the running app is filled whole again by the next
// import (Refresh) and by the next start, however old the transcripts are.
TEST_F(ScanServiceTest, aDatabaseDeletedOrReplacedIsGivenTheWholeHistoryAgain)
{
    const fs::path database = root.parent_path() / "app.db";
    write(root / "-nowhere-shop" / "a.jsonl", assistantLines("a", 3));
    write(root / "-nowhere-shop" / "b.jsonl", assistantLines("b", 2, "other-session"));
    for (const auto& file : fs::recursive_directory_iterator(root))
        fs::last_write_time(file.path(), fs::file_time_type::clock::now() - std::chrono::hours(48));
    const auto removeDatabase = [&] {
        for (const char* suffix : {"", "-wal", "-shm"})
            fs::remove(database.string() + suffix);
    };
    const auto importOnce = [&](const std::shared_ptr<WriteDatabase>& db) {
        HistoryImport import(db, {root});
        import.scanAll({});
        return std::make_pair(import.wasCatchUp(), db->messageCount());
    };

    auto running = std::make_shared<WriteDatabase>(database);
    EXPECT_EQ(importOnce(running), std::make_pair(false, std::int64_t{5}));
    EXPECT_EQ(importOnce(running), std::make_pair(true, std::int64_t{5})) << "a second run only catches up";
    removeDatabase();
    EXPECT_EQ(importOnce(running), std::make_pair(false, std::int64_t{5})) << "Refresh under the running app";
    running.reset();

    removeDatabase();
    test::SqlProbe(database).exec("CREATE TABLE unrelated (x);"); // another file in its place
    EXPECT_EQ(importOnce(std::make_shared<WriteDatabase>(database)), std::make_pair(false, std::int64_t{5}))
        << "the next start";
}

} // namespace
} // namespace tallyglass
