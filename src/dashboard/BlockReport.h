#pragma once

#include "core/DayClock.h"
#include "dashboard/UsageBlocks.h"

#include <string>
#include <vector>

namespace tallyglass::BlockReport {

// The five-hour blocks for a terminal and for scripts.

// A table with one row per block, times by `clock`, fitted to `width`
// columns (0: no limit), then the active block's burn rate and projection.
// `title` names the days ("last 7 days").
std::string renderText(
    const std::vector<UsageBlocks::Block>& blocks, const std::string& title, const DayClock& clock, std::size_t width);

// {"blocks": [...]}: times as UTC ISO 8601, costs in whole micro-dollars, null
// where unknown; its shape is documented in the README.
std::string renderJson(const std::vector<UsageBlocks::Block>& blocks);

} // namespace tallyglass::BlockReport
