#include "app/DesktopApp.h"

#include "app/ActivationChannel.h"
#include "ui/Alerts.h"
#include "app/AppPaths.h"
#include "ui/AppSignals.h"
#include "app/CoreServices.h"
#include "app/LaunchAtLoginManager.h"
#include "app/Notifications.h"
#include "capture/LimitWatcher.h"
#include "app/StatusBarController.h"
#include "app/StopSignals.h"
#include "capture/ImportService.h"
#include "dashboard/DashboardViewModel.h"
#include "dashboard/DashboardWindowController.h"
#include "onboarding/OnboardingWindowController.h"
#include "settings/SettingsView.h"
#include "core/Log.h"
#include "hook/HookInstaller.h"
#include "hook/HookStateWatcher.h"
#include "overlay/ChartViewModel.h"
#include "overlay/DataRefresher.h"
#include "overlay/OverlayPanel.h"
#include "overlay/StackedBarChartView.h"
#include "ui/ThemeManager.h"
#include "server/LocalServer.h"
#include "storage/DatabaseClient.h"
#include "storage/Preferences.h"
#include "storage/WriteDatabase.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>

#include <csignal>

namespace tallyglass {

DesktopApp::DesktopApp() = default;

DesktopApp::~DesktopApp()
{
    shutDown();
    delete panel_; // with the chart, before the view model it shows goes
    panel_ = nullptr;
    delete report_; // the same for the report's window
    report_ = nullptr;
    delete onboarding_;
    onboarding_ = nullptr;
    delete settings_;
    settings_ = nullptr;
}

int DesktopApp::run(QApplication& app)
{
    QPointer<DesktopApp> self(this);
    StopSignals::install(&app, [self] { if (self) self->quit(); });
    ::signal(SIGPIPE, SIG_IGN);
    // Windows come and go; the application ends only when asked to.
    app.setQuitOnLastWindowClosed(false);
    if (!start())
        return 1;
    connect(&app, &QCoreApplication::aboutToQuit, this, [this] { shutDown(); });
    const int status = app.exec();
    shutDown();
    return status;
}

bool DesktopApp::start()
{
    ThemeManager::shared().apply();
    // Starting at login is the user's to allow: not before the welcome was
    // finished, and never when it was left with "Exit".
    if (Preferences::shared().onboardingDone())
        LaunchAtLoginManager::shared().sync(LaunchAtLoginManager::shared().isEnabled());
    // No self-updater here: the tray's entry for updates stays disabled.
    Log::line("updates come from the package manager on this platform; there is no self-updater.");
    try {
        core_ = std::make_unique<CoreServices>(Preferences::shared().machineName());
    } catch (const std::exception& error) {
        Log::line(std::string("failed to open WriteDatabase: ") + error.what());
        // Without its database the program can do nothing: say so rather than linger unseen.
        Alerts::showAndWait("Tallyglass cannot start", std::string("Its database could not be opened: ") + error.what());
        return false;
    }
    QPointer<DesktopApp> self(this);
    notifications_ = new Notifications(
        [self](const QString& title, const QString& text) { return self && self->statusBar_ && self->statusBar_->showMessage(title, text); },
        this);
    limits_ = new LimitWatcher([notifications = notifications_](const std::string& text) { notifications->show(text); }, {}, this);
    // The server stops (and its handlers finish) in shutDown(), before these objects go.
    limits_->remember(CoreServices::recentLimitReadings());
    core_->setLimitObserver([limits = limits_](const LimitReading& reading) { limits->onReading(reading); });
    // Storing that fails (a full disk, a lock held elsewhere) is said on the card and in the tray until it works again.
    core_->setStoreObserver([self](const std::optional<std::string>& problem) {
        if (!self)
            return;
        QMetaObject::invokeMethod(self, [self, problem] {
            if (self && self->vm_)
                self->vm_->setStoreProblem(problem);
            if (self && self->statusBar_)
                self->statusBar_->setStoreProblem(problem);
        }, Qt::QueuedConnection);
    });
    core_->startServer([self](std::uint16_t) {
        if (self && self->statusBar_)
            self->statusBar_->rebuildMenu(); // "running on" its port, first or new
    });
    // An address that cannot be bound is one log line; the desktop carries on without it.
    core_->listenForOtherMachines(Preferences::shared().otlpListen());
    connect(&Preferences::shared(), &Preferences::otlpListenChanged, this, [self](const std::string& address) {
        if (self && self->core_)
            self->core_->listenForOtherMachines(address);
    });
    // A new address in the settings sends there from the start of the history, the old one stops.
    core_->sendUsageTo(Preferences::shared().otlpEndpoint());
    connect(&Preferences::shared(), &Preferences::otlpEndpointChanged, this, [self](const std::string& endpoint) {
        if (self && self->core_)
            self->core_->sendUsageTo(endpoint);
    });
    statusBar_ = new StatusBarController(
        [self] { return self && self->core_ && self->core_->server() ? self->core_->server()->boundPort() : std::uint16_t{0}; },
        this);
    statusBar_->onShowWelcome = [self] { if (self) self->showOnboarding(); };
    statusBar_->onShowFullReport = [self] { if (self) self->showFullReport(); };
    statusBar_->onShowSettings = [self] { if (self) self->showSettings(); };
    statusBar_->onQuit = [self] { if (self) self->quit(); };
    setupOverlay();
    watchHookSettings();
    // Launched again from the menu or a terminal, the program is already here: the report comes forward.
    activation_ = new ActivationChannel(ActivationChannel::defaultPath(), [self] { if (self) self->showFullReport(); }, this);
    if (!Preferences::shared().onboardingDone())
        showOnboarding();
    vm_->scanProjects(); // the whole history the first time, what changed since afterwards
    return true;
}

void DesktopApp::setupOverlay()
{
    // The card reads a little every few seconds: through one kept connection.
    client_ = std::make_shared<DatabaseClient>(AppPaths::database(), DatabaseClient::WallClock{}, ReadConnection::Keeping::kept);
    ImportService& imports = core_->imports();
    vm_ = new ChartViewModel(client_, &imports, {}, this);
    connect(&imports, &ImportService::finished, this, [&imports] {
        // The same line as the headless process: what was read, for the log and for scripts.
        const auto& outcome = *imports.lastOutcome();
        if (outcome.error)
            Log::line(ImportService::describe(outcome));
        else
            Log::print(ImportService::describe(outcome));
    });
    refresher_ = new DataRefresher(AppPaths::database(), this);
    // The report reads with its own client: the change probe it keeps belongs to its worker.
    reportModel_ = new DashboardViewModel(std::make_shared<DatabaseClient>(AppPaths::database()), {}, this);
    report_ = new DashboardWindowController(*reportModel_, this);
    report_->projects = [] {
        try {
            return DatabaseClient(AppPaths::database()).fetchSessionProjects();
        } catch (const std::exception&) {
            return std::map<std::string, std::string>{}; // the rows go out without their projects
        }
    };
    refresher_->setOnChange([this] {
        vm_->reload();
        report_->reloadIfVisible();
    });
    refresher_->start();

    QPointer<DesktopApp> self(this);
    StackedBarChartView::Callbacks callbacks;
    callbacks.isHookInstalled = [self] { return self && self->isHookInstalled(); };
    callbacks.onToggleHook = [self](bool installed) { if (self) self->toggleHook(installed); };
    callbacks.onQuit = [self] { if (self) self->quit(); };
    callbacks.onOpenFullReport = [self] { if (self) self->showFullReport(); };
    callbacks.onOpenSettings = [self] { if (self) self->showSettings(); };
    callbacks.onShowWelcome = [self] { if (self) self->showOnboarding(); };
    chart_ = new StackedBarChartView(*vm_, callbacks);
    connect(&AppSignals::shared(), &AppSignals::hookStateChanged, chart_, [this] { chart_->refreshHookState(); });
    panel_ = new OverlayPanel(chart_);
    connect(chart_, &StackedBarChartView::cardHeightChanged, panel_, &OverlayPanel::setCardHeight);
    ThemeManager::makeThemedRoot(panel_);
    panel_->placeOnPrimaryScreen();
    // The welcome, when due, opens in its place: shown now, the card would only flash.
    if (Preferences::shared().onboardingDone())
        panel_->showWithoutFocus();
    QTimer::singleShot(0, vm_, [this] { vm_->reload(); });
}

// A change made outside the application (`tallyglass hook uninstall` in a
// terminal, an edit of the file) reaches every view that shows the hook, as one
// made here does.
void DesktopApp::watchHookSettings()
{
    QPointer<DesktopApp> self(this);
    hookWatcher_ = new HookStateWatcher(AppPaths::claudeSettings(), [self] { return self && self->isHookInstalled(); }, this);
    connect(hookWatcher_, &HookStateWatcher::changed, this, [this] {
        if (statusBar_)
            statusBar_->rebuildMenu();
        emit AppSignals::shared().hookStateChanged();
    });
}

bool DesktopApp::isHookInstalled() const
{
    return core_ && core_->installer().isInstalled();
}

void DesktopApp::toggleHook(bool installed)
{
    if (installed)
        uninstallFromOverlay();
    else
        installFromOverlay();
}

void DesktopApp::installFromOverlay()
{
    changeHook(true);
}

void DesktopApp::uninstallFromOverlay()
{
    changeHook(false);
}

// Alerts are queued: the click that asked returns at once.
void DesktopApp::changeHook(bool install)
{
    const std::string verb = install ? "install" : "uninstall";
    const std::string failed = install ? "Install failed" : "Uninstall failed";
    if (!core_) {
        Log::line(verb + " from overlay: installer not ready");
        Alerts::show(failed, "Installer not ready yet \u2014 try again in a second.");
        return;
    }
    try {
        if (install)
            core_->installer().install();
        else
            core_->installer().uninstall();
    } catch (const std::exception& error) {
        Log::line(verb + " failed: " + error.what());
        Alerts::show(failed, error.what());
        return;
    }
    if (hookWatcher_)
        hookWatcher_->setKnown(install);
    statusBar_->rebuildMenu();
    emit AppSignals::shared().hookStateChanged();
    if (install)
        Alerts::show("Hook installed", "Claude Code will now send events to this app.");
    else
        Alerts::show("Hook uninstalled", "Claude Code will no longer send events.");
}

// The welcome asks for the installer each time: one taken at its opening
// would still write the old port after the server moved.
void DesktopApp::showOnboarding()
{
    if (!core_)
        return;
    if (!onboarding_) {
        QPointer<DesktopApp> self(this);
        HookControls hook;
        hook.isInstalled = [self] { return self && self->isHookInstalled(); };
        hook.install = [self] {
            if (!self || !self->core_)
                throw std::runtime_error("Installer not ready yet \u2014 try again in a second.");
            self->core_->installer().install();
            if (self->hookWatcher_)
                self->hookWatcher_->setKnown(true); // the welcome announces it when it ends
        };
        hook.claudeCodeInstalled = [] {
            std::error_code ignored;
            return std::filesystem::is_directory(AppPaths::claudeDirectory(), ignored);
        };
        onboarding_ = new OnboardingWindowController(
            hook,
            [self] {
                if (!self)
                    return;
                LaunchAtLoginManager::shared().sync(LaunchAtLoginManager::shared().isEnabled());
                if (self->panel_)
                    self->panel_->showWithoutFocus();
                if (self->statusBar_)
                    self->statusBar_->rebuildMenu();
                emit AppSignals::shared().hookStateChanged();
            },
            [self] { if (self) self->quit(); }, this);
    }
    if (panel_)
        panel_->hide();
    onboarding_->show();
}

// Qt closes every window on its way out; the welcome must not take that for
// the user completing it.
void DesktopApp::quit()
{
    if (onboarding_)
        onboarding_->abandon();
    // Stopped while saying it cannot start: start() then returns, and with it the failure's status.
    Alerts::dismissWaiting();
    QApplication::quit();
}

void DesktopApp::showSettings()
{
    if (!settings_) {
        QPointer<DesktopApp> self(this);
        SettingsActions actions;
        actions.isHookInstalled = [self] { return self && self->isHookInstalled(); };
        actions.toggleHook = [self] {
            if (self)
                self->toggleHook(self->isHookInstalled());
        };
        actions.launchAtLogin = [] { return LaunchAtLoginManager::shared().isEnabled(); };
        actions.setLaunchAtLogin = [](bool enabled) { LaunchAtLoginManager::shared().setEnabled(enabled); };
        settings_ = new SettingsWindowController(actions, this);
    }
    settings_->show();
}

void DesktopApp::showFullReport()
{
    if (report_)
        report_->show();
}

void DesktopApp::shutDown()
{
    if (core_)
        core_->stop();
}

} // namespace tallyglass
