#include "dashboard/DashboardWindowController.h"

#include "ui/Alerts.h"
#include "dashboard/DashboardAggregator.h"
#include "dashboard/DashboardView.h"
#include "dashboard/DashboardViewModel.h"
#include "dashboard/ExportTable.h"
#include "core/WholeFile.h"
#include "storage/Preferences.h"
#include "ui/ThemeManager.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

namespace tallyglass {

DashboardWindowController::DashboardWindowController(DashboardViewModel& vm, QObject* parent)
    : QObject(parent)
    , vm_(vm)
    , exports_(std::make_unique<SerialQueue>("tallyglass.export"))
{
}

// An export under way is written to its end before the window goes.
DashboardWindowController::~DashboardWindowController()
{
    exports_->finish();
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
    view_->onExport = [this] { exportShown(); };
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
        const QByteArray frame = Preferences::shared().reportFrame();
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
    if (watched == window_ && (event->type() == QEvent::Close || event->type() == QEvent::Hide))
        Preferences::shared().setReportFrame(window_->saveGeometry());
    return QObject::eventFilter(watched, event);
}

void DashboardWindowController::exportShown()
{
    const DashboardFilters& filters = vm_.filters();
    const DayClock clock = filters.clock();
    const auto day = [&clock](Instant t) { return QString::fromStdString(clock.dayKey(t)); };
    const bool bounded = filters.from != Instant::min() && filters.to != Instant::max();
    const QString name = bounded ? "tallyglass-" + day(filters.from) + "-to-" + day(filters.to - std::chrono::microseconds(1)) + ".csv"
                                 : QString("tallyglass.csv");
    const QString suggested = QDir::home().filePath(name);
    const QString path = chooseFile ? chooseFile(suggested)
                                    : QFileDialog::getSaveFileName(window_, "Export", suggested, "CSV files (*.csv)");
    if (path.isEmpty())
        return;
    const TerminalReport::Options days{bounded ? filters.from : Instant{}, bounded ? filters.to : Instant::max(), "", {}, false, 10, clock};
    exports_->async([history = vm_.history(), filters, days, projects = projects, path] {
        // The models chosen are left out here; the days are the filter's.
        const std::vector<DashboardMessage> shown = DashboardAggregator::filter(history.messages(), filters);
        const ExportTable::Table table =
            ExportTable::build(ExportTable::Rows::message, shown, projects ? projects() : std::map<std::string, std::string>{}, days);
        const std::string text = ExportTable::csv(table);
        try {
            WholeFile::write(path.toStdString(), text);
        } catch (const WholeFile::Error& error) {
            Alerts::show("Export failed", "Could not write " + path.toStdString() + ": " + error.reason());
            return;
        }
        Alerts::show("Exported", "Wrote " + groupedCount(static_cast<std::int64_t>(table.rows.size()))
                                     + (table.rows.size() == 1 ? " message to " : " messages to ") + path.toStdString() + ".");
    });
}

} // namespace tallyglass
