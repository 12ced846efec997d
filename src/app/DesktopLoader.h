#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tallyglass::DesktopLoader {

// The file holding the desktop application, loaded only when it is wanted.
inline constexpr const char* moduleName = "tallyglass-desktop.so";

// Where to look for it, in order, for a program in `programFolder`: beside the
// program (a build tree), then where an install puts it (`installedRelative`,
// from the program's folder to the module's).
std::vector<std::filesystem::path> candidates(const std::filesystem::path& programFolder, const std::string& installedRelative);

// Loads the module and runs the desktop application in it. When it cannot be
// found or loaded, says so in one sentence naming where it was looked for, and
// returns 1.
int run(int argc, char** argv);

} // namespace tallyglass::DesktopLoader
