#include "Gallery.h"

#include "core/IsoTime.h"
#include "dashboard/DashboardView.h"
#include "dashboard/DashboardViewModel.h"
#include "ui/ThemeManager.h"
#include "storage/MockDatabase.h"
#include "storage/Preferences.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QVBoxLayout>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <map>
#include <random>

namespace tallyglass::gallery {

namespace {

const Instant now = *IsoTime::parse("2026-12-06T15:00:00Z");

// Working days with a few sessions each, busiest in the afternoon; three models.
std::vector<DashboardMessage> history(int days, int messagesPerDay, unsigned seed)
{
    std::mt19937 random(seed);
    const char* models[] = {"claude-opus-4-6", "claude-sonnet-4-6", "claude-haiku-4-5-20251001", "claude-opus-5-5"};
    std::vector<DashboardMessage> messages;
    for (int day = days - 1; day >= 0; --day) {
        const Instant start = now - std::chrono::hours(24 * day) - std::chrono::hours(15);
        const int count = static_cast<int>(messagesPerDay * (0.4 + 0.6 * std::abs(std::sin(day * 0.7))));
        for (int i = 0; i < count; ++i) {
            const int hour = 8 + static_cast<int>(random() % 11);
            const int session = static_cast<int>(random() % 4);
            const std::string model = models[(random() % 10 < 5) ? 1 : (random() % 3 == 0 ? 2 : (day < 40 ? 3 : 0))];
            const std::int64_t input = 800 + static_cast<std::int64_t>(random() % 4000);
            const std::int64_t output = 300 + static_cast<std::int64_t>(random() % 2500);
            messages.push_back({start + std::chrono::hours(hour) + std::chrono::minutes(random() % 60),
                                "s" + std::to_string(day) + "-" + std::to_string(session) + "a1b2c3d4", model, input, output,
                                input * 2, input * 8, false, static_cast<double>(input + output) * 0.00001});
        }
    }
    std::sort(messages.begin(), messages.end(), [](const auto& a, const auto& b) { return a.timestamp < b.timestamp; });
    return messages;
}

struct Setup {
    std::function<void(MockDatabase&)> data;
    std::function<void(DashboardViewModel&)> act;
    bool hoverBusiestDay = false;
    const char* zone = nullptr; // the local zone, for days counted in it
};

void settle(DashboardViewModel& vm)
{
    QElapsedTimer timer;
    timer.start();
    do {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    } while (vm.isBusy() && timer.elapsed() < 20000);
}

QImage render(const Setup& setup)
{
    if (setup.zone) {
        ::setenv("TZ", setup.zone, 1);
        ::tzset();
    }
    auto db = std::make_shared<MockDatabase>();
    if (setup.data)
        setup.data(*db);
    DashboardViewModel vm(db, [] { return now; });
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* view = new DashboardView(vm, &window);
    layout->addWidget(view);
    ThemeManager::makeThemedRoot(&window);
    window.resize(1280, 800);
    vm.load();
    settle(vm);
    if (setup.act) {
        setup.act(vm);
        settle(vm);
    }
    window.grab(); // lays the children out at their size
    if (setup.hoverBusiestDay) {
        const auto result = view->currentLayout();
        const auto& days = vm.snapshot().days;
        std::size_t busiest = 0;
        std::int64_t most = -1;
        for (std::size_t i = 0; i < days.size(); ++i) {
            std::int64_t total = 0;
            for (const auto& [name, count] : days[i].perModel)
                total += count;
            if (total > most) {
                most = total;
                busiest = i;
            }
        }
        const double slot = result.timelinePlot.width / static_cast<double>(days.size());
        view->hoverAt({result.timelinePlot.x + slot * (static_cast<double>(busiest) + 0.5), result.timelinePlot.y + result.timelinePlot.height * 0.6});
        view->finishAnimations();
    }
    QImage image = window.grab().toImage();
    if (setup.zone) {
        ::unsetenv("TZ");
        ::tzset();
        Preferences::shared().setReportDaysLocal(false);
    }
    return image;
}

std::string backgroundAndNotBlank(const QImage& image)
{
    if (image.width() != 1280 || image.height() != 800)
        return "wrong size";
    const Rgba bg = ThemeManager::shared().palette().background;
    const QColor expected = QColor::fromRgbF(static_cast<float>(bg.r), static_cast<float>(bg.g), static_cast<float>(bg.b));
    if (auto problem = colourNear(image, 4, 4, expected, 6); !problem.empty())
        return "window background: " + problem;
    return notBlank(image);
}

void week(MockDatabase& db)
{
    db.dashboardMessages = history(7, 160, 7);
    db.limits = UsageLimits{62.0, now + std::chrono::minutes(125), 18.0, now + std::chrono::hours(50), now};
}

// A week of five-hour windows, three a day, with peaks from quiet to the limit.
void limitHistory(MockDatabase& db)
{
    week(db);
    const double peaks[] = {12, 35, 58, 81, 100, 44, 23, 67, 92, 100, 15, 8, 52, 76, 88, 31, 100, 64, 41, 19, 73};
    for (int i = 0; i < 21; ++i) {
        const Instant resets = now - std::chrono::hours(8 * (20 - i)) + std::chrono::minutes(125);
        for (const double part : {0.3, 0.7, 1.0})
            db.limitReadings.push_back({resets - std::chrono::hours(4) + std::chrono::minutes(static_cast<int>(part * 200)), peaks[i] * part,
                                        resets, 20.0 + i, now + std::chrono::hours(50)});
    }
}

// Each model under a dated and an undated identifier, and Claude Code's own messages: one chip per name.
void twoIdentifiersEach(MockDatabase& db)
{
    week(db);
    const std::map<std::string, std::string> twin = {{"claude-opus-4-6", "claude-opus-4-6-20260101"},
                                                     {"claude-sonnet-4-6", "claude-sonnet-4-6-20260101"},
                                                     {"claude-haiku-4-5-20251001", "claude-haiku-4-5"},
                                                     {"claude-opus-5-5", "claude-opus-5-5-20261101"}};
    for (std::size_t i = 0; i < db.dashboardMessages.size(); ++i) {
        DashboardMessage& m = db.dashboardMessages[i];
        if (i % 97 == 0)
            m.model = "<synthetic>";
        else if (i % 2 == 0)
            m.model = twin.at(m.model.str());
    }
}

// A month with a week off and single quiet days: the heat map's rows keep every day.
void daysOff(MockDatabase& db)
{
    week(db);
    db.dashboardMessages = history(30, 120, 30);
    std::erase_if(db.dashboardMessages, [](const DashboardMessage& m) {
        const auto daysAgo = std::chrono::floor<std::chrono::days>(now - m.timestamp).count();
        return (daysAgo >= 9 && daysAgo <= 15) || daysAgo == 3 || daysAgo == 20;
    });
}

// A key instead of a plan: no limit ever read, a block going on since the morning.
void burnRate(MockDatabase& db)
{
    week(db);
    db.limits.reset();
    std::erase_if(db.dashboardMessages, [](const DashboardMessage& m) { return m.timestamp > now; });
}

// This machine's week, and a build box's sessions reported by telemetry.
void twoMachines(MockDatabase& db)
{
    week(db);
    for (std::size_t i = 0; i < db.dashboardMessages.size(); ++i)
        db.dashboardMessages[i].machine = i % 3 == 0 ? "buildbox-02" : "ada-laptop";
}

} // namespace

void addReportShots(std::vector<Shot>& shots)
{
    const auto shot = [&](std::string name, Setup setup) {
        shots.push_back({"report-" + name, [setup] { return render(setup); }, backgroundAndNotBlank});
    };
    shot("empty", {});
    shot("week", {week, {}, false});
    shot("year-365d", {[](MockDatabase& db) {
                           db.dashboardMessages = history(365, 320, 365);
                           db.limits = UsageLimits{91.0, now + std::chrono::minutes(40), 64.0, now + std::chrono::hours(20), now};
                       },
                       [](DashboardViewModel& vm) { vm.setPreset(DatePreset::last365d); }, false});
    shot("model-filter", {week, [](DashboardViewModel& vm) { vm.toggleModels({"claude-sonnet-4-6"}); }, false});
    shot("timeline-tooltip", {week, {}, true});
    shot("limit-history", {limitHistory, {}, false});
    // The five-hour window heading past its limit before the reset, the seven-day one well short of it.
    shot("limits-pace", {[](MockDatabase& db) {
                             week(db);
                             for (const auto& [before, five, seven] : {std::tuple{120, 20.0, 17.0}, std::tuple{60, 40.0, 17.5}})
                                 db.limitReadings.push_back({now - std::chrono::minutes(before), five, now + std::chrono::minutes(125), seven,
                                                             now + std::chrono::hours(50)});
                         },
                         {}, false});
    // Afternoons in UTC are the next morning in Tokyo: the heat map's hours move.
    shot("local-days", {week, [](DashboardViewModel& vm) { vm.setLocalDays(true); }, true, "Asia/Tokyo"});
    shot("models-merged", {twoIdentifiersEach, [](DashboardViewModel& vm) {
                               vm.toggleModels({"claude-sonnet-4-6", "claude-sonnet-4-6-20260101"});
                           }, false});
    shot("heatmap-days-off", {daysOff, [](DashboardViewModel& vm) { vm.setPreset(DatePreset::last30d); }, false});
    shot("burn-rate", {burnRate, {}, false});
    shot("two-machines", {twoMachines, [](DashboardViewModel& vm) { vm.toggleMachine("buildbox-02"); }, false});
}

} // namespace tallyglass::gallery
