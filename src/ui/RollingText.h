#pragma once

#include "ui/Scene.h"

#include <string>

namespace tallyglass::RollingText {

// A figure changing from one text to another the way a counter's wheels turn:
// each character that differs leaves its place vertically while its
// successor comes in from the other side, and characters that stay the same
// stand still. The texts line up at the box's aligned edge (the right for
// right-aligned numbers), and every moving glyph is clipped to the box, so the
// wheels show through a window the size of the figure.

// The items that draw `target` at `progress` (0: the old text in place, 1: the
// new one) of its change from `previous`. Rising figures roll upwards: the old
// text leaves at the top and the new one comes from below; falling ones roll
// downwards. At 1 or beyond, or without a change, it is `target` alone.
std::vector<Scene::Item> layout(const Scene::Text& target, const std::string& previous, bool rising, double progress,
                                const Scene::TextWidth& textWidth);

} // namespace tallyglass::RollingText
