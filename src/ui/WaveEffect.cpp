#include "ui/WaveEffect.h"

#include <algorithm>
#include <cmath>

namespace tallyglass::WaveEffect {

namespace {

double eased(double t)
{
    return t * t * (3 - 2 * t);
}

// 0 dark to 1 lit: during the first half of the cycle layer k lights in step
// k; during the second half the layers go out from the last one back.
double level(int layer, int layers, int step, double within)
{
    if (step < layers) {
        if (layer < step)
            return 1;
        return layer == step ? eased(within) : 0;
    }
    const int dimming = 2 * layers - 1 - step;
    if (layer < dimming)
        return 1;
    return layer == dimming ? 1 - eased(within) : 0;
}

} // namespace

double cycleSeconds(int layers)
{
    return 2 * layers * stepSeconds;
}

double opacity(int layer, int layers, double seconds)
{
    if (layers <= 0)
        return 1;
    const double cycle = cycleSeconds(layers);
    const double into = std::fmod(std::max(seconds, 0.0), cycle) / stepSeconds;
    const int step = std::min(static_cast<int>(into), 2 * layers - 1);
    return dimOpacity + (1 - dimOpacity) * level(layer, layers, step, into - step);
}

} // namespace tallyglass::WaveEffect
