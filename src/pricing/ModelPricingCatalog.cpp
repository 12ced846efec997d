#include "pricing/ModelPricingCatalog.h"

#include "pricing/ModelMapper.h"
#include "pricing/PriceList.h"

#include <algorithm>
#include <array>
#include <mutex>

namespace tallyglass::ModelPricingCatalog {

namespace {

constexpr ModelPricing opusNew{5, 25, 6.25, 10, 0.5};
constexpr ModelPricing opusOld{15, 75, 18.75, 30, 1.5};
constexpr ModelPricing sonnet{3, 15, 3.75, 6, 0.3};
// Sonnet 4 and 4.5 above 200,000 input tokens per request, every category.
constexpr ModelPricing sonnetLongContext{6, 22.5, 7.5, 12, 0.6};
constexpr ModelPricing sonnetFive{2, 10, 2.5, 4, 0.2};

// Constant-initialised, so it is ready before any static constructor might price a message.
constexpr std::array<Row, 18> rows = {{
    {"claude-opus-5-5", {4, 20, 5, 8, 0.4}, std::nullopt},
    {"claude-opus-5-0", opusNew, std::nullopt},
    {"claude-opus-4-7", opusNew, std::nullopt},
    {"claude-opus-4-6", opusNew, std::nullopt},
    {"claude-opus-4-5", opusNew, std::nullopt},
    {"claude-opus-4-1", opusOld, std::nullopt},
    {"claude-opus-4-0", opusOld, std::nullopt},
    {"claude-opus-3-0", opusOld, std::nullopt},
    {"claude-sonnet-5-5", sonnetFive, std::nullopt},
    {"claude-sonnet-5-0", sonnetFive, std::nullopt},
    {"claude-sonnet-4-6", sonnet, std::nullopt},
    {"claude-sonnet-4-5", sonnet, sonnetLongContext},
    {"claude-sonnet-4-0", sonnet, sonnetLongContext},
    {"claude-sonnet-3-7", sonnet, std::nullopt},
    {"claude-sonnet-3-5", sonnet, std::nullopt},
    {"claude-haiku-4-5", {1, 5, 1.25, 2, 0.1}, std::nullopt},
    {"claude-haiku-3-5", {0.8, 4, 1, 1.6, 0.08}, std::nullopt},
    {"claude-haiku-3-0", {0.25, 1.25, 0.3, 0.5, 0.03}, std::nullopt},
}};

// A few short keys: a linear scan comparing lengths first beats hashing.
const Row* lookup(std::string_view key)
{
    for (const Row& r : rows) {
        if (r.identifier.size() == key.size() && r.identifier == key)
            return &r;
    }
    return nullptr;
}

std::mutex inUseGuard;

std::shared_ptr<const PriceList>& inUse()
{
    static std::shared_ptr<const PriceList> list = std::make_shared<const PriceList>();
    return list;
}

} // namespace

std::shared_ptr<const PriceList> current()
{
    const std::lock_guard lock(inUseGuard);
    return inUse();
}

void use(std::shared_ptr<const PriceList> list)
{
    if (!list)
        list = std::make_shared<const PriceList>();
    const std::lock_guard lock(inUseGuard);
    inUse() = std::move(list);
}

std::span<const Row> table()
{
    return rows;
}

const Row* row(std::string_view identifier)
{
    // Every catalogue identifier is its own key, so the key alone decides.
    // Built on the stack: this runs once per message stored.
    const auto parts = ModelMapper::matchIdentifier(identifier);
    if (!parts)
        return nullptr;
    std::array<char, 48> key{};
    std::size_t length = 0;
    const auto add = [&](std::string_view piece) {
        if (length + piece.size() > key.size())
            return false;
        std::copy(piece.begin(), piece.end(), key.begin() + static_cast<std::ptrdiff_t>(length));
        length += piece.size();
        return true;
    };
    if (!add(parts->maker) || !add("-") || !add(parts->family) || !add("-") || !add(parts->major) || !add("-")
        || !add(parts->minor.empty() ? std::string_view("0") : parts->minor))
        return nullptr; // longer than any key
    return lookup({key.data(), length});
}

std::optional<ModelPricing> price(std::string_view identifier)
{
    if (const Row* found = row(identifier))
        return found->standard;
    return std::nullopt;
}

bool isPriced(std::optional<std::string_view> model)
{
    return current()->isPriced(model);
}

double cost(std::optional<std::string_view> model, std::int64_t inputTokens, std::int64_t outputTokens,
            std::int64_t cacheCreationInputTokens, std::int64_t cacheReadInputTokens,
            std::int64_t cacheCreation1hInputTokens)
{
    return current()->cost(model, inputTokens, outputTokens, cacheCreationInputTokens, cacheReadInputTokens,
                           cacheCreation1hInputTokens);
}

double costAt(const ModelPricing& standard, const ModelPricing* longContext, std::int64_t inputTokens,
              std::int64_t outputTokens, std::int64_t cacheCreationInputTokens, std::int64_t cacheReadInputTokens,
              std::int64_t cacheCreation1hInputTokens)
{
    const double requestInput = static_cast<double>(inputTokens) + static_cast<double>(cacheCreationInputTokens)
        + static_cast<double>(cacheReadInputTokens);
    const ModelPricing& pricing = longContext && requestInput > static_cast<double>(longContextThreshold)
        ? *longContext
        : standard;
    const std::int64_t oneHour =
        std::min(std::max<std::int64_t>(cacheCreation1hInputTokens, 0), std::max<std::int64_t>(cacheCreationInputTokens, 0));
    const std::int64_t fiveMinute = cacheCreationInputTokens - oneHour;
    // Summed in this order so that, without one-hour writes, every figure equals
    // the long-standing formula bit for bit (adding 0.0 changes nothing).
    double sum = static_cast<double>(inputTokens) * pricing.inputPerMTok
        + static_cast<double>(outputTokens) * pricing.outputPerMTok;
    sum += static_cast<double>(fiveMinute) * pricing.cacheWrite5mPerMTok;
    sum += static_cast<double>(oneHour) * pricing.cacheWrite1hPerMTok;
    sum += static_cast<double>(cacheReadInputTokens) * pricing.cacheReadPerMTok;
    return sum / 1'000'000.0;
}

} // namespace tallyglass::ModelPricingCatalog
