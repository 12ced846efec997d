#pragma once

#include <string>
#include <vector>

namespace tallyglass::LimitsCommand {

// `tallyglass limits [--days N] [--json]`: the five-hour windows of the last N
// days (start, reset, peak utilisation, whether the limit was reached) and the
// seven-day peaks, from the stored status-line readings. 0 when shown, 1 when
// the database cannot be read, 2 for bad usage.
int run(const std::vector<std::string>& arguments);

} // namespace tallyglass::LimitsCommand
