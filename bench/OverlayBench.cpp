#include "TranscriptGenerator.h"

#include "core/IsoTime.h"
#include "overlay/ChartViewModel.h"
#include "storage/DatabaseClient.h"
#include "storage/WriteDatabase.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>

namespace tallyglass {
namespace {

// A million messages on disk, the last 5,000 of them inside the current
// five-hour window, with a known reset time: the overlay's heaviest reload.
// Built once and kept between runs in the temporary directory.
const std::filesystem::path& overlayDatabase()
{
    static const std::filesystem::path path = [] {
        const auto dir = std::filesystem::temp_directory_path() / "tallyglass-bench-overlay";
        const auto file = dir / "app.db";
        if (std::filesystem::exists(dir / "complete"))
            return file;
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        WriteDatabase db(file);
        bench::TranscriptGenerator ids(17);
        std::mt19937_64 random(17);
        std::int64_t millis = 1'700'000'000'000;
        const auto batch = [&](std::size_t size, std::int64_t gapMillis) {
            std::vector<MessageInsert> messages;
            for (std::size_t i = 0; i < size; ++i) {
                MessageInsert m;
                m.messageId = ids.randomId("msg_01", 24);
                m.sessionId = "s" + std::to_string(millis / 3'600'000);
                millis += static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(gapMillis)) + 1;
                m.timestamp = IsoTime::formatMillis(instantFromUnixMillis(millis));
                m.role = "assistant";
                m.model = (random() % 3 == 0) ? "claude-opus-4-6" : "claude-sonnet-4-6";
                m.inputTokens = static_cast<std::int64_t>(random() % 5000);
                m.outputTokens = static_cast<std::int64_t>(random() % 4000);
                messages.push_back(std::move(m));
            }
            db.insertBackfillMessages(messages);
        };
        for (int i = 0; i < 1990; ++i)
            batch(500, 12'000);
        const std::int64_t windowStart = millis;
        for (int i = 0; i < 10; ++i)
            batch(500, 3'600);                         // 5,000 messages in about five hours
        const Instant resetsAt = instantFromUnixMillis(windowStart + 18'000'000);
        db.upsertRateLimits({62.0, IsoTime::formatSeconds(resetsAt)}, {20.0, std::nullopt}, resetsAt);
        std::filesystem::create_directories(dir / "complete");
        return file;
    }();
    return path;
}

// The file on disk, as if something were stored before every read: the change
// probe cannot tell, so each reload reads the whole window.
class EveryReadAChange final : public UsageDatabase {
public:
    explicit EveryReadAChange(std::shared_ptr<DatabaseClient> client)
        : client_(std::move(client))
    {
    }
    std::optional<UsageLimits> fetchUsageLimits() override { return client_->fetchUsageLimits(); }
    bool hasAnyMessages() override { return client_->hasAnyMessages(); }
    std::vector<MessageRow> fetchMessagesInWindow(Instant from, Instant to) override { return client_->fetchMessagesInWindow(from, to); }
    std::int64_t fetchActiveSessionCount() override { return client_->fetchActiveSessionCount(); }
    std::vector<DashboardMessage> fetchAllMessages() override { return client_->fetchAllMessages(); }

private:
    std::shared_ptr<DatabaseClient> client_;
};

QCoreApplication& benchApp()
{
    static int argc = 1;
    static char name[] = "bench";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// Asks for a reload and runs the event loop until its outcome is published.
void reloadAndWait(ChartViewModel& vm)
{
    QEventLoop loop;
    QObject::connect(&vm, &ChartViewModel::reloaded, &loop, &QEventLoop::quit);
    vm.reload();
    loop.exec();
}

// One reload, on the overlay's kept connection, and every value the chart reads, once.
void overlayReload(benchmark::State& state, const std::shared_ptr<UsageDatabase>& database)
{
    benchApp();
    ChartViewModel vm(database, nullptr);
    std::size_t rows = 0;
    for (auto _ : state) {
        reloadAndWait(vm);
        rows = vm.state().rows.size();
        benchmark::DoNotOptimize(vm.barSegments());
        benchmark::DoNotOptimize(vm.cumulativeSeries());
        benchmark::DoNotOptimize(vm.cumulativePercentSeries());
        benchmark::DoNotOptimize(vm.chartDomain());
        benchmark::DoNotOptimize(vm.nonEmptyBuckets());
        benchmark::DoNotOptimize(vm.modelTotals());
        benchmark::DoNotOptimize(vm.bucketStats(12));
        benchmark::DoNotOptimize(vm.sessionPercentText());
        benchmark::DoNotOptimize(vm.resetCountdownText());
        benchmark::DoNotOptimize(vm.shouldPromptTrigger());
    }
    state.counters["rows"] = static_cast<double>(rows);
}

std::shared_ptr<DatabaseClient> overlayClient()
{
    return std::make_shared<DatabaseClient>(overlayDatabase(), DatabaseClient::WallClock{}, ReadConnection::Keeping::kept);
}

// Something was stored since the last read: the window is read whole.
void BM_overlayReload(benchmark::State& state)
{
    overlayReload(state, std::make_shared<EveryReadAChange>(overlayClient()));
}
BENCHMARK(BM_overlayReload)->Unit(benchmark::kMillisecond);

// The refresher's safety tick with nothing stored: the change probe, and no read.
void BM_overlayReloadUnchanged(benchmark::State& state)
{
    overlayReload(state, overlayClient());
}
BENCHMARK(BM_overlayReloadUnchanged)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace tallyglass
