#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tallyglass::HeadlessOptions {

// What `tallyglass --headless` is told after its name.
struct Options {
    bool help = false;
    // The name this run stores this machine's own messages under, over the
    // setting's (Preferences::machineName); nothing to use the setting.
    std::optional<std::string> machine;
};

std::string help();

// Throws CommandLine::UsageError saying what is wrong.
Options parse(const std::vector<std::string>& arguments);

} // namespace tallyglass::HeadlessOptions
