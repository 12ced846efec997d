#include "core/GroupedCount.h"
#include "dashboard/ReportFormat.h"
#include "dashboard/ReportLayout.h"

#include <algorithm>
#include <cmath>

namespace tallyglass::ReportLayout {

using namespace Scene;

// With a key rather than a plan, Claude Code's status line reports no limits,
// so the gauges would stay empty for good. What such a user can still watch is
// the five-hour block going on: how fast it burns and where that leads by its
// end, as `tallyglass blocks` says it.
void addBurnRate(const Input& in, Rect c, Layer& layer)
{
    const Palette& p = *in.palette;
    const auto& block = in.snapshot->activeBlock;
    const auto label = [&](Instant t) { return in.resetLabel ? in.resetLabel(t) : std::string(); };
    double y = c.y;
    if (!block || !block->burnRate || !block->projection) {
        layer.items.push_back(text({c.x, y, c.width, lineHeight(10)}, "No five-hour block going on", {10, 400, false}, p.textSubtle));
        y += lineHeight(10) + 12;
    } else {
        layer.items.push_back(text({c.x, y, c.width, lineHeight(10)}, "Five-hour block since " + label(block->start),
                                   {10, 400, false}, p.textMuted));
        y += lineHeight(10) + 8;
        const std::pair<const char*, std::string> figures[] = {
            {"Tokens a minute", groupedCount(static_cast<std::int64_t>(std::llround(block->burnRate->tokensPerMinute)))},
            {"Cost an hour", block->priced ? ReportFormat::fmtUSD(block->burnRate->costPerHour) : "\u2014"},
        };
        const double row = lineHeight(14);
        for (const auto& [name, value] : figures) {
            layer.items.push_back(text({c.x, y, c.width / 2, row}, name, {10, 400, false}, p.textMuted));
            layer.items.push_back(text({c.x + c.width / 2, y, c.width / 2, row}, value, {14, 600, false}, p.textPrimary, Align::right));
            y += row + 4;
        }
        // The block so far against what it comes to at this rate.
        const auto projected = static_cast<double>(block->projection->tokens);
        const double share = projected > 0 ? std::clamp(static_cast<double>(block->figures.tokens()) / projected, 0.0, 1.0) : 0;
        layer.items.push_back(rect({c.x, y, c.width, 8}, Fill::solid(p.chartGridLine), 3));
        if (share > 0)
            layer.items.push_back(rect({c.x, y, c.width * share, 8}, Fill::solid(p.accent.withOpacity(p.accent.a * 0.7)), 3));
        y += 8 + 4;
        std::string projection = "by " + label(block->end) + " at this rate: " + ReportFormat::fmt(block->projection->tokens) + " tokens";
        if (block->priced)
            projection += ", " + ReportFormat::fmtUSD(block->projection->cost);
        layer.items.push_back(text({c.x, y, c.width, lineHeight(9)}, projection, {9, 400, false}, p.textSubtle));
        y += lineHeight(9) + 12;
    }
    if (y + lineHeight(9) <= c.bottom())
        layer.items.push_back(text({c.x, y, c.width, lineHeight(9)}, "No limits read: they come with a plan's status line",
                                   {9, 400, false}, p.textSubtle));
}

} // namespace tallyglass::ReportLayout
