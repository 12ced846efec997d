#include "app/CommandTestHome.h"

#include "support/SqlProbe.h"

#include <nlohmann/json.hpp>

namespace tallyglass {
namespace {

using nlohmann::json;

// The user's price file, as the commands read it at their start.
class PricesCommandTest : public test::CommandTestHome {
protected:
    void storeHistory()
    {
        const std::string at = test::utcHoursFromNow(-2);
        transcript(".claude/projects/-srv-shop/s1.jsonl",
                   test::assistantLine("f1", "s1", at, "claude-fable-5-20260301", 1'000'000, 1'000'000)
                       + test::assistantLine("n1", "s1", at, "claude-sonnet-4-5-20250929", 1'000'000, 0)
                       + test::assistantLine("h1", "s1", at, "claude-haiku-5-5", 10, 10)
                       + test::assistantLine("h2", "s1", at, "claude-haiku-5-5", 10, 10));
    }
    void prices(const std::string& text)
    {
        std::filesystem::create_directories(configFolder);
        std::ofstream(configFolder / "prices.json") << text;
    }
    // Cost per model identifier, as `report --json` gives it (null when unpriced).
    std::map<std::string, json> reportedCosts()
    {
        const auto result = tallyglass({"report", "--json", "--all", "--no-update"});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        std::map<std::string, json> costs;
        const json report = json::parse(result.out);
        for (const json& model : report["models"])
            costs[model["identifiers"][0].get<std::string>()] = model["costUSD"];
        return costs;
    }
};

const char* const userPrices = R"({"models": {
  "claude-fable-5": {"input": 3, "output": 15, "cacheWrite": 3.75, "cacheRead": 0.3},
  "claude-sonnet-4-5": {"input": 2, "output": 10, "cacheWrite": 2.5, "cacheRead": 0.2}
}})";

TEST_F(PricesCommandTest, theUsersPricesPriceTheHistoryAndAreListedMarkedBesideTheModelsWithout)
{
    storeHistory();
    prices(userPrices);
    const auto imported = tallyglass({"import"});
    ASSERT_EQ(imported.exitCode, 0) << imported.err;
    EXPECT_EQ(imported.err.find("prices.json"), std::string::npos) << imported.err;
    auto costs = reportedCosts();
    EXPECT_EQ(costs["claude-fable-5-20260301"], 18.0);
    EXPECT_EQ(costs["claude-sonnet-4-5-20250929"], 2.0);
    EXPECT_TRUE(costs["claude-haiku-5-5"].is_null());

    const auto text = tallyglass({"prices"});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    const std::string yours = "Yours, from ~/.config/tallyglass/prices.json:\n\n"
                              "model              input  output  cache write  1h cache write  cache read\n"
                              "claude-fable-5      3.00   15.00         3.75            6.00        0.30\n"
                              "claude-sonnet-4-5   2.00   10.00         2.50            4.00        0.20\n"
                              "\nIn place of the built-in row of claude-sonnet-4-5.\n";
    for (const std::string& part : {yours,
                                    std::string("claude-sonnet-4-0   3.00   15.00         3.75            6.00        0.30\n"
                                                "  over 200k input   6.00   22.50         7.50           12.00        0.60\n"),
                                    std::string("Seen without a price (their cost is not in the figures):\n\n"
                                                "model             messages\n"
                                                "claude-haiku-5-5         2\n")})
        EXPECT_NE(text.out.find(part), std::string::npos) << part << "\n" << text.out;
    EXPECT_EQ(text.out.find("claude-sonnet-4-5   3.00"), std::string::npos) << "the built-in row it replaces";

    const json listed = json::parse(tallyglass({"prices", "--json"}).out);
    EXPECT_EQ(listed["problem"], nullptr);
    EXPECT_EQ(listed["models"][0],
              json::parse(R"({"model": "claude-fable-5", "source": "user", "replacesBuiltIn": false, "input": 3.0,
                  "output": 15.0, "cacheWrite": 3.75, "cacheWrite1h": 6.0, "cacheRead": 0.3, "longContext": null})"));
    EXPECT_EQ(listed["models"][1]["replacesBuiltIn"], true);
    EXPECT_EQ(listed["unpriced"], json::parse(R"([{"model": "claude-haiku-5-5", "messages": 2}])"));

    // A broken file: named with its line and reason, the built-in list in use,
    // and nothing stored changed (the report reads the costs stored).
    prices(R"({"models": {"claude-fable-5": {"input": "3", "output": 15, "cacheWrite": 3.75, "cacheRead": 0.3}}})");
    const std::string said = "~/.config/tallyglass/prices.json line 1: expected a number for 'input'";
    const auto report = tallyglass({"report", "--all"});
    EXPECT_EQ(report.exitCode, 0);
    EXPECT_NE(report.err.find(said), std::string::npos) << report.err;
    EXPECT_EQ(test::SqlProbe(configFolder / "app.db").rows("SELECT messageId || '|' || cost FROM messages ORDER BY 1"),
              (std::vector<std::string>{"f1|18.0", "h1|0.0", "h2|0.0", "n1|2.0"}));
    const auto broken = tallyglass({"prices", "--json"});
    EXPECT_EQ(broken.exitCode, 1);
    EXPECT_EQ(json::parse(broken.out)["problem"], said);
    EXPECT_EQ(json::parse(broken.out)["models"][0]["source"], "built-in");

    // Taken away, the built-in list prices the history again at the next start of a writer.
    std::filesystem::remove(configFolder / "prices.json");
    ASSERT_EQ(tallyglass({"import"}).exitCode, 0);
    costs = reportedCosts();
    EXPECT_TRUE(costs["claude-fable-5-20260301"].is_null());
    EXPECT_EQ(costs["claude-sonnet-4-5-20250929"], 6.0); // over 200,000 input tokens
}

} // namespace
} // namespace tallyglass
