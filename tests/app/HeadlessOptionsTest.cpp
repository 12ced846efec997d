#include "app/HeadlessOptions.h"

#include "core/CommandLine.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

// The address is checked before anything starts: a run that cannot send says so at once.
TEST(HeadlessOptionsTest, anEndpointIsTakenOnlyWhenItCanBeSentTo)
{
    EXPECT_EQ(HeadlessOptions::parse({}).otlpEndpoint, "");
    EXPECT_EQ(HeadlessOptions::parse({"--otlp-endpoint", "http://collector:4318"}).otlpEndpoint, "http://collector:4318");
    EXPECT_EQ(HeadlessOptions::parse({"--otlp-endpoint=https://c/v1/logs"}).otlpEndpoint, "https://c/v1/logs");
    const std::vector<std::vector<std::string>> refused = {
        {"--otlp-endpoint", "collector:4318"}, {"--otlp-endpoint"}, {"--otlp-endpoit", "http://c"}, {"extra"}};
    for (const auto& arguments : refused)
        EXPECT_THROW(HeadlessOptions::parse(arguments), CommandLine::UsageError) << arguments.front();
}

} // namespace
} // namespace tallyglass
