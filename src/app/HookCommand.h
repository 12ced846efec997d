#pragma once

#include <string>
#include <vector>

namespace tallyglass::HookCommand {

// `tallyglass hook install|uninstall|status` for machines without the desktop
// interface. Prints one line on what happened and returns the exit status:
// 0 done (status: installed), 1 failed (status: not installed), 2 bad usage.
int run(const std::vector<std::string>& arguments);

} // namespace tallyglass::HookCommand
