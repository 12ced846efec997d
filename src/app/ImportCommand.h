#pragma once

#include <string>
#include <vector>

namespace tallyglass::ImportCommand {

// `tallyglass import`: imports the transcript history now, with progress and a
// summary naming whatever could not be read. 0 when everything was read, 1
// when something could not be (the rest is stored), the database cannot be
// opened or a write fails, 2 for bad usage.
int run(const std::vector<std::string>& arguments);

} // namespace tallyglass::ImportCommand
