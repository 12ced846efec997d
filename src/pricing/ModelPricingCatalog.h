#pragma once

#include "pricing/ModelPricing.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace tallyglass {
class PriceList;
}

namespace tallyglass::ModelPricingCatalog {

// The built-in price list. An identifier is priced from the row of its
// catalogue key (ModelMapper::catalogueKey: a date dropped, the Claude 3 order
// turned round), matched exactly, case included. Anything else is not priced:
// it costs nothing, and what shows figures says that it was not priced. The
// user's own entries go over it (PriceList); isPriced() and cost() answer for
// the list in use, row() and price() for the built-in rows alone.

struct Row {
    std::string_view identifier;
    ModelPricing standard;
    // Rates for a whole request whose input (fresh, cache writes and cache
    // reads together) is over longContextThreshold tokens, where the model has them.
    std::optional<ModelPricing> longContext;
};

inline constexpr std::int64_t longContextThreshold = 200'000;

// Raised whenever a built-in price changes: stored messages priced with
// another list are priced again.
inline constexpr int version = 2;

// The list every price is taken from, the built-in one until use() is called.
// Safe from any thread; a caller that prices many messages and records the
// version they were priced with takes the list once, so both agree.
std::shared_ptr<const PriceList> current();
void use(std::shared_ptr<const PriceList> list);

std::optional<ModelPricing> price(std::string_view identifier);
const Row* row(std::string_view identifier);
bool isPriced(std::optional<std::string_view> model);

// Price of one message in US dollars at these rates (the long-context ones,
// where given, for a request whose input is over longContextThreshold). Of the
// cache writes, the one-hour share (clamped to 0...cacheCreationInputTokens) is
// priced at the one-hour rate and the rest at the five-minute rate.
double costAt(const ModelPricing& standard, const ModelPricing* longContext, std::int64_t inputTokens,
              std::int64_t outputTokens, std::int64_t cacheCreationInputTokens, std::int64_t cacheReadInputTokens,
              std::int64_t cacheCreation1hInputTokens);

// Price of one message in US dollars by the list in use (costAt).
double cost(std::optional<std::string_view> model, std::int64_t inputTokens, std::int64_t outputTokens,
            std::int64_t cacheCreationInputTokens, std::int64_t cacheReadInputTokens,
            std::int64_t cacheCreation1hInputTokens = 0);

// The catalogue rows, in catalogue order.
std::span<const Row> table();

} // namespace tallyglass::ModelPricingCatalog
