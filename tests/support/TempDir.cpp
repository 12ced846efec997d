#include "support/TempDir.h"

#include <cstdlib>
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

} // namespace tallyglass::test
