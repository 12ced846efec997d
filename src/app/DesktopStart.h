#pragma once

namespace tallyglass::DesktopStart {

// The desktop application from its first step: the display chosen, the one
// process per user, the windows. Returns the exit status.
int run(int argc, char** argv);

} // namespace tallyglass::DesktopStart
