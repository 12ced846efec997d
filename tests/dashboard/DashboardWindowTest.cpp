#include "dashboard/DashboardView.h"
#include "dashboard/DashboardViewModel.h"
#include "dashboard/DashboardWindowController.h"
#include "dashboard/SceneList.h"

#include "ui/Alerts.h"
#include "core/IsoTime.h"
#include "storage/MockDatabase.h"
#include "storage/Preferences.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"
#include "support/TimeZone.h"
#include "support/WidgetTestApp.h"

#include <QApplication>
#include <QMouseEvent>

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

const Instant now = *IsoTime::parse("2025-01-15T12:00:00Z");

class DashboardWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Preferences::shared().resetForTests();
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

TEST_F(DashboardWindowTest, oneWindowAtItsSizeReopensWhereItWasLeftEvenAfterARestart)
{
    open();
    QWidget* window = controller.window();
    EXPECT_EQ(window->windowTitle().toStdString(), "Tallyglass \u2014 Full Report");
    EXPECT_EQ(window->size(), QSize(1280, 800));
    EXPECT_EQ(window->minimumSize(), QSize(1100, 720));
    window->setGeometry(40, 30, 1180, 760);
    window->close();
    open();
    EXPECT_EQ(controller.window(), window);

    // The next run of the program: a new controller, a new window, the same place.
    window->close();
    DashboardWindowController next(vm);
    next.show();
    EXPECT_EQ(next.window()->geometry(), QRect(40, 30, 1180, 760));
}

TEST_F(DashboardWindowTest, chipsChangeTheFiguresAndTheChoiceOutlivesTheWindow)
{
    open();
    const auto week = vm.snapshot().totals.messageCount;
    click([](const ReportLayout::Chip& chip) { return chip.preset == DatePreset::last1d; });
    EXPECT_EQ(vm.filters().preset, DatePreset::last1d);
    const auto all = vm.snapshot().totals.messageCount; // today's only
    EXPECT_LT(all, week);
    click([](const ReportLayout::Chip& chip) { return chip.models == std::vector<std::string>{"claude-opus-4-6"}; });
    EXPECT_EQ(vm.snapshot().totals.messageCount, all / 2);
    controller.window()->close();
    open();
    EXPECT_EQ(vm.filters().preset, DatePreset::last1d);
    EXPECT_EQ(vm.filters().models.size(), 1u);
    click([](const ReportLayout::Chip& chip) { return chip.models == std::vector<std::string>{"claude-opus-4-6"}; }); // again: all models
    EXPECT_TRUE(vm.filters().models.empty());
    EXPECT_EQ(vm.snapshot().totals.messageCount, all);
}

// Far east of Greenwich, "today" in local time began ten hours before UTC's
// midnight: the choice moves the preset's days and the timeline's, and is kept.
TEST_F(DashboardWindowTest, theDayZoneChoiceMovesTheDaysAndIsRemembered)
{
    const test::TimeZone kiritimati("Pacific/Kiritimati"); // UTC+14: it is 02:00 on Jan 16 there
    open();
    click([](const ReportLayout::Chip& chip) { return chip.preset == DatePreset::last1d; });
    EXPECT_EQ(vm.snapshot().totals.messageCount, 720); // since 00:00 UTC
    click([](const ReportLayout::Chip& chip) { return chip.localDays == true; });
    EXPECT_EQ(vm.snapshot().totals.messageCount, 120); // since 10:00 UTC
    ASSERT_EQ(vm.snapshot().days.size(), 1u);
    EXPECT_EQ(vm.snapshot().days[0].dayStart, *IsoTime::parse("2025-01-15T10:00:00Z"));
    EXPECT_EQ(Preferences::shared().storedTextForTests(Preferences::Key::reportDayZone), "local");
    EXPECT_TRUE(DashboardViewModel(db).filters().localDays); // the next run
    click([](const ReportLayout::Chip& chip) { return chip.localDays == false; });
    EXPECT_EQ(vm.snapshot().totals.messageCount, 720);
    EXPECT_FALSE(DashboardViewModel(db).filters().localDays);
}

// "Export…" saves what the window shows, whole or not at all, and says where.
TEST_F(DashboardWindowTest, exportSavesWhatTheWindowShows)
{
    std::vector<std::pair<std::string, std::string>> alerts;
    Alerts::setPresenter([&](const std::string& title, const std::string& body) { alerts.emplace_back(title, body); });
    open();
    click([](const ReportLayout::Chip& chip) { return chip.preset == DatePreset::last1d; });
    click([](const ReportLayout::Chip& chip) { return chip.models == std::vector<std::string>{"claude-opus-4-6"}; });
    const auto folder = test::freshDirectory();
    QString suggested;
    controller.chooseFile = [&](const QString& offered) {
        suggested = offered;
        return QString::fromStdString((folder / "today.csv").string());
    };
    controller.projects = [] { return std::map<std::string, std::string>{{"session-1499", "/home/ada/shop"}}; };
    click([](const ReportLayout::Chip& chip) { return chip.exportAction; });
    EXPECT_TRUE(suggested.endsWith("tallyglass-2025-01-15-to-2025-01-15.csv")) << suggested.toStdString();
    ASSERT_TRUE(test::waitUntil([&] { return alerts.size() == 1; })); // written away from the window's thread
    const std::string csv = test::fileText(folder / "today.csv");
    const auto lines = std::count(csv.begin(), csv.end(), '\n');
    EXPECT_EQ(lines - 1, vm.snapshot().totals.messageCount); // a row per message shown
    EXPECT_EQ(csv.find("claude-sonnet-4-6"), std::string::npos);
    EXPECT_NE(csv.find("session-1499,/home/ada/shop,claude-opus-4-6"), std::string::npos);
    EXPECT_EQ(alerts[0].first, "Exported");
    EXPECT_NE(alerts[0].second.find((folder / "today.csv").string()), std::string::npos);

    // A place that cannot be written: said, and nothing left behind.
    controller.chooseFile = [&](const QString&) { return QString::fromStdString((folder / "missing" / "x.csv").string()); };
    controller.exportShown();
    ASSERT_TRUE(test::waitUntil([&] { return alerts.size() == 2; }));
    EXPECT_EQ(alerts[1].first, "Export failed");
    EXPECT_FALSE(std::filesystem::exists(folder / "missing"));
    controller.chooseFile = [](const QString&) { return QString(); }; // cancelled
    controller.exportShown();
    QApplication::processEvents();
    EXPECT_EQ(alerts.size(), 2u);
    // A folder's name is the disk's: the alert shows its controls escaped.
    controller.chooseFile = [&](const QString&) { return QString::fromStdString((folder / "gone\x1b[2K" / "x.csv").string()); };
    controller.exportShown();
    ASSERT_TRUE(test::waitUntil([&] { return alerts.size() == 3; }));
    EXPECT_NE(alerts[2].second.find("gone\\x1b[2K/x.csv"), std::string::npos) << alerts[2].second;
    Alerts::setPresenter({});
}

TEST_F(DashboardWindowTest, aClosedReportReadsNothing)
{
    controller.reloadIfVisible();
    QApplication::processEvents();
    EXPECT_EQ(db->allMessageFetches, 0);
    open();
    EXPECT_EQ(db->allMessageFetches, 1);
    controller.window()->close();
    controller.reloadIfVisible();
    QApplication::processEvents();
    EXPECT_EQ(db->allMessageFetches, 1);
}

// A session id is whatever the transcript said: the sessions panel shows its controls escaped.
TEST_F(DashboardWindowTest, theSessionsPanelShowsControlsNeverObeysThem)
{
    db->dashboardMessages.push_back({now, "\r\x1b[2K\x07", "claude-opus-4-6", 1, 1, 0, 0, false, 0}); // the latest: first
    open();
    const SceneList* list = controller.view()->sessionList();
    ASSERT_GT(list->source().rows, 0u);
    std::vector<std::string> texts;
    for (const auto& item : list->source().build(0, list->viewport()->width()).items)
        if (const auto* text = std::get_if<Scene::Text>(&item))
            texts.push_back(text->text);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), "\\r\\x1b[2K\\x07");
}

// Thousands of sessions: a paint builds only the rows in view, wherever the list is scrolled.
TEST(SceneList, buildsOnlyTheRowsInView)
{
    test::widgetApp();
    std::vector<std::size_t> built;
    SceneList list;
    list.resize(220, 300);
    list.setSource({5000, 21, 4, [&](std::size_t row, double) {
                        built.push_back(row);
                        return Scene::Layer{};
                    },
                    {}});
    list.grab();
    ASSERT_FALSE(built.empty());
    EXPECT_EQ(built.front(), 0u);
    EXPECT_LE(built.size(), 13u); // 300 / 25, and one cut at the bottom
    built.clear();
    list.scrollToEnd();
    list.grab();
    ASSERT_FALSE(built.empty());
    EXPECT_EQ(built.back(), 4999u);
    EXPECT_LE(built.size(), 13u);
}

} // namespace
} // namespace tallyglass
