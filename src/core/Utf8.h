#pragma once

#include <string_view>

namespace tallyglass::Utf8 {

// True when the bytes are well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated sequence.
bool isValid(std::string_view bytes);

// True when the text holds only Unicode white space and line breaks (or nothing).
// Invalid UTF-8 is not white space.
bool isBlank(std::string_view text);

} // namespace tallyglass::Utf8
