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

    bool help = false;
    // --machine NAME: what this machine's own messages are stored under, in
    // place of the `tallyglass.machine.name` setting (Preferences::machineName).
    std::optional<std::string> machine;

    // --otlp-endpoint URL: where this machine's usage is sent (UsageSender),
    // in place of the `tallyglass.otlp.endpoint` setting; empty: where the
    // settings say, if anywhere.
    std::string otlpEndpoint;

    static std::string helpText();
    // Throws CommandLine::UsageError, in one sentence, for anything else.
    static HeadlessOptions parse(const std::vector<std::string>& arguments);
};

} // namespace tallyglass
