#pragma once

#include <QImage>

#include <functional>
#include <string>
#include <vector>

namespace tallyglass::gallery {

// One picture of a window in one state, with the cheap checks it must pass.
struct Shot {
    std::string name;
    std::function<QImage()> render;
    // Returns an empty text when the picture is right, else what is wrong.
    std::function<std::string(const QImage&)> check;
};

void addOverlayShots(std::vector<Shot>& shots);
void addReportShots(std::vector<Shot>& shots);
void addWindowShots(std::vector<Shot>& shots);

// Checks shared by the windows.
std::string notBlank(const QImage& image);
std::string colourNear(const QImage& image, int x, int y, QColor expected, int tolerance = 12);

} // namespace tallyglass::gallery
