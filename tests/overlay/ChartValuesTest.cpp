#include "overlay/ChartValues.h"

#include "support/Instants.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using namespace ChartValues;

using test::t;

const Instant anchor = t("2025-01-15T15:00:00Z");

MessageRow row(const char* iso, const char* model, std::int64_t input, std::int64_t output)
{
    return {t(iso), std::string(model), input, output};
}

// A window from 10:00 to 15:00 with three models, one slot holding two.
UsageState fullWindow(std::optional<double> utilization)
{
    return UsageState::full(anchor, utilization,
                            {row("2025-01-15T10:05:00Z", "claude-opus-4-6", 1000, 2000),
                             row("2025-01-15T10:07:00Z", "claude-haiku-4-5", 500, 500),
                             row("2025-01-15T14:57:00Z", "claude-sonnet-4-6", 1500, 3000)});
}

TEST(ChartValues, theCumulativeLineRunsThroughEveryFiveMinutesAndEndsAtTheUtilisation)
{
    const auto series = cumulativeSeries(fullWindow(40));
    ASSERT_EQ(series.size(), 60u);
    EXPECT_EQ(series[0], (SeriesPoint{0, 3.0}));     // up to 10:05: 3,000 tokens
    EXPECT_EQ(series[1], (SeriesPoint{1, 4.0}));     // 10:07: 1,000 more
    EXPECT_EQ(series[58], (SeriesPoint{58, 4.0}));   // the quiet slots carry the sum on
    EXPECT_EQ(series[59], (SeriesPoint{59, 8.5}));   // 14:57: 4,500 more
    const auto percent = cumulativePercentSeries(fullWindow(40));
    ASSERT_TRUE(percent);
    EXPECT_DOUBLE_EQ((*percent)[1].value, 4.0 / 8.5 * 40);
    EXPECT_DOUBLE_EQ(percent->back().value, 40);
    // Nothing stored yet: no anchor, so no points rather than sixty zeros.
    EXPECT_TRUE(cumulativeSeries(UsageState{}).empty());
    // Only a full window with a utilisation has one; zero tokens put every point at 0.
    EXPECT_FALSE(cumulativePercentSeries(fullWindow(std::nullopt)));
    EXPECT_FALSE(cumulativePercentSeries(UsageState::partial(anchor, fullWindow(40).rows)));
    const auto silent = cumulativePercentSeries(UsageState::full(anchor, 55, {row("2025-01-15T11:00:00Z", "claude-opus-4-6", 0, 0)}));
    ASSERT_EQ(silent->size(), 60u);
    for (const auto& point : *silent)
        EXPECT_EQ(point.value, 0);
}

TEST(ChartValues, legendTotalsAndSlotStatsFollowThePresentationOrder)
{
    const auto segments = barSegments(fullWindow(40));
    EXPECT_EQ(chartDomain(segments), (std::vector<std::string>{"Haiku 4.5", "Sonnet 4.6", "Opus 4.6"}));
    EXPECT_EQ(modelTotals(segments), (std::vector<ModelTotal>{{"Haiku 4.5", 500, 500}, {"Sonnet 4.6", 1500, 3000},
                                                              {"Opus 4.6", 1000, 2000}}));
    EXPECT_EQ(bucketStats(segments, 0), (std::vector<ModelTotal>{{"Haiku 4.5", 500, 500}, {"Opus 4.6", 1000, 2000}}));
    EXPECT_TRUE(bucketStats(segments, 5).empty());
}

TEST(ChartValues, sessionPercentTextAndColour)
{
    struct Case {
        std::optional<double> utilization;
        const char* text;
        PercentColor color;
    };
    const Case cases[] = {
        {42.9, "42%", PercentColor::green}, {49.99, "49%", PercentColor::green}, {50, "50%", PercentColor::yellow},
        {79.9, "79%", PercentColor::yellow}, {80, "80%", PercentColor::red},      {130, "130%", PercentColor::red},
        {std::nullopt, "\u2014", PercentColor::neutral},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(sessionPercentText(fullWindow(c.utilization)), c.text);
        EXPECT_EQ(sessionPercentColor(fullWindow(c.utilization)), c.color);
    }
    // Without a known reset the utilisation is not the window's.
    EXPECT_EQ(sessionPercentText(UsageState::partial(anchor, {})), "\u2014");
}

TEST(ChartValues, resetCountdownAndTheExpiredWindowPrompt)
{
    struct Case {
        double secondsLeft;
        const char* text;
        bool prompt;
    };
    const Case cases[] = {{7199.5, "1hr 59m", false}, {7500, "2hr 5m", false}, {59, "0hr 0m", false},
                          {0, "0hr 0m", false},       {-1, "0hr 0m", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.secondsLeft);
        const Instant now = anchor - std::chrono::microseconds(static_cast<std::int64_t>(c.secondsLeft * 1e6));
        EXPECT_EQ(resetCountdownText(fullWindow(10), now), c.text);
        EXPECT_EQ(shouldPromptTrigger(fullWindow(10), now), c.prompt);
    }
    EXPECT_EQ(resetCountdownText(UsageState::partial(anchor, {}), anchor), "\u2014");
    EXPECT_FALSE(shouldPromptTrigger(UsageState::partial(anchor, {}), anchor + std::chrono::hours(1)));
    EXPECT_FALSE(shouldPromptTrigger(UsageState{}, anchor + std::chrono::hours(1))); // a fresh install: nothing has expired
}

TEST(ChartValues, tokensInWholeThousands)
{
    const std::pair<std::int64_t, const char*> cases[] = {{0, "0"}, {999, "999"}, {1999, "1k"}, {25'400, "25k"}, {3'200'000, "3200k"}};
    for (const auto& [tokens, text] : cases)
        EXPECT_EQ(formatTokens(tokens), text);
}

} // namespace
} // namespace tallyglass
