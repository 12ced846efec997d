#include "pricing/ModelMapper.h"
#include "pricing/ModelPricingCatalog.h"

#include <benchmark/benchmark.h>

#include <array>
#include <string>

namespace tallyglass {
namespace {

// Catalogued identifiers as transcripts carry them, with and without dates,
// in every shape the API has used.
const std::array<std::string, 8> identifiers = {"claude-sonnet-4-5-20250929", "claude-opus-4-6", "claude-haiku-4-5-20251001",
                                                "claude-sonnet-4-20250514", "claude-opus-4-1-20250805", "claude-3-5-sonnet-20241022",
                                                "claude-3-haiku-20240307", "claude-opus-5-5"};

void BM_cost(benchmark::State& state)
{
    std::size_t i = 0;
    for (auto _ : state) {
        const std::string& id = identifiers[i++ % identifiers.size()];
        benchmark::DoNotOptimize(ModelPricingCatalog::cost(std::string_view(id), 12, 3400, 18000, 120000, 9000));
    }
}
BENCHMARK(BM_cost);

void BM_displayName(benchmark::State& state)
{
    std::size_t i = 0;
    for (auto _ : state) {
        const std::string& id = identifiers[i++ % identifiers.size()];
        benchmark::DoNotOptimize(ModelMapper::displayName(std::string_view(id)));
    }
}
BENCHMARK(BM_displayName);

} // namespace
} // namespace tallyglass
