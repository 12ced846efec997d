#include "dashboard/DashboardAggregator.h"

#include "dashboard/TextIndex.h"
#include "pricing/DisplayNameCache.h"
#include "pricing/ModelMapper.h"
#include "pricing/ModelPricingCatalog.h"

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace tallyglass::DashboardAggregator {

namespace {

// The display name of an identifier, worked out once per distinct one.
struct DisplayNameOf {
    std::shared_ptr<DisplayNameCache> names = std::make_shared<DisplayNameCache>();
    std::string operator()(std::string_view identifier) const { return (*names)(identifier); }
};

// Display names numbered in order of first appearance.
class NameIndex : public TextIndex<DisplayNameOf> {
public:
    const std::vector<std::string>& names() const { return keys(); }
};

} // namespace

std::vector<DashboardMessage> filter(Messages messages, const DashboardFilters& filters)
{
    std::vector<DashboardMessage> kept;
    kept.reserve(messages.size());
    for (const DashboardMessage& m : messages) {
        if (m.timestamp < filters.from || m.timestamp >= filters.to)
            continue;
        if (!filters.models.empty() && !filters.models.contains(m.model.view()))
            continue;
        if (!filters.machines.empty() && !filters.machines.contains(m.machine.view()))
            continue;
        kept.push_back(m);
    }
    return kept;
}

namespace {

// Whether a text is among those chosen, decided once per distinct text, then by its address.
class ChosenText {
public:
    explicit ChosenText(const std::set<std::string, std::less<>>& chosen) : chosen_(chosen) {}

    bool operator()(const SharedText& text)
    {
        const void* identity = text.identity();
        if (!identity)
            return chosen_.contains(text.view());
        if (identity != lastIdentity_) {
            auto [it, inserted] = byIdentity_.try_emplace(identity, false);
            if (inserted)
                it->second = chosen_.contains(text.view());
            lastIdentity_ = identity;
            lastChosen_ = it->second;
        }
        return lastChosen_;
    }

private:
    const std::set<std::string, std::less<>>& chosen_;
    std::unordered_map<const void*, bool> byIdentity_;
    const void* lastIdentity_ = nullptr;
    bool lastChosen_ = false;
};

} // namespace

std::vector<std::uint32_t> pick(std::span<const DashboardMessage> messages, const DashboardFilters& filters)
{
    ChosenText model(filters.models);
    ChosenText machine(filters.machines);
    std::vector<std::uint32_t> picks;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const DashboardMessage& m = messages[i];
        if (m.timestamp < filters.from || m.timestamp >= filters.to)
            continue;
        if (!filters.models.empty() && !model(m.model))
            continue;
        if (!filters.machines.empty() && !machine(m.machine))
            continue;
        picks.push_back(static_cast<std::uint32_t>(i));
    }
    return picks;
}

Messages select(std::span<const DashboardMessage> messages, const DashboardFilters& filters, std::vector<std::uint32_t>& picks,
                bool sorted)
{
    const auto part = sorted ? window(messages, filters.from, filters.to) : messages;
    if (filters.models.empty() && filters.machines.empty() && sorted)
        return part;
    picks = pick(part, filters);
    return MessageList(part, picks);
}

bool isSortedByTime(std::span<const DashboardMessage> messages)
{
    return std::is_sorted(messages.begin(), messages.end(),
                          [](const DashboardMessage& a, const DashboardMessage& b) { return a.timestamp < b.timestamp; });
}

std::span<const DashboardMessage> window(std::span<const DashboardMessage> sorted, Instant from, Instant to)
{
    const auto first = std::lower_bound(sorted.begin(), sorted.end(), from,
                                        [](const DashboardMessage& m, Instant t) { return m.timestamp < t; });
    const auto last = std::lower_bound(first, sorted.end(), to, [](const DashboardMessage& m, Instant t) { return m.timestamp < t; });
    return sorted.subspan(static_cast<std::size_t>(first - sorted.begin()), static_cast<std::size_t>(last - first));
}

std::optional<Span> extent(Messages messages)
{
    if (messages.empty())
        return std::nullopt;
    Instant earliest = messages.front().timestamp;
    Instant latest = earliest;
    for (const DashboardMessage& m : messages) {
        earliest = std::min(earliest, m.timestamp);
        latest = std::max(latest, m.timestamp);
    }
    return Span{earliest, latest};
}

std::optional<Span> bounds(Messages messages, const DayClock& clock)
{
    const auto found = extent(messages);
    if (!found)
        return std::nullopt;
    return daysAround(*found, clock);
}

Span daysAround(Span extent, const DayClock& clock)
{
    return {clock.startOfDay(extent.first), clock.nextDay(clock.startOfDay(extent.second))};
}

Span applyPreset(DatePreset preset, Span dataBounds, Instant now, const DayClock& clock)
{
    return applyDays(daysCovered(preset), dataBounds, now, clock);
}

Span applyDays(std::int64_t days, Span dataBounds, Instant now, const DayClock& clock)
{
    const Instant start = clock.addDays(now, 1 - std::max<std::int64_t>(days, 1));
    return {std::max(dataBounds.first, start), dataBounds.second};
}

Totals totals(Messages messages)
{
    Totals t;
    std::unordered_set<std::string_view> sessions;
    const void* lastSession = nullptr;
    for (const DashboardMessage& m : messages) {
        t.input += m.inputTokens;
        t.output += m.outputTokens;
        t.cacheCreated += m.cacheCreationInputTokens;
        t.cacheRead += m.cacheReadInputTokens;
        t.costUSD += m.cost;
        if (!lastSession || lastSession != m.sessionId.identity()) {
            sessions.insert(m.sessionId.view());
            lastSession = m.sessionId.identity();
        }
    }
    t.messageCount = static_cast<std::int64_t>(messages.size());
    t.sessionCount = static_cast<std::int64_t>(sessions.size());
    return t;
}

std::vector<DayBucket> bucketByDay(Messages messages, const DayClock& clock)
{
    if (messages.empty())
        return {};
    // The span of days is all the ordering needed: sums do not depend on the
    // order in which they are added, so the messages are never sorted.
    DayLocator locate(clock);
    std::int64_t firstDay = locate(messages.front().timestamp).day;
    std::int64_t lastDay = firstDay;
    for (const DashboardMessage& m : messages) {
        const std::int64_t day = locate(m.timestamp).day;
        firstDay = std::min(firstDay, day);
        lastDay = std::max(lastDay, day);
    }

    struct Cell {
        bool present = false;
        std::int64_t output = 0;
    };
    NameIndex nameIndex;
    std::vector<std::vector<Cell>> days(static_cast<std::size_t>(lastDay - firstDay + 1));
    for (const DashboardMessage& m : messages) {
        auto& cells = days[static_cast<std::size_t>(locate(m.timestamp).day - firstDay)];
        const std::size_t name = nameIndex(m.model);
        if (cells.size() <= name)
            cells.resize(name + 1);
        cells[name].present = true;
        cells[name].output += m.outputTokens;
    }

    std::vector<DayBucket> buckets;
    buckets.reserve(days.size());
    for (std::size_t i = 0; i < days.size(); ++i) {
        DayBucket bucket{locate.dayStart(firstDay + static_cast<std::int64_t>(i)), {}};
        for (std::size_t name = 0; name < days[i].size(); ++name) {
            const Cell& cell = days[i][name];
            if (!cell.present)
                continue;
            const std::string& displayName = nameIndex.names()[name];
            if (ModelMapper::isStandIn(displayName) && cell.output == 0)
                continue;
            bucket.perModel.emplace(displayName, cell.output);
        }
        buckets.push_back(std::move(bucket));
    }
    return buckets;
}

std::vector<HeatmapCell> heatmapCells(Messages messages, const DayClock& clock)
{
    DayLocator locate(clock);
    std::unordered_map<std::int64_t, std::array<std::int64_t, 24>> byDay;
    std::int64_t lastDay = 0;
    std::array<std::int64_t, 24>* lastHours = nullptr;
    for (const DashboardMessage& m : messages) {
        const auto [day, hour] = locate(m.timestamp);
        if (!lastHours || day != lastDay) {
            lastHours = &byDay.try_emplace(day).first->second;
            lastDay = day;
        }
        (*lastHours)[static_cast<std::size_t>(hour)] += m.inputTokens + m.outputTokens;
    }

    std::vector<std::int64_t> days;
    days.reserve(byDay.size());
    for (const auto& entry : byDay)
        days.push_back(entry.first);
    std::sort(days.begin(), days.end());

    std::vector<HeatmapCell> cells;
    cells.reserve(days.size() * 24);
    for (const std::int64_t day : days) {
        const auto& hours = byDay[day];
        for (int hour = 0; hour < 24; ++hour)
            cells.push_back({locate.dayStart(day), hour, hours[static_cast<std::size_t>(hour)]});
    }
    return cells;
}

std::vector<ModelTokenRow> modelTokenRows(Messages messages)
{
    NameIndex nameIndex;
    std::vector<std::pair<std::int64_t, std::int64_t>> sums;
    for (const DashboardMessage& m : messages) {
        const std::size_t name = nameIndex(m.model);
        if (sums.size() <= name)
            sums.resize(name + 1);
        sums[name].first += m.inputTokens;
        sums[name].second += m.outputTokens;
    }

    std::vector<ModelTokenRow> rows;
    for (std::size_t name = 0; name < sums.size(); ++name) {
        const std::string& displayName = nameIndex.names()[name];
        if (ModelMapper::isStandIn(displayName) && sums[name].first + sums[name].second == 0)
            continue;
        rows.push_back({displayName, sums[name].first, sums[name].second});
    }
    std::stable_sort(rows.begin(), rows.end(), [](const ModelTokenRow& a, const ModelTokenRow& b) {
        return a.inputTokens + a.outputTokens > b.inputTokens + b.outputTokens;
    });
    return rows;
}

std::vector<SessionRow> sessionRows(Messages messages)
{
    struct Agg {
        Instant latest;
        std::int64_t count = 0;
        std::int64_t output = 0;
    };
    // Keys point into `messages`, which outlives this call.
    std::unordered_map<std::string_view, std::size_t> indexOf;
    std::vector<std::pair<std::string_view, Agg>> sessions;
    const void* lastSession = nullptr;
    std::size_t lastIndex = 0;
    for (const DashboardMessage& m : messages) {
        if (!lastSession || lastSession != m.sessionId.identity()) {
            const auto [it, inserted] = indexOf.try_emplace(m.sessionId.view(), sessions.size());
            if (inserted)
                sessions.push_back({m.sessionId.view(), Agg{m.timestamp, 0, 0}});
            lastSession = m.sessionId.identity();
            lastIndex = it->second;
        }
        Agg& agg = sessions[lastIndex].second;
        agg.latest = std::max(agg.latest, m.timestamp);
        agg.count += 1;
        agg.output += m.outputTokens;
    }

    std::vector<SessionRow> rows;
    rows.reserve(sessions.size());
    for (const auto& [id, agg] : sessions)
        rows.push_back({std::string(id), agg.latest, agg.count, agg.output});
    std::stable_sort(rows.begin(), rows.end(),
                     [](const SessionRow& a, const SessionRow& b) { return a.latestTimestamp > b.latestTimestamp; });
    return rows;
}

std::vector<UnpricedModel> unpricedModels(Messages messages)
{
    TextIndex<AsIs> identifiers;
    std::vector<std::int64_t> counts;
    for (const DashboardMessage& m : messages) {
        if (m.inputTokens + m.outputTokens + m.cacheCreationInputTokens + m.cacheReadInputTokens == 0)
            continue;
        const std::size_t index = identifiers(m.model);
        if (counts.size() <= index)
            counts.resize(index + 1);
        ++counts[index];
    }
    std::vector<UnpricedModel> unpriced;
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (!ModelPricingCatalog::isPriced(identifiers.keys()[i]))
            unpriced.push_back({identifiers.keys()[i], counts[i]});
    }
    std::stable_sort(unpriced.begin(), unpriced.end(), [](const UnpricedModel& a, const UnpricedModel& b) {
        return a.messages != b.messages ? a.messages > b.messages : a.model < b.model;
    });
    return unpriced;
}

} // namespace tallyglass::DashboardAggregator
