// Renders every window of the application in each of its states, in the light
// and the dark appearance, to PNG files for people to look at, and makes a few
// cheap checks on each picture (size, not blank, a known colour in a known
// place). Exits 1 when a check fails.
//
//   tallyglass_gallery <output folder>

#include "Gallery.h"

#include "storage/Preferences.h"
#include "ui/ThemeManager.h"

#include <QApplication>
#include <QDir>
#include <QPainter>

#include <map>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Nothing here may touch the real settings.
    const QString home = QDir::tempPath() + "/tallyglass-gallery-home";
    QDir(home).removeRecursively();
    QDir().mkpath(home);
    ::setenv("HOME", home.toUtf8().constData(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/.config").toUtf8().constData(), 1);
    ::setenv("TZ", "UTC", 1);
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("tallyglass");
    QCoreApplication::setApplicationName("tallyglass");
    const QString out = argc > 1 ? argv[1] : "gallery";
    QDir().mkpath(out);

    std::vector<tallyglass::gallery::Shot> shots;
    tallyglass::gallery::addOverlayShots(shots);
    tallyglass::gallery::addReportShots(shots);
    tallyglass::gallery::addWindowShots(shots);

    int failures = 0;
    // Every picture also goes on one sheet per window, named, to look over at a glance.
    std::map<std::string, std::vector<std::pair<QString, QImage>>> sheets;
    for (const auto* appearance : {"light", "dark"}) {
        tallyglass::ThemeManager::shared().setSchemeSource([] { return std::nullopt; });
        tallyglass::ThemeManager::shared().setPreference(tallyglass::themePreferenceFromText(appearance));
        for (const auto& shot : shots) {
            tallyglass::Preferences::shared().setChartIsCumulative(true);
            const QImage image = shot.render();
            const QString file = out + "/" + QString::fromStdString(shot.name) + "-" + appearance + ".png";
            image.save(file);
            sheets[shot.name.substr(0, shot.name.find('-'))].emplace_back(QString::fromStdString(shot.name) + " (" + appearance + ")", image);
            const std::string problem = shot.check ? shot.check(image) : tallyglass::gallery::notBlank(image);
            if (!problem.empty()) {
                std::fprintf(stderr, "%s: %s\n", file.toUtf8().constData(), problem.c_str());
                ++failures;
            }
        }
    }
    for (const auto& [window, pictures] : sheets) {
        // Large windows go on the sheet at half size, two to a row.
        const bool large = pictures.front().second.width() > 600;
        const int columns = large ? 2 : 4;
        const int scale = large ? 2 : 1;
        const int cellWidth = pictures.front().second.width() / scale;
        const int cellHeight = pictures.front().second.height() / scale + 18;
        const int rows = (static_cast<int>(pictures.size()) + columns - 1) / columns;
        QImage sheet(columns * cellWidth, rows * cellHeight, QImage::Format_RGB32);
        sheet.fill(Qt::white);
        QPainter painter(&sheet);
        for (std::size_t i = 0; i < pictures.size(); ++i) {
            const int x = static_cast<int>(i % columns) * cellWidth;
            const int y = static_cast<int>(i / columns) * cellHeight;
            painter.setRenderHint(QPainter::SmoothPixmapTransform);
            painter.drawText(QRect(x + 4, y, cellWidth - 8, 18), Qt::AlignVCenter, pictures[i].first);
            painter.drawImage(QRect(x, y + 18, cellWidth, cellHeight - 18), pictures[i].second);
        }
        painter.end();
        sheet.save(out + "/sheet-" + QString::fromStdString(window) + ".png");
    }
    std::printf("%zu pictures in %s, %d failed checks\n", shots.size() * 2, out.toUtf8().constData(), failures);
    return failures == 0 ? 0 : 1;
}
