#include "dashboard/DashboardWindowController.h"

#include "dashboard/DashboardView.h"
#include "dashboard/DashboardViewModel.h"
#include "overlay/ThemeManager.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QVBoxLayout>

namespace tallyglass {

DashboardWindowController::DashboardWindowController(DashboardViewModel& vm, QObject* parent)
    : QObject(parent)
    , vm_(vm)
{
}

DashboardWindowController::~DashboardWindowController()
{
    delete window_;
}

void DashboardWindowController::build()
{
    window_ = new QWidget(nullptr, Qt::Window);
    window_->setWindowTitle(QString::fromUtf8(title));
    window_->setObjectName("tallyglass.dashboard");
    auto* layout = new QVBoxLayout(window_);
    layout->setContentsMargins(0, 0, 0, 0);
    view_ = new DashboardView(vm_, window_);
    layout->addWidget(view_);
    ThemeManager::makeThemedRoot(window_);
    window_->resize(1280, 800);
    window_->installEventFilter(this);
}

void DashboardWindowController::show()
{
    if (!window_)
        build();
    if (!window_->isVisible()) {
        const QByteArray frame = QSettings("tallyglass", "tallyglass").value(frameKey).toByteArray();
        if (frame.isEmpty() || !window_->restoreGeometry(frame)) {
            if (const QScreen* screen = QGuiApplication::primaryScreen())
                window_->move(screen->availableGeometry().center() - window_->rect().center());
        }
    }
    window_->show();
    window_->raise();
    window_->activateWindow();
    vm_.load();
}

void DashboardWindowController::reloadIfVisible()
{
    if (window_ && window_->isVisible())
        vm_.load();
}

// Where the user left the window is where it opens next time, this run or the next.
bool DashboardWindowController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == window_ && (event->type() == QEvent::Close || event->type() == QEvent::Hide)) {
        QSettings settings("tallyglass", "tallyglass");
        settings.setValue(frameKey, window_->saveGeometry());
    }
    return QObject::eventFilter(watched, event);
}

} // namespace tallyglass
