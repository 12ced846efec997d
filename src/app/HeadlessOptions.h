#pragma once

#include <string>
#include <vector>

namespace tallyglass {

// What `tallyglass --headless` is told on its command line.
struct HeadlessOptions {
    // Where this machine's usage is sent (UsageSender); empty: where the
    // settings say, if anywhere.
    std::string otlpEndpoint;

    // Throws CommandLine::UsageError for an unknown option or an address that
    // cannot be sent to.
    static HeadlessOptions parse(const std::vector<std::string>& arguments);
};

} // namespace tallyglass
