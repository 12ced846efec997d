#pragma once

#include <cmath>

namespace tallyglass {

// A critically-near spring that carries a change from 0 to 1, described as a
// designer would: how long one swing takes (the response, in seconds) and how
// much of the bounce is damped away (1: none is left). The figures of the card
// settle with it, quickly and with next to no overshoot.
struct Spring {
    double response = 0.4;
    double dampingFraction = 0.85;

    // How far the change has come `seconds` after it began: 0 at the start,
    // then 1 once settled; it may pass 1 by a hair on the way.
    double progress(double seconds) const
    {
        if (seconds <= 0)
            return 0;
        if (seconds >= settleSeconds())
            return 1;
        const double omega = 2 * pi / response;
        const double decay = dampingFraction * omega;
        const double damped = omega * std::sqrt(1 - dampingFraction * dampingFraction);
        return 1 - std::exp(-decay * seconds) * (std::cos(damped * seconds) + decay / damped * std::sin(damped * seconds));
    }

    // When what is left of the swing is under a thousandth: the frames can stop.
    double settleSeconds() const { return std::log(1000.0) / (dampingFraction * 2 * pi / response); }

private:
    static constexpr double pi = 3.14159265358979323846;
};

} // namespace tallyglass
