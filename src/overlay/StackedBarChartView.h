#pragma once

#include "overlay/OverlayLayout.h"
#include "ui/Spring.h"
#include "ui/Tween.h"

#include <QTimer>
#include <QWidget>

#include <functional>

class QMenu;

namespace tallyglass {

class ChartViewModel;

// The overlay's card: the five-hour window as a cumulative line or stacked
// bars, the session row, the totals and details, the prompts, and the actions
// menu. It keeps only presentation state; the layout decides what is drawn
// where, and this widget paints it and turns pointer events into actions.
class StackedBarChartView final : public QWidget {
    Q_OBJECT

public:
    struct Callbacks {
        std::function<bool()> isHookInstalled;
        std::function<void(bool installed)> onToggleHook;
        std::function<void()> onQuit;
        std::function<void()> onOpenFullReport;
        std::function<void()> onOpenSettings;
        std::function<void()> onShowWelcome; // the menu offers the welcome again when set
    };

    StackedBarChartView(ChartViewModel& vm, Callbacks callbacks, QWidget* parent = nullptr);

    // Asks isHookInstalled again (on showing, and whenever the hook state changes).
    void refreshHookState();

    // For tests and the gallery.
    bool isExpanded() const { return expanded_; }
    bool isCumulative() const { return cumulative_; }
    std::optional<std::int64_t> hoveredBucket() const { return hoveredBucket_; }
    OverlayLayout::Result currentLayout() const;
    void finishAnimations();
    void setAnimationTime(double seconds) { fixedAnimationTime_ = seconds; }
    // Shows every figure that is rolling as it is this long after its change.
    void setRollTime(double seconds) { fixedRollTime_ = seconds; }
    // The actions menu, built as it is shown.
    void showActionsMenu(const QPoint& at);
    QMenu* buildActionsMenu();

signals:
    // The card's drawn height changed (whole pixels, rounded up): it grows and
    // shrinks with the details, frame by frame while they open or close.
    void cardHeightChanged(int height);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    OverlayLayout::Input input(Tween::Clock::time_point now) const;
    void click(QPointF at);
    void toggleExpanded();
    void toggleCumulative();
    void stateChanged();
    // Starts or stops the frames; says whether only the waiting animation moves.
    bool scheduleFrames();
    bool moving(Tween::Clock::time_point now) const;
    bool animatingOnly(Tween::Clock::time_point now) const;
    void fitHeight(int needed);
    // Starts a roll for every figure whose text changed since the last state.
    void rollChangedFigures(Tween::Clock::time_point now);
    double rollSeconds(Tween::Clock::time_point start, Tween::Clock::time_point now) const;
    // A transition's length, or none when the desktop asks for stillness.
    std::chrono::milliseconds motion(std::chrono::milliseconds duration) const;
    void motionPreferenceChanged();

    ChartViewModel& vm_;
    Callbacks callbacks_;
    bool expanded_ = false;
    bool cumulative_ = true;
    bool hookInstalled_ = true;
    std::optional<std::int64_t> hoveredBucket_;
    Scene::Point hoverPos_;
    Tween expand_{0};
    Tween prompt_{0};
    Tween mode_{1};
    Tween bars_{1};
    Tween hover_{1};
    Tween fill_{0};
    std::optional<OverlayLayout::Input::Prompt> lastPrompt_; // drawn while it fades out
    std::map<std::string, double> previousBars_;
    double previousBarMax_ = 0;
    mutable std::map<std::string, double> shownBars_;
    mutable double shownBarMax_ = 0;
    struct Roll {
        std::string from;
        bool rising = true;
        Tween::Clock::time_point start;
    };
    std::map<std::string, OverlayLayout::Figure> figures_; // as the last state had them
    std::map<std::string, Roll> rolls_;                   // by figure key
    Spring spring_;
    std::optional<double> fixedRollTime_;
    QTimer frames_;
    std::optional<QRect> animatedArea_; // as last painted
    Tween::Clock::time_point born_ = Tween::Clock::now();
    std::optional<double> fixedAnimationTime_;
    QPoint pressAt_;
    bool pressed_ = false;
    bool dragging_ = false;
    int announcedCardHeight_ = 0;
};

} // namespace tallyglass
