#include "core/SharedText.h"
#include "dashboard/DashboardAggregator.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

TEST(SharedText, internedTextsShareOneAllocationAndCompareByContent)
{
    TextInterner intern;
    const SharedText a = intern("claude-opus-4-6");
    const SharedText b = intern(std::string("claude-opus-") + "4-6");
    EXPECT_EQ(a.identity(), b.identity());
    EXPECT_NE(intern("claude-opus-4-1").identity(), a.identity());

    const SharedText separate{std::string("claude-opus-4-6")};
    EXPECT_NE(separate.identity(), a.identity());
    EXPECT_EQ(separate, a);
    EXPECT_EQ(SharedText(), SharedText(""));
    EXPECT_TRUE(SharedText().isEmpty());
}

TEST(SharedText, aggregationGivesTheSameAnswerForSharedAndSeparateTexts)
{
    // The aggregator answers repeated identifiers by address; text that is equal
    // but not shared must land in the same groups all the same.
    TextInterner intern;
    const Instant t0 = instantFromUnixMillis(1'736'936'400'000);
    std::vector<DashboardMessage> shared, separate;
    const char* models[] = {"claude-opus-4-6", "claude-opus-4-6-20260101", "claude-haiku-4-5", "", "claude-opus-4-6"};
    const char* sessions[] = {"a", "b", "a", "c", "b"};
    for (int i = 0; i < 5; ++i) {
        const Instant at = t0 + std::chrono::hours(i * 7);
        shared.push_back({at, intern(sessions[i]), intern(models[i]), i, 10 * i, 0, 0, false, 0.5});
        separate.push_back({at, SharedText(sessions[i]), SharedText(models[i]), i, 10 * i, 0, 0, false, 0.5});
    }
    EXPECT_EQ(DashboardAggregator::totals(shared), DashboardAggregator::totals(separate));
    EXPECT_EQ(DashboardAggregator::totals(separate).sessionCount, 3);
    EXPECT_EQ(DashboardAggregator::bucketByDay(shared), DashboardAggregator::bucketByDay(separate));
    EXPECT_EQ(DashboardAggregator::modelTokenRows(shared), DashboardAggregator::modelTokenRows(separate));
    EXPECT_EQ(DashboardAggregator::sessionRows(shared), DashboardAggregator::sessionRows(separate));
    EXPECT_EQ(DashboardAggregator::modelTokenRows(separate).size(), 3u); // Opus 4.6, Haiku 4.5, Other
}

} // namespace
} // namespace tallyglass
