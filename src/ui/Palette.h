#pragma once

#include <string_view>

namespace tallyglass {

// A colour as sRGB components and an opacity, all 0...1.
struct Rgba {
    double r = 0;
    double g = 0;
    double b = 0;
    double a = 1;

    constexpr Rgba withOpacity(double opacity) const { return {r, g, b, opacity}; }
    bool operator==(const Rgba&) const = default;
};

// The named colours every view shares with the model colour families.
namespace NamedColor {
inline constexpr Rgba white{1, 1, 1};
inline constexpr Rgba black{0, 0, 0};
inline constexpr Rgba cyan{0.196, 0.678, 0.902};
inline constexpr Rgba green{0.204, 0.780, 0.349};
inline constexpr Rgba yellow{1.0, 0.800, 0.0};
inline constexpr Rgba orange{1.0, 0.584, 0.0};
inline constexpr Rgba red{1.0, 0.231, 0.188};
inline constexpr Rgba gray{0.557, 0.557, 0.576};

// A model colour family ("cyan", "green", "orange", anything else gray) at an opacity.
Rgba family(std::string_view baseName, double opacity);
} // namespace NamedColor

// The colours every window draws with, in a light and a dark variant. Each
// colour that text is drawn in reads at WCAG AA (4.5:1) over the surfaces it
// is drawn on; the status colours (warning, success, danger) are for text and
// symbols, so the light theme's are deep and the dark theme's bright.
struct Palette {
    Rgba background;
    Rgba backgroundGradientStart;
    Rgba backgroundGradientEnd;
    Rgba surfaceElevated;
    Rgba textPrimary;
    Rgba textMuted;
    Rgba textSubtle;
    Rgba border;
    Rgba accent;
    Rgba onAccent; // text on an accent fill
    Rgba accentShadow;
    Rgba tooltipBackground;
    Rgba tooltipBorder;
    Rgba chartGridLine;
    Rgba warning;
    Rgba success;
    Rgba danger;

    static const Palette& light();
    static const Palette& dark();

    bool operator==(const Palette&) const = default;
};

} // namespace tallyglass
