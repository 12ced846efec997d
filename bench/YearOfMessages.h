#pragma once

#include "storage/DashboardMessage.h"
#include "storage/LimitReading.h"

#include <vector>

namespace tallyglass::bench {

// A year of heavy use: a million messages over ~3,000 sessions of a few hundred
// messages each, in time order as the read client returns them. Built once.
const std::vector<DashboardMessage>& yearOfMessages();

// The status line's readings over the same year, a million of them (one about
// every half minute), five-hour windows filling up and resetting.
const std::vector<LimitReading>& yearOfLimitReadings();

} // namespace tallyglass::bench
