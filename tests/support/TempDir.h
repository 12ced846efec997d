#pragma once

#include <filesystem>

namespace tallyglass::test {

// A new, empty directory under the test's own $HOME; a test run as one
// process with others still gets a directory nobody else uses.
std::filesystem::path freshDirectory();

} // namespace tallyglass::test
