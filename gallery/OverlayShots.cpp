#include "Gallery.h"

#include "capture/ImportService.h"
#include "core/IsoTime.h"
#include "overlay/ChartViewModel.h"
#include "overlay/OverlayPanel.h"
#include "overlay/StackedBarChartView.h"
#include "ui/ThemeManager.h"
#include "storage/DBError.h"
#include "storage/MockDatabase.h"
#include "storage/Preferences.h"

#include <QApplication>
#include <QEventLoop>
#include <QMouseEvent>
#include <QPainter>

#include <future>

namespace tallyglass::gallery {

namespace {

// Asks for a reload and runs the event loop until its outcome is published.
void reloadAndWait(ChartViewModel& vm)
{
    QEventLoop loop;
    QObject::connect(&vm, &ChartViewModel::reloaded, &loop, &QEventLoop::quit);
    vm.reload();
    loop.exec();
}

const Instant anchor = *IsoTime::parse("2026-12-06T15:00:00Z");
const Instant now = anchor - std::chrono::minutes(125);

// A morning of work with three models, busiest in the middle.
std::vector<MessageRow> window()
{
    std::vector<MessageRow> rows;
    const char* models[] = {"claude-opus-4-6", "claude-sonnet-4-6", "claude-haiku-4-5-20251001"};
    int turn = 0;
    for (int minute = 2; minute < 172; minute += 3, ++turn) {
        const double weight = 1.0 + std::sin(minute / 30.0) * 0.8;
        rows.push_back({anchor - std::chrono::hours(5) + std::chrono::minutes(minute), std::string(models[turn % 3]),
                        static_cast<std::int64_t>(2400 * weight), static_cast<std::int64_t>(5200 * weight * (turn % 3 == 0 ? 1.6 : 1))});
    }
    return rows;
}

struct Setup {
    std::function<void(MockDatabase&)> data;
    std::function<void(StackedBarChartView&)> act;
    bool hookInstalled = true;
    bool cumulative = true;
    Instant clock = now;
    // After the first reload, on the model itself (an import under way, a failing database).
    std::function<void(ChartViewModel&, MockDatabase&)> then;
    // New figures once the card has settled, shown partway through their roll.
    std::function<void(ChartViewModel&, MockDatabase&)> change;
};

// An import that stops at three files of eight until it is let go.
class HeldImport final : public ScanRunning {
public:
    std::promise<void> release;
    std::int64_t scanAll(const Progress& progress) override
    {
        progress(3, 8);
        release.get_future().wait();
        return 8;
    }
};

// The panel over a plain desktop-like backdrop, so its transparency shows.
QImage render(const Setup& setup)
{
    auto db = std::make_shared<MockDatabase>();
    if (setup.data)
        setup.data(*db);
    auto import = std::make_shared<HeldImport>();
    ImportService imports(import);
    ChartViewModel vm(db, &imports, [clock = setup.clock] { return clock; });
    reloadAndWait(vm);
    if (setup.then)
        setup.then(vm, *db);
    Preferences::shared().setChartIsCumulative(setup.cumulative);
    StackedBarChartView::Callbacks callbacks;
    callbacks.isHookInstalled = [installed = setup.hookInstalled] { return installed; };
    auto* chart = new StackedBarChartView(vm, callbacks);
    OverlayPanel panel(chart);
    ThemeManager::makeThemedRoot(&panel);
    chart->refreshHookState();
    chart->setAnimationTime(0.6);
    if (setup.act)
        setup.act(*chart);
    chart->finishAnimations();
    if (setup.change) {
        setup.change(vm, *db);
        chart->setRollTime(0.08);
    }
    panel.grab(); // a first paint: the card may ask the panel to grow
    QApplication::processEvents();
    QImage image(OverlayPanel::defaultWidth + 48, panel.height() + 48, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    QLinearGradient backdrop(0, 0, image.width(), image.height());
    backdrop.setColorAt(0, QColor(96, 112, 140));
    backdrop.setColorAt(1, QColor(150, 120, 110));
    painter.fillRect(image.rect(), backdrop);
    painter.drawImage(24, 24, panel.grab().toImage());
    import->release.set_value();
    return image;
}

void click(StackedBarChartView& chart, QPointF at)
{
    QMouseEvent press(QEvent::MouseButtonPress, at, chart.mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, chart.mapToGlobal(at), Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&chart, &press);
    QApplication::sendEvent(&chart, &release);
}

void hoverBusiestSlot(StackedBarChartView& chart)
{
    const auto layout = chart.currentLayout();
    const QPointF at(layout.plot.x + layout.plot.width * (13.5 / 30.0), layout.plot.y + layout.plot.height * 0.6);
    QMouseEvent move(QEvent::MouseMove, at, chart.mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&chart, &move);
}

void full(MockDatabase& db)
{
    db.messages = window();
    db.limits = UsageLimits{62.0, anchor, 18.0, anchor + std::chrono::hours(72), now};
    db.activeSessionCount = 2;
}

// The session's share in each of its colours, and with no reading at all.
std::function<void(MockDatabase&)> fullAt(std::optional<double> utilization)
{
    return [utilization](MockDatabase& db) {
        full(db);
        db.limits->fiveHourUtilization = utilization;
    };
}

// Work up to the window's last minutes, the busiest slot last: the plot's
// right end, beside the "…" button.
void toTheEnd(MockDatabase& db)
{
    full(db);
    for (int minute = 5; minute < 120; minute += 4)
        db.messages.push_back({anchor - std::chrono::minutes(minute), "claude-opus-4-6", 9000, 26000 + minute * 100});
}

// The card's corner is its gradient's first colour; below a short card, the desktop.
std::string cardAndBackdrop(const QImage& image)
{
    if (image.width() != OverlayPanel::defaultWidth + 48 || image.height() < OverlayPanel::defaultHeight + 48)
        return "wrong size";
    const Rgba start = ThemeManager::shared().palette().backgroundGradientStart;
    const QColor expected = QColor::fromRgbF(static_cast<float>(start.r), static_cast<float>(start.g), static_cast<float>(start.b));
    if (auto problem = colourNear(image, 24 + 8, 24 + 8, expected, 14); !problem.empty())
        return "card corner: " + problem;
    return notBlank(image);
}

} // namespace

void addOverlayShots(std::vector<Shot>& shots)
{
    const auto shot = [&](std::string name, Setup setup) {
        shots.push_back({"overlay-" + name, [setup] { return render(setup); }, cardAndBackdrop});
    };
    shot("waiting", {{}, {}, true, true, now, {}, {}});
    shot("partial-cumulative", {[](MockDatabase& db) { db.messages = window(); }, {}, true, true, now, {}, {}});
    shot("full-cumulative", {full, {}, true, true, now, {}, {}});
    shot("full-bars", {full, {}, true, false, now, {}, {}});
    shot("full-bars-hover", {full, hoverBusiestSlot, true, false, now, {}, {}});
    shot("near-limit", {fullAt(93.0), {}, true, false, now, {}, {}});
    shot("low-use", {fullAt(12.0), {}, true, true, now, {}, {}});
    shot("no-limit-reading", {fullAt(std::nullopt), {}, true, true, now, {}, {}});
    shot("full-bars-to-the-end", {toTheEnd, {}, true, false, anchor - std::chrono::minutes(2), {}, {}});
    shot("full-expanded", {full, [](StackedBarChartView& chart) { click(chart, {100, 150}); }, true, true, now, {}, {}});
    // The window's readings so far climb fast enough to reach the limit before the reset.
    const auto paced = [](MockDatabase& db) {
        full(db);
        for (const auto& [before, used] : {std::pair{90, 20.0}, std::pair{45, 40.0}})
            db.limitReadings.push_back({now - std::chrono::minutes(before), used, anchor, 18.0, anchor + std::chrono::hours(72)});
    };
    shot("full-expanded-pace", {paced, [](StackedBarChartView& chart) { click(chart, {100, 150}); }, true, true, now, {}, {}});
    Setup rolling{full, [](StackedBarChartView& chart) { click(chart, {100, 150}); }, true, true, now, {}, {}};
    rolling.change = [](ChartViewModel& vm, MockDatabase& db) {
        db.messages.push_back({now - std::chrono::minutes(1), "claude-opus-4-6", 41000, 93000});
        vm.reload();
    };
    shot("full-expanded-rolling", rolling);
    shot("hook-missing", {full, {}, false, true, now, {}, {}});
    shot("window-expired", {full, {}, true, true, anchor + std::chrono::minutes(10), {}, {}});
    Setup importing{full, {}, true, true, now, {}, {}};
    importing.then = [](ChartViewModel& vm, MockDatabase&) {
        vm.scanProjects();
        while (vm.scanProgress() == ScanProgress::running(0))
            QApplication::processEvents(QEventLoop::AllEvents, 10);
    };
    shot("importing", importing);
    Setup importingToTheEnd = importing;
    importingToTheEnd.data = toTheEnd;
    importingToTheEnd.clock = anchor - std::chrono::minutes(2);
    shot("importing-line-to-the-end", importingToTheEnd);
    Setup failing{full, {}, true, true, now, {}, {}};
    failing.then = [](ChartViewModel& vm, MockDatabase& db) {
        db.throwOnFetch = std::make_exception_ptr(DBError(DBError::Kind::stepFailed, "disk I/O error"));
        reloadAndWait(vm);
    };
    shot("database-error", failing);
}

std::string notBlank(const QImage& image)
{
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height(); y += 3) {
        for (int x = 0; x < image.width(); x += 3) {
            if (image.pixel(x, y) != first)
                return {};
        }
    }
    return "blank";
}

std::string colourNear(const QImage& image, int x, int y, QColor expected, int tolerance)
{
    const QColor actual = image.pixelColor(x, y);
    const int difference = std::abs(actual.red() - expected.red()) + std::abs(actual.green() - expected.green())
        + std::abs(actual.blue() - expected.blue());
    if (difference <= tolerance * 3)
        return {};
    return "at (" + std::to_string(x) + ", " + std::to_string(y) + ") " + actual.name().toStdString() + " instead of "
        + expected.name().toStdString();
}

} // namespace tallyglass::gallery
