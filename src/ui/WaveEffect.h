#pragma once

namespace tallyglass::WaveEffect {

// The waiting symbol's colour wave: its layers (the centre dot, the inner
// waves, the outer waves) light up one after another from the centre, then dim
// again in the reverse order, from the outside in, and the cycle repeats. A
// layer that is out is drawn faint rather than hidden, so the symbol keeps its
// shape.

inline constexpr double stepSeconds = 0.35; // one layer lighting or dimming
inline constexpr double dimOpacity = 0.3;

// The opacity of layer `layer` (0: innermost) of `layers`, `seconds` into the effect.
double opacity(int layer, int layers, double seconds);

// How long one whole cycle (up and back down) takes.
double cycleSeconds(int layers);

} // namespace tallyglass::WaveEffect
