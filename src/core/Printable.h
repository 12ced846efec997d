#pragma once

#include <string>
#include <string_view>

namespace tallyglass::Printable {

// Text from outside (transcripts, hook payloads, file and folder names) as a
// terminal, a spreadsheet cell, a log line or a window shows it: seen, never
// obeyed. C0 controls, DEL and C1 controls become visible escapes ("\x1b",
// "\r", "\n", "\t", "\x7f", "\u0085"), and so do the characters that reorder
// or break the text around them in a window (bidirectional embeddings,
// overrides and isolates, line and paragraph separators: "\u202e"). A byte
// that is not part of well-formed UTF-8 becomes "\xNN", which a C1 control
// ("\u0085") can never be taken for. A backslash is doubled, so every
// backslash shown begins an escape and no name can pass for another.
// Everything else, "Café/日本" included, stays as it is.
//
// Apply it once, where the real text is put into what is shown; JSON for
// programs keeps the real text.
std::string escaped(std::string_view text);

// True when escaped(text) would be `text` itself: the common case, told
// without building anything.
bool isPlain(std::string_view text);

} // namespace tallyglass::Printable
