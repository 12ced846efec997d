#include "overlay/OverlayLayout.h"

#include "pricing/ModelMapper.h"
#include "ui/WaveEffect.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace tallyglass::OverlayLayout {

namespace {

using namespace Scene;

constexpr int waitingSymbolLayers = 3; // the centre dot, the inner waves, the outer waves

constexpr Font mono(double size, int weight = 400)
{
    return {size, weight, true};
}

double lineHeight(double fontSize)
{
    return std::ceil(fontSize * 1.25);
}

// A round top for the y axis: 1, 2, 2.5 or 5 times a power of ten.
double niceCeiling(double value)
{
    if (!(value > 0))
        return 1;
    const double power = std::pow(10.0, std::floor(std::log10(value)));
    const double f = value / power;
    const double nice = f <= 1 ? 1 : f <= 2 ? 2 : f <= 2.5 ? 2.5 : f <= 5 ? 5 : 10;
    return nice * power;
}

// Slot i sits at the centre of the i-th of `slots` equal columns.
double xOf(double slot, int slots, const Rect& plot)
{
    return plot.x + (slot + 0.5) / slots * plot.width;
}

// A smooth curve through the points that never overshoots them (monotone
// cubic), sampled for drawing.
std::vector<Point> smooth(const std::vector<Point>& p)
{
    if (p.size() < 3)
        return p;
    const std::size_t n = p.size();
    std::vector<double> d(n - 1);
    std::vector<double> m(n);
    for (std::size_t i = 0; i + 1 < n; ++i)
        d[i] = (p[i + 1].y - p[i].y) / (p[i + 1].x - p[i].x);
    m[0] = d[0];
    m[n - 1] = d[n - 2];
    for (std::size_t i = 1; i + 1 < n; ++i)
        m[i] = d[i - 1] * d[i] <= 0 ? 0 : (d[i - 1] + d[i]) / 2;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        if (d[i] == 0) {
            m[i] = m[i + 1] = 0;
            continue;
        }
        const double a = m[i] / d[i];
        const double b = m[i + 1] / d[i];
        const double s = a * a + b * b;
        if (s > 9) {
            const double t = 3 / std::sqrt(s);
            m[i] = t * a * d[i];
            m[i + 1] = t * b * d[i];
        }
    }
    std::vector<Point> out;
    constexpr int steps = 6;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double h = p[i + 1].x - p[i].x;
        for (int k = 0; k < steps; ++k) {
            const double t = static_cast<double>(k) / steps;
            const double h00 = 2 * t * t * t - 3 * t * t + 1;
            const double h10 = t * t * t - 2 * t * t + t;
            const double h01 = -2 * t * t * t + 3 * t * t;
            const double h11 = t * t * t - t * t;
            out.push_back({p[i].x + t * h, h00 * p[i].y + h10 * h * m[i] + h01 * p[i + 1].y + h11 * h * m[i + 1]});
        }
    }
    out.push_back(p.back());
    return out;
}

void addBars(const Input& in, const Rect& plot, double opacity, Layer& layer, Result& result)
{
    const auto segments = ChartValues::barSegments(in.state);
    const auto domain = ChartValues::chartDomain(segments);
    const auto palette = ModelMapper::palette(domain);
    std::map<std::string, Rgba> colours;
    for (const auto& entry : palette)
        colours[entry.displayName] = NamedColor::family(entry.baseName, entry.opacity);

    const double t = std::clamp(in.transitions.bars, 0.0, 1.0);
    std::map<std::int64_t, double> stacked;
    for (const auto& s : segments) {
        const double now = static_cast<double>(s.inputTokens + s.outputTokens) / 1000.0;
        const auto before = in.previousBars.find(s.id());
        const double shown = before == in.previousBars.end() ? now * t : before->second + (now - before->second) * t;
        result.bars[s.id()] = shown;
        stacked[s.bucket] += shown;
    }
    double most = 0;
    for (const auto& [bucket, sum] : stacked)
        most = std::max(most, sum);
    result.barMax = niceCeiling(most);
    const double yMax = in.previousBarMax > 0 ? in.previousBarMax + (result.barMax - in.previousBarMax) * t : result.barMax;
    const double width = plot.width / Bucketize::barSlots * 0.7;
    std::map<std::int64_t, double> base;
    for (const auto& s : segments) {
        const double h = result.bars[s.id()] / yMax * plot.height;
        double& bottom = base[s.bucket];
        Shape bar = rect({xOf(static_cast<double>(s.bucket), Bucketize::barSlots, plot) - width / 2,
                          plot.bottom() - bottom - h, width, h},
                         Fill::solid(colours[s.model]), 1.5);
        bottom += h;
        double barOpacity = 1;
        if (in.hoveredBucket && *in.hoveredBucket != s.bucket)
            barOpacity = 1 - 0.55 * std::clamp(in.transitions.hover, 0.0, 1.0);
        bar.opacity = barOpacity * opacity;
        if (h > 0)
            layer.items.push_back(bar);
    }
}

void addLine(const Input& in, const Rect& plot, double opacity, Layer& layer)
{
    const Palette& p = *in.palette;
    const auto percent = ChartValues::cumulativePercentSeries(in.state);
    const auto series = percent ? *percent : ChartValues::cumulativeSeries(in.state);
    const std::int64_t last = Bucketize::lineLastFilledBucket(in.now, in.state.anchor);
    double yMax = 100;
    if (!percent) {
        double most = 0;
        for (const auto& point : series)
            most = std::max(most, point.value);
        yMax = niceCeiling(most);
    }
    std::vector<Point> points;
    for (const auto& point : series) {
        if (point.bucket > last)
            break;
        points.push_back({xOf(static_cast<double>(point.bucket), Bucketize::lineSlots, plot),
                          plot.bottom() - std::min(point.value / yMax, 1.0) * plot.height});
    }
    if (points.empty())
        return;
    const auto curve = smooth(points);
    Shape area;
    area.kind = Shape::Kind::path;
    area.points = curve;
    area.points.push_back({curve.back().x, plot.bottom()});
    area.points.push_back({curve.front().x, plot.bottom()});
    area.closed = true;
    area.fill = Fill::linear(p.accent.withOpacity(0.35), {0, plot.y}, p.accent.withOpacity(0.02), {0, plot.bottom()});
    area.opacity = opacity;
    layer.items.push_back(area);
    Shape line;
    line.kind = Shape::Kind::path;
    line.points = curve;
    line.stroke = Stroke{Fill::solid(p.accent), 1.5, {}};
    line.opacity = opacity;
    layer.items.push_back(line);
    Shape dot;
    dot.kind = Shape::Kind::ellipse;
    dot.rect = {points.back().x - 3.5, points.back().y - 3.5, 7, 7};
    dot.fill = Fill::solid(p.accent);
    dot.shadow = Shadow{p.accentShadow, 4};
    dot.opacity = opacity;
    layer.items.push_back(dot);
}

} // namespace

std::string localHhmm(Instant t)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(std::chrono::time_point_cast<std::chrono::seconds>(t));
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%02d:%02d", local.tm_hour, local.tm_min);
    return buffer;
}

std::optional<double> nowPosition(const UsageState& state, Instant now, bool cumulative)
{
    const auto anchor = ChartValues::currentAnchor(state);
    if (!anchor)
        return std::nullopt;
    const Instant start = *anchor - std::chrono::seconds(static_cast<std::int64_t>(Bucketize::windowSeconds));
    const double minutes = secondsBetween(start, now) / 60.0;
    const double p = minutes / (cumulative ? 5.0 : 10.0) - 0.5;
    const double axisMaximum = cumulative ? 59 : 29;
    if (p < 0 || p > axisMaximum)
        return std::nullopt;
    return p;
}

std::string bucketRangeLabel(std::int64_t bucket, Instant anchor, const std::function<std::string(Instant)>& hhmm)
{
    const Instant start = anchor - std::chrono::seconds(static_cast<std::int64_t>(Bucketize::windowSeconds)) + std::chrono::seconds(bucket * 600);
    return hhmm(start) + "\u2013" + hhmm(start + std::chrono::seconds(600));
}

std::optional<std::int64_t> slotAt(double plotX, double plotWidth, const std::set<std::int64_t>& nonEmpty)
{
    if (plotX < 0 || plotX > plotWidth || plotWidth <= 0)
        return std::nullopt;
    // The inverse of xOf, rounded half away from zero.
    const double value = plotX / plotWidth * Bucketize::barSlots - 0.5;
    const auto slot = static_cast<std::int64_t>(std::round(value));
    if (slot < 0 || slot >= Bucketize::barSlots || !nonEmpty.contains(slot))
        return std::nullopt;
    return slot;
}

namespace {

Rect plotArea(Rect frame, const Rect& button)
{
    // The plot ends short of the "…" button in the card's corner: a bar, the
    // line's end or its glowing dot would otherwise lie under it, hidden.
    const double plotHeight = frame.height - axisLabelHeight;
    double right = frame.right();
    if (button.width > 0 && button.y < frame.y + plotHeight && button.bottom() > frame.y && button.x < right)
        right = button.x - menuButtonClearance;
    return {frame.x, frame.y, std::max(right - frame.x, 0.0), plotHeight};
}

} // namespace

void addChart(const Input& in, Rect frame, Layer& layer, Result& result)
{
    const Palette& p = *in.palette;
    const Rect plot = plotArea(frame, result.menuButton);
    result.plot = plot;
    const Instant anchor = in.state.anchor;
    const Instant start = anchor - std::chrono::seconds(static_cast<std::int64_t>(Bucketize::windowSeconds));
    // The labels name the axis's ends, so they stand under the plot's.
    layer.items.push_back(text({plot.x, plot.bottom(), plot.width / 2, axisLabelHeight}, in.hhmm(start), mono(8), p.textMuted));
    layer.items.push_back(text({plot.x + plot.width / 2, plot.bottom(), plot.width / 2, axisLabelHeight}, in.hhmm(anchor), mono(8),
                               p.textMuted, Align::right));

    const double line = std::clamp(in.transitions.cumulative, 0.0, 1.0);
    if (line < 1)
        addBars(in, plot, 1 - line, layer, result);
    if (line > 0)
        addLine(in, plot, line, layer);

    if (const auto now = nowPosition(in.state, in.now, in.cumulative)) {
        const double x = xOf(*now, in.cumulative ? Bucketize::lineSlots : Bucketize::barSlots, plot);
        Shape rule;
        rule.kind = Shape::Kind::path;
        rule.points = {{x, plot.y}, {x, plot.bottom()}};
        rule.stroke = Stroke{Fill::solid(p.success), 1, {3, 2}};
        layer.items.push_back(rule);
    }
    if (in.hoveredBucket && !in.cumulative)
        addTooltip(in, {frame.x, frame.y, plot.width, frame.height}, layer);
}

void addTooltip(const Input& in, Rect chart, Layer& layer)
{
    const Palette& p = *in.palette;
    const auto stats = ChartValues::bucketStats(ChartValues::barSegments(in.state), *in.hoveredBucket);
    const double rowHeight = lineHeight(9);
    const double inner = 150 - 14;
    const double height = 5 + rowHeight + 1 + static_cast<double>(stats.size() + 1) * (rowHeight + 2) + 1 + 2 + 5;
    const double centreX = std::clamp(in.hoverPos.x, 77.0, chart.width - 77);
    const double centreY = std::max(in.hoverPos.y - 60, 50.0);
    const Rect box{chart.x + centreX - 75, chart.y + centreY - height / 2, 150, height};
    Shape background = rect(box, Fill::solid(p.tooltipBackground), 6);
    background.stroke = Stroke{Fill::solid(p.tooltipBorder), 0.5, {}};
    layer.items.push_back(background);
    double y = box.y + 5;
    layer.items.push_back(text({box.x + 7, y, inner, rowHeight}, bucketRangeLabel(*in.hoveredBucket, in.state.anchor, in.hhmm),
                               mono(9, 600), p.textPrimary));
    y += rowHeight + 1 + 2;
    const auto row = [&](const std::string& name, std::int64_t input, std::int64_t output, double nameOpacity, double valueOpacity) {
        // The name takes what the numbers leave: short numbers leave room for the whole name.
        const double numbers = 48 + in.textWidth(ChartValues::formatTokens(input), mono(9)) + 6;
        layer.items.push_back(text({box.x + 7, y, inner - numbers, rowHeight}, name, mono(9), p.textPrimary.withOpacity(p.textPrimary.a * nameOpacity)));
        layer.items.push_back(text({box.x + 7 + inner - 90, y, 42, rowHeight}, ChartValues::formatTokens(input), mono(9),
                                   p.textPrimary.withOpacity(p.textPrimary.a * valueOpacity), Align::right));
        layer.items.push_back(text({box.x + 7 + inner - 48, y, 48, rowHeight}, ChartValues::formatTokens(output), mono(9),
                                   p.textPrimary.withOpacity(p.textPrimary.a * valueOpacity), Align::right));
        y += rowHeight + 2;
    };
    std::int64_t input = 0;
    std::int64_t output = 0;
    for (const auto& s : stats) {
        row(s.name, s.input, s.output, 0.75, 1.0);
        input += s.input;
        output += s.output;
    }
    layer.items.push_back(rect({box.x + 7, y, inner, 1}, Fill::solid(p.border)));
    y += 1 + 2;
    row("Total", input, output, 0.6, 0.9);
}

void addWaiting(const Input& in, Rect frame, Layer& layer, Result& result)
{
    const Palette& p = *in.palette;
    const double top = frame.y + 15;
    const Point centre{frame.x + frame.width / 2, top + 35};
    Shape disc;
    disc.kind = Shape::Kind::ellipse;
    disc.rect = {centre.x - 30, centre.y - 30, 60, 60};
    disc.fill = Fill::radial(p.accent.withOpacity(0.28), 2, p.accent.withOpacity(0), 30);
    layer.items.push_back(disc);
    // Asked for stillness, the rings stand where they start and the symbol
    // shows at full colour.
    const double time = in.reduceMotion ? 0 : in.animationTime;
    for (int i = 0; i < 2; ++i) {
        const double phase = std::clamp(std::fmod(time + i * 0.9, 1.8) / 1.8, 0.0, 1.0);
        const double size = 32 * (0.6 + 1.1 * phase);
        Shape ring;
        ring.kind = Shape::Kind::ellipse;
        ring.rect = {centre.x - size / 2, centre.y - size / 2, size, size};
        ring.stroke = Stroke{Fill::solid(p.accent), 1, {}};
        ring.opacity = 0.45 * (1 - phase);
        layer.items.push_back(ring);
    }
    Icon symbol{{centre.x - 13, centre.y - 13, 26, 26}, "dot.radiowaves.left.and.right",
                Fill::linear(p.accent, {0, centre.y - 13}, p.accent.withOpacity(0.55), {0, centre.y + 13}), 1, {}};
    if (!in.reduceMotion) {
        for (int i = 0; i < waitingSymbolLayers; ++i)
            symbol.layerOpacity.push_back(WaveEffect::opacity(i, waitingSymbolLayers, in.animationTime));
        result.animatedArea = disc.rect;
    }
    layer.items.push_back(symbol);
    const double textTop = top + 70 + 10;
    layer.items.push_back(text({frame.x, textTop, frame.width, lineHeight(11)}, "Waiting for first sync", mono(11, 600),
                               p.textPrimary, Align::center));
    layer.items.push_back(text({frame.x, textTop + lineHeight(11) + 3, frame.width, lineHeight(10)}, "Please restart Claude Code",
                               {10, 400, false}, p.textMuted, Align::center));
}

} // namespace tallyglass::OverlayLayout
