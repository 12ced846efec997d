#include "core/WarningThresholds.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tallyglass {
namespace {

TEST(WarningThresholds, areWholePercentagesSortedOnce)
{
    const std::pair<const char*, std::vector<int>> good[] = {
        {"80, 95", {80, 95}}, {"95 80 80", {80, 95}}, {"50%;100", {50, 100}}, {" 1 ", {1}}, {"8%5", {5, 8}}};
    for (const auto& [text, thresholds] : good)
        EXPECT_EQ(WarningThresholds::parse(text), thresholds) << text;
    const std::pair<const char*, const char*> bad[] = {
        {"", "give at least one threshold"}, {"0", "0% is outside 1\u2013100%"}, {"101", "outside"}, {"eighty", "'eighty' is not a whole percentage"},
        {"8.5", "not a whole percentage"}};
    for (const auto& [text, message] : bad) {
        try {
            WarningThresholds::parse(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
        }
    }
    EXPECT_EQ(WarningThresholds::format({80, 95}), "80, 95");
}

} // namespace
} // namespace tallyglass
