#include "core/IsoTime.h"
#include "core/UtcCalendar.h"

#include "support/TimeZone.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using namespace std::chrono;

// 2025-01-15T10:30:00Z, worked out by hand: 20103 days after 1970-01-01.
constexpr std::int64_t jan15_1030 = 20103LL * 86400 + 10 * 3600 + 30 * 60;

Instant at(std::int64_t unixSeconds, std::int64_t micros = 0)
{
    return Instant{seconds{unixSeconds}} + microseconds{micros};
}

TEST(IsoTime, readsTheForms_ClaudeCodeAndTheDatabaseWrite)
{
    // The plain form "2025-01-15T10:30:00Z": below, read in a zone far from UTC.
    const std::pair<const char*, Instant> cases[] = {
        {"2025-01-15T10:30:00.123Z", at(jan15_1030, 123000)},
        {"2025-01-15T10:30:00.5Z", at(jan15_1030, 500000)},
        {"2025-01-15T10:30:00.123456789Z", at(jan15_1030, 123456)},
        {"2025-01-15T12:30:00+02:00", at(jan15_1030)},
        {"2025-01-15T05:00:00-05:30", at(jan15_1030)},
        {"2025-01-15T12:30:00+0200", at(jan15_1030)},
        {"1970-01-01T00:00:00Z", at(0)},
        {"1969-12-31T23:59:59Z", at(-1)},
        {"2024-02-29T00:00:00Z", at(19782LL * 86400)},
        {"2000-02-29T00:00:00Z", at(11016LL * 86400)},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(IsoTime::parse(text), expected) << text;
}

TEST(IsoTime, refusesAnythingThatIsNotAnInternetDateTime)
{
    const char* const cases[] = {
        "",
        "yesterday",
        "2025-01-15 10:30:00",       // blank instead of T, no zone
        "2025-01-15T10:30:00",       // no zone
        "2025-01-15",                // no time
        "2025-01-15t10:30:00z",      // lower-case designators
        "2025-1-15T10:30:00Z",       // one-digit month
        "25-01-15T10:30:00Z",        // two-digit year
        "2025-13-01T00:00:00Z",      // month 13
        "2025-02-29T00:00:00Z",      // not a leap year
        "1900-02-29T00:00:00Z",      // century, not a leap year
        "2025-04-31T00:00:00Z",      // April has 30 days
        "2025-01-00T00:00:00Z",
        "2025-01-15T24:00:00Z",
        "2025-01-15T10:60:00Z",
        "2025-01-15T10:30:60Z",      // no leap seconds
        "2025-01-15T10:30:00.Z",     // a point without digits
        "2025-01-15T10:30:00+2:00",
        "2025-01-15T10:30:00+24:00",
        "2025-01-15T10:30:00Z ",     // trailing blank
        " 2025-01-15T10:30:00Z",
        "2025-01-15T10:30:00ZZ",
        "2025-01-15T10:30:00.12a3Z",
        "\xEF\xBC\x92\xEF\xBC\x90\xEF\xBC\x92\xEF\xBC\x95-01-15T10:30:00Z", // full-width digits
    };
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(IsoTime::parse(text).has_value());
    }
}

// Written in whole seconds or milliseconds, the rest cut; dates before 1970 and
// the calendar's rules are checked by the round trip.
TEST(IsoTime, writesWholeSecondsOrMillisecondsAndReadsThemBackAcrossFourCenturies)
{
    EXPECT_EQ(IsoTime::formatSeconds(at(jan15_1030, 999999)), "2025-01-15T10:30:00Z");
    EXPECT_EQ(IsoTime::formatMillis(at(jan15_1030, 250999)), "2025-01-15T10:30:00.250Z");
    EXPECT_EQ(IsoTime::formatMillis(at(jan15_1030)), "2025-01-15T10:30:00.000Z");
    // Every 7th day plus an odd time of day, from 1800 to 2200: exercises
    // leap years, century rules and negative epoch days.
    for (std::int64_t day = -62091; day <= 84006; day += 7) {
        const Instant t = at(day * 86400 + 45296, 789000); // 12:34:56.789
        const auto back = IsoTime::parse(IsoTime::formatMillis(t));
        ASSERT_TRUE(back.has_value()) << IsoTime::formatMillis(t);
        ASSERT_EQ(*back, t);
        const auto civil = UtcCalendar::civilFromDays(day);
        ASSERT_EQ(UtcCalendar::daysFromCivil(civil.year, civil.month, civil.day), day);
    }
}

TEST(UtcCalendar, daysAndHoursAreUtcWhateverTheProcessTimeZone)
{
    // Pacific/Kiritimati is UTC+14: a local calendar would put 10:30Z on the next day.
    const test::TimeZone kiritimati("Pacific/Kiritimati");

    const Instant t = at(jan15_1030, 123);
    EXPECT_EQ(UtcCalendar::startOfDay(t), at(20103LL * 86400));
    EXPECT_EQ(UtcCalendar::hourOfDay(t), 10);
    EXPECT_EQ(UtcCalendar::addDays(t, 1), at(jan15_1030 + 86400, 123));
    EXPECT_EQ(IsoTime::formatSeconds(t), "2025-01-15T10:30:00Z");
    EXPECT_EQ(IsoTime::parse("2025-01-15T10:30:00Z"), at(jan15_1030));

    // Midnight and the instant before it.
    EXPECT_EQ(UtcCalendar::hourOfDay(at(20103LL * 86400)), 0);
    EXPECT_EQ(UtcCalendar::hourOfDay(at(20103LL * 86400, -1)), 23);
    EXPECT_EQ(UtcCalendar::startOfDay(at(20103LL * 86400, -1)), at(20102LL * 86400));
    // Before 1970 the day still starts at midnight, not at the next one.
    EXPECT_EQ(UtcCalendar::startOfDay(at(-1)), at(-86400));
}

} // namespace
} // namespace tallyglass
