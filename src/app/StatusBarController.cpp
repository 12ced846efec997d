#include "app/StatusBarController.h"

#include "core/Printable.h"
#include "core/Log.h"
#include "ui/ScenePainter.h"

#include <QApplication>
#include <QCursor>
#include <QSystemTrayIcon>

namespace tallyglass {

namespace {

// The tray sits on the desktop's panel, whose colour is the desktop's own and
// often dark under a light theme: a mid-tone blue reads on either.
QIcon trayIcon()
{
    return ScenePainter::tintedIcon("chart.bar.fill", QColor(0x3b, 0x8e, 0xea));
}

} // namespace

StatusBarController::StatusBarController(std::function<std::uint16_t()> boundPort, QObject* parent)
    : QObject(parent)
    , boundPort_(std::move(boundPort))
{
    rebuildMenu();
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        Log::line("no system tray on this desktop; the overlay's actions menu reaches the report, settings and quit");
    tray_ = new QSystemTrayIcon(trayIcon(), this);
    tray_->setToolTip("Tallyglass");
    tray_->setContextMenu(menu_);
    // Trays that send a plain click (StatusNotifierItem hosts) expect the menu too.
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger && menu_)
            menu_->popup(QCursor::pos());
    });
    tray_->show();
}

bool StatusBarController::showMessage(const QString& title, const QString& text)
{
    if (!tray_ || !QSystemTrayIcon::isSystemTrayAvailable() || !QSystemTrayIcon::supportsMessages())
        return false;
    tray_->showMessage(title, text, QSystemTrayIcon::Warning);
    return true;
}

void StatusBarController::setStoreProblem(std::optional<std::string> problem)
{
    if (problem == storeProblem_)
        return;
    storeProblem_ = std::move(problem);
    if (tray_)
        tray_->setToolTip(storeProblem_ ? QString::fromStdString("Tallyglass \u2014 storing fails: " + Printable::escaped(*storeProblem_))
                                        : QString("Tallyglass"));
    rebuildMenu();
}

StatusBarController::~StatusBarController()
{
    delete menu_;
}

void StatusBarController::rebuildMenu()
{
    auto* menu = new QMenu();
    const std::uint16_t port = boundPort_ ? boundPort_() : 0;
    QAction* state = menu->addAction(port == 0 ? QString::fromUtf8("Server: starting\u2026")
                                               : QString("Server: running on :%1").arg(port));
    state->setEnabled(false);
    if (storeProblem_) {
        // Shown as the system words it, escaped: the reason may quote a path.
        menu->addAction(QString::fromStdString("Storing fails: " + Printable::escaped(*storeProblem_)))->setEnabled(false);
    }
    menu->addSeparator();
    connect(menu->addAction(QString::fromUtf8("Show Welcome\u2026")), &QAction::triggered, this, [this] { showWelcome(); });
    connect(menu->addAction(QString::fromUtf8("Show Full Report\u2026")), &QAction::triggered, this, [this] { showFullReport(); });
    // Shown, and disabled: updates come from the package manager, not from here.
    menu->addAction(QString::fromUtf8("Check for Updates\u2026"))->setEnabled(false);
    QAction* settings = menu->addAction(QString::fromUtf8("Settings\u2026"));
    settings->setShortcut(QKeySequence("Ctrl+,"));
    connect(settings, &QAction::triggered, this, [this] { showSettings(); });
    menu->addSeparator();
    QAction* quit = menu->addAction("Quit");
    quit->setShortcut(QKeySequence("Ctrl+Q"));
    connect(quit, &QAction::triggered, this, [this] { quitApp(); });
    if (tray_)
        tray_->setContextMenu(menu);
    // Later, not now: a rebuild may come from within one of the old menu's own actions.
    if (menu_)
        menu_->deleteLater();
    menu_ = menu;
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

void StatusBarController::quitApp()
{
    if (onQuit)
        onQuit();
    else
        QApplication::quit();
}

} // namespace tallyglass
