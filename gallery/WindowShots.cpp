#include "Gallery.h"

#include "onboarding/OnboardingView.h"
#include "ui/ThemeManager.h"
#include "settings/SettingsView.h"

#include <QApplication>
#include <QLineEdit>
#include <QElapsedTimer>
#include <QPushButton>
#include <QVBoxLayout>

namespace tallyglass::gallery {

namespace {

struct Welcome {
    int step = 0;
    bool installed = false;
    bool claudeCode = true;
    const char* installError = nullptr; // when set, the install fails with it and is tried once
};

QImage renderWelcome(const Welcome& setup)
{
    HookControls hook;
    hook.isInstalled = [installed = setup.installed] { return installed; };
    hook.claudeCodeInstalled = [claudeCode = setup.claudeCode] { return claudeCode; };
    hook.install = [error = setup.installError] {
        if (error)
            throw std::runtime_error(error);
    };
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* view = new OnboardingView(hook, {}, {}, &window);
    layout->addWidget(view);
    ThemeManager::makeThemedRoot(&window);
    window.setFixedSize(520, 600);
    window.show(); // offscreen: the view takes its window's appearance and asks the hook's state
    QApplication::processEvents();
    view->setStep(setup.step);
    if (setup.installError) {
        for (auto* button : view->findChildren<QPushButton*>())
            if (button->text() == "Install Hook")
                button->click();
    }
    QApplication::processEvents();
    QElapsedTimer fade; // the step fades in over 0.3 s
    fade.start();
    while (fade.elapsed() < 400)
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return window.grab().toImage();
}

struct SettingsSetup {
    bool installed = true;
    const char* thresholds = nullptr; // typed and left: refused with its reason, nothing stored
    const char* endpoint = nullptr;   // typed into "Send usage to"
    bool endpointLeft = false;        // and left, so that it is checked
};

QImage renderSettings(const SettingsSetup& setup)
{
    SettingsActions actions;
    actions.isHookInstalled = [installed = setup.installed] { return installed; };
    actions.launchAtLogin = [] { return true; };
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* view = new SettingsView(actions, {}, &window);
    layout->addWidget(view);
    ThemeManager::makeThemedRoot(&window);
    window.setFixedSize(SettingsView::windowWidth, SettingsView::windowHeight);
    window.show();
    if (setup.thresholds) {
        view->thresholdsField()->setText(setup.thresholds);
        emit view->thresholdsField()->editingFinished();
    }
    if (setup.endpoint) {
        view->endpointField()->setText(setup.endpoint);
        if (setup.endpointLeft)
            emit view->endpointField()->editingFinished();
    }
    QApplication::processEvents();
    return window.grab().toImage();
}

std::string sizedAndNotBlank(const QImage& image, int width, int height)
{
    if (image.width() != width || image.height() != height)
        return "wrong size";
    return notBlank(image);
}

} // namespace

void addWindowShots(std::vector<Shot>& shots)
{
    const auto welcome = [&](std::string name, Welcome setup) {
        shots.push_back({"welcome-" + name, [setup] { return renderWelcome(setup); },
                         [](const QImage& image) { return sizedAndNotBlank(image, 520, 600); }});
    };
    welcome("1-start", {0, false, true, nullptr});
    welcome("2-hook-install", {1, false, true, nullptr});
    welcome("2-hook-enabled", {1, true, true, nullptr});
    welcome("2-hook-no-claude-code", {1, false, false, nullptr});
    welcome("2-hook-install-failed", {1, false, true,
                                      "Claude Code's settings (~/.claude/settings.json) are not valid JSON: line 3, column 7"});
    welcome("3-overlay", {2, true, true, nullptr});
    welcome("4-done", {3, true, true, nullptr});
    const auto settings = [&](std::string name, SettingsSetup setup) {
        shots.push_back({"settings-" + name, [setup] { return renderSettings(setup); },
                         [](const QImage& image) { return sizedAndNotBlank(image, SettingsView::windowWidth, SettingsView::windowHeight); }});
    };
    settings("hook-installed", {});
    settings("hook-missing", {false});
    settings("warnings-refused", {true, "80, 120"});
    settings("sending", {true, nullptr, "https://collector.example:4318"});
    settings("sending-refused", {true, nullptr, "collector:4318", true});
}

} // namespace tallyglass::gallery
