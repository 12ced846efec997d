#pragma once

#include <filesystem>
#include <string>

namespace tallyglass::test {

// A new, empty directory under the test's own $HOME; a test run as one
// process with others still gets a directory nobody else uses.
std::filesystem::path freshDirectory();

// A file's whole content; empty when it cannot be read.
std::string fileText(const std::filesystem::path& path);

} // namespace tallyglass::test
