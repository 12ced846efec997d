#pragma once

#include "ui/Contrast.h"
#include "ui/Scene.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

namespace tallyglass::testing {

// Each text of a scene with its worst contrast over whatever may lie behind
// it: the shapes drawn before it that reach its box, composed in order (a
// gradient at either end, a shape covering the box only in part with and
// without it), over `behind` (opaque first).
struct TextContrast {
    std::string text;
    double ratio = 21;
    double required = 4.5;
};

namespace sceneContrast {

inline bool overlaps(const Scene::Rect& a, const Scene::Rect& b)
{
    return a.x < b.right() && b.x < a.right() && a.y < b.bottom() && b.y < a.bottom();
}

inline bool covers(const Scene::Rect& outer, const Scene::Rect& inner)
{
    return outer.x <= inner.x && outer.y <= inner.y && outer.right() >= inner.right() && outer.bottom() >= inner.bottom();
}

inline Scene::Rect bounds(const Scene::Shape& shape)
{
    if (shape.kind != Scene::Shape::Kind::path || shape.points.empty())
        return shape.rect;
    double left = shape.points[0].x, top = shape.points[0].y, right = left, bottom = top;
    for (const auto& p : shape.points) {
        left = std::min(left, p.x);
        right = std::max(right, p.x);
        top = std::min(top, p.y);
        bottom = std::max(bottom, p.y);
    }
    return {left, top, right - left, bottom - top};
}

struct Painted {
    Scene::Shape shape;
    double opacity = 1;
};

inline void addCandidate(std::vector<Rgba>& list, Rgba c)
{
    for (const auto& known : list)
        if (std::abs(known.r - c.r) < 1e-4 && std::abs(known.g - c.g) < 1e-4 && std::abs(known.b - c.b) < 1e-4)
            return;
    list.push_back(c);
}

} // namespace sceneContrast

inline std::vector<TextContrast> textContrasts(const std::vector<Scene::Layer>& layers, const std::vector<Rgba>& behind)
{
    using namespace sceneContrast;
    std::vector<Painted> painted;
    std::vector<TextContrast> result;
    for (const auto& layer : layers) {
        for (const auto& item : layer.items) {
            if (const auto* shape = std::get_if<Scene::Shape>(&item)) {
                if (shape->fill.kind != Scene::Fill::Kind::none)
                    painted.push_back({*shape, shape->opacity * layer.opacity});
                continue;
            }
            const auto* text = std::get_if<Scene::Text>(&item);
            if (!text || text->text.find_first_not_of(' ') == std::string::npos)
                continue;
            std::vector<Rgba> candidates;
            Rgba base{0, 0, 0, 1};
            for (const Rgba& c : behind)
                base = Contrast::over(c, base);
            candidates.push_back(base);
            for (const auto& [shape, opacity] : painted) {
                const Scene::Rect box = bounds(shape);
                if (!overlaps(box, text->rect))
                    continue;
                const bool whole = shape.kind == Scene::Shape::Kind::rect && covers(box, text->rect);
                std::vector<Rgba> next = whole ? std::vector<Rgba>{} : candidates;
                for (const Rgba& under : candidates)
                    for (const Rgba& fill : {shape.fill.a, shape.fill.b})
                        addCandidate(next, Contrast::over(fill.withOpacity(fill.a * opacity), under));
                candidates = std::move(next);
            }
            TextContrast entry{text->text, 21, Contrast::required(text->font.size, text->font.weight >= 600)};
            const Rgba colour = text->color.withOpacity(text->color.a * layer.opacity);
            for (const Rgba& under : candidates)
                entry.ratio = std::min(entry.ratio, Contrast::ratio(colour, under));
            result.push_back(entry);
        }
    }
    return result;
}

// Whether the scene draws the text; with `clipped`, only drawn so (rolling) or not.
inline bool hasText(const std::vector<Scene::Layer>& layers, const std::string& wanted, std::optional<bool> clipped = std::nullopt)
{
    for (const auto& layer : layers)
        for (const auto& item : layer.items)
            if (const auto* text = std::get_if<Scene::Text>(&item);
                text && text->text == wanted && (!clipped || text->clip.has_value() == *clipped))
                return true;
    return false;
}

} // namespace tallyglass::testing
