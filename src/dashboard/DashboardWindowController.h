#pragma once

#include "core/SerialQueue.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace tallyglass {

class DashboardView;
class DashboardViewModel;

// The report's window: made on first use and kept, so the filters and the
// place on screen survive closing it; every opening reloads. While it is open
// it has its own taskbar entry (the overlay never has one).
class DashboardWindowController final : public QObject {
public:
    static constexpr const char* title = "Tallyglass \u2014 Full Report";

    explicit DashboardWindowController(DashboardViewModel& vm, QObject* parent = nullptr);
    ~DashboardWindowController() override;

    // Opens or raises the window, in front, and reloads.
    void show();
    // Reloads only while the window is open: a closed report reads nothing.
    void reloadIfVisible();

    QWidget* window() const { return window_; }
    DashboardView* view() const { return view_; }

    // "Export…": what the window shows (its days and models), one row per
    // message, as CSV to a file the user picks. The file is written whole or
    // not at all; an alert says where it went, or why it did not. Only the
    // file dialog runs on the interface thread: a year of rows takes seconds.
    void exportShown();
    // Where to save, given a suggested path; empty when the user cancels. A file dialog unless replaced.
    std::function<QString(const QString& suggested)> chooseFile;
    // The sessions' projects, for the rows (none unless given).
    std::function<std::map<std::string, std::string>()> projects;

private:
    void build();
    bool eventFilter(QObject* watched, QEvent* event) override;

    DashboardViewModel& vm_;
    QPointer<QWidget> window_;
    DashboardView* view_ = nullptr;
    std::unique_ptr<SerialQueue> exports_; // writes the files, one at a time
};

} // namespace tallyglass
