#pragma once

#include "onboarding/OnboardingView.h"

#include <QObject>
#include <QPointer>

namespace tallyglass {

// The welcome's window: made when shown, centred and in front (the one window
// that takes the focus at start-up), and dropped when it ends. Ending it by
// any means (the last step's button, the close button, the window manager)
// completes the welcome; only "Exit" leaves it to open again next time.
class OnboardingWindowController final : public QObject {
public:
    OnboardingWindowController(HookControls hook, std::function<void()> onFinished, std::function<void()> onExit,
                               QObject* parent = nullptr);
    ~OnboardingWindowController() override;

    void show();
    // Quitting is not completing: the window may close with the program, but
    // nothing is stored and the welcome comes again at the next start.
    void abandon();
    QWidget* window() const { return window_; }
    OnboardingView* view() const { return view_; }

private:
    void finish();
    bool eventFilter(QObject* watched, QEvent* event) override;

    HookControls hook_;
    std::function<void()> onFinished_;
    std::function<void()> onExit_;
    QPointer<QWidget> window_;
    OnboardingView* view_ = nullptr;
};

} // namespace tallyglass
