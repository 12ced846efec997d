#include "capture/LimitWarnings.h"

#include "support/Instants.h"
#include "dashboard/LimitHistory.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using test::fiveHour;
using test::t;

using Texts = std::vector<std::string>;

// Readings in order, each with the warnings it must give; local time is UTC+1.
TEST(LimitWarnings, eachThresholdWarnsOncePerWindowForTheHighestOneCrossed)
{
    const auto utcPlusOne = [](Instant) { return std::chrono::seconds(3600); };
    LimitWarnings warnings({80, 95}, {}, utcPlusOne);
    warnings.setPaceEnabled(false); // the thresholds alone; the pace has its own test
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
        return std::chrono::seconds(at < t("2026-12-08T00:00:00Z") ? -5 * 3600 : -4 * 3600);
    });
    // A window whose reset time has passed (a late or replayed reading) never warns.
    EXPECT_EQ(warnings.onReading(fiveHour("2026-12-06T10:00:00Z", 99, "2026-12-06T09:00:00Z"), t("2026-12-06T10:00:00Z")), Texts{});
    const LimitReading week{t("2026-12-06T10:00:00Z"), std::nullopt, std::nullopt, 81.5, t("2026-12-09T15:00:00Z")};
    EXPECT_EQ(warnings.onReading(week, t("2026-12-06T10:00:00Z")), Texts{"7-day limit at 81% \u2014 resets Wed 11:00"});
    EXPECT_EQ(LimitWarnings::State::parse("not json"), LimitWarnings::State{});
    EXPECT_EQ(LimitWarnings::State::parse(R"({"fiveHour":{"warned":1,"spent":"80","resetsAt":5}})"), LimitWarnings::State{});
}

// The pace warning: once a window, from 50% used, when the readings' pace
// reaches 100% at least 30 minutes before the reset; kept across a restart.
TEST(LimitWarnings, thePaceWarnsOncePerWindowWithMarginAndFromHalfUsed)
{
    const auto utcPlusOne = [](Instant) { return std::chrono::seconds(3600); };
    const struct {
        const char* name;
        std::vector<LimitReading> readings;
        bool paceEnabled;
        Texts last; // what the last reading says
    } cases[] = {
        {"reaches 100% 4 hr 20 min early",
         {fiveHour("2026-12-06T10:00:00Z", 40, "2026-12-06T15:00:00Z"), fiveHour("2026-12-06T10:10:00Z", 55, "2026-12-06T15:00:00Z")},
         true, {"5-hour limit: at this pace 100% at 11:40, 4 hr 20 min before it resets"}},
        {"switched off",
         {fiveHour("2026-12-06T10:00:00Z", 40, "2026-12-06T15:00:00Z"), fiveHour("2026-12-06T10:10:00Z", 55, "2026-12-06T15:00:00Z")},
         false, {}},
        {"under 50%",
         {fiveHour("2026-12-06T10:00:00Z", 10, "2026-12-06T15:00:00Z"), fiveHour("2026-12-06T10:10:00Z", 45, "2026-12-06T15:00:00Z")},
         true, {}},
        {"20 minutes of margin",
         {fiveHour("2026-12-06T10:00:00Z", 60, "2026-12-06T11:40:00Z"), fiveHour("2026-12-06T10:20:00Z", 70, "2026-12-06T11:40:00Z")},
         true, {}},
        // By hand: minutes 0, 20, 25 against 60, 70, 75 give 4/7 a minute; 25 points more take 43.75 minutes.
        {"a later reading brings the margin to 31 minutes",
         {fiveHour("2026-12-06T10:00:00Z", 60, "2026-12-06T11:40:00Z"), fiveHour("2026-12-06T10:20:00Z", 70, "2026-12-06T11:40:00Z"),
          fiveHour("2026-12-06T10:25:00Z", 75, "2026-12-06T11:40:00Z")},
         true, {"5-hour limit: at this pace 100% at 12:08, 31 min before it resets"}},
        {"the previous window's readings do not count",
         {fiveHour("2026-12-06T09:50:00Z", 10, "2026-12-06T10:00:00Z"), fiveHour("2026-12-06T10:02:00Z", 60, "2026-12-06T15:00:00Z")},
         true, {}},
        {"seven days",
         {{t("2026-12-06T10:00:00Z"), std::nullopt, std::nullopt, 50, t("2026-12-09T15:00:00Z")},
          {t("2026-12-06T12:00:00Z"), std::nullopt, std::nullopt, 52, t("2026-12-09T15:00:00Z")}},
         true, {"7-day limit: at this pace 100% at Tue 13:00, 1 day 3 hr before it resets"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LimitWarnings warnings({100}, {}, utcPlusOne);
        warnings.setPaceEnabled(c.paceEnabled);
        Texts said;
        for (const LimitReading& r : c.readings)
            said = warnings.onReading(r, r.at);
        EXPECT_EQ(said, c.last);
        if (c.last.empty())
            continue;
        // Said once: neither the next reading nor a restart with the stored readings says it again.
        const LimitReading next = {c.readings.back().at + std::chrono::minutes(5), c.readings.back().fiveHour.value_or(0) ? std::optional<double>(99) : std::nullopt,
                                   c.readings.back().fiveHourResetsAt, c.readings.back().sevenDay ? std::optional<double>(99) : std::nullopt,
                                   c.readings.back().sevenDayResetsAt};
        LimitWarnings restarted({100}, LimitWarnings::State::parse(warnings.state().serialise()), utcPlusOne);
        restarted.remember(c.readings);
        EXPECT_EQ(restarted.onReading(next, next.at), Texts{});
        EXPECT_EQ(warnings.onReading(next, next.at), Texts{});
    }
}

// After a restart the stored readings carry the pace on: one new reading is enough.
TEST(LimitWarnings, theStoredReadingsCarryThePaceAcrossARestart)
{
    const char* reset = "2026-12-06T15:00:00Z";
    LimitWarnings before({100}, {}, {});
    before.onReading(fiveHour("2026-12-06T10:00:00Z", 30, reset), t("2026-12-06T10:00:00Z"));
    LimitWarnings restarted({100}, LimitWarnings::State::parse(before.state().serialise()), {});
    restarted.remember({fiveHour("2026-12-06T10:00:00Z", 30, reset)});
    EXPECT_EQ(restarted.onReading(fiveHour("2026-12-06T10:30:00Z", 60, reset), t("2026-12-06T10:30:00Z")),
              Texts{"5-hour limit: at this pace 100% at 11:10, 3 hr 50 min before it resets"});
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
