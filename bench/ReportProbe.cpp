// How the report window behaves with a heavy year on disk: a million messages
// over 365 days in ~2,000 sessions and four models. The window opens offscreen
// on the interface thread while a 1 ms timer there records the longest gap
// between its ticks: the longest time the interface was held up.
//
//   tallyglass_report_probe        (the database is built once, then kept in $TMPDIR)

#include "TranscriptGenerator.h"

#include "core/IsoTime.h"
#include "dashboard/DashboardView.h"
#include "dashboard/DashboardViewModel.h"
#include "dashboard/DashboardWindowController.h"
#include "storage/DatabaseClient.h"
#include "storage/WriteDatabase.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <random>

using namespace tallyglass;

namespace {

const std::filesystem::path& heavyYear()
{
    static const std::filesystem::path path = [] {
        const auto dir = std::filesystem::temp_directory_path() / "tallyglass-bench-report";
        const auto file = dir / "app.db";
        if (std::filesystem::exists(dir / "complete"))
            return file;
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        WriteDatabase db(file);
        bench::TranscriptGenerator ids(365);
        std::mt19937_64 random(365);
        const char* models[] = {"claude-opus-4-6", "claude-sonnet-4-6", "claude-haiku-4-5-20251001", "claude-opus-5-5"};
        const auto start = std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()) - std::chrono::hours(24 * 365);
        std::int64_t millis = std::chrono::duration_cast<std::chrono::milliseconds>(start.time_since_epoch()).count();
        const std::int64_t step = 365LL * 86'400'000 / 1'000'000; // a million messages over the year
        for (int batch = 0; batch < 2000; ++batch) {
            std::vector<MessageInsert> messages;
            for (int i = 0; i < 500; ++i) {
                MessageInsert m;
                m.messageId = ids.randomId("msg_01", 24);
                millis += static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(2 * step)) + 1;
                m.sessionId = "session-" + std::to_string(millis / (4 * 3'600'000));
                m.timestamp = IsoTime::formatMillis(instantFromUnixMillis(millis));
                m.role = "assistant";
                m.model = models[random() % 4];
                m.inputTokens = static_cast<std::int64_t>(random() % 5000);
                m.outputTokens = static_cast<std::int64_t>(random() % 4000);
                m.cacheReadInputTokens = static_cast<std::int64_t>(random() % 40000);
                messages.push_back(std::move(m));
            }
            db.insertBackfillMessages(messages);
        }
        std::filesystem::create_directories(dir / "complete");
        return file;
    }();
    return path;
}

// Runs the event loop until `done`, ticking every millisecond; the longest gap between ticks.
struct Watch {
    double millis = 0;
    double longestStall = 0;
};

Watch runUntil(const std::function<bool()>& done)
{
    QElapsedTimer clock;
    clock.start();
    QElapsedTimer sinceTick;
    sinceTick.start();
    Watch watch;
    QEventLoop loop;
    QTimer ticker;
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        watch.longestStall = std::max(watch.longestStall, sinceTick.nsecsElapsed() / 1e6);
        sinceTick.restart();
        if (done())
            loop.quit();
    });
    ticker.start();
    loop.exec();
    watch.millis = clock.nsecsElapsed() / 1e6;
    return watch;
}

void report(const char* what, const Watch& watch)
{
    std::printf("%-52s %8.1f ms   longest interface stall %6.1f ms\n", what, watch.millis, watch.longestStall);
}

// One more message stored now, as a capture would, so that the next reload has something to read.
void storeOneMessage(const std::filesystem::path& path, const std::string& idPrefix)
{
    WriteDatabase writer(path);
    MessageInsert m;
    m.messageId = idPrefix + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    m.sessionId = "probe";
    m.timestamp = IsoTime::formatMillis(std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()));
    m.role = "assistant";
    m.model = "claude-opus-4-6";
    m.outputTokens = 1;
    writer.insertMessages({m});
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
    std::printf("building or opening the heavy year...\n");
    const auto path = heavyYear();
    // Opened by this version's writer first, as the app does at its start: a file kept from an earlier build gains
    // what this one reads.
    WriteDatabase(path).waitForRepricing();
    QApplication app(argc, argv);

    DashboardViewModel vm(std::make_shared<DatabaseClient>(path));
    DashboardWindowController controller(vm);
    // Counts the view's paints: a change is shown once the figures are in and a paint followed.
    struct PaintCounter final : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* event) override
        {
            if (event->type() == QEvent::Paint)
                ++paints;
            return false;
        }
    } counter;
    int paintsBefore = 0;
    const auto shown = [&] { return !vm.isBusy() && counter.paints > paintsBefore; };
    const auto change = [&](const char* what, const std::function<void()>& act) {
        paintsBefore = counter.paints;
        QObject::connect(&vm, &DashboardViewModel::snapshotChanged, &counter, [&] { paintsBefore = counter.paints; },
                         Qt::SingleShotConnection);
        act();
        report(what, runUntil(shown));
    };

    controller.show();
    controller.view()->installEventFilter(&counter);
    paintsBefore = counter.paints;
    report("open the window until its figures are drawn", runUntil([&] {
               return !vm.isBusy() && vm.snapshot().totals.messageCount > 0 && counter.paints > paintsBefore;
           }));

    controller.reloadIfVisible();
    report("reload with nothing stored since", runUntil([&] { return !vm.isBusy(); }));

    storeOneMessage(path, "probe-");
    controller.reloadIfVisible();
    report("reload after one message was stored", runUntil([&] { return !vm.isBusy(); }));

    for (DatePreset preset : {DatePreset::last30d, DatePreset::last1d, DatePreset::last90d, DatePreset::last365d})
        change(("switch to " + std::string(chipLabel(preset)) + ", until drawn").c_str(), [&] { vm.setPreset(preset); });
    change("select one model over 365 days, until drawn", [&] { vm.toggleModels({"claude-opus-4-6"}); });
    change("all models again, until drawn", [&] { vm.toggleModels({"claude-opus-4-6"}); });
    storeOneMessage(path, "probe-during-");
    controller.reloadIfVisible();
    paintsBefore = counter.paints;
    QObject::connect(&vm, &DashboardViewModel::snapshotChanged, &counter, [&] { paintsBefore = counter.paints; },
                     Qt::SingleShotConnection);
    vm.setPreset(DatePreset::last30d);
    report("switch to 30d while a reload reads, until drawn", runUntil([&] {
               return vm.snapshot().filters == vm.filters() && counter.paints > paintsBefore;
           }));
    std::printf("    (the reload still reading: %s)\n", vm.isLoading() ? "yes" : "no");
    runUntil([&] { return !vm.isBusy(); });

    QElapsedTimer paint;
    paint.start();
    for (int i = 0; i < 10; ++i)
        controller.view()->repaint();
    std::printf("%-52s %8.1f ms\n", "one redraw of the window, 365 days", paint.nsecsElapsed() / 1e6 / 10);
    std::printf("%zu messages loaded, %zu sessions in 365 days\n", vm.allMessages().size(), vm.snapshot().sessions.size());
    return counter.paints > 0 ? 0 : 1;
}
