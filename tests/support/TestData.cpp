#include "support/TestData.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tallyglass::test {

std::filesystem::path dataPath(const std::string& relative)
{
    return std::filesystem::path(TALLYGLASS_TEST_DATA_DIR) / relative;
}

std::string readData(const std::string& relative)
{
    std::ifstream in(dataPath(relative), std::ios::binary);
    if (!in)
        throw std::runtime_error("missing test data: " + relative);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace tallyglass::test
