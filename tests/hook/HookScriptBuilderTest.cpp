#include "hook/HookScriptBuilder.h"

#include "support/TestData.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tallyglass {
namespace {

TEST(HookScriptBuilder, rendersTheSenderScriptByteForByte)
{
    const std::string expected = test::readData("hook/app-hook-v6-port45832");
    const std::string text = HookScriptBuilder::render(45832, HookScriptBuilder::currentVersion);
    EXPECT_EQ(text, expected);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 66);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_NE(text.find("hook sender \xE2\x80\x94 version: 6\n"), std::string::npos);
}

TEST(HookScriptBuilder, theTwoInsertionsAreTheOnlyDifferences)
{
    std::string expected = test::readData("hook/app-hook-v6-port45832");
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
