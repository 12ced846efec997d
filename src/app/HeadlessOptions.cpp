#include "app/HeadlessOptions.h"

#include "core/CommandLine.h"
#include "server/UsageSender.h"

namespace tallyglass {

HeadlessOptions HeadlessOptions::parse(const std::vector<std::string>& arguments)
{
    const CommandLine::Parsed parsed = CommandLine::parse(arguments, {{"--otlp-endpoint", "URL"}});
    if (!parsed.words.empty())
        throw CommandLine::UsageError("--headless takes no arguments, not '" + parsed.words.front() + "'");
    HeadlessOptions options;
    if (parsed.has("--otlp-endpoint")) {
        options.otlpEndpoint = parsed.value("--otlp-endpoint");
        if (const auto problem = UsageSender::endpointProblem(options.otlpEndpoint))
            throw CommandLine::UsageError("--otlp-endpoint '" + options.otlpEndpoint + "': " + *problem);
    }
    return options;
}

} // namespace tallyglass
