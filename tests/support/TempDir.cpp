#include "support/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace tallyglass::test {

std::filesystem::path freshDirectory()
{
    const char* home = std::getenv("HOME");
    std::string pattern = std::string(home ? home : "/tmp") + "/dir-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw std::filesystem::filesystem_error("mkdtemp", std::make_error_code(std::errc(errno)));
    return pattern;
}

std::string fileText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace tallyglass::test
