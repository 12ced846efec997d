#include "capture/LimitPace.h"

#include "support/Instants.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using test::fiveHour;
using test::t;

// The window's readings as they arrived, with the pace worked out by hand: the
// least-squares slope in points an hour, the latest value carried on at that
// slope to the reset (held to 0...1000), and when that line crosses 100%.
TEST(LimitPace, theSlopeOfTheWindowsReadingsProjectsToTheReset)
{
    const char* reset = "2026-12-06T13:00:00Z";
    const struct {
        const char* name;
        std::vector<LimitReading> readings;
        std::optional<LimitPace::Projection> pace;
    } cases[] = {
        {"steady",
         {fiveHour("2026-12-06T10:00:00Z", 20, reset), fiveHour("2026-12-06T10:30:00Z", 35, reset), fiveHour("2026-12-06T11:00:00Z", 50, reset)},
         LimitPace::Projection{50, t(reset), 30, 110, t("2026-12-06T12:40:00Z")}},
        {"flat", {fiveHour("2026-12-06T10:00:00Z", 40, reset), fiveHour("2026-12-06T11:00:00Z", 40, reset)},
         LimitPace::Projection{40, t(reset), 0, 40, std::nullopt}},
        {"slow: 100% only after the reset", {fiveHour("2026-12-06T10:00:00Z", 20, reset), fiveHour("2026-12-06T11:00:00Z", 30, reset)},
         LimitPace::Projection{30, t(reset), 10, 50, std::nullopt}},
        {"falling: held at 0", {fiveHour("2026-12-06T10:00:00Z", 60, reset), fiveHour("2026-12-06T10:30:00Z", 45, reset)},
         LimitPace::Projection{45, t(reset), -30, 0, std::nullopt}},
        {"steep: held at 1000, and already at 100% it reaches nothing",
         {fiveHour("2026-12-06T10:00:00Z", 0, reset), fiveHour("2026-12-06T10:05:00Z", 100, reset)},
         LimitPace::Projection{100, t(reset), 1200, 1000, std::nullopt}},
        {"a single reading", {fiveHour("2026-12-06T10:00:00Z", 60, reset)}, std::nullopt},
        {"less than 5 minutes apart", {fiveHour("2026-12-06T10:00:00Z", 60, reset), fiveHour("2026-12-06T10:04:59Z", 70, reset)},
         std::nullopt},
        {"5 minutes apart", {fiveHour("2026-12-06T10:00:00Z", 60, reset), fiveHour("2026-12-06T10:05:00Z", 70, reset)},
         LimitPace::Projection{70, t(reset), 120, 420, t("2026-12-06T10:20:00Z")}},
        // The old window's readings (and one more whose reset is a second off) say nothing of the new one's pace.
        {"across a reset",
         {fiveHour("2026-12-06T07:00:00Z", 80, "2026-12-06T08:20:00Z"), fiveHour("2026-12-06T08:10:00Z", 99, "2026-12-06T08:20:01Z"),
          fiveHour("2026-12-06T08:25:00Z", 2, reset), fiveHour("2026-12-06T08:40:00Z", 8, "2026-12-06T13:00:01Z")},
         LimitPace::Projection{8, t("2026-12-06T13:00:01Z"), 24, 8 + 24 * (4 * 3600 + 20 * 60 + 1) / 3600.0, t("2026-12-06T12:30:00Z")}},
        {"the window is over", {fiveHour("2026-12-06T08:00:00Z", 10, "2026-12-06T08:40:00Z"), fiveHour("2026-12-06T08:30:00Z", 20, "2026-12-06T08:40:00Z")},
         std::nullopt},
    };
    const Instant now = t("2026-12-06T08:45:00Z");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto pace = LimitPace::current(c.readings, std::nullopt, LimitPace::Kind::fiveHour, now);
        ASSERT_EQ(pace.has_value(), c.pace.has_value());
        if (!pace)
            continue;
        EXPECT_NEAR(pace->perHour, c.pace->perHour, 1e-9);
        EXPECT_NEAR(pace->projectedAtReset, c.pace->projectedAtReset, 1e-9);
        EXPECT_EQ(pace->utilization, c.pace->utilization);
        EXPECT_EQ(pace->resetsAt, c.pace->resetsAt);
        EXPECT_EQ(pace->reachesLimitAt, c.pace->reachesLimitAt);
        EXPECT_EQ(LimitPace::current(c.readings, std::nullopt, LimitPace::Kind::sevenDay, now), std::nullopt);
    }
}

// Readings are kept only when a value changes; the current row says how long the
// last value held, so a burst followed by a pause is not taken for the pace.
TEST(LimitPace, theCurrentRowCountsAsTheLatestReading)
{
    const std::vector<LimitReading> readings = {fiveHour("2026-12-06T10:00:00Z", 10, "2026-12-06T14:00:00Z"),
                                                fiveHour("2026-12-06T10:10:00Z", 20, "2026-12-06T14:00:00Z")};
    const UsageLimits row{20, t("2026-12-06T14:00:00Z"), 35, t("2026-12-10T00:00:00Z"), t("2026-12-06T12:00:00Z")};
    const Instant now = t("2026-12-06T12:00:00Z");
    const auto burst = LimitPace::current(readings, std::nullopt, LimitPace::Kind::fiveHour, now);
    ASSERT_TRUE(burst);
    EXPECT_NEAR(burst->perHour, 60, 1e-9);
    // By hand: hours 0, 1/6, 2 against 10, 20, 20.
    const auto held = LimitPace::current(readings, row, LimitPace::Kind::fiveHour, now);
    ASSERT_TRUE(held);
    EXPECT_NEAR(held->perHour, 7.2222 / 2.4630, 1e-3);
    EXPECT_EQ(held->reachesLimitAt, std::nullopt);
    // The row alone is one reading: no pace for the seven-day window yet.
    EXPECT_EQ(LimitPace::current(readings, row, LimitPace::Kind::sevenDay, now), std::nullopt);
}

TEST(LimitPace, textsSayTheProjectionInLocalTimeAndWholeMinutes)
{
    using namespace std::chrono;
    const auto utcPlusOne = [](Instant) { return seconds(3600); };
    const struct {
        seconds span;
        const char* text;
    } durations[] = {{seconds(0), "0 min"}, {seconds(59), "0 min"}, {minutes(45), "45 min"}, {hours(2), "2 hr"},
                     {minutes(80) + seconds(59), "1 hr 20 min"}, {hours(24), "1 day"}, {hours(50) + minutes(10), "2 days 2 hr"}};
    for (const auto& d : durations)
        EXPECT_EQ(LimitPace::duration(d.span), d.text);
    const LimitPace::Projection reaching{60, t("2026-12-06T16:00:00Z"), 30.3, 151, t("2026-12-06T14:40:00Z")};
    EXPECT_EQ(LimitPace::summary(reaching, LimitPace::Kind::fiveHour, utcPlusOne),
              "At this pace: 100% at 15:40, 1 hr 20 min before the reset");
    EXPECT_EQ(LimitPace::summary(reaching, LimitPace::Kind::sevenDay, utcPlusOne),
              "At this pace: 100% at Sun 15:40, 1 hr 20 min before the reset");
    EXPECT_EQ(LimitPace::summary({60, t("2026-12-06T16:00:00Z"), 5, 74.9, std::nullopt}, LimitPace::Kind::fiveHour, utcPlusOne),
              "At this pace: 74% at the reset");
}

} // namespace
} // namespace tallyglass
