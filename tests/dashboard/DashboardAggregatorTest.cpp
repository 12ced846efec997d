#include "dashboard/DashboardAggregator.h"

#include "dashboard/UsageReport.h"

#include "support/Instants.h"
#include "support/TimeZone.h"

#include <gtest/gtest.h>

#include <map>

namespace tallyglass {
namespace {

namespace Agg = DashboardAggregator;

using test::t;

DashboardMessage message(const char* iso, std::string session, std::string model, std::int64_t input, std::int64_t output)
{
    return {t(iso), std::move(session), std::move(model), input, output, 0, 0, false, 0};
}

TEST(DashboardAggregator, filterKeepsTheHalfOpenWindowAndTheSelectedRawModels)
{
    const std::vector<DashboardMessage> all = {
        message("2025-01-10T00:00:00Z", "a", "claude-opus-4-6", 1, 1),
        message("2025-01-10T12:00:00Z", "a", "claude-opus-4-6-20260101", 1, 1),
        message("2025-01-11T00:00:00Z", "a", "claude-opus-4-6", 1, 1),
    };
    DashboardFilters filters{t("2025-01-10T00:00:00Z"), t("2025-01-11T00:00:00Z"), {}, DatePreset::last7d, false};
    EXPECT_EQ(Agg::filter(all, filters), (std::vector<DashboardMessage>{all[0], all[1]}));
    filters.models = {"claude-opus-4-6"};
    EXPECT_EQ(Agg::filter(all, filters), (std::vector<DashboardMessage>{all[0]}));
    // The initial filters let everything through; the preset alone makes filters differ.
    EXPECT_EQ(Agg::filter(all, DashboardFilters{}), all);
    EXPECT_NE(DashboardFilters{}, (DashboardFilters{Instant::min(), Instant::max(), {}, DatePreset::last1d, false}));

    // Without copying: a part of a sorted list, or positions picked in it, or in an unsorted one.
    std::vector<std::uint32_t> picks;
    const auto asVector = [](const Agg::Messages& list) { return std::vector<DashboardMessage>(list.begin(), list.end()); };
    filters.models.clear();
    EXPECT_EQ(asVector(Agg::select(all, filters, picks, Agg::isSortedByTime(all))), (std::vector<DashboardMessage>{all[0], all[1]}));
    EXPECT_EQ(&Agg::select(all, filters, picks, true).front(), all.data());
    filters.models = {"claude-opus-4-6"};
    EXPECT_EQ(asVector(Agg::select(all, filters, picks, true)), (std::vector<DashboardMessage>{all[0]}));
    const std::vector<DashboardMessage> unsorted = {all[2], all[1], all[0]};
    EXPECT_FALSE(Agg::isSortedByTime(unsorted));
    EXPECT_EQ(asVector(Agg::select(unsorted, filters, picks, false)), (std::vector<DashboardMessage>{all[0]}));
}

TEST(DashboardAggregator, boundsCoverWholeUtcDays)
{
    EXPECT_FALSE(Agg::bounds({}).has_value());
    // Out of order, the last a minute before midnight, the first on it.
    const auto span = Agg::bounds(std::vector<DashboardMessage>{message("2025-03-01T23:59:00Z", "a", "", 0, 0),
                                                                message("2025-02-27T00:00:00Z", "a", "", 0, 0)});
    EXPECT_EQ(span.value(), Agg::Span(t("2025-02-27T00:00:00Z"), t("2025-03-02T00:00:00Z")));
}

TEST(DashboardAggregator, presetsCountTodayAndNeverReachBeforeTheData)
{
    const Instant now = t("2025-06-15T08:00:00Z");
    const Agg::Span yearOfData{t("2024-06-14T00:00:00Z"), t("2025-06-15T00:00:00Z")}; // ends yesterday
    EXPECT_EQ(Agg::applyPreset(DatePreset::last1d, yearOfData, now), Agg::Span(t("2025-06-15T00:00:00Z"), t("2025-06-15T00:00:00Z")));
    EXPECT_EQ(Agg::applyPreset(DatePreset::last7d, yearOfData, now).first, t("2025-06-09T00:00:00Z"));
    EXPECT_EQ(Agg::applyPreset(DatePreset::last30d, yearOfData, now).first, t("2025-05-17T00:00:00Z"));
    EXPECT_EQ(Agg::applyPreset(DatePreset::last365d, yearOfData, now).first, t("2024-06-16T00:00:00Z"));
    const Agg::Span tenDays{t("2025-06-05T00:00:00Z"), t("2025-06-16T00:00:00Z")};
    EXPECT_EQ(Agg::applyPreset(DatePreset::last365d, tenDays, now), tenDays);
}

TEST(DashboardAggregator, theTimelineHasOneBucketPerDayWithoutGaps)
{
    const std::vector<DashboardMessage> all = {
        message("2025-01-13T09:00:00Z", "a", "claude-opus-4-6", 5, 7),
        message("2025-01-10T23:59:59Z", "a", "claude-opus-4-6", 5, 3),
        message("2025-01-10T00:00:00Z", "a", "claude-haiku-4-5", 5, 0),
        message("2025-01-10T10:00:00Z", "a", "", 5, 0),
        message("2025-01-10T11:00:00Z", "a", "<synthetic>", 0, 0),
        message("2025-01-13T00:30:00Z", "a", "gpt", 5, 4),
    };
    const std::vector<DayBucket> expected = {
        {t("2025-01-10T00:00:00Z"), {{"Opus 4.6", 3}, {"Haiku 4.5", 0}}}, // "Other" and "Synthetic" of 0 dropped, Haiku 0 kept
        {t("2025-01-11T00:00:00Z"), {}},
        {t("2025-01-12T00:00:00Z"), {}},
        {t("2025-01-13T00:00:00Z"), {{"Opus 4.6", 7}, {"Other", 4}}},
    };
    EXPECT_EQ(Agg::bucketByDay(all), expected);
    EXPECT_TRUE(Agg::bucketByDay({}).empty());
}

TEST(DashboardAggregator, theHeatMapHasTwentyFourUtcHoursForEachDayWithData)
{
    // Whatever the local zone says, 00:30Z is hour 0 of its UTC day.
    const test::TimeZone losAngeles("America/Los_Angeles");
    const std::vector<DashboardMessage> all = {
        message("2025-01-13T00:30:00Z", "a", "x", 5, 4),
        message("2025-01-13T00:59:59Z", "a", "x", 1, 0),
        message("2025-01-10T23:00:00Z", "a", "x", 2, 2),
    };
    const auto cells = Agg::heatmapCells(all);
    ASSERT_EQ(cells.size(), 48u);
    EXPECT_EQ(cells[23], (HeatmapCell{t("2025-01-10T00:00:00Z"), 23, 4}));
    EXPECT_EQ(cells[24], (HeatmapCell{t("2025-01-13T00:00:00Z"), 0, 10}));
    EXPECT_EQ(cells[29].id(), "1736726400.0-5"); // the day and the hour: unique in the grid
    EXPECT_TRUE(Agg::heatmapCells({}).empty());
}

// In local days, a day of 23 or 25 hours keeps every message once, in the day
// and hour the zone gives it, and the presets start at local midnight.
TEST(DashboardAggregator, localDaysKeepEveryMessageOnceThroughClockChanges)
{
    for (const char* name : {"Europe/Berlin", "Pacific/Kiritimati"}) {
        SCOPED_TRACE(name);
        const test::TimeZone zone(name);
        const DayClock clock = DayClock::local();
        std::vector<DashboardMessage> all;
        std::map<std::pair<std::string, int>, std::int64_t> tokens; // (day, hour)
        std::map<std::string, std::int64_t> output;                 // by day
        for (const auto& [from, to] : {std::pair{"2026-03-27T00:00:00Z", "2026-04-01T00:00:00Z"},
                                       std::pair{"2026-10-23T00:00:00Z", "2026-10-28T00:00:00Z"}}) {
            for (Instant at = t(from); at < t(to); at += std::chrono::minutes(13)) {
                all.push_back({at, "s", "claude-opus-4-6", 1, 2, 0, 0, false, 0});
                tokens[{clock.dayKey(at), clock.hourOfDay(at)}] += 3;
                output[clock.dayKey(at)] += 2;
            }
        }

        std::map<std::pair<std::string, int>, std::int64_t> cells;
        for (const HeatmapCell& cell : Agg::heatmapCells(all, clock)) {
            EXPECT_EQ(clock.startOfDay(cell.day), cell.day);
            if (cell.tokens) {
                EXPECT_TRUE(cells.emplace(std::pair{clock.dayKey(cell.day), cell.hour}, cell.tokens).second);
            }
        }
        EXPECT_EQ(cells, tokens);

        const auto buckets = Agg::bucketByDay(all, clock);
        std::map<std::string, std::int64_t> days;
        for (std::size_t i = 0; i < buckets.size(); ++i) {
            if (i > 0) {
                EXPECT_EQ(buckets[i].dayStart, clock.nextDay(buckets[i - 1].dayStart));
            }
            for (const auto& [model, count] : buckets[i].perModel)
                days[clock.dayKey(buckets[i].dayStart)] += count;
        }
        EXPECT_EQ(days, output);

        const auto dataBounds = Agg::bounds(all, clock);
        ASSERT_TRUE(dataBounds);
        EXPECT_EQ(dataBounds->first, clock.startOfDay(all.front().timestamp));
        EXPECT_EQ(Agg::applyPreset(DatePreset::last7d, *dataBounds, t("2026-10-27T05:00:00Z"), clock).first, clock.dateStart(2026, 10, 21));
    }
}

TEST(DashboardAggregator, modelRowsGroupByDisplayNameLargestFirst)
{
    const std::vector<DashboardMessage> all = {
        message("2025-01-13T00:30:00Z", "a", "claude-opus-4-6", 0, 0),
        message("2025-01-13T00:30:00Z", "a", "", 0, 0),
        message("2025-01-13T00:30:00Z", "a", "claude-sonnet-4-5", 10, 5),
        message("2025-01-13T00:30:00Z", "a", "claude-sonnet-4-5-20250929", 1, 1),
        message("2025-01-13T00:30:00Z", "a", "claude-haiku-4-5", 100, 0),
        message("2025-01-13T00:31:00Z", "a", "<synthetic>", 0, 0), // Claude Code's own, with no usage
    };
    EXPECT_EQ(Agg::modelTokenRows(all),
              (std::vector<ModelTokenRow>{{"Haiku 4.5", 100, 0}, {"Sonnet 4.5", 11, 6}, {"Opus 4.6", 0, 0}}));
    // The window's table with costs leaves out the same rows of nothing.
    std::vector<std::string> names;
    for (const UsageReport::ModelRow& row : UsageReport::modelRows(all))
        names.push_back(row.displayName);
    EXPECT_EQ(names, (std::vector<std::string>{"Haiku 4.5", "Sonnet 4.5", "Opus 4.6"}));
}

TEST(DashboardAggregator, sessionRowsAreMostRecentlyActiveFirst)
{
    const std::vector<DashboardMessage> all = {
        message("2025-01-13T10:00:00Z", "a", "m", 0, 3),
        message("2025-01-13T09:00:00Z", "b", "m", 0, 5),
        message("2025-01-13T08:00:00Z", "a", "m", 0, 4),
    };
    EXPECT_EQ(Agg::sessionRows(all), (std::vector<SessionRow>{{"a", t("2025-01-13T10:00:00Z"), 2, 7},
                                                               {"b", t("2025-01-13T09:00:00Z"), 1, 5}}));
}

} // namespace
} // namespace tallyglass
