#include "capture/StatusLineService.h"

#include "core/IsoTime.h"
#include "support/FakeMessageWriter.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

using test::FakeMessageWriter;

const Instant receivedAt = *IsoTime::parse("2025-01-15T10:30:00Z");

using Stored = std::vector<FakeMessageWriter::RateLimits>;

Stored store(const std::string& body, int failures = 0)
{
    auto writer = std::make_shared<FakeMessageWriter>();
    writer->failuresToCome = failures;
    StatusLineService service(writer, [] { return receivedAt; });
    service.handle(body);
    return writer->rateLimitCalls;
}

TEST(StatusLineService, storesBothWindowsAsReceivedReadingsAtTheEdgesOfTheirRangesIncluded)
{
    EXPECT_EQ(store(R"({"rate_limits":{"five_hour":{"used_percentage":42,"resets_at":1735689600}}})"),
              (Stored{{{42.0, "2025-01-01T00:00:00Z"}, {}, receivedAt}}));
    EXPECT_EQ(store(R"({"rate_limits":{"five_hour":{"used_percentage":12.5},"seven_day":{"used_percentage":3,"resets_at":1735689600.987}}})"),
              (Stored{{{12.5, std::nullopt}, {3.0, "2025-01-01T00:00:00Z"}, receivedAt}}));
    EXPECT_EQ(store(R"({"rate_limits":{"five_hour":{"used_percentage":0,"resets_at":946684800},"seven_day":{"used_percentage":1000,"resets_at":253402300799}}})"),
              (Stored{{{0.0, "2000-01-01T00:00:00Z"}, {1000.0, "9999-12-31T23:59:59Z"}, receivedAt}}));
}

TEST(StatusLineService, valuesOfTheWrongTypeCountAsAbsentAndNothingAtAllWritesNothing)
{
    EXPECT_EQ(store(R"({"rate_limits":{"five_hour":{"used_percentage":"12.5","resets_at":true},"seven_day":{"used_percentage":1}}})"),
              (Stored{{{}, {1.0, std::nullopt}, receivedAt}}));
    for (const char* body : {R"({"rate_limits":{}})", R"({"rate_limits":{"five_hour":{},"seven_day":{}}})",
                             R"({"rate_limits":{"five_hour":{"used_percentage":null}}})", R"({"rate_limits":5})",
                             R"({"hook_event_name":"Stop"})", "not json", R"({"rate_limits":{"five_hour":{"resets_at":1e300}}})",
                             // Readings no account can have: outside 0...1000 percent, resets outside 2000...9999.
                             R"({"rate_limits":{"five_hour":{"used_percentage":-5,"resets_at":-253402300800}}})",
                             R"({"rate_limits":{"five_hour":{"used_percentage":1e308,"resets_at":946684799}}})",
                             R"({"rate_limits":{"seven_day":{"used_percentage":1000.5,"resets_at":253402300800}}})"}) {
        SCOPED_TRACE(body);
        EXPECT_TRUE(store(body).empty());
    }
}

// Claude Code has sent reset times as seconds and, in later versions, as ISO 8601
// text: one moment is stored the same either way. Text that is no strict
// date-time is no reset time, and the rest of the reading is still stored.
TEST(StatusLineService, aResetTimeAsSecondsOrAsTextIsStoredAlikeAndMalformedTextLosesOnlyItself)
{
    const struct {
        const char* resetsAt;
        std::optional<std::string> stored;
    } cases[] = {
        {"1735689600", "2025-01-01T00:00:00Z"},
        {R"("2025-01-01T00:00:00Z")", "2025-01-01T00:00:00Z"},
        {"1735689600.987", "2025-01-01T00:00:00Z"},
        {R"("2025-01-01T00:00:00.987654Z")", "2025-01-01T00:00:00Z"},
        {R"("2025-01-01T05:30:00+05:30")", "2025-01-01T00:00:00Z"},
        {R"("2024-12-31T19:00:00-0500")", "2025-01-01T00:00:00Z"},
        {R"("2000-01-01T00:00:00Z")", "2000-01-01T00:00:00Z"},
        {R"("1999-12-31T23:59:59Z")", std::nullopt}, // outside the years a reset can lie in, as a number would be
        {R"("2025-01-01 00:00:00Z")", std::nullopt},
        {R"("2025-02-30T00:00:00Z")", std::nullopt},
        {R"("1735689600")", std::nullopt},
        {R"("2025-01-01T00:00:00Z garbage")", std::nullopt},
        {R"("")", std::nullopt},
        {R"("2025-01-01T00:00:00.0000000000000000000000000000000000000000000000000000000000000Z")", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.resetsAt);
        const std::string body = std::string(R"({"rate_limits":{"five_hour":{"used_percentage":42,"resets_at":)")
            + c.resetsAt + R"(},"seven_day":{"used_percentage":7,"resets_at":"2025-01-08T00:00:00Z"}}})";
        EXPECT_EQ(store(body), (Stored{{{42.0, c.stored}, {7.0, "2025-01-08T00:00:00Z"}, receivedAt}}));
    }
}

TEST(StatusLineService, aFailedWriteIsLoggedOnce)
{
    testing::internal::CaptureStderr();
    EXPECT_TRUE(store(R"({"rate_limits":{"five_hour":{"used_percentage":1}}})", 1).empty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[tallyglass] StatusLineService write failed: stepFailed(\"database is locked\")\n");
}

} // namespace
} // namespace tallyglass
