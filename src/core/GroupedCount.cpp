#include "core/GroupedCount.h"

namespace tallyglass {

std::string groupedCount(std::int64_t count)
{
    const bool negative = count < 0;
    std::string digits = std::to_string(count);
    if (negative)
        digits.erase(0, 1);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out.push_back(',');
        out.push_back(digits[i]);
    }
    return negative ? "-" + out : out;
}

} // namespace tallyglass
