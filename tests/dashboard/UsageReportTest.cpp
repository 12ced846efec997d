#include "dashboard/UsageReport.h"

#include "core/IsoTime.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace tallyglass {
namespace {

Instant t(const char* iso)
{
    return *IsoTime::parse(iso);
}

TEST(UsageReport, numbersForPeople)
{
    const std::pair<std::int64_t, const char*> tokens[] = {{0, "0"}, {999, "999"}, {1000, "1.0k"}, {12345, "12.3k"},
                                                           {999'949, "999.9k"}, {1'000'000, "1.0M"}, {4'560'000, "4.6M"}};
    for (const auto& [value, text] : tokens)
        EXPECT_EQ(UsageReport::shortTokens(value), text);
    const std::pair<double, const char*> money[] = {{0, "$0.00"}, {0.421, "$0.42"}, {99.994, "$99.99"}, {100, "$100"},
                                                    {123.6, "$124"}, {1000, "$1.0k"}, {12345, "$12.3k"}};
    for (const auto& [value, text] : money)
        EXPECT_EQ(UsageReport::dollars(value), text);
}

TEST(UsageReport, coversTheLastDaysThatHaveDataWithModelsDaysSessionsAndLimits)
{
    const std::vector<DashboardMessage> messages = {
        {t("2025-01-01T10:00:00Z"), "old", "claude-opus-4-6", 1000, 1000, 0, 0, false, 9.0},   // outside 7 days
        {t("2025-01-10T10:00:00Z"), "a", "claude-opus-4-6", 100, 200, 300, 400, false, 0.5},
        {t("2025-01-12T23:59:59Z"), "b", "claude-sonnet-4-6-20260101", 10, 20, 30, 40, true, 0.25},
        {t("2025-01-12T08:00:00Z"), "a", "", 0, 0, 0, 0, false, 0.0},
    };
    const UsageLimits limits{42.7, t("2025-01-13T15:00:00Z"), 12.0, t("2025-01-18T00:00:00Z"), t("2025-01-13T10:00:00Z")};
    const auto report = UsageReport::build(messages, limits, 7, t("2025-01-15T09:00:00Z"));
    ASSERT_TRUE(report);
    EXPECT_EQ(report->from, t("2025-01-09T00:00:00Z"));
    EXPECT_EQ(report->to, t("2025-01-13T00:00:00Z"));
    EXPECT_EQ(report->totals, (Totals{110, 220, 330, 440, 3, 2, 0.75}));
    EXPECT_EQ(report->models, (std::vector<UsageReport::ModelRow>{{"Opus 4.6", 100, 200, 300, 400, 0.5},
                                                                  {"Sonnet 4.6", 10, 20, 30, 40, 0.25}}));
    EXPECT_EQ(report->outputPerDay, (std::vector<UsageReport::DayRow>{{t("2025-01-10T00:00:00Z"), 200},
                                                                      {t("2025-01-11T00:00:00Z"), 0},
                                                                      {t("2025-01-12T00:00:00Z"), 20}}));
    ASSERT_EQ(report->sessions.size(), 2u);
    EXPECT_EQ(report->sessions[0].sessionId, "b");

    const std::string text = UsageReport::renderText(*report);
    for (const char* expected : {"last 7 days (2025-01-09 to 2025-01-12, UTC)", "Cost            $0.75",
                                 "Messages        3 in 2 sessions", "Opus 4.6", "2025-01-11        0",
                                 "Five-hour window  42%  (resets 2025-01-13 15:00 UTC)", "Seven-day window  12%"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;

    const auto json = nlohmann::json::parse(UsageReport::renderJson(*report));
    EXPECT_EQ(json["totals"]["costUSD"], 0.75);
    EXPECT_EQ(json["models"][1]["model"], "Sonnet 4.6");
    EXPECT_EQ(json["outputPerDay"].size(), 3u);
    EXPECT_EQ(json["limits"]["fiveHourUtilization"], 42.7);
    EXPECT_EQ(json["sessions"][0]["latest"], "2025-01-12T23:59:59Z");
}

TEST(UsageReport, noMessagesNoReportAndManySessionsShowTen)
{
    EXPECT_FALSE(UsageReport::build({}, std::nullopt, 7, t("2025-01-15T09:00:00Z")));
    std::vector<DashboardMessage> messages;
    for (int i = 0; i < 25; ++i)
        messages.push_back({t("2025-01-15T08:00:00Z") + std::chrono::seconds(i), "s" + std::to_string(i), "m", 1, 1, 0, 0, false, 0});
    const auto report = UsageReport::build(messages, std::nullopt, 1, t("2025-01-15T09:00:00Z"));
    ASSERT_EQ(report->sessions.size(), 10u);
    EXPECT_EQ(report->sessions[0].sessionId, "s24");
    EXPECT_EQ(nlohmann::json::parse(UsageReport::renderJson(*report))["limits"], nullptr);
}

} // namespace
} // namespace tallyglass
