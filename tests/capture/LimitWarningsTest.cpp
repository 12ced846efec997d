#include "capture/LimitWarnings.h"

#include "core/IsoTime.h"
#include "dashboard/LimitHistory.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

Instant t(const char* iso)
{
    return *IsoTime::parse(iso);
}

LimitReading fiveHour(const char* at, double used, const char* resets)
{
    return {t(at), used, t(resets), std::nullopt, std::nullopt};
}

using Texts = std::vector<std::string>;

// Readings in order, each with the warnings it must give; local time is UTC+1.
TEST(LimitWarnings, eachThresholdWarnsOncePerWindowForTheHighestOneCrossed)
{
    const auto utcPlusOne = [](Instant) { return std::chrono::seconds(3600); };
    LimitWarnings warnings({80, 95}, {}, utcPlusOne);
    const struct {
        LimitReading reading;
        Texts texts;
    } steps[] = {
        {fiveHour("2026-12-06T10:00:00Z", 0, "2026-12-06T15:40:00Z"), {}},
        {fiveHour("2026-12-06T10:05:00Z", 97.2, "2026-12-06T15:40:00Z"), {"5-hour limit at 97% \u2014 resets at 16:40"}}, // one jump: 80 spent too
        {fiveHour("2026-12-06T10:06:00Z", 98, "2026-12-06T15:40:01Z"), {}},  // the same window, its reset a second off
        {fiveHour("2026-12-06T10:04:00Z", 99, "2026-12-06T15:40:00Z"), {}},  // older than the last: nothing
        {fiveHour("2026-12-06T15:45:00Z", 3, "2026-12-06T20:45:00Z"), {"5-hour window reset \u2014 3% used"}},
        {fiveHour("2026-12-06T16:00:00Z", 82, "2026-12-06T20:45:00Z"), {"5-hour limit at 82% \u2014 resets at 21:45"}},
        {fiveHour("2026-12-06T16:01:00Z", 90, "2026-12-06T15:40:00Z"), {}}, // a reading of the window gone
        {fiveHour("2026-12-06T16:02:00Z", 94.9, "2026-12-06T20:45:00Z"), {}},
        {fiveHour("2026-12-06T16:03:00Z", 95, "2026-12-06T20:45:00Z"), {"5-hour limit at 95% \u2014 resets at 21:45"}},
    };
    for (const auto& step : steps)
        EXPECT_EQ(warnings.onReading(step.reading, step.reading.at), step.texts) << IsoTime::formatSeconds(step.reading.at);

    // A restart in the middle of the window: the state comes back, nothing is said twice.
    LimitWarnings restarted({80, 95}, LimitWarnings::State::parse(warnings.state().serialise()), utcPlusOne);
    EXPECT_EQ(restarted.state(), warnings.state());
    EXPECT_EQ(restarted.onReading(fiveHour("2026-12-06T17:00:00Z", 99, "2026-12-06T20:45:00Z"), t("2026-12-06T17:00:00Z")), Texts{});
    // The warned window's reset is said when it comes, even without a reading, once.
    EXPECT_EQ(restarted.nextTick(), t("2026-12-06T20:45:00Z"));
    EXPECT_EQ(restarted.onTick(t("2026-12-06T20:44:59Z")), Texts{});
    EXPECT_EQ(restarted.onTick(t("2026-12-06T20:45:00Z")), Texts{"5-hour window reset \u2014 0% used"});
    EXPECT_EQ(restarted.onTick(t("2026-12-06T21:00:00Z")), Texts{});
    EXPECT_EQ(restarted.onReading(fiveHour("2026-12-06T21:00:00Z", 1, "2026-12-07T02:00:00Z"), t("2026-12-06T21:00:00Z")), Texts{});
    // Back after a long pause: a reset of hours ago is old news, said no more.
    LimitWarnings later({80, 95}, {}, utcPlusOne);
    later.onReading(fiveHour("2026-12-07T00:00:00Z", 90, "2026-12-07T02:00:00Z"), t("2026-12-07T00:00:00Z"));
    EXPECT_EQ(later.onTick(t("2026-12-07T05:00:00Z")), Texts{});
    EXPECT_EQ(later.nextTick(), std::nullopt);
}

TEST(LimitWarnings, windowsAlreadyOverAndSevenDayWindows)
{
    // A zone that moves its clocks between now and the reset: the text says the time at the reset.
    LimitWarnings warnings({80, 95}, {}, [](Instant at) {
        return std::chrono::seconds(at < *IsoTime::parse("2026-12-08T00:00:00Z") ? -5 * 3600 : -4 * 3600);
    });
    // A window whose reset time has passed (a late or replayed reading) never warns.
    EXPECT_EQ(warnings.onReading(fiveHour("2026-12-06T10:00:00Z", 99, "2026-12-06T09:00:00Z"), t("2026-12-06T10:00:00Z")), Texts{});
    const LimitReading week{t("2026-12-06T10:00:00Z"), std::nullopt, std::nullopt, 81.5, t("2026-12-09T15:00:00Z")};
    EXPECT_EQ(warnings.onReading(week, t("2026-12-06T10:00:00Z")), Texts{"7-day limit at 81% \u2014 resets Wed 11:00"});
    EXPECT_EQ(LimitWarnings::State::parse("not json"), LimitWarnings::State{});
    EXPECT_EQ(LimitWarnings::State::parse(R"({"fiveHour":{"warned":1,"spent":"80","resetsAt":5}})"), LimitWarnings::State{});
}

TEST(LimitHistory, readingsMakeWindowsWithTheirPeaks)
{
    const std::vector<LimitReading> readings = {
        fiveHour("2026-12-05T08:00:00Z", 20, "2026-12-05T12:00:00Z"),
        fiveHour("2026-12-05T09:00:00Z", 100, "2026-12-05T12:00:01Z"), // the same window
        fiveHour("2026-12-05T11:00:00Z", 60, "2026-12-05T12:00:00Z"),
        fiveHour("2026-12-06T10:00:00Z", 35, "2026-12-06T14:00:00Z"),
        {t("2026-12-06T10:00:00Z"), std::nullopt, std::nullopt, 40, t("2026-12-09T00:00:00Z")},
    };
    const auto windows = LimitHistory::fiveHourWindows(readings, t("2026-12-05T00:00:00Z"), t("2026-12-07T00:00:00Z"));
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(windows[0], (LimitHistory::WindowPeak{t("2026-12-05T07:00:01Z"), t("2026-12-05T12:00:01Z"), 100, true}));
    EXPECT_EQ(windows[1].peak, 35);
    EXPECT_FALSE(windows[1].reached);
    EXPECT_EQ(LimitHistory::fiveHourWindows(readings, t("2026-12-06T00:00:00Z"), t("2026-12-07T00:00:00Z")).size(), 1u);
    const auto week = LimitHistory::sevenDayWindows(readings, t("2026-12-05T00:00:00Z"), t("2026-12-07T00:00:00Z"));
    ASSERT_EQ(week.size(), 1u);
    EXPECT_EQ(week[0].start, t("2026-12-02T00:00:00Z"));
}

} // namespace
} // namespace tallyglass
