#include "overlay/StackedBarChartView.h"

#include "capture/ImportService.h"
#include "core/IsoTime.h"
#include "overlay/ChartViewModel.h"
#include "overlay/OverlayPanel.h"
#include "storage/MockDatabase.h"
#include "support/ChartReload.h"
#include "support/SceneContrast.h"
#include "storage/Preferences.h"
#include "ui/MotionPreference.h"
#include "support/QtTestApp.h"
#include "support/WidgetTestApp.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMouseEvent>

#include <gtest/gtest.h>

#include <future>

namespace tallyglass {
namespace {

const Instant anchor = *IsoTime::parse("2025-01-15T15:00:00Z");

// An import that waits until it is let go, then fails.
class HeldImport final : public ScanRunning {
public:
    std::promise<void> release;
    std::int64_t scanAll(const Progress&) override
    {
        release.get_future().wait();
        throw std::runtime_error("database is locked");
    }
};

class StackedBarChartViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Preferences::shared().resetForTests();
        db->messages = {{anchor - std::chrono::minutes(170), "claude-opus-4-6", 1000, 2000},
                        {anchor - std::chrono::minutes(168), "claude-sonnet-4-6", 500, 700}};
        db->limits = UsageLimits{42.0, anchor, std::nullopt, std::nullopt, std::nullopt};
        ASSERT_TRUE(test::reloadAndWait(vm));
        callbacks.isHookInstalled = [this] { return hookInstalled; };
        callbacks.onToggleHook = [this](bool installed) { calls.push_back(installed ? "uninstall" : "install"); };
        callbacks.onQuit = [this] { calls.push_back("quit"); };
        callbacks.onOpenFullReport = [this] { calls.push_back("report"); };
        callbacks.onOpenSettings = [this] { calls.push_back("settings"); };
        callbacks.onShowWelcome = [this] { calls.push_back("welcome"); };
    }

    std::unique_ptr<StackedBarChartView> makeView()
    {
        auto view = std::make_unique<StackedBarChartView>(vm, callbacks);
        view->refreshHookState();
        view->finishAnimations();
        return view;
    }

    static void send(QWidget& view, QEvent::Type type, QPointF at, Qt::MouseButton button, Qt::MouseButtons held)
    {
        QMouseEvent event(type, at, view.mapToGlobal(at), button, held, Qt::NoModifier);
        QApplication::sendEvent(&view, &event);
    }

    static void tap(QWidget& view, QPointF at)
    {
        send(view, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
        send(view, QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);
    }

    static void hover(QWidget& view, QPointF at) { send(view, QEvent::MouseMove, at, Qt::NoButton, Qt::NoButton); }

    static QPointF plotPoint(const StackedBarChartView& view, double slot)
    {
        const auto layout = view.currentLayout();
        return {layout.plot.x + (slot + 0.5) / 30.0 * layout.plot.width, layout.plot.y + layout.plot.height / 2};
    }

    QApplication& app = test::widgetApp(); // before the view model, whose timer needs it
    std::shared_ptr<MockDatabase> db = std::make_shared<MockDatabase>();
    std::shared_ptr<HeldImport> import = std::make_shared<HeldImport>(); // started only by "Refresh"
    ImportService imports{import};
    ChartViewModel vm{db, &imports, [] { return anchor - std::chrono::minutes(120); }};
    StackedBarChartView::Callbacks callbacks;
    bool hookInstalled = true;
    std::vector<std::string> calls;
};

TEST_F(StackedBarChartViewTest, tapsExpandTheCardAndSwitchTheModeAndTheModeSurvivesARestart)
{
    auto view = makeView();
    EXPECT_TRUE(view->isCumulative()); // the default on a fresh installation
    const auto layout = view->currentLayout();
    tap(*view, {layout.card.x + 100, layout.plot.bottom() + 40}); // the summary row
    EXPECT_TRUE(view->isExpanded());
    tap(*view, plotPoint(*view, 5));
    EXPECT_FALSE(view->isCumulative());
    EXPECT_TRUE(view->isExpanded());
    view->finishAnimations(); // the button has moved down with the details
    const auto expanded = view->currentLayout();
    tap(*view, {expanded.fullReportButton->x + 50, expanded.fullReportButton->y + 5});
    EXPECT_EQ(calls, std::vector<std::string>{"report"});
    view.reset();
    EXPECT_FALSE(makeView()->isCumulative());
}

TEST_F(StackedBarChartViewTest, draggingTheCardMovesItAndChangesNothing)
{
    auto view = makeView();
    const QPointF from = plotPoint(*view, 5);
    const QPointF to = from + QPointF(30, 12);
    send(*view, QEvent::MouseButtonPress, from, Qt::LeftButton, Qt::LeftButton);
    send(*view, QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
    send(*view, QEvent::MouseButtonRelease, to, Qt::LeftButton, Qt::NoButton);
    EXPECT_TRUE(view->isCumulative()); // pressed and released on the plot: a tap there would switch it
}

TEST_F(StackedBarChartViewTest, hoveringShowsASlotWithBarsAndNothingElse)
{
    Preferences::shared().setChartIsCumulative(false);
    auto view = makeView();
    hover(*view, plotPoint(*view, 13)); // 12:10-12:20 holds both messages
    EXPECT_EQ(view->hoveredBucket(), 13);
    hover(*view, plotPoint(*view, 20));
    EXPECT_EQ(view->hoveredBucket(), std::nullopt);
    hover(*view, plotPoint(*view, 13));
    tap(*view, plotPoint(*view, 13)); // now the line: no slot is hovered there
    hover(*view, plotPoint(*view, 13));
    EXPECT_EQ(view->hoveredBucket(), std::nullopt);
}

TEST_F(StackedBarChartViewTest, withTheHookMissingOnlyTheInstallCardReacts)
{
    hookInstalled = false;
    auto view = makeView();
    const auto layout = view->currentLayout();
    ASSERT_TRUE(layout.installCard.has_value());
    tap(*view, {layout.card.x + 20, layout.card.y + 30});
    EXPECT_FALSE(view->isExpanded());
    tap(*view, {layout.installCard->x + 10, layout.installCard->y + 10});
    EXPECT_EQ(calls, std::vector<std::string>{"install"});
}

bool showsText(const OverlayLayout::Result& result, const std::string& wanted, bool clipped = false)
{
    return testing::hasText(result.scene.layers, wanted, clipped);
}

TEST_F(StackedBarChartViewTest, aChangedFigureRollsUntilItSettlesUnlessTheDesktopAsksForStillness)
{
    auto view = makeView();
    ASSERT_TRUE(test::reloadAndWait(vm)); // the same figures: nothing rolls
    view->setRollTime(0.1);
    EXPECT_TRUE(showsText(view->currentLayout(), "Input: 1k, Output: 2k"));

    db->messages.push_back({anchor - std::chrono::minutes(160), "claude-opus-4-6", 5000, 0});
    ASSERT_TRUE(test::reloadAndWait(vm));
    const auto rolling = view->currentLayout();
    EXPECT_FALSE(showsText(rolling, "Input: 1k, Output: 2k"));
    EXPECT_TRUE(showsText(rolling, "1", true)); // going
    EXPECT_TRUE(showsText(rolling, "6", true)); // coming
    view->setRollTime(0.6);
    EXPECT_TRUE(showsText(view->currentLayout(), "Input: 6k, Output: 2k"));

    MotionPreference::shared().settingChanged("org.gnome.desktop.interface", "enable-animations", false);
    view->setRollTime(0.1);
    EXPECT_TRUE(showsText(view->currentLayout(), "Input: 6k, Output: 2k")); // what was rolling has arrived
    db->messages.push_back({anchor - std::chrono::minutes(160), "claude-opus-4-6", 5000, 0});
    ASSERT_TRUE(test::reloadAndWait(vm));
    const auto layout = view->currentLayout();
    EXPECT_TRUE(showsText(layout, "Input: 11k, Output: 2k"));
    tap(*view, {layout.card.x + 100, layout.plot.bottom() + 40}); // the details open at once
    EXPECT_TRUE(showsText(view->currentLayout(), "Total"));
    MotionPreference::shared().settingChanged("org.gnome.desktop.interface", "enable-animations", true);
}

// Three models' details do not fit 236 pixels: the panel grows for them, and
// gives the height back once they close. Where no compositor shows
// transparency the window takes the card's shape, so the card says its
// height as the details open and close, frame by frame.
TEST_F(StackedBarChartViewTest, thePanelAndTheCardsShapeFollowTheDetailsOpeningAndClosing)
{
    db->messages.push_back({anchor - std::chrono::minutes(160), "claude-haiku-4-5-20251001", 10, 20});
    ASSERT_TRUE(test::reloadAndWait(vm));
    auto* view = makeView().release();
    int told = 0;
    QObject::connect(view, &StackedBarChartView::cardHeightChanged, view, [&](int height) { told = height; });
    OverlayPanel panel(view);
    panel.show();
    const auto summary = view->currentLayout();
    const int summaryHeight = static_cast<int>(std::ceil(summary.card.height));
    ASSERT_LT(summaryHeight, OverlayPanel::defaultHeight); // the window is taller than the card
    EXPECT_TRUE(test::waitUntil([&] { return told == summaryHeight; })) << told;
    tap(*view, {summary.card.x + 100, summary.plot.bottom() + 40});
    view->finishAnimations();
    const int expanded = static_cast<int>(std::ceil(view->currentLayout().card.height));
    ASSERT_GT(expanded, OverlayPanel::defaultHeight);
    EXPECT_TRUE(test::waitUntil([&] { return panel.height() == expanded && told == expanded; })) << told;
    tap(*view, {summary.card.x + 100, summary.plot.bottom() + 40});
    view->finishAnimations();
    EXPECT_TRUE(test::waitUntil([&] { return panel.height() == OverlayPanel::defaultHeight && told == summaryHeight; })) << told;
}

// The shape holds the pixels the rounded card covers at least half of: a
// pixel it leaves transparent would show black without a compositor.
TEST(OverlayPanelShape, holdsThePixelsTheRoundedCardCovers)
{
    struct Case {
        int height;
        QPoint pixel;
        bool inside;
    };
    const Case cases[] = {
        {180, {108, 90}, true},   {180, {108, 179}, true},  {180, {0, 90}, true},    {180, {215, 90}, true},
        {180, {108, 180}, false}, {180, {108, 235}, false}, {180, {0, 0}, false},    {180, {215, 0}, false},
        {180, {0, 179}, false},   {180, {215, 179}, false}, {180, {2, 2}, false},    {180, {3, 3}, true},
        {180, {213, 177}, false}, {180, {212, 176}, true},  {300, {108, 299}, true}, {300, {108, 300}, false},
    };
    for (const auto& [height, pixel, inside] : cases) {
        SCOPED_TRACE(::testing::Message() << height << " px tall, pixel " << pixel.x() << "," << pixel.y());
        EXPECT_EQ(OverlayPanel::cardShape(OverlayPanel::defaultWidth, height).contains(pixel), inside);
    }
}

TEST_F(StackedBarChartViewTest, theActionsMenuReachesEveryActionAndFollowsTheImport)
{
    auto view = makeView();
    const auto titles = [](QMenu* menu) {
        std::vector<std::string> out;
        for (QAction* action : menu->actions())
            out.push_back(action->isSeparator() ? "-" : action->text().toStdString() + (action->isEnabled() ? "" : " (off)"));
        return out;
    };
    QMenu* menu = view->buildActionsMenu();
    EXPECT_EQ(titles(menu), (std::vector<std::string>{"Refresh", "-", "Open Full Report\u2026", "Settings\u2026", "Show Welcome\u2026", "-", "Quit"}));
    for (QAction* action : menu->actions())
        if (!action->isSeparator())
            action->trigger();
    EXPECT_EQ(calls, (std::vector<std::string>{"report", "settings", "welcome", "quit"}));

    EXPECT_EQ(titles(view->buildActionsMenu())[0], "Refresh (off)"); // "Refresh" started the import
    import->release.set_value();
    ASSERT_TRUE(test::waitUntil([&] { return vm.scanProgress().kind == ScanProgress::Kind::failed; }));
    EXPECT_EQ(titles(view->buildActionsMenu())[0], "Refresh \u00b7 retry");
}

} // namespace
} // namespace tallyglass
