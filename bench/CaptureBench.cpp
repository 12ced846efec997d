#include "TranscriptGenerator.h"

#include "capture/CaptureService.h"
#include "storage/WriteDatabase.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <filesystem>
#include <fstream>

namespace tallyglass {
namespace {

double processCpuSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// One more event on a long session: a 100 MB transcript that gained 10 KB.
// Measured as the process's CPU time (the write happens on the writer's
// thread), with no stability wait.
void BM_captureEventOnLongTranscript(benchmark::State& state)
{
    const auto dir = std::filesystem::temp_directory_path() / "tallyglass-bench-capture";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const auto transcript = dir / "session.jsonl";
    bench::TranscriptGenerator generator(21);
    {
        std::string text;
        while (text.size() < 100u * 1024 * 1024)
            generator.appendSession(text, 4u * 1024 * 1024);
        std::ofstream(transcript, std::ios::binary) << text;
    }
    auto writer = std::make_shared<WriteDatabase>(dir / "app.db");
    CaptureService service(writer, 0, 0);
    const std::string event = R"({"hook_event_name":"PostToolUse","session_id":"s","transcript_path":")" + transcript.string() + "\"}";
    service.handle(event); // the first event after start reads the whole file

    for (auto _ : state) {
        state.PauseTiming();
        std::string more;
        generator.appendSession(more, 10 * 1024);
        std::ofstream(transcript, std::ios::binary | std::ios::app) << more;
        const double before = processCpuSeconds();
        state.ResumeTiming();
        service.handle(event);
        state.PauseTiming();
        state.SetIterationTime(processCpuSeconds() - before);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_captureEventOnLongTranscript)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(50);

} // namespace
} // namespace tallyglass
