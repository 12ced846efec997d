#include "overlay/StackedBarChartView.h"

#include "overlay/ChartViewModel.h"
#include "storage/Preferences.h"
#include "ui/MotionPreference.h"
#include "ui/ScenePainter.h"
#include "ui/ThemeManager.h"

#include <QHelpEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QToolTip>
#include <QWindow>

#include <algorithm>
#include <cmath>

namespace tallyglass {

namespace {

using namespace std::chrono_literals;

QColor qcolor(const Rgba& c)
{
    return QColor::fromRgbF(static_cast<float>(c.r), static_cast<float>(c.g), static_cast<float>(c.b), static_cast<float>(c.a));
}

} // namespace

StackedBarChartView::StackedBarChartView(ChartViewModel& vm, Callbacks callbacks, QWidget* parent)
    : QWidget(parent)
    , vm_(vm)
    , callbacks_(std::move(callbacks))
{
    setMouseTracking(true);
    setAttribute(Qt::WA_TranslucentBackground);
    setFixedSize(static_cast<int>(OverlayLayout::panelWidth), static_cast<int>(OverlayLayout::panelHeight));
    cumulative_ = Preferences::shared().chartIsCumulative();
    mode_.jumpTo(cumulative_ ? 1 : 0);
    connect(&frames_, &QTimer::timeout, this, [this] {
        // The waiting animation alone redraws only its own corner: the whole
        // card thirty times a second would cost a fifth of a core.
        const bool waitingOnly = scheduleFrames();
        if (waitingOnly && animatedArea_)
            update(*animatedArea_);
        else
            update();
    });
    for (auto signal : {&ChartViewModel::stateChanged, &ChartViewModel::lastErrorChanged, &ChartViewModel::nowTickChanged,
                        &ChartViewModel::activeSessionCountChanged, &ChartViewModel::scanProgressChanged})
        connect(&vm_, signal, this, &StackedBarChartView::stateChanged);
    connect(&MotionPreference::shared(), &MotionPreference::changed, this, &StackedBarChartView::motionPreferenceChanged);
    stateChanged();
}

std::chrono::milliseconds StackedBarChartView::motion(std::chrono::milliseconds duration) const
{
    return MotionPreference::shared().reduced() ? 0ms : duration;
}

void StackedBarChartView::motionPreferenceChanged()
{
    if (MotionPreference::shared().reduced())
        finishAnimations();
    update();
    scheduleFrames();
}

void StackedBarChartView::rollChangedFigures(Tween::Clock::time_point now)
{
    auto next = OverlayLayout::figures(vm_.state());
    for (auto roll = rolls_.begin(); roll != rolls_.end();)
        roll = rollSeconds(roll->second.start, now) >= spring_.settleSeconds() ? rolls_.erase(roll) : std::next(roll);
    if (!MotionPreference::shared().reduced()) {
        for (const auto& [key, figure] : next) {
            const auto before = figures_.find(key);
            if (before != figures_.end() && before->second.text != figure.text)
                rolls_[key] = {before->second.text, figure.value > before->second.value, now};
        }
    }
    figures_ = std::move(next);
}

double StackedBarChartView::rollSeconds(Tween::Clock::time_point start, Tween::Clock::time_point now) const
{
    return fixedRollTime_.value_or(std::chrono::duration<double>(now - start).count());
}

void StackedBarChartView::refreshHookState()
{
    hookInstalled_ = callbacks_.isHookInstalled ? callbacks_.isHookInstalled() : true;
    stateChanged();
}

void StackedBarChartView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    refreshHookState();
}

void StackedBarChartView::stateChanged()
{
    const auto now = Tween::Clock::now();
    // The bars grow from what was drawn to the new figures.
    previousBars_ = shownBars_;
    previousBarMax_ = shownBarMax_;
    bars_.jumpTo(0);
    bars_.setTarget(1, motion(350ms), now);
    rollChangedFigures(now);
    OverlayLayout::Input in;
    in.state = vm_.state();
    in.now = vm_.now();
    in.hookInstalled = hookInstalled_;
    prompt_.setTarget(OverlayLayout::anyPromptVisible(in) ? 1 : 0, motion(200ms), now);
    if (const auto shown = OverlayLayout::promptShown(in))
        lastPrompt_ = shown;
    fill_.setTarget(OverlayLayout::sessionFraction(vm_.state()), motion(400ms), now);
    if (OverlayLayout::anyPromptVisible(in) && hoveredBucket_)
        hoveredBucket_.reset();
    update();
    scheduleFrames();
}

bool StackedBarChartView::moving(Tween::Clock::time_point now) const
{
    const bool rolling = std::any_of(rolls_.begin(), rolls_.end(), [&](const auto& roll) {
        return rollSeconds(roll.second.start, now) < spring_.settleSeconds();
    });
    return rolling || expand_.running(now) || prompt_.running(now) || mode_.running(now) || bars_.running(now) || hover_.running(now)
        || fill_.running(now);
}

bool StackedBarChartView::animatingOnly(Tween::Clock::time_point now) const
{
    return !moving(now) && !fixedAnimationTime_ && currentLayout().animatedArea.has_value();
}

bool StackedBarChartView::scheduleFrames()
{
    const auto now = Tween::Clock::now();
    const bool waiting = animatingOnly(now);
    if ((moving(now) || waiting) && isVisible()) {
        // Transitions run at the screen's pace; the slow rings and pulse of the
        // waiting animation look the same at twenty frames a second.
        frames_.setInterval(waiting ? 50 : 16);
        if (!frames_.isActive())
            frames_.start();
    } else {
        frames_.stop();
    }
    return waiting;
}

void StackedBarChartView::finishAnimations()
{
    for (Tween* tween : {&expand_, &prompt_, &mode_, &bars_, &hover_, &fill_})
        tween->jumpTo(tween->target());
    rolls_.clear();
    update();
}

OverlayLayout::Input StackedBarChartView::input(Tween::Clock::time_point now) const
{
    OverlayLayout::Input in;
    in.state = vm_.state();
    in.now = vm_.now();
    in.activeSessionCount = vm_.activeSessionCount();
    in.scanProgress = vm_.scanProgress();
    in.lastError = vm_.lastError();
    in.hookInstalled = hookInstalled_;
    in.expanded = expanded_;
    in.cumulative = cumulative_;
    in.hoveredBucket = hoveredBucket_;
    in.hoverPos = hoverPos_;
    in.animationTime = fixedAnimationTime_.value_or(std::chrono::duration<double>(now - born_).count());
    in.transitions = {expand_.value(now), prompt_.value(now), mode_.value(now), bars_.value(now), hover_.value(now), fill_.value(now)};
    in.previousBars = previousBars_;
    in.previousBarMax = previousBarMax_;
    in.fadingPrompt = lastPrompt_;
    for (const auto& [key, roll] : rolls_) {
        const double seconds = rollSeconds(roll.start, now);
        if (seconds < spring_.settleSeconds())
            in.rolls[key] = {roll.from, roll.rising, spring_.progress(seconds)};
    }
    in.reduceMotion = MotionPreference::shared().reduced();
    in.palette = &paletteFor(this);
    in.hhmm = OverlayLayout::localHhmm;
    in.textWidth = ScenePainter::textWidth();
    return in;
}

OverlayLayout::Result StackedBarChartView::currentLayout() const
{
    auto result = OverlayLayout::layout(input(Tween::Clock::now()));
    shownBars_ = result.bars;
    shownBarMax_ = result.barMax;
    return result;
}

void StackedBarChartView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const auto layout = currentLayout();
    ScenePainter::paint(painter, layout.scene);
    animatedArea_.reset();
    if (layout.animatedArea) {
        const auto& r = *layout.animatedArea;
        animatedArea_ = QRectF(r.x, r.y, r.width, r.height).toAlignedRect().adjusted(-1, -1, 1, 1);
    }
    // The window takes its final height once when the details open, and gives
    // it back once they have closed, not on every frame in between.
    double cardHeight = layout.card.height;
    const auto now = Tween::Clock::now();
    if (expand_.running(now)) {
        auto settled = input(now);
        settled.transitions.expand = expand_.target();
        cardHeight = std::max(cardHeight, OverlayLayout::layout(settled).card.height);
    }
    const int needed = std::max(static_cast<int>(OverlayLayout::panelHeight), static_cast<int>(std::ceil(cardHeight)));
    if (needed != height())
        QTimer::singleShot(0, this, [this, needed] { fitHeight(needed); });
    // Told after the frame, not from within it: the window's shape may follow.
    const int drawn = static_cast<int>(std::ceil(layout.card.height));
    if (drawn != announcedCardHeight_) {
        announcedCardHeight_ = drawn;
        QTimer::singleShot(0, this, [this, drawn] { emit cardHeightChanged(drawn); });
    }
}

void StackedBarChartView::fitHeight(int needed)
{
    setFixedHeight(needed);
    QWidget* panel = window();
    if (panel == this)
        return;
    panel->setFixedHeight(needed);
    // Grown below the screen's edge (the card dragged low), it moves up to stay whole.
    if (const QScreen* screen = panel->screen()) {
        const QRect area = screen->availableGeometry();
        if (panel->y() + needed > area.bottom() + 1)
            panel->move(panel->x(), std::max(area.top(), area.bottom() + 1 - needed));
    }
}

void StackedBarChartView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    pressed_ = true;
    dragging_ = false;
    pressAt_ = event->position().toPoint();
}

void StackedBarChartView::mouseMoveEvent(QMouseEvent* event)
{
    const QPointF at = event->position();
    if (pressed_ && !dragging_ && (at.toPoint() - pressAt_).manhattanLength() > 4) {
        // Dragging the card moves the panel; the window manager does the moving.
        dragging_ = true;
        if (QWindow* handle = window()->windowHandle())
            handle->startSystemMove();
        return;
    }
    const auto layout = currentLayout();
    std::optional<std::int64_t> slot;
    if (!cumulative_ && !OverlayLayout::anyPromptVisible(input(Tween::Clock::now())) && layout.plot.contains({at.x(), at.y()}))
        slot = OverlayLayout::slotAt(at.x() - layout.plot.x, layout.plot.width, vm_.nonEmptyBuckets());
    if (slot) {
        hoverPos_ = {at.x() - layout.chart.x, at.y() - layout.chart.y};
        if (slot != hoveredBucket_) {
            hover_.jumpTo(0);
            hover_.setTarget(1, motion(120ms));
        }
        update();
    }
    if (slot != hoveredBucket_) {
        hoveredBucket_ = slot;
        update();
        scheduleFrames();
    }
}

void StackedBarChartView::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton || !pressed_)
        return;
    pressed_ = false;
    if (!dragging_)
        click(event->position());
    dragging_ = false;
}

void StackedBarChartView::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
    if (hoveredBucket_) {
        hoveredBucket_.reset();
        update();
    }
}

bool StackedBarChartView::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const auto layout = currentLayout();
        const Scene::Point at{help->pos().x() + 0.0, help->pos().y() + 0.0};
        if (layout.menuButton.contains(at))
            QToolTip::showText(help->globalPos(), QString::fromStdString(layout.menuHelp), this);
        else if (layout.installCard && layout.installCard->contains(at))
            QToolTip::showText(help->globalPos(), "Install Claude Code hook", this);
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(event);
}

void StackedBarChartView::click(QPointF position)
{
    const Scene::Point at{position.x(), position.y()};
    const auto layout = currentLayout();
    if (layout.menuButton.contains(at)) {
        showActionsMenu(mapToGlobal(QPoint(static_cast<int>(layout.menuButton.x), static_cast<int>(layout.menuButton.bottom()))));
        return;
    }
    if (layout.installCard && layout.installCard->contains(at)) {
        if (callbacks_.onToggleHook)
            callbacks_.onToggleHook(false);
        return;
    }
    if (OverlayLayout::anyPromptVisible(input(Tween::Clock::now())) || !layout.card.contains(at))
        return;
    if (layout.fullReportButton && layout.fullReportButton->contains(at)) {
        if (callbacks_.onOpenFullReport)
            callbacks_.onOpenFullReport();
        return;
    }
    if (vm_.state().kind != UsageState::Kind::empty && layout.plot.contains(at)) {
        toggleCumulative();
        return;
    }
    toggleExpanded();
}

void StackedBarChartView::toggleExpanded()
{
    expanded_ = !expanded_;
    expand_.setTarget(expanded_ ? 1 : 0, motion(180ms));
    update();
    scheduleFrames();
}

void StackedBarChartView::toggleCumulative()
{
    cumulative_ = !cumulative_;
    Preferences::shared().setChartIsCumulative(cumulative_);
    mode_.setTarget(cumulative_ ? 1 : 0, motion(200ms));
    hoveredBucket_.reset();
    update();
    scheduleFrames();
}

QMenu* StackedBarChartView::buildActionsMenu()
{
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const Palette& p = paletteFor(this);
    const bool failed = vm_.scanProgress().kind == ScanProgress::Kind::failed;
    QAction* refresh = menu->addAction(failed ? QString::fromUtf8("Refresh \u00b7 retry") : QString("Refresh"));
    refresh->setEnabled(vm_.scanProgress().kind != ScanProgress::Kind::running);
    connect(refresh, &QAction::triggered, this, [this] { vm_.scanProjects(); });
    menu->addSeparator();
    QAction* report = menu->addAction(ScenePainter::tintedIcon("chart.bar.doc.horizontal", qcolor(p.textPrimary)),
                                      QString::fromUtf8("Open Full Report\u2026"));
    connect(report, &QAction::triggered, this, [this] {
        if (callbacks_.onOpenFullReport)
            callbacks_.onOpenFullReport();
    });
    QAction* settings = menu->addAction(ScenePainter::tintedIcon("gearshape", qcolor(p.textPrimary)), QString::fromUtf8("Settings\u2026"));
    connect(settings, &QAction::triggered, this, [this] {
        if (callbacks_.onOpenSettings)
            callbacks_.onOpenSettings();
    });
    if (callbacks_.onShowWelcome) {
        // Where no tray shows, this menu is the only way back to the welcome.
        QAction* welcome = menu->addAction(QString::fromUtf8("Show Welcome\u2026"));
        connect(welcome, &QAction::triggered, this, [this] { callbacks_.onShowWelcome(); });
    }
    menu->addSeparator();
    QAction* quit = menu->addAction("Quit");
    connect(quit, &QAction::triggered, this, [this] {
        if (callbacks_.onQuit)
            callbacks_.onQuit();
    });
    return menu;
}

void StackedBarChartView::showActionsMenu(const QPoint& at)
{
    buildActionsMenu()->popup(at);
}

} // namespace tallyglass
