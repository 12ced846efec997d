#pragma once

#include "capture/LimitPace.h"
#include "dashboard/DashboardFilters.h"
#include "dashboard/DashboardRecords.h"
#include "dashboard/LimitHistory.h"
#include "dashboard/UsageBlocks.h"
#include "dashboard/UsageReport.h"
#include "storage/DashboardMessage.h"
#include "storage/UsageLimits.h"

#include <optional>
#include <string>
#include <span>
#include <vector>

namespace tallyglass {

// Every figure the report window draws for one set of filters, computed in one
// go away from the interface thread and handed over whole.
struct ReportSnapshot {
    DashboardFilters filters; // what the figures are for
    std::optional<UsageLimits> usage;
    Totals totals;
    std::vector<DayBucket> days;
    std::vector<ModelTokenRow> models;
    std::vector<UsageReport::ModelRow> modelCosts; // the same models with their cost, for their help texts
    std::vector<HeatmapCell> cells;
    std::vector<SessionRow> sessions;
    std::vector<UnpricedModel> unpriced;
    std::vector<LimitHistory::WindowPeak> limitWindows; // the five-hour windows of the days, with their peaks
    // Where no limit was ever read (a key, not a plan): the five-hour block of
    // all models going on at `now`, with its burn rate, whatever the filters.
    std::optional<UsageBlocks::Block> activeBlock;
    // Where the windows open at `now` are heading, whatever the days chosen.
    std::optional<LimitPace::Projection> fiveHourPace;
    std::optional<LimitPace::Projection> sevenDayPace;

    // `sorted`: whether `all` is in time order, which lets a date window be a part of it.
    static ReportSnapshot compute(std::span<const DashboardMessage> all, const DashboardFilters& filters,
                                  std::optional<UsageLimits> usage, bool sorted = true,
                                  const std::vector<LimitReading>* readings = nullptr, std::optional<Instant> now = std::nullopt);
};

} // namespace tallyglass
