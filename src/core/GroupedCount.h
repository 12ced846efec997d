#pragma once

#include <cstdint>
#include <string>

namespace tallyglass {

// 1234567 as "1,234,567": counts for people, in every place that shows one.
std::string groupedCount(std::int64_t count);

} // namespace tallyglass
