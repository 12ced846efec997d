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
    EXPECT_EQ(report->models, (std::vector<UsageReport::ModelRow>{{"Opus 4.6", 100, 200, 300, 400, 0.5, true},
                                                                  {"Sonnet 4.6", 10, 20, 30, 40, 0.25, true}}));
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

// A model the price list does not know costs nothing in the figures, so the
// report says so instead of showing $0.00 as if it were the price.
TEST(UsageReport, modelsWithoutAPriceAreShownAsSuchAndCounted)
{
    std::vector<DashboardMessage> messages = {
        {t("2025-01-15T08:00:00Z"), "a", "claude-opus-4-6", 100, 200, 0, 0, false, 0.5},
        {t("2025-01-15T08:01:00Z"), "a", "claude-fable-5-1", 1000, 2000, 0, 0, false, 0},
        {t("2025-01-15T08:02:00Z"), "a", "gpt-4o", 1, 0, 0, 0, false, 0},
        {t("2025-01-15T08:03:00Z"), "a", "claude-opus-4-9", 10, 10, 0, 0, false, 0},
        {t("2025-01-15T08:04:00Z"), "a", "", 0, 0, 0, 0, false, 0}, // no tokens: nothing went unpriced
    };
    for (int i = 0; i < 1233; ++i)
        messages.push_back({t("2025-01-15T07:00:00Z"), "b", "gpt-4o", 1, 1, 0, 0, false, 0});
    const auto report = UsageReport::build(messages, std::nullopt, 1, t("2025-01-15T09:00:00Z"));
    ASSERT_TRUE(report);
    EXPECT_EQ(report->unpriced, (std::vector<UnpricedModel>{{"gpt-4o", 1234}, {"claude-fable-5-1", 1}, {"claude-opus-4-9", 1}}));
    const std::string text = UsageReport::renderText(*report);
    EXPECT_NE(text.find("3 models not priced: 1,236 messages"), std::string::npos) << text;
    EXPECT_NE(text.find("Opus 4.9                    10        10            0           0         \u2014"), std::string::npos) << text;
    const auto json = nlohmann::json::parse(UsageReport::renderJson(*report));
    EXPECT_EQ(json["unpriced"][0], (nlohmann::json{{"model", "gpt-4o"}, {"messages", 1234}}));
    for (const auto& model : json["models"])
        EXPECT_EQ(model["costUSD"].is_null(), model["model"] != "Opus 4.6") << model;
    EXPECT_EQ(unpricedNote({{"x", 1}}), "1 model not priced: 1 message");
    EXPECT_EQ(unpricedNote({}), "");
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
