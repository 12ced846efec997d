#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

namespace tallyglass {

class DashboardView;
class DashboardViewModel;

// The report's window: made on first use and kept, so the filters and the
// place on screen survive closing it; every opening reloads. While it is open
// it has its own taskbar entry (the overlay never has one).
class DashboardWindowController final : public QObject {
public:
    static constexpr const char* frameKey = "tallyglass.dashboard";
    static constexpr const char* title = "Tallyglass \u2014 Full Report";

    explicit DashboardWindowController(DashboardViewModel& vm, QObject* parent = nullptr);
    ~DashboardWindowController() override;

    // Opens or raises the window, in front, and reloads.
    void show();
    // Reloads only while the window is open: a closed report reads nothing.
    void reloadIfVisible();

    QWidget* window() const { return window_; }
    DashboardView* view() const { return view_; }

private:
    void build();
    bool eventFilter(QObject* watched, QEvent* event) override;

    DashboardViewModel& vm_;
    QPointer<QWidget> window_;
    DashboardView* view_ = nullptr;
};

} // namespace tallyglass
