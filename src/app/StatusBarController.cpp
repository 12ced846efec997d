#include "app/StatusBarController.h"

#include "app/AppUpdater.h"
#include "core/Log.h"
#include "overlay/ScenePainter.h"
#include "overlay/ThemeManager.h"
#include "server/LocalServer.h"

#include <QApplication>
#include <QSystemTrayIcon>

namespace tallyglass {

namespace {

QIcon trayIcon()
{
    const Rgba c = ThemeManager::shared().palette().textPrimary;
    return ScenePainter::tintedIcon("chart.bar.fill",
                                    QColor::fromRgbF(static_cast<float>(c.r), static_cast<float>(c.g), static_cast<float>(c.b)));
}

} // namespace

StatusBarController::StatusBarController(const LocalServer* server, QObject* parent)
    : QObject(parent)
    , server_(server)
{
    rebuildMenu();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        Log::line("no system tray on this desktop; the overlay's actions menu reaches everything");
        return;
    }
    tray_ = new QSystemTrayIcon(trayIcon(), this);
    tray_->setToolTip("Tallyglass");
    tray_->setContextMenu(menu_.get());
    connect(&ThemeManager::shared(), &ThemeManager::appearanceChanged, tray_, [this] { tray_->setIcon(trayIcon()); });
    tray_->show();
}

StatusBarController::~StatusBarController() = default;

void StatusBarController::rebuildMenu()
{
    auto menu = std::make_unique<QMenu>();
    const std::uint16_t port = server_ ? server_->boundPort() : 0;
    QAction* state = menu->addAction(port == 0 ? QString::fromUtf8("Server: starting\u2026")
                                               : QString("Server: running on :%1").arg(port));
    state->setEnabled(false);
    menu->addSeparator();
    connect(menu->addAction(QString::fromUtf8("Show Welcome\u2026")), &QAction::triggered, this, [this] { showWelcome(); });
    connect(menu->addAction(QString::fromUtf8("Show Full Report\u2026")), &QAction::triggered, this, [this] { showFullReport(); });
    QAction* updates = menu->addAction(QString::fromUtf8("Check for Updates\u2026"));
    updates->setEnabled(AppUpdater::shared().isAvailable());
    connect(updates, &QAction::triggered, this, [this] { checkForUpdates(); });
    QAction* settings = menu->addAction(QString::fromUtf8("Settings\u2026"));
    settings->setShortcut(QKeySequence("Ctrl+,"));
    connect(settings, &QAction::triggered, this, [this] { showSettings(); });
    menu->addSeparator();
    QAction* quit = menu->addAction("Quit");
    quit->setShortcut(QKeySequence("Ctrl+Q"));
    connect(quit, &QAction::triggered, this, [this] { quitApp(); });
    if (tray_)
        tray_->setContextMenu(menu.get());
    menu_ = std::move(menu);
}

void StatusBarController::showWelcome()
{
    if (onShowWelcome)
        onShowWelcome();
}

void StatusBarController::showFullReport()
{
    if (onShowFullReport)
        onShowFullReport();
}

void StatusBarController::showSettings()
{
    if (onShowSettings)
        onShowSettings();
}

void StatusBarController::checkForUpdates()
{
    // Nothing to ask on this platform: the entry is disabled.
}

void StatusBarController::quitApp()
{
    if (onQuit)
        onQuit();
    else
        QApplication::quit();
}

} // namespace tallyglass
