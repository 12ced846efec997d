#pragma once

#include <cstdlib>
#include <ctime>

namespace tallyglass::test {

// The process's time zone for as long as it lives, put back after it even
// when a test fails half-way.
struct TimeZone {
    explicit TimeZone(const char* name)
    {
        ::setenv("TZ", name, 1);
        ::tzset();
    }
    ~TimeZone()
    {
        ::unsetenv("TZ");
        ::tzset();
    }
    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;
};

} // namespace tallyglass::test
