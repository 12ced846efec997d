#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tallyglass {

// What `tallyglass --headless` is given after its name. Each option applies
// to this run only and is never stored.
struct HeadlessOptions {
    // --otlp-listen ADDR:PORT: the listener for other machines' exports, in
    // place of the `tallyglass.otlp.listen` setting. Checked here, so that a
    // mistake is a usage error before anything starts.
    std::optional<std::string> otlpListen;

    // Throws CommandLine::UsageError, in one sentence, for anything else.
    static HeadlessOptions parse(const std::vector<std::string>& arguments);
};

} // namespace tallyglass
