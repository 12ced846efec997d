#pragma once

#include "core/DayClock.h"
#include "core/Instant.h"
#include "dashboard/DashboardFilters.h"
#include "dashboard/DashboardRecords.h"
#include "dashboard/DatePreset.h"
#include "dashboard/MessageList.h"
#include "storage/DashboardMessage.h"

#include <optional>
#include <span>
#include <utility>
#include <vector>

namespace tallyglass::DashboardAggregator {

// Everything the full report shows, derived in memory from the list of stored
// messages. Days and hours are the clock's: UTC's unless the user chose the
// local zone's, where a day may have 23 or 25 hours.

using Span = std::pair<Instant, Instant>; // [from, to)
using Messages = MessageList;

// Whether the list is in time order (the database gives it so).
bool isSortedByTime(std::span<const DashboardMessage> messages);

// The messages of [from, to) in a list in time order, as a part of it.
std::span<const DashboardMessage> window(std::span<const DashboardMessage> sorted, Instant from, Instant to);

// The positions of the messages filter() keeps, without copying them.
std::vector<std::uint32_t> pick(std::span<const DashboardMessage> messages, const DashboardFilters& filters);

// The messages filter() keeps, without copying: for a list in time order the
// date window is a part of it, and chosen models and machines are picked by position within
// that part (the positions kept in `picks`, which must outlive the result).
Messages select(std::span<const DashboardMessage> messages, const DashboardFilters& filters, std::vector<std::uint32_t>& picks,
                bool sorted);

// The messages in [filters.from, filters.to) whose raw model and machine are selected (all when none is).
std::vector<DashboardMessage> filter(Messages messages, const DashboardFilters& filters);

// The first and the last message's times; nothing for no data.
std::optional<Span> extent(Messages messages);
// Midnight of the first day with data to midnight after the last; nothing for no data.
std::optional<Span> bounds(Messages messages, const DayClock& clock = DayClock::utc());
// The same for an extent().
Span daysAround(Span extent, const DayClock& clock);

// The preset's days, counting today, but never before the data's first day; ends where the data ends.
Span applyPreset(DatePreset preset, Span dataBounds, Instant now, const DayClock& clock = DayClock::utc());
// The same for any number of days (at least 1).
Span applyDays(std::int64_t days, Span dataBounds, Instant now, const DayClock& clock = DayClock::utc());

Totals totals(Messages messages);

// Output tokens per day by display name, one bucket per day from the first
// message's day to the last's, gaps included.
std::vector<DayBucket> bucketByDay(Messages messages, const DayClock& clock = DayClock::utc());

// Input + output tokens, 24 cells for every day that has messages, ascending.
// An hour the clocks repeat adds into its one cell; one they skip stays empty.
std::vector<HeatmapCell> heatmapCells(Messages messages, const DayClock& clock = DayClock::utc());

// Per display name, largest total first; a stand-in ("Other", "Synthetic") of no tokens is left out.
std::vector<ModelTokenRow> modelTokenRows(Messages messages);

// The identifiers the price list does not know among messages that carry
// tokens, most messages first.
std::vector<UnpricedModel> unpricedModels(Messages messages);

// Per session, most recently active first.
std::vector<SessionRow> sessionRows(Messages messages);

} // namespace tallyglass::DashboardAggregator
