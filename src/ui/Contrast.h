#pragma once

#include "ui/Palette.h"

namespace tallyglass::Contrast {

// WCAG 2's contrast between a text colour and what lies behind it.

// `colour` laid over the opaque `behind`: opaque.
Rgba over(Rgba colour, Rgba behind);
// The relative luminance of an opaque sRGB colour, 0 (black) ... 1 (white).
double luminance(Rgba opaque);
// Text of `text` (its own opacity composed first) over the opaque `behind`: 1 ... 21.
double ratio(Rgba text, Rgba behind);
// Level AA's least ratio for text: 3 for large text (bold from 14 px), else 4.5.
double required(double pixelSize, bool bold);

} // namespace tallyglass::Contrast
