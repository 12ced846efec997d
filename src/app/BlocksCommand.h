#pragma once

#include <string>
#include <vector>

namespace tallyglass::BlocksCommand {

// `tallyglass blocks [options]`: the five-hour blocks of use over whole days,
// with the active block's burn rate and projection (`tallyglass blocks --help`
// lists the options). Like the report it first reads the transcripts that
// changed, unless the app is running or --no-update is given. 0 when shown, 1
// when the database cannot be read, 2 for bad usage.
int run(const std::vector<std::string>& arguments);

} // namespace tallyglass::BlocksCommand
