#include "pricing/ModelPricingCatalog.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using ModelPricingCatalog::cost;
using ModelPricingCatalog::price;

TEST(ModelPricingCatalog, holdsThePublishedPrices)
{
    const std::pair<const char*, ModelPricing> rows[] = {
        {"claude-opus-5-5", {4, 20, 5, 8, 0.4}},          {"claude-opus-5-0", {5, 25, 6.25, 10, 0.5}},
        {"claude-opus-4-7", {5, 25, 6.25, 10, 0.5}},      {"claude-opus-4-6", {5, 25, 6.25, 10, 0.5}},
        {"claude-opus-4-5", {5, 25, 6.25, 10, 0.5}},      {"claude-opus-4-1", {15, 75, 18.75, 30, 1.5}},
        {"claude-opus-4-0", {15, 75, 18.75, 30, 1.5}},    {"claude-opus-3-0", {15, 75, 18.75, 30, 1.5}},
        {"claude-sonnet-5-5", {2, 10, 2.5, 4, 0.2}},      {"claude-sonnet-5-0", {2, 10, 2.5, 4, 0.2}},
        {"claude-sonnet-4-6", {3, 15, 3.75, 6, 0.3}},     {"claude-sonnet-4-5", {3, 15, 3.75, 6, 0.3}},
        {"claude-sonnet-4-0", {3, 15, 3.75, 6, 0.3}},     {"claude-sonnet-3-7", {3, 15, 3.75, 6, 0.3}},
        {"claude-sonnet-3-5", {3, 15, 3.75, 6, 0.3}},     {"claude-haiku-4-5", {1, 5, 1.25, 2, 0.1}},
        {"claude-haiku-3-5", {0.8, 4, 1, 1.6, 0.08}},     {"claude-haiku-3-0", {0.25, 1.25, 0.3, 0.5, 0.03}},
    };
    ASSERT_EQ(ModelPricingCatalog::table().size(), std::size(rows));
    for (const auto& [id, pricing] : rows) {
        SCOPED_TRACE(id);
        EXPECT_EQ(price(id), pricing);
        EXPECT_EQ(price(std::string(id) + "-20250929"), pricing);
    }
}

// Above 200,000 input tokens in one request (fresh, cache writes and cache
// reads together), Sonnet 4 and 4.5 bill every category at their long-context
// rates; at 200,000 and below, and for other models, the standard ones apply.
TEST(ModelPricingCatalog, costsMatchHandComputedFigures)
{
    struct Case {
        const char* model;
        std::int64_t input, output, cacheWrite, cacheRead, cacheWrite1h;
        double dollars;
    };
    const Case cases[] = {
        // (3,000 + 7,500 + 7,500 + 3,000) / 1e6
        {"claude-sonnet-4-6", 1000, 500, 2000, 10000, 0, 0.021},
        // Same message, 1,500 of the 2,000 writes with the one-hour lifetime:
        // (3,000 + 7,500 + 500*3.75 + 1,500*6 + 3,000) / 1e6 = 24,375 / 1e6
        {"claude-sonnet-4-6", 1000, 500, 2000, 10000, 1500, 0.024375},
        // One-hour share larger than the writes is held to the writes: 2,000*6.
        {"claude-sonnet-4-6", 0, 0, 2000, 0, 5000, 0.012},
        {"claude-opus-4-6", 1'000'000, 0, 0, 0, 0, 5.0},
        {"claude-opus-4-1", 1'000'000, 0, 0, 0, 0, 15.0},
        {"claude-opus-4-1", 0, 1'000'000, 0, 0, 0, 75.0},
        {"claude-haiku-3-0", 0, 0, 1'000'000, 1'000'000, 0, 0.33},
        {"claude-haiku-4-5-20251001", 2000, 100, 0, 0, 0, 0.0025},
        {"claude-opus-4-6", 0, 0, 0, 0, 0, 0.0},
        // Long context: 200,000 is still standard, one more token is not.
        {"claude-sonnet-4-5-20250929", 100'000, 1'000, 50'000, 50'000, 0, (300'000 + 15'000 + 187'500 + 15'000) / 1e6},
        {"claude-sonnet-4-5-20250929", 100'001, 1'000, 50'000, 50'000, 0, (600'006 + 22'500 + 375'000 + 30'000) / 1e6},
        {"claude-sonnet-4-20250514", 0, 1'000'000, 150'000, 50'001, 50'000, (22'500'000 + 750'000 + 600'000 + 30'000.6) / 1e6},
        {"claude-sonnet-4-6", 300'000, 0, 0, 0, 0, 0.9},
        {"claude-opus-4-6", 300'000, 0, 0, 0, 0, 1.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.model) + " " + std::to_string(c.input + c.cacheWrite + c.cacheRead));
        EXPECT_DOUBLE_EQ(cost(std::string_view(c.model), c.input, c.output, c.cacheWrite, c.cacheRead, c.cacheWrite1h), c.dollars);
    }
    EXPECT_EQ(cost(std::string_view("gpt-4o"), 1000, 1000, 1000, 1000), 0.0);
    EXPECT_EQ(cost(std::nullopt, 1000, 1000, 1000, 1000), 0.0);
}

TEST(ModelPricingCatalog, withoutOneHourWritesTheFigureIsTheClassicFormulaBitForBit)
{
    // The exact order of the sum matters for stored costs compared across versions.
    const std::int64_t counts[][4] = {{1, 2, 3, 4}, {123457, 98765, 4567891, 12345678}, {7, 0, 999999999, 3}};
    for (const auto& n : counts) {
        const double classic = ((static_cast<double>(n[0]) * 5 + static_cast<double>(n[1]) * 25)
                                + static_cast<double>(n[2]) * 6.25 + static_cast<double>(n[3]) * 0.5) / 1'000'000;
        EXPECT_EQ(cost(std::string_view("claude-opus-4-6"), n[0], n[1], n[2], n[3]), classic);
    }
}

TEST(ModelPricingCatalog, absurdCountsNeverCrashPricing)
{
    EXPECT_LT(cost(std::string_view("claude-opus-4-6"), -1000, 0, 0, 0), 0.0);
    EXPECT_GT(cost(std::string_view("claude-opus-4-6"), INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX), 1e13);
    EXPECT_EQ(cost(std::string_view("claude-opus-4-6"), 0, 0, INT64_MIN, 0, INT64_MAX),
              static_cast<double>(INT64_MIN) * 6.25 / 1e6);
}

} // namespace
} // namespace tallyglass
