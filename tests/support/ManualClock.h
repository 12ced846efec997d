#pragma once

#include <atomic>
#include <chrono>
#include <functional>

namespace tallyglass::test {

// A steady clock that stands still until the test moves it. Code under test
// reads it from threads of its own, so it is read and moved atomically.
class ManualClock {
public:
    using Clock = std::chrono::steady_clock;

    Clock::time_point now() const { return Clock::time_point(Clock::duration(ticks_.load())); }
    void advance(Clock::duration by) { ticks_ += by.count(); }

    // The clock as the code under test takes it; the clock must outlive what it is given to.
    std::function<Clock::time_point()> function() const
    {
        return [this] { return now(); };
    }

private:
    std::atomic<Clock::rep> ticks_{0};
};

} // namespace tallyglass::test
