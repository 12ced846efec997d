#pragma once

#include <simdjson.h>

#include <string>
#include <string_view>

namespace tallyglass::JsonPayload {

// Parses a whole JSON document with this thread's parser, in place (the bytes
// must be followed by at least SIMDJSON_PADDING readable bytes), and hands back
// its top-level object; false when the text is not JSON or not an object. The
// object stays valid until the next parse on the same thread.
bool parsePaddedObject(const char* data, std::size_t size, simdjson::dom::object& out);

// simdjson refuses integer literals outside the 64-bit range, which are still
// well-formed JSON. Rewrites each such literal (and only those) as a float
// literal ("...0" -> "...0.0") so the document parses and the value can be
// clamped. Returns false when nothing needed rewriting.
bool rewriteLongIntegers(std::string_view text, std::string& out);

} // namespace tallyglass::JsonPayload
