#include "pricing/ModelPricingCatalog.h"

#include "pricing/ModelMapper.h"

#include <algorithm>
#include <array>

namespace tallyglass::ModelPricingCatalog {

namespace {

constexpr ModelPricing opusNew{5, 25, 6.25, 10, 0.5};
constexpr ModelPricing opusOld{15, 75, 18.75, 30, 1.5};
constexpr ModelPricing sonnet{3, 15, 3.75, 6, 0.3};

// Constant-initialised, so it is ready before any static constructor might price a message.
constexpr std::array<std::pair<std::string_view, ModelPricing>, 13> rows = {{
    {"claude-opus-4-7", opusNew},
    {"claude-opus-4-6", opusNew},
    {"claude-opus-4-5", opusNew},
    {"claude-opus-4-1", opusOld},
    {"claude-opus-4-0", opusOld},
    {"claude-opus-3-0", opusOld},
    {"claude-sonnet-4-6", sonnet},
    {"claude-sonnet-4-5", sonnet},
    {"claude-sonnet-4-0", sonnet},
    {"claude-sonnet-3-7", sonnet},
    {"claude-haiku-4-5", {1, 5, 1.25, 2, 0.1}},
    {"claude-haiku-3-5", {0.8, 4, 1, 1.6, 0.08}},
    {"claude-haiku-3-0", {0.25, 1.25, 0.3, 0.5, 0.03}},
}};

// Thirteen short keys: a linear scan comparing lengths first beats hashing.
const ModelPricing* lookup(std::string_view key)
{
    for (const auto& [identifier, pricing] : rows) {
        if (identifier.size() == key.size() && identifier == key)
            return &pricing;
    }
    return nullptr;
}

} // namespace

std::span<const std::pair<std::string_view, ModelPricing>> table()
{
    return rows;
}

std::optional<ModelPricing> price(std::string_view identifier)
{
    if (const ModelPricing* exact = lookup(identifier))
        return *exact;
    // The suffix rule: claude-<family>-<major>-<minor>-<digits> loses its last part.
    const auto parts = ModelMapper::matchIdentifier(identifier);
    if (!parts || !parts->hasSuffix)
        return std::nullopt;
    const auto keyLength = static_cast<std::size_t>(parts->minor.data() + parts->minor.size() - identifier.data());
    if (const ModelPricing* trimmed = lookup(identifier.substr(0, keyLength)))
        return *trimmed;
    return std::nullopt;
}

double cost(std::optional<std::string_view> model, std::int64_t inputTokens, std::int64_t outputTokens,
            std::int64_t cacheCreationInputTokens, std::int64_t cacheReadInputTokens,
            std::int64_t cacheCreation1hInputTokens)
{
    if (!model || model->empty())
        return 0;
    const auto pricing = price(*model);
    if (!pricing)
        return 0;
    const std::int64_t oneHour =
        std::min(std::max<std::int64_t>(cacheCreation1hInputTokens, 0), std::max<std::int64_t>(cacheCreationInputTokens, 0));
    const std::int64_t fiveMinute = cacheCreationInputTokens - oneHour;
    // Summed in this order so that, without one-hour writes, every figure equals
    // the long-standing formula bit for bit (adding 0.0 changes nothing).
    double sum = static_cast<double>(inputTokens) * pricing->inputPerMTok
        + static_cast<double>(outputTokens) * pricing->outputPerMTok;
    sum += static_cast<double>(fiveMinute) * pricing->cacheWrite5mPerMTok;
    sum += static_cast<double>(oneHour) * pricing->cacheWrite1hPerMTok;
    sum += static_cast<double>(cacheReadInputTokens) * pricing->cacheReadPerMTok;
    return sum / 1'000'000.0;
}

} // namespace tallyglass::ModelPricingCatalog
