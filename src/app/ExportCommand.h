#pragma once

#include <string>
#include <vector>

namespace tallyglass::ExportCommand {

// `tallyglass export [days] [--by message|session|day|model] [--format csv|json]`:
// the stored figures on standard output for other programs, the same as the
// report's for the same days. 0 when written, 1 when the database cannot be
// read or the output cannot be written, 2 for bad usage.
int run(const std::vector<std::string>& arguments);

} // namespace tallyglass::ExportCommand
