#include "ui/Palette.h"

namespace tallyglass {

namespace {

constexpr Rgba rgb(double r, double g, double b)
{
    return {r, g, b, 1};
}

} // namespace

Rgba NamedColor::family(std::string_view baseName, double opacity)
{
    if (baseName == "cyan")
        return cyan.withOpacity(opacity);
    if (baseName == "green")
        return green.withOpacity(opacity);
    if (baseName == "orange")
        return orange.withOpacity(opacity);
    return gray.withOpacity(opacity);
}

const Palette& Palette::light()
{
    static const Palette palette{
        rgb(0.98, 0.98, 0.98),                  // background
        rgb(1.0, 1.0, 1.0),                     // backgroundGradientStart
        rgb(0.94, 0.94, 0.96),                  // backgroundGradientEnd
        NamedColor::white,                      // surfaceElevated
        rgb(0.1, 0.1, 0.12),                    // textPrimary
        rgb(0.36, 0.36, 0.41),                  // textMuted
        rgb(0.42, 0.42, 0.47),                  // textSubtle
        NamedColor::black.withOpacity(0.12),    // border
        rgb(0.0, 0.4675, 0.595),                // accent
        NamedColor::white,                      // onAccent
        rgb(0.0, 0.4675, 0.595).withOpacity(0.3), // accentShadow
        NamedColor::white.withOpacity(0.97),    // tooltipBackground
        NamedColor::black.withOpacity(0.15),    // tooltipBorder
        NamedColor::black.withOpacity(0.08),    // chartGridLine
        rgb(0.5525, 0.3575, 0.0),               // warning
        rgb(0.105, 0.42, 0.175),                // success
        rgb(0.65, 0.150, 0.122),                // danger
    };
    return palette;
}

const Palette& Palette::dark()
{
    static const Palette palette{
        rgb(0.04, 0.04, 0.07),                  // background
        rgb(0.12, 0.12, 0.15),                  // backgroundGradientStart
        rgb(0.04, 0.04, 0.07),                  // backgroundGradientEnd
        NamedColor::white.withOpacity(0.08),    // surfaceElevated
        NamedColor::white,                      // textPrimary
        NamedColor::white.withOpacity(0.75),    // textMuted
        NamedColor::white.withOpacity(0.55),    // textSubtle
        NamedColor::white.withOpacity(0.08),    // border
        NamedColor::cyan,                       // accent
        rgb(0.04, 0.04, 0.07),                  // onAccent: white on this cyan would not read
        NamedColor::cyan.withOpacity(0.9),      // accentShadow
        NamedColor::black.withOpacity(0.92),    // tooltipBackground
        NamedColor::white.withOpacity(0.15),    // tooltipBorder
        NamedColor::white.withOpacity(0.2),     // chartGridLine
        NamedColor::yellow,                     // warning
        rgb(0.443, 0.846, 0.544),               // success
        rgb(1.0, 0.577, 0.553),                 // danger
    };
    return palette;
}

} // namespace tallyglass
