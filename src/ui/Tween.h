#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>

namespace tallyglass {

// One animated number: eases in and out from where it is to a new target over
// a duration. The view asks it for its value at the time of each frame.
class Tween {
public:
    using Clock = std::chrono::steady_clock;

    explicit Tween(double value = 0)
        : from_(value)
        , to_(value)
    {
    }

    void setTarget(double target, std::chrono::milliseconds duration, Clock::time_point now = Clock::now())
    {
        if (target == to_)
            return;
        from_ = value(now);
        to_ = target;
        start_ = now;
        duration_ = duration;
    }
    void jumpTo(double value)
    {
        from_ = to_ = value;
        duration_ = {};
    }

    double value(Clock::time_point now = Clock::now()) const
    {
        if (duration_.count() <= 0)
            return to_;
        const double t = std::clamp(std::chrono::duration<double>(now - start_) / duration_, 0.0, 1.0);
        const double eased = t < 0.5 ? 2 * t * t : 1 - std::pow(-2 * t + 2, 2) / 2;
        return from_ + (to_ - from_) * eased;
    }
    double target() const { return to_; }
    bool running(Clock::time_point now = Clock::now()) const { return duration_.count() > 0 && now - start_ < duration_; }

private:
    double from_;
    double to_;
    Clock::time_point start_{};
    std::chrono::milliseconds duration_{};
};

} // namespace tallyglass
