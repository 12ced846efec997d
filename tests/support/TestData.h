#pragma once

#include <filesystem>
#include <string>

namespace tallyglass::test {

// Path of a file under tests/data.
std::filesystem::path dataPath(const std::string& relative);

// Whole contents of a file under tests/data, bytes unchanged.
std::string readData(const std::string& relative);

} // namespace tallyglass::test
