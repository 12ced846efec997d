#pragma once

#include <QMenu>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

class QSystemTrayIcon;

namespace tallyglass {

class LocalServer;

// The program's item in the desktop's tray: an icon whose menu shows the
// server's state and opens the welcome, the full report, settings, and quits.
// Where the desktop has no tray, one line says so and the overlay's actions
// menu reaches everything.
class StatusBarController final : public QObject {
public:
    explicit StatusBarController(const LocalServer* server, QObject* parent = nullptr);
    ~StatusBarController() override;

    std::function<void()> onShowWelcome;
    std::function<void()> onShowFullReport;
    std::function<void()> onShowSettings;
    std::function<void()> onResetOnboarding; // never set; no entry
    std::function<void()> onQuit;

    // A fresh menu, showing the server's port as it is now.
    void rebuildMenu();
    QMenu* menu() const { return menu_.get(); }
    bool hasTray() const { return tray_ != nullptr; }

    // The menu's actions, as its entries trigger them.
    void showWelcome();
    void showFullReport();
    void showSettings();
    void checkForUpdates();
    void quitApp();

private:
    const LocalServer* server_;
    std::unique_ptr<QMenu> menu_;
    QSystemTrayIcon* tray_ = nullptr;
};

} // namespace tallyglass
