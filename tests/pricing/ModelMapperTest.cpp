#include "pricing/DisplayNameCache.h"
#include "pricing/ModelMapper.h"
#include "pricing/ModelPricingCatalog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <regex>

namespace tallyglass {
namespace {

using ModelMapper::displayName;
using ModelMapper::PaletteEntry;

// Every shape of identifier the API has used, and what is near them, with the
// name, catalogue key and standard input and output prices each must get.
TEST(ModelMapper, identifiersGetTheirNameKeyAndPrice)
{
    // Identifier, name, key, and input and output in $ per million tokens (nothing: not priced).
    using Prices = std::optional<std::pair<double, double>>;
    const std::tuple<std::optional<std::string>, std::string, std::optional<std::string>, Prices> cases[] = {
        {"claude-opus-4-6", "Opus 4.6", "claude-opus-4-6", {{5, 25}}},
        {"claude-sonnet-4-5-20250929", "Sonnet 4.5", "claude-sonnet-4-5", {{3, 15}}},
        {"claude-haiku-4-5-20251001", "Haiku 4.5", "claude-haiku-4-5", {{1, 5}}},
        {"claude-opus-4-1-1", "Opus 4.1", "claude-opus-4-1", {{15, 75}}}, // any digits after two numbers
        {"claude-opus-5", "Opus 5.0", "claude-opus-5-0", {{5, 25}}},
        {"claude-opus-5-5", "Opus 5.5", "claude-opus-5-5", {{4, 20}}},
        {"claude-sonnet-5", "Sonnet 5.0", "claude-sonnet-5-0", {{2, 10}}},
        // One version number and a date: version N.0.
        {"claude-sonnet-4-20250514", "Sonnet 4.0", "claude-sonnet-4-0", {{3, 15}}},
        {"claude-opus-4-20250514", "Opus 4.0", "claude-opus-4-0", {{15, 75}}},
        // The Claude 3 order.
        {"claude-3-7-sonnet-20250219", "Sonnet 3.7", "claude-sonnet-3-7", {{3, 15}}},
        {"claude-3-5-sonnet-20241022", "Sonnet 3.5", "claude-sonnet-3-5", {{3, 15}}},
        {"claude-3-5-haiku-20241022", "Haiku 3.5", "claude-haiku-3-5", {{0.8, 4}}},
        {"claude-3-opus-20240229", "Opus 3.0", "claude-opus-3-0", {{15, 75}}},
        {"claude-3-haiku-20240307", "Haiku 3.0", "claude-haiku-3-0", {{0.25, 1.25}}},
        {"claude-3-5-sonnet", "Sonnet 3.5", "claude-sonnet-3-5", {{3, 15}}},
        // Any case names the model; only the identifiers' own lower case is priced, as ever.
        {"Claude-Sonnet-4-5-20250929", "Sonnet 4.5", "Claude-Sonnet-4-5", std::nullopt},
        {"CLAUDE-3-5-SONNET-20241022", "Sonnet 3.5", "CLAUDE-SONNET-3-5", std::nullopt},
        {"claude-3-5-SONNET-20241022", "Sonnet 3.5", "claude-SONNET-3-5", std::nullopt},
        // Known shapes of unknown versions: a name, no price.
        {"claude-opus-4-8", "Opus 4.8", "claude-opus-4-8", std::nullopt},
        {"claude-opus-04-010", "Opus 04.010", "claude-opus-04-010", std::nullopt},
        {"claude-sonnet-4-2025051", "Sonnet 4.2025051", "claude-sonnet-4-2025051", std::nullopt}, // not a date
        // Malformed dates and other makers.
        {"claude-3-5-sonnet-2024102", "Other", std::nullopt, std::nullopt},
        {"claude-3-5-sonnet-20241022-1", "Other", std::nullopt, std::nullopt},
        {"claude-3-5", "Other", std::nullopt, std::nullopt},
        {"claude-fable-5-1", "Other", std::nullopt, std::nullopt},
        {"gpt-4o", "Other", std::nullopt, std::nullopt},
        {"claude-opus-4-6-", "Other", std::nullopt, std::nullopt},
        {"claude-opus-4-6-2025-01", "Other", std::nullopt, std::nullopt},
        {" claude-opus-4-6", "Other", std::nullopt, std::nullopt},
        // Claude Code's own messages: a name of their own, never a price.
        {"<synthetic>", "Synthetic", std::nullopt, std::nullopt},
        {"<Synthetic>", "Other", std::nullopt, std::nullopt},
        {"", "Other", std::nullopt, std::nullopt},
        {std::nullopt, "Other", std::nullopt, std::nullopt},
    };
    for (const auto& [identifier, name, key, inputOutput] : cases) {
        SCOPED_TRACE(identifier.value_or("<absent>"));
        const auto id = identifier ? std::optional<std::string_view>(*identifier) : std::nullopt;
        EXPECT_EQ(displayName(id), name);
        EXPECT_EQ(id ? ModelMapper::catalogueKey(*id) : std::nullopt, key);
        const auto pricing = id ? ModelPricingCatalog::price(*id) : std::nullopt;
        EXPECT_EQ(pricing ? Prices(std::pair(pricing->inputPerMTok, pricing->outputPerMTok)) : std::nullopt, inputOutput);
        EXPECT_EQ(ModelPricingCatalog::isPriced(id), inputOutput.has_value());
    }
}

// The reference: the shapes as regular expressions, run by a regex engine.
// Identifiers are generated from pieces on and around every boundary.
TEST(ModelMapper, theHandMatcherAgreesWithTheExpressionsOnGeneratedIdentifiers)
{
    const auto icase = std::regex::icase;
    const std::regex twoNumbersAndMore(R"(^(claude)-(opus|sonnet|haiku)-(\d+)-(\d+)-\d+$)", icase);
    const std::regex numberAndDate(R"(^(claude)-(opus|sonnet|haiku)-(\d+)-\d{8}$)", icase);
    const std::regex twoNumbers(R"(^(claude)-(opus|sonnet|haiku)-(\d+)-(\d+)$)", icase);
    const std::regex oneNumber(R"(^(claude)-(opus|sonnet|haiku)-(\d+)$)", icase);
    const std::regex versionFirst(R"(^(claude)-(\d+)(?:-(\d+))?-(opus|sonnet|haiku)(?:-\d{8})?$)", icase);

    const std::vector<std::string> prefixes = {"claude-", "Claude-", "CLAUDE-", "claude", "claude--", "xclaude-", "", "claude_", "cLaUdE-"};
    const std::vector<std::string> families = {"opus", "sonnet", "haiku", "OPUS", "Sonnet", "hAiKu", "opu", "sonnets", "gpt", "", "haiku4"};
    const std::vector<std::string> separators = {"-", "-", "-", "", "--", "_", " "};
    const std::vector<std::string> numbers = {"4", "10", "20250929", "5", "007", "", "x", "3a", "\xD9\xA3", "0", "2025092"};

    // Each list starts with its well-formed pieces; they are picked more often
    // so that about half the identifiers sit just on the matching side.
    std::mt19937 random(20261206);
    const auto pick = [&](const std::vector<std::string>& from) {
        const std::size_t wellFormed = std::min<std::size_t>(3, from.size());
        if (random() % 10 < 8)
            return from[random() % wellFormed];
        return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
    };
    const auto table = ModelPricingCatalog::table();
    int matched = 0;
    for (int i = 0; i < 60000; ++i) {
        std::string id;
        if (random() % 3 == 0) {
            id = pick(prefixes) + pick(numbers) + pick(separators) + pick(numbers) + pick(separators) + pick(families);
        } else {
            id = pick(prefixes) + pick(families) + pick(separators) + pick(numbers);
            if (random() % 4)
                id += pick(separators) + pick(numbers);
        }
        if (random() % 2)
            id += pick(separators) + pick(numbers);
        if (random() % 8 == 0 && !id.empty())
            id[random() % id.size()] = "-0aZ\n"[random() % 5];

        std::smatch m;
        std::optional<std::array<std::string, 4>> expected; // maker, family, major, minor
        if (std::regex_match(id, m, twoNumbersAndMore) || std::regex_match(id, m, twoNumbers))
            expected = {m[1].str(), m[2].str(), m[3].str(), m[4].str()};
        if (std::regex_match(id, m, numberAndDate) || std::regex_match(id, m, oneNumber))
            expected = {m[1].str(), m[2].str(), m[3].str(), "0"};
        if (std::regex_match(id, m, versionFirst))
            expected = {m[1].str(), m[4].str(), m[2].str(), m[3].matched ? m[3].str() : "0"};

        std::string expectedName = "Other";
        std::optional<std::string> expectedKey;
        if (expected) {
            ++matched;
            auto& [maker, family, major, minor] = *expected;
            expectedKey = maker + "-" + family + "-" + major + "-" + minor;
            std::transform(family.begin(), family.end(), family.begin(), [](unsigned char ch) { return std::tolower(ch); });
            family[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(family[0])));
            expectedName = family + " " + major + "." + minor;
        }
        ASSERT_EQ(displayName(id), expectedName) << id;
        ASSERT_EQ(ModelMapper::catalogueKey(id), expectedKey) << id;

        // A catalogue identifier is its own key, so the key alone finds the row.
        const auto row = std::ranges::find_if(table, [&](const auto& r) { return expectedKey && r.identifier == *expectedKey; });
        ASSERT_EQ(ModelPricingCatalog::price(id), row == table.end() ? std::nullopt : std::optional(row->standard)) << id;
    }
    // The generator must reach the interesting side of the boundary often.
    EXPECT_GT(matched, 10000);
}

TEST(ModelMapper, presentationOrderIsFamilyThenNewestFirstAndThePaletteFadesWithinAFamily)
{
    EXPECT_EQ(ModelMapper::sortedKeys({"Opus 4.1", "Opus 4.7", "Opus 4.6"}),
              (std::vector<std::string>{"Opus 4.7", "Opus 4.6", "Opus 4.1"}));
    // Textual, not numeric; and names of rank 3 sort among themselves the same way.
    EXPECT_EQ(ModelMapper::sortedKeys({"Sonnet 10.0", "Sonnet 4.6"}), (std::vector<std::string>{"Sonnet 4.6", "Sonnet 10.0"}));
    EXPECT_EQ(ModelMapper::sortedKeys({"Other", "Mistral", "Other"}), (std::vector<std::string>{"Other", "Other", "Mistral"}));
    EXPECT_TRUE(ModelMapper::sortedKeys({}).empty());

    // The palette keeps the order it is given: each family its colour, fading with each further name.
    const auto names = ModelMapper::sortedKeys({"Other", "Opus 4.6", "Sonnet 4.5", "Haiku 4.5", "Sonnet 4.6"});
    EXPECT_EQ(ModelMapper::palette(names), (std::vector<PaletteEntry>{{"Haiku 4.5", "cyan", 1.0},
                                                                      {"Sonnet 4.6", "green", 1.0},
                                                                      {"Sonnet 4.5", "green", 0.75},
                                                                      {"Opus 4.6", "orange", 1.0},
                                                                      {"Other", "gray", 1.0}}));
    std::vector<double> opacities;
    for (const auto& entry : ModelMapper::palette({"Sonnet 5.0", "Sonnet 4.6", "Sonnet 4.5", "Sonnet 4.0", "Sonnet 3.7"}))
        opacities.push_back(entry.opacity);
    EXPECT_EQ(opacities, (std::vector<double>{1.0, 0.75, 0.5, 0.4, 0.4}));
}

TEST(DisplayNameCache, answersLikeTheMapperForRepeatedAndInterleavedIdentifiers)
{
    DisplayNameCache cache;
    const std::vector<std::string> ids = {"claude-opus-4-6", "claude-opus-4-6", "", "claude-haiku-4-5-20251001",
                                          "claude-opus-4-6", "gpt", "claude-haiku-4-5-20251001"};
    for (int round = 0; round < 2; ++round) {
        for (const std::string& id : ids)
            EXPECT_EQ(cache(id), displayName(id)) << id;
    }
}

} // namespace
} // namespace tallyglass
