#include "app/CommandTestHome.h"
#include "support/SqlProbe.h"

#include <QLockFile>

#include <unistd.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <sys/stat.h>

namespace tallyglass {
namespace {

namespace fs = std::filesystem;
using test::utcHoursFromNow;

// A message of a million input tokens at `timestamp` (now by default).
std::string lineAt(const std::string& timestamp, const std::string& id, const std::string& session,
                   const char* model = "claude-opus-4-6")
{
    return test::assistantLine(id, session, timestamp, model, 1000000, 10);
}

std::string todayLine(const std::string& id, const std::string& session, const char* model = "claude-opus-4-6")
{
    return lineAt(utcHoursFromNow(0), id, session, model);
}

class ImportReportCommandTest : public test::CommandTestHome {
protected:
    fs::path database = configFolder / "app.db";
};

TEST_F(ImportReportCommandTest, importReadsEveryRootOnceAndSummarises)
{
    // Lines are not messages: most hold none, and a response may take several.
    std::string prompts;
    for (int i = 0; i < 1000; ++i)
        prompts += R"({"type":"user","sessionId":"s1","message":{"role":"user","content":"go on"}})" "\n";
    transcript(".claude/projects/p/a.jsonl", todayLine("a1", "s1") + todayLine("a2", "s1") + todayLine("a2", "s1") + prompts);
    transcript(".config/claude/projects/q/b.jsonl", todayLine("b1", "s2", "claude-haiku-4-5"));
    transcript("elsewhere/projects/r/c.jsonl", todayLine("c1", "s3"));
    environment["CLAUDE_CONFIG_DIR"] = (home / "elsewhere").string();

    const auto first = tallyglass({"import"});
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_NE(first.out.find("100%  3 of 3 files\n"), std::string::npos) << first.out; // plain lines: not a terminal
    EXPECT_NE(first.out.find("Imported 3 files"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("1,005 lines read, 4 messages stored, "), std::string::npos) << first.out;

    const auto again = tallyglass({"import"});
    EXPECT_NE(again.out.find("1,005 lines read, 0 messages stored (all were stored before), "), std::string::npos) << again.out;

    const auto json = nlohmann::json::parse(tallyglass({"report", "--json"}).out);
    EXPECT_EQ(json["totals"]["messages"], 4);
    EXPECT_EQ(json["totals"]["sessions"], 3);
    EXPECT_DOUBLE_EQ(json["totals"]["costUSD"].get<double>(), 3 * (5 + 10 * 25e-6) + (1 + 10 * 5e-6));
}

// The report first reads what changed since the last import, so a message
// written while nothing ran is in it; --no-update shows what is stored.
TEST_F(ImportReportCommandTest, theReportBringsInWhatChangedUnlessToldNot)
{
    const auto nothing = tallyglass({"report"});
    EXPECT_EQ(nothing.exitCode, 0) << nothing.err;
    EXPECT_NE(nothing.out.find("No usage recorded yet."), std::string::npos) << nothing.out;
    const auto missing = tallyglass({"report", "--no-update"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("there is no database at " + database.string() + " yet; run 'tallyglass import'"), std::string::npos)
        << missing.err;

    transcript(".claude/projects/-nowhere-shop/a.jsonl", todayLine("a1", "s1"));
    ASSERT_EQ(tallyglass({"import"}).exitCode, 0);
    transcript(".claude/projects/-nowhere-shop/a.jsonl", todayLine("a2", "s1"));
    const auto stale = nlohmann::json::parse(tallyglass({"report", "--json", "--no-update"}).out);
    EXPECT_EQ(stale["totals"]["messages"], 1);
    const auto fresh = nlohmann::json::parse(tallyglass({"report", "--json"}).out);
    EXPECT_EQ(fresh["totals"]["messages"], 2);
    EXPECT_EQ(fresh["sessions"][0]["project"], "/nowhere/shop");

    const auto text = tallyglass({"report", "--days", "1", "--by", "project"});
    EXPECT_NE(text.out.find("Claude Code usage, last 1 day ("), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("/nowhere/shop"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("$10.00"), std::string::npos) << text.out; // 2 × 1M input at $5
}

// While the app (or --headless) runs it is the one writer: import refuses, and says why.
TEST_F(ImportReportCommandTest, importLeavesTheWritingToARunningApp)
{
    transcript(".claude/projects/p/a.jsonl", todayLine("a1", "s1"));
    fs::create_directories(database.parent_path());
    QLockFile running(QString::fromStdString((database.parent_path() / "running.lock").string()));
    ASSERT_TRUE(running.tryLock(0));
    const auto refused = tallyglass({"import"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err.rfind("tallyglass import: Tallyglass is running (the desktop app or 'tallyglass --headless')", 0), 0u)
        << refused.err;
    EXPECT_FALSE(fs::exists(database));
}

// A transcript that cannot be read is named, the rest stored, and the exit says so.
TEST_F(ImportReportCommandTest, importNamesWhatItCouldNotReadAndFails)
{
    transcript(".claude/projects/p/a.jsonl", todayLine("a1", "s1"));
    const fs::path fifo = home / ".claude/projects/p/b.jsonl";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0); // unreadable even for root
    const auto result = tallyglass({"import"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.out.find("Imported 1 file (0.0 MB): 1 line read, 1 message stored, "), std::string::npos) << result.out;
    const std::string named = "1 file or folder could not be read and is left out:\n  " + fifo.string() + ": not a regular file\n";
    EXPECT_NE(result.out.find(named), std::string::npos) << result.out;
}

// A message dated before 2000 or more than a day ahead is never stored; the
// summary says how many lines were left out so, and counts them as read.
TEST_F(ImportReportCommandTest, importLeavesOutMessagesWithImpossibleTimesAndSaysSo)
{
    transcript(".claude/projects/p/a.jsonl",
               lineAt("0001-01-01T00:00:00Z", "year1", "s1") + lineAt("1999-12-31T23:59:59Z", "early", "s1")
                   + lineAt("2000-01-01T00:00:00+14:00", "earlyByItsOffset", "s1") + todayLine("today", "s1")
                   + lineAt(utcHoursFromNow(72), "ahead", "s1") + lineAt("9999-12-31T23:59:59.999Z", "year9999", "s1"));
    const auto result = tallyglass({"import"});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("6 lines read, 1 message stored, "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\n5 lines left out: their messages' times are before 2000 or more than a day from now.\n"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(test::SqlProbe(database).value("SELECT group_concat(messageId) FROM messages"), "today");
}

// A database written before times were checked may hold a year 1 and a year
// 9999: every view leaves them out and spans the days of the rest, and the
// report and the export say how many are left out.
TEST_F(ImportReportCommandTest, storedMessagesWithImpossibleTimesAreLeftOutOfEveryViewAndSaid)
{
    const std::string now = utcHoursFromNow(0);
    transcript(".claude/projects/p/a.jsonl", lineAt(now, "today", "s1"));
    ASSERT_EQ(tallyglass({"import"}).exitCode, 0);
    test::SqlProbe(database).exec(
        "INSERT INTO messages (messageId, sessionId, timestamp, role, model, inputTokens, outputTokens, cost) VALUES "
        "('year1', 's1', '0001-01-01T00:00:00Z', 'assistant', 'claude-opus-4-6', 5, 5, 1),"
        "('year9999', 's1', '9999-12-31T23:59:59Z', 'assistant', 'claude-opus-4-6', 5, 5, 1)");

    const auto json = nlohmann::json::parse(tallyglass({"report", "--all", "--json", "--no-update"}).out);
    EXPECT_LE(json["dayCount"], 2) << json["from"]; // today's, and yesterday's if midnight came meanwhile
    EXPECT_EQ(json["totals"]["messages"], 1);
    EXPECT_EQ(json["impossibleTimes"], 2);
    EXPECT_EQ(json["dataUpTo"], now);
    const std::string said = "2 stored messages are left out: dated before 2000 or more than a day from now";
    const auto text = tallyglass({"report", "--all", "--no-update"});
    EXPECT_NE(text.out.find(said + "\n"), std::string::npos) << text.out;
    const auto days = tallyglass({"export", "--all", "--by", "day", "--no-update"});
    EXPECT_LE(std::count(days.out.begin(), days.out.end(), '\n'), 3) << days.out; // the header and the days as above
    EXPECT_EQ(days.err, "tallyglass export: " + said + "\n");
}

// The folder is usable (a folder that is not: ConfigFolderTest), the file in it is not.
TEST_F(ImportReportCommandTest, aDatabaseThatCannotBeOpenedIsSaidWithItsPath)
{
    fs::create_directories(database); // a folder where the database should be
    transcript(".claude/projects/p/a.jsonl", todayLine("a1", "s1")); // something to store
    for (const char* command : {"import", "report"}) {
        const auto result = tallyglass({command});
        EXPECT_EQ(result.exitCode, 1) << command;
        EXPECT_NE(result.err.find("cannot open the database " + database.string()), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("check that " + database.parent_path().string() + " is a folder you can write to"), std::string::npos)
            << result.err;
    }
}

// A history in a folder the user may only read (a backup, a shared copy) is
// still shown as it stands: readers open it read-only, and never try to write.
TEST_F(ImportReportCommandTest, aDatabaseInAFolderThatCanOnlyBeReadIsShown)
{
    transcript(".claude/projects/p/a.jsonl", todayLine("a1", "s1"));
    ASSERT_EQ(tallyglass({"import"}).exitCode, 0);
    for (const fs::path& folder : {home.parent_path(), home}) // this test's own folders, removed after it
        fs::permissions(folder, fs::perms::group_exec | fs::perms::others_exec, fs::perm_options::add);
    for (const fs::path& folder : {home / ".config", database.parent_path()})
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read | fs::perms::group_exec
                                    | fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(database, fs::perms::others_read, fs::perm_options::add);
    // Root may write anywhere: then the reader is another user, who may only read.
    std::vector<std::string> asReader;
    if (::geteuid() == 0) {
        asReader = {"runuser", "-u", "nobody", "--", "env", "HOME=" + home.string()};
        if (test::runProcess({"runuser", "-u", "nobody", "--", "test", "-x", TALLYGLASS_EXECUTABLE}).exitCode != 0)
            GTEST_SKIP() << "no other user can run the program here";
    }
    for (const char* command : {"report", "export"}) {
        std::vector<std::string> argv = asReader;
        for (const std::string& word : {std::string(TALLYGLASS_EXECUTABLE), std::string(command), std::string("--no-update")})
            argv.push_back(word);
        const auto result = test::runProcess(argv, "", environment);
        EXPECT_EQ(result.exitCode, 0) << command << ": " << result.err;
        EXPECT_NE(result.out.find(command == std::string("report") ? "1 in 1 session" : ",s1,"), std::string::npos)
            << result.out;
    }
    fs::permissions(database.parent_path(), fs::perms::owner_all, fs::perm_options::add);
    fs::permissions(home / ".config", fs::perms::owner_all, fs::perm_options::add);
}

TEST_F(ImportReportCommandTest, limitsListsTheWindowsOfTheDaysWithTheirPeaks)
{
    ASSERT_EQ(tallyglass({"import"}).exitCode, 0); // makes the database
    const auto at = [](int hours) { return utcHoursFromNow(hours).substr(0, 14) + "00:00Z"; }; // on the hour
    test::SqlProbe(database)
        .exec("INSERT INTO limit_readings (received_at, five_hour_utilization, five_hour_resets_at, seven_day_utilization, "
              "seven_day_resets_at) VALUES ('" + at(-30) + "', 100, '" + at(-27) + "', 20, '" + at(72) + "'), ('" + at(-1) + "', 20, '"
              + at(2) + "', 29, '" + at(72) + "'), ('" + at(0) + "', 35, '" + at(2) + "', 30, '" + at(72) + "');");
    const auto json = nlohmann::json::parse(tallyglass({"limits", "--days=3", "--json"}).out);
    ASSERT_EQ(json["fiveHour"].size(), 2u);
    EXPECT_EQ(json["fiveHour"][0]["peak"], 100);
    EXPECT_EQ(json["fiveHourReached"], 1);
    EXPECT_EQ(json["sevenDay"][0]["peak"], 30);
    // The pace of each open window, from its readings alone: 15 points an hour over the last hour of the
    // five-hour window; 10 over the 30 hours of the seven-day one, the reading at 29% a little above that line.
    EXPECT_EQ(json["pace"]["fiveHour"], nlohmann::json::parse(R"({"utilization": 35.0, "resetsAt": ")" + at(2)
                                                               + R"(", "perHour": 15.0, "projectedAtReset": 65.0, "reachesLimitAt": null})"));
    EXPECT_EQ(json["pace"]["sevenDay"]["perHour"], 0.32);
    EXPECT_EQ(json["pace"]["sevenDay"]["reachesLimitAt"], nullptr);
    const auto text = tallyglass({"limits", "--days", "3"});
    EXPECT_NE(text.out.find("Limit reached in 1 of 2 windows\nAt this pace: 65% at the reset\n"), std::string::npos) << text.out;
    EXPECT_EQ(tallyglass({"limits", "--weeks", "1"}).exitCode, 2);
    // Output that cannot be written is a failure, never a list shown.
    for (const char* command : {"limits", "report --no-update", "export --no-update"}) {
        const auto full = test::runProcess({"/bin/sh", "-c", std::string(TALLYGLASS_EXECUTABLE) + " " + command + " > /dev/full"}, "", environment);
        EXPECT_EQ(full.exitCode, 1) << command;
        EXPECT_NE(full.err.find("cannot write the"), std::string::npos) << full.err;
    }
}

// Help anywhere, both spellings of a value, and mistakes that say the fix.
TEST_F(ImportReportCommandTest, theCommandLineFollowsTheUsualConventions)
{
    // The arguments, the exit code, and what standard output and standard error hold.
    const std::tuple<std::vector<std::string>, int, const char*, const char*> cases[] = {
        {{"-h"}, 0, "Usage: tallyglass [command] [options]", ""},
        {{"--headless", "--help"}, 0, "Usage: tallyglass --headless [options]", ""},
        {{"--headless", "--machine"}, 2, "", "--machine needs a value"},
        {{"--headless", "--machine", " "}, 2, "", "--machine takes a name"},
        {{"--headless", "box"}, 2, "", "unexpected 'box'; --headless takes only options"},
        {{"report", "--help"}, 0, "Usage: tallyglass report [options]", ""},
        {{"report", "--days", "x", "-h"}, 0, "--by WHAT", ""},
        {{"import", "-h"}, 0, "Usage: tallyglass import", ""},
        {{"hook", "install", "--help"}, 0, "Usage: tallyglass hook install|uninstall|status", ""},
        {{"reprot"}, 2, "", "unknown command 'reprot'; did you mean 'report'?"},
        {{"report", "--dayz", "3"}, 2, "", "tallyglass report: unknown option '--dayz'; did you mean '--days'?\n(see 'tallyglass report --help')"},
        {{"import", "now"}, 2, "", "unexpected 'now'"},
        {{"export", "--format=xml"}, 2, "", "--format takes csv or json, not 'xml'"},
        {{"blocks", "--help"}, 0, "Usage: tallyglass blocks [options]", ""},
        {{"blocks", "--zone", "Asia/Kolkatta"}, 2, "", "tallyglass blocks: unknown time zone 'Asia/Kolkatta'; did you mean 'Asia/Kolkata'?\n"},
        {{"limits", "--zone=Europe/Berln"}, 2, "", "unknown time zone 'Europe/Berln'; did you mean 'Europe/Berlin'?"},
        {{"export", "--by", "wek"}, 2, "", "did you mean 'week'?"},
        {{"--version", "x"}, 2, "", "--version takes no arguments"},
    };
    for (const auto& [arguments, exitCode, out, err] : cases) {
        const auto result = tallyglass(arguments);
        SCOPED_TRACE(arguments.front() + (arguments.size() > 1 ? " " + arguments[1] : ""));
        EXPECT_EQ(result.exitCode, exitCode) << result.err;
        EXPECT_NE(result.out.find(out), std::string::npos) << result.out;
        EXPECT_NE(result.err.find(err), std::string::npos) << result.err;
    }
}

} // namespace
} // namespace tallyglass
