#pragma once

#include <QObject>

#include <memory>

class QApplication;

namespace tallyglass {

class ActivationChannel;
class ChartViewModel;
class CoreServices;
class DashboardViewModel;
class DashboardWindowController;
class LimitWatcher;
class Notifications;
class OnboardingWindowController;
class SettingsWindowController;
class DataRefresher;
class DatabaseClient;
class HookStateWatcher;
class OverlayPanel;
class StackedBarChartView;
class StatusBarController;

// The desktop application: the core services, the overlay with its data
// chain, the tray item, and the windows they open. Start-up runs strictly in
// order, on the interface thread: the theme, the login item, the updater, the
// database (nothing else starts without it), the server, the tray item, the
// overlay, the channel a second start reaches it by, the onboarding when it
// was never completed, and the history import (the whole history the first
// time, the catch-up afterwards).
class DesktopApp final : public QObject {
public:
    DesktopApp();
    ~DesktopApp() override;

    // Runs until the user quits or a stop signal comes; the exit status.
    int run(QApplication& app);

    // The interface's actions, as the overlay, the tray and the windows call them.
    void installFromOverlay();
    void uninstallFromOverlay();
    void toggleHook(bool installed);
    bool isHookInstalled() const;
    void showOnboarding();
    void showSettings();
    void showFullReport();

    // For tests.
    ChartViewModel* viewModel() const { return vm_; }
    OverlayPanel* panel() const { return panel_; }
    StatusBarController* statusBar() const { return statusBar_; }
    CoreServices* core() const { return core_.get(); }
    DashboardWindowController* report() const { return report_; }
    OnboardingWindowController* onboarding() const { return onboarding_; }
    SettingsWindowController* settings() const { return settings_; }
    ActivationChannel* activation() const { return activation_; }

    // Ends the program, from the tray, the overlay, the welcome or a signal.
    void quit();
    // Starts everything but the event loop; false when the database cannot be opened.
    bool start();
    void shutDown();

private:
    void changeHook(bool install);
    void setupOverlay();
    void watchHookSettings();

    std::unique_ptr<CoreServices> core_;
    std::shared_ptr<DatabaseClient> client_;
    ChartViewModel* vm_ = nullptr;
    DataRefresher* refresher_ = nullptr;
    StackedBarChartView* chart_ = nullptr;
    OverlayPanel* panel_ = nullptr;
    StatusBarController* statusBar_ = nullptr;
    DashboardViewModel* reportModel_ = nullptr;
    DashboardWindowController* report_ = nullptr;
    OnboardingWindowController* onboarding_ = nullptr;
    SettingsWindowController* settings_ = nullptr;
    Notifications* notifications_ = nullptr;
    LimitWatcher* limits_ = nullptr;
    HookStateWatcher* hookWatcher_ = nullptr;
    ActivationChannel* activation_ = nullptr;
};

} // namespace tallyglass
