#pragma once

#include <cstddef>
#include <string_view>

namespace tallyglass::Utf8 {

// True when the bytes are well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequence.
bool isValid(std::string_view bytes);

// True when the text holds only Unicode white space and line breaks (or nothing).
// Invalid UTF-8 is not white space.
bool isBlank(std::string_view text);

// Decodes the scalar that starts at `pos` (before the end) into `out` and moves
// `pos` past it; false, with `pos` where it was, when the bytes there are not
// well-formed.
bool decode(std::string_view bytes, std::size_t& pos, char32_t& out);

} // namespace tallyglass::Utf8
