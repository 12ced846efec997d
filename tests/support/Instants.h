#pragma once

#include "core/IsoTime.h"
#include "storage/LimitReading.h"

namespace tallyglass::test {

// A moment written as the tests think of it; a malformed one is a fault in the test.
inline Instant t(const char* iso)
{
    return IsoTime::parse(iso).value();
}

// A reading of the five-hour window alone.
inline LimitReading fiveHour(const char* at, double used, const char* resets)
{
    return {t(at), used, t(resets), std::nullopt, std::nullopt};
}

} // namespace tallyglass::test
