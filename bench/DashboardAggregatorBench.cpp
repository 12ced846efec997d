#include "YearOfMessages.h"

#include "dashboard/DashboardAggregator.h"
#include "dashboard/ReportSnapshot.h"
#include "dashboard/UsageReport.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>

namespace tallyglass {
namespace {

using bench::yearOfMessages;

// Every figure of the report window for 365 days, over the whole history, in
// UTC days (0), in the days of a zone that moves its clocks (1), and in UTC
// days without limit readings, with the block going on at the history's end (2).
void BM_fullReport(benchmark::State& state)
{
    const bool local = state.range(0) == 1;
    const std::optional<Instant> now =
        state.range(0) == 2 ? std::optional<Instant>(yearOfMessages().back().timestamp + std::chrono::minutes(10)) : std::nullopt;
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
        benchmark::DoNotOptimize(ReportSnapshot::compute(all, filters, std::nullopt, true, nullptr, now).totals);
    state.counters["messages"] = static_cast<double>(all.size());
    state.SetLabel(local ? "local days" : now ? "UTC days, no limits read" : "UTC days");
    if (local) {
        ::unsetenv("TZ");
        ::tzset();
    }
}
BENCHMARK(BM_fullReport)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

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
