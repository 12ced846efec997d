#include "TranscriptGenerator.h"

#include "dashboard/DashboardAggregator.h"
#include "dashboard/ReportSnapshot.h"
#include "dashboard/UsageReport.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>

namespace tallyglass {
namespace {

// A year of heavy use: a million messages over ~3,000 sessions of a few hundred
// messages each, in time order as the read client returns them.
const std::vector<DashboardMessage>& yearOfMessages()
{
    static const std::vector<DashboardMessage> messages = [] {
        bench::TranscriptGenerator ids(99);
        std::mt19937_64 random(3);
        // Shared as the read client shares them: one text per distinct identifier.
        const SharedText models[] = {"claude-sonnet-4-5-20250929", "claude-opus-4-6", "claude-haiku-4-5-20251001",
                                     "claude-sonnet-4-6", "claude-opus-4-1-20250805", ""};
        std::vector<DashboardMessage> out;
        out.reserve(1'000'000);
        std::int64_t millis = 1'730'000'000'000;
        SharedText session = ids.uuid();
        while (out.size() < 1'000'000) {
            if (random() % 330 == 0)
                session = ids.uuid();
            millis += static_cast<std::int64_t>(random() % 63'000);
            out.push_back({instantFromUnixMillis(millis), session, models[random() % 6],
                           static_cast<std::int64_t>(random() % 50), static_cast<std::int64_t>(random() % 4000),
                           static_cast<std::int64_t>(random() % 20000), static_cast<std::int64_t>(random() % 150000),
                           random() % 5 == 0, static_cast<double>(random() % 1000) / 1000.0});
        }
        return out;
    }();
    return messages;
}

// Every figure of the report window for 365 days, over the whole history, in
// UTC days (0) and in the days of a zone that moves its clocks (1).
void BM_fullReport(benchmark::State& state)
{
    const bool local = state.range(0) == 1;
    if (local) {
        ::setenv("TZ", "Europe/Berlin", 1);
        ::tzset();
    }
    const auto& all = yearOfMessages();
    const DayClock clock = local ? DayClock::local() : DayClock::utc();
    const auto dataBounds = *DashboardAggregator::bounds(all, clock);
    const auto window = DashboardAggregator::applyPreset(DatePreset::last365d, dataBounds, dataBounds.second, clock);
    const DashboardFilters filters{window.first, window.second, {}, DatePreset::last365d, local};
    for (auto _ : state)
        benchmark::DoNotOptimize(ReportSnapshot::compute(all, filters, std::nullopt).totals);
    state.counters["messages"] = static_cast<double>(all.size());
    state.SetLabel(local ? "local days" : "UTC days");
    if (local) {
        ::unsetenv("TZ");
        ::tzset();
    }
}
BENCHMARK(BM_fullReport)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace tallyglass

namespace tallyglass {
namespace {

// The report's steps one by one over the whole history, to see where time goes.
void BM_reportStep(benchmark::State& state)
{
    static const char* const names[] = {"filter",      "totals",    "bucketByDay",    "heatmapCells", "modelTokenRows",
                                        "sessionRows", "modelRows", "unpricedModels", "window",       "fullReportOfOneModel"};
    const auto& all = yearOfMessages();
    const DashboardFilters everything;
    const auto filtered = DashboardAggregator::filter(all, everything);
    DashboardFilters oneModel;
    oneModel.models = {std::string(all.front().model.view())};
    for (auto _ : state) {
        switch (state.range(0)) {
        case 0: benchmark::DoNotOptimize(DashboardAggregator::filter(all, everything).size()); break;
        case 1: benchmark::DoNotOptimize(DashboardAggregator::totals(filtered)); break;
        case 2: benchmark::DoNotOptimize(DashboardAggregator::bucketByDay(filtered).size()); break;
        case 3: benchmark::DoNotOptimize(DashboardAggregator::heatmapCells(filtered).size()); break;
        case 4: benchmark::DoNotOptimize(DashboardAggregator::modelTokenRows(filtered).size()); break;
        case 5: benchmark::DoNotOptimize(DashboardAggregator::sessionRows(filtered).size()); break;
        case 6: benchmark::DoNotOptimize(UsageReport::modelRows(filtered).size()); break;
        case 7: benchmark::DoNotOptimize(DashboardAggregator::unpricedModels(filtered).size()); break;
        case 8: benchmark::DoNotOptimize(DashboardAggregator::window(all, Instant::min(), Instant::max())); break;
        case 9: benchmark::DoNotOptimize(ReportSnapshot::compute(all, oneModel, std::nullopt).totals); break;
        }
    }
    state.SetLabel(names[state.range(0)]);
}
BENCHMARK(BM_reportStep)->DenseRange(0, 9)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace tallyglass
