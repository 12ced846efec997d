#include "dashboard/ReportSnapshot.h"

#include "dashboard/DashboardAggregator.h"

#include <future>

namespace tallyglass {

ReportSnapshot ReportSnapshot::compute(std::span<const DashboardMessage> all, const DashboardFilters& filters,
                                       std::optional<UsageLimits> usage, bool sorted, const std::vector<LimitReading>* readings,
                                       std::optional<Instant> now)
{
    ReportSnapshot s;
    s.filters = filters;
    s.usage = std::move(usage);
    if (readings) {
        s.limitWindows = LimitHistory::fiveHourWindows(*readings, filters.from, filters.to);
        if (now) {
            s.fiveHourPace = LimitPace::current(*readings, s.usage, LimitPace::Kind::fiveHour, *now);
            s.sevenDayPace = LimitPace::current(*readings, s.usage, LimitPace::Kind::sevenDay, *now);
        }
    }
    // Copying a year of messages cost a third of a second: the sums run over a
    // part of the history, or over positions picked in it.
    std::vector<std::uint32_t> picks;
    const DashboardAggregator::Messages filtered = DashboardAggregator::select(all, filters, picks, sorted);
    // Half the sums on a second thread: each is one pass over the same messages,
    // and a year of them takes a tenth of a second on one core.
    // The block going on stands in for limits never read; it is of all models, whatever the chips say.
    auto second = std::async(std::launch::async, [&s, &filtered, &all, now, sorted] {
        s.models = DashboardAggregator::modelTokenRows(filtered);
        s.modelCosts = UsageReport::modelRows(filtered);
        s.sessions = DashboardAggregator::sessionRows(filtered);
        if (!s.usage && now)
            s.activeBlock = UsageBlocks::active(all, *now, sorted);
    });
    s.totals = DashboardAggregator::totals(filtered);
    const DayClock clock = filters.clock();
    s.days = DashboardAggregator::bucketByDay(filtered, clock);
    s.cells = DashboardAggregator::heatmapCells(filtered, clock);
    s.unpriced = DashboardAggregator::unpricedModels(filtered);
    second.get();
    return s;
}

} // namespace tallyglass
