#include "app/CommandTestHome.h"

#include <nlohmann/json.hpp>

#include <regex>
#include <sstream>
#include <sys/stat.h>

namespace tallyglass {
namespace {

// What the commands write, as scripts and people read it, from the real executable.
class CommandOutputTest : public test::CommandTestHome {
protected:
    // Odd token counts, whose prices add up with binary noise; a project folder and a
    // model identifier too long for any terminal; and a message Claude Code wrote itself.
    void storeHistory()
    {
        const std::string folder
            = ".claude/projects/-srv-clients-a-client-with-a-very-long-name-services-backend-of-the-shop/";
        std::string lines;
        for (int i = 0; i < 9; ++i)
            lines += test::assistantLine("o" + std::to_string(i), "s-long", newest(-i), "claude-opus-4-6",
                12345 + 1111 * i, 6789 + 333 * i, 4567, 891011 + 7 * i);
        lines += test::assistantLine(
            "x1", "s-long", newest(-1), "claude-experimental-model-with-a-rather-long-name-20260101", 50, 60);
        lines += test::assistantLine("n1", "s-long", newest(-2), "<synthetic>", 0, 0);
        transcript(folder + "s-long.jsonl", lines);
        transcript(".claude/projects/-srv-short/s-old.jsonl",
            test::assistantLine("s1", "s-old", test::utcHoursFromNow(-80), "claude-sonnet-4-5", 777, 333, 0, 12345));
        ASSERT_EQ(tallyglass({ "import" }).exitCode, 0);
    }
    // The newest message is five hours old: neither now nor the time of the import.
    static std::string newest(int minutesBefore = 0)
    {
        const std::string stamp = test::utcHoursFromNow(-5);
        return stamp.substr(0, 14) + (minutesBefore == 0 ? "30:00Z" : "2" + std::to_string(-minutesBefore) + ":00Z");
    }
};

// `tallyglass … | head` ends as `ls | head` does: quietly, with status 0.
TEST_F(CommandOutputTest, aReaderThatHasGoneEndsTheOutputQuietly)
{
    storeHistory();
    const std::vector<std::vector<std::string>> commands = { { "export", "--no-update" },
        { "export", "--no-update", "--format", "json", "--by", "day" }, { "report", "--no-update" },
        { "report", "--no-update", "--json" }, { "limits" }, { "limits", "--json" }, { "report", "--help" },
        { "blocks", "--no-update" }, { "blocks", "--no-update", "--json" } };
    for (std::vector<std::string> arguments : commands) {
        SCOPED_TRACE(arguments.front() + " " + arguments.back());
        arguments.insert(arguments.begin(), TALLYGLASS_EXECUTABLE);
        const auto result = test::runWithReaderGone(arguments, environment);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.err, "");
    }
}

// Costs to the micro-dollar in every JSON the commands write; tokens exact, no price null.
TEST_F(CommandOutputTest, jsonCostsCarryNoBinaryNoise)
{
    storeHistory();
    const std::regex noise(R"([0-9]\.[0-9]{7,})");
    // The arguments, and whether the model without a price shows (as null).
    const std::pair<std::vector<std::string>, bool> commands[] = {
        { { "report", "--json", "--all", "--by", "day", "--breakdown" }, true },
        { { "export", "--all", "--format", "json" }, true },
        { { "export", "--all", "--format", "json", "--by", "session" }, false },
        { { "export", "--all", "--format", "json", "--by", "day" }, false },
        { { "export", "--all", "--format", "json", "--by", "model" }, true },
    };
    for (const auto& [arguments, unpriced] : commands) {
        const auto result = tallyglass(arguments);
        SCOPED_TRACE(arguments.front() + " " + arguments.back() + "\n" + result.out);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_FALSE(std::regex_search(result.out, noise));
        EXPECT_EQ(
            result.out.find("_usd\": null") != std::string::npos || result.out.find("USD\": null") != std::string::npos,
            unpriced);
    }
    const auto report = nlohmann::json::parse(tallyglass({ "report", "--json", "--all" }).out);
    EXPECT_EQ(report["totals"]["input"], 9 * 12345 + 1111 * 36 + 50 + 777);
    // By hand: Opus 4.6 at $5, $25, $6.25 and $0.50 per million input, output, cache-write and cache-read tokens.
    const double opus = (9 * 12345 + 1111 * 36) * 5e-6 + (9 * 6789 + 333 * 36) * 25e-6 + 9 * 4567 * 6.25e-6
        + (9 * 891011 + 7 * 36) * 0.5e-6;
    EXPECT_NEAR(report["models"][0]["costUSD"].get<double>(), opus, 1e-6);
}

// "Data up to" is the newest stored message, not when the transcripts were last read.
TEST_F(CommandOutputTest, dataUpToIsTheNewestStoredMessage)
{
    storeHistory();
    const std::string expected = newest().substr(0, 19) + "Z";
    const std::string pastDay = test::utcHoursFromNow(-80).substr(0, 10);
    for (const std::vector<std::string>& range :
        { std::vector<std::string> {}, { "--since", pastDay, "--until", pastDay } }) {
        std::vector<std::string> arguments { "report", "--json" };
        arguments.insert(arguments.end(), range.begin(), range.end());
        EXPECT_EQ(nlohmann::json::parse(tallyglass(arguments).out)["dataUpTo"], expected) << range.size();
    }
    const auto text = tallyglass({ "report", "--no-update" });
    EXPECT_NE(text.out.find("Data up to " + expected.substr(11, 5) + " "), std::string::npos) << text.out;
}

// Claude Code's own messages count, but make no model row of zeros anywhere.
TEST_F(CommandOutputTest, claudeCodesOwnMessagesMakeNoModelRow)
{
    storeHistory();
    EXPECT_EQ(nlohmann::json::parse(tallyglass({ "report", "--json", "--all" }).out)["totals"]["messages"], 12);
    for (const std::vector<std::string>& arguments : { std::vector<std::string> { "report", "--all" },
             { "report", "--all", "--by", "model" }, { "report", "--all", "--by", "day", "--breakdown" },
             { "report", "--all", "--json" }, { "export", "--all", "--by", "model" } }) {
        const auto result = tallyglass(arguments);
        EXPECT_EQ(result.out.find("ynthetic"), std::string::npos) << result.out;
    }
}

// Bytes a terminal obeys, line ends aside.
bool holdsControls(const std::string& text)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool lineEnd = c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
        if ((c < 0x20 && !lineEnd) || c == 0x7f)
            return true;
    }
    return false;
}

// A session id, a project folder and a file name that would set the terminal's
// title and move its cursor are shown escaped by every command, and kept exactly in JSON.
TEST_F(CommandOutputTest, controlsFromTranscriptsAreShownNeverObeyed)
{
    const std::string title = "\x1b]0;pwned\x07";
    const std::string session = "s" + title + "\r1";
    const std::string folder = "p" + title + "\rq"; // not an encoded path: its name is the project
    const std::string shownSession = R"(s\x1b]0;pwned\x07\r1)";
    const std::string shownFolder = R"(p\x1b]0;pwned\x07\rq)";
    transcript(".claude/projects/" + folder + "/a.jsonl",
        test::assistantLine("m1", R"(s\u001b]0;pwned\u0007\r1)", newest(), "claude-opus-4-6", 100, 200));
    const std::filesystem::path fifo = home / ".claude/projects" / folder / (title + ".jsonl");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0); // unreadable, so import names it
    const auto imported = tallyglass({ "import" });
    EXPECT_EQ(imported.exitCode, 1);
    EXPECT_NE(imported.out.find("/" + shownFolder + R"(/\x1b]0;pwned\x07.jsonl: not a regular file)"), std::string::npos)
        << imported.out;

    const std::vector<std::vector<std::string>> commands = { { "report", "--no-update" },
        { "report", "--no-update", "--by", "session" }, { "report", "--no-update", "--by", "project" }, { "limits" },
        { "export", "--no-update" }, { "export", "--no-update", "--by", "session" } };
    for (const auto& arguments : commands) {
        const auto result = tallyglass(arguments);
        SCOPED_TRACE(arguments.front() + " " + arguments.back() + "\n" + result.out + result.err);
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_FALSE(holdsControls(result.out));
        EXPECT_FALSE(holdsControls(result.err));
        const std::string& command = arguments.front();
        const std::string shown = command == "limits" ? ""
            : command == "export"                     ? shownSession + "," + shownFolder + ","
            : arguments.back() == "project"           ? shownFolder
                                                      : shownSession + "  " + shownFolder;
        EXPECT_NE(result.out.find(shown), std::string::npos);
    }
    for (const auto& result : { imported, tallyglass({ "limits", "--days", "x" + title }) }) {
        EXPECT_FALSE(holdsControls(result.out)) << result.out;
        EXPECT_FALSE(holdsControls(result.err)) << result.err;
    }

    const auto json = nlohmann::json::parse(tallyglass({ "report", "--no-update", "--json" }).out);
    ASSERT_EQ(json["sessions"].size(), 1u);
    EXPECT_EQ(json["sessions"][0]["sessionId"], session);
    EXPECT_EQ(json["sessions"][0]["project"], folder);
}

// The blocks hold every stored message once, and the report in a named zone
// says which zone its days are.
TEST_F(CommandOutputTest, blocksAndZonesAgreeWithTheReport)
{
    storeHistory();
    const auto report = nlohmann::json::parse(tallyglass({ "report", "--no-update", "--all", "--json", "--zone", "Asia/Kolkata" }).out);
    EXPECT_EQ(report["dayZone"], "Asia/Kolkata");
    const auto blocks = nlohmann::json::parse(tallyglass({ "blocks", "--no-update", "--all", "--json" }).out)["blocks"];
    ASSERT_EQ(blocks.size(), 2u); // eighty hours ago, and five
    std::int64_t messages = 0;
    for (const auto& block : blocks) {
        messages += block["messages"].get<std::int64_t>();
        EXPECT_EQ(block["start"].get<std::string>().substr(13), ":00:00Z");
    }
    EXPECT_EQ(messages, report["totals"]["messages"]);
    const auto text = tallyglass({ "blocks", "--no-update", "--all", "--zone", "Asia/Kolkata" });
    EXPECT_NE(text.out.find("Five-hour blocks, all time (Asia/Kolkata)"), std::string::npos) << text.out;
    // India is 5:30 ahead: a block on the UTC hour starts at half past in its wall-clock time.
    EXPECT_NE(text.out.find(":30  "), std::string::npos) << text.out;
}

// Each help fits 80 columns, and the report fits the 60 columns $COLUMNS asks for,
// long project folders and model identifiers included.
TEST_F(CommandOutputTest, helpFitsEightyColumnsAndTheReportSixty)
{
    storeHistory();
    auto narrow = environment;
    narrow["COLUMNS"] = "60";
    auto nothingStored = narrow; // the hint to install the hook instead of a report
    const std::filesystem::path empty = test::freshDirectory();
    nothingStored["HOME"] = empty.string();
    nothingStored["XDG_CONFIG_HOME"] = (empty / ".config").string();
    const std::tuple<std::vector<std::string>, const std::map<std::string, std::string>*, long> cases[] = {
        { { "--help" }, &environment, 80 },
        { { "report", "--help" }, &environment, 80 },
        { { "export", "--help" }, &environment, 80 },
        { { "limits", "--help" }, &environment, 80 },
        { { "blocks", "--help" }, &environment, 80 },
        { { "blocks", "--all", "--zone", "Asia/Kolkata" }, &narrow, 60 },
        { { "import", "--help" }, &environment, 80 },
        { { "hook", "--help" }, &environment, 80 },
        { { "prices", "--help" }, &environment, 80 },
        { { "prices" }, &narrow, 60 },
        { { "report" }, &narrow, 60 },
        { { "report", "--all", "--local" }, &narrow, 60 }, // each grouping at 60 columns: TerminalReportTest
        { { "report" }, &nothingStored, 60 },
    };
    for (const auto& [arguments, with, width] : cases) {
        std::vector<std::string> argv { TALLYGLASS_EXECUTABLE };
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const auto result = test::runProcess(argv, "", *with);
        SCOPED_TRACE(arguments.front() + " " + arguments.back() + "\n" + result.out);
        EXPECT_GT(result.out.size(), 100u) << result.err;
        std::istringstream lines(result.out);
        for (std::string line; std::getline(lines, line);)
            EXPECT_LE(std::count_if(line.begin(), line.end(),
                          [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }),
                width)
                << line;
    }
}

} // namespace
} // namespace tallyglass
