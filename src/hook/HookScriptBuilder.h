#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tallyglass::HookScriptBuilder {

// The text of the bash script that Claude Code runs on its hook events and
// status-line redraws. It forwards stdin to the local server and never makes
// Claude Code wait: plain mode gives up at once when nothing listens, and the
// status-line modes post in the background: tee mode ("--tee") copies its
// input to its output for the user's command behind it in a pipe, and the
// chaining mode of settings written by earlier versions ("-- cmd args") runs
// cmd itself. It posts only to a listener of its own user and never prints
// what the server answers (Claude Code reads a hook's output as instructions).
//
// Version 4 added the owner check and the silence, version 5 tee mode; the
// installer replaces scripts of earlier versions.

inline constexpr int currentVersion = 6;

std::string render(std::uint16_t port, int version);

// Whether an existing script already carries this version and port. Plain
// substring tests: hand edits elsewhere in the script are left alone.
bool isUpToDate(std::string_view text, std::uint16_t port, int version);

} // namespace tallyglass::HookScriptBuilder
