#include "dashboard/ReportFormat.h"
#include "dashboard/ReportLayout.h"
#include "pricing/ModelMapper.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

namespace tallyglass::ReportLayout {

using namespace Scene;

namespace {

constexpr Font body(double size, int weight = 400)
{
    return {size, weight, false};
}

void emptyText(Layer& layer, Rect content, const std::string& what, const Palette& p)
{
    layer.items.push_back(text({content.x, content.y, content.width, lineHeight(10)}, what, body(10), p.textSubtle));
}

// A round step for an axis: 1, 2 or 5 times a power of ten, giving at most four steps.
double axisStep(double maximum)
{
    if (maximum <= 0)
        return 1;
    const double rough = maximum / 4;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (double factor : {1.0, 2.0, 5.0, 10.0}) {
        if (factor * power >= rough)
            return factor * power;
    }
    return 10 * power;
}

std::string shortDay(Instant day, const DayClock& clock)
{
    const std::string label = ReportFormat::dayLabel(day, clock);
    return label.substr(0, label.find(','));
}

// The models of the chosen days: the order they stack in, their colours, the
// order the legend names them in, and the tallest day's total.
struct TimelineModels {
    std::vector<std::string> names;
    std::map<std::string, Rgba> colours;
    std::vector<std::string> legendOrder;
    double maximum = 0;
};

TimelineModels timelineModels(const std::vector<DayBucket>& buckets)
{
    std::set<std::string> nameSet;
    double maximum = 0;
    for (const DayBucket& bucket : buckets) {
        double total = 0;
        for (const auto& [name, count] : bucket.perModel) {
            nameSet.insert(name);
            total += static_cast<double>(count);
        }
        maximum = std::max(maximum, total);
    }
    TimelineModels models;
    models.names.assign(nameSet.begin(), nameSet.end());
    models.colours = ReportFormat::colourMap(models.names);
    models.legendOrder = ModelMapper::sortedKeys(models.names);
    models.maximum = maximum;
    return models;
}

double legendEntryWidth(const Input& in, const std::string& name)
{
    return 8 + 4 + std::ceil(in.textWidth(name, body(9))) + 6;
}

// The legend wraps onto as many lines as its entries need.
double timelineLegendHeight(const Input& in, const std::vector<std::string>& legendOrder, double width)
{
    double height = lineHeight(9);
    double x = 0;
    for (const std::string& name : legendOrder) {
        const double w = legendEntryWidth(in, name);
        if (x > 0 && x + w > width) {
            height += lineHeight(9) + 4;
            x = 0;
        }
        x += w;
    }
    return height;
}

void addTimelineAxis(const Palette& p, Rect plot, double axisWidth, double top, double step, Layer& layer)
{
    for (double v = 0; v <= top + step / 2; v += step) {
        const double y = plot.bottom() - v / top * plot.height;
        layer.items.push_back(rect({plot.x, y, plot.width, 0.5}, Fill::solid(p.chartGridLine)));
        layer.items.push_back(text({plot.right() + 4, y - lineHeight(9) / 2, axisWidth - 4, lineHeight(9)},
                                   ReportFormat::fmt(static_cast<std::int64_t>(v)), body(9), p.textSubtle));
    }
}

// One stacked bar a day; days other than the hovered one fade as the hover's emphasis grows.
void addTimelineBars(const Input& in, Rect plot, const TimelineModels& models, double top, Layer& layer, Result& result)
{
    const auto& buckets = in.snapshot->days;
    const double slot = plot.width / static_cast<double>(buckets.size());
    const double barWidth = std::clamp(slot * 0.7, 1.0, 48.0);
    const double dim = 1 - 0.55 * std::clamp(in.hover.emphasis, 0.0, 1.0);
    for (std::size_t i = 0; i < buckets.size(); ++i) {
        const DayBucket& bucket = buckets[i];
        result.timelineDays.push_back(bucket.dayStart);
        const double x = plot.x + slot * static_cast<double>(i) + (slot - barWidth) / 2;
        const double opacity = !in.hover.day || *in.hover.day == bucket.dayStart ? 1.0 : dim;
        double base = 0;
        for (const std::string& name : models.names) {
            const auto found = bucket.perModel.find(name);
            if (found == bucket.perModel.end() || found->second <= 0)
                continue;
            const double h = static_cast<double>(found->second) / top * plot.height;
            const Rgba colour = models.colours.at(name);
            layer.items.push_back(rect({x, plot.bottom() - base - h, barWidth, h}, Fill::solid(colour.withOpacity(colour.a * opacity))));
            base += h;
        }
    }
}

// As many day labels as fit, evenly spaced.
void addDayLabels(const Input& in, Rect plot, Layer& layer)
{
    const auto& buckets = in.snapshot->days;
    const double slot = plot.width / static_cast<double>(buckets.size());
    const std::size_t labels = std::max<std::size_t>(1, std::min(buckets.size(), static_cast<std::size_t>(plot.width / 70)));
    const std::size_t every = (buckets.size() + labels - 1) / labels;
    for (std::size_t i = 0; i < buckets.size(); i += every) {
        const double centre = plot.x + slot * (static_cast<double>(i) + 0.5);
        layer.items.push_back(text({centre - 35, plot.bottom() + 4, 70, lineHeight(9)}, shortDay(buckets[i].dayStart, in.snapshot->filters.clock()),
                                   body(9), in.palette->textSubtle, Align::center));
    }
}

// The hovered day's tooltip: its models by count, then the total.
void addTimelineTooltip(const Input& in, Rect c, const std::map<std::string, Rgba>& colours, Layer& overlay)
{
    const Palette& p = *in.palette;
    const auto& buckets = in.snapshot->days;
    if (!in.hover.day || !in.hover.tooltip)
        return;
    const auto hovered = std::find_if(buckets.begin(), buckets.end(), [&](const DayBucket& b) { return b.dayStart == *in.hover.day; });
    if (hovered == buckets.end())
        return;
    std::vector<std::pair<std::string, std::int64_t>> rows(hovered->perModel.begin(), hovered->perModel.end());
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::int64_t total = 0;
    for (const auto& [name, count] : rows)
        total += count;
    const double width = 180;
    const double rowHeight = lineHeight(10) + 2;
    const double height = 8 + lineHeight(10) + 4 + static_cast<double>(rows.size()) * rowHeight + 5 + rowHeight + 6;
    const Rect panel{c.x - 12, c.y - 12 - lineHeight(11) - 8, c.width + 24, c.height + 24 + lineHeight(11) + 8};
    double x = in.hover.pos.x + 14;
    if (x + width > panel.right())
        x = in.hover.pos.x - 14 - width;
    x = std::clamp(x, panel.x, std::max(panel.x, panel.right() - width));
    const double y = std::clamp(in.hover.pos.y - height / 2, panel.y, std::max(panel.y, panel.bottom() - height));
    Shape box = rect({x, y, width, height}, Fill::solid(p.tooltipBackground), 6);
    box.stroke = Stroke{Fill::solid(p.tooltipBorder), 0.5, {}};
    overlay.items.push_back(box);
    double ty = y + 8;
    overlay.items.push_back(text({x + 10, ty, width - 20, lineHeight(10)}, ReportFormat::dayLabel(hovered->dayStart, in.snapshot->filters.clock()), body(10, 600), p.textPrimary));
    ty += lineHeight(10) + 4;
    for (const auto& [name, count] : rows) {
        overlay.items.push_back(rect({x + 10, ty + (lineHeight(10) - 8) / 2, 8, 8}, Fill::solid(colours.at(name)), 2));
        overlay.items.push_back(text({x + 22, ty, width - 32 - 60, lineHeight(10)}, name, body(10), p.textPrimary));
        overlay.items.push_back(text({x + width - 10 - 60, ty, 60, lineHeight(10)}, ReportFormat::fmt(count), {10, 400, true},
                                     p.textPrimary, Align::right));
        ty += rowHeight;
    }
    overlay.items.push_back(rect({x + 10, ty + 2, width - 20, 0.5}, Fill::solid(p.border)));
    ty += 5;
    overlay.items.push_back(text({x + 10, ty, width - 80, lineHeight(10)}, "Total", body(10, 600), p.textPrimary));
    overlay.items.push_back(text({x + width - 10 - 60, ty, 60, lineHeight(10)}, ReportFormat::fmt(total), {10, 600, true},
                                 p.textPrimary, Align::right));
}

} // namespace

void addGauges(const Input& in, Rect c, Layer& layer)
{
    const Palette& p = *in.palette;
    const auto& usage = in.snapshot->usage;
    if (!usage) { // never a limit read: the block's burn rate stands in
        addBurnRate(in, c, layer);
        return;
    }
    struct Gauge {
        const char* label;
        std::optional<double> utilization;
        std::optional<Instant> resetsAt;
        const std::optional<LimitPace::Projection>& pace;
    };
    const Gauge gauges[] = {
        {"5h window", usage ? usage->fiveHourUtilization : std::nullopt, usage ? usage->fiveHourResetsAt : std::nullopt,
         in.snapshot->fiveHourPace},
        {"7d window", usage ? usage->sevenDayUtilization : std::nullopt, usage ? usage->sevenDayResetsAt : std::nullopt,
         in.snapshot->sevenDayPace},
    };
    double y = c.y;
    for (const Gauge& gauge : gauges) {
        const double row = lineHeight(14);
        layer.items.push_back(text({c.x, y, c.width / 2, row}, gauge.label, body(10), p.textMuted));
        layer.items.push_back(text({c.x + c.width / 2, y, c.width / 2, row}, ReportFormat::gaugeValue(gauge.utilization),
                                   body(14, 600), p.textPrimary, Align::right));
        y += row + 4;
        layer.items.push_back(rect({c.x, y, c.width, 8}, Fill::solid(p.chartGridLine), 3));
        const double fill = ReportFormat::gaugeFill(gauge.utilization);
        if (fill > 0)
            layer.items.push_back(rect({c.x, y, c.width * fill, 8}, Fill::solid(p.accent.withOpacity(p.accent.a * 0.7)), 3));
        y += 8 + 4;
        if (gauge.resetsAt && in.resetLabel) {
            layer.items.push_back(text({c.x, y, c.width, lineHeight(9)}, "resets " + in.resetLabel(*gauge.resetsAt), body(9), p.textSubtle));
            y += lineHeight(9);
        }
        if (gauge.pace && in.resetLabel) {
            const std::string pace = LimitPace::briefSummary(*gauge.pace, in.resetLabel);
            // Reaching the limit first is what a glance at the panel should catch.
            layer.items.push_back(text({c.x, y, c.width, lineHeight(9)}, pace, body(9), gauge.pace->reachesLimitAt ? p.warning : p.textSubtle));
            y += lineHeight(9);
        }
        y += 12;
    }
    addLimitHistory(in, {c.x, y, c.width, std::max(0.0, c.y + c.height - y)}, layer);
}

// The peak of each five-hour window of the chosen days, oldest on the left,
// coloured as the card colours the session's percentage, and how often the
// limit was reached. The latest windows are kept when there are more than fit.
void addLimitHistory(const Input& in, Rect c, Layer& layer)
{
    const Palette& p = *in.palette;
    const auto& windows = in.snapshot->limitWindows;
    const double barsHeight = 28;
    const double captionHeight = lineHeight(9);
    if (windows.empty() || c.height < barsHeight + captionHeight + 4)
        return;
    const double slot = std::clamp(c.width / static_cast<double>(windows.size()), 2.0, 8.0);
    const auto shown = std::min(windows.size(), static_cast<std::size_t>(c.width / slot));
    double x = c.x;
    layer.items.push_back(rect({c.x, c.y + barsHeight - 1, c.width, 1}, Fill::solid(p.chartGridLine), 0));
    for (std::size_t i = windows.size() - shown; i < windows.size(); ++i) {
        const double peak = std::clamp(windows[i].peak, 0.0, 100.0);
        const Rgba colour = peak >= 80 ? NamedColor::red : peak >= 50 ? NamedColor::yellow : NamedColor::green;
        const double height = std::max(1.0, barsHeight * peak / 100);
        layer.items.push_back(rect({x, c.y + barsHeight - height, std::max(1.0, slot - 1), height}, Fill::solid(colour), 0));
        x += slot;
    }
    std::size_t reached = 0;
    for (const auto& w : windows)
        reached += w.reached ? 1 : 0;
    layer.items.push_back(text({c.x, c.y + barsHeight + 4, c.width, captionHeight},
                               "limit reached in " + std::to_string(reached) + " of " + std::to_string(windows.size())
                                   + (windows.size() == 1 ? " window" : " windows"),
                               body(9), p.textSubtle));
}

void addTimeline(const Input& in, Rect c, Layer& layer, Layer& overlay, Result& result)
{
    const auto& buckets = in.snapshot->days;
    if (buckets.empty()) {
        emptyText(layer, c, "no data for current filters", *in.palette);
        return;
    }
    const TimelineModels models = timelineModels(buckets);

    // Legend lines below the axis labels, the plot above them; the values on the trailing side.
    const double axisWidth = 44;
    const double legendHeight = timelineLegendHeight(in, models.legendOrder, c.width);
    const double step = axisStep(models.maximum);
    const double top = std::max(step, std::ceil(models.maximum / step) * step);
    const Rect plot{c.x, c.y + 4, std::max(0.0, c.width - axisWidth), std::max(0.0, c.height - 4 - lineHeight(9) - 6 - legendHeight - 6)};
    result.timelinePlot = plot;
    addTimelineAxis(*in.palette, plot, axisWidth, top, step, layer);
    addTimelineBars(in, plot, models, top, layer, result);
    addDayLabels(in, plot, layer);
    // The legend, wrapped as timelineLegendHeight() counted. (Drawn here: as a
    // function of its own, GCC 12 warns of an overlapping copy in its strings
    // that cannot happen.)
    double lx = c.x;
    double ly = plot.bottom() + 4 + lineHeight(9) + 6;
    for (const std::string& name : models.legendOrder) {
        const double w = legendEntryWidth(in, name);
        if (lx > c.x && lx + w > c.right()) {
            lx = c.x;
            ly += lineHeight(9) + 4;
        }
        layer.items.push_back(rect({lx, ly + (lineHeight(9) - 8) / 2, 8, 8}, Fill::solid(models.colours.at(name)), 2));
        layer.items.push_back(text({lx + 12, ly, w - 12, lineHeight(9)}, name, body(9), in.palette->textMuted));
        lx += w;
    }
    addTimelineTooltip(in, c, models.colours, overlay);
}

void addModels(const Input& in, Rect c, Layer& layer, Result& result)
{
    const Palette& p = *in.palette;
    const auto& rows = in.snapshot->models;
    if (rows.empty()) {
        emptyText(layer, c, "no data for current filters", p);
        return;
    }
    std::vector<std::string> names;
    for (const auto& row : rows)
        names.push_back(row.displayName);
    const auto colours = ReportFormat::colourMap(names);
    const double nameWidth = 78;
    const double valueWidth = 46;
    const double barSpace = std::max(0.0, c.width - nameWidth - valueWidth - 12);
    const auto lengths = ReportFormat::barLengths(rows, barSpace);
    const double rowHeight = 14;
    // What does not fit is counted on a last line rather than cut off unseen.
    const auto fitting = static_cast<std::size_t>(std::max(0.0, std::floor((c.height + 8) / (rowHeight + 8))));
    const std::size_t shown = rows.size() <= fitting ? rows.size() : (fitting > 0 ? fitting - 1 : 0);
    double y = c.y;
    for (std::size_t i = 0; i < shown; ++i) {
        const ModelTokenRow& row = rows[i];
        const Rgba colour = colours.at(row.displayName);
        layer.items.push_back(text({c.x, y, nameWidth, rowHeight}, row.displayName, body(10), p.textPrimary));
        const double barX = c.x + nameWidth + 6;
        layer.items.push_back(rect({barX, y, barSpace, rowHeight}, Fill::solid(p.background.withOpacity(p.background.a * 0.4)), 3));
        // The input share, then the output share, as one bar with rounded ends.
        const double total = static_cast<double>(row.inputTokens + row.outputTokens);
        const double inputLength = total > 0 ? lengths[i] * static_cast<double>(row.inputTokens) / total : 0;
        Layer bar;
        bar.clip = rect({barX, y, lengths[i], rowHeight}, Fill{}, 3);
        bar.items.push_back(rect({barX, y, inputLength, rowHeight}, Fill::solid(colour.withOpacity(colour.a * 0.45))));
        bar.items.push_back(rect({barX + inputLength, y, lengths[i] - inputLength, rowHeight}, Fill::solid(colour)));
        result.clipped.push_back(std::move(bar));
        layer.items.push_back(text({c.right() - valueWidth, y, valueWidth, rowHeight},
                                   ReportFormat::fmt(row.inputTokens + row.outputTokens), {10, 400, true}, p.textPrimary, Align::right));
        std::string help = row.displayName + ": " + ReportFormat::fmt(row.inputTokens) + " in, " + ReportFormat::fmt(row.outputTokens) + " out";
        for (const auto& cost : in.snapshot->modelCosts) {
            if (cost.displayName == row.displayName)
                help += ", cost " + (cost.priced ? ReportFormat::fmtUSD(cost.cost) : std::string("\u2014 (no price known)"));
        }
        result.help.push_back({{c.x, y, c.width, rowHeight}, help});
        y += rowHeight + 8;
    }
    if (shown < rows.size())
        layer.items.push_back(text({c.x, y, c.width, rowHeight}, "+" + std::to_string(rows.size() - shown) + " more", body(10), p.textSubtle));
}

void addTotals(const Input& in, Rect c, Layer& layer)
{
    const Palette& p = *in.palette;
    const Totals& t = in.snapshot->totals;
    const std::pair<const char*, std::string> tiles[] = {
        {"Input", ReportFormat::fmt(t.input)},
        {"Output", ReportFormat::fmt(t.output)},
        {"Cache created", ReportFormat::fmt(t.cacheCreated)},
        {"Cache read", ReportFormat::fmt(t.cacheRead)},
        {"Sessions", ReportFormat::fmt(t.sessionCount)},
        {"Messages", ReportFormat::fmt(t.messageCount)},
        {"Cost", ReportFormat::fmtUSD(t.costUSD)},
    };
    const std::string note = unpricedNote(in.snapshot->unpriced); // and, below it, what that means for the cost
    const double gap = 8;
    const double tileWidth = (c.width - gap) / 2;
    // Tiles give up padding before anything leaves the panel (a small window under a tall header).
    const double noteSpace = note.empty() ? 0 : gap + lineHeight(9) * 2;
    const double bare = lineHeight(10) + 2 + lineHeight(16);
    const double tileHeight = std::clamp((c.height - noteSpace - 3 * gap) / 4, bare + 2, bare + 16);
    const double pad = (tileHeight - bare) / 2;
    double y = c.y;
    for (std::size_t i = 0; i < std::size(tiles); ++i) {
        const double x = c.x + static_cast<double>(i % 2) * (tileWidth + gap);
        y = c.y + static_cast<double>(i / 2) * (tileHeight + gap);
        layer.items.push_back(rect({x, y, tileWidth, tileHeight}, Fill::solid(p.background.withOpacity(p.background.a * 0.4)), 6));
        layer.items.push_back(text({x + 8, y + pad, tileWidth - 16, lineHeight(10)}, tiles[i].first, body(10), p.textMuted));
        layer.items.push_back(text({x + 8, y + pad + lineHeight(10) + 2, tileWidth - 16, lineHeight(16)}, tiles[i].second, body(16),
                                   p.textPrimary));
    }
    if (!note.empty()) {
        const double top = y + tileHeight + gap;
        layer.items.push_back(text({c.x, top, c.width, lineHeight(9)}, note, body(9), p.textSubtle));
        layer.items.push_back(text({c.x, top + lineHeight(9), c.width, lineHeight(9)}, "(their cost is not in the figures)", body(9), p.textSubtle));
    }
}

} // namespace tallyglass::ReportLayout
