#include "pricing/DisplayNameCache.h"
#include "pricing/ModelMapper.h"
#include "pricing/ModelPricingCatalog.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>

namespace tallyglass {
namespace {

using ModelMapper::displayName;
using ModelMapper::PaletteEntry;

TEST(ModelMapper, displayNamesFollowTheIdentifierShape)
{
    struct Case {
        std::optional<std::string> identifier;
        std::string name;
    };
    const Case cases[] = {
        {"claude-opus-4-6", "Opus 4.6"},
        {"claude-sonnet-4-5-20250929", "Sonnet 4.5"},
        {"Claude-Sonnet-4-5-20250929", "Sonnet 4.5"},
        {"CLAUDE-HAIKU-4-5", "Haiku 4.5"},
        {"claude-opus-04-010", "Opus 04.010"},
        {"claude-sonnet-4-20250514", "Sonnet 4.20250514"}, // one version number: the date becomes the minor
        {"claude-3-5-sonnet-20241022", "Other"},
        {"gpt-4o", "Other"},
        {"claude-opus-4-6-", "Other"},
        {"claude-opus-4-6-2025-01", "Other"},
        {"claude-opus-4", "Other"},
        {" claude-opus-4-6", "Other"},
        {"", "Other"},
        {std::nullopt, "Other"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.identifier.value_or("<absent>"));
        EXPECT_EQ(displayName(c.identifier ? std::optional<std::string_view>(*c.identifier) : std::nullopt), c.name);
    }
}

// The reference: the two expressions, run by a regex engine. Identifiers are
// generated from pieces that sit on and around every boundary of the shape.
TEST(ModelMapper, theHandMatcherAgreesWithTheExpressionsOnGeneratedIdentifiers)
{
    const std::regex display(R"(^claude-(opus|sonnet|haiku)-(\d+)-(\d+)(?:-\d+)?$)", std::regex::icase);
    const std::regex suffix(R"(^(claude-(?:opus|sonnet|haiku)-\d+-\d+)-\d+$)", std::regex::icase);

    const std::vector<std::string> prefixes = {"claude-", "Claude-", "CLAUDE-", "claude", "claude--", "xclaude-", "", "claude_", "cLaUdE-"};
    const std::vector<std::string> families = {"opus", "sonnet", "haiku", "OPUS", "Sonnet", "hAiKu", "opu", "sonnets", "gpt", "", "haiku4"};
    const std::vector<std::string> separators = {"-", "-", "-", "", "--", "_", " "};
    const std::vector<std::string> numbers = {"4", "10", "20250929", "007", "", "x", "3a", "\xD9\xA3", "0"};

    // Each list starts with its well-formed pieces; they are picked more often
    // so that about half the identifiers sit just on the matching side.
    std::mt19937 random(20261206);
    const auto pick = [&](const std::vector<std::string>& from) {
        const std::size_t wellFormed = std::min<std::size_t>(3, from.size());
        if (random() % 10 < 8)
            return from[random() % wellFormed];
        return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
    };
    int matched = 0;
    for (int i = 0; i < 60000; ++i) {
        std::string id = pick(prefixes) + pick(families) + pick(separators) + pick(numbers) + pick(separators) + pick(numbers);
        if (random() % 2)
            id += pick(separators) + pick(numbers);
        if (random() % 8 == 0 && !id.empty())
            id[random() % id.size()] = "-0aZ\n"[random() % 5];

        std::smatch m;
        const bool expectMatch = std::regex_match(id, m, display);
        std::string expectedName = "Other";
        if (expectMatch) {
            ++matched;
            std::string family = m[1].str();
            for (char& ch : family)
                ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            family[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(family[0])));
            expectedName = family + " " + m[2].str() + "." + m[3].str();
        }
        ASSERT_EQ(displayName(id), expectedName) << id;

        std::smatch s;
        std::string key = id;
        if (!ModelPricingCatalog::table().empty() && std::regex_match(id, s, suffix))
            key = s[1].str();
        std::optional<ModelPricing> expectedPrice;
        for (const auto& [identifier, pricing] : ModelPricingCatalog::table()) {
            if (identifier == id || identifier == key) {
                expectedPrice = pricing;
                break;
            }
        }
        ASSERT_EQ(ModelPricingCatalog::price(id), expectedPrice) << id;
    }
    // The generator must reach the interesting side of the boundary often.
    EXPECT_GT(matched, 10000);
}

TEST(ModelMapper, presentationOrderIsFamilyThenNewestFirst)
{
    EXPECT_EQ(ModelMapper::sortedKeys({"Other", "Opus 4.6", "Sonnet 4.5", "Haiku 4.5", "Sonnet 4.6"}),
              (std::vector<std::string>{"Haiku 4.5", "Sonnet 4.6", "Sonnet 4.5", "Opus 4.6", "Other"}));
    EXPECT_EQ(ModelMapper::sortedKeys({"Opus 4.1", "Opus 4.7", "Opus 4.6"}),
              (std::vector<std::string>{"Opus 4.7", "Opus 4.6", "Opus 4.1"}));
    // Textual, not numeric; and names of rank 3 sort among themselves the same way.
    EXPECT_EQ(ModelMapper::sortedKeys({"Sonnet 10.0", "Sonnet 4.6"}), (std::vector<std::string>{"Sonnet 4.6", "Sonnet 10.0"}));
    EXPECT_EQ(ModelMapper::sortedKeys({"Other", "Mistral", "Other"}), (std::vector<std::string>{"Other", "Other", "Mistral"}));
    EXPECT_TRUE(ModelMapper::sortedKeys({}).empty());
}

TEST(ModelMapper, paletteGivesEachFamilyItsColourFadingWithEachFurtherName)
{
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
