#include "dashboard/BlockReport.h"

#include "core/GroupedCount.h"
#include "core/IsoTime.h"
#include "dashboard/TextTable.h"
#include "dashboard/UsageReport.h"

#include <nlohmann/json.hpp>

#include <cmath>

namespace tallyglass::BlockReport {

namespace {

using nlohmann::ordered_json;
using UsageBlocks::Block;

ordered_json costOrNull(const Block& block, double cost)
{
    return block.priced ? ordered_json(TerminalReport::microDollars(cost)) : ordered_json(nullptr);
}

std::string costText(const Block& block, double cost)
{
    return block.priced ? TerminalReport::money(cost) : "\u2014";
}

// The end shows only its time when it falls on the start's day, as it mostly does.
std::string endText(const Block& block, const DayClock& clock)
{
    const std::string start = clock.minute(block.start);
    const std::string end = clock.minute(block.end);
    return start.substr(0, 10) == end.substr(0, 10) ? end.substr(11) : end;
}

std::string activeLines(const Block& block, const DayClock& clock)
{
    const UsageBlocks::BurnRate& rate = *block.burnRate;
    const UsageBlocks::Projection& projection = *block.projection;
    std::string text = "\nActive block since " + clock.minute(block.start) + ": "
        + groupedCount(static_cast<std::int64_t>(std::llround(rate.tokensPerMinute))) + " tokens a minute";
    if (block.priced)
        text += ", " + TerminalReport::money(rate.costPerHour) + " an hour";
    text += "\nAt this rate by " + clock.minute(block.end) + ": " + UsageReport::shortTokens(projection.tokens)
        + " tokens";
    if (block.priced)
        text += ", " + TerminalReport::money(projection.cost);
    return text + "\n";
}

} // namespace

std::string renderText(
    const std::vector<Block>& blocks, const std::string& title, const DayClock& clock, std::size_t width)
{
    std::string out = "Five-hour blocks, " + title + " (" + clock.zoneName() + ")\n\n";
    if (blocks.empty())
        return out + "No messages in these days.\n";
    // The cache columns give way first on a narrow terminal; the cost always stays.
    TextTable table({ { "Start" }, { "End" }, { "Last activity", false, TextTable::Shrink::never, 8, 0, 6 },
        { "Messages", true, TextTable::Shrink::never, 8, 0, 3 }, { "Input", true, TextTable::Shrink::never, 8, 0, 4 },
        { "Output", true, TextTable::Shrink::never, 8, 0, 5 },
        { "Cache write", true, TextTable::Shrink::never, 8, 0, 1 },
        { "Cache read", true, TextTable::Shrink::never, 8, 0, 2 }, { "Cost", true }, { "" } });
    const Block* active = nullptr;
    for (const Block& block : blocks) {
        const auto& f = block.figures;
        table.add({ clock.minute(block.start), endText(block, clock), clock.minute(block.lastActivity),
            groupedCount(f.messages), UsageReport::shortTokens(f.input), UsageReport::shortTokens(f.output),
            UsageReport::shortTokens(f.cacheWritten), UsageReport::shortTokens(f.cacheRead), costText(block, f.cost),
            block.active ? "active" : "" });
        if (block.active)
            active = &block;
    }
    out += table.render(width);
    if (active)
        out += activeLines(*active, clock);
    return out;
}

std::string renderJson(const std::vector<Block>& blocks)
{
    ordered_json list = ordered_json::array();
    for (const Block& block : blocks) {
        const auto& f = block.figures;
        ordered_json item;
        item["start"] = IsoTime::formatSeconds(block.start);
        item["end"] = IsoTime::formatSeconds(block.end);
        item["lastActivity"] = IsoTime::formatSeconds(block.lastActivity);
        item["active"] = block.active;
        item["messages"] = f.messages;
        item["input"] = f.input;
        item["output"] = f.output;
        item["cacheWritten"] = f.cacheWritten;
        item["cacheRead"] = f.cacheRead;
        item["costUSD"] = costOrNull(block, f.cost);
        item["burnRate"] = nullptr;
        item["projection"] = nullptr;
        if (block.burnRate)
            item["burnRate"] = { { "tokensPerMinute", std::round(block.burnRate->tokensPerMinute * 100.0) / 100.0 },
                { "costPerHour", costOrNull(block, block.burnRate->costPerHour) } };
        if (block.projection)
            item["projection"]
                = { { "tokens", block.projection->tokens }, { "costUSD", costOrNull(block, block.projection->cost) } };
        list.push_back(std::move(item));
    }
    ordered_json out;
    out["blocks"] = std::move(list);
    return out.dump(2) + "\n";
}

} // namespace tallyglass::BlockReport
