#pragma once

#include "overlay/Bucketize.h"
#include "overlay/ChartValues.h"
#include "ui/Palette.h"
#include "ui/Scene.h"
#include "overlay/UsageState.h"

#include <map>
#include <optional>
#include <string>

namespace tallyglass::OverlayLayout {

// The overlay card: its size, every rectangle, text and colour, computed from
// the chart's data and the view's own state. The view paints the scene and
// hit-tests the regions; nothing here touches Qt. The card fits the panel,
// except when the details of many models need more: then it says how tall it
// is, and the panel grows downwards rather than cut the card off.

inline constexpr double panelWidth = 216;
inline constexpr double panelHeight = 236;
inline constexpr double padding = 8;
inline constexpr double cornerRadius = 10; // the card's
inline constexpr double contentWidth = 200;
inline constexpr double chartHeight = 100;
inline constexpr double axisLabelHeight = 12;
// Between the plot's right end and the "…" button: room for the line's dot and its glow.
inline constexpr double menuButtonClearance = 8;

// In-between values of the view's animations, each 0...1 (1: the new state).
struct Transitions {
    double expand = 0;     // details shown
    double prompt = 0;     // prompt card and blur shown
    double cumulative = 1; // line mode instead of bars
    double bars = 1;       // bar heights from their previous values to the new ones
    double hover = 1;      // dimming of the bars around the hovered slot
    double fill = 0;       // the session bar's shown fraction (animated by the view)
};

struct Input {
    UsageState state;
    Instant now;
    std::int64_t activeSessionCount = 0;
    ScanProgress scanProgress;
    std::optional<std::string> lastError;
    bool hookInstalled = true;
    bool expanded = false;
    bool cumulative = true;
    std::optional<std::int64_t> hoveredBucket;
    Scene::Point hoverPos; // in chart coordinates
    double animationTime = 0; // seconds, for the waiting animation
    Transitions transitions;
    // Heights (thousands of tokens) the bars had before the last change, by segment id.
    std::map<std::string, double> previousBars;
    double previousBarMax = 0;
    // The prompt that was shown, drawn while it fades out after its cause went.
    enum class Prompt { install, expired };
    std::optional<Prompt> fadingPrompt;
    // A figure's change in flight: the text it had, which way the number
    // went, and how far the spring has carried it (0...1).
    struct Roll {
        std::string from;
        bool rising = true;
        double progress = 1;
    };
    std::map<std::string, Roll> rolls; // by the keys of figures()
    // The desktop asks for stillness: the waiting animation stands still.
    bool reduceMotion = false;
    const Palette* palette = nullptr;
    std::function<std::string(Instant)> hhmm;
    Scene::TextWidth textWidth;
};

struct Result {
    Scene::Scene scene;
    Scene::Rect card;
    Scene::Rect chart; // the chart's frame, in panel coordinates
    Scene::Rect plot;  // its plot area, in panel coordinates
    std::optional<Scene::Rect> installCard;
    Scene::Rect menuButton;
    std::optional<Scene::Rect> fullReportButton;
    std::string menuHelp; // the error, or "Actions"
    std::optional<Scene::Rect> animatedArea; // the waiting animation: what the next frame redraws
    std::map<std::string, double> bars; // heights drawn, by segment id (the next change starts from them)
    double barMax = 0;
};

// Which way the prompt goes: the install card wins over the expired window.
bool anyPromptVisible(const Input& input);
// The prompt to draw: the one that holds now, else the one fading out.
std::optional<Input::Prompt> promptShown(const Input& input);
// 0...1 of the session bar: the utilisation over 100 for a full window.
double sessionFraction(const UsageState& state);
// Where "now" lies on the x axis (slot units), or nothing outside it.
std::optional<double> nowPosition(const UsageState& state, Instant now, bool cumulative);
// "14:20–14:30" for a bar slot of the window ending at `anchor`.
std::string bucketRangeLabel(std::int64_t bucket, Instant anchor, const std::function<std::string(Instant)>& hhmm);
// The slot under chart x, or nothing when it is outside the plot or empty.
std::optional<std::int64_t> slotAt(double plotX, double plotWidth, const std::set<std::int64_t>& nonEmpty);

Result layout(const Input& input);

// The token figures the card shows, by key: "input" and "output" (the window's
// sums, in the summary and the details' total) and each model's "<name>/input"
// and "<name>/output". The view rolls a figure when its text changes.
struct Figure {
    std::string text;
    std::int64_t value = 0;
    bool operator==(const Figure&) const = default;
};
std::map<std::string, Figure> figures(const UsageState& state);

// Pieces, for the layout's own files.
// The chart keeps clear of result.menuButton, which must be placed before it.
void addChart(const Input& input, Scene::Rect frame, Scene::Layer& layer, Result& result);
void addTooltip(const Input& input, Scene::Rect chartFrame, Scene::Layer& layer);
void addWaiting(const Input& input, Scene::Rect frame, Scene::Layer& layer, Result& result);

// "HH:mm" in the local time zone.
std::string localHhmm(Instant t);

} // namespace tallyglass::OverlayLayout
