#pragma once

#include "ui/Scene.h"

#include <QFont>
#include <QIcon>

class QPainter;

namespace tallyglass {

// Turns a Scene into QPainter calls; decides nothing.
namespace ScenePainter {

void paint(QPainter& painter, const Scene::Scene& scene);
void paintItem(QPainter& painter, const Scene::Item& item);

// The system font, or its monospaced face, at a size in logical pixels.
QFont fontFor(const Scene::Font& font);
// Text widths as the painter will draw them, for the layouts.
Scene::TextWidth textWidth();

// A symbol from the resources tinted with a plain colour, for menus and buttons.
QIcon tintedIcon(const std::string& symbol, const QColor& colour);

} // namespace ScenePainter

} // namespace tallyglass
