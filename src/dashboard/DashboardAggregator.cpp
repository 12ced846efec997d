#include "dashboard/DashboardAggregator.h"

#include "pricing/ModelPricingCatalog.h"

#include "core/UtcCalendar.h"
#include "pricing/DisplayNameCache.h"
#include "pricing/ModelPricingCatalog.h"

#include <algorithm>
#include <array>
#include <map>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace tallyglass::DashboardAggregator {

namespace {

constexpr std::string_view otherName = "Other";

// Display names numbered in order of first appearance, so per-day and per-model
// sums can live in flat vectors instead of maps of strings.
class NameIndex {
public:
    std::size_t operator()(const SharedText& identifier)
    {
        // Messages that share an identifier's text are answered by its address
        // alone; the text is looked at once per distinct allocation.
        const void* identity = identifier.identity();
        if (identity && identity == lastIdentity_)
            return lastIndex_;
        if (identity) {
            if (const auto known = byIdentity_.find(identity); known != byIdentity_.end()) {
                lastIdentity_ = identity;
                lastIndex_ = known->second;
                return lastIndex_;
            }
        }
        const std::string& name = displayNames_(identifier.view());
        auto found = indexOfName_.find(name);
        if (found == indexOfName_.end()) {
            found = indexOfName_.emplace(name, names_.size()).first;
            names_.push_back(name);
        }
        if (identity)
            byIdentity_.emplace(identity, found->second);
        lastIdentity_ = identity;
        lastIndex_ = found->second;
        return lastIndex_;
    }
    const std::vector<std::string>& names() const { return names_; }

private:
    DisplayNameCache displayNames_;
    std::unordered_map<std::string, std::size_t> indexOfName_;
    std::unordered_map<const void*, std::size_t> byIdentity_;
    std::vector<std::string> names_;
    const void* lastIdentity_ = nullptr;
    std::size_t lastIndex_ = 0;
};

Instant dayStartOf(std::int64_t dayNumber)
{
    return UtcCalendar::addDays(Instant{}, dayNumber);
}

} // namespace

std::vector<DashboardMessage> filter(const std::vector<DashboardMessage>& messages, const DashboardFilters& filters)
{
    std::vector<DashboardMessage> kept;
    kept.reserve(messages.size());
    for (const DashboardMessage& m : messages) {
        if (m.timestamp < filters.from || m.timestamp >= filters.to)
            continue;
        if (!filters.models.empty() && !filters.models.contains(m.model.view()))
            continue;
        kept.push_back(m);
    }
    return kept;
}

std::optional<Span> bounds(const std::vector<DashboardMessage>& messages)
{
    if (messages.empty())
        return std::nullopt;
    Instant earliest = messages.front().timestamp;
    Instant latest = earliest;
    for (const DashboardMessage& m : messages) {
        earliest = std::min(earliest, m.timestamp);
        latest = std::max(latest, m.timestamp);
    }
    return Span{UtcCalendar::startOfDay(earliest), UtcCalendar::addDays(UtcCalendar::startOfDay(latest), 1)};
}

Span applyPreset(DatePreset preset, Span dataBounds, Instant now)
{
    return applyDays(daysCovered(preset), dataBounds, now);
}

Span applyDays(std::int64_t days, Span dataBounds, Instant now)
{
    const Instant start = UtcCalendar::addDays(UtcCalendar::startOfDay(now), 1 - std::max<std::int64_t>(days, 1));
    return {std::max(dataBounds.first, start), dataBounds.second};
}

Totals totals(const std::vector<DashboardMessage>& messages)
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

std::vector<DayBucket> bucketByDay(const std::vector<DashboardMessage>& messages)
{
    if (messages.empty())
        return {};
    // The span of days is all the ordering needed: sums do not depend on the
    // order in which they are added, so the messages are never sorted.
    std::int64_t firstDay = UtcCalendar::dayNumber(messages.front().timestamp);
    std::int64_t lastDay = firstDay;
    for (const DashboardMessage& m : messages) {
        const std::int64_t day = UtcCalendar::dayNumber(m.timestamp);
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
        auto& cells = days[static_cast<std::size_t>(UtcCalendar::dayNumber(m.timestamp) - firstDay)];
        const std::size_t name = nameIndex(m.model);
        if (cells.size() <= name)
            cells.resize(name + 1);
        cells[name].present = true;
        cells[name].output += m.outputTokens;
    }

    std::vector<DayBucket> buckets;
    buckets.reserve(days.size());
    for (std::size_t i = 0; i < days.size(); ++i) {
        DayBucket bucket{dayStartOf(firstDay + static_cast<std::int64_t>(i)), {}};
        for (std::size_t name = 0; name < days[i].size(); ++name) {
            const Cell& cell = days[i][name];
            if (!cell.present)
                continue;
            const std::string& displayName = nameIndex.names()[name];
            if (displayName == otherName && cell.output == 0)
                continue;
            bucket.perModel.emplace(displayName, cell.output);
        }
        buckets.push_back(std::move(bucket));
    }
    return buckets;
}

std::vector<HeatmapCell> heatmapCells(const std::vector<DashboardMessage>& messages)
{
    std::unordered_map<std::int64_t, std::array<std::int64_t, 24>> byDay;
    std::int64_t lastDay = 0;
    std::array<std::int64_t, 24>* lastHours = nullptr;
    for (const DashboardMessage& m : messages) {
        const std::int64_t day = UtcCalendar::dayNumber(m.timestamp);
        if (!lastHours || day != lastDay) {
            lastHours = &byDay.try_emplace(day).first->second;
            lastDay = day;
        }
        (*lastHours)[static_cast<std::size_t>(UtcCalendar::hourOfDay(m.timestamp))] += m.inputTokens + m.outputTokens;
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
            cells.push_back({dayStartOf(day), hour, hours[static_cast<std::size_t>(hour)]});
    }
    return cells;
}

std::vector<ModelTokenRow> modelTokenRows(const std::vector<DashboardMessage>& messages)
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
        if (displayName == otherName && sums[name].first + sums[name].second == 0)
            continue;
        rows.push_back({displayName, sums[name].first, sums[name].second});
    }
    std::stable_sort(rows.begin(), rows.end(), [](const ModelTokenRow& a, const ModelTokenRow& b) {
        return a.inputTokens + a.outputTokens > b.inputTokens + b.outputTokens;
    });
    return rows;
}

std::vector<SessionRow> sessionRows(const std::vector<DashboardMessage>& messages)
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

std::vector<UnpricedModel> unpricedModels(const std::vector<DashboardMessage>& messages)
{
    // Messages share their model's text: look each distinct one up once.
    std::map<std::string_view, std::pair<bool, std::int64_t>> seen; // priced, messages
    for (const DashboardMessage& m : messages) {
        if (m.inputTokens + m.outputTokens + m.cacheCreationInputTokens + m.cacheReadInputTokens == 0)
            continue;
        auto [it, inserted] = seen.try_emplace(m.model.view(), false, 0);
        if (inserted)
            it->second.first = ModelPricingCatalog::isPriced(m.model.view());
        ++it->second.second;
    }
    std::vector<UnpricedModel> unpriced;
    for (const auto& [model, entry] : seen) {
        if (!entry.first)
            unpriced.push_back({std::string(model), entry.second});
    }
    std::stable_sort(unpriced.begin(), unpriced.end(),
                     [](const UnpricedModel& a, const UnpricedModel& b) { return a.messages > b.messages; });
    return unpriced;
}

} // namespace tallyglass::DashboardAggregator
