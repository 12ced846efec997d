#include "overlay/Bucketize.h"

#include "pricing/DisplayNameCache.h"
#include "pricing/ModelMapper.h"

#include <array>
#include <map>
#include <optional>

namespace tallyglass::Bucketize {

namespace {

std::optional<std::int64_t> slotFor(Instant timestamp, Instant anchor, double width, int count)
{
    const Instant windowStart = anchor - std::chrono::seconds(static_cast<std::int64_t>(windowSeconds));
    const double x = secondsBetween(windowStart, timestamp);
    if (x < 0 || x >= windowSeconds)
        return std::nullopt;
    const double d = secondsBetween(timestamp, anchor);
    const auto slot = static_cast<std::int64_t>(count - 1) - static_cast<std::int64_t>(d / width);
    if (slot < 0 || slot >= count)
        return std::nullopt;
    return slot;
}

struct Sums {
    std::int64_t input = 0;
    std::int64_t output = 0;
};

} // namespace

std::vector<BarSegment> bucketize(const std::vector<MessageRow>& rows, Instant anchor)
{
    // Keyed by display name first: a window holds a handful of models, and the
    // display name is derived once per distinct identifier rather than per row.
    std::map<std::string, std::array<std::optional<Sums>, barSlots>> byName;
    DisplayNameCache nameOf;
    for (const MessageRow& row : rows) {
        const auto slot = slotFor(row.timestamp, anchor, barSlotSeconds, barSlots);
        if (!slot)
            continue;
        const std::string& name = nameOf(row.model ? std::string_view(*row.model) : std::string_view());
        auto& sums = byName[name][static_cast<std::size_t>(*slot)];
        if (!sums)
            sums.emplace();
        sums->input += row.inputTokens;
        sums->output += row.outputTokens;
    }

    std::vector<std::string> names;
    names.reserve(byName.size());
    for (const auto& entry : byName)
        names.push_back(entry.first);
    names = ModelMapper::sortedKeys(std::move(names));

    std::vector<BarSegment> segments;
    for (int slot = 0; slot < barSlots; ++slot) {
        for (const std::string& name : names) {
            const auto& sums = byName[name][static_cast<std::size_t>(slot)];
            if (sums)
                segments.push_back({slot, name, sums->input, sums->output});
        }
    }
    return segments;
}

std::vector<std::int64_t> lineTotals(const std::vector<MessageRow>& rows, Instant anchor)
{
    std::vector<std::int64_t> totals(lineSlots, 0);
    for (const MessageRow& row : rows) {
        if (const auto slot = slotFor(row.timestamp, anchor, lineSlotSeconds, lineSlots))
            totals[static_cast<std::size_t>(*slot)] += row.inputTokens + row.outputTokens;
    }
    return totals;
}

std::int64_t lineLastFilledBucket(Instant now, Instant anchor)
{
    const Instant windowStart = anchor - std::chrono::seconds(static_cast<std::int64_t>(windowSeconds));
    const double x = secondsBetween(windowStart, now);
    if (x < 0)
        return -1;
    if (x >= windowSeconds)
        return lineSlots - 1;
    return (lineSlots - 1) - static_cast<std::int64_t>(secondsBetween(now, anchor) / lineSlotSeconds);
}

} // namespace tallyglass::Bucketize
