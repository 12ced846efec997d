#pragma once

#include <QMenu>
#include <QObject>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QSystemTrayIcon;

namespace tallyglass {

// The tray item, whatever its name says: the program's icon in the desktop's
// tray (the system tray, a status notifier), whose menu shows the server's
// state and opens the welcome, the full report, settings, and quits.
// Where the desktop has no tray, one line says so and the overlay's actions
// menu reaches the report, settings and quit; a tray that comes up later (a
// panel starting after us at login) still gets the icon.
class StatusBarController final : public QObject {
public:
    // `boundPort` gives the server's port, 0 while it is starting or gone.
    explicit StatusBarController(std::function<std::uint16_t()> boundPort, QObject* parent = nullptr);
    ~StatusBarController() override;

    std::function<void()> onShowWelcome;
    std::function<void()> onShowFullReport;
    std::function<void()> onShowSettings;
    std::function<void()> onQuit;

    // A fresh menu, showing the server's port as it is now.
    void rebuildMenu();
    // Storing captured messages fails (why), or works again (nothing): the
    // menu and the icon's tooltip say so while it lasts.
    void setStoreProblem(std::optional<std::string> problem);
    // A message from the tray icon; false when there is no tray to show it.
    bool showMessage(const QString& title, const QString& text);
    QMenu* menu() const { return menu_; }

    // The menu's actions, as its entries trigger them.
    void showWelcome();
    void showFullReport();
    void showSettings();
    void quitApp();

private:
    std::function<std::uint16_t()> boundPort_;
    std::optional<std::string> storeProblem_;
    QPointer<QMenu> menu_;
    QSystemTrayIcon* tray_ = nullptr;
};

} // namespace tallyglass
