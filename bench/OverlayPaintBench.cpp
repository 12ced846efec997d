// One redraw of the overlay card, layout and painting together, offscreen
// into the same kind of buffer the window uses.

#include "core/IsoTime.h"
#include "dashboard/DashboardView.h"
#include "dashboard/DashboardViewModel.h"
#include "overlay/ChartViewModel.h"
#include "overlay/OverlayPanel.h"
#include "overlay/StackedBarChartView.h"
#include "ui/ThemeManager.h"
#include "storage/MockDatabase.h"
#include "storage/Preferences.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cmath>

namespace tallyglass {
namespace {

const Instant anchor = *IsoTime::parse("2026-12-06T15:00:00Z");

// A full window: a reply every minute for five hours, three models.
std::shared_ptr<MockDatabase> fullWindow()
{
    auto db = std::make_shared<MockDatabase>();
    const char* models[] = {"claude-opus-4-6", "claude-sonnet-4-6", "claude-haiku-4-5-20251001"};
    for (int minute = 0; minute < 300; ++minute) {
        const double weight = 1.0 + std::sin(minute / 30.0) * 0.8;
        db->messages.push_back({anchor - std::chrono::hours(5) + std::chrono::minutes(minute), models[minute % 3],
                                static_cast<std::int64_t>(2400 * weight), static_cast<std::int64_t>(5200 * weight)});
    }
    db->limits = UsageLimits{62.0, anchor, 18.0, anchor + std::chrono::hours(72), anchor - std::chrono::minutes(2)};
    db->activeSessionCount = 2;
    return db;
}

enum Variant { cumulative, bars, expanded, expired };

void BM_overlayRedraw(benchmark::State& state)
{
    const auto variant = static_cast<Variant>(state.range(0));
    auto db = fullWindow();
    const Instant clock = variant == expired ? anchor + std::chrono::minutes(10) : anchor - std::chrono::minutes(1);
    ChartViewModel vm(db, nullptr, [clock] { return clock; });
    vm.reload();
    Preferences::shared().setChartIsCumulative(variant != bars);
    StackedBarChartView::Callbacks callbacks;
    callbacks.isHookInstalled = [] { return true; };
    auto* chart = new StackedBarChartView(vm, callbacks);
    OverlayPanel panel(chart);
    ThemeManager::makeThemedRoot(&panel);
    chart->setAnimationTime(10);
    if (variant == expanded) {
        const QPointF at(100, 150);
        QMouseEvent press(QEvent::MouseButtonPress, at, at, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, at, at, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(chart, &press);
        QApplication::sendEvent(chart, &release);
    }
    chart->finishAnimations();
    panel.grab();
    QApplication::processEvents();
    QImage image(chart->size() * 2, QImage::Format_ARGB32_Premultiplied); // a 2x screen: the worse case
    image.setDevicePixelRatio(2);
    for (auto _ : state) {
        image.fill(Qt::transparent);
        chart->render(&image);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_overlayRedraw)->ArgName("cumulative|bars|expanded|expired")->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// One redraw of the report window (layout and painting) with a year on the
// timeline: the heaviest the window draws.
void BM_reportRedraw(benchmark::State& state)
{
    auto db = std::make_shared<MockDatabase>();
    const char* models[] = {"claude-opus-4-6", "claude-sonnet-4-6", "claude-haiku-4-5-20251001", "claude-opus-5-5"};
    for (int day = 0; day < 365; ++day)
        for (int i = 0; i < 40; ++i)
            db->dashboardMessages.push_back({anchor - std::chrono::hours(24 * (365 - day)) + std::chrono::minutes(20 * i),
                                             "session-" + std::to_string(day * 4 + i / 10), models[i % 4], 1000 + i, 300 + day, 0, 0,
                                             false, 0.01});
    DashboardViewModel vm(db, [] { return anchor; });
    QWidget window;
    auto* view = new DashboardView(vm, &window);
    view->resize(1280, 800);
    ThemeManager::makeThemedRoot(&window);
    vm.load();
    while (vm.isBusy())
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    vm.setPreset(DatePreset::last365d);
    while (vm.isBusy())
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    window.resize(1280, 800);
    QImage image(view->size(), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        image.fill(Qt::transparent);
        view->render(&image);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_reportRedraw)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace tallyglass

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home; // the chart's mode is a stored setting: keep it out of the real one
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
