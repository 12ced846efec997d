#include "app/HeadlessOptions.h"

#include "core/CommandLine.h"
#include "server/ListenAddress.h"
#include "server/UsageSender.h"

namespace tallyglass {

std::string HeadlessOptions::helpText()
{
    return "Usage: tallyglass --headless [options]\n"
           "\n"
           "The server, capture and history import without windows, for a machine reached\n"
           "over SSH. Runs until stopped (Ctrl+C or SIGTERM).\n"
           "\n"
           "Options:\n"
           "  --machine NAME   store this machine's own usage under NAME for this run\n"
           "                   (default: the setting tallyglass.machine.name, else the\n"
           "                   host name)\n"
           "  --otlp-endpoint URL\n"
           "                   send this machine's usage there as OTLP logs, in place\n"
           "                   of the setting tallyglass.otlp.endpoint\n"
           "  --otlp-listen ADDR:PORT\n"
           "                   also take other machines' OTLP exports there, each with\n"
           "                   the token of ~/.config/tallyglass/otlp-token\n"
           "  -h, --help       show this help\n";
}

HeadlessOptions HeadlessOptions::parse(const std::vector<std::string>& arguments)
{
    const auto parsed = CommandLine::parse(arguments, {{"--machine", "NAME"}, {"--otlp-endpoint", "URL"}, {"--otlp-listen", "ADDR:PORT"}});
    HeadlessOptions options;
    if (parsed.help) {
        options.help = true;
        return options;
    }
    if (!parsed.words.empty())
        throw CommandLine::UsageError("unexpected '" + parsed.words.front() + "'; --headless takes only options");
    if (parsed.has("--machine")) {
        const std::string& given = parsed.value("--machine");
        const auto first = given.find_first_not_of(" \t");
        // A blank name would store rows no one could tell apart or ask for by name.
        if (first == std::string::npos)
            throw CommandLine::UsageError("--machine takes a name, such as --machine buildbox");
        options.machine = given.substr(first, given.find_last_not_of(" \t") - first + 1);
    }
    if (parsed.has("--otlp-listen")) {
        const std::string& address = parsed.value("--otlp-listen");
        if (!ListenAddress::parse(address))
            throw CommandLine::UsageError("--otlp-listen wants ADDR:PORT with a numeric address, such as 0.0.0.0:4318 or "
                                          "[::]:4318, not '" + address + "'");
        options.otlpListen = address;
    }
    if (parsed.has("--otlp-endpoint")) {
        options.otlpEndpoint = parsed.value("--otlp-endpoint");
        if (const auto problem = UsageSender::endpointProblem(options.otlpEndpoint))
            throw CommandLine::UsageError("--otlp-endpoint '" + options.otlpEndpoint + "': " + *problem);
    }
    return options;
}

} // namespace tallyglass
