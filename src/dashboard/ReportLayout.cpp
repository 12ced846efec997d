#include "dashboard/ReportLayout.h"

#include "core/Printable.h"
#include "dashboard/DashboardRecords.h"
#include "dashboard/ReportFormat.h"
#include "pricing/ModelMapper.h"

#include <algorithm>
#include <cmath>

namespace tallyglass::ReportLayout {

using namespace Scene;

namespace {

constexpr Font chipFont{10, 600, false};

double chipWidth(const Input& in, const std::string& label)
{
    return std::ceil(in.textWidth(label, chipFont)) + 20;
}

void addChip(const Input& in, Layer& layer, Rect r, const std::string& label, bool active)
{
    const Palette& p = *in.palette;
    Shape capsule = rect(r, Fill::solid(active ? p.accent : p.surfaceElevated), r.height / 2);
    capsule.stroke = Stroke{Fill::solid(p.border), 0.5, {}};
    layer.items.push_back(capsule);
    layer.items.push_back(text(r, label, chipFont, active ? p.background : p.textPrimary, Align::center));
}

constexpr double chipGap = 8;

double chipHeight()
{
    return lineHeight(10) + 8;
}

// The title, "Export…" beside it, then whose days the timeline, the heat
// map and the presets count. Returns the width they take.
double addTitle(const Input& in, Layer& layer, Result& result, double rowHeight)
{
    const Palette& p = *in.palette;
    const double left = padding;
    const Font titleFont{16, 600, false};
    const double titleWidth = std::ceil(in.textWidth("Tallyglass \u2014 Full Report", titleFont));
    layer.items.push_back(text({left, padding, titleWidth + 2, rowHeight}, "Tallyglass \u2014 Full Report", titleFont, p.textPrimary));
    // "Export…" beside the title: it acts on what the chips choose.
    const std::string exportLabel = "Export\u2026";
    const Rect exportChip{left + titleWidth + 16, padding + (rowHeight - chipHeight()) / 2, chipWidth(in, exportLabel), chipHeight()};
    addChip(in, layer, exportChip, exportLabel, false);
    result.chips.push_back({exportChip, std::nullopt, {}, true, std::nullopt});
    const std::string zoneLabel = "Days in:";
    double zx = exportChip.right() + 16;
    const double zoneLabelWidth = std::ceil(in.textWidth(zoneLabel, chipFont));
    layer.items.push_back(text({zx, exportChip.y, zoneLabelWidth + 2, chipHeight()}, zoneLabel, chipFont, p.textMuted));
    zx += zoneLabelWidth + 6;
    for (const bool local : {false, true}) {
        const std::string label = local ? "Local time" : "UTC";
        const Rect r{zx, exportChip.y, chipWidth(in, label), chipHeight()};
        addChip(in, layer, r, label, in.filters.localDays == local);
        result.chips.push_back({r, std::nullopt, {}, false, local});
        zx = r.right() + 4;
    }
    return zx - 4 - left;
}

using ModelChips = std::vector<std::pair<std::string, std::string>>; // label, identifier

// The model chips of each line: all on one beside the rest, or wrapped over
// lines of the given width below it.
std::vector<std::vector<std::size_t>> modelLines(const Input& in, const ModelChips& models, bool oneLine, double width)
{
    std::vector<std::vector<std::size_t>> lines(1);
    if (!oneLine) {
        double used = 0;
        for (std::size_t i = 0; i < models.size(); ++i) {
            const double w = chipWidth(in, models[i].first);
            if (!lines.back().empty() && used + w > width) {
                lines.emplace_back();
                used = 0;
            }
            lines.back().push_back(i);
            used += w + chipGap;
        }
    } else {
        for (std::size_t i = 0; i < models.size(); ++i)
            lines.back().push_back(i);
    }
    return lines;
}

// Lays the model chips from x on the first line; lines below the first are
// filled from the right edge, in order. Returns the top of the line after the last.
double addModelChips(const Input& in, Layer& layer, Result& result, const ModelChips& models, bool oneLine, double x, double lineTop)
{
    const double left = padding;
    const double right = in.width - padding;
    // Below the title's line, a line has the whole width.
    for (const auto& line : modelLines(in, models, oneLine, right - left)) {
        if (!oneLine) {
            double lineWidth = -chipGap;
            for (std::size_t i : line)
                lineWidth += chipWidth(in, models[i].first) + chipGap;
            x = right - lineWidth;
        }
        for (std::size_t i : line) {
            const auto& [label, id] = models[i];
            const Rect r{x, lineTop, chipWidth(in, label), chipHeight()};
            addChip(in, layer, r, label, in.filters.models.contains(id));
            result.chips.push_back({r, std::nullopt, id, false, std::nullopt});
            x += r.width + chipGap;
        }
        lineTop += chipHeight() + chipGap;
    }
    return lineTop;
}

// Title on the left; on the right the date chips, a divider and the model
// chips. Model chips that do not fit beside the rest flow onto further lines,
// right-aligned. Returns the header's height.
double addHeader(const Input& in, Layer& layer, Result& result)
{
    const double gap = chipGap;
    const double left = padding;
    const double right = in.width - padding;
    const double rowHeight = std::max(chipHeight(), lineHeight(16));
    const double titleArea = addTitle(in, layer, result, rowHeight);

    ModelChips models;
    for (const std::string& id : in.availableModels)
        models.emplace_back(ModelMapper::displayName(id), id);
    double presetsWidth = 0;
    for (DatePreset preset : allDatePresets)
        presetsWidth += chipWidth(in, std::string(chipLabel(preset))) + gap;
    double modelsWidth = 0;
    for (const auto& [label, id] : models)
        modelsWidth += chipWidth(in, label) + gap;
    const double dividerWidth = models.empty() ? 0 : 1 + gap;
    const bool oneLine = left + titleArea + 24 + presetsWidth + dividerWidth + modelsWidth - gap <= right;

    double x = right - (oneLine ? presetsWidth + dividerWidth + modelsWidth - gap : presetsWidth - gap);
    const double y = padding + (rowHeight - chipHeight()) / 2;
    for (DatePreset preset : allDatePresets) {
        const std::string label(chipLabel(preset));
        const Rect r{x, y, chipWidth(in, label), chipHeight()};
        addChip(in, layer, r, label, in.filters.preset == preset);
        result.chips.push_back({r, preset, {}, false, std::nullopt});
        x += r.width + gap;
    }
    if (models.empty())
        return rowHeight;
    double lineTop = y;
    if (oneLine) {
        layer.items.push_back(rect({x, padding + (rowHeight - 20) / 2, 1, 20}, Fill::solid(in.palette->border)));
        x += 1 + gap;
    } else {
        lineTop += chipHeight() + gap;
    }
    lineTop = addModelChips(in, layer, result, models, oneLine, x, lineTop);
    return oneLine ? rowHeight : lineTop - gap - padding;
}

} // namespace

double lineHeight(double fontSize)
{
    return std::ceil(fontSize * 1.25);
}

Rect panelFrame(Layer& layer, Rect frame, const std::string& title, const Palette& p)
{
    Shape background = rect(frame, Fill::solid(p.surfaceElevated), 10);
    background.stroke = Stroke{Fill::solid(p.border), 0.5, {}};
    layer.items.push_back(background);
    const double inner = 12;
    double top = frame.y + inner;
    if (!title.empty()) {
        layer.items.push_back(text({frame.x + inner, top, frame.width - 2 * inner, lineHeight(11)}, title, {11, 400, false}, p.textMuted));
        top += lineHeight(11) + 8;
    }
    return {frame.x + inner, top, frame.width - 2 * inner, frame.bottom() - inner - top};
}

Result layout(const Input& in)
{
    Result result;
    const Palette& p = *in.palette;
    Layer base;
    Layer overlay; // the timeline's tooltip, over everything
    base.items.push_back(rect({0, 0, in.width, in.height}, Fill::solid(p.background)));
    const double headerHeight = addHeader(in, base, result);

    const double gridTop = padding + headerHeight + spacing;
    const double rowHeight = std::max(0.0, (in.height - padding - gridTop - spacing) / 2);
    const double middleWidth = std::max(0.0, in.width - 2 * padding - leftColumn - rightColumn - 2 * spacing);
    const double middleX = padding + leftColumn + spacing;
    const double rightX = middleX + middleWidth + spacing;
    const double bottomY = gridTop + rowHeight + spacing;

    addGauges(in, panelFrame(base, {padding, gridTop, leftColumn, rowHeight}, "Usage Limits", p), base);
    addTimeline(in, panelFrame(base, {middleX, gridTop, middleWidth, rowHeight}, "Token timeline (daily)", p), base, overlay, result);
    addModels(in, panelFrame(base, {rightX, gridTop, rightColumn, rowHeight}, "Models", p), base, result);
    addTotals(in, panelFrame(base, {padding, bottomY, leftColumn, rowHeight}, "Totals", p), base);

    const Rect heat = panelFrame(base, {middleX, bottomY, middleWidth, rowHeight}, "Hour \u00d7 Day", p);
    const auto days = HeatmapGrid::from(in.snapshot->cells).days.size();
    if (days == 0)
        base.items.push_back(text({heat.x, heat.y, heat.width, lineHeight(10)}, "no data", {10, 400, false}, p.textSubtle));
    result.heatmap = {heat, days, 12, 2};

    // The sessions panel has its own header row in place of a title.
    const Rect sessions = panelFrame(base, {rightX, bottomY, rightColumn, rowHeight}, "", p);
    base.items.push_back(text({sessions.x, sessions.y, sessions.width, lineHeight(11)}, "Sessions", {11, 400, false}, p.textMuted));
    base.items.push_back(text({sessions.x, sessions.y, sessions.width, lineHeight(11)}, std::to_string(in.snapshot->sessions.size()),
                              {10, 400, false}, p.textSubtle, Align::right));
    const double listTop = sessions.y + lineHeight(11) + 8;
    result.sessions = {{sessions.x, listTop, sessions.width, sessions.bottom() - listTop}, in.snapshot->sessions.size(),
                       lineHeight(10) + 8, 4};

    result.scene.layers.push_back(std::move(base));
    for (Layer& piece : result.clipped)
        result.scene.layers.push_back(std::move(piece));
    result.clipped.clear();
    result.scene.layers.push_back(std::move(overlay));
    return result;
}

std::optional<Instant> dayAt(const Result& result, double x)
{
    const Rect& plot = result.timelinePlot;
    if (result.timelineDays.empty() || plot.width <= 0 || x < plot.x || x >= plot.right())
        return std::nullopt;
    const auto slot = static_cast<std::size_t>((x - plot.x) / plot.width * static_cast<double>(result.timelineDays.size()));
    return result.timelineDays[std::min(slot, result.timelineDays.size() - 1)];
}

HeatmapGrid HeatmapGrid::from(const std::vector<HeatmapCell>& cells)
{
    HeatmapGrid grid;
    for (const HeatmapCell& cell : cells) {
        if (grid.days.empty() || grid.days.back() != cell.day) {
            grid.days.push_back(cell.day);
            grid.tokens.push_back({});
        }
        if (cell.hour >= 0 && cell.hour < 24)
            grid.tokens.back()[static_cast<std::size_t>(cell.hour)] = cell.tokens;
        grid.maxTokens = std::max(grid.maxTokens, cell.tokens);
    }
    return grid;
}

namespace {
constexpr double dayColumn = 50;
constexpr double cellGap = 2; // the row's spacing, after the label too

// The first `count` characters of `text`, never half of one.
std::string_view leadingCharacters(std::string_view text, std::size_t count)
{
    std::size_t end = 0;
    for (std::size_t taken = 0; taken < count && end < text.size(); ++taken) {
        ++end;
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            ++end;
    }
    return text.substr(0, end);
}
} // namespace

Layer heatmapRow(const HeatmapGrid& grid, std::size_t index, double width, const Palette& p,
                 const std::function<std::string(Instant)>& dayLabel)
{
    Layer layer;
    if (index >= grid.days.size())
        return layer;
    layer.items.push_back(text({0, 0, dayColumn, 12}, dayLabel(grid.days[index]), {9, 400, false}, p.textMuted));
    const double cellWidth = std::max(0.0, (width - dayColumn - 24 * cellGap) / 24);
    for (std::size_t hour = 0; hour < 24; ++hour) {
        const double opacity = ReportFormat::heatOpacity(grid.tokens[index][hour], grid.maxTokens);
        layer.items.push_back(rect({dayColumn + cellGap + static_cast<double>(hour) * (cellWidth + cellGap), 0, cellWidth, 12},
                                   Fill::solid(p.accent.withOpacity(p.accent.a * opacity))));
    }
    return layer;
}

std::string heatmapHelp(const HeatmapGrid& grid, std::size_t index, double x, double width)
{
    const double cellWidth = std::max(0.0, (width - dayColumn - 24 * cellGap) / 24);
    const double start = dayColumn + cellGap;
    if (index >= grid.days.size() || x < start || cellWidth <= 0)
        return {};
    const auto hour = static_cast<int>((x - start) / (cellWidth + cellGap));
    if (hour < 0 || hour > 23 || x - start - hour * (cellWidth + cellGap) > cellWidth)
        return {};
    return ReportFormat::heatHelp(hour, grid.tokens[index][static_cast<std::size_t>(hour)]);
}

Layer sessionRow(const SessionRow& row, double width, const Palette& p, const TextWidth& textWidth)
{
    Layer layer;
    const double h = lineHeight(10) + 8;
    layer.items.push_back(rect({0, 0, width, h}, Fill::solid(p.background.withOpacity(p.background.a * 0.3)), 5));
    // Its first eight characters (a UUID's first group), shown escaped: the id is whatever the transcript said.
    const std::string id = Printable::escaped(leadingCharacters(row.sessionId, 8));
    const Font mono{10, 400, true};
    const double idWidth = std::ceil(textWidth(id, mono)) + 1;
    layer.items.push_back(text({8, 4, idWidth, lineHeight(10)}, id, mono, p.textPrimary));
    layer.items.push_back(text({8 + idWidth + 8, 4, width - 16 - idWidth - 8 - 58, lineHeight(10)},
                               std::to_string(row.messageCount) + " msgs", {10, 400, false}, p.textSubtle));
    layer.items.push_back(text({width - 8 - 50, 4, 50, lineHeight(10)}, ReportFormat::sessionTokens(row.outputTokens), mono,
                               p.textPrimary, Align::right));
    return layer;
}

} // namespace tallyglass::ReportLayout
