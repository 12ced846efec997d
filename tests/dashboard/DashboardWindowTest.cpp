#include "dashboard/DashboardView.h"
#include "dashboard/DashboardViewModel.h"
#include "dashboard/DashboardWindowController.h"
#include "dashboard/SceneList.h"

#include "core/IsoTime.h"
#include "storage/MockDatabase.h"
#include "support/QtTestApp.h"
#include "support/WidgetTestApp.h"

#include <QApplication>
#include <QMouseEvent>
#include <QSettings>

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

const Instant now = *IsoTime::parse("2025-01-15T12:00:00Z");

class DashboardWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QSettings("tallyglass", "tallyglass").clear();
        for (int i = 0; i < 3000; ++i)
            db->dashboardMessages.push_back({now - std::chrono::minutes(3000 - i), "session-" + std::to_string(i / 2),
                                             i % 2 ? "claude-opus-4-6" : "claude-sonnet-4-6", 100, 50, 0, 0, false, 0.01});
    }

    void open()
    {
        controller.show();
        ASSERT_TRUE(test::waitUntil([&] { return !vm.isBusy(); }));
        QApplication::processEvents();
    }

    void click(const std::function<bool(const ReportLayout::Chip&)>& which)
    {
        for (const auto& chip : controller.view()->currentLayout().chips) {
            if (!which(chip))
                continue;
            const QPointF at(chip.rect.x + chip.rect.width / 2, chip.rect.y + chip.rect.height / 2);
            QMouseEvent press(QEvent::MouseButtonPress, at, controller.view()->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(controller.view(), &press);
            ASSERT_TRUE(test::waitUntil([&] { return !vm.isBusy(); }));
            return;
        }
        FAIL() << "no such chip";
    }

    QApplication& app = test::widgetApp();
    std::shared_ptr<MockDatabase> db = std::make_shared<MockDatabase>();
    DashboardViewModel vm{db, [] { return now; }};
    DashboardWindowController controller{vm};
};

TEST_F(DashboardWindowTest, oneWindowAtItsSizeReopensWhereItWasLeft)
{
    open();
    QWidget* window = controller.window();
    EXPECT_EQ(window->windowTitle().toStdString(), "Tallyglass \u2014 Full Report");
    EXPECT_EQ(window->size(), QSize(1280, 800));
    EXPECT_EQ(window->minimumSize(), QSize(1100, 720));
    window->move(40, 30);
    window->resize(1180, 760);
    window->close();
    EXPECT_TRUE(QSettings("tallyglass", "tallyglass").contains(DashboardWindowController::frameKey));
    open();
    EXPECT_EQ(controller.window(), window);
    EXPECT_EQ(window->size(), QSize(1180, 760));
}

TEST_F(DashboardWindowTest, chipsChangeTheFiguresAndTheChoiceOutlivesTheWindow)
{
    open();
    const auto week = vm.snapshot().totals.messageCount;
    click([](const ReportLayout::Chip& chip) { return chip.preset == DatePreset::last1d; });
    EXPECT_EQ(vm.filters().preset, DatePreset::last1d);
    const auto all = vm.snapshot().totals.messageCount; // today's only
    EXPECT_LT(all, week);
    click([](const ReportLayout::Chip& chip) { return chip.model == "claude-opus-4-6"; });
    EXPECT_EQ(vm.snapshot().totals.messageCount, all / 2);
    controller.window()->close();
    open();
    EXPECT_EQ(vm.filters().preset, DatePreset::last1d);
    EXPECT_EQ(vm.filters().models.size(), 1u);
    click([](const ReportLayout::Chip& chip) { return chip.model == "claude-opus-4-6"; }); // again: all models
    EXPECT_TRUE(vm.filters().models.empty());
    EXPECT_EQ(vm.snapshot().totals.messageCount, all);
}

TEST_F(DashboardWindowTest, aClosedReportReadsNothingAndAnOpenOneBuildsOnlyTheRowsInView)
{
    controller.reloadIfVisible();
    QApplication::processEvents();
    EXPECT_EQ(db->allMessageFetches, 0);
    open();
    EXPECT_EQ(db->allMessageFetches, 1);
    const auto [first, last] = controller.view()->sessionList()->visibleRows();
    EXPECT_EQ(vm.snapshot().sessions.size(), 1500u);
    EXPECT_EQ(first, 0u);
    EXPECT_LT(last - first, 40u);
    controller.window()->close();
    controller.reloadIfVisible();
    QApplication::processEvents();
    EXPECT_EQ(db->allMessageFetches, 1);
}

} // namespace
} // namespace tallyglass
