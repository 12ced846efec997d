#include "core/DayClock.h"

#include "support/Instants.h"
#include "support/TimeZone.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using test::t;

// Days in a zone that moves its clocks, and in one far from UTC: each moment in
// exactly one day, the day of a change 23 or 25 hours long.
TEST(DayClock, localDaysFollowTheZoneThroughItsClockChanges)
{
    struct Case {
        const char* zone;
        const char* moment;
        const char* dayStart;
        const char* nextDay;
        const char* key;
        int hour;
    };
    const Case cases[] = {
        {"Europe/Berlin", "2026-03-29T12:00:00Z", "2026-03-28T23:00:00Z", "2026-03-29T22:00:00Z", "2026-03-29", 14}, // 23 hours
        {"Europe/Berlin", "2026-10-25T12:00:00Z", "2026-10-24T22:00:00Z", "2026-10-25T23:00:00Z", "2026-10-25", 13}, // 25 hours
        {"Europe/Berlin", "2026-12-06T23:30:00Z", "2026-12-06T23:00:00Z", "2026-12-07T23:00:00Z", "2026-12-07", 0},  // an evening in UTC
        {"Pacific/Kiritimati", "2026-12-06T09:59:59Z", "2026-12-05T10:00:00Z", "2026-12-06T10:00:00Z", "2026-12-06", 23},
        {"Pacific/Kiritimati", "2026-12-06T10:00:00Z", "2026-12-06T10:00:00Z", "2026-12-07T10:00:00Z", "2026-12-07", 0},
    };
    for (const Case& c : cases) {
        const test::TimeZone zone(c.zone);
        const DayClock clock = DayClock::local();
        SCOPED_TRACE(std::string(c.zone) + " " + c.moment);
        const Instant start = clock.startOfDay(t(c.moment));
        EXPECT_EQ(start, t(c.dayStart));
        EXPECT_EQ(clock.nextDay(start), t(c.nextDay));
        EXPECT_EQ(clock.dayKey(t(c.moment)), c.key);
        EXPECT_EQ(clock.hourOfDay(t(c.moment)), c.hour);
        EXPECT_EQ(clock.startOfDay(clock.nextDay(start) - std::chrono::microseconds(1)), start); // no gap between days
    }
    const test::TimeZone berlin("Europe/Berlin");
    const DayClock clock = DayClock::local();
    EXPECT_EQ(clock.addDays(t("2026-03-30T10:00:00Z"), -2), t("2026-03-27T23:00:00Z")); // across the change
    EXPECT_EQ(clock.dateStart(2026, 10, 25), t("2026-10-24T22:00:00Z"));
    EXPECT_EQ(clock.minute(t("2026-10-25T00:30:00Z")), "2026-10-25 02:30");
    EXPECT_EQ(DayClock::utc().dayKey(t("2026-12-06T23:30:00Z")), "2026-12-06");
}

// Across a year, in zones whose midnight is skipped or comes twice, whose
// clocks move by an hour or by half of one, or that sit half an hour off UTC:
// every moment lies in its day, each day ends where the next begins, and the
// locator (which keeps an answer for the hour it holds) agrees with the zone.
TEST(DayClock, everyMomentLiesInItsDayAndTheLocatorAgreesWithTheZone)
{
    for (const char* name : {"America/Havana", "America/Santiago", "Europe/Berlin", "Australia/Lord_Howe", "Asia/Kolkata",
                             "Pacific/Kiritimati", "UTC"}) {
        const test::TimeZone zone(name);
        for (const DayClock& clock : {DayClock::local(), DayClock::utc()}) {
            DayLocator locate(clock);
            int failures = 0;
            // Each step looks half an hour back too: the history is not always in time order.
            for (Instant step = t("2026-01-01T00:00:00Z"); step < t("2027-01-01T00:00:00Z") && failures < 3; step += std::chrono::seconds(1019)) {
                for (const Instant at : {step, step - std::chrono::minutes(31)}) {
                    const Instant start = clock.startOfDay(at);
                    const Instant next = clock.nextDay(start);
                    const auto [day, hour] = locate(at);
                    if (!(start <= at && at < next && clock.startOfDay(next) == next) || locate.dayStart(day) != start
                        || hour != clock.hourOfDay(at)) {
                        ++failures;
                        ADD_FAILURE() << name << (clock.isLocal() ? " local" : " UTC") << " at " << IsoTime::formatSeconds(at) << ": day "
                                      << IsoTime::formatSeconds(start) << " to " << IsoTime::formatSeconds(next) << ", hour " << hour
                                      << ", wanted " << clock.hourOfDay(at);
                    }
                }
            }
        }
    }
}

} // namespace
} // namespace tallyglass
