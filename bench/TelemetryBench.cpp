#include "server/Gzip.h"
#include "server/TelemetryIntake.h"
#include "storage/WriteDatabase.h"
#include "support/TelemetryExport.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <filesystem>

// How many api_request records a second the telemetry intake takes: inflating
// and reading an export, and storing what it holds.
namespace tallyglass {
namespace {

// A batch as an exporter sends one: within the body limit, also once inflated.
constexpr int recordsPerExport = 1'000;

std::string attribute(const char* key, const std::string& value, bool asInt = false)
{
    return std::string(R"({"key":")") + key + R"(","value":{")" + (asInt ? "intValue" : "stringValue") + R"(":")" + value
        + R"("}})";
}

// An export as Claude Code sends it: every attribute its api_request events carry,
// sessions of 50 requests. `round` makes the sessions of each export new.
std::string realisticExport(int round)
{
    std::string out = R"({"resourceLogs":[{"resource":{"attributes":[)" + attribute("host.name", "build-box") + ","
        + attribute("service.name", "claude-code") + R"(]},"scopeLogs":[{"scope":{"name":"com.anthropic.claude_code.events","version":"2.0.0"},"logRecords":[)";
    for (int i = 0; i < recordsPerExport; ++i) {
        const std::string session = "5d1e6c1a-0000-4000-8000-" + std::to_string(round * 1000 + i / 50);
        out += i ? "," : "";
        out += R"({"timeUnixNano":"1736935200000000000","observedTimeUnixNano":"1736935200000000000","body":{"stringValue":"claude_code.api_request"},"attributes":[)";
        out += attribute("user.id", "a3f1c0ffee") + "," + attribute("session.id", session) + ","
            + attribute("organization.id", "org") + "," + attribute("user.email", "someone@example.com") + ","
            + attribute("terminal.type", "xterm-256color") + "," + attribute("event.name", "api_request") + ","
            + attribute("event.timestamp", "2025-01-15T10:00:00.000Z") + ","
            + attribute("event.sequence", std::to_string(i), true) + "," + attribute("model", "claude-sonnet-4-5-20250929")
            + "," + attribute("cost_usd", "0.0123") + "," + attribute("duration_ms", "2345", true) + ","
            + attribute("input_tokens", std::to_string(100 + i % 900), true) + ","
            + attribute("output_tokens", std::to_string(i % 400), true) + "," + attribute("cache_read_tokens", "20000", true)
            + "," + attribute("cache_creation_tokens", "1500", true) + "]}";
    }
    return out + "]}]}]}";
}

void BM_TelemetryRead(benchmark::State& state)
{
    const std::string body = test::gzipped(realisticExport(0), Z_DEFAULT_COMPRESSION);
    TelemetryIntake intake;
    for (auto _ : state) {
        auto result = intake.receiveLogs(body, true);
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * recordsPerExport);
    state.counters["gzipBytes"] = static_cast<double>(body.size());
}
BENCHMARK(BM_TelemetryRead)->Unit(benchmark::kMillisecond);

void BM_TelemetryReadAndStore(benchmark::State& state)
{
    const auto dir = std::filesystem::temp_directory_path() / "tallyglass-bench-telemetry";
    std::filesystem::remove_all(dir);
    WriteDatabase writer(dir / "app.db");
    TelemetryIntake intake;
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string body = test::gzipped(realisticExport(++round), Z_DEFAULT_COMPRESSION);
        state.ResumeTiming();
        writer.insertBackfillMessages(intake.receiveLogs(body, true).messages);
    }
    state.SetItemsProcessed(state.iterations() * recordsPerExport);
    std::filesystem::remove_all(dir);
}
BENCHMARK(BM_TelemetryReadAndStore)->Unit(benchmark::kMillisecond)->Iterations(10);

} // namespace
} // namespace tallyglass
