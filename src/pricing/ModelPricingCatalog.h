#pragma once

#include "pricing/ModelPricing.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <span>

namespace tallyglass::ModelPricingCatalog {

// The fixed price list. Identifiers are matched exactly (case-sensitive); an
// identifier with a trailing "-<digits>" (a release date) is priced as the
// identifier without it. Anything else is not priced and costs nothing.

std::optional<ModelPricing> price(std::string_view identifier);

// Price of one message in US dollars. Of the cache writes, the one-hour share
// (clamped to 0...cacheCreationInputTokens) is priced at the one-hour rate and
// the rest at the five-minute rate.
double cost(std::optional<std::string_view> model, std::int64_t inputTokens, std::int64_t outputTokens,
            std::int64_t cacheCreationInputTokens, std::int64_t cacheReadInputTokens,
            std::int64_t cacheCreation1hInputTokens = 0);

// The thirteen catalogue rows, in catalogue order.
std::span<const std::pair<std::string_view, ModelPricing>> table();

} // namespace tallyglass::ModelPricingCatalog
