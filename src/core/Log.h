#pragma once

#include <string_view>

namespace tallyglass::Log {

// Lines name paths, session ids and hook events from outside: both kinds below
// write the text as Printable::escaped shows it, so that it stays one line and
// cannot move the terminal's cursor. Pass the real text.

// The system log: one line on standard error, "[tallyglass] " first. Lines
// from several threads never interleave.
void line(std::string_view text);

// Progress the user follows (the server's listening and back-off lines): one
// line on standard output, "[tallyglass] " first, flushed at once.
void print(std::string_view text);

} // namespace tallyglass::Log
