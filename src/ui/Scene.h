#pragma once

#include "ui/Palette.h"

#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tallyglass {

// What a view draws, as plain values: the layouts compute a Scene, tests read
// it, and the painter only turns each item into QPainter calls.
namespace Scene {

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double right() const { return x + width; }
    double bottom() const { return y + height; }
    bool contains(Point p) const { return p.x >= x && p.x < right() && p.y >= y && p.y < bottom(); }
    bool operator==(const Rect&) const = default;
};

struct Font {
    double size = 10;
    int weight = 400; // 400 regular, 500 medium, 600 semibold
    bool monospaced = false;
    bool operator==(const Font&) const = default;
};

// A solid colour, or a gradient between two colours from `from` to `to`
// (linear), or from radius `from.x` to `to.x` around the shape's centre (radial).
struct Fill {
    enum class Kind { none, solid, linear, radial };
    Kind kind = Kind::none;
    Rgba a;
    Rgba b;
    Point from;
    Point to;

    static Fill solid(Rgba color) { return {Kind::solid, color, color, {}, {}}; }
    static Fill linear(Rgba start, Point from, Rgba end, Point to) { return {Kind::linear, start, end, from, to}; }
    static Fill radial(Rgba centre, double fromRadius, Rgba edge, double toRadius)
    {
        return {Kind::radial, centre, edge, {fromRadius, 0}, {toRadius, 0}};
    }
    bool operator==(const Fill&) const = default;
};

struct Stroke {
    Fill paint;
    double width = 1;
    std::vector<double> dash; // on, off, ... in widths; empty: solid
    bool operator==(const Stroke&) const = default;
};

struct Shadow {
    Rgba color;
    double radius = 0;
    bool operator==(const Shadow&) const = default;
};

// Rectangles (rounded when radius > 0), ellipses inside `rect`, and paths
// through `points` (closed when `closed`).
struct Shape {
    enum class Kind { rect, ellipse, path };
    Kind kind = Kind::rect;
    Rect rect;
    double radius = 0;
    std::vector<Point> points;
    bool closed = false;
    Fill fill;
    std::optional<Stroke> stroke;
    double opacity = 1;
    std::optional<Shadow> shadow;
    bool operator==(const Shape&) const = default;
};

enum class Align { left, center, right };

struct Text {
    Rect rect; // the text is vertically centred in it
    std::string text;
    Font font;
    Rgba color;
    Align align = Align::left;
    std::optional<Rect> clip; // drawn only inside it (a figure rolling in its box)
    bool operator==(const Text&) const = default;
};

// An icon from resources/icons, named after its symbol, tinted with `fill`.
// With layer opacities, the symbol's layers (its elements "layer0", "layer1",
// ...) are drawn one by one, each at its own opacity.
struct Icon {
    Rect rect;
    std::string symbol;
    Fill fill;
    double opacity = 1;
    std::vector<double> layerOpacity;
    bool operator==(const Icon&) const = default;
};

using Item = std::variant<Shape, Text, Icon>;

// Items drawn in order; a layer with a blur radius is drawn blurred; one with
// a clip is clipped to that rounded rectangle.
struct Layer {
    std::vector<Item> items;
    double blurRadius = 0;
    double opacity = 1;
    std::optional<Shape> clip;
};

struct Scene {
    std::vector<Layer> layers;
};

using TextWidth = std::function<double(const std::string& text, const Font& font)>;

inline Shape rect(Rect r, Fill fill, double radius = 0)
{
    Shape s;
    s.rect = r;
    s.fill = fill;
    s.radius = radius;
    return s;
}

inline Text text(Rect r, std::string content, Font font, Rgba color, Align align = Align::left)
{
    return {r, std::move(content), font, color, align, std::nullopt};
}

} // namespace Scene

} // namespace tallyglass
