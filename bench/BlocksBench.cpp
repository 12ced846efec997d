#include "YearOfMessages.h"

#include "capture/LimitPace.h"
#include "dashboard/BlockReport.h"
#include "dashboard/LimitHistory.h"
#include "dashboard/UsageBlocks.h"

#include <benchmark/benchmark.h>

namespace tallyglass {
namespace {

// `tallyglass blocks --all` after the read: a year of a million messages into
// five-hour blocks, and the table (0) or the JSON (1) of them. Under 200 ms.
void BM_blocks(benchmark::State& state)
{
    const auto& all = bench::yearOfMessages();
    const Instant now = all.back().timestamp + std::chrono::minutes(10);
    std::size_t blocks = 0;
    for (auto _ : state) {
        const auto grouped = UsageBlocks::group(all, now);
        blocks = grouped.size();
        benchmark::DoNotOptimize(state.range(0) == 0 ? BlockReport::renderText(grouped, "all time", DayClock::utc(), 0)
                                                     : BlockReport::renderJson(grouped));
    }
    state.counters["messages"] = static_cast<double>(all.size());
    state.counters["blocks"] = static_cast<double>(blocks);
    state.SetLabel(state.range(0) == 0 ? "text" : "json");
}
BENCHMARK(BM_blocks)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// The Full Report's limits panel without limit readings: the block going on,
// out of a year of a million messages in time order, on every change of chips.
void BM_activeBlock(benchmark::State& state)
{
    const auto& all = bench::yearOfMessages();
    const Instant now = all.back().timestamp + std::chrono::minutes(10);
    for (auto _ : state)
        benchmark::DoNotOptimize(UsageBlocks::active(all, now, true));
    state.counters["messages"] = static_cast<double>(all.size());
}
BENCHMARK(BM_activeBlock)->Unit(benchmark::kMicrosecond);

// `tallyglass limits --days 365` after the read: a year of a million status
// line readings into five-hour and seven-day windows with their peaks, and
// the pace of the windows open at the last reading.
void BM_limitsYear(benchmark::State& state)
{
    const auto& readings = bench::yearOfLimitReadings();
    const Instant from = readings.front().at;
    const Instant to = readings.back().at + std::chrono::hours(24);
    const Instant now = readings.back().at;
    for (auto _ : state) {
        benchmark::DoNotOptimize(LimitHistory::fiveHourWindows(readings, from, to));
        benchmark::DoNotOptimize(LimitHistory::sevenDayWindows(readings, from, to));
        benchmark::DoNotOptimize(LimitPace::current(readings, std::nullopt, LimitPace::Kind::fiveHour, now));
        benchmark::DoNotOptimize(LimitPace::current(readings, std::nullopt, LimitPace::Kind::sevenDay, now));
    }
    state.counters["readings"] = static_cast<double>(readings.size());
}
BENCHMARK(BM_limitsYear)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace tallyglass
