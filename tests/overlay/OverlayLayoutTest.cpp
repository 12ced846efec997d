#include "overlay/OverlayLayout.h"

#include "support/Instants.h"
#include "support/SceneContrast.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using namespace OverlayLayout;

using test::t;

const Instant anchor = t("2025-01-15T15:00:00Z");

Input inputFor(UsageState state, Instant now = anchor - std::chrono::hours(2))
{
    Input in;
    in.state = std::move(state);
    in.now = now;
    in.palette = &Palette::dark();
    in.hhmm = [](Instant at) { return IsoTime::formatSeconds(at).substr(11, 5); };
    in.textWidth = [](const std::string& text, const Scene::Font& font) { return static_cast<double>(text.size()) * font.size * 0.6; };
    in.transitions.fill = sessionFraction(in.state);
    return in;
}

UsageState window(std::optional<double> utilization)
{
    return UsageState::full(anchor, utilization,
                            {{t("2025-01-15T12:12:00Z"), "claude-opus-4-6", 1000, 2000},
                             {t("2025-01-15T12:14:00Z"), "claude-sonnet-4-6", 500, 700}});
}

bool hasText(const Result& result, const std::string& wanted)
{
    return testing::hasText(result.scene.layers, wanted);
}

const Scene::Shape* shapeWithStroke(const Result& result, double width, std::size_t dashes)
{
    for (const auto& layer : result.scene.layers)
        for (const auto& item : layer.items)
            if (const auto* shape = std::get_if<Scene::Shape>(&item); shape && shape->stroke && shape->stroke->width == width
                && shape->stroke->dash.size() == dashes)
                return shape;
    return nullptr;
}

TEST(OverlayLayout, theSessionBarIsFullAtOrAboveAHundredPercentAndEmptyWithoutAUtilisation)
{
    const std::pair<std::optional<double>, double> cases[] = {{130, 1.0}, {100, 1.0}, {42, 0.42}, {-5, 0}, {std::nullopt, 0}};
    for (const auto& [utilization, fraction] : cases)
        EXPECT_DOUBLE_EQ(sessionFraction(window(utilization)), fraction);
    EXPECT_EQ(sessionFraction(UsageState::partial(anchor, {})), 0);
}

TEST(OverlayLayout, nowIsOnTheAxisOnlyInsideIt)
{
    struct Case {
        int minutesIntoWindow;
        bool cumulative;
        std::optional<double> slot;
    };
    const Case cases[] = {
        {2, false, std::nullopt},  // the first half of slot 0
        {5, false, 0.0},
        {125, false, 12.0},
        {296, false, std::nullopt}, // the second half of the last slot
        {2, true, std::nullopt},
        {125, true, 24.5},
        {298, true, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.minutesIntoWindow) + (c.cumulative ? " line" : " bars"));
        const Instant now = anchor - std::chrono::hours(5) + std::chrono::minutes(c.minutesIntoWindow);
        EXPECT_EQ(nowPosition(window(50), now, c.cumulative), c.slot);
        Input in = inputFor(window(50), now);
        in.cumulative = c.cumulative;
        EXPECT_EQ(shapeWithStroke(layout(in), 1, 2) != nullptr, c.slot.has_value()); // the dashed rule
    }
    EXPECT_FALSE(nowPosition(UsageState{}, anchor, true));
}

// What an item covers, its stroke and glow included.
Scene::Rect extent(const Scene::Item& item)
{
    if (const auto* text = std::get_if<Scene::Text>(&item))
        return text->rect;
    if (const auto* icon = std::get_if<Scene::Icon>(&item))
        return icon->rect;
    const auto& shape = std::get<Scene::Shape>(item);
    const Scene::Rect r = testing::sceneContrast::bounds(shape);
    const double grow = (shape.stroke ? shape.stroke->width / 2 : 0) + (shape.shadow ? shape.shadow->radius : 0);
    return {r.x - grow, r.y - grow, r.width + 2 * grow, r.height + 2 * grow};
}

TEST(OverlayLayout, noPartOfTheChartLiesUnderTheMenuButton)
{
    // A tall bar in the last slot, the line at the top of the scale at the window's end.
    const UsageState busyToTheEnd = UsageState::full(anchor, 100.0,
                                                     {{t("2025-01-15T12:12:00Z"), "claude-opus-4-6", 1000, 2000},
                                                      {t("2025-01-15T14:55:00Z"), "claude-opus-4-6", 90000, 90000}});
    struct Case {
        const char* name;
        bool cumulative;
        std::optional<std::int64_t> hovered;
        ScanProgress scan;
    };
    const Case cases[] = {
        {"bars", false, std::nullopt, {}},
        {"the line and its dot", true, std::nullopt, {}},
        {"the tooltip of the last slot", false, 29, {}},
        {"a wider button while the import runs", false, 29, ScanProgress::running(100)},
        {"the line beside the wider button", true, std::nullopt, ScanProgress::running(100)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Input in = inputFor(busyToTheEnd, anchor - std::chrono::seconds(30));
        in.cumulative = c.cumulative;
        in.transitions.cumulative = c.cumulative ? 1 : 0;
        in.hoveredBucket = c.hovered;
        in.hoverPos = {199, 10};
        in.scanProgress = c.scan;
        const Result result = layout(in);
        ASSERT_GT(result.plot.width, result.chart.width / 2);
        EXPECT_LT(result.plot.right(), result.menuButton.x);
        // Between the card's background and the front layer (the button and the card's border) lies the chart.
        std::size_t items = 0;
        for (std::size_t i = 1; i + 1 < result.scene.layers.size(); ++i)
            for (const auto& item : result.scene.layers[i].items) {
                ++items;
                EXPECT_FALSE(testing::sceneContrast::overlaps(extent(item), result.menuButton)) << "item " << items;
            }
        EXPECT_GT(items, 5u);
    }
}

TEST(OverlayLayout, everyTextReadsOverWhatLiesBehindItInBothThemes)
{
    struct Case {
        const char* name;
        std::function<void(Input&)> set;
    };
    const Case cases[] = {
        {"a quiet window, details open", [](Input& in) { in.state = window(30); in.expanded = true; in.transitions.expand = 1; }},
        {"past half the limit", [](Input& in) { in.state = window(65); }},
        {"near the limit", [](Input& in) { in.state = window(95); }},
        {"no utilisation yet", [](Input& in) { in.state = window(std::nullopt); in.activeSessionCount = 2; }},
        {"a slot's tooltip", [](Input& in) { in.cumulative = false; in.transitions.cumulative = 0; in.hoveredBucket = 13; in.hoverPos = {60, 40}; }},
        {"the hook missing", [](Input& in) { in.hookInstalled = false; in.transitions.prompt = 1; }},
        {"the window expired", [](Input& in) { in.now = anchor + std::chrono::minutes(1); in.transitions.prompt = 1; }},
        {"waiting, importing", [](Input& in) { in.state = UsageState{}; in.scanProgress = ScanProgress::running(37); }},
    };
    for (const Palette* palette : {&Palette::light(), &Palette::dark()}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (palette == &Palette::light() ? ", light" : ", dark"));
            Input in = inputFor(window(50));
            in.palette = palette;
            c.set(in);
            in.transitions.fill = sessionFraction(in.state);
            const Result result = layout(in);
            // The panel is see-through: the card's own gradient is all that is sure to lie behind.
            const auto texts = testing::textContrasts(result.scene.layers, {palette->background});
            EXPECT_GT(texts.size(), 2u);
            for (const auto& text : texts)
                EXPECT_GE(text.ratio, text.required) << text.text;
        }
    }
}

TEST(OverlayLayout, hoverFindsOnlySlotsThatHoldBarsAndTheirTooltipListsTheModelsInBarMode)
{
    const std::set<std::int64_t> nonEmpty = {0, 14, 29};
    const double width = 300; // ten pixels a slot
    const std::pair<double, std::optional<std::int64_t>> cases[] = {
        {4, 0}, {9.9, 0}, {10.1, std::nullopt}, {145, 14}, {299, 29}, {-1, std::nullopt}, {301, std::nullopt}};
    for (const auto& [x, slot] : cases)
        EXPECT_EQ(slotAt(x, width, nonEmpty), slot) << x;

    // The hovered slot's tooltip lists its models, in bar mode only.
    Input in = inputFor(window(50));
    in.cumulative = false;
    in.transitions.cumulative = 0;
    in.hoveredBucket = 13; // 12:10-12:20
    in.hoverPos = {100, 40};
    const Result bars = layout(in);
    for (const char* wanted : {"12:10\u201312:20", "Sonnet 4.6", "Opus 4.6", "Total"})
        EXPECT_TRUE(hasText(bars, wanted)) << wanted;
    in.cumulative = true;
    EXPECT_FALSE(hasText(layout(in), "12:10\u201312:20"));
}

TEST(OverlayLayout, promptsBlurTheCardAndOnlyTheInstallCardIsARegion)
{
    Input missing = inputFor(window(50));
    missing.hookInstalled = false;
    missing.transitions.prompt = 1;
    const Result install = layout(missing);
    EXPECT_TRUE(hasText(install, "Hook not installed"));
    EXPECT_TRUE(hasText(install, "Click here to install"));
    EXPECT_EQ(install.scene.layers[1].blurRadius, 6);

    Input expired = inputFor(window(50), anchor + std::chrono::minutes(1));
    expired.transitions.prompt = 1;
    const Result card = layout(expired);
    EXPECT_FALSE(card.installCard.has_value());
    EXPECT_TRUE(hasText(card, "5h window expired"));
    EXPECT_TRUE(hasText(card, "Run Claude Code to refresh"));
    EXPECT_TRUE(anyPromptVisible(expired));

    // Both apply: the install card wins.
    expired.hookInstalled = false;
    EXPECT_TRUE(hasText(layout(expired), "Hook not installed"));
    EXPECT_FALSE(hasText(layout(expired), "5h window expired"));

    // Installed since: the card fades out with the blur, and takes no clicks meanwhile.
    Input fading = inputFor(window(50));
    fading.fadingPrompt = Input::Prompt::install;
    fading.transitions.prompt = 0.5;
    const Result fadingOut = layout(fading);
    EXPECT_TRUE(hasText(fadingOut, "Hook not installed"));
    EXPECT_FALSE(fadingOut.installCard.has_value());
    EXPECT_EQ(fadingOut.scene.layers[1].blurRadius, 3);
}

TEST(OverlayLayout, theCardShowsTheWindowsFiguresAndDetailsAndWaitsWithoutData)
{
    Input in = inputFor(window(42));
    in.activeSessionCount = 3;
    in.expanded = true;
    in.transitions.expand = 1;
    const Result full = layout(in);
    for (const char* wanted : {"42%", " \u00b7 3 active", "Reset 2hr 0m", "Input: 1k, Output: 2k", "Sonnet 4.6", "Opus 4.6", "Total",
                               "Full Report", "10:00", "15:00"})
        EXPECT_TRUE(hasText(full, wanted)) << wanted;
    EXPECT_EQ(full.menuHelp, "Actions");
    // The window's pace under the details' total, the card taller by its line; nothing of it folded up.
    Input paced = in;
    paced.state.pace = LimitPace::Projection{42, anchor, 30, 102, t("2025-01-15T14:56:00Z")};
    const Result withPace = layout(paced);
    EXPECT_TRUE(hasText(withPace, "At this pace: 100% at 14:56"));
    EXPECT_GT(withPace.card.height, full.card.height);
    paced.state.pace->reachesLimitAt.reset();
    paced.state.pace->projectedAtReset = 74.9;
    EXPECT_TRUE(hasText(layout(paced), "At this pace: 74% at the reset"));
    paced.expanded = false;
    paced.transitions.expand = 0;
    EXPECT_FALSE(hasText(layout(paced), "At this pace: 74% at the reset"));

    Input empty = inputFor(UsageState{});
    empty.lastError = "DB step failed: disk I/O error";
    empty.scanProgress = ScanProgress::running(37);
    const Result waiting = layout(empty);
    for (const char* wanted : {"Waiting for first sync", "Please restart Claude Code", "37%"})
        EXPECT_TRUE(hasText(waiting, wanted)) << wanted;
    EXPECT_FALSE(hasText(waiting, "5h window expired"));
    ASSERT_TRUE(waiting.animatedArea);
    EXPECT_EQ(waiting.menuHelp, "DB step failed: disk I/O error");
    EXPECT_EQ(waiting.card.height, 156); // 140 and the padding
}

// The glyphs drawn clipped to a box (the figures that are rolling), left to right.
std::vector<std::string> rollingGlyphs(const Result& result)
{
    std::vector<std::pair<double, std::string>> found;
    for (const auto& layer : result.scene.layers)
        for (const auto& item : layer.items)
            if (const auto* text = std::get_if<Scene::Text>(&item); text && text->clip)
                found.emplace_back(text->rect.x, text->text);
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> glyphs;
    for (const auto& [x, glyph] : found)
        glyphs.push_back(glyph);
    return glyphs;
}

TEST(OverlayLayout, theSummaryAndDetailFiguresRollButTheTooltipsDoNot)
{
    struct Case {
        const char* name;
        std::map<std::string, Input::Roll> rolls;
        std::optional<std::int64_t> hovered;
        std::vector<std::string> glyphs; // "Input: 1k, Output: 2k"; Opus 1k and 2k, Sonnet 500 and 700, total 1k and 2k
        bool wholeSummary;
    };
    const std::vector<Case> cases = {
        {"nothing changing", {}, 13, {}, true},
        {"the window's input, in the summary and the details' total", {{"input", {"999", true, 0.5}}}, std::nullopt,
         {"9", "1", "9", "k", "9", "9", "1", "9", "k", "9"}, false},
        {"one model's output", {{"Opus 4.6/output", {"3k", false, 0.5}}}, std::nullopt, {"3", "2", "k"}, true},
        {"a hovered slot's tooltip shows the same figures standing still", {{"Opus 4.6/output", {"3k", false, 0.5}}}, 13,
         {"3", "2", "k"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Input in = inputFor(window(42));
        in.expanded = true;
        in.transitions.expand = 1;
        in.cumulative = false;
        in.hoveredBucket = c.hovered;
        in.hoverPos = {100, 50};
        in.rolls = c.rolls;
        const Result result = layout(in);
        EXPECT_EQ(rollingGlyphs(result), c.glyphs);
        EXPECT_EQ(hasText(result, "Input: 1k, Output: 2k"), c.wholeSummary);
        EXPECT_EQ(hasText(result, "Input: "), !c.wholeSummary);
    }
}

TEST(OverlayLayout, theWaitingSymbolsWavesMoveUnlessTheDesktopAsksForStillness)
{
    const auto symbol = [](const Result& result) {
        for (const auto& layer : result.scene.layers)
            for (const auto& item : layer.items)
                if (const auto* icon = std::get_if<Scene::Icon>(&item); icon && icon->symbol == "dot.radiowaves.left.and.right")
                    return *icon;
        ADD_FAILURE() << "no waiting symbol";
        return Scene::Icon{};
    };
    Input in = inputFor(UsageState{});
    in.animationTime = 0.35; // the centre dot lit, the waves still faint
    const Result moving = layout(in);
    EXPECT_EQ(symbol(moving).layerOpacity, (std::vector<double>{1, 0.3, 0.3}));
    EXPECT_TRUE(moving.animatedArea);

    in.reduceMotion = true;
    const Result still = layout(in);
    EXPECT_TRUE(symbol(still).layerOpacity.empty()); // the whole symbol at full colour
    EXPECT_EQ(symbol(still).opacity, 1);
    EXPECT_FALSE(still.animatedArea); // so nothing redraws it
    in.animationTime = 1.3;
    EXPECT_EQ(layout(in).scene.layers[1].items.size(), still.scene.layers[1].items.size());
}

TEST(OverlayLayout, figuresAreTheWindowsSumsAndEachModelsTotals)
{
    const auto figures = OverlayLayout::figures(window(42));
    const std::map<std::string, Figure> expected = {
        {"input", {"1k", 1500}},           {"output", {"2k", 2700}},          {"Opus 4.6/input", {"1k", 1000}},
        {"Opus 4.6/output", {"2k", 2000}}, {"Sonnet 4.6/input", {"500", 500}}, {"Sonnet 4.6/output", {"700", 700}},
    };
    EXPECT_EQ(figures, expected);
}

} // namespace
} // namespace tallyglass
