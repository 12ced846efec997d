#include "overlay/Bucketize.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

namespace tallyglass {
namespace {

using namespace std::chrono;
using Bucketize::BarSegment;

const Instant anchor = Instant{seconds{1'736'936'400}}; // 2025-01-15T10:20:00Z

MessageRow rowAt(double secondsBeforeAnchor, std::optional<std::string> model = "claude-opus-4-6", std::int64_t input = 1,
                 std::int64_t output = 10)
{
    const auto offset = microseconds{static_cast<std::int64_t>(secondsBeforeAnchor * 1e6)};
    return {anchor - offset, std::move(model), input, output};
}

std::int64_t lineSlotOf(const MessageRow& row)
{
    const auto totals = Bucketize::lineTotals({row}, anchor);
    const auto slot = std::find_if(totals.begin(), totals.end(), [](std::int64_t tokens) { return tokens != 0; });
    return slot == totals.end() ? -1 : slot - totals.begin();
}

std::int64_t barSlotOf(const MessageRow& row)
{
    const auto segments = Bucketize::bucketize({row}, anchor);
    return segments.empty() ? -1 : segments.front().bucket;
}

TEST(Bucketize, rowsLandInSlotsClosedAtTheirNewerEnd)
{
    struct Case {
        double secondsBefore;
        std::int64_t bar;
        std::int64_t line;
    };
    const Case cases[] = {
        {1, 29, 59},
        {0.000001, 29, 59},
        {299, 29, 59},
        {300, 29, 58}, // exactly on a line-slot edge: the older slot
        {599, 29, 58},
        {600, 28, 57},
        {17'999, 0, 0},
        {17'999.5, 0, 0},
        {0, -1, -1},           // at the anchor
        {-5, -1, -1},          // after it
        {18'000, -1, -1},      // exactly at the window start
        {18'000.000001, -1, -1},
        {86'400, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.secondsBefore);
        EXPECT_EQ(barSlotOf(rowAt(c.secondsBefore)), c.bar);
        EXPECT_EQ(lineSlotOf(rowAt(c.secondsBefore)), c.line);
    }
}

TEST(Bucketize, segmentsSumPerSlotAndModelAndStackInPresentationOrder)
{
    const std::vector<MessageRow> rows = {
        rowAt(100, "claude-opus-4-6", 1, 10),
        rowAt(200, "claude-opus-4-6-20260101", 2, 20),
        rowAt(300, "claude-haiku-4-5", 4, 40),
        rowAt(700, std::nullopt, 8, 80),
        rowAt(650, "", 16, 160),
        rowAt(690, "claude-sonnet-4-6", 32, 320),
        rowAt(20'000, "claude-sonnet-4-6", 64, 640),
    };
    const std::vector<BarSegment> expected = {
        {28, "Sonnet 4.6", 32, 320},
        {28, "Other", 24, 240},
        {29, "Haiku 4.5", 4, 40},
        {29, "Opus 4.6", 3, 30},
    };
    EXPECT_EQ(Bucketize::bucketize(rows, anchor), expected);
    EXPECT_EQ(expected[1].id(), "28\tOther");

    const auto totals = Bucketize::lineTotals(rows, anchor);
    ASSERT_EQ(totals.size(), 60u);
    EXPECT_EQ(totals[59], 11 + 22);
    EXPECT_EQ(totals[58], 44); // only the Haiku row, exactly 300 s before the anchor
    EXPECT_EQ(totals[57], 176 + 88 + 352);
    EXPECT_EQ(std::accumulate(totals.begin(), totals.end(), std::int64_t{0}), 11 + 22 + 44 + 88 + 176 + 352);

    // Nothing in: no segments, and still sixty slots.
    EXPECT_TRUE(Bucketize::bucketize({}, anchor).empty());
    EXPECT_EQ(Bucketize::lineTotals({}, anchor), std::vector<std::int64_t>(60, 0));
}

TEST(Bucketize, theLineStopsAtTheSlotOfNow)
{
    const std::pair<seconds, std::int64_t> cases[] = {
        {seconds{18'001}, -1}, {seconds{18'000}, -1}, {seconds{17'999}, 0}, {seconds{301}, 58}, {seconds{1}, 59}, {seconds{0}, 59},
        {-hours{3}, 59}}; // now three hours past the anchor
    for (const auto& [before, slot] : cases)
        EXPECT_EQ(Bucketize::lineLastFilledBucket(anchor - before, anchor), slot) << before.count();
}

} // namespace
} // namespace tallyglass
