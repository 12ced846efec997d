#include "ui/WaveEffect.h"

#include <gtest/gtest.h>

#include <array>

namespace tallyglass {
namespace {

TEST(WaveEffect, theLayersLightUpFromTheCentreThenDimFromTheOutsideAndRepeat)
{
    constexpr double step = WaveEffect::stepSeconds;
    constexpr double dim = WaveEffect::dimOpacity;
    const double half = dim + (1 - dim) / 2;
    struct Case {
        double seconds;
        std::array<double, 3> opacity; // dot, inner waves, outer waves
    };
    const std::vector<Case> cases = {
        {0, {dim, dim, dim}},
        {0.5 * step, {half, dim, dim}},
        {1 * step, {1, dim, dim}},
        {2 * step, {1, 1, dim}},
        {2.5 * step, {1, 1, half}},
        {3 * step, {1, 1, 1}},
        {3.5 * step, {1, 1, half}}, // the outer waves go out first
        {4 * step, {1, 1, dim}},
        {5 * step, {1, dim, dim}},
        {5.5 * step, {half, dim, dim}},
        {6 * step, {dim, dim, dim}}, // and it begins again
        {7 * step, {1, dim, dim}},
        {60 * step + 2 * step, {1, 1, dim}},
    };
    EXPECT_DOUBLE_EQ(WaveEffect::cycleSeconds(3), 6 * step);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.seconds);
        for (int layer = 0; layer < 3; ++layer)
            EXPECT_NEAR(WaveEffect::opacity(layer, 3, c.seconds), c.opacity[static_cast<std::size_t>(layer)], 1e-6) << layer;
    }
}

} // namespace
} // namespace tallyglass
