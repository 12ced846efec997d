#include "dashboard/UsageBlocks.h"

#include "core/IsoTime.h"
#include "dashboard/BlockReport.h"

#include "support/Instants.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>

namespace tallyglass {
namespace {

using test::t;

DashboardMessage message(
    const std::string& iso, std::int64_t output = 100, double cost = 0.5, const char* model = "claude-opus-4-6")
{
    return { t(iso.c_str()), "s", model, 0, output, 0, 0, false, cost };
}

std::vector<std::string> starts(const std::vector<UsageBlocks::Block>& blocks)
{
    std::vector<std::string> out;
    for (const auto& b : blocks)
        out.push_back(IsoTime::formatSeconds(b.start));
    return out;
}

// Histories generated from a first time and the steps after it, with the
// block starts people expect of them; each history is also given backwards,
// since the grouping must not depend on the order it is handed.
TEST(UsageBlocks, blocksStartAtTheWholeHourAndEndFiveHoursOnOrAfterAGap)
{
    using namespace std::chrono_literals;
    using Steps = std::vector<std::chrono::seconds>;
    const std::tuple<const char*, const char*, Steps, std::vector<std::string>> cases[] = {
        { "one message", "2026-12-06T10:37:12Z", {}, { "2026-12-06T10:00:00Z" } },
        { "a message on the hour starts there", "2026-12-06T10:00:00Z", {}, { "2026-12-06T10:00:00Z" } },
        { "a gap of exactly five hours from the block's start stays in it", "2026-12-06T10:00:00Z", { 5h },
            { "2026-12-06T10:00:00Z" } },
        { "a second later starts a block at that hour", "2026-12-06T10:00:00Z", { 5h + 1s },
            { "2026-12-06T10:00:00Z", "2026-12-06T15:00:00Z" } },
        { "five hours after a message past the hour is past the block", "2026-12-06T10:20:00Z", { 5h },
            { "2026-12-06T10:00:00Z", "2026-12-06T15:00:00Z" } },
        { "steady use runs from block to block", "2026-12-06T08:59:00Z", { 1h, 1h, 1h, 1h, 1h, 1h },
            { "2026-12-06T08:00:00Z", "2026-12-06T13:00:00Z" } },
        { "a block crosses midnight", "2026-12-06T22:30:00Z", { 2h, 2h, 31min },
            { "2026-12-06T22:00:00Z", "2026-12-07T03:00:00Z" } },
        { "a long quiet stretch", "2026-12-01T09:10:00Z", { 1min, 72h, 1min },
            { "2026-12-01T09:00:00Z", "2026-12-04T09:00:00Z" } },
    };
    for (const auto& [what, first, steps, expected] : cases) {
        SCOPED_TRACE(what);
        std::vector<DashboardMessage> history { message(first) };
        for (const auto step : steps)
            history.push_back(message(IsoTime::formatSeconds(history.back().timestamp + step)));
        const Instant now = t("2027-01-01T00:00:00Z");
        EXPECT_EQ(starts(UsageBlocks::group(history, now)), expected);
        std::reverse(history.begin(), history.end());
        EXPECT_EQ(starts(UsageBlocks::group(history, now)), expected);
    }
}

// Two blocks; the later one is still going at `now`. Its rate is over its
// messages: 3,000 tokens and $1.50 over the 30 minutes from 12:10 to 12:40 are
// 100 tokens a minute and $3 an hour, and the four hours left to 17:00 add
// 24,000 tokens and $12.
TEST(UsageBlocks, onlyTheBlockStillGoingHasABurnRateAndProjection)
{
    const std::vector<DashboardMessage> history {
        message("2026-12-06T03:15:00Z", 700, 2.0),
        message("2026-12-06T12:10:00Z", 1000, 0.5),
        message("2026-12-06T12:40:00Z", 2000, 1.0),
    };
    const auto blocks = UsageBlocks::group(history, t("2026-12-06T13:00:00Z"));
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_FALSE(blocks[0].active);
    EXPECT_FALSE(blocks[0].burnRate || blocks[0].projection);
    EXPECT_EQ(blocks[0].figures.messages, 1);
    const UsageBlocks::Block& going = blocks[1];
    EXPECT_TRUE(going.active);
    EXPECT_EQ(going.end, t("2026-12-06T17:00:00Z"));
    EXPECT_EQ(going.lastActivity, t("2026-12-06T12:40:00Z"));
    EXPECT_EQ(going.figures.tokens(), 3000);
    EXPECT_DOUBLE_EQ(going.burnRate->tokensPerMinute, 100.0);
    EXPECT_DOUBLE_EQ(going.burnRate->costPerHour, 3.0);
    EXPECT_EQ(going.projection->tokens, 27'000);
    EXPECT_DOUBLE_EQ(going.projection->cost, 13.5);

    // At its end the block is over, whatever its last message.
    const auto later = UsageBlocks::group(history, t("2026-12-06T17:00:00Z"));
    EXPECT_FALSE(later[1].active || later[1].burnRate);
}

// The active block of a sorted history, found from its last stretch only, is
// the one grouping the whole history finds, at any moment: before, inside and
// after each block, on its edges, and with a message dated ahead of now.
TEST(UsageBlocks, theActiveBlockFromTheLastStretchIsTheWholeHistorysOne)
{
    using namespace std::chrono_literals;
    const std::vector<std::vector<const char*>> histories = {
        {},
        {"2026-12-06T10:37:00Z"},
        {"2026-12-06T08:59:00Z", "2026-12-06T09:59:00Z", "2026-12-06T10:59:00Z", "2026-12-06T11:59:00Z", "2026-12-06T12:59:00Z",
         "2026-12-06T13:59:00Z", "2026-12-06T14:59:00Z"}, // steady use: one stretch of two blocks
        {"2026-12-01T09:10:00Z", "2026-12-04T09:11:00Z", "2026-12-04T14:12:00Z", "2026-12-04T19:30:00Z"},
        {"2026-12-06T03:15:00Z", "2026-12-06T12:10:00Z", "2026-12-06T12:40:00Z", "2026-12-06T20:00:00Z"},
    };
    for (const auto& times : histories) {
        std::vector<DashboardMessage> history;
        for (const char* time : times)
            history.push_back(message(time));
        std::vector<Instant> moments;
        for (const auto& m : history)
            for (const auto offset : std::initializer_list<std::chrono::seconds>{-1s, 0s, 1s, 59min, 4h + 59min, 5h, 5h + 1s, 6h})
                moments.push_back(m.timestamp + offset);
        for (const Instant now : moments) {
            std::optional<UsageBlocks::Block> expected;
            for (const auto& block : UsageBlocks::group(history, now))
                if (block.active)
                    expected = block;
            EXPECT_EQ(UsageBlocks::active(history, now, true), expected) << IsoTime::formatSeconds(now);
            EXPECT_EQ(UsageBlocks::active(history, now, false), expected) << IsoTime::formatSeconds(now);
        }
    }
}

// A block of messages without a price has an unknown cost, not a free one,
// in the JSON as in the table.
TEST(UsageBlocks, jsonHasEveryFieldAndNullWhereUnknown)
{
    const std::vector<DashboardMessage> history {
        message("2026-12-06T01:00:00Z", 10, 0, "claude-fable-9"),
        message("2026-12-06T12:10:00Z", 1000, 0.5),
    };
    const auto blocks = UsageBlocks::group(history, t("2026-12-06T12:40:00Z"));
    const auto json = nlohmann::json::parse(BlockReport::renderJson(blocks));
    ASSERT_EQ(json["blocks"].size(), 2u);
    const auto& unpriced = json["blocks"][0];
    EXPECT_EQ(unpriced["start"], "2026-12-06T01:00:00Z");
    EXPECT_EQ(unpriced["end"], "2026-12-06T06:00:00Z");
    EXPECT_TRUE(unpriced["costUSD"].is_null() && unpriced["burnRate"].is_null() && unpriced["projection"].is_null());
    EXPECT_EQ(unpriced["active"], false);
    const auto& active = json["blocks"][1];
    EXPECT_EQ(active["lastActivity"], "2026-12-06T12:10:00Z");
    EXPECT_EQ(active["output"], 1000);
    EXPECT_EQ(active["costUSD"], 0.5);
    EXPECT_EQ(active["burnRate"]["tokensPerMinute"], 1000.0); // one message counts as a minute
    EXPECT_EQ(active["burnRate"]["costPerHour"], 30.0);
    EXPECT_EQ(active["projection"]["tokens"], 1000 + 1000 * (4 * 60 + 20));
    for (const char* key : { "messages", "input", "cacheWritten", "cacheRead" })
        EXPECT_TRUE(active[key].is_number_integer()) << key;

    const std::string text = BlockReport::renderText(blocks, "last 7 days", DayClock::utc(), 0);
    EXPECT_NE(text.find("2026-12-06 01:00  06:00"), std::string::npos) << text;
    EXPECT_NE(text.find("\u2014"), std::string::npos) << text;
    EXPECT_NE(text.find("$30.00 an hour"), std::string::npos) << text;
}

} // namespace
} // namespace tallyglass
