#include "dashboard/UsageBlocks.h"

#include "pricing/ModelPricingCatalog.h"

#include <algorithm>
#include <map>
#include <numeric>

namespace tallyglass::UsageBlocks {

namespace {

Instant startOfHour(Instant t)
{
    return std::chrono::floor<std::chrono::hours>(t);
}

// Whether a model has a price, asked once per identifier: a year holds a
// million messages but only a handful of models.
class PriceKnowledge {
public:
    bool isPriced(const SharedText& model)
    {
        const auto found = known_.find(model.view());
        if (found != known_.end())
            return found->second;
        const bool priced = ModelPricingCatalog::isPriced(model.view());
        known_.emplace(model.str(), priced);
        return priced;
    }

private:
    std::map<std::string, bool, std::less<>> known_;
};

// Tokens per minute and dollars per hour between the block's first and last
// message. A block of one message (or of a burst within a minute) is taken
// as a minute long, so that the rate stays finite and no larger than the
// figures themselves.
void addRateAndProjection(Block& block, Instant now)
{
    const double minutes = std::max(1.0, secondsBetween(block.firstActivity, block.lastActivity) / 60.0);
    BurnRate rate;
    rate.tokensPerMinute = static_cast<double>(block.figures.tokens()) / minutes;
    rate.costPerHour = block.figures.cost / minutes * 60.0;
    const double minutesLeft = std::max(0.0, secondsBetween(now, block.end) / 60.0);
    Projection projection;
    projection.tokens = block.figures.tokens() + static_cast<std::int64_t>(rate.tokensPerMinute * minutesLeft);
    projection.cost = block.figures.cost + rate.costPerHour * minutesLeft / 60.0;
    block.burnRate = rate;
    block.projection = projection;
}

} // namespace

std::vector<Block> group(MessageList messages, Instant now)
{
    // The read client gives messages in time order; anything else is put in order first.
    std::vector<std::uint32_t> order;
    const bool sorted = std::is_sorted(messages.begin(), messages.end(),
        [](const DashboardMessage& a, const DashboardMessage& b) { return a.timestamp < b.timestamp; });
    if (!sorted) {
        order.resize(messages.size());
        std::iota(order.begin(), order.end(), 0u);
        std::stable_sort(order.begin(), order.end(),
            [&](std::uint32_t a, std::uint32_t b) { return messages[a].timestamp < messages[b].timestamp; });
    }
    std::vector<Block> blocks;
    PriceKnowledge prices;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const DashboardMessage& m = sorted ? messages[i] : messages[order[i]];
        if (blocks.empty() || m.timestamp - blocks.back().start > length
            || m.timestamp - blocks.back().lastActivity > length) {
            Block next;
            next.start = startOfHour(m.timestamp);
            next.end = next.start + length;
            next.firstActivity = m.timestamp;
            blocks.push_back(next);
        }
        Block& block = blocks.back();
        block.lastActivity = m.timestamp;
        block.figures.add(m);
        if (!block.priced)
            block.priced = prices.isPriced(m.model);
    }
    for (Block& block : blocks) {
        block.active = now >= block.start && now < block.end && now - block.lastActivity < length;
        if (block.active)
            addRateAndProjection(block, now);
    }
    return blocks;
}

std::optional<Block> active(std::span<const DashboardMessage> messages, Instant now, bool sorted)
{
    if (!sorted) {
        for (Block& block : group(messages, now))
            if (block.active)
                return std::move(block);
        return std::nullopt;
    }
    // Back to the last pause of over five hours that ended five hours or more
    // before now: no block before it can be going on, and none reaches across it.
    std::size_t first = messages.size();
    while (first > 0) {
        --first;
        if (first > 0 && messages[first].timestamp - messages[first - 1].timestamp > length
            && now - messages[first - 1].timestamp >= length)
            break;
    }
    // Blocks follow one another without overlapping, so the one going on can
    // only be the last to start by now: its start is found from the times alone,
    // and only its messages are added up.
    Instant start;
    Instant last;
    for (std::size_t i = first; i < messages.size(); ++i) {
        const Instant t = messages[i].timestamp;
        if (i == first || t - start > length || t - last > length) {
            if (startOfHour(t) > now)
                break;
            start = startOfHour(t);
            first = i;
        }
        last = t;
    }
    const std::span<const DashboardMessage> rest(messages.data() + first, messages.size() - first);
    const std::vector<Block> blocks = group(MessageList(rest), now);
    if (blocks.empty() || !blocks.front().active)
        return std::nullopt;
    return blocks.front();
}

} // namespace tallyglass::UsageBlocks
