#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tallyglass::WarningThresholds {

// The percentages of a limit at which the user is warned when none were chosen.
inline constexpr std::string_view defaults = "80, 95";

// The thresholds as the user writes them and the settings file keeps them:
// "80, 95" read as sorted whole percentages without repeats. Parsing throws
// std::invalid_argument with a sentence saying what is wrong, fit to show.
std::vector<int> parse(std::string_view text);
std::string format(const std::vector<int>& thresholds);

} // namespace tallyglass::WarningThresholds
