// Feeds arbitrary bytes to the HTTP request parser and checks what must hold
// for any input: no crash, and answers that agree with each other.

#include "server/HTTPRequestParser.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace tallyglass;
    const std::string_view buffer(reinterpret_cast<const char*>(data), size);
    const bool complete = HTTPRequestParser::isComplete(buffer);
    const auto request = HTTPRequestParser::parse(buffer);
    if (request) {
        // A request only parses once its header block has arrived...
        if (buffer.find("\r\n\r\n") == std::string_view::npos)
            std::abort();
        // ...and its body is a slice of what followed that block.
        if (request->body.size() > size || request->method.empty() || request->path.empty())
            std::abort();
        const std::string_view after = buffer.substr(buffer.find("\r\n\r\n") + 4);
        if (after.substr(0, request->body.size()) != request->body)
            std::abort();
    }
    // Growing a complete buffer keeps it complete (the server relies on that when more bytes arrive).
    if (complete && size > 0 && !HTTPRequestParser::isComplete(std::string(buffer) + "x"))
        std::abort();
    return 0;
}
