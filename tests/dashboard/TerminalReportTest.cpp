#include "dashboard/TerminalReport.h"

#include "dashboard/TextTable.h"

#include "support/Instants.h"
#include "support/TimeZone.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

namespace tallyglass {
namespace {

using namespace TerminalReport;

using test::t;

// A small fixed history: two months, three sessions in two projects (one
// unknown), a model without a price, and a message outside every range used.
const std::vector<DashboardMessage>& history()
{
    static const std::vector<DashboardMessage> messages = {
        {t("2025-01-01T10:00:00Z"), "old", "claude-opus-4-6", 1000, 1000, 0, 0, false, 9.0},
        {t("2025-01-30T10:00:00Z"), "s-one", "claude-opus-4-6", 100, 200, 300, 400, false, 0.5},
        {t("2025-01-31T23:59:59Z"), "s-two", "claude-sonnet-4-6-20260101", 10, 20, 30, 40, true, 0.25},
        {t("2025-02-01T00:00:00Z"), "s-two", "claude-sonnet-4-6", 1, 2, 0, 0, false, 1000.004},
        {t("2025-02-02T08:00:00Z"), "s-three", "claude-fable-5-1", 5000, 5000, 0, 0, false, 0},
    };
    return messages;
}

const std::map<std::string, std::string> projects{{"s-one", "~/work/tallyglass"}, {"s-two", "~/work/tallyglass"}};

Options days(const char* from, const char* to, Grouping by = Grouping::none, bool breakdown = false)
{
    return {t(from), t(to), "test", by, breakdown, 10};
}

TEST(TerminalReport, addsUpEveryGroupingOverWholeDays)
{
    const Report r = build(history(), projects, std::nullopt, days("2025-01-30T00:00:00Z", "2025-02-03T00:00:00Z", Grouping::day, true));
    // Every count summed, a session counted once however many messages it has (the window adds up the same way).
    EXPECT_EQ(r.totals, (Totals{5111, 5222, 330, 440, 4, 3, 1000.754}));
    ASSERT_EQ(r.days.size(), 4u); // quiet days included; a day's figures: see the JSON
    EXPECT_EQ(r.months.size(), 2u);
    EXPECT_EQ(r.months[1].figures.messages, 2);
    // Models: dearest first, the one without a price last; identifiers behind a display name.
    ASSERT_EQ(r.models.size(), 3u);
    EXPECT_EQ(r.models[0].name, "Sonnet 4.6");
    EXPECT_EQ(r.models[0].identifiers, (std::vector<std::string>{"claude-sonnet-4-6", "claude-sonnet-4-6-20260101"}));
    EXPECT_FALSE(r.models[2].priced);
    // Sessions latest first; projects dearest first (the unknown one last here, as null in the JSON).
    EXPECT_EQ(r.sessions.front().key, "s-three");
    EXPECT_EQ(r.sessions[1].first, t("2025-01-31T23:59:59Z"));
    ASSERT_EQ(r.projects.size(), 2u);
    EXPECT_EQ(r.projects[0].key, "~/work/tallyglass");
    EXPECT_EQ(r.projects[0].sessions, 2);
    // The breakdown under a row adds up to the row.
    EXPECT_EQ(r.days[2].models.size(), 1u);
    EXPECT_EQ(r.days[2].models[0].figures, r.days[2].figures);
}

// Each layout fits 80 columns, says what it must, and keeps whole identifiers when piped.
TEST(TerminalReport, textFitsTheTerminalAndKeepsCents)
{
    const UsageLimits limits{42.7, t("2025-02-02T15:00:00Z"), 12.0, t("2025-02-05T00:00:00Z"), t("2025-02-02T10:00:00Z")};
    const std::tuple<Grouping, bool, std::vector<const char*>> cases[] = { // grouping, breakdown, what the text holds
        {Grouping::none, false, {"Cost            $1,000.75", "Messages        4 in 3 sessions", "Input           5,111", "Sonnet 4.6",
                                 "1 model not priced: 1 message", "2025-01-31", "$0.25", "~/work/tallyglass",
                                 "Five-hour window  42%  (resets 2025-02-02 15:00 UTC)"}},
        {Grouping::day, true, {"Day (UTC)", "2025-02-01", "$1,000.00", "  \u00b7 Sonnet 4.6", "Total", "$1,000.75"}},
        {Grouping::month, false, {"Month (UTC)", "2025-01", "2025-02", "$0.75"}},
        {Grouping::session, false, {"Session", "Project", "s-three", "(unknown)", "2025-02-02 08:00"}},
        {Grouping::project, true, {"Project", "Sessions", "~/work/tallyglass", "(unknown)", "  \u00b7 claude-fable-5-1"}},
        {Grouping::model, false, {"Model", "claude-fable-5-1", "\u2014", "Opus 4.6"}},
    };
    for (const auto& [by, breakdown, expected] : cases) {
        const Report r = build(history(), projects, limits, days("2025-01-30T00:00:00Z", "2025-02-03T00:00:00Z", by, breakdown));
        const std::string text = renderText(r, 80, t("2025-02-02T12:00:00Z"), std::chrono::hours(1));
        SCOPED_TRACE(text);
        EXPECT_EQ(text.rfind("Claude Code usage, test (2025-01-30 to 2025-02-02, UTC)\nData up to 09:00 today\n", 0), 0u);
        for (const char* part : expected)
            EXPECT_NE(text.find(part), std::string::npos) << part;
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);)
            EXPECT_LE(TextTable::length(line), 80u) << line;
    }
    // Long session identifiers and paths are shortened to fit, never when piped.
    std::vector<DashboardMessage> longer = history();
    longer.push_back({t("2025-02-02T09:00:00Z"), "0f4e3c1a-9b7d-4f2e-8a6c-5d1b2e3f4a5b", "claude-opus-4-6", 1, 1, 0, 0, false, 0.01});
    const std::map<std::string, std::string> deep{{"0f4e3c1a-9b7d-4f2e-8a6c-5d1b2e3f4a5b", "~/src/clients/a-very-long-client-name/backend"}};
    const Report r = build(longer, deep, std::nullopt, days("2025-02-02T00:00:00Z", "2025-02-03T00:00:00Z", Grouping::session));
    const std::string narrow = renderText(r, 80, t("2025-02-02T12:00:00Z"), {});
    EXPECT_NE(narrow.find("0f4e3c1a\u2026  \u2026lient-name/backend"), std::string::npos) << narrow;
    const std::string piped = renderText(r, 0, t("2025-02-02T12:00:00Z"), {});
    EXPECT_NE(piped.find("0f4e3c1a-9b7d-4f2e-8a6c-5d1b2e3f4a5b  ~/src/clients/a-very-long-client-name/backend"), std::string::npos) << piped;
}

// Every line fits a narrow terminal, whatever the names: long paths and model
// identifiers shrink, prose wraps, and figure columns go (cost stays) where
// nothing else is left to give.
TEST(TerminalReport, everyLineFitsSixtyColumnsWithLongNames)
{
    std::vector<DashboardMessage> messages = history();
    const std::string session = "0f4e3c1a-9b7d-4f2e-8a6c-5d1b2e3f4a5b";
    messages.push_back({t("2025-02-02T09:00:00Z"), session, "claude-experimental-model-with-a-rather-long-name-20260101", 123456789,
                        98765432, 1234567890, 9876543210, false, 0});
    messages.push_back({t("2025-02-02T10:00:00Z"), session, "claude-opus-4-6", 123456789, 98765432, 1234567890, 9876543210, false, 123456.78});
    std::map<std::string, std::string> deep = projects;
    deep[session] = "~/src/clients/a-client-with-a-very-long-name/services/backend-of-the-shop";
    const UsageLimits limits{42.7, t("2025-02-02T15:00:00Z"), std::nullopt, std::nullopt, t("2025-02-02T10:00:00Z")};
    for (const std::optional<UsageLimits>& known : {std::optional<UsageLimits>(limits), std::optional<UsageLimits>()})
        for (const Grouping by : {Grouping::none, Grouping::day, Grouping::month, Grouping::session, Grouping::project, Grouping::model})
            for (const bool breakdown : {false, true}) {
                Options options = days("2025-01-30T00:00:00Z", "2025-02-03T00:00:00Z", by, breakdown && by != Grouping::none);
                options.title = "30 days up to 2025-02-02";
                const std::string text = renderText(build(messages, deep, known, options), 60, t("2025-02-02T12:00:00Z"), {});
                SCOPED_TRACE(text);
                std::istringstream lines(text);
                for (std::string line; std::getline(lines, line);)
                    EXPECT_LE(TextTable::length(line), 60u) << line;
                EXPECT_NE(text.find("$124,457.53"), std::string::npos); // the total cost is never what gives way
            }
}

// Session ids, folders and model identifiers with terminal controls are shown
// escaped, and the columns line up as the escapes are shown.
TEST(TerminalReport, textFromTranscriptsIsShownEscapedAndAligned)
{
    std::vector<DashboardMessage> messages = history();
    const std::string hostile = "\x1b]0;pwned\x07\r";
    messages.push_back({t("2025-02-02T09:00:00Z"), "s" + hostile, "claude-" + hostile, 1, 1, 0, 0, false, 0});
    std::map<std::string, std::string> folders = projects;
    folders["s" + hostile] = "/srv/" + hostile;
    for (const Grouping by : {Grouping::none, Grouping::session, Grouping::project, Grouping::model}) {
        const std::string text = renderText(build(messages, folders, std::nullopt, days("2025-01-30T00:00:00Z", "2025-02-03T00:00:00Z", by)),
                                            0, t("2025-02-02T12:00:00Z"), {});
        SCOPED_TRACE(text);
        EXPECT_EQ(text.find_first_of("\x1b\x07\r"), std::string::npos);
        EXPECT_NE(text.find("\\x1b]0;pwned\\x07\\r"), std::string::npos);
    }
    // The project column starts where the header's does, in every row.
    const std::string sessions = renderText(build(messages, folders, std::nullopt, days("2025-01-30T00:00:00Z", "2025-02-03T00:00:00Z", Grouping::session)),
                                            0, t("2025-02-02T12:00:00Z"), {});
    std::istringstream lines(sessions);
    std::size_t header = std::string::npos;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Session", 0) == 0)
            header = line.find("Project");
        for (const char* project : {"/srv/\\x1b", "~/work/tallyglass", "(unknown)"}) {
            const std::size_t at = line.find(project);
            EXPECT_TRUE(at == std::string::npos || at == header) << line;
        }
    }
    EXPECT_NE(header, std::string::npos) << sessions;
}

// Claude Code writes messages of its own (model "<synthetic>", no usage): they
// count as messages, but make no model row of zeros, in text or JSON.
TEST(TerminalReport, claudeCodesOwnMessagesMakeNoModelRows)
{
    std::vector<DashboardMessage> messages = history();
    messages.push_back({t("2025-02-01T12:00:00Z"), "s-two", "<synthetic>", 0, 0, 0, 0, false, 0});
    for (const Grouping by : {Grouping::none, Grouping::day, Grouping::session, Grouping::model}) {
        const Report r = build(messages, projects, std::nullopt, days("2025-01-30T00:00:00Z", "2025-02-03T00:00:00Z", by, by != Grouping::none));
        EXPECT_EQ(r.totals.messageCount, 5);
        EXPECT_EQ(r.models.size(), 3u);
        const std::string text = renderText(r, 0, t("2025-02-02T12:00:00Z"), {}) + renderJson(r, "1");
        EXPECT_EQ(text.find("ynthetic"), std::string::npos) << text;
    }
    // With usage (none has been seen) it would be a model like any other, under its one name.
    messages.back().outputTokens = 7;
    const Report r = build(messages, projects, std::nullopt, days("2025-01-30T00:00:00Z", "2025-02-03T00:00:00Z", Grouping::model));
    EXPECT_NE(renderText(r, 0, t("2025-02-02T12:00:00Z"), {}).find("\nSynthetic "), std::string::npos);
}

// Costs are sums of many prices: JSON writes them to the micro-dollar, without
// the binary noise of the sums (0.1 + 0.2 is 0.30000000000000004 in doubles).
TEST(TerminalReport, jsonCostsAreWholeMicroDollars)
{
    const std::vector<DashboardMessage> messages = {
        {t("2025-02-01T10:00:00Z"), "a", "claude-opus-4-6", 1, 1, 0, 0, false, 0.1},
        {t("2025-02-01T11:00:00Z"), "a", "claude-opus-4-6", 1, 1, 0, 0, false, 0.2},
        {t("2025-02-01T12:00:00Z"), "a", "claude-opus-4-6", 1, 1, 0, 0, false, 0.0000004},
    };
    const Report r = build(messages, {}, std::nullopt, days("2025-02-01T00:00:00Z", "2025-02-02T00:00:00Z", Grouping::day, true));
    ASSERT_NE(r.totals.costUSD, 0.3); // the noise is there to be rounded away
    const std::string text = renderJson(r, "1");
    EXPECT_EQ(text.find("0.3000"), std::string::npos) << text;
    const auto json = nlohmann::json::parse(text);
    for (const nlohmann::json& figures : {json["totals"], json["models"][0], json["days"][0], json["days"][0]["models"][0],
                                          json["months"][0], json["sessions"][0], json["projects"][0]})
        EXPECT_EQ(figures["costUSD"].dump(), "0.3") << figures.dump();
    EXPECT_EQ(microDollars(226.1240385500001), 226.124039);
    EXPECT_EQ(nlohmann::json(microDollars(226.1240385500001)).dump(), "226.124039");
}

TEST(TerminalReport, jsonHasEveryFigureForScripts)
{
    Report r = build(history(), projects, std::nullopt, days("2025-01-30T00:00:00Z", "2025-02-03T00:00:00Z", Grouping::none));
    r.options.sessionRows = 1; // the table's limit; JSON lists every session
    const auto json = nlohmann::json::parse(renderJson(r, "1.2.3"));
    EXPECT_EQ(json["version"], 2);
    EXPECT_EQ(json["generator"], "tallyglass 1.2.3");
    EXPECT_EQ(json["from"], "2025-01-30T00:00:00Z");
    EXPECT_EQ(json["to"], "2025-02-03T00:00:00Z");
    EXPECT_EQ(json["dayCount"], 4);
    EXPECT_EQ(json["sessions"].size(), 3u);
    EXPECT_EQ(json["sessions"][2]["project"], "~/work/tallyglass");
    EXPECT_EQ(json["sessions"][0]["project"], nullptr);
    EXPECT_EQ(json["days"][1], (nlohmann::json{{"day", "2025-01-31"}, {"messages", 1}, {"input", 10}, {"output", 20},
                                               {"cacheWritten", 30}, {"cacheRead", 40}, {"costUSD", 0.25}}));
    EXPECT_EQ(json["models"][0]["model"], "Sonnet 4.6");
    EXPECT_EQ(json["models"][0]["identifiers"].size(), 2u);
    EXPECT_EQ(json["models"][2]["costUSD"], nullptr);
    EXPECT_EQ(json["projects"][1]["project"], nullptr);
    EXPECT_EQ(json["limits"], nullptr);
    EXPECT_FALSE(json["days"][0].contains("models")); // only with --breakdown
    // A folder name that is not UTF-8 (it comes from the disk) is replaced, never a failure.
    const Report latin = build(history(), {{"s-one", "/srv/caf\xe9"}}, std::nullopt, days("2025-01-30T00:00:00Z", "2025-02-03T00:00:00Z"));
    EXPECT_EQ(nlohmann::json::parse(renderJson(latin, "1"))["sessions"][2]["project"], "/srv/caf\ufffd");
}

// Two machines: rows of their own with their sessions, dearest first, in the
// JSON's order of keys; one named keeps every figure of the report to itself,
// and a name no message carries leaves nothing.
TEST(TerminalReport, machinesHaveRowsAndOneNamedKeepsEveryFigureToItself)
{
    std::vector<DashboardMessage> messages = history();
    for (DashboardMessage& m : messages)
        m.machine = m.sessionId == "s-two" ? "buildbox" : "laptop";
    const Options span = days("2025-01-30T00:00:00Z", "2025-02-03T00:00:00Z", Grouping::machine);
    const Report all = build(messages, projects, std::nullopt, span);
    ASSERT_EQ(all.machines.size(), 2u);
    EXPECT_EQ(all.machines[0].key, "buildbox");
    EXPECT_EQ(all.machines[0].sessions, 1);
    EXPECT_EQ(all.machines[1].sessions, 2);
    EXPECT_EQ(all.machines[1].figures.messages, 2);
    EXPECT_EQ(nlohmann::ordered_json::parse(renderJson(all, "1"))["machines"][0].dump(),
              R"({"machine":"buildbox","messages":2,"sessions":1,"input":11,"output":22,"cacheWritten":30,"cacheRead":40,"costUSD":1000.254})");
    EXPECT_NE(renderText(all, 0, t("2025-02-03T00:00:00Z"), {}).find("Machine   Sessions"), std::string::npos);
    // The summary names the machines only where there are two.
    Options summary = span;
    summary.by = Grouping::none;
    EXPECT_NE(renderText(build(messages, projects, std::nullopt, summary), 0, t("2025-02-03T00:00:00Z"), {}).find("Per machine"),
              std::string::npos);
    EXPECT_EQ(renderText(build(history(), projects, std::nullopt, summary), 0, t("2025-02-03T00:00:00Z"), {}).find("Per machine"),
              std::string::npos);

    struct Case {
        const char* machine;
        std::int64_t messages;
        std::int64_t sessions;
    };
    for (const Case& c : {Case{"laptop", 2, 2}, Case{"buildbox", 2, 1}, Case{"nowhere", 0, 0}}) {
        SCOPED_TRACE(c.machine);
        Options one = span;
        one.machine = c.machine;
        const Report r = build(messages, projects, std::nullopt, one);
        EXPECT_EQ(r.totals.messageCount, c.messages);
        EXPECT_EQ(r.totals.sessionCount, c.sessions);
        EXPECT_EQ(static_cast<std::int64_t>(r.sessions.size()), c.sessions);
        std::int64_t daysSum = 0;
        for (const Row& d : r.days)
            daysSum += d.figures.messages;
        EXPECT_EQ(daysSum, c.messages);
        EXPECT_EQ(r.machines.size(), c.messages > 0 ? 1u : 0u);
        EXPECT_NE(renderText(r, 0, t("2025-02-03T00:00:00Z"), {}).find(std::string("usage on ") + c.machine), std::string::npos);
    }
}

// Local days: a message late in the UTC evening belongs to the next local day,
// the 25-hour day of a clock change holds all its hours, and nothing is
// counted twice or lost.
TEST(TerminalReport, localDaysCountEachMessageOnceAcrossAClockChange)
{
    const test::TimeZone berlin("Europe/Berlin");
    Options local = days("2026-10-24T22:00:00Z", "2026-10-26T23:00:00Z", Grouping::day);
    local.clock = DayClock::local();
    const std::vector<DashboardMessage> messages = {
        {t("2026-10-24T21:59:59Z"), "a", "claude-opus-4-6", 1, 1, 0, 0, false, 0}, // 23:59 on the 24th: outside
        {t("2026-10-24T22:30:00Z"), "a", "claude-opus-4-6", 1, 1, 0, 0, false, 0}, // 00:30 on the 25th
        {t("2026-10-25T22:30:00Z"), "a", "claude-opus-4-6", 1, 1, 0, 0, false, 0}, // 23:30 on the 25th, its 25th hour
        {t("2026-10-25T23:30:00Z"), "a", "claude-opus-4-6", 1, 1, 0, 0, false, 0}, // 00:30 on the 26th
    };
    const Report r = build(messages, {}, std::nullopt, local);
    ASSERT_EQ(r.days.size(), 2u);
    EXPECT_EQ(r.days[0].key, "2026-10-25");
    EXPECT_EQ(r.days[0].figures.messages, 2);
    EXPECT_EQ(r.days[1].figures.messages, 1);
    EXPECT_EQ(r.totals.messageCount, 3);
    const std::string text = renderText(r, 80, t("2026-10-26T12:00:00Z"), std::chrono::hours(1));
    EXPECT_EQ(text.rfind("Claude Code usage, test (2026-10-25 to 2026-10-26, local time)\n", 0), 0u) << text;
    EXPECT_NE(text.find("Day (local)"), std::string::npos) << text;
    EXPECT_EQ(nlohmann::json::parse(renderJson(r, "1"))["dayZone"], "local");
}

// Eleven days from Saturday 2026-11-28, day i with 2^i output tokens, so that
// each week's sum names its days: ISO weeks run Monday to Sunday, the other
// count Sunday to Saturday, and the weeks at the ends hold only the range's days.
TEST(TerminalReport, weeksSumTheirDaysFromEitherFirstDay)
{
    std::vector<DashboardMessage> messages;
    for (int i = 0; i < 11; ++i)
        messages.push_back({t("2026-11-28T12:00:00Z") + std::chrono::hours(24 * i), "a", "claude-opus-4-6", 0, std::int64_t{1} << i, 0, 0,
                            false, 0});
    const std::tuple<bool, std::vector<std::pair<std::string, std::int64_t>>> cases[] = {
        {false, {{"2026-W48", 0b11}, {"2026-W49", 0b111111100}, {"2026-W50", 0b11000000000}}},
        {true, {{"2026-11-22", 0b1}, {"2026-11-29", 0b11111110}, {"2026-12-06", 0b11100000000}}},
    };
    for (const auto& [sunday, expected] : cases) {
        SCOPED_TRACE(sunday ? "from Sunday" : "ISO weeks");
        Options options = days("2026-11-28T00:00:00Z", "2026-12-09T00:00:00Z", Grouping::week);
        options.weekStartsSunday = sunday;
        const Report r = build(messages, {}, std::nullopt, options);
        std::vector<std::pair<std::string, std::int64_t>> weeks;
        for (const Row& week : r.weeks)
            weeks.emplace_back(week.key, week.figures.output);
        EXPECT_EQ(weeks, expected);
        const std::string text = renderText(r, 0, t("2026-12-09T00:00:00Z"), {});
        EXPECT_NE(text.find("Week (UTC)"), std::string::npos) << text;
        EXPECT_NE(text.find(expected[1].first), std::string::npos) << text;
    }
    // A week belongs to the year of its Thursday.
    const std::tuple<const char*, const char*, const char*> keys[] = { // day, ISO week, Sunday
        {"2027-01-01", "2026-W53", "2026-12-27"}, {"2027-01-04", "2027-W01", "2027-01-03"}, {"2026-01-01", "2026-W01", "2025-12-28"},
        {"2020-12-31", "2020-W53", "2020-12-27"}, {"2021-01-03", "2020-W53", "2021-01-03"}};
    for (const auto& [day, iso, sunday] : keys) {
        EXPECT_EQ(weekKey(day, false), iso) << day;
        EXPECT_EQ(weekKey(day, true), sunday) << day;
    }
}

TEST(TerminalReport, wordsAndNumbersForPeople)
{
    const std::pair<double, const char*> amounts[] = {{0, "$0.00"},       {0.004, "$0.00"},          {0.421, "$0.42"},
                                                      {477, "$477.00"},   {1234.565, "$1,234.57"},    {1e6, "$1,000,000.00"}};
    for (const auto& [amount, text] : amounts)
        EXPECT_EQ(money(amount), text) << amount;
    const Instant now = t("2025-02-02T00:30:00Z");
    const std::tuple<const char*, int, const char*> moments[] = {
        {"2025-02-02T00:10:00Z", 0, "00:10 today"},          {"2025-02-01T23:50:00Z", 0, "23:50 yesterday"},
        {"2025-02-01T23:50:00Z", 1, "00:50 today"},           {"2025-02-02T00:10:00Z", -1, "23:10 today"},
        {"2025-01-29T08:00:00Z", 0, "2025-01-29 08:00"},
    };
    for (const auto& [at, hours, text] : moments)
        EXPECT_EQ(whenLocal(t(at), now, std::chrono::hours(hours)), text) << at << " " << hours;
    const std::tuple<const char*, const char*, const char*> paths[] = {
        {"/home/ada/work", "/home/ada", "~/work"}, {"/home/ada", "/home/ada", "~"}, {"/home/adam/x", "/home/ada", "/home/adam/x"},
        {"/srv/x", "/", "/srv/x"}};
    for (const auto& [path, home, text] : paths)
        EXPECT_EQ(homeShortened(path, home), text);
    EXPECT_EQ(TextTable::shorten("~/a/b/\u00e9cole", 6, TextTable::Shrink::keepEnd), "\u2026\u00e9cole");
}

} // namespace
} // namespace tallyglass
