#include "TranscriptGenerator.h"

#include "storage/DatabaseClient.h"
#include "storage/WriteDatabase.h"

#include "core/IsoTime.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <random>

namespace tallyglass {
namespace {

std::filesystem::path benchDirectory(const std::string& name)
{
    const auto dir = std::filesystem::temp_directory_path() / ("tallyglass-bench-" + name);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

// Realistic rows: random message ids (so every insert lands on a random page
// of the primary-key index), sessions of a few hundred messages, five models.
std::vector<MessageInsert> realisticBatch(bench::TranscriptGenerator& ids, std::mt19937_64& random, std::string& session,
                                          std::int64_t& millis, std::size_t size, std::uint64_t maxGapMillis = 20'000)
{
    static const char* const models[] = {"claude-sonnet-4-5-20250929", "claude-opus-4-6", "claude-haiku-4-5-20251001",
                                         "claude-sonnet-4-6", "claude-opus-4-1-20250805"};
    std::vector<MessageInsert> batch;
    batch.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        if (random() % 330 == 0)
            session = ids.uuid();
        millis += static_cast<std::int64_t>(random() % maxGapMillis);
        MessageInsert m;
        m.messageId = ids.randomId("msg_01", 24);
        m.sessionId = session;
        m.timestamp = IsoTime::formatMillis(instantFromUnixMillis(millis));
        m.role = "assistant";
        m.model = models[random() % 5];
        m.inputTokens = static_cast<std::int64_t>(random() % 50);
        m.outputTokens = static_cast<std::int64_t>(random() % 4000);
        m.cacheCreationInputTokens = static_cast<std::int64_t>(random() % 20000);
        m.cacheReadInputTokens = static_cast<std::int64_t>(random() % 150000);
        m.cacheCreation1hInputTokens = m.cacheCreationInputTokens / 2;
        batch.push_back(std::move(m));
    }
    return batch;
}

// The history import's write path: batches of 500 into a growing file.
// Arguments: page cache in KiB, synchronous NORMAL (1) or FULL (0), WAL auto-checkpoint pages.
void BM_backfillInsert(benchmark::State& state)
{
    const auto dir = benchDirectory("insert");
    WriteDatabase::Options options;
    options.cacheSizeKiB = static_cast<int>(state.range(0));
    options.synchronousNormal = state.range(1) != 0;
    options.walAutocheckpointPages = static_cast<int>(state.range(2));
    WriteDatabase db(dir / "app.db", options);
    bench::TranscriptGenerator ids(5);
    std::mt19937_64 random(5);
    std::string session = ids.uuid();
    std::int64_t millis = 1'730'000'000'000;
    std::int64_t stored = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const auto batch = realisticBatch(ids, random, session, millis, 500);
        state.ResumeTiming();
        db.insertBackfillMessages(batch);
        stored += 500;
    }
    state.SetItemsProcessed(stored);
    state.counters["rows"] = static_cast<double>(stored);
}
BENCHMARK(BM_backfillInsert)
    ->ArgNames({"cacheKiB", "syncNormal", "autoCkpt"})
    ->Args({65'536, 1, 16'384}) // what the app uses
    ->Args({2'000, 0, 1'000})   // SQLite's defaults
    ->Args({65'536, 0, 16'384})
    ->Args({2'000, 1, 16'384})
    ->Args({65'536, 1, 1'000})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2'000) // a million messages
    ->UseRealTime();

// A million messages, six seconds apart on average (so a five-hour window holds
// about 3,000), built once and kept between runs in the temporary directory.
constexpr std::int64_t readStartMillis = 1'700'000'000'000;

const std::filesystem::path& millionMessageDatabase()
{
    static const std::filesystem::path path = [] {
        const auto dir = std::filesystem::temp_directory_path() / "tallyglass-bench-read";
        const auto file = dir / "app.db";
        const auto ready = dir / "complete";
        if (std::filesystem::exists(ready))
            return file;
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        WriteDatabase db(file);
        bench::TranscriptGenerator ids(11);
        std::mt19937_64 random(11);
        std::string session = ids.uuid();
        std::int64_t millis = readStartMillis;
        for (int batch = 0; batch < 2000; ++batch)
            db.insertBackfillMessages(realisticBatch(ids, random, session, millis, 500, 12'000));
        for (int i = 0; i < 40; ++i)
            db.setSessionActive("active-" + std::to_string(i), true);
        std::filesystem::create_directories(ready);
        return file;
    }();
    return path;
}

void BM_fetchMessagesInWindow(benchmark::State& state)
{
    DatabaseClient client(millionMessageDatabase());
    const Instant from = instantFromUnixMillis(readStartMillis + 3'000'000'000LL / 2); // halfway through the history
    const Instant to = from + std::chrono::hours(5);
    std::size_t rows = 0;
    for (auto _ : state)
        rows = client.fetchMessagesInWindow(from, to).size();
    state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_fetchMessagesInWindow)->Unit(benchmark::kMillisecond);

void BM_fetchAllMessages(benchmark::State& state)
{
    DatabaseClient client(millionMessageDatabase());
    std::size_t rows = 0;
    for (auto _ : state)
        rows = client.fetchAllMessages().size();
    state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(BM_fetchAllMessages)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_hasAnyMessages(benchmark::State& state)
{
    DatabaseClient client(millionMessageDatabase());
    for (auto _ : state)
        benchmark::DoNotOptimize(client.hasAnyMessages());
}
BENCHMARK(BM_hasAnyMessages)->Unit(benchmark::kMicrosecond);

void BM_fetchActiveSessionCount(benchmark::State& state)
{
    DatabaseClient client(millionMessageDatabase());
    std::int64_t count = 0;
    for (auto _ : state)
        count = client.fetchActiveSessionCount();
    state.counters["active"] = static_cast<double>(count);
}
BENCHMARK(BM_fetchActiveSessionCount)->Unit(benchmark::kMicrosecond);

// Opening a million-message file whose messages were all priced with an older
// price list (argument 1), or none of them (0): the background pass that
// prices them again, until it is done.
void BM_repriceMillion(benchmark::State& state)
{
    const auto dir = benchDirectory("reprice");
    for (auto _ : state) {
        state.PauseTiming();
        millionMessageDatabase();
        { WriteDatabase(millionMessageDatabase()).waitForRepricing(); } // checkpointed, priced
        std::filesystem::copy_file(millionMessageDatabase(), dir / "app.db", std::filesystem::copy_options::overwrite_existing);
        std::filesystem::remove(dir / "app.db-wal");
        sqlite3* db = nullptr;
        sqlite3_open((dir / "app.db").c_str(), &db);
        sqlite3_exec(db, state.range(0) ? "UPDATE messages SET pricedWith = 0;" : "SELECT 1;", nullptr, nullptr, nullptr);
        sqlite3_close(db);
        state.ResumeTiming();
        WriteDatabase writer(dir / "app.db");
        writer.waitForRepricing();
    }
}
BENCHMARK(BM_repriceMillion)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(1);

} // namespace
} // namespace tallyglass
