#include "TranscriptGenerator.h"

#include "capture/TranscriptParser.h"
#include "core/Bounds.h"

#include <benchmark/benchmark.h>

namespace tallyglass {
namespace {

const PaddedText& realisticTranscripts()
{
    static const PaddedText text = [] {
        bench::TranscriptGenerator generator(42);
        std::string out;
        while (out.size() < 64u * 1024 * 1024)
            generator.appendSession(out, 2u * 1024 * 1024);
        return PaddedText(out);
    }();
    return text;
}

// The whole-file path that live capture and the history import take.
void BM_parseLines(benchmark::State& state)
{
    const PaddedText& text = realisticTranscripts();
    const Instant latest = Bounds::latestMessageTime(wallClockNow());
    std::size_t inserts = 0;
    for (auto _ : state) {
        const auto outcome = TranscriptParser::parseText(text, latest);
        inserts = outcome.inserts.size();
        benchmark::DoNotOptimize(outcome.inserts.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    state.counters["messages"] = static_cast<double>(inserts);
}
BENCHMARK(BM_parseLines)->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace
} // namespace tallyglass
