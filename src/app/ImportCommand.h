#pragma once

#include <string>
#include <vector>

namespace tallyglass::ImportCommand {

// `tallyglass import`: imports the transcript history now, with progress and a
// summary. 0 when done, 1 when the database cannot be opened or a write fails.
int run(const std::vector<std::string>& arguments);

} // namespace tallyglass::ImportCommand
