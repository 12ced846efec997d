#pragma once

#include <string>
#include <vector>

namespace tallyglass::ReportCommand {

// `tallyglass report [--days N] [--json]`: the full report for a terminal.
// 0 when shown (also for an empty database), 1 when there is no database
// yet or it cannot be read, 2 for bad usage.
int run(const std::vector<std::string>& arguments);

} // namespace tallyglass::ReportCommand
