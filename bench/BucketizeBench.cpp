#include "overlay/Bucketize.h"

#include <benchmark/benchmark.h>

#include <random>

namespace tallyglass {
namespace {

// A busy five-hour window: 5,000 messages of five models, some outside the window.
void BM_bucketizeAndLineTotals(benchmark::State& state)
{
    const Instant anchor = instantFromUnixMillis(1'760'000'000'000);
    const char* models[] = {"claude-sonnet-4-5-20250929", "claude-opus-4-6", "claude-haiku-4-5-20251001", "claude-sonnet-4-6", nullptr};
    std::mt19937_64 random(7);
    std::vector<MessageRow> rows;
    for (int i = 0; i < 5000; ++i) {
        const auto offset = std::chrono::milliseconds(static_cast<std::int64_t>(random() % 19'000'000));
        const char* model = models[random() % 5];
        rows.push_back({anchor - offset, model ? std::optional<std::string>(model) : std::nullopt,
                        static_cast<std::int64_t>(random() % 1000), static_cast<std::int64_t>(random() % 4000)});
    }
    for (auto _ : state) {
        auto segments = Bucketize::bucketize(rows, anchor);
        auto totals = Bucketize::lineTotals(rows, anchor);
        benchmark::DoNotOptimize(segments.data());
        benchmark::DoNotOptimize(totals.data());
    }
}
BENCHMARK(BM_bucketizeAndLineTotals)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace tallyglass
