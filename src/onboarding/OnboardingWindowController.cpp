#include "onboarding/OnboardingWindowController.h"

#include "storage/Preferences.h"
#include "ui/ThemeManager.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

namespace tallyglass {

OnboardingWindowController::OnboardingWindowController(HookControls hook, std::function<void()> onFinished,
                                                       std::function<void()> onExit, QObject* parent)
    : QObject(parent)
    , hook_(std::move(hook))
    , onFinished_(std::move(onFinished))
    , onExit_(std::move(onExit))
{
}

OnboardingWindowController::~OnboardingWindowController()
{
    if (window_) {
        window_->removeEventFilter(this);
        delete window_;
    }
}

void OnboardingWindowController::show()
{
    if (!window_) {
        window_ = new QWidget(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
        window_->setWindowTitle(QString());
        window_->setObjectName("tallyglass.onboarding");
        auto* layout = new QVBoxLayout(window_);
        layout->setContentsMargins(0, 0, 0, 0);
        QPointer<OnboardingWindowController> self(this);
        const auto exit = [self] {
            if (!self)
                return;
            self->abandon();
            if (self->onExit_)
                self->onExit_();
        };
        view_ = new OnboardingView(hook_, [self] { if (self) self->finish(); }, exit, window_);
        layout->addWidget(view_);
        window_->setFixedSize(520, 600);
        ThemeManager::makeThemedRoot(window_);
        window_->installEventFilter(this);
    }
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        window_->move(screen->availableGeometry().center() - window_->rect().center());
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void OnboardingWindowController::abandon()
{
    if (window_)
        window_->removeEventFilter(this);
}

void OnboardingWindowController::finish()
{
    Preferences::shared().setOnboardingDone(true);
    if (window_) {
        QWidget* window = window_;
        window_ = nullptr;
        view_ = nullptr;
        window->removeEventFilter(this);
        window->hide();
        window->deleteLater();
    }
    if (onFinished_)
        onFinished_();
}

bool OnboardingWindowController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == window_ && event->type() == QEvent::Close) {
        finish(); // closing is completing
        return false;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace tallyglass
