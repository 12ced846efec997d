#include "hook/HookScriptBuilder.h"

#include "support/TestData.h"

#include <gtest/gtest.h>

namespace tallyglass {
namespace {

// As shipped, byte for byte; the port and the version are all that changes.
TEST(HookScriptBuilder, rendersTheSenderScriptByteForByteWithItsPortAndVersion)
{
    std::string expected = test::readData("hook/app-hook-v6-port45832");
    EXPECT_EQ(HookScriptBuilder::render(45832, HookScriptBuilder::currentVersion), expected);
    expected.replace(expected.find("PORT=45832"), 10, "PORT=65535");
    expected.replace(expected.find("version: 6"), 10, "version: 12");
    EXPECT_EQ(HookScriptBuilder::render(65535, 12), expected);
}

TEST(HookScriptBuilder, upToDateMeansTheVersionAndPortAppearAnywhere)
{
    const std::string text = HookScriptBuilder::render(45832, 3);
    EXPECT_TRUE(HookScriptBuilder::isUpToDate(text, 45832, 3));
    EXPECT_FALSE(HookScriptBuilder::isUpToDate(text, 45833, 3));
    EXPECT_FALSE(HookScriptBuilder::isUpToDate(text, 45832, 2));
    EXPECT_FALSE(HookScriptBuilder::isUpToDate("", 45832, 3));
    // Substring tests, as the installer has always made them.
    EXPECT_TRUE(HookScriptBuilder::isUpToDate(HookScriptBuilder::render(45832, 30), 45832, 3));
    EXPECT_TRUE(HookScriptBuilder::isUpToDate("echo hi # version: 3 PORT=45832", 45832, 3));
}

} // namespace
} // namespace tallyglass
