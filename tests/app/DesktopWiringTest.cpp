#include "ui/Alerts.h"
#include "app/AppPaths.h"
#include "ui/AppSignals.h"
#include "app/DesktopApp.h"
#include "app/LaunchAtLoginManager.h"
#include "app/StatusBarController.h"
#include "app/CoreServices.h"
#include "hook/HookInstaller.h"
#include "hook/HookScriptBuilder.h"
#include "overlay/OverlayPanel.h"
#include "overlay/StackedBarChartView.h"
#include "server/LocalServer.h"
#include "storage/Preferences.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"
#include "support/WidgetTestApp.h"

#include <QAction>
#include <QMenu>
#include <QScreen>

#include <gtest/gtest.h>

#include <fstream>

namespace tallyglass {
namespace {

// Alerts recorded instead of shown, for as long as the test runs, even one that fails half-way.
struct RecordedAlerts {
    explicit RecordedAlerts(std::vector<std::pair<std::string, std::string>>& into)
    {
        Alerts::setPresenter([&into](const std::string& title, const std::string& body) { into.emplace_back(title, body); });
    }
    ~RecordedAlerts() { Alerts::setPresenter({}); }
};

std::vector<std::string> titles(QMenu* menu)
{
    std::vector<std::string> out;
    for (QAction* action : menu->actions()) {
        std::string title = action->isSeparator() ? "-" : action->text().toStdString();
        if (!action->shortcut().isEmpty())
            title += " [" + action->shortcut().toString().toStdString() + "]";
        out.push_back(title + (action->isEnabled() ? "" : " (off)"));
    }
    return out;
}

TEST(StatusBarController, theMenuShowsTheServersStateAndReachesEveryWindow)
{
    test::widgetApp();
    std::uint16_t port = 0;
    StatusBarController controller([&] { return port; });
    EXPECT_EQ(titles(controller.menu()),
              (std::vector<std::string>{"Server: starting\u2026 (off)", "-", "Show Welcome\u2026", "Show Full Report\u2026",
                                        "Check for Updates\u2026 (off)", "Settings\u2026 [Ctrl+,]", "-", "Quit [Ctrl+Q]"}));
    port = 45833;
    controller.rebuildMenu();
    EXPECT_EQ(controller.menu()->actions().front()->text().toStdString(), "Server: running on :45833");
    controller.setStoreProblem("database or disk is full");
    EXPECT_EQ(titles(controller.menu())[1], "Storing fails: database or disk is full (off)");
    controller.setStoreProblem(std::nullopt);
    EXPECT_EQ(titles(controller.menu())[1], "-");
    std::vector<std::string> calls;
    controller.onShowWelcome = [&] { calls.push_back("welcome"); };
    controller.onShowFullReport = [&] { calls.push_back("report"); };
    controller.onShowSettings = [&] { calls.push_back("settings"); };
    controller.onQuit = [&] { calls.push_back("quit"); };
    for (QAction* action : controller.menu()->actions())
        if (action->isEnabled() && !action->isSeparator())
            action->trigger();
    EXPECT_EQ(calls, (std::vector<std::string>{"welcome", "report", "settings", "quit"}));
}

// The preference's flips are followed through the Settings window; here, the file and its failure.
TEST(LaunchAtLogin, theEntryIsWrittenWholeAndAFolderThatCannotHoldItIsLogged)
{
    const auto dir = test::freshDirectory();
    LaunchAtLoginManager manager(dir / "autostart" / "tallyglass.desktop", "/opt/tally glass/tallyglass");
    manager.sync(true);
    EXPECT_EQ(test::fileText(manager.entryPath()), manager.entryText());

    // A folder that cannot hold the entry: one line, nothing else changes.
    std::ofstream(dir / "blocked") << "a file where the folder would be";
    LaunchAtLoginManager blocked(dir / "blocked" / "tallyglass.desktop", "/usr/bin/tallyglass");
    testing::internal::CaptureStderr();
    blocked.sync(true);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("[tallyglass] launch-at-login sync failed (enabled=true): ", 0), 0u);
}

TEST(OverlayPanel, sitsTwentyFourPixelsFromTheTopRightOfTheAvailableArea)
{
    // A second monitor to the right, and a panel bar taking the top 32 pixels.
    EXPECT_EQ(OverlayPanel::originFor(QRect(1920, 32, 2560, 1408)), QPoint(4240, 56));
}

TEST(LaunchAtLogin, theProgramsPathIsWrittenSoThatLaunchersReadItBack)
{
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/bin/tallyglass", "/usr/bin/tallyglass"},
        {"/opt/tally glass/tallyglass", "\"/opt/tally glass/tallyglass\""},
        {"/home/a$b/tallyglass", "\"/home/a\\\\$b/tallyglass\""},    // file: "/home/a\\$b/..."
        {"/home/a\\b/tallyglass", "\"/home/a\\\\\\\\b/tallyglass\""}, // file: four backslashes
        {"/srv/100%/tallyglass", "/srv/100%%/tallyglass"},
    };
    for (const auto& [program, exec] : cases) {
        const std::string text = LaunchAtLoginManager("/nowhere/tallyglass.desktop", program).entryText();
        EXPECT_EQ(text.rfind("[Desktop Entry]\nType=Application\nName=Tallyglass\n", 0), 0u) << text;
        EXPECT_NE(text.find(std::string("\nExec=") + exec + "\n"), std::string::npos) << program << "\n" << text;
    }
}

// The whole application, offscreen, past its welcome: the alerts it would
// show, and the notices every hook view follows, are counted.
class DesktopAppTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Preferences::shared().resetForTests();
        Preferences::shared().setOnboardingDone(true);
        QObject::connect(&AppSignals::shared(), &AppSignals::hookStateChanged, &listener, [this] { ++notices; });
    }

    QApplication& widgets = test::widgetApp();
    std::vector<std::pair<std::string, std::string>> alerts;
    const RecordedAlerts recording{alerts};
    int notices = 0;
    QObject listener; // the connection ends with the test
};

// The hook installed and removed from the overlay, with the alerts' words.
TEST_F(DesktopAppTest, theHookIsInstalledAndRemovedFromTheOverlayWithItsAlerts)
{
    DesktopApp app;
    ASSERT_TRUE(app.start());
    EXPECT_TRUE(app.panel()->isVisible());
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(app.panel()->geometry(), QRect(screen.right() + 1 - 24 - 216, screen.top() + 24, 216, 236));
    EXPECT_FALSE(app.isHookInstalled());
    app.toggleHook(false);
    EXPECT_TRUE(app.isHookInstalled());
    app.toggleHook(true);
    EXPECT_FALSE(app.isHookInstalled());
    ASSERT_TRUE(test::waitUntil([&] { return alerts.size() == 2; }));
    EXPECT_EQ(alerts[0], (std::pair<std::string, std::string>{"Hook installed", "Claude Code will now send events to this app."}));
    EXPECT_EQ(alerts[1], (std::pair<std::string, std::string>{"Hook uninstalled", "Claude Code will no longer send events."}));
    EXPECT_EQ(notices, 2);

    // Settings that are not JSON: the install fails with its reason, and nothing is announced.
    std::filesystem::create_directories(AppPaths::claudeDirectory());
    std::ofstream(AppPaths::claudeSettings()) << "{ not json";
    testing::internal::CaptureStderr();
    app.installFromOverlay();
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("[tallyglass] install failed: ", 0), 0u);
    ASSERT_TRUE(test::waitUntil([&] { return alerts.size() == 3; }));
    EXPECT_EQ(alerts[2].first, "Install failed");
    EXPECT_EQ(notices, 2);
    EXPECT_TRUE(std::filesystem::exists(AppPaths::home() / ".config" / "autostart" / "tallyglass.desktop"));
    app.shutDown();
}

// `tallyglass hook uninstall` in a terminal, or an edit of Claude Code's
// settings, reaches the card and every other hook view, as a change made in
// the application does; the application's own changes are announced once.
TEST_F(DesktopAppTest, hookChangesMadeOutsideTheApplicationAreSeen)
{
    std::filesystem::remove_all(AppPaths::claudeDirectory()); // the folder comes later, as with a new Claude Code

    DesktopApp app;
    ASSERT_TRUE(app.start());
    const auto chart = [&] { return app.panel()->findChild<StackedBarChartView*>(); };
    ASSERT_NE(chart(), nullptr);
    app.toggleHook(false);
    ASSERT_TRUE(app.isHookInstalled());
    ASSERT_TRUE(test::waitUntil([&] { return alerts.size() == 1; }));
    ASSERT_FALSE(chart()->currentLayout().installCard);

    HookInstaller terminal(AppPaths::claudeSettings(), AppPaths::hookScript(), app.core()->installer().port(),
                           HookScriptBuilder::currentVersion);
    terminal.uninstall();
    EXPECT_TRUE(test::waitUntil([&] { return chart()->currentLayout().installCard.has_value(); }));
    EXPECT_EQ(notices, 2);
    terminal.install();
    EXPECT_TRUE(test::waitUntil([&] { return notices == 3; }));
    EXPECT_TRUE(app.isHookInstalled());
    app.shutDown();
}

// The server binds on its own thread after the tray's menu was first built;
// the menu must learn the port then, whether or not the port moved.
TEST_F(DesktopAppTest, theTraySaysTheServersPortOnceItListens)
{
    DesktopApp app;
    ASSERT_TRUE(app.start());
    const auto firstEntry = [&] { return app.statusBar()->menu()->actions().front()->text().toStdString(); };
    ASSERT_TRUE(test::waitUntil([&] { return app.core()->server()->boundPort() != 0; }));
    const std::string running = "Server: running on :" + std::to_string(app.core()->server()->boundPort());
    EXPECT_TRUE(test::waitUntil([&] { return firstEntry() == running; })) << firstEntry();
    app.shutDown();
}

// Nothing can work without the database: say so before ending, and start nothing;
// the overlay's hook actions, without the core, say the installer is not ready.
TEST(DesktopApp, aDatabaseThatCannotBeOpenedIsSaidAndNothingStarts)
{
    test::widgetApp();
    std::vector<std::pair<std::string, std::string>> alerts;
    const RecordedAlerts recording(alerts);
    std::filesystem::remove_all(AppPaths::database());
    std::filesystem::create_directories(AppPaths::database()); // a folder where the file would be
    DesktopApp app;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(app.start());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("[tallyglass] failed to open WriteDatabase: "), std::string::npos);
    ASSERT_EQ(alerts.size(), 1u); // shown before start() returns: no event loop follows
    EXPECT_EQ(alerts[0].first, "Tallyglass cannot start");
    EXPECT_EQ(app.panel(), nullptr);

    testing::internal::CaptureStderr();
    app.installFromOverlay();
    app.uninstallFromOverlay();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[tallyglass] install from overlay: installer not ready\n"
                                                      "[tallyglass] uninstall from overlay: installer not ready\n");
    ASSERT_TRUE(test::waitUntil([&] { return alerts.size() == 3; }));
    EXPECT_EQ(alerts[1], (std::pair<std::string, std::string>{"Install failed", "Installer not ready yet \u2014 try again in a second."}));
    EXPECT_EQ(alerts[2].first, "Uninstall failed");
    std::filesystem::remove_all(AppPaths::database());
}

} // namespace
} // namespace tallyglass
