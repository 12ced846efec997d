#include "ui/Contrast.h"

#include <algorithm>
#include <cmath>

namespace tallyglass::Contrast {

namespace {

double linear(double channel)
{
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

} // namespace

Rgba over(Rgba colour, Rgba behind)
{
    const double a = std::clamp(colour.a, 0.0, 1.0);
    return {colour.r * a + behind.r * (1 - a), colour.g * a + behind.g * (1 - a), colour.b * a + behind.b * (1 - a), 1};
}

double luminance(Rgba opaque)
{
    return 0.2126 * linear(opaque.r) + 0.7152 * linear(opaque.g) + 0.0722 * linear(opaque.b);
}

double ratio(Rgba text, Rgba behind)
{
    const double a = luminance(over(text, behind));
    const double b = luminance(behind);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

double required(double pixelSize, bool bold)
{
    return bold && pixelSize >= 14 ? 3.0 : 4.5;
}

} // namespace tallyglass::Contrast
