#pragma once

#include <nlohmann/json.hpp>

#include <array>
#include <string>
#include <string_view>

namespace tallyglass::HookSettings {

// What the installer does to Claude Code's settings object, as pure functions.
// Entries are recognised as ours by their command text alone: every command we
// write points into ~/.config/tallyglass/, in one of four spellings.

inline constexpr std::array<std::string_view, 6> captureEventNames = {"Stop", "TaskCompleted", "SubagentStop",
                                                                      "PostToolUse", "SessionStart", "SessionEnd"};

// "~/.config/tallyglass/" followed by the script's file name.
std::string ownedCommand(std::string_view scriptFileName);

bool isOwnedCommand(std::string_view command);
bool hasOwnedCapture(const nlohmann::json& settings);
bool hasOwnedStatusLine(const nlohmann::json& settings);
// Whether our status line is chained in front of the user's in the form of
// earlier versions ("<owned> -- <command>"), which breaks a command with shell
// syntax of its own; installing again rewrites it.
bool hasOldChainedStatusLine(const nlohmann::json& settings);

// Removes every owned hook (and matchers left without hooks), and our status
// line, restoring a status line we had chained in front of: byte for byte from
// the form this version writes, trimmed as before from the form of earlier ones.
nlohmann::json pruneAllOwned(nlohmann::json settings);

// Pruning, then one owned matcher per capture event and our status line in
// front of the user's command C: "<owned> --tee | eval '<C>'", every ' of C
// written '\''. Our script copies its input to C, which the user's own shell
// runs whatever its syntax.
nlohmann::json installed(nlohmann::json settings, std::string_view scriptFileName);

} // namespace tallyglass::HookSettings
