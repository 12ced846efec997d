#include "ui/Alerts.h"
#include "app/AppPaths.h"
#include "app/DesktopApp.h"
#include "overlay/OverlayPanel.h"
#include "storage/Preferences.h"
#include "ui/ThemeManager.h"
#include "ui/Controls.h"
#include "settings/SettingsView.h"
#include "support/QtTestApp.h"
#include "support/TempDir.h"
#include "support/WidgetContrast.h"
#include "support/WidgetTestApp.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

// Every row of the settings window, used as a user would, through the whole
// application: Claude Code's settings, the stored keys and the autostart entry.
TEST(Settings, eachRowChangesWhatItSaysAndReturnCloses)
{
    test::widgetApp();
    Preferences::shared().resetForTests();
    Preferences::shared().setOnboardingDone(true);
    ThemeManager::shared().setSchemeSource([] { return std::optional<bool>(true); }); // a dark desktop
    ThemeManager::shared().apply();
    std::vector<std::string> alerts;
    Alerts::setPresenter([&](const std::string& title, const std::string&) { alerts.push_back(title); });

    DesktopApp app;
    ASSERT_TRUE(app.start());
    app.showSettings();
    QDialog* window = app.settings()->window();
    SettingsView* view = app.settings()->view();
    ASSERT_TRUE(window->isVisible());
    EXPECT_EQ(window->size(), QSize(SettingsView::windowWidth, SettingsView::windowHeight));

    // The hook row, before and after each change is announced.
    const auto hookRow = [&] { return view->hookSubtitle()->text().toStdString() + " | " + view->hookButton()->text().toStdString(); };
    EXPECT_EQ(hookRow(), "Not installed \u2014 no events will be captured | Install");
    view->hookButton()->click();
    EXPECT_EQ(hookRow(), "Installed \u2014 events flow to this app | Uninstall");
    EXPECT_NE(test::fileText(AppPaths::claudeSettings()).find("tallyglass\\/app-hook"), std::string::npos);
    view->hookButton()->click();
    EXPECT_EQ(hookRow(), "Not installed \u2014 no events will be captured | Install");
    EXPECT_EQ(test::fileText(AppPaths::claudeSettings()).find("tallyglass\\/app-hook"), std::string::npos);
    ASSERT_TRUE(test::waitUntil([&] { return alerts.size() == 2; }));
    EXPECT_EQ(alerts, (std::vector<std::string>{"Hook installed", "Hook uninstalled"}));

    // Launch at login: on by default, the entry follows each flip at once.
    const auto entry = AppPaths::home() / ".config" / "autostart" / "tallyglass.desktop";
    EXPECT_TRUE(view->loginSwitch()->isChecked());
    view->loginSwitch()->click();
    EXPECT_FALSE(std::filesystem::exists(entry));
    EXPECT_EQ(Preferences::shared().storedTextForTests(Preferences::Key::launchAtLogin), "false");
    view->loginSwitch()->click();
    EXPECT_TRUE(std::filesystem::exists(entry));

    // No updater here: the row says where updates come from, and offers no switch that cannot work.
    const auto* note = view->findChild<QLabel*>("updatesNote");
    ASSERT_NE(note, nullptr);
    EXPECT_TRUE(note->isVisibleTo(view) && note->text() == "Updates come from your package manager");
    EXPECT_TRUE(note->parentWidget()->findChildren<ToggleSwitch*>().empty());

    // Warnings: the switch and the thresholds, stored sorted and once; bad input refused with its reason.
    EXPECT_TRUE(view->warningsSwitch()->isChecked());
    EXPECT_EQ(view->thresholdsField()->text(), "80, 95");
    view->thresholdsField()->setText("95 60 60");
    emit view->thresholdsField()->editingFinished();
    EXPECT_EQ(view->thresholdsField()->text(), "60, 95");
    EXPECT_EQ(Preferences::shared().storedTextForTests(Preferences::Key::warningThresholds), "60, 95");
    view->thresholdsField()->setText("60, 250");
    emit view->thresholdsField()->editingFinished();
    EXPECT_TRUE(view->thresholdsError()->isVisibleTo(window));
    EXPECT_EQ(view->thresholdsError()->text().toStdString(), "250% is outside 1\u2013100%");
    EXPECT_EQ(Preferences::shared().storedTextForTests(Preferences::Key::warningThresholds), "60, 95");
    // The pace warning has a switch of its own, on by default, that goes with the warnings'.
    EXPECT_TRUE(view->paceSwitch()->isChecked());
    view->paceSwitch()->click();
    EXPECT_EQ(Preferences::shared().storedTextForTests(Preferences::Key::paceWarning), "false");
    view->paceSwitch()->click();
    EXPECT_TRUE(Preferences::shared().paceWarningEnabled());
    view->warningsSwitch()->click();
    EXPECT_FALSE(Preferences::shared().warningsEnabled());
    EXPECT_FALSE(view->thresholdsField()->isEnabled());
    EXPECT_FALSE(view->paceSwitch()->isEnabled());

    // Send usage to: an address is stored only when it can be sent to; otherwise the reason shows and
    // the stored one stays. Empty turns the sending off.
    struct Address {
        const char* typed;
        const char* stored; // what the key holds afterwards
        const char* error;  // empty: none shown
    };
    const Address addresses[] = {
        {" http://127.0.0.1:4318 ", "http://127.0.0.1:4318", ""},
        {"ftp://127.0.0.1/logs", "http://127.0.0.1:4318", "The address must start with http:// or https://."},
        {"127.0.0.1:4318", "http://127.0.0.1:4318", "The address must start with http:// or https://."},
        {"http://", "http://127.0.0.1:4318", "The address names no host: write it as http://host:4318."},
        {"https://localhost/v1/logs", "https://localhost/v1/logs", ""},
        {"", "", ""},
    };
    EXPECT_EQ(view->endpointField()->text(), "");
    for (const Address& a : addresses) {
        SCOPED_TRACE(a.typed);
        view->endpointField()->setText(a.typed);
        emit view->endpointField()->editingFinished();
        EXPECT_EQ(Preferences::shared().otlpEndpoint(), a.stored);
        EXPECT_EQ(view->endpointError()->isVisibleTo(window), *a.error != '\0');
        if (*a.error) {
            EXPECT_EQ(view->endpointError()->text().toStdString(), a.error);
        }
    }

    // The theme: stored, every open window recoloured at once, and chosen again after a restart.
    QComboBox* picker = view->themePicker();
    EXPECT_EQ(picker->currentText(), "System");
    EXPECT_EQ(paletteFor(view), Palette::dark());
    picker->setCurrentIndex(picker->findText("Light"));
    EXPECT_EQ(Preferences::shared().storedTextForTests(Preferences::Key::theme), "light");
    EXPECT_EQ(paletteFor(view), Palette::light());
    EXPECT_EQ(paletteFor(app.panel()), Palette::light());
    EXPECT_EQ(SettingsView({}, {}).themePicker()->currentText(), "Light");

    // Return presses "Done"; the same window comes back, remembering the choices.
    QKeyEvent returnKey(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(window, &returnKey);
    EXPECT_FALSE(window->isVisible());
    app.showSettings();
    EXPECT_EQ(app.settings()->window(), window);
    EXPECT_EQ(picker->currentText(), "Light");
    Alerts::setPresenter({});
    ThemeManager::shared().setPreference(ThemePreference::system);
    app.shutDown();
}

// Every label, button and field, in each of their states, in both themes.
TEST(Settings, everyTextReadsOverWhatLiesBehindItInBothThemes)
{
    test::widgetApp();
    Preferences::shared().resetForTests();
    testing::inBothThemes([](const Palette& p) {
        SettingsWindowController controller({});
        controller.show();
        QWidget* window = controller.window();
        ASSERT_EQ(&paletteFor(window), &p);
        auto texts = testing::widgetTexts(window, p.background, p.surfaceElevated);
        for (QPushButton* button : window->findChildren<QPushButton*>()) {
            button->ensurePolished();
            // The style sheet's rule for the default button colours its text; Qt's palette keeps the plain rule's.
            const Rgba colour = button->isDefault() ? p.onAccent : testing::rgba(button->palette().color(QPalette::ButtonText));
            const Rgba deeper{p.accent.r * 0.85, p.accent.g * 0.85, p.accent.b * 0.85, p.accent.a}; // pressed or under the pointer
            const std::vector<Rgba> faces = button->isDefault() ? std::vector<Rgba>{p.accent, deeper}
                                                                : std::vector<Rgba>{p.surfaceElevated, p.chartGridLine, p.border};
            for (const Rgba& face : faces)
                texts.push_back({button->text().toStdString(), colour, {p.background, face}, 13, false});
        }
        auto* field = window->findChild<QLineEdit*>();
        ASSERT_NE(field, nullptr);
        field->ensurePolished();
        texts.push_back({"the thresholds", testing::rgba(field->palette().color(QPalette::Text)), {p.background, p.surfaceElevated}, 13, false});
        texts.push_back({"the thresholds, off", p.textMuted, {p.background, p.surfaceElevated}, 13, false});
        EXPECT_GT(texts.size(), 15u);
        testing::expectReadable(texts);
    });
}

} // namespace
} // namespace tallyglass
