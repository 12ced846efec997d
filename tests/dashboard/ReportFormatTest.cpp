#include "dashboard/ReportFormat.h"

#include "core/IsoTime.h"

#include "support/TimeZone.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using namespace ReportFormat;

TEST(ReportFormat, numbersAreWrittenAsThePanelsShowThem)
{
    const std::pair<std::int64_t, const char*> tokens[] = {{999, "999"}, {1000, "1.0k"}, {1234, "1.2k"}, {999'999, "1000.0k"}, {1'000'000, "1.0M"}};
    for (const auto& [count, text] : tokens)
        EXPECT_EQ(fmt(count), text) << count;
    const std::pair<double, const char*> dollars[] = {{0.4567, "$0.46"}, {99.994, "$99.99"}, {123.4, "$123"}, {1500, "$1.5k"}};
    for (const auto& [amount, text] : dollars)
        EXPECT_EQ(fmtUSD(amount), text) << amount;
    const std::pair<std::int64_t, const char*> sessions[] = {{999, "999"}, {1000, "1.0k"}, {2'500'000, "2500.0k"}};
    for (const auto& [count, text] : sessions)
        EXPECT_EQ(sessionTokens(count), text) << count;
    EXPECT_EQ(dayLabel(*IsoTime::parse("2025-01-05T00:00:00Z"), DayClock::utc()), "Jan 5, 2025");
    const test::TimeZone kiritimati("Pacific/Kiritimati"); // local midnight is 10:00 UTC the day before
    EXPECT_EQ(dayLabel(*IsoTime::parse("2025-01-04T10:00:00Z"), DayClock::local()), "Jan 5, 2025");
    EXPECT_EQ(heatHelp(7, 1234), "7:00 \u2014 1234 tokens");
}

TEST(ReportFormat, gaugesClampTheirBarAndSayWhenThereIsNoReading)
{
    EXPECT_EQ(gaugeValue(120.0), "120%");
    EXPECT_EQ(gaugeFill(120.0), 1.0);
    EXPECT_EQ(gaugeValue(62.4), "62%");
    EXPECT_DOUBLE_EQ(gaugeFill(62.4), 0.624);
    EXPECT_EQ(gaugeFill(-3.0), 0.0);
    EXPECT_EQ(gaugeValue(std::nullopt), "\u2014");
    EXPECT_EQ(gaugeFill(std::nullopt), 0.0);
}

TEST(ReportFormat, heatAndBarsScaleAgainstTheLargest)
{
    EXPECT_DOUBLE_EQ(heatOpacity(1, 1), 1.0);   // the only busy hour, at full strength
    EXPECT_DOUBLE_EQ(heatOpacity(0, 1), 0.1);   // every other one faint
    EXPECT_DOUBLE_EQ(heatOpacity(50, 100), 0.55);
    EXPECT_DOUBLE_EQ(heatOpacity(0, 0), 0.1);   // nothing at all: no division by zero
    const std::vector<ModelTokenRow> rows = {{"Opus 4.6", 600, 400}, {"Sonnet 4.6", 250, 250}, {"Haiku 4.5", 0, 1}};
    EXPECT_EQ(barLengths(rows, 200), (std::vector<double>{200, 100, 2})); // never shorter than 2
}

} // namespace
} // namespace tallyglass
