#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

namespace tallyglass {
namespace {

namespace fs = std::filesystem;

std::string todayLine(const std::string& id, const std::string& session, const char* model = "claude-opus-4-6")
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&seconds));
    return std::string(R"({"type":"assistant","sessionId":")") + session + R"(","timestamp":")" + stamp + R"(","message":{"id":")"
        + id + R"(","model":")" + model + R"(","usage":{"input_tokens":1000000,"output_tokens":10}}})" "\n";
}

class ImportReportCommandTest : public ::testing::Test {
protected:
    fs::path home = test::freshDirectory();
    std::map<std::string, std::string> environment{{"HOME", home.string()}, {"XDG_CONFIG_HOME", (home / ".config").string()}};

    test::ProcessResult tallyglass(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), TALLYGLASS_EXECUTABLE);
        return test::runProcess(arguments, "", environment);
    }
    void transcript(const fs::path& relative, const std::string& text)
    {
        fs::create_directories((home / relative).parent_path());
        std::ofstream(home / relative, std::ios::app) << text;
    }
};

TEST_F(ImportReportCommandTest, importReadsEveryRootOnceAndSummarises)
{
    transcript(".claude/projects/p/a.jsonl", todayLine("a1", "s1") + todayLine("a2", "s1"));
    transcript(".config/claude/projects/q/b.jsonl", todayLine("b1", "s2", "claude-haiku-4-5"));
    transcript("elsewhere/projects/r/c.jsonl", todayLine("c1", "s3"));
    environment["CLAUDE_CONFIG_DIR"] = (home / "elsewhere").string();

    const auto first = tallyglass({"import"});
    EXPECT_EQ(first.exitCode, 0) << first.err;
    EXPECT_NE(first.out.find("100%  3 of 3 files\n"), std::string::npos) << first.out; // plain lines: not a terminal
    EXPECT_NE(first.out.find("Imported 3 files"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("4 messages read, 4 newly stored"), std::string::npos) << first.out;

    const auto again = tallyglass({"import"});
    EXPECT_NE(again.out.find("4 messages read, 0 newly stored"), std::string::npos) << again.out;

    const auto report = tallyglass({"report", "--json"});
    ASSERT_EQ(report.exitCode, 0) << report.err;
    const auto json = nlohmann::json::parse(report.out);
    EXPECT_EQ(json["totals"]["messages"], 4);
    EXPECT_EQ(json["totals"]["sessions"], 3);
    EXPECT_DOUBLE_EQ(json["totals"]["costUSD"].get<double>(), 3 * (5 + 10 * 25e-6) + (1 + 10 * 5e-6));
    EXPECT_EQ(json["models"][0]["model"], "Opus 4.6");

    const auto text = tallyglass({"report", "--days", "1"});
    EXPECT_NE(text.out.find("Claude Code usage, last 1 day ("), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Opus 4.6"), std::string::npos);
}

TEST_F(ImportReportCommandTest, reportWithoutADatabaseFailsAndOnAnEmptyOneSaysSo)
{
    const auto missing = tallyglass({"report"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.err.find("no database yet"), std::string::npos) << missing.err;
    EXPECT_FALSE(fs::exists(home / ".config" / "tallyglass" / "app.db"));

    ASSERT_EQ(tallyglass({"import"}).exitCode, 0); // nothing to import, but the database now exists
    const auto empty = tallyglass({"report"});
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_NE(empty.out.find("No usage recorded yet."), std::string::npos) << empty.out;

    for (const std::vector<std::string>& misuse : {std::vector<std::string>{"report", "--days"}, {"report", "--days", "0"},
                                                   {"report", "--days", "x"}, {"report", "--weeks", "2"}, {"import", "now"}})
        EXPECT_EQ(tallyglass(misuse).exitCode, 2);
}

TEST_F(ImportReportCommandTest, importFailsWhenTheDatabaseCannotBeOpened)
{
    fs::create_directories(home / ".config");
    std::ofstream(home / ".config" / "tallyglass") << "a file where the folder should be";
    const auto result = tallyglass({"import"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("cannot open"), std::string::npos) << result.err;
}

TEST_F(ImportReportCommandTest, helpListsEveryCommand)
{
    const auto help = tallyglass({"--help"});
    for (const char* command : {"--headless", "import", "report [--days N] [--json]", "hook install", "hook uninstall",
                                "hook status", "--version"})
        EXPECT_NE(help.out.find(command), std::string::npos) << command;
}

} // namespace
} // namespace tallyglass
