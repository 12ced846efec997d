#pragma once

#include "dashboard/DatePreset.h"
#include "dashboard/ReportSnapshot.h"
#include "ui/Scene.h"

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallyglass::ReportLayout {

// The report window as values: where the header, its chips and the six panels
// go, and what each draws. The widgets paint the scene and map pointer events
// back through the rectangles given here. Two panels hold lists that may not
// fit (a year of days, hundreds of sessions); for those the layout gives the
// list's area and builds one row at a time, so only visible rows are built.

constexpr double padding = 16;
constexpr double spacing = 12;
constexpr double leftColumn = 300;
constexpr double rightColumn = 250;
constexpr double minimumWidth = 1100;
constexpr double minimumHeight = 720;

// The timeline's pointer: the day under it and how far the others have dimmed (0...1).
struct TimelineHover {
    std::optional<Instant> day;
    Scene::Point pos; // in window coordinates
    double emphasis = 1;
    bool tooltip = true; // false while the dimming fades out after the pointer left
};

struct Input {
    const ReportSnapshot* snapshot = nullptr;
    DashboardFilters filters;                 // the chips' state (the figures may still trail it)
    std::vector<std::string> availableModels; // raw identifiers, sorted; one chip per display name
    std::vector<std::string> availableMachines; // as stored, sorted; a chip each once there are two
    double width = 1280;
    double height = 800;
    const Palette* palette = nullptr;
    Scene::TextWidth textWidth;
    std::function<std::string(Instant)> resetLabel; // "MMM d · HH:mm" in the user's zone
    TimelineHover hover;
};

struct Chip {
    Scene::Rect rect;
    std::optional<DatePreset> preset; // else a model chip
    std::vector<std::string> models; // a model chip's identifiers: all that share its display name
    bool exportAction = false; // "Export…": neither a preset nor a model
    std::optional<bool> localDays; // "Days in": true for "Local time", false for "UTC"
    std::optional<std::string> machine{}; // a machine chip's machine
};

struct HelpRegion {
    Scene::Rect rect;
    std::string text;
};

struct ListArea {
    Scene::Rect rect;
    std::size_t rows = 0;
    double rowHeight = 0;
    double rowSpacing = 0;
};

struct Result {
    Scene::Scene scene;
    std::vector<Chip> chips;
    std::vector<HelpRegion> help;
    Scene::Rect timelinePlot;
    std::vector<Instant> timelineDays; // one slot each across the plot, ascending
    ListArea heatmap;
    ListArea sessions;
    std::vector<Scene::Layer> clipped; // pieces drawn inside their own rounded clip (the model bars)
};

Result layout(const Input& input);

// The model chips: one per display name, in the timeline legend's order, each
// with the identifiers it stands for (sorted).
struct ModelChip {
    std::string label;
    std::vector<std::string> identifiers;
    bool operator==(const ModelChip&) const = default;
};
std::vector<ModelChip> modelChips(const std::vector<std::string>& identifiers);

// The day whose slot is under window x on the timeline, if any.
std::optional<Instant> dayAt(const Result& result, double x);

// The heat map's rows: one per day of the timeline (every day from the first
// with data to the last, quiet ones empty), 24 hours each.
struct HeatmapGrid {
    std::vector<Instant> days;
    std::vector<std::array<std::int64_t, 24>> tokens;
    std::int64_t maxTokens = 1;

    static HeatmapGrid from(const std::vector<HeatmapCell>& cells, const std::vector<DayBucket>& days);
};

// The width a list's scroll bar takes from its rows while they do not all fit.
constexpr double listScrollBarWidth = 8;

// The hours named over the heat map's columns, each centred over its column
// of a row `width` wide (in the row's coordinates).
struct HourLabel {
    int hour = 0;
    Scene::Rect rect;
    bool operator==(const HourLabel&) const = default;
};
std::vector<HourLabel> heatmapHourLabels(double width);

// One row of a list in its own coordinates, and the help text under row x.
Scene::Layer heatmapRow(const HeatmapGrid& grid, std::size_t index, double width, const Palette& palette,
                        const std::function<std::string(Instant)>& dayLabel);
std::string heatmapHelp(const HeatmapGrid& grid, std::size_t index, double x, double width);
Scene::Layer sessionRow(const SessionRow& row, double width, const Palette& palette, const Scene::TextWidth& textWidth);

// Pieces, for the layout's own files.
Scene::Rect panelFrame(Scene::Layer& layer, Scene::Rect frame, const std::string& title, const Palette& palette);
void addGauges(const Input& input, Scene::Rect content, Scene::Layer& layer);
void addBurnRate(const Input& input, Scene::Rect content, Scene::Layer& layer);
void addLimitHistory(const Input& input, Scene::Rect content, Scene::Layer& layer);
void addTimeline(const Input& input, Scene::Rect content, Scene::Layer& layer, Scene::Layer& overlay, Result& result);
void addModels(const Input& input, Scene::Rect content, Scene::Layer& layer, Result& result);
void addTotals(const Input& input, Scene::Rect content, Scene::Layer& layer);
double lineHeight(double fontSize);

} // namespace tallyglass::ReportLayout
