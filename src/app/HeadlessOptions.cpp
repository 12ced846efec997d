#include "app/HeadlessOptions.h"

#include "core/CommandLine.h"
#include "server/ListenAddress.h"

namespace tallyglass {

HeadlessOptions HeadlessOptions::parse(const std::vector<std::string>& arguments)
{
    const auto parsed = CommandLine::parse(arguments, {{"--otlp-listen", "ADDR:PORT"}});
    if (!parsed.words.empty())
        throw CommandLine::UsageError("unexpected '" + parsed.words.front() + "' after --headless");
    HeadlessOptions options;
    if (parsed.has("--otlp-listen")) {
        const std::string& address = parsed.value("--otlp-listen");
        if (!ListenAddress::parse(address))
            throw CommandLine::UsageError("--otlp-listen wants ADDR:PORT with a numeric address, such as 0.0.0.0:4318 or "
                                          "[::]:4318, not '" + address + "'");
        options.otlpListen = address;
    }
    return options;
}

} // namespace tallyglass
