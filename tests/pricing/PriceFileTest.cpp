#include "pricing/PriceFile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace tallyglass {
namespace {

using PriceFile::Problem;

const ModelPricing fable{3, 15, 3.75, 6, 0.3};

TEST(PriceFile, theFormsAUserWritesGiveTheirEntriesWithTheOneHourRateTwiceTheInputWhenLeftOut)
{
    const struct {
        const char* text;
        std::vector<PriceList::Entry> entries;
    } cases[] = {
        {R"({"models": {"claude-fable-5": {"input": 3, "output": 15, "cacheWrite": 3.75, "cacheWrite1h": 6, "cacheRead": 0.3}}})",
         {{"claude-fable-5", fable, std::nullopt}}},
        {R"({"models": {"claude-fable-5": {"cacheRead": 3e-1, "input": 3.0, "output": 15, "cacheWrite": 3.75}}})",
         {{"claude-fable-5", fable, std::nullopt}}},
        {R"({"models": {"a": {"input": 0, "output": 0, "cacheWrite": 0, "cacheRead": 0,
                              "longContext": {"input": 6, "output": 22.5, "cacheWrite": 7.5, "cacheRead": 0.6}},
                        "b": {"input": 1000000, "output": 1, "cacheWrite": 1, "cacheRead": 1, "cacheWrite1h": 0}}})",
         {{"a", {0, 0, 0, 0, 0}, ModelPricing{6, 22.5, 7.5, 12, 0.6}}, {"b", {1000000, 1, 1, 0, 1}, std::nullopt}}},
        {"\xef\xbb\xbf{\"models\": {}}", {}},
        {" \r\n{\"models\": {}} \n", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const PriceFile::Parsed parsed = PriceFile::parse(c.text);
        EXPECT_EQ(parsed.problem, std::nullopt);
        EXPECT_EQ(parsed.entries, c.entries);
    }
}

// A price that is not what the user meant is refused with the line to look at:
// read as something else, it would price a whole history wrongly without a word.
TEST(PriceFile, aFileThatIsNotAPriceListIsRefusedWithItsLineAndTheReason)
{
    const char* const fields = R"("output": 15, "cacheWrite": 3.75, "cacheRead": 0.3)";
    const auto model = [&](const std::string& inside) {
        return std::string(R"({"models": {"claude-fable-5": {)") + inside + "}}}";
    };
    const struct {
        std::string text;
        Problem problem;
    } cases[] = {
        {model(R"("input": "3", )" + std::string(fields)), {1, "expected a number for 'input'"}},
        {model(R"("input": null, )" + std::string(fields)), {1, "expected a number for 'input'"}},
        {model(R"("input": -3, )" + std::string(fields)), {1, "a negative price for 'input'"}},
        {model(R"("input": 3e7, )" + std::string(fields)),
         {1, "the price for 'input' is beyond any price (at most 1000000 per million tokens)"}},
        {model(R"("input": 3, "cacheRaed": 0.3, )" + std::string(fields)),
         {1, "unknown field 'cacheRaed' in 'claude-fable-5' (the fields are input, output, cacheWrite, cacheWrite1h, "
             "cacheRead and longContext)"}},
        {model(R"("input": 3, "output": 15, "cacheWrite": 3.75)"), {1, "'claude-fable-5' has no 'cacheRead'"}},
        {model(R"("input": 3, "input": 4, )" + std::string(fields)), {1, "'input' appears twice in 'claude-fable-5'"}},
        {model(R"("input": 3, "longContext": 6, )" + std::string(fields)), {1, "expected an object for 'longContext'"}},
        {model(R"("input": 3, "longContext": {"input": 1, "longContext": {}}, )" + std::string(fields)),
         {1, "unknown field 'longContext' in 'longContext' (the fields are input, output, cacheWrite, cacheWrite1h, "
             "cacheRead)"}},
        {"{\"models\": {\n  \"claude-fable-5\": {\n    \"input\": 3,\n    \"output\": true,\n", {5, ""}},
        {"{\"models\": {\n  \"claude-fable-5\": {\n    \"input\": 3,\n    \"output\": true, \"cacheWrite\": 1, \"cacheRead\": 1}}}",
         {4, "expected a number for 'output'"}},
        {"{\"models\": {\n  \"x\": 3\n}}", {2, "expected an object for 'x'"}},
        {"{\"models\": {\"x\": {}, \"\": {}}}", {1, "'x' has no 'input'"}},
        {"{\"models\": {\"\": {}}}", {1, "a model without a name"}},
        {"{\"models\": {\"x\": {\"input\":1,\"output\":1,\"cacheWrite\":1,\"cacheRead\":1},\n"
         " \"x\": {\"input\":1,\"output\":1,\"cacheWrite\":1,\"cacheRead\":1}}}",
         {2, "'x' appears twice"}},
        {"{\"models\": []}", {1, "expected an object for 'models'"}},
        {"{\n\"model\": {}\n}", {2, "unknown field 'model' (the file holds only 'models')"}},
        {"{}", {1, "expected 'models'"}},
        {"[]", {1, "expected an object holding 'models'"}},
        {"", {1, ""}},
        {"{\"models\": {}}\n{}", {2, ""}},
        {"{\"models\": {\"x\xff\": {}}}", {1, ""}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const PriceFile::Parsed parsed = PriceFile::parse(c.text);
        ASSERT_TRUE(parsed.problem);
        EXPECT_TRUE(parsed.entries.empty());
        EXPECT_EQ(parsed.problem->line, c.problem.line);
        // Syntax errors are said in the JSON reader's words; the rest in ours.
        if (c.problem.reason.empty())
            EXPECT_TRUE(parsed.problem->reason.starts_with("not valid JSON: ")) << parsed.problem->reason;
        else
            EXPECT_EQ(parsed.problem->reason, c.problem.reason);
    }
}

TEST(PriceFile, noFileIsTheBuiltInListAndAnUnreadableOneIsNamedAndChangesNothingStored)
{
    const auto folder = test::freshDirectory();
    const auto path = folder / "prices.json";
    const auto none = PriceFile::load(path, "~/prices.json");
    EXPECT_EQ(none.problem, std::nullopt);
    EXPECT_TRUE(none.list->own().empty());
    EXPECT_TRUE(none.list->repricesStored());

    std::ofstream(path) << R"({"models": {"claude-fable-5": {"input": "3"}}})";
    const auto bad = PriceFile::load(path, "~/.config/tallyglass/prices.json");
    EXPECT_EQ(bad.problem, "~/.config/tallyglass/prices.json line 1: expected a number for 'input'");
    EXPECT_TRUE(bad.list->own().empty());
    EXPECT_FALSE(bad.list->repricesStored());

    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    const auto folderInstead = PriceFile::load(path, "~/prices.json");
    EXPECT_EQ(folderInstead.problem, "~/prices.json: cannot be read: not a file");
    EXPECT_FALSE(folderInstead.list->repricesStored());

    std::filesystem::remove(path);
    std::ofstream(path) << R"({"models": {"claude-fable-5": {"input": 3, "output": 15, "cacheWrite": 3.75, "cacheRead": 0.3}}})";
    const auto good = PriceFile::load(path, "~/prices.json");
    EXPECT_EQ(good.problem, std::nullopt);
    ASSERT_EQ(good.list->own().size(), 1u);
    EXPECT_EQ(good.list->own()[0].standard, fable);
}

// The user's entries over the built-in rows: an exact name first, then the
// key a name has with its date dropped (the built-in list's own key for the
// shapes it knows), then the built-in rows.
TEST(PriceList, aNameIsPricedByTheUsersEntryOfItsNameOrKeyBeforeTheBuiltInRow)
{
    const PriceList list({
        {"claude-fable-5", fable, std::nullopt},
        {"claude-sonnet-4-5", {1, 2, 3, 4, 5}, ModelPricing{10, 20, 30, 40, 50}},
        {"claude-haiku-4-5-20251001", {7, 7, 7, 7, 7}, std::nullopt},
        {"my-model-20240101", {9, 9, 9, 9, 9}, std::nullopt},
    });
    const struct {
        const char* identifier;
        std::optional<double> inputPrice;
        bool own;
    } cases[] = {
        {"claude-fable-5", 3, true},
        {"claude-fable-5-20260301", 3, true},
        {"claude-fable-5-2026030", std::nullopt, false},
        {"Claude-Fable-5", std::nullopt, false},
        {"claude-fable-50", std::nullopt, false},
        {"claude-sonnet-4-5", 1, true},
        {"claude-sonnet-4-5-20250929", 1, true},
        {"claude-haiku-4-5", 7, true},
        {"claude-haiku-4-5-20251001", 7, true},
        {"my-model", 9, true},
        {"my-model-20250505", 9, true},
        {"claude-opus-4-6", 5, false},
        {"claude-3-5-haiku-20241022", 0.8, false},
        {"gpt-4o", std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.identifier);
        const auto found = list.find(c.identifier);
        ASSERT_EQ(found.has_value(), c.inputPrice.has_value());
        if (found) {
            EXPECT_EQ(found->standard->inputPerMTok, *c.inputPrice);
            EXPECT_EQ(found->own != nullptr, c.own);
        }
    }
    // The long-context rates of an entry price a request over 200,000 input tokens, every category.
    EXPECT_DOUBLE_EQ(list.cost("claude-sonnet-4-5", 200'000, 1'000'000, 0, 0), 0.2 + 2);
    EXPECT_DOUBLE_EQ(list.cost("claude-sonnet-4-5", 200'001, 1'000'000, 0, 0), 2.00001 + 20);
    EXPECT_DOUBLE_EQ(list.cost("claude-fable-5", 1'000'000, 0, 2'000'000, 0, 1'000'000), 3 + 3.75 + 6);
    EXPECT_EQ(list.cost("claude-fable-5-x", 1'000'000, 0, 0, 0), 0);
    // The built-in row a user's entry takes the place of.
    const auto table = ModelPricingCatalog::table();
    int replaced = 0;
    for (const auto& row : table)
        replaced += list.replacing(row) != nullptr;
    EXPECT_EQ(replaced, 2);
}

TEST(PriceList, anyChangeOfTheEntriesIsAnotherVersionAndTheSameEntriesTheSameOne)
{
    const PriceList builtIn;
    const PriceList one({{"claude-fable-5", fable, std::nullopt}});
    EXPECT_EQ(builtIn.version(), ModelPricingCatalog::version);
    EXPECT_EQ(PriceList(std::vector<PriceList::Entry>{}).version(), ModelPricingCatalog::version);
    EXPECT_EQ(PriceList({{"claude-fable-5", fable, std::nullopt}}).version(), one.version());
    const std::vector<PriceList> others = {
        PriceList({{"claude-fable-5", {3, 15, 3.75, 6, 0.31}, std::nullopt}}),
        PriceList({{"claude-fable-5", fable, fable}}),
        PriceList({{"claude-fable-6", fable, std::nullopt}}),
        PriceList({{"claude-fable-5", fable, std::nullopt}, {"claude-fable-6", fable, std::nullopt}}),
    };
    std::set<std::int64_t> versions{builtIn.version(), one.version()};
    for (const PriceList& other : others) {
        EXPECT_GT(other.version(), 255);
        versions.insert(other.version());
    }
    EXPECT_EQ(versions.size(), 2 + others.size());
    EXPECT_TRUE(one.repricesStored());
    EXPECT_FALSE(PriceList::standingIn().repricesStored());
}

} // namespace
} // namespace tallyglass
