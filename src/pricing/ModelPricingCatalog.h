#pragma once

#include "pricing/ModelPricing.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tallyglass::ModelPricingCatalog {

// The fixed price list. An identifier is priced from the row of its catalogue
// key (ModelMapper::catalogueKey: a date dropped, the Claude 3 order turned
// round), matched exactly, case included. Anything else is not priced: it
// costs nothing, and what shows figures says that it was not priced.

struct Row {
    std::string_view identifier;
    ModelPricing standard;
    // Rates for a whole request whose input (fresh, cache writes and cache
    // reads together) is over longContextThreshold tokens, where the model has them.
    std::optional<ModelPricing> longContext;
};

inline constexpr std::int64_t longContextThreshold = 200'000;

// Raised whenever a price changes: stored messages priced with an older
// catalogue are priced again.
inline constexpr int version = 2;

std::optional<ModelPricing> price(std::string_view identifier);
const Row* row(std::string_view identifier);
bool isPriced(std::optional<std::string_view> model);

// Price of one message in US dollars. Of the cache writes, the one-hour share
// (clamped to 0...cacheCreationInputTokens) is priced at the one-hour rate and
// the rest at the five-minute rate.
double cost(std::optional<std::string_view> model, std::int64_t inputTokens, std::int64_t outputTokens,
            std::int64_t cacheCreationInputTokens, std::int64_t cacheReadInputTokens,
            std::int64_t cacheCreation1hInputTokens = 0);

// The catalogue rows, in catalogue order.
std::span<const Row> table();

} // namespace tallyglass::ModelPricingCatalog
