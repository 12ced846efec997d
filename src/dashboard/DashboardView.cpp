#include "dashboard/DashboardView.h"

#include "dashboard/DashboardViewModel.h"
#include "dashboard/SceneList.h"
#include "ui/ScenePainter.h"
#include "ui/ThemeManager.h"

#include <QDateTime>
#include <QHelpEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QTimeZone>
#include <QToolTip>

#include <algorithm>

namespace tallyglass {

namespace {

using namespace std::chrono_literals;

QDateTime toQt(Instant t)
{
    return QDateTime::fromMSecsSinceEpoch(std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count(),
                                          QTimeZone::utc());
}

} // namespace

std::string DashboardView::resetLabel(Instant t)
{
    return QLocale::system().toString(toQt(t).toLocalTime(), QString::fromUtf8("MMM d \u00b7 HH:mm")).toStdString();
}

// A heat-map row stands for one of the clock's days; written through another
// zone, a day starting at midnight UTC would be labelled with the day before
// west of Greenwich.
std::string DashboardView::heatmapDayLabel(Instant day, const DayClock& clock)
{
    return QLocale::system().toString(QDate::fromString(QString::fromStdString(clock.dayKey(day)), Qt::ISODate), "MMM d").toStdString();
}

DashboardView::DashboardView(DashboardViewModel& vm, QWidget* parent)
    : QWidget(parent)
    , vm_(vm)
    , heatmap_(new SceneList(this))
    , sessions_(new SceneList(this))
{
    setMouseTracking(true);
    setMinimumSize(static_cast<int>(ReportLayout::minimumWidth), static_cast<int>(ReportLayout::minimumHeight));
    frames_.setInterval(16);
    connect(&frames_, &QTimer::timeout, this, [this] {
        if (!emphasis_.running()) {
            frames_.stop();
            if (emphasis_.target() == 0)
                dimmedDay_.reset();
        }
        invalidate();
    });
    connect(&vm_, &DashboardViewModel::changed, this, [this] {
        layout_.reset();
        placeLists(); // the header may have gained a line of model or machine chips
        update();
    });
    connect(&vm_, &DashboardViewModel::snapshotChanged, this, &DashboardView::dataChanged);
    dataChanged();
}

ReportLayout::Input DashboardView::input() const
{
    ReportLayout::Input in;
    in.snapshot = &vm_.snapshot();
    in.filters = vm_.filters();
    in.availableModels = vm_.availableModels();
    in.availableMachines = vm_.availableMachines();
    in.width = width();
    in.height = height();
    in.palette = &paletteFor(this);
    in.textWidth = ScenePainter::textWidth();
    in.resetLabel = &DashboardView::resetLabel;
    in.hover.day = hoveredDay_ ? hoveredDay_ : dimmedDay_;
    in.hover.pos = {hoverPos_.x(), hoverPos_.y()};
    in.hover.emphasis = emphasis_.value();
    in.hover.tooltip = hoveredDay_.has_value();
    return in;
}

const ReportLayout::Result& DashboardView::currentLayout() const
{
    const Palette* palette = &paletteFor(this);
    if (!layout_ || layoutPalette_ != palette) {
        layout_ = ReportLayout::layout(input());
        layoutPalette_ = palette;
    }
    return *layout_;
}

void DashboardView::invalidate()
{
    layout_.reset();
    update();
}

void DashboardView::dataChanged()
{
    layout_.reset();
    grid_ = ReportLayout::HeatmapGrid::from(vm_.snapshot().cells, vm_.snapshot().days);
    const bool newDays = grid_.days.size() != heatmapRows_;
    heatmapRows_ = grid_.days.size();
    if (hoveredDay_) {
        const auto& days = vm_.snapshot().days;
        if (std::none_of(days.begin(), days.end(), [&](const DayBucket& b) { return b.dayStart == *hoveredDay_; }))
            setHoveredDay(std::nullopt, hoverPos_); // the dimming goes too
    }
    placeLists();
    if (newDays)
        heatmap_->scrollToEnd(); // the latest days first in view
    update();
}

void DashboardView::placeLists()
{
    const auto& layout = currentLayout();
    const auto place = [](SceneList* list, const ReportLayout::ListArea& area) {
        list->setGeometry(QRectF(area.rect.x, area.rect.y, area.rect.width, area.rect.height).toAlignedRect());
        list->setVisible(area.rows > 0);
    };
    place(heatmap_, layout.heatmap);
    place(sessions_, layout.sessions);
    heatmap_->setSource({layout.heatmap.rows, layout.heatmap.rowHeight, layout.heatmap.rowSpacing,
                         [this](std::size_t row, double width) {
                             const DayClock clock = vm_.snapshot().filters.clock();
                             return ReportLayout::heatmapRow(grid_, row, width, paletteFor(this),
                                                             [&clock](Instant day) { return heatmapDayLabel(day, clock); });
                         },
                         [this](std::size_t row, double x, double width) { return ReportLayout::heatmapHelp(grid_, row, x, width); }});
    sessions_->setSource({layout.sessions.rows, layout.sessions.rowHeight, layout.sessions.rowSpacing,
                          [this](std::size_t row, double width) {
                              const auto& sessions = vm_.snapshot().sessions;
                              return row < sessions.size() ? ReportLayout::sessionRow(sessions[row], width, paletteFor(this), ScenePainter::textWidth())
                                                           : Scene::Layer{};
                          },
                          {}});
}

void DashboardView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    ScenePainter::paint(painter, currentLayout().scene);
}

void DashboardView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    layout_.reset();
    placeLists();
}

void DashboardView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const QPointF at = event->position();
    const auto& chips = currentLayout().chips;
    const auto hit = std::find_if(chips.begin(), chips.end(), [&](const auto& chip) { return chip.rect.contains({at.x(), at.y()}); });
    if (hit == chips.end())
        return;
    const ReportLayout::Chip chip = *hit; // a copy: the change lays the window out anew
    if (chip.exportAction) {
        if (onExport)
            onExport();
    } else if (chip.localDays)
        vm_.setLocalDays(*chip.localDays);
    else if (chip.preset)
        vm_.setPreset(*chip.preset);
    else if (chip.machine)
        vm_.toggleMachine(*chip.machine);
    else
        vm_.toggleModels(chip.models);
}

void DashboardView::mouseMoveEvent(QMouseEvent* event)
{
    hoverAt(event->position());
}

void DashboardView::hoverAt(QPointF at)
{
    const auto& layout = currentLayout();
    const auto& plot = layout.timelinePlot;
    std::optional<Instant> day;
    if (at.y() >= plot.y && at.y() < plot.bottom())
        day = ReportLayout::dayAt(layout, at.x());
    bool overChip = false;
    for (const auto& chip : layout.chips)
        overChip = overChip || chip.rect.contains({at.x(), at.y()});
    setCursor(overChip ? Qt::PointingHandCursor : Qt::ArrowCursor);
    setHoveredDay(day, at);
}

void DashboardView::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
    setHoveredDay(std::nullopt, hoverPos_);
}

void DashboardView::setHoveredDay(std::optional<Instant> day, QPointF at)
{
    const bool moved = hoveredDay_ && at != hoverPos_; // the tooltip follows the pointer
    hoverPos_ = at;
    if (day != hoveredDay_) {
        if (day)
            dimmedDay_ = day;
        hoveredDay_ = day;
        emphasis_.setTarget(day ? 1 : 0, 120ms);
        frames_.start();
    } else if (!moved) {
        return;
    }
    invalidate();
}

void DashboardView::finishAnimations()
{
    emphasis_.jumpTo(emphasis_.target());
    if (emphasis_.target() == 0)
        dimmedDay_.reset();
    invalidate();
}

bool DashboardView::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QPointF at = help->pos();
        for (const auto& region : currentLayout().help) {
            if (region.rect.contains({at.x(), at.y()})) {
                QToolTip::showText(help->globalPos(), QString::fromStdString(region.text), this);
                return true;
            }
        }
        QToolTip::hideText();
        return true;
    }
    return QWidget::event(event);
}

} // namespace tallyglass
