#include "dashboard/UsageReport.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

TEST(ReportNumbers, tokensAndDollarsForTheWindow)
{
    const std::pair<std::int64_t, const char*> tokens[] = {{0, "0"}, {999, "999"}, {1000, "1.0k"}, {12345, "12.3k"},
                                                           {999'949, "999.9k"}, {1'000'000, "1.0M"}, {4'560'000, "4.6M"}};
    for (const auto& [value, text] : tokens)
        EXPECT_EQ(UsageReport::shortTokens(value), text);
    const std::pair<double, const char*> money[] = {{0, "$0.00"}, {0.421, "$0.42"}, {99.994, "$99.99"}, {100, "$100"},
                                                    {123.6, "$124"}, {1000, "$1.0k"}, {12345, "$12.3k"}};
    for (const auto& [value, text] : money)
        EXPECT_EQ(UsageReport::dollars(value), text);
}

} // namespace
} // namespace tallyglass
