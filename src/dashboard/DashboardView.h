#pragma once

#include "dashboard/ReportLayout.h"
#include "ui/Tween.h"

#include <QTimer>
#include <QWidget>

#include <functional>

namespace tallyglass {

class DashboardViewModel;
class SceneList;

// The report's content: the header with its chips over the six panels. The
// layout decides what goes where; this widget paints it, places the two
// scrolling lists, and turns clicks and the pointer into filter changes and
// the timeline's hover.
class DashboardView final : public QWidget {
    Q_OBJECT

public:
    explicit DashboardView(DashboardViewModel& vm, QWidget* parent = nullptr);

    // The layout as drawn now; made again only when something it shows changed.
    const ReportLayout::Result& currentLayout() const;
    // "Export…" in the header was pressed.
    std::function<void()> onExport;
    void hoverAt(QPointF at); // as a pointer move would
    void finishAnimations();
    SceneList* heatmapList() const { return heatmap_; }
    SceneList* sessionList() const { return sessions_; }

    // The labels in the user's locale: a reset time with its hour, a day of the heat map.
    static std::string resetLabel(Instant t);
    static std::string heatmapDayLabel(Instant day, const DayClock& clock);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    ReportLayout::Input input() const;
    void invalidate();
    void dataChanged();
    void placeLists();
    void setHoveredDay(std::optional<Instant> day, QPointF at);

    DashboardViewModel& vm_;
    SceneList* heatmap_;
    SceneList* sessions_;
    ReportLayout::HeatmapGrid grid_;
    std::size_t heatmapRows_ = 0;
    std::optional<Instant> hoveredDay_;
    std::optional<Instant> dimmedDay_; // stays while the dimming fades out
    QPointF hoverPos_;
    Tween emphasis_{0};
    mutable std::optional<ReportLayout::Result> layout_;
    mutable const Palette* layoutPalette_ = nullptr;
    QTimer frames_;
};

} // namespace tallyglass
