#include "dashboard/ReportLayout.h"

#include "core/IsoTime.h"
#include "dashboard/ReportFormat.h"
#include "support/Instants.h"
#include "support/SceneContrast.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tallyglass {
namespace {

using namespace ReportLayout;

using test::t;

DashboardMessage message(const char* iso, const char* session, const char* model, std::int64_t in, std::int64_t out)
{
    return {t(iso), session, model, in, out, 0, 0, false, 0.01};
}

std::vector<const Scene::Text*> texts(const Result& result)
{
    std::vector<const Scene::Text*> out;
    for (const auto& layer : result.scene.layers)
        for (const auto& item : layer.items)
            if (const auto* text = std::get_if<Scene::Text>(&item))
                out.push_back(text);
    return out;
}

template <typename Predicate>
long countTexts(const Result& result, Predicate predicate)
{
    const auto all = texts(result);
    return std::count_if(all.begin(), all.end(), predicate);
}

const Scene::Text* textWith(const Result& result, const std::string& wanted)
{
    for (const auto* text : texts(result))
        if (text->text == wanted)
            return text;
    return nullptr;
}

bool hasText(const Result& result, const std::string& wanted)
{
    return countTexts(result, [&](const Scene::Text* text) { return text->text == wanted; }) > 0;
}

class ReportLayoutTest : public ::testing::Test {
protected:
    Input inputFor(const ReportSnapshot& figures) const
    {
        Input in;
        in.snapshot = &figures;
        in.filters = figures.filters;
        for (const auto& m : messages)
            if (std::find(in.availableModels.begin(), in.availableModels.end(), m.model.str()) == in.availableModels.end())
                in.availableModels.push_back(m.model.str());
        std::sort(in.availableModels.begin(), in.availableModels.end());
        in.palette = &Palette::light();
        in.textWidth = [](const std::string& text, const Scene::Font& font) { return static_cast<double>(text.size()) * font.size * 0.6; };
        in.resetLabel = [](Instant) { return std::string("Jan 15 \u00b7 17:05"); };
        return in;
    }

    std::vector<DashboardMessage> messages = {
        message("2025-01-14T09:10:00Z", "session-one-1234", "claude-opus-4-6", 1000, 400),
        message("2025-01-15T10:00:00Z", "session-two-5678", "claude-sonnet-4-6", 300, 900),
        message("2025-01-15T10:30:00Z", "session-two-5678", "claude-opus-4-6", 200, 100),
    };
    ReportSnapshot snapshot = ReportSnapshot::compute(messages, {}, UsageLimits{62.0, t("2025-01-15T17:05:00Z"), std::nullopt, std::nullopt, std::nullopt});
};

TEST_F(ReportLayoutTest, thePanelsSitInTheirColumnsWithTheirTexts)
{
    const Result result = layout(inputFor(snapshot));
    for (const char* wanted : {"Tallyglass \u2014 Full Report", "Usage Limits", "5h window", "62%", "resets Jan 15 \u00b7 17:05",
                               "7d window", "\u2014", "Token timeline (daily)", "Models", "Totals", "Input", "Output", "Cache created",
                               "Cache read", "Sessions", "Messages", "Cost", "Hour \u00d7 Day"})
        EXPECT_TRUE(hasText(result, wanted)) << wanted;
    std::vector<std::string> tileValues; // the totals' values, in tile order
    for (const auto* text : texts(result))
        if (text->font.size == 16 && text->font.weight == 400) // the title is semibold
            tileValues.push_back(text->text);
    EXPECT_EQ(tileValues, (std::vector<std::string>{"1.5k", "1.4k", "0", "0", "2", "3", "$0.03"}));
    EXPECT_EQ(countTexts(result, [](auto* text) { return text->text.rfind("resets ", 0) == 0; }), 1);
    // Under each gauge, where its window is heading: the limit reached first stands out.
    EXPECT_EQ(countTexts(result, [](auto* text) { return text->text.rfind("At this pace", 0) == 0; }), 0);
    const std::vector<LimitReading> readings = {{t("2025-01-15T12:00:00Z"), 42.0, t("2025-01-15T17:05:00Z"), std::nullopt, std::nullopt},
                                                {t("2025-01-15T13:00:00Z"), 62.0, t("2025-01-15T17:05:00Z"), std::nullopt, std::nullopt}};
    ReportSnapshot paced = ReportSnapshot::compute(messages, {}, snapshot.usage, true, &readings, t("2025-01-15T13:00:00Z"));
    ASSERT_TRUE(paced.fiveHourPace);
    EXPECT_EQ(paced.fiveHourPace->reachesLimitAt, t("2025-01-15T14:54:00Z"));
    EXPECT_EQ(paced.sevenDayPace, std::nullopt);
    paced.sevenDayPace = LimitPace::Projection{18, t("2025-01-18T00:00:00Z"), 0.5, 48.2, std::nullopt};
    const Result withPace = layout(inputFor(paced));
    const auto* reaching = textWith(withPace, "At this pace: 100% at Jan 15 \u00b7 17:05");
    ASSERT_NE(reaching, nullptr);
    EXPECT_EQ(reaching->color, Palette::light().warning);
    const auto* resetting = textWith(withPace, "At this pace: 48% at the reset");
    ASSERT_NE(resetting, nullptr);
    EXPECT_GT(resetting->rect.y, reaching->rect.y);
    // 16 + 300 + 12 + the rest + 12 + 250 + 16 across; the lists fill their panels below their headers.
    EXPECT_EQ(result.heatmap.rect.x, 16 + 300 + 12 + 12);
    EXPECT_EQ(result.heatmap.rect.width, 1280 - 32 - 300 - 250 - 24 - 24);
    EXPECT_EQ(result.sessions.rect.width, 250 - 24);
    EXPECT_EQ(result.heatmap.rows, 2u);
    EXPECT_EQ(result.sessions.rows, 2u);
    EXPECT_NEAR(result.sessions.rect.bottom(), 800 - 16 - 12, 0.01);
}

TEST(ReportLayoutModelChips, oneChipPerDisplayNameStandsForAllItsIdentifiers)
{
    const struct {
        std::vector<std::string> identifiers;
        std::vector<ModelChip> chips;
    } cases[] = {
        {{"<synthetic>", "claude-haiku-4-5", "claude-haiku-4-5-20251001", "claude-opus-4-1", "claude-opus-4-1-20250805",
          "claude-sonnet-4-5", "claude-sonnet-4-5-20250929"},
         {{"Haiku 4.5", {"claude-haiku-4-5", "claude-haiku-4-5-20251001"}},
          {"Sonnet 4.5", {"claude-sonnet-4-5", "claude-sonnet-4-5-20250929"}},
          {"Opus 4.1", {"claude-opus-4-1", "claude-opus-4-1-20250805"}},
          {"Synthetic", {"<synthetic>"}}}},
        // Two shapes of one model, and identifiers of no known shape under one "Other".
        {{"claude-3-5-sonnet-20241022", "claude-sonnet-3-5", "", "gpt-x"},
         {{"Sonnet 3.5", {"claude-3-5-sonnet-20241022", "claude-sonnet-3-5"}}, {"Other", {"", "gpt-x"}}}},
        {{}, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(modelChips(c.identifiers), c.chips) << c.identifiers.size();
}

TEST_F(ReportLayoutTest, chipsNameEveryPresetAndModelAndWrapWhenTheyDoNotFit)
{
    snapshot.filters.preset = DatePreset::last30d;
    Input in = inputFor(snapshot);
    in.filters.models = {"claude-opus-4-6", "claude-opus-4-6-20260101"};
    in.availableModels.push_back("claude-opus-4-6-20260101"); // the same name: one chip for both
    std::sort(in.availableModels.begin(), in.availableModels.end());
    const Result result = layout(in);
    std::vector<std::string> labels;
    for (const Chip& chip : result.chips)
        labels.push_back(chip.exportAction ? "Export"
                         : chip.localDays  ? (*chip.localDays ? "Local time" : "UTC")
                         : chip.preset     ? std::string(chipLabel(*chip.preset))
                                           : chip.models.back());
    EXPECT_EQ(labels, (std::vector<std::string>{"Export", "UTC", "Local time", "1d", "7d", "30d", "90d", "180d", "365d", "claude-sonnet-4-6",
                                                "claude-opus-4-6-20260101"}));
    EXPECT_EQ(result.chips[10].models, (std::vector<std::string>{"claude-opus-4-6", "claude-opus-4-6-20260101"}));
    EXPECT_EQ(countTexts(result, [&](auto* text) { return text->text == "Opus 4.6" && text->rect == result.chips[10].rect; }), 1);
    const auto chipHelp = std::find_if(result.help.begin(), result.help.end(), [&](const auto& h) { return h.rect == result.chips[10].rect; });
    ASSERT_NE(chipHelp, result.help.end());
    EXPECT_EQ(chipHelp->text, "Opus 4.6: claude-opus-4-6, claude-opus-4-6-20260101");
    EXPECT_EQ(result.chips[0].rect.y, result.chips.back().rect.y); // one line
    // "Export…" and the day zone by the title, the presets to the right
    EXPECT_GT(result.chips[3].rect.x, result.chips[2].rect.right());

    // Active chips are accent capsules with the colour for text on the accent.
    const auto activeLabels = [&](const Result& r) {
        std::vector<std::string> out;
        for (auto* text : texts(r))
            if (text->color == Palette::light().onAccent)
                out.push_back(text->text);
        return out;
    };
    EXPECT_EQ(activeLabels(result), (std::vector<std::string>{"UTC", "30d", "Opus 4.6"}));
    in.filters.localDays = true;
    in.filters.models.erase("claude-opus-4-6-20260101"); // a name is chosen when all its identifiers are
    EXPECT_EQ(activeLabels(layout(in)), (std::vector<std::string>{"Local time", "30d"}));

    for (int i = 0; i < 12; ++i)
        in.availableModels.push_back("claude-sonnet-4-" + std::to_string(i));
    in.width = 1100;
    const Result crowded = layout(in);
    EXPECT_GT(crowded.chips.back().rect.y, crowded.chips[0].rect.y);
    EXPECT_LE(crowded.chips.back().rect.right(), 1100 - 16 + 0.01);
    EXPECT_GT(crowded.heatmap.rect.y, result.heatmap.rect.y); // the grid moves down under the header
}

// A machine chip says something only beside another's: none with one machine
// stored, one each (after the models) with two, the chosen one lit, and a
// name from another machine shown escaped and cut short.
TEST_F(ReportLayoutTest, machineChipsAppearOnlyWithTwoMachinesAndShowTheChosenOne)
{
    const std::string hostile = "evil\x1b[2Jbox-with-a-name-far-too-long-for-a-chip";
    struct Case {
        std::vector<std::string> machines;
        std::vector<std::string> labels; // of the machine chips, in order
    };
    const Case cases[] = {
        {{}, {}},
        {{"laptop"}, {}},
        {{"buildbox", "laptop"}, {"buildbox", "laptop"}},
        {{"", hostile}, {"(unknown)", "evil\\x1b[2Jbox-with-a-na\u2026"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.machines.size());
        Input in = inputFor(snapshot);
        in.availableMachines = c.machines;
        if (!c.machines.empty())
            in.filters.machines = {c.machines.back()};
        const Result result = layout(in);
        const auto shown = texts(result);
        std::vector<std::string> labels;
        for (const Chip& chip : result.chips) {
            if (!chip.machine)
                continue;
            const auto label = std::find_if(shown.begin(), shown.end(), [&](auto* text) { return text->rect == chip.rect; });
            ASSERT_NE(label, shown.end());
            labels.push_back((*label)->text);
            EXPECT_EQ((*label)->color == Palette::light().onAccent, *chip.machine == c.machines.back()) << (*label)->text;
        }
        EXPECT_EQ(labels, c.labels);
    }
}

// Twenty models at the smallest size: the header takes three lines, and still
// nothing is drawn below the grid; the model rows that do not fit are counted.
TEST_F(ReportLayoutTest, aCrowdedSmallWindowKeepsEverythingInsideItsPanels)
{
    for (int i = 0; i < 20; ++i) {
        const std::string model = "claude-sonnet-" + std::to_string(i) + "-0";
        messages.push_back({t("2025-01-15T11:00:00Z"), "s", model, 10, 10 + i, 0, 0, false, 0});
    }
    messages.push_back(message("2025-01-15T11:00:00Z", "s", "fable-1", 1, 1)); // and the note under the totals
    snapshot = ReportSnapshot::compute(messages, {}, std::nullopt);
    Input in = inputFor(snapshot);
    in.width = minimumWidth;
    in.height = minimumHeight;
    const Result result = layout(in);
    EXPECT_GT(result.chips.back().rect.y, result.chips.front().rect.y + 40); // three lines of chips
    for (const auto* text : texts(result))
        EXPECT_LE(text->rect.bottom(), minimumHeight - padding - 12 + 0.01) << text->text;
    EXPECT_EQ(countTexts(result, [](auto* text) { return text->text.size() > 5 && text->text.find(" more") != std::string::npos; }), 1);
    EXPECT_TRUE(hasText(result, "(their cost is not in the figures)"));
}

TEST_F(ReportLayoutTest, theTimelineStacksModelsAndItsTooltipListsTheHoveredDay)
{
    Input in = inputFor(snapshot);
    const Result plain = layout(in);
    const auto& plot = plain.timelinePlot;
    EXPECT_EQ(dayAt(plain, plot.x + plot.width * 0.75), t("2025-01-15T00:00:00Z"));
    EXPECT_EQ(dayAt(plain, plot.x - 1), std::nullopt);
    EXPECT_FALSE(hasText(plain, "Jan 15, 2025"));

    in.hover.day = t("2025-01-15T00:00:00Z");
    in.hover.pos = {plot.x + plot.width * 0.75, plot.y + 20};
    const Result hovered = layout(in);
    std::vector<std::string> lines;
    for (const auto& item : hovered.scene.layers.back().items)
        if (const auto* text = std::get_if<Scene::Text>(&item))
            lines.push_back(text->text);
    EXPECT_EQ(lines, (std::vector<std::string>{"Jan 15, 2025", "Sonnet 4.6", "900", "Opus 4.6", "100", "Total", "1.0k"}));

    // The other day's bar is dimmed to 0.45; the hovered one stays whole.
    std::vector<double> opacities;
    for (const auto& item : hovered.scene.layers.front().items)
        if (const auto* shape = std::get_if<Scene::Shape>(&item); shape && shape->rect.bottom() == plot.bottom() && shape->rect.height > 0)
            opacities.push_back(shape->fill.a.a / ReportFormat::colourMap({"Opus 4.6", "Sonnet 4.6"}).at("Opus 4.6").a);
    ASSERT_EQ(opacities.size(), 2u);
    EXPECT_NEAR(opacities[0], 0.45, 1e-9);
    EXPECT_NEAR(opacities[1], 1.0, 1e-9);
}

TEST_F(ReportLayoutTest, aModelWithoutAPriceSaysSoInItsHelpAndUnderTheTotals)
{
    messages.push_back(message("2025-01-15T11:00:00Z", "session-two-5678", "fable-1", 50, 50));
    snapshot = ReportSnapshot::compute(messages, {}, std::nullopt);
    const Result result = layout(inputFor(snapshot));
    std::vector<std::string> help; // of the models panel's rows
    for (const auto& region : result.help)
        if (region.rect.y > result.chips.back().rect.bottom())
            help.push_back(region.text);
    EXPECT_EQ(help, (std::vector<std::string>{"Opus 4.6: 1.2k in, 500 out, cost $0.02", "Sonnet 4.6: 300 in, 900 out, cost $0.01",
                                              "Other: 50 in, 50 out, cost \u2014 (no price known)"}));
    EXPECT_TRUE(hasText(result, "1 model not priced: 1 message"));
}

TEST_F(ReportLayoutTest, withoutDataEveryPanelSaysSo)
{
    const ReportSnapshot empty;
    messages.clear();
    const Result result = layout(inputFor(empty));
    EXPECT_EQ(countTexts(result, [](auto* text) { return text->text == "no data for current filters"; }), 2);
    EXPECT_TRUE(hasText(result, "no data"));
    EXPECT_EQ(result.heatmap.rows, 0u);
}

TEST_F(ReportLayoutTest, listRowsCarryTheirFiguresAndHelp)
{
    const HeatmapGrid grid = HeatmapGrid::from(snapshot.cells, snapshot.days);
    ASSERT_EQ(grid.days.size(), 2u);
    const Scene::Layer row = heatmapRow(grid, 1, 674, Palette::light(), [](Instant) { return std::string("Jan 15"); });
    std::vector<double> strengths;
    for (const auto& item : row.items)
        if (const auto* shape = std::get_if<Scene::Shape>(&item))
            strengths.push_back(shape->fill.a.a);
    ASSERT_EQ(strengths.size(), 24u);
    EXPECT_DOUBLE_EQ(strengths[10], 1.0); // the busiest hour of all
    EXPECT_DOUBLE_EQ(strengths[9], 0.1);
    const auto& ten = std::get<Scene::Shape>(row.items[1 + 10]).rect;
    EXPECT_EQ(heatmapHelp(grid, 1, ten.x + 1, 674), "10:00 \u2014 1500 tokens");
    EXPECT_EQ(heatmapHelp(grid, 1, 10, 674), ""); // over the day's label

    const Scene::Layer session = sessionRow({"session-two-5678", t("2025-01-15T10:30:00Z"), 2, 1000}, 226, Palette::light(),
                                            [](const std::string& text, const Scene::Font& font) { return text.size() * font.size * 0.6; });
    std::vector<std::string> words;
    for (const auto& item : session.items)
        if (const auto* text = std::get_if<Scene::Text>(&item))
            words.push_back(text->text);
    EXPECT_EQ(words, (std::vector<std::string>{"session-", "2 msgs", "1.0k"}));
}

// Quiet days are rows of the heat map as they are slots of the timeline, and
// the hours named over the columns sit over their cells, also when a scroll
// bar narrows the rows.
TEST_F(ReportLayoutTest, theHeatMapHasARowForEveryDayOfTheTimelineUnderItsHours)
{
    messages.push_back(message("2025-01-18T23:10:00Z", "session-two-5678", "claude-opus-4-6", 10, 10));
    snapshot = ReportSnapshot::compute(messages, {}, std::nullopt);
    const HeatmapGrid grid = HeatmapGrid::from(snapshot.cells, snapshot.days);
    ASSERT_EQ(grid.days.size(), snapshot.days.size());
    EXPECT_EQ(grid.days, (std::vector<Instant>{t("2025-01-14T00:00:00Z"), t("2025-01-15T00:00:00Z"), t("2025-01-16T00:00:00Z"),
                                               t("2025-01-17T00:00:00Z"), t("2025-01-18T00:00:00Z")}));
    EXPECT_EQ(grid.tokens[2], (std::array<std::int64_t, 24>{}));
    EXPECT_EQ(grid.tokens[4][23], 20);

    for (const double width : {674.0, 500.0}) {
        const Scene::Layer row = heatmapRow(grid, 2, width, Palette::light(), [](Instant) { return std::string("Jan 16"); });
        const auto labels = heatmapHourLabels(width);
        ASSERT_EQ(labels.size(), 4u);
        for (std::size_t i = 0; i < labels.size(); ++i) {
            EXPECT_EQ(labels[i].hour, static_cast<int>(6 * i));
            const auto& cell = std::get<Scene::Shape>(row.items[1 + 6 * i]).rect;
            EXPECT_DOUBLE_EQ(labels[i].rect.x + labels[i].rect.width / 2, cell.x + cell.width / 2) << width;
        }
    }
    // In the window: the hours over the list, for rows as wide as the list, or narrower by the scroll bar.
    const auto hourCentre = [](const Result& r, const char* hour) {
        for (const auto* text : texts(r))
            if (text->text == hour && text->font.size == 9 && text->rect.bottom() <= r.heatmap.rect.y)
                return text->rect.x + text->rect.width / 2 - r.heatmap.rect.x;
        return -1.0;
    };
    const Result fits = layout(inputFor(snapshot));
    EXPECT_EQ(fits.heatmap.rows, 5u);
    EXPECT_DOUBLE_EQ(hourCentre(fits, "18"), heatmapHourLabels(fits.heatmap.rect.width)[3].rect.x + 12);
    Input small = inputFor(snapshot);
    small.height = 300; // five rows no longer fit
    const Result scrolls = layout(small);
    EXPECT_DOUBLE_EQ(hourCentre(scrolls, "18"), heatmapHourLabels(scrolls.heatmap.rect.width - listScrollBarWidth)[3].rect.x + 12);
}

TEST_F(ReportLayoutTest, theModelsAndSessionsPanelsSayWhatTheirFiguresCount)
{
    const Result result = layout(inputFor(snapshot));
    const auto captionOf = [&](const Scene::Rect& area, const char* wanted) {
        return countTexts(result, [&](auto* text) {
            return text->text == wanted && text->rect.x >= area.x - 0.01 && text->rect.right() <= area.right() + 0.01 && text->rect.y < area.y;
        });
    };
    EXPECT_EQ(captionOf(result.sessions.rect, "output tokens"), 1);
    const auto modelHelp = std::find_if(result.help.begin(), result.help.end(), [](const auto& h) { return h.text.rfind("Opus 4.6: 1.2k", 0) == 0; });
    ASSERT_NE(modelHelp, result.help.end());
    EXPECT_EQ(captionOf(modelHelp->rect, "input + output tokens"), 1);
}

// Without any limit ever read the panel shows the five-hour block going on;
// with a reading, the gauges as ever.
TEST_F(ReportLayoutTest, withoutLimitReadingsTheLimitsPanelShowsTheBlocksBurnRate)
{
    // 3,000 tokens over the half hour 12:10 to 12:40 at $3 an hour; the four hours left to 17:00 add 24,000 tokens and $12.
    messages = {message("2025-01-15T12:10:00Z", "a", "claude-opus-4-6", 0, 1000), message("2025-01-15T12:40:00Z", "a", "claude-opus-4-6", 0, 2000)};
    messages[0].cost = 0.5;
    messages[1].cost = 1.0;
    const Instant now = t("2025-01-15T13:00:00Z");
    Input in;
    const auto lines = [&](const ReportSnapshot& figures) {
        in = inputFor(figures);
        in.resetLabel = [](Instant at) { return IsoTime::formatSeconds(at).substr(11, 5); };
        const Result result = layout(in);
        std::vector<std::string> out;
        for (const auto* text : texts(result))
            if (text->rect.x < padding + leftColumn && text->rect.y > 40 && text->rect.y < 400)
                out.push_back(text->text);
        return out;
    };
    EXPECT_EQ(lines(ReportSnapshot::compute(messages, {}, std::nullopt, true, nullptr, now)),
              (std::vector<std::string>{"Usage Limits", "Five-hour block since 12:00", "Tokens a minute", "100", "Cost an hour", "$3.00",
                                        "by 17:00 at this rate: 27.0k tokens, $13.50", "No limits read: they come with a plan's status line"}));
    EXPECT_EQ(lines(ReportSnapshot::compute(messages, {}, std::nullopt, true, nullptr, t("2025-01-15T17:00:00Z"))),
              (std::vector<std::string>{"Usage Limits", "No five-hour block going on", "No limits read: they come with a plan's status line"}));
    const auto gauges = lines(ReportSnapshot::compute(messages, {}, UsageLimits{40.0, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
                                                      true, nullptr, now));
    EXPECT_EQ(gauges, (std::vector<std::string>{"Usage Limits", "5h window", "40%", "7d window", "\u2014"}));
}

TEST_F(ReportLayoutTest, everyTextReadsOverWhatLiesBehindItInBothThemes)
{
    messages.push_back(message("2025-01-15T11:00:00Z", "session-two-5678", "fable-1", 50, 50)); // the unpriced note
    const ReportSnapshot figures = ReportSnapshot::compute(messages, {}, UsageLimits{91.0, t("2025-01-15T17:05:00Z"), 55.0,
                                                                                       t("2025-01-18T17:05:00Z"), std::nullopt});
    const ReportSnapshot empty;
    const auto width = [](const std::string& text, const Scene::Font& font) { return static_cast<double>(text.size()) * font.size * 0.6; };
    for (const Palette* palette : {&Palette::light(), &Palette::dark()}) {
        SCOPED_TRACE(palette == &Palette::light() ? "light" : "dark");
        const auto check = [&](const char* what, const std::vector<Scene::Layer>& layers, std::vector<Rgba> behind) {
            SCOPED_TRACE(what);
            const auto all = testing::textContrasts(layers, behind);
            EXPECT_FALSE(all.empty());
            for (const auto& text : all)
                EXPECT_GE(text.ratio, text.required) << text.text;
        };
        const auto window = [&](const ReportSnapshot& shown, bool hovered) {
            Input in = inputFor(shown);
            in.palette = palette;
            if (hovered) {
                const Result plain = layout(in);
                in.hover.day = t("2025-01-15T00:00:00Z");
                in.hover.pos = {plain.timelinePlot.x + plain.timelinePlot.width * 0.75, plain.timelinePlot.y + 20};
            }
            Result result = layout(in);
            std::vector<Scene::Layer> layers = result.scene.layers;
            layers.insert(layers.begin() + 1, result.clipped.begin(), result.clipped.end());
            return layers;
        };
        check("the window", window(figures, false), {palette->background});
        check("a day's tooltip", window(figures, true), {palette->background});
        check("no data", window(empty, false), {palette->background});
        // The lists' rows lie on their panels.
        const HeatmapGrid grid = HeatmapGrid::from(figures.cells, figures.days);
        check("a heat map row", {heatmapRow(grid, 0, 674, *palette, [](Instant) { return std::string("Jan 14"); })},
              {palette->background, palette->surfaceElevated});
        check("a session row", {sessionRow({"session-two-5678", t("2025-01-15T10:30:00Z"), 2, 1000}, 226, *palette, width)},
              {palette->background, palette->surfaceElevated});
    }
}

} // namespace
} // namespace tallyglass
