#include "dashboard/ReportArguments.h"

#include "support/Instants.h"
#include "support/TimeZone.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using test::t;

const Instant now = t("2026-12-06T15:00:00Z");

// Days resolve against today, whatever the spelling of the options.
TEST(ReportArguments, daysResolveToWholeDaysEndingTodayOrTheGivenDay)
{
    const std::tuple<std::vector<std::string>, const char*, const char*, const char*> cases[] = { // arguments, from, to, title
        {{}, "2026-11-30", "2026-12-07", "last 7 days"},
        {{"--days", "1"}, "2026-12-06", "2026-12-07", "last 1 day"},
        {{"--days=30"}, "2026-11-07", "2026-12-07", "last 30 days"},
        {{"--since", "2026-11-01", "--until=2026-11-30"}, "2026-11-01", "2026-12-01", "2026-11-01 to 2026-11-30"},
        {{"--since=2026-12-06"}, "2026-12-06", "2026-12-07", "2026-12-06"},
        {{"--since", "20261101", "--until=20261130"}, "2026-11-01", "2026-12-01", "2026-11-01 to 2026-11-30"},
        {{"--until", "20240229", "--days", "1"}, "2024-02-29", "2024-03-01", "1 day to 2024-02-29"},
        {{"--until", "2026-02-28", "--days", "3"}, "2026-02-26", "2026-03-01", "3 days to 2026-02-28"},
        {{"--all"}, "2026-12-06", "2026-12-07", "all time"}, // the first day with data comes later
    };
    for (const auto& [arguments, from, to, title] : cases) {
        const auto request = ReportArguments::parse(arguments, now);
        const std::string day = "T00:00:00Z";
        EXPECT_EQ(request.options.from, t((from + day).c_str())) << title;
        EXPECT_EQ(request.options.to, t((to + day).c_str())) << title;
        EXPECT_EQ(request.options.title, title);
    }
    const auto all = ReportArguments::parse({"--all", "--by", "month", "--breakdown", "--json", "--no-update"}, now);
    EXPECT_TRUE(all.fromFirstData && all.json && !all.update && all.options.breakdown);
    EXPECT_EQ(all.options.by, TerminalReport::Grouping::month);
    EXPECT_EQ(ReportArguments::parse({"--by", "session"}, now).options.sessionRows, 1'000'000u);
    EXPECT_EQ(ReportArguments::parse({"--sessions", "3"}, now).options.sessionRows, 3u);
    const auto machine = ReportArguments::parse({"--by", "machine", "--machine", " build box "}, now);
    EXPECT_EQ(machine.options.by, TerminalReport::Grouping::machine);
    EXPECT_EQ(machine.options.machine, "build box");
    // Local days: a zone fourteen hours ahead starts "today" the evening before in UTC.
    const test::TimeZone kiritimati("Pacific/Kiritimati");
    const auto local = ReportArguments::parse({"--days", "2", "--local"}, now);
    EXPECT_EQ(local.options.from, t("2026-12-05T10:00:00Z"));
    EXPECT_EQ(local.options.to, t("2026-12-07T10:00:00Z"));
    EXPECT_TRUE(local.options.clock.isLocal());
}

// A named zone counts its own days, whatever the process's zone: India is
// five and a half hours ahead, and Adelaide (half an hour off the hour too)
// moves its clocks forward on 2026-10-04, a day of 23 hours.
TEST(ReportArguments, aNamedZoneCountsItsOwnDaysAcrossAClockChange)
{
    const test::TimeZone elsewhere("America/New_York");
    const std::tuple<std::vector<std::string>, const char*, const char*, const char*> cases[] = { // arguments, zone, from, to
        {{"--zone", "Asia/Kolkata", "--days", "1"}, "Asia/Kolkata", "2026-12-05T18:30:00Z", "2026-12-06T18:30:00Z"},
        {{"--zone=Australia/Adelaide", "--since", "20261003", "--until", "2026-10-05"}, "Australia/Adelaide", "2026-10-02T14:30:00Z",
         "2026-10-05T13:30:00Z"},
    };
    for (const auto& [arguments, zone, from, to] : cases) {
        SCOPED_TRACE(zone);
        const auto request = ReportArguments::parse(arguments, now);
        EXPECT_EQ(request.options.from, t(from));
        EXPECT_EQ(request.options.to, t(to));
        EXPECT_EQ(request.options.clock.zoneName(), zone);
    }
    const auto adelaide = ReportArguments::parse({"--zone", "Australia/Adelaide", "--since", "2026-10-04", "--until", "2026-10-04"}, now);
    EXPECT_EQ(adelaide.options.to - adelaide.options.from, std::chrono::hours(23));
}

// Every mistake names what was wrong and how to put it right.
TEST(ReportArguments, mistakesAreSaidWithTheFix)
{
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--days"}, "--days needs a value: --days N"},
        {{"--days", "--json"}, "--days needs a value: --days N"},
        {{"--days", "0"}, "--days takes a whole number from 1 to 36500, not '0'"},
        {{"--days=7x"}, "--days takes a whole number from 1 to 36500, not '7x'"},
        {{"--json=yes"}, "--json takes no value"},
        {{"--since", "2026-02-30"}, "--since takes a day as YYYY-MM-DD or YYYYMMDD, such as 2026-11-30, not '2026-02-30'"},
        {{"--since", "20260230"}, "not '20260230'"},
        {{"--since", "2026113"}, "not '2026113'"},
        {{"--since", "2026-1101"}, "not '2026-1101'"},
        {{"--since", "2027-01-01"}, "--since 2027-01-01 is after today, 2026-12-06"},
        {{"--since", "2026-12-02", "--until", "2026-12-01"}, "--since 2026-12-02 is after --until 2026-12-01"},
        {{"--days", "3", "--since", "2026-12-01"}, "--days and --since both choose the first day; use one of them"},
        {{"--by", "weak"}, "--by takes day, week, month, session, project, model or machine, not 'weak'; did you mean 'week'?"},
        {{"--machine", " "}, "--machine takes the name of a machine"},
        {{"--week-start", "saturday"}, "--week-start takes monday or sunday, not 'saturday'"},
        {{"--zone", "Asia/Kolkatta"}, "unknown time zone 'Asia/Kolkatta'; did you mean 'Asia/Kolkata'?"},
        {{"--zone", "Asia/Kolkata", "--local"}, "--local and --zone both choose the time zone; use one of them"},
        {{"--by", "mnth"}, "did you mean 'month'?"},
        {{"--breakdown"}, "--breakdown lists the models under each row of a table; add --by"},
        {{"weekly"}, "unexpected 'weekly'; the report takes only options"},
    };
    for (const auto& [arguments, message] : cases) {
        try {
            ReportArguments::parse(arguments, now);
            ADD_FAILURE() << "accepted: " << message;
        } catch (const CommandLine::UsageError& error) {
            EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
        }
    }
}

// A name no stored message carries is a typo until shown otherwise: said with
// the nearest name and every stored one. With nothing stored at all, the
// command's own "nothing yet" answers instead.
TEST(ReportArguments, aMachineNotStoredIsSaidWithTheNamesThatAre)
{
    const std::vector<std::string> stored{"buildbox", "laptop"};
    const std::tuple<std::string, std::vector<std::string>, std::optional<std::string>> cases[] = {
        {"laptop", stored, std::nullopt},
        {"", {"", "laptop"}, std::nullopt}, // rows of a file from before machines were recorded
        {"anything", {}, std::nullopt},
        {"lapotp", stored, "no usage is stored under the machine 'lapotp'; did you mean 'laptop'? The machines stored: 'buildbox', 'laptop'"},
        {"mars", stored, "no usage is stored under the machine 'mars'. The machines stored: 'buildbox', 'laptop'"},
    };
    for (const auto& [name, known, said] : cases)
        EXPECT_EQ(ReportArguments::unknownMachine(name, known), said) << name;
}

} // namespace
} // namespace tallyglass
