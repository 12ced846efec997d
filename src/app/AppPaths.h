#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tallyglass::AppPaths {

// Every path derives from $HOME. Claude Code moves everything it keeps under
// ~/.claude to $CLAUDE_CONFIG_DIR when that is set.

std::filesystem::path home();
std::filesystem::path configDirectory();   // ~/.config/tallyglass
std::filesystem::path database();          // ~/.config/tallyglass/app.db
std::filesystem::path hookScript();        // ~/.config/tallyglass/app-hook
std::filesystem::path priceFile();         // ~/.config/tallyglass/prices.json, the user's own prices
std::filesystem::path otlpToken();         // ~/.config/tallyglass/otlp-token, what other machines' exports carry
std::string shown(const std::filesystem::path& path); // "~/.config/tallyglass/prices.json": the home folder as ~
std::filesystem::path claudeDirectory();   // $CLAUDE_CONFIG_DIR, else ~/.claude
std::filesystem::path claudeSettings();    // <claude directory>/settings.json

// Why the configuration folder cannot be used, as the end of a sentence
// ("cannot use /home/ada/.config/tallyglass: it is a file, not a folder");
// nothing when it can be (also when it is still to be made and can be). Every
// command and the long-running processes keep their database, settings and
// lock there, so they stop with this before anything else. Commands that only
// read (the reports, which show what is stored when they cannot bring in more)
// need only to read it: a folder made read-only still shows its history.
enum class ConfigAccess { readOnly, readWrite };
std::optional<std::string> configProblem(ConfigAccess access = ConfigAccess::readWrite);

// Where transcripts may live, in this order, each listed once: the projects
// folder of $CLAUDE_CONFIG_DIR, ~/.claude/projects, ~/.config/claude/projects.
// Only folders that exist are listed; folders that are the same one (by link
// or by path) are listed once.
std::vector<std::filesystem::path> transcriptRoots();

} // namespace tallyglass::AppPaths
