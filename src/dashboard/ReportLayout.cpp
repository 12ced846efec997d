#include "dashboard/ReportLayout.h"

#include "core/Printable.h"
#include "dashboard/DashboardRecords.h"
#include "dashboard/ReportFormat.h"
#include "pricing/ModelMapper.h"

#include <algorithm>
#include <cmath>
#include <map>

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
    layer.items.push_back(text(r, label, chipFont, active ? p.onAccent : p.textPrimary, Align::center));
}

// The identifiers come from transcripts: shown escaped, never obeyed.
std::string chipHelp(const std::string& label, const std::vector<std::string>& identifiers)
{
    std::string help = label + ":";
    const char* separator = " ";
    for (const std::string& id : identifiers) {
        help += separator + (id.empty() ? std::string("(no model)") : Printable::escaped(id));
        separator = ", ";
    }
    return help;
}

// A chip that narrows the figures: a model's display name or a machine.
struct FilterChip {
    std::string label;
    std::vector<std::string> models; // a model chip's identifiers
    std::optional<std::string> machine;
    bool dividerBefore = false; // the first machine's, after the models
};

// A machine's name comes from another machine's telemetry: shown escaped, and
// cut short so that one chip never takes the header's width.
std::string machineLabel(const std::string& machine)
{
    if (machine.empty())
        return "(unknown)";
    const std::string shown = Printable::escaped(machine);
    constexpr std::size_t longest = 24; // characters
    std::size_t characters = 0;
    for (std::size_t i = 0; i < shown.size(); ++i) {
        if ((static_cast<unsigned char>(shown[i]) & 0xC0) != 0x80 && characters++ == longest)
            return shown.substr(0, i) + "\u2026";
    }
    return shown;
}

// The model chips, then the machines' once more than one is stored: with one
// machine a chip of it would choose everything.
std::vector<FilterChip> filterChips(const Input& in)
{
    std::vector<FilterChip> chips;
    for (ModelChip& chip : modelChips(in.availableModels))
        chips.push_back({std::move(chip.label), std::move(chip.identifiers), std::nullopt});
    if (in.availableMachines.size() > 1)
        for (const std::string& machine : in.availableMachines)
            chips.push_back({machineLabel(machine), {}, machine, machine == in.availableMachines.front() && !chips.empty()});
    return chips;
}

// The title, then "Export…" and whose days count; returns the width they take.
double addTitle(const Input& in, Layer& layer, Result& result, double rowHeight, double chipHeight)
{
    const Palette& p = *in.palette;
    const double left = padding;
    const Font titleFont{16, 600, false};
    const double titleWidth = std::ceil(in.textWidth("Tallyglass \u2014 Full Report", titleFont));
    layer.items.push_back(text({left, padding, titleWidth + 2, rowHeight}, "Tallyglass \u2014 Full Report", titleFont, p.textPrimary));
    // "Export…" beside the title: it acts on what the chips choose.
    const std::string exportLabel = "Export\u2026";
    const Rect exportChip{left + titleWidth + 16, padding + (rowHeight - chipHeight) / 2, chipWidth(in, exportLabel), chipHeight};
    addChip(in, layer, exportChip, exportLabel, false);
    result.chips.push_back({exportChip, std::nullopt, {}, true, std::nullopt});
    // Then whose days the timeline, the heat map and the presets count.
    const std::string zoneLabel = "Days in:";
    double zx = exportChip.right() + 16;
    const double zoneLabelWidth = std::ceil(in.textWidth(zoneLabel, chipFont));
    layer.items.push_back(text({zx, exportChip.y, zoneLabelWidth + 2, chipHeight}, zoneLabel, chipFont, p.textMuted));
    zx += zoneLabelWidth + 6;
    for (const bool local : {false, true}) {
        const std::string label = local ? "Local time" : "UTC";
        const Rect r{zx, exportChip.y, chipWidth(in, label), chipHeight};
        addChip(in, layer, r, label, in.filters.localDays == local);
        result.chips.push_back({r, std::nullopt, {}, false, local});
        zx = r.right() + 4;
    }
    return zx - 4 - left;
}

// A model or machine chip at `at` (its x, y and height), after its divider;
// returns where the next one goes.
double addFilterChip(const Input& in, Layer& layer, Result& result, const FilterChip& chip, Rect at, double gap)
{
    const auto& [label, ids, machine, dividerBefore] = chip;
    double x = at.x;
    if (dividerBefore) {
        layer.items.push_back(rect({x, at.y + (at.height - 20) / 2, 1, 20}, Fill::solid(in.palette->border)));
        x += 1 + gap;
    }
    const Rect r{x, at.y, chipWidth(in, label), at.height};
    const bool active = machine ? in.filters.machines.contains(*machine)
                                : std::all_of(ids.begin(), ids.end(), [&](const std::string& id) { return in.filters.models.contains(id); });
    addChip(in, layer, r, label, active);
    result.chips.push_back({r, std::nullopt, ids, false, std::nullopt, machine});
    // Which identifiers a name stands for; a machine's name whole.
    result.help.push_back({r, machine ? "Machine: " + (machine->empty() ? label : Printable::escaped(*machine)) : chipHelp(label, ids)});
    return r.right() + gap;
}

// Title on the left; on the right the date chips, a divider and the model
// and machine chips. Those that do not fit beside the rest flow onto further lines,
// right-aligned. Returns the header's height.
double addHeader(const Input& in, Layer& layer, Result& result)
{
    const Palette& p = *in.palette;
    const double chipHeight = lineHeight(10) + 8;
    const double gap = 8;
    const double left = padding;
    const double right = in.width - padding;
    const double rowHeight = std::max(chipHeight, lineHeight(16));
    const double titleArea = addTitle(in, layer, result, rowHeight, chipHeight);

    const std::vector<FilterChip> models = filterChips(in);
    double presetsWidth = 0;
    for (DatePreset preset : allDatePresets)
        presetsWidth += chipWidth(in, std::string(chipLabel(preset))) + gap;
    // What a chip takes in its line, with the divider before it.
    const auto slot = [&](const FilterChip& chip) { return chipWidth(in, chip.label) + (chip.dividerBefore ? 1 + gap : 0); };
    double modelsWidth = 0;
    for (const FilterChip& chip : models)
        modelsWidth += slot(chip) + gap;
    const double dividerWidth = models.empty() ? 0 : 1 + gap;
    const bool oneLine = left + titleArea + 24 + presetsWidth + dividerWidth + modelsWidth - gap <= right;

    double x = right - (oneLine ? presetsWidth + dividerWidth + modelsWidth - gap : presetsWidth - gap);
    const double y = padding + (rowHeight - chipHeight) / 2;
    for (DatePreset preset : allDatePresets) {
        const std::string label(chipLabel(preset));
        const Rect r{x, y, chipWidth(in, label), chipHeight};
        addChip(in, layer, r, label, in.filters.preset == preset);
        result.chips.push_back({r, preset, {}, false, std::nullopt});
        x += r.width + gap;
    }
    if (models.empty())
        return rowHeight;
    double lineTop = y;
    if (oneLine) {
        layer.items.push_back(rect({x, padding + (rowHeight - 20) / 2, 1, 20}, Fill::solid(p.border)));
        x += 1 + gap;
    } else {
        // Lines filled from the right edge, in order.
        lineTop += chipHeight + gap;
        x = right;
    }
    std::vector<std::vector<std::size_t>> lines(1);
    if (!oneLine) {
        double used = 0;
        for (std::size_t i = 0; i < models.size(); ++i) {
            const double w = slot(models[i]);
            if (!lines.back().empty() && used + w > right - left) { // below the title's line: the whole width
                lines.emplace_back();
                used = 0;
            }
            lines.back().push_back(i);
            used += w + gap;
        }
    } else {
        for (std::size_t i = 0; i < models.size(); ++i)
            lines.back().push_back(i);
    }
    for (const auto& line : lines) {
        if (!oneLine) {
            double lineWidth = -gap;
            for (std::size_t i : line)
                lineWidth += slot(models[i]) + gap;
            x = right - lineWidth;
        }
        for (std::size_t i : line)
            x = addFilterChip(in, layer, result, models[i], {x, lineTop, 0, chipHeight}, gap);
        lineTop += chipHeight + gap;
    }
    return oneLine ? rowHeight : lineTop - gap - padding;
}

// Every day of the timeline is a row, under the hours named over their
// columns. The names follow the rows' width, which a scroll bar narrows while
// the rows do not all fit.
void addHeatmap(const Input& in, Rect heat, Layer& layer, Result& result)
{
    const Palette& p = *in.palette;
    const auto days = HeatmapGrid::from(in.snapshot->cells, in.snapshot->days).days.size();
    if (days == 0) {
        layer.items.push_back(text({heat.x, heat.y, heat.width, lineHeight(10)}, "no data", {10, 400, false}, p.textSubtle));
        result.heatmap = {heat, 0, 12, 2};
        return;
    }
    const double listTop = heat.y + lineHeight(9) + 2;
    result.heatmap = {{heat.x, listTop, heat.width, std::max(0.0, heat.bottom() - listTop)}, days, 12, 2};
    const double rows = static_cast<double>(days) * (result.heatmap.rowHeight + result.heatmap.rowSpacing) - result.heatmap.rowSpacing;
    const double rowWidth = heat.width - (rows > result.heatmap.rect.height ? listScrollBarWidth : 0);
    for (const HourLabel& label : heatmapHourLabels(rowWidth))
        layer.items.push_back(text({heat.x + label.rect.x, heat.y, label.rect.width, label.rect.height}, std::to_string(label.hour),
                                   {9, 400, false}, p.textSubtle, Align::center));
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
    const Rect models = panelFrame(base, {rightX, gridTop, rightColumn, rowHeight}, "Models", p);
    if (!in.snapshot->models.empty()) // on the title's line: what the bars and their figures count
        base.items.push_back(text({models.x, models.y - lineHeight(11) - 8, models.width, lineHeight(11)}, "input + output tokens",
                                  {9, 400, false}, p.textSubtle, Align::right));
    addModels(in, models, base, result);
    addTotals(in, panelFrame(base, {padding, bottomY, leftColumn, rowHeight}, "Totals", p), base);

    addHeatmap(in, panelFrame(base, {middleX, bottomY, middleWidth, rowHeight}, "Hour \u00d7 Day", p), base, result);

    // The sessions panel has its own header row in place of a title, and names
    // what its figures count over their column.
    const Rect sessions = panelFrame(base, {rightX, bottomY, rightColumn, rowHeight}, "", p);
    base.items.push_back(text({sessions.x, sessions.y, sessions.width, lineHeight(11)}, "Sessions", {11, 400, false}, p.textMuted));
    base.items.push_back(text({sessions.x, sessions.y, sessions.width, lineHeight(11)}, std::to_string(in.snapshot->sessions.size()),
                              {10, 400, false}, p.textSubtle, Align::right));
    const double captionTop = sessions.y + lineHeight(11) + 4;
    if (!in.snapshot->sessions.empty())
        base.items.push_back(text({sessions.x, captionTop, sessions.width - 8, lineHeight(9)}, "output tokens", {9, 400, false},
                                  p.textSubtle, Align::right));
    const double listTop = captionTop + lineHeight(9) + 4;
    result.sessions = {{sessions.x, listTop, sessions.width, sessions.bottom() - listTop}, in.snapshot->sessions.size(),
                       lineHeight(10) + 8, 4};

    result.scene.layers.push_back(std::move(base));
    for (Layer& piece : result.clipped)
        result.scene.layers.push_back(std::move(piece));
    result.clipped.clear();
    result.scene.layers.push_back(std::move(overlay));
    return result;
}

std::vector<ModelChip> modelChips(const std::vector<std::string>& identifiers)
{
    std::map<std::string, std::vector<std::string>> byName;
    for (const std::string& id : identifiers)
        byName[ModelMapper::displayName(id)].push_back(id);
    std::vector<std::string> names;
    for (auto& [name, ids] : byName) {
        std::sort(ids.begin(), ids.end());
        names.push_back(name);
    }
    std::vector<ModelChip> chips;
    for (std::string& name : ModelMapper::sortedKeys(std::move(names)))
        chips.push_back({name, std::move(byName[name])});
    return chips;
}

std::optional<Instant> dayAt(const Result& result, double x)
{
    const Rect& plot = result.timelinePlot;
    if (result.timelineDays.empty() || plot.width <= 0 || x < plot.x || x >= plot.right())
        return std::nullopt;
    const auto slot = static_cast<std::size_t>((x - plot.x) / plot.width * static_cast<double>(result.timelineDays.size()));
    return result.timelineDays[std::min(slot, result.timelineDays.size() - 1)];
}

HeatmapGrid HeatmapGrid::from(const std::vector<HeatmapCell>& cells, const std::vector<DayBucket>& days)
{
    HeatmapGrid grid;
    for (const DayBucket& day : days)
        grid.days.push_back(day.dayStart);
    for (const HeatmapCell& cell : cells)
        grid.days.push_back(cell.day);
    std::sort(grid.days.begin(), grid.days.end());
    grid.days.erase(std::unique(grid.days.begin(), grid.days.end()), grid.days.end());
    grid.tokens.resize(grid.days.size());
    for (const HeatmapCell& cell : cells) {
        const auto row = static_cast<std::size_t>(std::lower_bound(grid.days.begin(), grid.days.end(), cell.day) - grid.days.begin());
        if (cell.hour >= 0 && cell.hour < 24)
            grid.tokens[row][static_cast<std::size_t>(cell.hour)] = cell.tokens;
        grid.maxTokens = std::max(grid.maxTokens, cell.tokens);
    }
    return grid;
}

namespace {
constexpr double dayColumn = 50;
constexpr double cellGap = 2; // the row's spacing, after the label too

double cellWidthIn(double width)
{
    return std::max(0.0, (width - dayColumn - 24 * cellGap) / 24);
}

double cellX(std::size_t hour, double width)
{
    return dayColumn + cellGap + static_cast<double>(hour) * (cellWidthIn(width) + cellGap);
}

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
    for (std::size_t hour = 0; hour < 24; ++hour) {
        const double opacity = ReportFormat::heatOpacity(grid.tokens[index][hour], grid.maxTokens);
        layer.items.push_back(rect({cellX(hour, width), 0, cellWidthIn(width), 12}, Fill::solid(p.accent.withOpacity(p.accent.a * opacity))));
    }
    return layer;
}

std::vector<HourLabel> heatmapHourLabels(double width)
{
    std::vector<HourLabel> labels;
    const double labelWidth = 24;
    for (const int hour : {0, 6, 12, 18}) {
        const double centre = cellX(static_cast<std::size_t>(hour), width) + cellWidthIn(width) / 2;
        labels.push_back({hour, {centre - labelWidth / 2, 0, labelWidth, lineHeight(9)}});
    }
    return labels;
}

std::string heatmapHelp(const HeatmapGrid& grid, std::size_t index, double x, double width)
{
    const double cellWidth = cellWidthIn(width);
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
