#pragma once

#include <string>
#include <vector>

namespace tallyglass::PricesCommand {

// `tallyglass prices [--json]`: the price list in use, the user's entries
// marked, and the models stored without a price. Exit status 0; 1 when the
// user's price file has a problem (the list shown is then the built-in one)
// or the database cannot be read; 2 for a mistake in the arguments.
int run(const std::vector<std::string>& arguments);

} // namespace tallyglass::PricesCommand
