#pragma once

#include <QPoint>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>

class QLabel;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

namespace tallyglass {

class SymbolView;
class ToggleSwitch;

// What the welcome's hook step needs from the application: whether the hook
// is there, putting it there (throws with the reason), and whether Claude Code
// has ever run here (~/.claude exists).
struct HookControls {
    std::function<bool()> isInstalled;
    std::function<void()> install;
    std::function<bool()> claudeCodeInstalled;
};

// The first-run welcome in four steps: welcome, connecting the hook, the
// overlay, done. Each step fades in; dots below say where the user is. The
// hook step cannot be passed without the hook, except by quitting or closing.
class OnboardingView final : public QWidget {
    Q_OBJECT

public:
    static constexpr int totalSteps = 4;

    OnboardingView(HookControls hook, std::function<void()> onComplete, std::function<void()> onExit, QWidget* parent = nullptr);

    int step() const { return step_; }
    void setStep(int step);
    // Asks the hook's state and looks for Claude Code again (when the view is shown).
    void refresh();
    // The hook step's state, as its block shows it.
    bool hookInstalled() const { return hookInstalled_; }
    const std::optional<std::string>& hookError() const { return hookError_; }
    bool claudeCodeInstalled() const { return claudeCodeInstalled_; }
    // The last step's line on where the welcome comes back from.
    static QString reopenHint(bool trayAvailable);

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QWidget* welcomeStep();
    QWidget* hookStep();
    QWidget* hookBlock(QVBoxLayout*& block);
    void endHookBlock(QVBoxLayout* block, int spacing, QPushButton* action, bool withExit);
    QWidget* hookInstalledBlock();
    QWidget* hookMissingBlock();
    QWidget* claudeCodeAbsentBlock();
    QPushButton* exitButton(QWidget* parent);
    QWidget* overlayStep();
    QWidget* doneStep();
    QPushButton* primary(const QString& text, QWidget* parent);
    void installHook();
    void refreshClaudeCodeDetection();
    void showHookState();
    void restyle();

    HookControls hook_;
    std::function<void()> onComplete_;
    std::function<void()> onExit_;
    int step_ = 0;
    bool hookInstalled_ = false;
    std::optional<std::string> hookError_;
    bool claudeCodeInstalled_ = true;
    QStackedWidget* steps_ = nullptr;
    QStackedWidget* hookBlocks_ = nullptr;
    SymbolView* hookSymbol_ = nullptr;
    QLabel* hookErrorLabel_ = nullptr;
    QWidget* dots_ = nullptr;
    QLabel* reopenHint_ = nullptr;
    std::optional<QPoint> dragOffset_; // the pointer from the window's corner, while dragging
};

} // namespace tallyglass
