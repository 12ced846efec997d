#include "overlay/OverlayLayout.h"

#include "core/Printable.h"
#include "pricing/ModelMapper.h"
#include "ui/RollingText.h"

#include <algorithm>
#include <cmath>

namespace tallyglass::OverlayLayout {

namespace {

using namespace Scene;

double lineHeight(double fontSize)
{
    return std::ceil(fontSize * 1.25);
}

// The session's percentage reads in the theme's own status colour; the bar
// behind it shows the vivid one, faint enough for the text to stay readable.
Rgba percentColor(ChartValues::PercentColor color, const Palette& p)
{
    switch (color) {
    case ChartValues::PercentColor::red: return p.danger;
    case ChartValues::PercentColor::yellow: return p.warning;
    case ChartValues::PercentColor::green: return p.success;
    case ChartValues::PercentColor::neutral: break;
    }
    return p.textPrimary.withOpacity(p.textPrimary.a * 0.85);
}

Rgba percentFill(ChartValues::PercentColor color)
{
    constexpr double opacity = 0.25;
    switch (color) {
    case ChartValues::PercentColor::red: return NamedColor::red.withOpacity(opacity);
    case ChartValues::PercentColor::yellow: return NamedColor::yellow.withOpacity(opacity);
    case ChartValues::PercentColor::green: return NamedColor::green.withOpacity(opacity);
    case ChartValues::PercentColor::neutral: break;
    }
    return NamedColor::gray.withOpacity(opacity);
}

constexpr Font mono(double size, int weight = 400)
{
    return {size, weight, true};
}

// A figure in its box, rolling from its previous text while its change is in flight.
void addFigure(Layer& layer, const Input& in, const std::string& key, Text figure)
{
    const auto roll = in.rolls.find(key);
    if (roll == in.rolls.end()) {
        layer.items.push_back(std::move(figure));
        return;
    }
    for (auto& item : RollingText::layout(figure, roll->second.from, roll->second.rising, roll->second.progress, in.textWidth))
        layer.items.push_back(std::move(item));
}

// A name and two numbers, as the details' rows have them; `key` names the figures.
void tokenRow(Layer& layer, const Input& in, double x, double y, const std::string& name, const std::string& key,
              std::int64_t input, std::int64_t output, double nameOpacity, double valueOpacity, double opacity)
{
    const Palette& p = *in.palette;
    const double h = lineHeight(9);
    const Font font = mono(9);
    const Rgba value = p.textPrimary.withOpacity(p.textPrimary.a * valueOpacity * opacity);
    layer.items.push_back(text({x, y, contentWidth - 90, h}, name, font, p.textPrimary.withOpacity(p.textPrimary.a * nameOpacity * opacity)));
    addFigure(layer, in, key + "input", text({x + contentWidth - 90, y, 42, h}, ChartValues::formatTokens(input), font, value, Align::right));
    addFigure(layer, in, key + "output", text({x + contentWidth - 48, y, 48, h}, ChartValues::formatTokens(output), font, value, Align::right));
}

void divider(Layer& layer, const Palette& p, double x, double y, double opacity)
{
    layer.items.push_back(rect({x, y, contentWidth, 1}, Fill::solid(p.border.withOpacity(p.border.a * opacity))));
}

struct Sums {
    std::int64_t input = 0;
    std::int64_t output = 0;
};

Sums totalsOf(const std::vector<Bucketize::BarSegment>& segments)
{
    Sums sums;
    for (const auto& s : segments) {
        sums.input += s.inputTokens;
        sums.output += s.outputTokens;
    }
    return sums;
}

// "Input: 1k, Output: 2k", whose two numbers roll in place when they change;
// the text after a rolling number follows its width as it changes.
void addSummary(Layer& layer, const Input& in, const Rect& row, const Sums& sums)
{
    const Rgba colour = in.palette->textMuted;
    const Font font = mono(11);
    const std::string input = ChartValues::formatTokens(sums.input);
    const std::string output = ChartValues::formatTokens(sums.output);
    if (!in.rolls.count("input") && !in.rolls.count("output")) {
        layer.items.push_back(text(row, "Input: " + input + ", Output: " + output, font, colour));
        return;
    }
    const auto widthOf = [&](const std::string& key, const std::string& shown) {
        const double now = in.textWidth(shown, font);
        const auto roll = in.rolls.find(key);
        if (roll == in.rolls.end())
            return now;
        return now + (in.textWidth(roll->second.from, font) - now) * (1 - std::clamp(roll->second.progress, 0.0, 1.0));
    };
    double x = row.x;
    for (const auto& [label, key, figure] : {std::tuple{"Input: ", "input", input}, std::tuple{", Output: ", "output", output}}) {
        const double labelWidth = in.textWidth(label, font);
        layer.items.push_back(text({x, row.y, labelWidth + 1, row.height}, label, font, colour));
        x += labelWidth;
        const double width = widthOf(key, figure);
        addFigure(layer, in, key, text({x, row.y, width, row.height}, figure, font, colour));
        x += width;
    }
}

// The model rows, the total, and the pace's line when the window has one.
double detailsHeight(std::size_t rows, bool pace)
{
    const double h = lineHeight(9);
    return 2 + static_cast<double>(rows) * (h + 2) + 1 + 2 + h + (pace ? 4 + h : 0);
}

// The details under the summary row at `at`, as far open as they are: each
// model's tokens, the total, and the window's pace. Returns the height they take.
double addDetails(const Input& in, Rect at, const std::vector<Bucketize::BarSegment>& segments, const Sums& sums, Layer& content)
{
    const Palette& p = *in.palette;
    std::vector<ChartValues::ModelTotal> shown;
    for (const auto& total : ChartValues::modelTotals(segments)) {
        if (total.input > 0 || total.output > 0)
            shown.push_back(total);
    }
    const double expand = std::clamp(in.transitions.expand, 0.0, 1.0);
    if (expand > 0) {
        double rowY = at.y + 6 + 2;
        for (const auto& total : shown) {
            tokenRow(content, in, at.x, rowY, total.name, total.name + "/", total.input, total.output, 0.7, 1.0, expand);
            rowY += lineHeight(9) + 2;
        }
        divider(content, p, at.x, rowY, expand);
        rowY += 1 + 2;
        tokenRow(content, in, at.x, rowY, "Total", "", sums.input, sums.output, 0.7, 0.85, expand);
        if (in.state.pace) {
            rowY += lineHeight(9) + 4;
            const std::string pace = LimitPace::briefSummary(*in.state.pace, in.hhmm ? in.hhmm : localHhmm);
            content.items.push_back(text({at.x, rowY, contentWidth, lineHeight(9)}, pace, mono(9), p.textMuted.withOpacity(p.textMuted.a * expand)));
        }
    }
    return (6 + detailsHeight(shown.size(), in.state.pace.has_value())) * expand;
}

void addSessionRow(const Input& in, Rect row, Layer& layer)
{
    const Palette& p = *in.palette;
    const auto status = ChartValues::sessionPercentColor(in.state);
    const Rgba colour = percentColor(status, p);
    layer.items.push_back(rect(row, Fill::solid(p.surfaceElevated), 3));
    const double fraction = std::clamp(in.transitions.fill, 0.0, 1.0);
    if (fraction > 0)
        layer.items.push_back(rect({row.x, row.y, row.width * fraction, row.height}, Fill::solid(percentFill(status)), 3));
    const Font font = mono(10);
    const std::string percent = ChartValues::sessionPercentText(in.state);
    const Font bold = mono(10, 600);
    const double percentWidth = in.textWidth(percent, bold);
    layer.items.push_back(text({row.x + 6, row.y, percentWidth + 1, row.height}, percent, bold, colour));
    if (in.activeSessionCount > 0)
        layer.items.push_back(text({row.x + 6 + percentWidth + 4, row.y, 90, row.height},
                                   " \u00b7 " + std::to_string(in.activeSessionCount) + " active", font, p.textMuted));
    layer.items.push_back(text({row.x + 6, row.y, row.width - 12, row.height},
                               "Reset " + ChartValues::resetCountdownText(in.state, in.now), font, p.textMuted, Align::right));
}

// The card over everything when something must happen first, and its region.
void addPrompt(const Input& in, Input::Prompt kind, const Rect& content, Layer& layer, Result& result)
{
    const Palette& p = *in.palette;
    const bool install = kind == Input::Prompt::install;
    const std::string symbol = install ? "plus.circle.fill" : "arrow.clockwise.circle.fill";
    const std::string title = install ? "Hook not installed" : "5h window expired";
    const std::string subtitle = install ? "Click here to install" : "Run Claude Code to refresh";
    const Font titleFont = mono(10, 600);
    const Font subtitleFont{9, 400, false};
    const double width = std::max(in.textWidth(title, titleFont), in.textWidth(subtitle, subtitleFont)) + 16;
    const double height = 6 + 18 + 3 + lineHeight(10) + 3 + lineHeight(9) + 6;
    const Rect box{content.x + (content.width - width) / 2, content.y + (content.height - height) / 2, width, height};
    Shape background = rect(box, Fill::solid(p.tooltipBackground), 6);
    background.stroke = Stroke{Fill::solid(p.warning.withOpacity(0.5)), 0.5, {}};
    layer.items.push_back(background);
    double y = box.y + 6;
    layer.items.push_back(Icon{{box.x + (width - 18) / 2, y, 18, 18}, symbol, Fill::solid(p.warning), 1, {}});
    y += 18 + 3;
    layer.items.push_back(text({box.x, y, width, lineHeight(10)}, title, titleFont, p.textPrimary, Align::center));
    y += lineHeight(10) + 3;
    layer.items.push_back(text({box.x, y, width, lineHeight(9)}, subtitle, subtitleFont, p.textMuted, Align::center));
    if (install && !in.hookInstalled)
        result.installCard = box; // a card fading out after the install takes no clicks
}

void addMenuButton(const Input& in, const Rect& card, Layer& layer, Result& result)
{
    const Palette& p = *in.palette;
    const double iconSize = 16;
    double width = iconSize + 8;
    std::string percent;
    const Font percentFont = mono(10, 600);
    if (in.scanProgress.kind == ScanProgress::Kind::running) {
        percent = std::to_string(in.scanProgress.percent) + "%";
        width += in.textWidth(percent, percentFont) + 3;
    }
    const Rect button{card.right() - padding - width, card.y + padding, width, iconSize + 8};
    if (!percent.empty())
        layer.items.push_back(text({button.x + 4, button.y, button.width - iconSize - 11, button.height}, percent, percentFont, p.textMuted));
    const bool error = in.lastError.has_value();
    layer.items.push_back(Icon{{button.right() - 4 - iconSize, button.y + 4, iconSize, iconSize},
                               error ? "exclamationmark.triangle.fill" : "ellipsis.circle.fill",
                               Fill::solid(error ? p.warning : p.textMuted), 1, {}});
    result.menuButton = button;
    result.menuHelp = error ? Printable::escaped(*in.lastError) : "Actions"; // the error may quote a path
}

void addFullReportButton(const Input& in, const Rect& button, Layer& content, Result& result)
{
    const Palette& p = *in.palette;
    Shape background = rect(button, Fill::solid(p.surfaceElevated), 4);
    background.stroke = Stroke{Fill::solid(p.border), 0.5, {}};
    content.items.push_back(background);
    content.items.push_back(Icon{{button.x + 6, button.y + 5.5, 9, 9}, "chart.bar.doc.horizontal", Fill::solid(p.textPrimary), 1, {}});
    content.items.push_back(text({button.x + 19, button.y, 120, button.height}, "Full Report", mono(10, 600), p.textPrimary));
    content.items.push_back(Icon{{button.right() - 14, button.y + 6, 8, 8}, "arrow.up.right", Fill::solid(p.textPrimary), 1, {}});
    result.fullReportButton = button;
}

// The chart, the session row, the summary with its details, and the Full
// Report button. Returns the height they take.
double addUsage(const Input& in, const Rect& area, Layer& content, Result& result)
{
    const Palette& p = *in.palette;
    double y = area.y;
    result.chart = {area.x, y, contentWidth, chartHeight};
    addChart(in, result.chart, content, result);
    y += chartHeight + 6;
    addSessionRow(in, {area.x, y, contentWidth, 16}, content);
    y += 16 + 6;

    const auto segments = ChartValues::barSegments(in.state);
    const Sums sums = totalsOf(segments);
    const double summaryHeight = lineHeight(11);
    addSummary(content, in, {area.x, y, contentWidth - 16, summaryHeight}, sums);
    content.items.push_back(Icon{{area.right() - 9, y + (summaryHeight - 9) / 2, 9, 9},
                                 in.expanded ? "chevron.up" : "chevron.down", Fill::solid(p.textSubtle), 1, {}});
    y += summaryHeight;

    y += addDetails(in, {area.x, y, contentWidth, 0}, segments, sums, content);

    y += 6 + 2;
    addFullReportButton(in, {area.x, y, contentWidth, 20}, content, result);
    return y + 20 - area.y;
}

// The card's background; the content, blurred under a prompt with the prompt
// over it; then the menu button and the border in front.
void compose(const Input& in, const Rect& contentArea, Layer content, Layer front, Result& result)
{
    const Palette& p = *in.palette;
    result.card = {0, 0, panelWidth, contentArea.height + 2 * padding};
    Shape card = rect(result.card, Fill::linear(p.backgroundGradientStart, {0, 0}, p.backgroundGradientEnd,
                                                {result.card.width, result.card.height}), cornerRadius);
    Shape border = rect(result.card, Fill{}, cornerRadius);
    border.stroke = Stroke{Fill::linear(p.border, {0, 0}, p.border.withOpacity(p.border.a * 0.3), {result.card.width, result.card.height}), 0.6, {}};

    const auto shown = promptShown(in);
    const double prompt = shown ? std::clamp(in.transitions.prompt, 0.0, 1.0) : 0;
    content.blurRadius = 6 * prompt;
    if (prompt > 0 && (*shown == Input::Prompt::install || in.state.kind != UsageState::Kind::empty)) {
        Layer promptLayer;
        promptLayer.opacity = prompt;
        addPrompt(in, *shown, contentArea, promptLayer, result);
        if (prompt >= 1)
            result.animatedArea.reset(); // under the blur it would only shimmer, at a cost
        result.scene.layers.push_back({{card}, 0, 1, std::nullopt});
        content.clip = rect(result.card, Fill{}, cornerRadius);
        result.scene.layers.push_back(std::move(content));
        promptLayer.clip = rect(result.card, Fill{}, cornerRadius);
        result.scene.layers.push_back(std::move(promptLayer));
    } else {
        result.scene.layers.push_back({{card}, 0, 1, std::nullopt});
        content.clip = rect(result.card, Fill{}, cornerRadius);
        result.scene.layers.push_back(std::move(content));
    }
    front.items.push_back(border);
    result.scene.layers.push_back(std::move(front));
}

} // namespace

bool anyPromptVisible(const Input& input)
{
    return !input.hookInstalled || ChartValues::shouldPromptTrigger(input.state, input.now);
}

std::optional<Input::Prompt> promptShown(const Input& input)
{
    if (!input.hookInstalled)
        return Input::Prompt::install;
    if (ChartValues::shouldPromptTrigger(input.state, input.now))
        return Input::Prompt::expired;
    return input.fadingPrompt;
}

double sessionFraction(const UsageState& state)
{
    if (state.kind != UsageState::Kind::full || !state.utilization || !(*state.utilization > 0))
        return 0;
    return std::min(*state.utilization / 100.0, 1.0);
}

Result layout(const Input& in)
{
    Result result;
    Layer content;
    Layer front;
    const Rect area{padding, padding, contentWidth, 0};
    double height = 0;
    // The button first: the chart keeps clear of its corner.
    addMenuButton(in, {0, 0, panelWidth, 0}, front, result);

    if (in.state.kind == UsageState::Kind::empty) {
        height = 140;
        addWaiting(in, {area.x, area.y, contentWidth, height}, content, result);
    } else {
        height = addUsage(in, area, content, result);
    }
    compose(in, {area.x, area.y, contentWidth, height}, std::move(content), std::move(front), result);
    return result;
}

std::map<std::string, Figure> figures(const UsageState& state)
{
    std::map<std::string, Figure> result;
    const auto add = [&](const std::string& key, std::int64_t value) { result[key] = {ChartValues::formatTokens(value), value}; };
    const auto segments = ChartValues::barSegments(state);
    const Sums sums = totalsOf(segments);
    add("input", sums.input);
    add("output", sums.output);
    for (const auto& total : ChartValues::modelTotals(segments)) {
        add(total.name + "/input", total.input);
        add(total.name + "/output", total.output);
    }
    return result;
}

} // namespace tallyglass::OverlayLayout
