#pragma once

#include <QDialog>
#include <QWidget>

#include <functional>

class QComboBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace tallyglass {

class ToggleSwitch;

// What the settings change, from the application: the hook (installed? put
// it there or take it away, with the usual alerts) and the login item.
struct SettingsActions {
    std::function<bool()> isHookInstalled;
    std::function<void()> toggleHook;
    std::function<bool()> launchAtLogin;
    std::function<void(bool)> setLaunchAtLogin;
};

// Six rows: the Claude Code hook, updates (none on this platform: shown off
// and disabled), launch at login, the theme, the warnings before the rate
// limits with their thresholds, and where this machine's usage is sent;
// "Done" below.
class SettingsView final : public QWidget {
    Q_OBJECT

public:
    static constexpr int windowWidth = 380;
    static constexpr int windowHeight = 524; // grown from 352 by the warnings rows, then the sending row
    SettingsView(SettingsActions actions, std::function<void()> onClose, QWidget* parent = nullptr);

    // The hook row follows the installed state; asked when shown and on every change.
    void refreshHook();

    QPushButton* hookButton() const { return hookButton_; }
    QLabel* hookSubtitle() const { return hookSubtitle_; }
    ToggleSwitch* loginSwitch() const { return login_; }
    QComboBox* themePicker() const { return theme_; }
    QPushButton* doneButton() const { return done_; }
    ToggleSwitch* warningsSwitch() const { return warnings_; }
    QLineEdit* thresholdsField() const { return thresholds_; }
    QLabel* thresholdsError() const { return thresholdsError_; }
    ToggleSwitch* paceSwitch() const { return pace_; }
    QLineEdit* endpointField() const { return endpoint_; }
    QLabel* endpointError() const { return endpointError_; }

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QWidget* hookRow();
    QWidget* updatesRow();
    QWidget* loginRow();
    QWidget* themeRow();
    void addWarningRows(QVBoxLayout* layout);
    void addSendingRows(QVBoxLayout* layout);
    QHBoxLayout* doneBar();
    void restyle();

    SettingsActions actions_;
    std::function<void()> onClose_;
    QPushButton* hookButton_ = nullptr;
    QLabel* hookSubtitle_ = nullptr;
    ToggleSwitch* login_ = nullptr;
    QComboBox* theme_ = nullptr;
    QPushButton* done_ = nullptr;
    ToggleSwitch* warnings_ = nullptr;
    QLineEdit* thresholds_ = nullptr;
    QLabel* thresholdsError_ = nullptr;
    ToggleSwitch* pace_ = nullptr;
    QLineEdit* endpoint_ = nullptr;
    QLabel* endpointError_ = nullptr;

    void takeThresholds();
    void takeEndpoint();
};

// The settings window: one for the life of the program, made on first use,
// kept when closed. Return presses "Done".
class SettingsWindowController final : public QObject {
public:
    explicit SettingsWindowController(SettingsActions actions, QObject* parent = nullptr);
    ~SettingsWindowController() override;

    void show();
    QDialog* window() const { return window_; }
    SettingsView* view() const { return view_; }

private:
    SettingsActions actions_;
    QDialog* window_ = nullptr;
    SettingsView* view_ = nullptr;
};

} // namespace tallyglass
