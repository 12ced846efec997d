#include "app/AppPaths.h"
#include "ui/AppSignals.h"
#include "app/DesktopApp.h"
#include "app/StatusBarController.h"
#include "onboarding/OnboardingWindowController.h"
#include "overlay/OverlayPanel.h"
#include "ui/Controls.h"
#include "storage/Preferences.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"
#include "support/WidgetContrast.h"
#include "support/WidgetTestApp.h"
#include "ui/ThemeManager.h"

#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>

namespace tallyglass {
namespace {

// What the user can see of a window: its buttons and its texts.
template <typename Widget>
std::vector<std::string> shown(QWidget* window)
{
    std::vector<std::string> out;
    for (Widget* widget : window->findChildren<Widget*>())
        if (widget->isVisibleTo(window) && !widget->text().isEmpty())
            out.push_back(widget->text().toStdString());
    std::sort(out.begin(), out.end());
    return out;
}

bool showsText(QWidget* window, const std::string& text)
{
    const auto labels = shown<QLabel>(window);
    return std::find(labels.begin(), labels.end(), text) != labels.end();
}

void press(QWidget* window, const QString& text)
{
    for (QPushButton* button : window->findChildren<QPushButton*>())
        if (button->isVisibleTo(window) && button->text() == text)
            return button->click();
    ADD_FAILURE() << "no button " << text.toStdString() << " among the visible ones";
}

// The first start, as a user goes through it: the welcome in front of a
// hidden overlay, the hook step waiting for Claude Code, a failing install
// that can be tried again, and the close button completing the welcome.
TEST(Onboarding, theFirstStartWalksTheUserToAWorkingHook)
{
    test::widgetApp();
    Preferences::shared().resetForTests();
    int notices = 0;
    QObject listener;
    QObject::connect(&AppSignals::shared(), &AppSignals::hookStateChanged, &listener, [&] { ++notices; });

    DesktopApp app;
    ASSERT_TRUE(app.start());
    ASSERT_NE(app.onboarding(), nullptr);
    QWidget* window = app.onboarding()->window();
    ASSERT_TRUE(window->isVisible());
    EXPECT_EQ(window->size(), QSize(520, 600));
    EXPECT_FALSE(app.panel()->isVisible());
    const auto loginItem = AppPaths::home() / ".config" / "autostart" / "tallyglass.desktop";
    EXPECT_FALSE(std::filesystem::exists(loginItem)) << "registered before the user agreed";
    EXPECT_TRUE(showsText(window, "Welcome to Tallyglass"));
    EXPECT_TRUE(showsText(window, "100% local \u2014 nothing leaves your computer"));

    press(window, "Get Started");
    EXPECT_EQ(app.onboarding()->view()->step(), 1);
    EXPECT_EQ(shown<QPushButton>(window), (std::vector<std::string>{"Exit", "Re-check"}));
    EXPECT_TRUE(showsText(window, "Claude Code not detected"));
    press(window, "Re-check");
    EXPECT_EQ(shown<QPushButton>(window), (std::vector<std::string>{"Exit", "Re-check"})); // still nothing there

    std::filesystem::create_directories(AppPaths::claudeDirectory());
    std::ofstream(AppPaths::claudeSettings()) << "{ not json";
    press(window, "Re-check");
    EXPECT_EQ(shown<QPushButton>(window), (std::vector<std::string>{"Exit", "Install Hook"}));
    press(window, "Install Hook");
    ASSERT_TRUE(app.onboarding()->view()->hookError().has_value());
    EXPECT_TRUE(showsText(window, *app.onboarding()->view()->hookError()));
    EXPECT_EQ(shown<QPushButton>(window), (std::vector<std::string>{"Exit", "Install Hook"}));
    EXPECT_EQ(test::fileText(AppPaths::claudeSettings()), "{ not json"); // what the user wrote is kept

    std::filesystem::remove(AppPaths::claudeSettings());
    press(window, "Install Hook");
    EXPECT_FALSE(app.onboarding()->view()->hookError().has_value());
    EXPECT_EQ(shown<QPushButton>(window), (std::vector<std::string>{"Continue"}));
    EXPECT_TRUE(showsText(window, "Hooks enabled"));
    EXPECT_NE(test::fileText(AppPaths::claudeSettings()).find("tallyglass\\/app-hook"), std::string::npos);

    window->close();
    EXPECT_TRUE(Preferences::shared().onboardingDone());
    EXPECT_TRUE(std::filesystem::exists(loginItem));
    EXPECT_TRUE(app.panel()->isVisible());
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(app.onboarding()->window(), nullptr);

    // Again from the tray: a fresh welcome, the hook step already done, the last step ends it.
    app.statusBar()->onShowWelcome();
    window = app.onboarding()->window();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(app.panel()->isVisible());
    EXPECT_EQ(app.onboarding()->view()->step(), 0);
    for (const char* button : {"Get Started", "Continue", "Continue"})
        press(window, button);
    EXPECT_TRUE(showsText(window, "You're all set!"));
    EXPECT_TRUE(showsText(window, OnboardingView::reopenHint(QSystemTrayIcon::isSystemTrayAvailable()).toStdString()));
    press(window, "Get Started");
    EXPECT_EQ(app.onboarding()->window(), nullptr);
    EXPECT_TRUE(app.panel()->isVisible());
    EXPECT_EQ(notices, 2);
    app.shutDown();
}

// Leaving the welcome with "Exit" is no consent to start at login, at this
// start or the next.
TEST(Onboarding, exitLeavesNoLoginItem)
{
    test::widgetApp();
    Preferences::shared().resetForTests();
    const auto loginItem = AppPaths::home() / ".config" / "autostart" / "tallyglass.desktop";
    std::filesystem::remove(loginItem);
    for (int start = 0; start < 2; ++start) {
        DesktopApp app;
        ASSERT_TRUE(app.start());
        QWidget* window = app.onboarding()->window();
        press(window, "Get Started");
        press(window, "Exit");
        app.shutDown();
        EXPECT_FALSE(std::filesystem::exists(loginItem)) << "start " << start;
    }
}

// "Exit" leaves the welcome to open again next time, though Qt closes every
// window on its way out; no updater is pretended.
TEST(Onboarding, exitQuitsWithoutCompletingAndUpdatesCannotBeTurnedOn)
{
    test::widgetApp();
    Preferences::shared().resetForTests();
    int exits = 0;
    int finished = 0;
    HookControls hook{[] { return false; }, [] {}, [] { return true; }};
    OnboardingWindowController controller(hook, [&] { ++finished; }, [&] {
        ++exits;
        QApplication::closeAllWindows(); // as quitting does
    });
    controller.show();
    QWidget* window = controller.window();

    // No updater here: where updates come from is said, with no switch that cannot work.
    EXPECT_TRUE(showsText(window, "Updates come from your package manager"));
    EXPECT_EQ(window->findChild<ToggleSwitch*>(), nullptr);

    press(window, "Get Started");
    press(window, "Exit");
    EXPECT_EQ(exits, 1);
    EXPECT_EQ(finished, 0);
    EXPECT_EQ(Preferences::shared().storedTextForTests(Preferences::Key::onboardingDone), std::nullopt);
}

// Every step's texts, the hook step in each of its states, in both themes.
TEST(Onboarding, everyTextReadsOverWhatLiesBehindItInBothThemes)
{
    test::widgetApp();
    Preferences::shared().resetForTests();
    bool claudeCode = true;
    HookControls hook{[] { return false; }, [] {}, [&claudeCode] { return claudeCode; }};
    testing::inBothThemes([&](const Palette& p) {
        OnboardingWindowController controller(hook, [] {}, [] {});
        controller.show();
        QWidget* window = controller.window();
        ASSERT_EQ(&paletteFor(window), &p);
        const auto texts = testing::widgetTexts(window, p.background, p.surfaceElevated);
        EXPECT_GT(texts.size(), 12u);
        // The colours read are the style sheet's, not Qt's defaults.
        EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [&](const testing::WidgetText& text) {
            return std::abs(text.colour.r - p.textSubtle.r) < 0.01 && std::abs(text.colour.a - p.textSubtle.a) < 0.01;
        }));
        testing::expectReadable(texts);
        for (auto* button : window->findChildren<PrimaryButton*>())
            for (const auto& [pressed, hovered] : {std::pair{false, false}, {false, true}, {true, true}}) {
                const testing::WidgetText face{button->text().toStdString(), p.onAccent,
                                               {p.background, PrimaryButton::face(p, pressed, hovered)}, 16, true};
                EXPECT_GE(face.ratio(), face.required()) << face.name << (pressed ? " pressed" : hovered ? " hovered" : "");
            }
    });
}

// Dragged by its background the welcome follows the pointer; its buttons
// still take their clicks. It speaks of clicks, and of the card's menu where
// no tray shows.
TEST(Onboarding, theWelcomeMovesByItsBackgroundAndSpeaksOfThisDesktop)
{
    test::widgetApp();
    Preferences::shared().resetForTests();
    HookControls hook{[] { return false; }, [] {}, [] { return false; }};
    OnboardingWindowController controller(hook, [] {}, [] {});
    controller.show();
    QWidget* window = controller.window();
    auto* view = window->findChild<OnboardingView*>();
    ASSERT_NE(view, nullptr);
    window->move(100, 100);
    const QPoint start = window->pos();

    const QPointF grip(12, 12); // the margin above the steps
    const auto send = [&](QEvent::Type type, QPointF at, Qt::MouseButtons buttons) {
        QMouseEvent event(type, at, view->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
        QApplication::sendEvent(view, &event);
    };
    send(QEvent::MouseButtonPress, grip, Qt::LeftButton);
    send(QEvent::MouseMove, grip + QPointF(30, 20), Qt::LeftButton);
    send(QEvent::MouseButtonRelease, grip + QPointF(30, 20), Qt::NoButton);
    EXPECT_EQ(window->pos(), start + QPoint(30, 20));
    send(QEvent::MouseMove, grip + QPointF(80, 80), Qt::NoButton); // the button is up: the window stays
    EXPECT_EQ(window->pos(), start + QPoint(30, 20));

    press(window, "Get Started");
    EXPECT_EQ(view->step(), 1);
    const auto labels = shown<QLabel>(window);
    EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [](const std::string& text) { return text.find("click Re-check") != std::string::npos; }));
    for (const auto& text : labels)
        EXPECT_EQ(text.find(" tap "), std::string::npos) << text;

    EXPECT_TRUE(OnboardingView::reopenHint(false).contains(QString::fromUtf8("from the card\u2019s menu")));
    EXPECT_TRUE(OnboardingView::reopenHint(true).contains("from the tray menu"));
}

} // namespace
} // namespace tallyglass
