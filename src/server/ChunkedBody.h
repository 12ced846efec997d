#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tallyglass::ChunkedBody {

// HTTP/1.1 chunked transfer coding, which telemetry exporters use for bodies
// whose size they do not know in advance. Extensions after a chunk size are
// ignored; trailer fields are not accepted (no exporter sends them, and a
// body's end must be unambiguous).

enum class State { incomplete, complete, malformed };

// Whether a header block (without the blank line) declares
// "Transfer-Encoding: chunked"; the name without case.
bool declared(std::string_view header);

// How far `body` is: ends with the last chunk, still arriving, or broken.
State scan(std::string_view body);

// The payload of a complete chunked body; nothing when it is not one.
std::optional<std::string> decode(std::string_view body);

} // namespace tallyglass::ChunkedBody
